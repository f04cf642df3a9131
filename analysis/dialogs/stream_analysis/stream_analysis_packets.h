// The packet inspector's data: a transport stream file read only where it is
// looked at (a few small blocks kept), the packet list as a virtual model over
// every packet or over one PID's packets, and the decoding of one packet's
// header, adaptation field, PES header and section header.
#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "analysis/health/stream_health.h"
#include "platform/files.h"

// "0x1FFF": hex as every report writes it, upper case, `digits` wide.
QString HexText(uint64_t value, int digits);
// "0x1FFF (8191)"; "-" for a negative PID (none applies).
QString PidText(int pid);

// Header fields of one packet, as the inspector lists and searches them.
struct TsHeaderFields {
  int pid = 0;
  int pusi = 0;
  int tei = 0;
  int priority = 0;
  int scrambling = 0;
  int afc = 0;
  int cc = 0;
  bool discontinuity = false;
  bool randomAccess = false;
  bool hasPcr = false;
};
// `packet` starts at the sync byte; false when it is not 0x47.
bool ParseTsHeader(const uint8_t* packet, TsHeaderFields& fields);

// The searchable header fields, in the order of the inspector's field list.
enum class TsSearchField { Pid, Pusi, Tei, Priority, Scrambling, Afc, Cc };
constexpr int kTsSearchFieldCount = 7;
const char* TsSearchFieldName(TsSearchField field);  // "PID", "PUSI", ...
int TsSearchFieldValue(const TsHeaderFields& fields, TsSearchField field);
// A value as typed: decimal, or hex with 0x.
bool ParseSearchValue(const QString& text, int64_t& value);

// One packet decoded for reading: header, adaptation field (PCR,
// discontinuity, random access), PES header (PTS/DTS) when a PES starts, and
// the section header (table_id, section_length, CRC) when a section starts
// and ends within the packet. `packet` starts at the sync byte.
QString DecodeTsPacket(const uint8_t* packet);
// Hex dump: 16 bytes a line, the offset of each line in the file first.
QString HexDumpPacket(const uint8_t* bytes, int size, uint64_t fileOffset);

// A file of packets of one size, read by position; packets are found from
// the first place where sync bytes repeat at the packet size.
class TsPacketFile {
public:
  TsPacketFile() = default;
  ~TsPacketFile();
  TsPacketFile(const TsPacketFile&) = delete;
  TsPacketFile& operator=(const TsPacketFile&) = delete;

  // `packetSize` 188, 192 (4-byte prefix), 204 or 208.
  bool Open(const std::string& path, int packetSize);
  void Close();
  bool IsOpen() const { return file_.IsOpen(); }
  int PacketSize() const { return packetSize_; }
  int SyncOffset() const { return packetSize_ == 192 ? 4 : 0; }  // of the sync byte in a packet
  uint64_t FirstOffset() const { return segments_.empty() ? first_ : segments_.front().byteOffset; }
  uint64_t PacketCount() const { return count_; }
  // Packets are framed and numbered as the engine did: from each place where
  // it gained sync (the bytes it skipped in between are no packets). Without
  // segments, from the first run of sync bytes at the packet size.
  void SetSyncSegments(const std::vector<SyncSegment>& segments);
  uint64_t OffsetOf(uint64_t index) const;
  // The packet holding `offset` (clamped to the last one).
  uint64_t IndexAt(uint64_t offset) const;

  // The whole packet at `index` (prefix and trailer included); false past
  // the end or on a read error.
  bool ReadPacket(uint64_t index, uint8_t* out);
  // Reads [offset, offset + size) without the cache, for scans.
  size_t ReadRaw(uint64_t offset, uint8_t* out, size_t size);
  uint64_t BytesRead() const { return bytesRead_; }

private:
  struct Block {
    uint64_t number = 0;
    std::vector<uint8_t> bytes;
  };
  const Block* LoadBlock(uint64_t number);

  PositionedFile file_;
  int packetSize_ = 188;
  uint64_t first_ = 0;
  uint64_t size_ = 0;
  uint64_t count_ = 0;
  uint64_t bytesRead_ = 0;
  std::list<Block> blocks_;  // most recently used first
  std::vector<SyncSegment> segments_;  // ascending byteOffset and firstPacket
};

// The packet list: every packet of the file, or (with a row index) only the
// rows given. Columns: packet, offset, PID, PUSI, CC, AFC, flags.
class PacketListModel : public QAbstractTableModel {
  Q_OBJECT

public:
  enum Column { kColPacket, kColOffset, kColPid, kColPusi, kColCc, kColAfc, kColFlags, kColumnCount };

  explicit PacketListModel(TsPacketFile& file, QObject* parent = nullptr);

  // All packets of the file.
  void ShowAll();
  // Only these packet indexes (ascending); AppendRows adds found ones.
  void ShowIndexes(std::vector<uint64_t> indexes);
  void AppendIndexes(const std::vector<uint64_t>& indexes);
  bool Filtered() const { return filtered_; }
  uint64_t PacketAtRow(int row) const;
  // The row showing packet `index`, or the nearest row after it.
  int RowOfPacket(uint64_t index) const;

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
  // The packet of the row last asked for, read and parsed once for all its
  // cells; forgotten when the rows or their framing change.
  struct RowPacket {
    bool valid = false;
    uint64_t packet = 0;
    uint64_t offset = 0;
    bool read = false;
    bool synced = false;
    uint8_t syncByte = 0;
    TsHeaderFields fields;
  };
  const RowPacket& PacketOfRow(int row) const;

  TsPacketFile& file_;
  bool filtered_ = false;
  std::vector<uint64_t> indexes_;
  mutable RowPacket row_;
};
