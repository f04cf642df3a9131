// The rows of the Stream Analysis window's checks list: the checks grouped
// by their TR 101 290 priority, a heading row before each group, so that
// checks added to the engine take their place by their priority alone.
#pragma once

#include <vector>

#include "analysis/health/stream_health.h"

class QComboBox;
class QTableWidget;
class QWidget;

class CheckRows {
public:
  CheckRows();
  int RowCount() const { return static_cast<int>(rows_.size()); }
  int RowOf(HealthCheck check) const;
  // The check on `row`; -1 on a heading (or outside).
  int CheckAt(int row) const;
  // Sizes `table` (two columns) and fills it: a heading spanning both
  // columns per priority, then each check's name (status left empty).
  void Fill(QTableWidget* table) const;

private:
  std::vector<int> rows_;  // a check, or -priority for a heading
};

// The choice of the service information the priority 3 checks expect
// (HealthLimits::si), in SiStandard order.
QComboBox* NewSiChoice(QWidget* parent, SiStandard current);
