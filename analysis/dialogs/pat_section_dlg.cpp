#include "analysis/dialogs/pat_section_dlg.h"

#include "analysis/engine/psi.h"
#include "analysis/engine/reports.h"

namespace {
constexpr int kReportEdit = 1002;
constexpr int kSectionEdit = 1003;
constexpr int kTitleString = 607;
}  // namespace

void CPatSectionDlg::OnInitDialog() {
  BuildPatReport();
  // Without a valid PAT section both edits stay empty; only section 0 is shown.
  if (PatSectionList && !PatSectionList->empty()) {
    SetDlgItemText(kSectionEdit, FromEngineText(PatSectionList->front().text));
    SetDlgItemText(kReportEdit, FromEngineText(strPatReport));
  }
  setWindowTitle(LoadResString(kTitleString));
}
