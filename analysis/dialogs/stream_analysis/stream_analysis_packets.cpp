#include "analysis/dialogs/stream_analysis/stream_analysis_packets.h"

#include <QColor>
#include <algorithm>
#include <climits>
#include <cstring>
#include <iterator>

#include "analysis/dialogs/stream_analysis/stream_analysis_ids.h"
#include "analysis/engine/psi.h"
#include "analysis/timing/pes_timestamps.h"
#include "ui/resources.h"

namespace {

// Small blocks, few of them: a screen of the list touches a few packets each.
constexpr size_t kBlockSize = 64 * 1024;
constexpr size_t kMaxBlocks = 16;
// Sync bytes in a row that mark where the packets begin.
constexpr int kSyncRun = 5;
// How far into the file the first packet is looked for.
constexpr size_t kSyncSearchBytes = 1024 * 1024;

// The fields the inspector decodes, as the standard names them; their
// names in the user's language follow in the string table in this order.
constexpr const char* kFieldNames[] = {
    "PID", "transport_error_indicator", "payload_unit_start_indicator", "transport_priority",
    "transport_scrambling_control", "adaptation_field_control", "continuity_counter", "adaptation_field_length",
    "discontinuity_indicator", "random_access_indicator", "elementary_stream_priority_indicator", "PCR", "stream_id",
    "PES_packet_length", "PTS", "DTS", "pointer_field", "table_id", "section_syntax_indicator", "section_length",
    "table_id_extension", "version_number", "section_number", "last_section_number", "CRC_32"};

QString Seconds90k(uint64_t ticks) { return QString::number(static_cast<double>(ticks) / 90000.0, 'f', 6); }

QString HexDigits(uint64_t value, int digits) {
  return QString::number(value, 16).toUpper().rightJustified(digits, QLatin1Char('0'));
}

}  // namespace

QString HexText(uint64_t value, int digits) { return QStringLiteral("0x") + HexDigits(value, digits); }

QString PidText(int pid) {
  return pid < 0 ? QStringLiteral("-") : QStringLiteral("%1 (%2)").arg(HexText(static_cast<uint64_t>(pid), 4)).arg(pid);
}

bool ParseTsHeader(const uint8_t* p, TsHeaderFields& f) {
  if (p[0] != 0x47) return false;
  f.tei = p[1] >> 7;
  f.pusi = (p[1] >> 6) & 1;
  f.priority = (p[1] >> 5) & 1;
  f.pid = ((p[1] & 0x1F) << 8) | p[2];
  f.scrambling = p[3] >> 6;
  f.afc = (p[3] >> 4) & 3;
  f.cc = p[3] & 0x0F;
  f.discontinuity = f.randomAccess = f.hasPcr = false;
  if ((f.afc & 2) && p[4] > 0 && p[4] <= 183) {  // a longer field is wrong: its flags mean nothing
    f.discontinuity = p[5] & 0x80;
    f.randomAccess = p[5] & 0x40;
    f.hasPcr = (p[5] & 0x10) && p[4] >= 7;
  }
  return true;
}

const char* TsSearchFieldName(TsSearchField field) {
  static const char* const kNames[kTsSearchFieldCount] = {"PID", "PUSI", "TEI", "TP", "TSC", "AFC", "CC"};
  return kNames[static_cast<int>(field)];
}

int TsSearchFieldValue(const TsHeaderFields& f, TsSearchField field) {
  switch (field) {
    case TsSearchField::Pid: return f.pid;
    case TsSearchField::Pusi: return f.pusi;
    case TsSearchField::Tei: return f.tei;
    case TsSearchField::Priority: return f.priority;
    case TsSearchField::Scrambling: return f.scrambling;
    case TsSearchField::Afc: return f.afc;
    case TsSearchField::Cc: return f.cc;
  }
  return -1;
}

bool ParseSearchValue(const QString& text, int64_t& value) {
  const QString t = text.trimmed();
  if (t.isEmpty() || t.size() > 20) return false;
  bool ok = false;
  if (t.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)) value = t.mid(2).toLongLong(&ok, 16);
  else value = t.toLongLong(&ok, 10);
  return ok && value >= 0;
}

QString DecodeTsPacket(const uint8_t* p) {
  TsHeaderFields f;
  if (!ParseTsHeader(p, f)) return QStringLiteral("sync_byte ") + HexText(p[0], 2);
  QString out;
  // The field's name in the user's language, the standard's own beside it.
  auto line = [&out](const char* standard, const QString& value) {
    const auto* named = std::find_if(std::begin(kFieldNames), std::end(kFieldNames),
                                     [standard](const char* name) { return std::strcmp(name, standard) == 0; });
    const QString name = LoadResString(kStrFieldFirst + static_cast<int>(named - std::begin(kFieldNames)));
    out += QStringLiteral("  %1 (%2): %3\n").arg(name, QLatin1String(standard), value);
  };
  out += LoadResString(kStrHeader) + QLatin1Char('\n');
  line("PID", PidText(f.pid));
  line("transport_error_indicator", QString::number(f.tei));
  line("payload_unit_start_indicator", QString::number(f.pusi));
  line("transport_priority", QString::number(f.priority));
  line("transport_scrambling_control", QString::number(f.scrambling));
  line("adaptation_field_control", QString::number(f.afc));
  line("continuity_counter", QString::number(f.cc));

  int payload = 4;
  if (f.afc & 2) {
    const int length = p[4];
    payload = 5 + length;
    out += LoadResString(kStrAdaptationField) + QLatin1Char('\n');
    line("adaptation_field_length", QString::number(length));
    if (length > 183) {
      line("adaptation_field_length", LoadResString(kStrWrong));
      return out;
    }
    if (length > 0) {
      const uint8_t flags = p[5];
      line("discontinuity_indicator", QString::number(flags >> 7));
      line("random_access_indicator", QString::number((flags >> 6) & 1));
      line("elementary_stream_priority_indicator", QString::number((flags >> 5) & 1));
      if ((flags & 0x10) && length >= 7) {
        const uint64_t base = (static_cast<uint64_t>(p[6]) << 25) | (static_cast<uint64_t>(p[7]) << 17) |
                              (static_cast<uint64_t>(p[8]) << 9) | (static_cast<uint64_t>(p[9]) << 1) | (p[10] >> 7);
        const uint64_t ext = (static_cast<uint64_t>(p[10] & 1) << 8) | p[11];
        const uint64_t pcr = base * 300 + ext;
        line("PCR", QStringLiteral("%1 (%2 s)").arg(pcr).arg(
                                        QString::number(static_cast<double>(pcr) / 27e6, 'f', 6)));
      }
    }
  }
  if (!(f.afc & 1) || payload >= 188) return out;
  const uint8_t* data = p + payload;
  const int size = 188 - payload;
  if (!f.pusi) return out;
  if (size >= 9 && data[0] == 0 && data[1] == 0 && data[2] == 1) {
    out += LoadResString(kStrPesHeader) + QLatin1Char('\n');
    line("stream_id", HexText(data[3], 2));
    line("PES_packet_length", QString::number((data[4] << 8) | data[5]));
    const int ptsDts = data[7] >> 6;
    if ((ptsDts & 2) && size >= 14) {
      const uint64_t pts = ReadPesTimestamp(data + 9);
      line("PTS", QStringLiteral("%1 (%2 s)").arg(pts).arg(Seconds90k(pts)));
      if (ptsDts == 3 && size >= 19) {
        const uint64_t dts = ReadPesTimestamp(data + 14);
        line("DTS", QStringLiteral("%1 (%2 s)").arg(dts).arg(Seconds90k(dts)));
      }
    }
    return out;
  }
  // A section starts after the pointer_field.
  const int pointer = data[0];
  if (1 + pointer + 3 > size) return out;
  const uint8_t* section = data + 1 + pointer;
  const int room = size - 1 - pointer;
  if (section[0] == 0xFF) return out;
  const int length = ((section[1] & 0x0F) << 8) | section[2];
  out += LoadResString(kStrSectionHeader) + QLatin1Char('\n');
  line("pointer_field", QString::number(pointer));
  line("table_id", HexText(section[0], 2));
  line("section_syntax_indicator", QString::number(section[1] >> 7));
  line("section_length", QString::number(length));
  if ((section[1] & 0x80) && room >= 8) {
    line("table_id_extension", QString::number((section[3] << 8) | section[4]));
    line("version_number", QString::number((section[5] >> 1) & 0x1F));
    line("section_number", QString::number(section[6]));
    line("last_section_number", QString::number(section[7]));
  }
  if ((section[1] & 0x80) && length >= 4 && 3 + length <= room) {
    const bool good = CheckSectionCrc(section, 3 + length) == 1;
    line("CRC_32", LoadResString(good ? kStrCorrect : kStrWrong));
  }
  return out;
}

QString HexDumpPacket(const uint8_t* bytes, int size, uint64_t fileOffset) {
  QString out;
  for (int row = 0; row < size; row += 16) {
    out += HexDigits(fileOffset + static_cast<uint64_t>(row), 10) + QLatin1Char(' ');
    for (int i = row; i < row + 16 && i < size; ++i) out += QLatin1Char(' ') + HexDigits(bytes[i], 2);
    out += QLatin1Char('\n');
  }
  return out;
}

TsPacketFile::~TsPacketFile() { Close(); }

void TsPacketFile::Close() {
  file_.Close();
  blocks_.clear();
  segments_.clear();
  count_ = 0;
}

bool TsPacketFile::Open(const std::string& path, int packetSize) {
  Close();
  if (packetSize != 188 && packetSize != 192 && packetSize != 204 && packetSize != 208) return false;
  // Never waits for a pipe's writer: anything but a regular file is refused below.
  if (!file_.Open(path)) {
    Close();
    return false;
  }
  packetSize_ = packetSize;
  size_ = file_.Size();
  bytesRead_ = 0;
  // The first offset where kSyncRun sync bytes follow at the packet size.
  const size_t want = std::min<uint64_t>(size_, kSyncSearchBytes + static_cast<size_t>(packetSize) * kSyncRun);
  std::vector<uint8_t> head(want);
  const size_t got = ReadRaw(0, head.data(), want);
  first_ = 0;
  const size_t sync = static_cast<size_t>(SyncOffset());
  const size_t stride = static_cast<size_t>(packetSize);
  // Sync bytes at `pos` and every stride after it, kSyncRun times or to the end.
  auto runAt = [&](size_t pos) {
    int run = 0;
    while (run < kSyncRun && pos + static_cast<size_t>(run) * stride < got &&
           head[pos + static_cast<size_t>(run) * stride] == 0x47)
      ++run;
    return run == kSyncRun || (run > 0 && pos + static_cast<size_t>(run) * stride >= got);
  };
  for (size_t at = 0; at + sync < got; ++at) {
    if (!runAt(at + sync)) continue;
    // A 4-byte prefix that begins with 0x47 has the real sync bytes 4 bytes on.
    first_ = packetSize == 192 && runAt(at + sync + 4) ? at + 4 : at;
    break;
  }
  SetSyncSegments({});
  return true;
}

void TsPacketFile::SetSyncSegments(const std::vector<SyncSegment>& segments) {
  segments_.clear();
  const auto size = static_cast<uint64_t>(packetSize_);
  for (const SyncSegment& s : segments) {
    // Each segment must begin after the previous one's packets: anything else
    // cannot come from one framing of this file.
    if (s.byteOffset >= size_) break;
    if (!segments_.empty()) {
      const SyncSegment& last = segments_.back();
      if (s.firstPacket < last.firstPacket || s.byteOffset < last.byteOffset + (s.firstPacket - last.firstPacket) * size)
        break;
    }
    segments_.push_back(s);
  }
  if (segments_.empty()) {
    count_ = size_ > first_ ? (size_ - first_) / size : 0;
    return;
  }
  const SyncSegment& last = segments_.back();
  count_ = last.firstPacket + (size_ - last.byteOffset) / size;
}

uint64_t TsPacketFile::OffsetOf(uint64_t index) const {
  const auto size = static_cast<uint64_t>(packetSize_);
  if (segments_.empty() || index < segments_.front().firstPacket) return first_ + index * size;
  const auto after = std::upper_bound(segments_.begin(), segments_.end(), index,
                                      [](uint64_t i, const SyncSegment& s) { return i < s.firstPacket; });
  const SyncSegment& s = *(after - 1);
  return s.byteOffset + (index - s.firstPacket) * size;
}

uint64_t TsPacketFile::IndexAt(uint64_t offset) const {
  if (count_ == 0) return 0;
  const auto size = static_cast<uint64_t>(packetSize_);
  if (segments_.empty()) return offset <= first_ ? 0 : std::min<uint64_t>((offset - first_) / size, count_ - 1);
  if (offset <= segments_.front().byteOffset) return segments_.front().firstPacket;
  const auto after = std::upper_bound(segments_.begin(), segments_.end(), offset,
                                      [](uint64_t o, const SyncSegment& s) { return o < s.byteOffset; });
  const SyncSegment& s = *(after - 1);
  uint64_t index = s.firstPacket + (offset - s.byteOffset) / size;
  // Skipped bytes belong to the packet after them, as the engine numbers an
  // occurrence by the packets before it.
  if (after != segments_.end()) index = std::min(index, after->firstPacket);
  return std::min(index, count_ - 1);
}

size_t TsPacketFile::ReadRaw(uint64_t offset, uint8_t* out, size_t size) {
  const size_t done = file_.ReadAt(offset, out, size);
  bytesRead_ += done;
  return done;
}

const TsPacketFile::Block* TsPacketFile::LoadBlock(uint64_t number) {
  for (auto it = blocks_.begin(); it != blocks_.end(); ++it) {
    if (it->number != number) continue;
    blocks_.splice(blocks_.begin(), blocks_, it);
    return &blocks_.front();
  }
  Block block;
  block.number = number;
  block.bytes.resize(kBlockSize);
  block.bytes.resize(ReadRaw(number * kBlockSize, block.bytes.data(), kBlockSize));
  if (blocks_.size() >= kMaxBlocks) blocks_.pop_back();
  blocks_.push_front(std::move(block));
  return &blocks_.front();
}

bool TsPacketFile::ReadPacket(uint64_t index, uint8_t* out) {
  if (index >= count_) return false;
  uint64_t offset = OffsetOf(index);
  size_t done = 0;
  const size_t size = static_cast<size_t>(packetSize_);
  while (done < size) {
    const Block* block = LoadBlock(offset / kBlockSize);
    const size_t at = static_cast<size_t>(offset % kBlockSize);
    if (at >= block->bytes.size()) return false;
    const size_t take = std::min(size - done, block->bytes.size() - at);
    std::copy_n(block->bytes.data() + at, take, out + done);
    done += take;
    offset += take;
  }
  return true;
}

PacketListModel::PacketListModel(TsPacketFile& file, QObject* parent) : QAbstractTableModel(parent), file_(file) {}

void PacketListModel::ShowAll() {
  beginResetModel();
  row_.valid = false;
  filtered_ = false;
  indexes_.clear();
  endResetModel();
}

void PacketListModel::ShowIndexes(std::vector<uint64_t> indexes) {
  beginResetModel();
  row_.valid = false;
  filtered_ = true;
  indexes_ = std::move(indexes);
  endResetModel();
}

void PacketListModel::AppendIndexes(const std::vector<uint64_t>& indexes) {
  if (indexes.empty() || !filtered_) return;
  const int first = rowCount();
  const int last = static_cast<int>(std::min<uint64_t>(INT_MAX - 1, indexes_.size() + indexes.size())) - 1;
  if (last < first) return;
  beginInsertRows({}, first, last);
  indexes_.insert(indexes_.end(), indexes.begin(), indexes.begin() + (last - first + 1));
  endInsertRows();
}

uint64_t PacketListModel::PacketAtRow(int row) const {
  if (row < 0) return 0;
  return filtered_ ? (static_cast<size_t>(row) < indexes_.size() ? indexes_[static_cast<size_t>(row)] : 0)
                   : static_cast<uint64_t>(row);
}

int PacketListModel::RowOfPacket(uint64_t index) const {
  if (!filtered_) return static_cast<int>(std::min<uint64_t>(index, static_cast<uint64_t>(std::max(rowCount() - 1, 0))));
  const auto it = std::lower_bound(indexes_.begin(), indexes_.end(), index);
  if (indexes_.empty()) return -1;
  return static_cast<int>(std::min<ptrdiff_t>(it - indexes_.begin(), static_cast<ptrdiff_t>(indexes_.size()) - 1));
}

int PacketListModel::rowCount(const QModelIndex& parent) const {
  if (parent.isValid()) return 0;
  const uint64_t rows = filtered_ ? indexes_.size() : file_.PacketCount();
  return static_cast<int>(std::min<uint64_t>(rows, INT_MAX));
}

int PacketListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kColumnCount; }

const PacketListModel::RowPacket& PacketListModel::PacketOfRow(int row) const {
  const uint64_t packet = PacketAtRow(row);
  // The offset changes with the framing (sync segments), the packet with the rows.
  const uint64_t offset = file_.OffsetOf(packet);
  if (row_.valid && row_.packet == packet && row_.offset == offset) return row_;
  row_ = RowPacket{};
  row_.valid = true;
  row_.packet = packet;
  row_.offset = offset;
  uint8_t bytes[208];
  row_.read = file_.ReadPacket(packet, bytes);
  if (row_.read) {
    row_.syncByte = bytes[file_.SyncOffset()];
    row_.synced = ParseTsHeader(bytes + file_.SyncOffset(), row_.fields);
  }
  return row_;
}

QVariant PacketListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::BackgroundRole)) return {};
  const RowPacket& row = PacketOfRow(index.row());
  if (!row.read) return {};
  const uint64_t packet = row.packet;
  const TsHeaderFields& f = row.fields;
  const bool synced = row.synced;
  if (role == Qt::BackgroundRole) {
    if (!synced || f.tei) return QColor(255, 214, 214);
    return {};
  }
  switch (index.column()) {
    case kColPacket: return QString::number(packet);
    case kColOffset: return QString::number(row.offset);
    case kColPid: return synced ? PidText(f.pid) : QStringLiteral("-");
    case kColPusi: return synced ? QString::number(f.pusi) : QString();
    case kColCc: return synced ? QString::number(f.cc) : QString();
    case kColAfc: return synced ? QString::number(f.afc) : QString();
    case kColFlags: {
      if (!synced) return QStringLiteral("sync_byte ") + HexText(row.syncByte, 2);
      QStringList flags;
      if (f.tei) flags << QStringLiteral("TEI");
      if (f.priority) flags << QStringLiteral("TP");
      if (f.scrambling) flags << QStringLiteral("TSC=%1").arg(f.scrambling);
      if (f.discontinuity) flags << QStringLiteral("DI");
      if (f.randomAccess) flags << QStringLiteral("RAI");
      if (f.hasPcr) flags << QStringLiteral("PCR");
      return flags.join(QLatin1Char(' '));
    }
    default: return {};
  }
}

QVariant PacketListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal) return {};
  // The header fields' short names in the user's language; their full names
  // with the standard's own as the tooltip.
  int field = -1;
  switch (section) {
    case kColPusi: field = 2; break;
    case kColAfc: field = 5; break;
    case kColCc: field = 6; break;
    default: break;
  }
  if (role == Qt::ToolTipRole && field >= 0)
    return QStringLiteral("%1 (%2)").arg(LoadResString(kStrFieldFirst + field), QLatin1String(kFieldNames[field]));
  if (role != Qt::DisplayRole) return {};
  switch (section) {
    case kColPacket: return LoadResString(kStrPacket);
    case kColOffset: return LoadResString(kStrOffset);
    case kColPid: return LoadResString(kStrPid);
    case kColPusi: return LoadResString(kStrColumnPusi);
    case kColCc: return LoadResString(kStrColumnCc);
    case kColAfc: return LoadResString(kStrColumnAfc);
    case kColFlags: return LoadResString(kStrFlags);
    default: return {};
  }
}
