// The PID table of the Stream Analysis window: one row per PID of a
// HealthResult, sortable by every column (numbers sort as numbers), rows
// with errors marked; and the same table as CSV.
#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <set>

#include "analysis/health/stream_health.h"

class PidTableModel : public QAbstractTableModel {
  Q_OBJECT

public:
  enum Column {
    kColPidHex, kColPid, kColCarries, kColPackets, kColShare, kColBitrate,
    kColCcErrors, kColTei, kColScrambled, kColPcrs, kColMaxPcrInterval, kColumnCount
  };
  // What the sort uses: the number behind each cell.
  static constexpr int kSortRole = Qt::UserRole;
  // The PID of a row, in every column.
  static constexpr int kPidRole = Qt::UserRole + 1;

  explicit PidTableModel(QObject* parent = nullptr) : QAbstractTableModel(parent) {}

  // Takes the PIDs of `result`; rows keep their place while the PID set stays.
  void SetResult(const HealthResult& result);
  const PidStats* StatsAt(int row) const;
  // Whether a PID has errors of its own or is named by a check's occurrences.
  bool HasErrors(const PidStats& stats) const;

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
  std::vector<PidStats> pids_;
  std::set<int> pidsInOccurrences_;
};

// The PID table as CSV: a header line of fixed English keys, then one line
// per PID, "\n" line ends; texts quoted where needed.
QString PidTableCsv(const HealthResult& result);
