// Priority 3 of TR 101 290: the service information the stream carries.
// DVB SI: the table_ids allowed on PIDs 0x0010 to 0x0014, the NIT, SDT
// actual, EIT present/following actual and TDT present often enough from the
// start, every SI sub-table repeated within its limits (TR 101 211) and never
// sooner than the minimum; ATSC PSIP: MGT, VCT and STT within the A/65 cycle
// times. A PID that no PSI names within the limit of its first packet is
// unreferenced. Which of these apply is decided when the result is made
// (HealthLimits::si, or what the stream holds).
//
// Sections are timed by the stream clock: each waits until the clock has
// passed it (the interval trackers' resolution), so its time is exact
// between two PCRs. The same times go to the StreamObserver.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "analysis/health/health_context.h"

namespace health {

class SiChecks final : public ClockFollower {
public:
  explicit SiChecks(HealthContext& context);
  ~SiChecks() override;
  SiChecks(const SiChecks&) = delete;
  SiChecks& operator=(const SiChecks&) = delete;

  // The first packet: the tables every DVB (or, when asked, ATSC) stream
  // carries are expected from here.
  void StartStream(const Mark& first);
  // Every assembled section, from the packet of its first byte (`mark`) to
  // that of its last (`end`). `intact`: its CRC_32, where it has one, is
  // right; `observed`: it went to the StreamObserver.
  void OnSection(int pid, const uint8_t* s, size_t size, bool intact, bool observed, const Mark& mark,
                 const Mark& end);
  void OnFirstPacket(int pid, const Mark& mark);
  // The PSI names `pid` from `mark` on (PMT, stream, PCR, CA or network PID).
  void Reference(int pid, const Mark& mark);
  // The PSI in force no longer names `pid` (a new PAT or PMT version): its
  // packets are unreferenced from the limit after `mark` on.
  void Unreference(int pid, const Mark& mark);
  // A packet on a PID given kRoleUnnamed by Unreference.
  void OnUnnamedPacket(int pid, const Mark& mark);
  // The PAT names a network PID (program 0): a DVB sign.
  void OnNetworkPid(int pid, const Mark& mark);
  void Timed(const StreamClock& clock, const Mark& now, double tailWeight, CheckBoard& board) override;

  // The standard applied, the priority 3 verdicts (`noClock`: why time could
  // not be judged) and the repetition of every table.
  void Results(HealthResult& r, const char* noClock) const;

private:
  // Something that must recur: its limits and how it did.
  struct Timing {
    double maxS = 0;  // 0: no upper limit
    double minS = 0;  // 0: no lower limit
    bool have = false;
    bool openReported = false;
    double last = 0;     // start of the last section
    double lastEnd = 0;  // its end: the minimum runs from there to the next start
    uint64_t intervals = 0;
    double shortest = 0, longest = 0, sum = 0;
  };
  struct TableKey {
    int pid, tableId, extension;
    int64_t network;
    auto operator<=>(const TableKey&) const = default;
  };
  struct Table {
    TableKey key{};
    uint64_t count = 0;
    Mark first;
    Timing timing;
    HealthCheck own = HealthCheck::SiRepetition;  // also counts its minimum (and ownMax: its maximum)
    bool ownMax = false;
    uint8_t pfSections = 0;  // EIT present/following: sections 0 and 1 seen
  };
  // Any section of table_ids lo..hi on a PID, expected from the start.
  struct Group {
    int pid, lo, hi;
    HealthCheck check;
    const char* what;
    Timing timing;
    // Only sections of this section_number, from the first one on, of the
    // table group `of`; -1: any section, from the start of the stream. A
    // section is missing when the rest of its table comes without it (judged
    // as the others come); in an outage of the whole table only the table is.
    int section = -1;
    int of = -1;
  };
  struct Pending {
    Mark mark;
    uint64_t endOffset;
    int32_t table;  // -1: none
    int8_t group;   // -1: none
    bool observed;
    int16_t section = -1;  // section_number of a long-form section
  };
  struct Unreferenced {
    int pid;
    Mark first;
  };
  // A PID the PSI stopped naming at `since`; `last`: its latest packet after.
  struct Dropped {
    int pid;
    Mark since;
    Mark last;
    bool packet = false;
  };

  using Naming = std::function<std::string()>;
  static std::string TableWhat(const TableKey& key);
  int TableFor(int pid, const uint8_t* s, size_t size, const Mark& mark);
  void CheckTableId(int pid, int tableId, const Mark& mark);
  void LearnFromMgt(const uint8_t* s, size_t size, const Mark& mark);
  void Interval(Timing& timing, double t, double tEnd, const Mark& mark, int pid, const Naming& what, HealthCheck maxCheck,
                HealthCheck minCheck, bool maxAlsoRepetition, CheckBoard& board);
  void OpenGaps(double nowTime, const Mark& now, CheckBoard& board);
  void StopWatching(int pid);
  void JudgeDropped(const StreamClock& clock, const Mark& now, CheckBoard& board);
  void JudgeUnreferenced(const StreamClock& clock, const Mark& now, double nowTime, CheckBoard& board);
  SiStandard Applied() const;

  HealthContext& context_;
  std::map<TableKey, int32_t> tableIndex_;
  std::vector<Table> tables_;
  std::vector<Group> groups_;
  std::deque<Pending> pending_;
  std::vector<Unreferenced> unreferenced_;
  std::vector<Dropped> dropped_;
  std::vector<bool> referenced_;
  std::vector<Mark> referencedAt_;
  double nextDeadline_ = 0;
  bool dvbSeen_ = false;     // a DVB SI table on PIDs 0x0010 to 0x0014 other than SDT actual
  bool sdtSeen_ = false;     // an SDT actual
  bool networkPid_ = false;  // the PAT names a network PID
  bool psipSeen_ = false;    // an ATSC PSIP table on PID 0x1FFB
};

}  // namespace health
