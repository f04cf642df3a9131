#include "analysis/dialogs/stream_analysis/stream_analysis_pid_model.h"

#include <QColor>

#include "analysis/dialogs/stream_analysis/stream_analysis_ids.h"
#include "analysis/dialogs/stream_analysis/stream_analysis_packets.h"
#include "ui/resources.h"

namespace {

QString CsvField(const QString& text) {
  if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) && !text.contains(QLatin1Char('\n')))
    return text;
  QString quoted = text;
  quoted.replace(QLatin1String("\""), QLatin1String("\"\""));
  return QLatin1Char('"') + quoted + QLatin1Char('"');
}

// What a PID carries, in the user's language (the exports keep the
// engine's English text).
QString CarriesText(const PidStats& s) {
  QString what;
  switch (s.kind) {
    case PidKind::Video: what = LoadResString(kStrVideo); break;
    case PidKind::Audio: what = LoadResString(kStrAudio); break;
    case PidKind::Other: what = LoadResString(kStrOtherStream); break;
    case PidKind::Null: what = LoadResString(kStrNull); break;
    case PidKind::Unreferenced: what = LoadResString(kStrUnreferenced); break;
    case PidKind::Pat: what = LoadResString(kStrCarriesPat); break;
    case PidKind::Cat: what = LoadResString(kStrCarriesCat); break;
    case PidKind::Nit: what = LoadResString(kStrCarriesNit); break;
    case PidKind::SdtBat: what = LoadResString(kStrCarriesSdtBat); break;
    case PidKind::Eit: what = LoadResString(kStrCarriesEit); break;
    case PidKind::TdtTot: what = LoadResString(kStrCarriesTdtTot); break;
    case PidKind::Pmt: what = LoadResString(kStrCarriesPmt); break;
    case PidKind::Pcr: what = LoadResString(kStrCarriesPcr); break;
  }
  const bool elementary = s.kind == PidKind::Video || s.kind == PidKind::Audio || s.kind == PidKind::Other;
  if (s.program >= 0 && (elementary || s.kind == PidKind::Pmt || s.kind == PidKind::Pcr))
    what = LoadResString(kStrOfProgram).arg(what, QString::number(s.program));
  if (s.streamType >= 0 && elementary)
    what = LoadResString(kStrWithStreamType)
               .arg(what, HexText(static_cast<uint64_t>(s.streamType), 2));
  return what;
}

}  // namespace

void PidTableModel::SetResult(const HealthResult& result) {
  bool samePids = result.pids.size() == pids_.size();
  for (size_t i = 0; samePids && i < pids_.size(); ++i) samePids = pids_[i].pid == result.pids[i].pid;
  pidsInOccurrences_.clear();
  for (const HealthCheckResult& check : result.checks)
    if (check.evaluated)
      for (const HealthOccurrence& o : check.first)
        if (o.pid >= 0) pidsInOccurrences_.insert(o.pid);
  if (samePids) {
    pids_ = result.pids;
    if (!pids_.empty()) emit dataChanged(index(0, 0), index(rowCount() - 1, kColumnCount - 1));
    return;
  }
  beginResetModel();
  pids_ = result.pids;
  endResetModel();
}

const PidStats* PidTableModel::StatsAt(int row) const {
  return row >= 0 && static_cast<size_t>(row) < pids_.size() ? &pids_[static_cast<size_t>(row)] : nullptr;
}

bool PidTableModel::HasErrors(const PidStats& s) const {
  return s.ccErrors > 0 || s.teiPackets > 0 || pidsInOccurrences_.count(s.pid) > 0;
}

int PidTableModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(pids_.size());
}

int PidTableModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kColumnCount; }

QVariant PidTableModel::data(const QModelIndex& index, int role) const {
  const PidStats* s = index.isValid() ? StatsAt(index.row()) : nullptr;
  if (!s) return {};
  if (role == kPidRole) return s->pid;
  if (role == Qt::BackgroundRole) return HasErrors(*s) ? QVariant(QColor(255, 214, 214)) : QVariant();
  if (role == Qt::TextAlignmentRole)
    return index.column() == kColCarries ? QVariant() : QVariant(Qt::AlignRight | Qt::AlignVCenter);
  const bool sort = role == kSortRole;
  if (role != Qt::DisplayRole && !sort) return {};
  switch (index.column()) {
    case kColPidHex: return sort ? QVariant(s->pid) : QVariant(HexText(static_cast<uint64_t>(s->pid), 4));
    case kColPid: return sort ? QVariant(s->pid) : QVariant(QString::number(s->pid));
    case kColCarries: return CarriesText(*s);
    case kColPackets: return sort ? QVariant(static_cast<qulonglong>(s->packets)) : QVariant(QString::number(s->packets));
    case kColShare: return sort ? QVariant(s->share) : QVariant(QString::number(s->share * 100.0, 'f', 2));
    case kColBitrate:
      if (sort) return s->bitrateBps ? *s->bitrateBps : -1.0;
      return s->bitrateBps ? QString::number(*s->bitrateBps, 'f', 0) : QStringLiteral("-");
    case kColCcErrors: return sort ? QVariant(static_cast<qulonglong>(s->ccErrors)) : QVariant(QString::number(s->ccErrors));
    case kColTei: return sort ? QVariant(static_cast<qulonglong>(s->teiPackets)) : QVariant(QString::number(s->teiPackets));
    case kColScrambled:
      return sort ? QVariant(static_cast<qulonglong>(s->scrambledPackets)) : QVariant(QString::number(s->scrambledPackets));
    case kColPcrs: return sort ? QVariant(static_cast<qulonglong>(s->pcrCount)) : QVariant(QString::number(s->pcrCount));
    case kColMaxPcrInterval:
      if (sort) return s->maxPcrIntervalS ? *s->maxPcrIntervalS : -1.0;
      return s->maxPcrIntervalS ? QString::number(*s->maxPcrIntervalS * 1000.0, 'f', 1) : QStringLiteral("-");
    default: return {};
  }
}

QVariant PidTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (role != Qt::DisplayRole || orientation != Qt::Horizontal) return {};
  static const int kHeaders[kColumnCount] = {kStrPidHex, kStrPid,    kStrCarries,   kStrPackets,
                                             kStrShare,  kStrBitrate, kStrCcErrors, kStrTei,
                                             kStrScrambled, kStrPcrs, kStrMaxPcrInterval};
  return section >= 0 && section < kColumnCount ? LoadResString(kHeaders[section]) : QVariant();
}

QString PidTableCsv(const HealthResult& result) {
  QString out = QStringLiteral(
      "pid,pid_hex,carries,packets,share_percent,bitrate_bps,cc_errors,tei_packets,scrambled_packets,pcr_count,"
      "max_pcr_interval_ms\n");
  for (const PidStats& s : result.pids) {
    QStringList fields;
    fields << QString::number(s.pid) << HexText(static_cast<uint64_t>(s.pid), 4) << CsvField(QString::fromStdString(s.carries))
           << QString::number(s.packets) << QString::number(s.share * 100.0, 'f', 4)
           << (s.bitrateBps ? QString::number(*s.bitrateBps, 'f', 0) : QString())
           << QString::number(s.ccErrors) << QString::number(s.teiPackets) << QString::number(s.scrambledPackets)
           << QString::number(s.pcrCount)
           << (s.maxPcrIntervalS ? QString::number(*s.maxPcrIntervalS * 1000.0, 'f', 3) : QString());
    out += fields.join(QLatin1Char(',')) + QLatin1Char('\n');
  }
  return out;
}
