#include "analysis/dialogs/pat_section_dlg.h"

#include <QPlainTextEdit>
#include <QScrollBar>

#include "analysis/engine/psi.h"
#include "analysis/engine/reports.h"

namespace {
constexpr int kReportEdit = 1002;
constexpr int kSectionEdit = 1003;
constexpr int kTitleString = 607;
// The section text has 16 bytes a line, each "0xNN ".
constexpr int kHexColumns = 16;
}  // namespace

CPatSectionDlg::CPatSectionDlg(QWidget* parent) : CResourceDialog(kResourceId, parent) {
  // Wide enough for a whole line of the section text in the edit's font.
  if (auto* edit = Item<QPlainTextEdit>(kSectionEdit)) {
    const int text = edit->fontMetrics().horizontalAdvance(QStringLiteral("0xFF ").repeated(kHexColumns));
    const int chrome = 2 * edit->frameWidth() + 2 * static_cast<int>(edit->document()->documentMargin()) +
                       edit->verticalScrollBar()->sizeHint().width() + 4;
    WidenItem(kSectionEdit, text + chrome);
  }
}

void CPatSectionDlg::OnInitDialog() {
  BuildPatReport();
  // Without a valid PAT section both edits stay empty; only section 0 is shown.
  if (PatSectionList && !PatSectionList->empty()) {
    SetDlgItemText(kSectionEdit, FromEngineText(PatSectionList->front().text));
    SetDlgItemText(kReportEdit, QString::fromStdString(BuildPatDisplayReport()));
  }
  setWindowTitle(LoadResString(kTitleString));
}
