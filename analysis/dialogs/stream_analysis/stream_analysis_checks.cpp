#include "analysis/dialogs/stream_analysis/stream_analysis_checks.h"

#include <QComboBox>
#include <QTableWidget>
#include <algorithm>

#include "analysis/dialogs/stream_analysis/stream_analysis_help.h"
#include "analysis/dialogs/stream_analysis/stream_analysis_ids.h"
#include "ui/resources.h"

CheckRows::CheckRows() {
  std::vector<int> checks;
  for (size_t i = 0; i < kHealthCheckCount; ++i) checks.push_back(static_cast<int>(i));
  auto priority = [](int check) { return GetHealthCheckInfo(static_cast<HealthCheck>(check)).priority; };
  std::stable_sort(checks.begin(), checks.end(), [&](int a, int b) { return priority(a) < priority(b); });
  int group = 0;
  for (int check : checks) {
    if (priority(check) != group) {
      group = priority(check);
      rows_.push_back(-group);
    }
    rows_.push_back(check);
  }
}

int CheckRows::RowOf(HealthCheck check) const {
  const auto it = std::find(rows_.begin(), rows_.end(), static_cast<int>(check));
  return it == rows_.end() ? -1 : static_cast<int>(it - rows_.begin());
}

int CheckRows::CheckAt(int row) const {
  return row >= 0 && row < RowCount() && rows_[static_cast<size_t>(row)] >= 0 ? rows_[static_cast<size_t>(row)] : -1;
}

void CheckRows::Fill(QTableWidget* table) const {
  table->setRowCount(RowCount());
  for (int row = 0; row < RowCount(); ++row) {
    const int value = rows_[static_cast<size_t>(row)];
    if (value < 0) {
      auto* heading = new QTableWidgetItem(LoadResString(kStrPriority).arg(-value));
      QFont bold = table->font();
      bold.setBold(true);
      heading->setFont(bold);
      // Neither selectable nor enabled, so that the arrows step over it; in
      // the text's own colour all the same.
      heading->setFlags(Qt::NoItemFlags);
      heading->setForeground(table->palette().brush(QPalette::Active, QPalette::Text));
      table->setItem(row, 0, heading);
      table->setSpan(row, 0, 1, 2);
      continue;
    }
    const HealthCheck check = static_cast<HealthCheck>(value);
    const HealthCheckInfo& info = GetHealthCheckInfo(check);
    // The check's name in the user's language; the standard's own name
    // begins its tooltip.
    auto* name = new QTableWidgetItem(
        QStringLiteral("%1 %2").arg(QLatin1String(info.number), LoadResString(kStrCheckNameFirst + value)));
    name->setToolTip(CheckHelpText(check));
    table->setItem(row, 0, name);
    table->setItem(row, 1, new QTableWidgetItem);
  }
  // The keys start from the first check: from no row at all they would try
  // the first heading and stop there.
  for (int row = 0; row < RowCount(); ++row)
    if (CheckAt(row) >= 0) {
      table->setCurrentCell(row, 0, QItemSelectionModel::NoUpdate);
      break;
    }
}

QComboBox* NewSiChoice(QWidget* parent, SiStandard current) {
  auto* choice = new QComboBox(parent);
  choice->setObjectName(QString::number(kIdSaSiChoice));
  for (int i = 0; i < 4; ++i) choice->addItem(LoadResString(kStrSiAuto + i));
  choice->setCurrentIndex(static_cast<int>(current));
  choice->setToolTip(LoadResString(kStrSiChoiceTip));
  return choice;
}
