// Collects the service information of a transport stream as the stream
// health engine passes it on: every distinct section (per PID, table_id,
// table_id_extension, section_number, version and current_next_indicator)
// once, with how often and how regularly it repeats, and the elementary
// stream headers that say what each stream carries. Decoding happens afterwards (si_tables.h), so that
// the collecting costs little per section.
//
// Not thread-safe: the thread that feeds the engine calls it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "analysis/health/stream_health.h"
#include "analysis/si/es_probe.h"

// Spacing of repeated occurrences, in bytes of the input and in seconds of
// the stream clock (as the engine times them).
struct SiIntervals {
  uint64_t count = 0;        // occurrences
  uint64_t firstOffset = 0;  // byte offset of the first one
  uint64_t lastOffset = 0;
  uint64_t minBytes = 0;     // between consecutive occurrences; valid when count >= 2
  uint64_t maxBytes = 0;
  uint64_t sumBytes = 0;
  uint64_t timedIntervals = 0;  // intervals between consecutive timed occurrences
  double minS = 0, maxS = 0, sumS = 0;
  bool haveLastTime = false;
  double lastTimeS = 0;

  void Add(uint64_t offset);
  void AddTime(double timeS);
  double MeanBytes() const { return count >= 2 ? static_cast<double>(sumBytes) / static_cast<double>(count - 1) : 0; }
  double MeanS() const { return timedIntervals > 0 ? sumS / static_cast<double>(timedIntervals) : 0; }
};

// One section as it was carried, and how often the same one came again.
struct SiSection {
  int pid = 0;
  int tableId = 0;
  bool longForm = false;      // section_syntax_indicator set
  int extension = -1;         // table_id_extension (long form)
  // What else tells tables with the same table_id_extension apart: for EIT
  // the transport_stream_id (high 16 bits) and original_network_id, for SDT
  // the original_network_id; -1 for other tables.
  int64_t network = -1;
  int version = -1;           // version_number (long form)
  int sectionNumber = -1;
  int lastSectionNumber = -1;
  bool current = true;        // current_next_indicator
  bool crcValid = true;       // short-form sections with a CRC_32 (TOT, splice_info) are checked here
  uint64_t contentChanges = 0;  // the same version came with other bytes
  SiIntervals repeats;
  // The first copy; for the time tables (TDT, TOT, STT) and RST the latest,
  // with the first one in firstBytes.
  std::vector<uint8_t> bytes;
  std::vector<uint8_t> firstBytes;
};

// Tables whose every copy says something new (the time), kept as first and latest.
bool SiKeepsLatestCopy(int tableId);

// Sections of one table (PID, table_id, and for long-form sections the
// table_id_extension and network): how regularly any of its sections came.
struct SiTableKey {
  int pid = 0;
  int tableId = 0;
  int extension = -1;
  int64_t network = -1;
  auto operator<=>(const SiTableKey&) const = default;
};

struct SiLimits {
  size_t maxStoredBytes = 128u << 20;  // section copies kept; beyond, counted only
  size_t maxSections = 200000;         // distinct sections kept
  size_t maxSpliceSections = 256;      // distinct splice_info sections kept per PID
};

class SiCollector : public StreamObserver {
public:
  // `assemble` asks the engine to assemble sections on another PID (the
  // ATSC tables the MGT names, splice_info streams); it may be empty.
  explicit SiCollector(std::function<void(int pid)> assemble, const SiLimits& limits = {});

  void OnSection(int pid, const uint8_t* section, size_t size, uint64_t byteOffset) override;
  void OnEsPayload(int pid, const uint8_t* payload, size_t size, bool unitStart,
                   uint64_t byteOffset) override;
  void OnSectionTime(uint64_t byteOffset, double timeS) override;
  const std::bitset<8192>* EsPayloadWanted() const override { return &probe_.Reading(); }

  // The PIDs whose sections are assembled from the start (RST, ATSC base PID).
  static std::vector<int> InitialSectionPids();

  // Distinct sections in the order of (pid, table_id, extension, section, version).
  std::vector<const SiSection*> Sections() const;
  const std::map<SiTableKey, SiIntervals>& Tables() const { return tables_; }
  // Per PID, the table_ids seen on it.
  const std::map<int, std::set<int>>& TablesPerPid() const { return tablesPerPid_; }
  const EsProbe& Streams() const { return probe_; }
  uint64_t SectionsSeen() const { return sectionsSeen_; }
  uint64_t SectionsNotKept() const { return notKept_; }
  uint64_t ShortSectionsWithBadCrc() const { return badShortCrc_; }
  // Goes up whenever a section is kept or replaced, a kept one came with
  // other bytes, or a stream's header was read: what a display must show anew.
  uint64_t Revision() const { return revision_ + probe_.Revision(); }
  // A copy of what was collected, for another thread to read: it asks the
  // engine for nothing.
  std::unique_ptr<SiCollector> Copy() const;

private:
  struct Key {
    int pid, tableId, extension;
    int64_t network;
    int sectionNumber, version;
    uint32_t content;  // splice_info sections: each distinct one
    // A copy sent ahead of its table's being in force (current_next_indicator
    // 0) is another section than the one in force under the same version.
    bool ahead = false;
    auto operator<=>(const Key&) const = default;
  };
  SiIntervals* NoteTable(const SiTableKey& table, uint64_t offset);
  void LearnFromPmt(const uint8_t* s, size_t size);
  void LearnFromMgt(const uint8_t* s, size_t size);
  void Assemble(int pid);
  // Sections waiting for their time: what their time is added to.
  struct Untimed {
    uint64_t offset;
    SiIntervals* section;  // null when the section was not kept
    SiIntervals* table;
  };
  void AwaitTime(uint64_t offset, SiIntervals* section, SiIntervals* table);
  // A section with the same bytes as the last one kept on its PID (most
  // sections repeat): counted without looking it up; false otherwise.
  bool Repeated(int pid, const uint8_t* s, size_t size, uint64_t offset);
  void RememberLast(int pid, SiSection& section, SiIntervals* table);

  // Per PID, the last section kept and its table; a copy starts empty (it
  // points into the maps of the original).
  struct LastSection {
    SiSection* section = nullptr;
    SiIntervals* table = nullptr;
    uint64_t learnedAt = 0;  // probe_.Revision() when its PMT was last read
  };
  struct LastSections {
    LastSections() = default;
    LastSections(const LastSections&) {}
    LastSections& operator=(const LastSections&) {
      entries.clear();
      return *this;
    }
    std::vector<LastSection> entries;
  };

  std::function<void(int)> assemble_;
  SiLimits limits_;
  std::map<Key, SiSection> sections_;
  std::map<SiTableKey, SiIntervals> tables_;
  std::map<int, std::set<int>> tablesPerPid_;
  std::map<int, size_t> spliceKept_;
  std::set<int> assembled_;
  std::deque<Untimed> untimed_;
  EsProbe probe_;
  LastSections last_;
  size_t storedBytes_ = 0;
  uint64_t sectionsSeen_ = 0;
  uint64_t notKept_ = 0;
  uint64_t badShortCrc_ = 0;
  uint64_t revision_ = 0;
};
