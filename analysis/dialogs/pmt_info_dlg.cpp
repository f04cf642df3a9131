#include "analysis/dialogs/pmt_info_dlg.h"

#include <QListWidget>
#include <QPlainTextEdit>
#include <QTextBlock>

#include "analysis/engine/psi.h"
#include "analysis/engine/reports.h"

namespace {
constexpr int kDetailEdit = 1016;
constexpr int kCountStatic = 1017;
constexpr int kProgramList = 1018;
constexpr int kTitleString = 608;
constexpr int kProgramCountString = 635;
constexpr int kMaxLineLength = 256;
constexpr int kEditGap = 20;          // pixels between list and edit
constexpr int kRightMargin = 120;     // pixels kept free right of the edit
}  // namespace

void CPmtInfoDlg::OnInitDialog() {
  auto* edit = Item<QPlainTextEdit>(kDetailEdit);
  auto* list = Item<QListWidget>(kProgramList);
  if (!edit || !list) return;
  BuildPatReport();
  SetDlgItemText(kCountStatic, LoadResString(kProgramCountString).replace(QLatin1String("%d"), QString::number(nProgramCount)));
  SetDlgItemText(kDetailEdit, QString::fromStdString(BuildPatDisplayReport()));

  // The list takes the edit's place; its entries are the program rows of
  // the report (lines 2 .. count + 1; the two header lines stay out).
  const QRect editRect = edit->geometry();
  list->setGeometry(editRect);
  const QTextDocument* document = edit->document();
  for (int line = 2; line <= nProgramCount + 1 && line < document->blockCount(); ++line)
    list->addItem(document->findBlockByNumber(line).text().left(kMaxLineLength));

  // The edit moves right of the list and shows the details from now on.
  const QRect listRect = list->geometry();
  const int left = listRect.x() + listRect.width() + kEditGap;
  const int right = width() - kRightMargin;
  edit->clear();
  edit->setGeometry(left, listRect.y(), right - left, listRect.height());

  // Selecting the first row does not show its details.
  if (list->count() > 0) list->setCurrentRow(0);
  connect(list, &QListWidget::currentRowChanged, this, &CPmtInfoDlg::OnSelectProgram);
  connect(list, &QListWidget::itemDoubleClicked, this, &CPmtInfoDlg::OnSelectProgram);
  // The list notifies a click on the entry already selected too, so the
  // first program's details show when it is clicked.
  connect(list, &QListWidget::itemClicked, this, &CPmtInfoDlg::OnSelectProgram);
  setWindowTitle(LoadResString(kTitleString));
}

void CPmtInfoDlg::OnSelectProgram() {
  const auto* list = Item<QListWidget>(kProgramList);
  if (!list) return;
  const int index = list->currentRow();
  if (index < 0 || index >= nProgramCount) return;
  SetDlgItemText(kDetailEdit, QString::fromStdString(BuildProgramDetailText(ProgramTable[index])));
}
