#include "analysis/dialogs/program_name_dlg.h"

#include "analysis/engine/reports.h"

namespace {
constexpr int kReportEdit = 1019;
constexpr int kTitleString = 609;
}  // namespace

void CProgramNameDlg::OnInitDialog() {
  BuildSdtReport();
  // Names shown decoded from their DVB character table, one row per program.
  SetDlgItemText(kReportEdit, QString::fromStdString(BuildSdtDisplayReport()));
  setWindowTitle(LoadResString(kTitleString));
}
