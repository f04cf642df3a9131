// PSI tracking: sections assembled on the PSI and SI PIDs (never from a
// damaged, scrambled or broken packet), CRC_32, the PAT/PMT/CAT checks that
// are not about time, and the PAT and PMTs in force, version by version.
// When they change, the interval trackers of what is no longer referenced
// stop and those of what is new start, from the section that declares it.
#pragma once

#include <bitset>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "analysis/health/health_context.h"
#include "analysis/health/health_si.h"

namespace health {

class PcrChecks;

class PsiTracker {
public:
  PsiTracker(HealthContext& context, PcrChecks& pcr);
  ~PsiTracker();

  // The first packet of the stream: a PAT is expected from here.
  void StartStream(const Mark& first);
  // The payload of a packet on a PID with kRoleSections set.
  void OnPayload(int pid, const uint8_t* payload, size_t length, bool unitStart, const Mark& mark);
  // A section being collected on `pid` cannot be completed.
  void DropSection(int pid);
  void OnScrambled(int pid, unsigned scrambling, const Mark& mark);
  void AskSections(int pid);
  // The first packet of `pid` in the stream.
  void OnFirstPacket(int pid, const Mark& mark) { si_.OnFirstPacket(pid, mark); }
  // The priority 3 results and the SI tables' repetition (si_health.h).
  void SiResults(HealthResult& r) const;

  std::vector<ProgramInfo> Programs() const;
  PidKind KindOf(int pid, int* program, int* streamType) const;
  // CAT_error for scrambled packets without a CAT, added to `cat`.
  void AddMissingCat(HealthCheckResult& cat, size_t maxOccurrences) const;
  bool AnyPcrPid() const;
  bool PatSeen() const { return patSeen_; }

private:
  struct Stream {
    int pid = 0;
    int streamType = 0;
    PidKind kind = PidKind::Other;
  };
  struct Program {
    int pmtPid = 0;
    int pcrPid = -1;
    int version = -1;
    std::vector<Stream> streams;
  };
  struct Assembler {
    std::vector<uint8_t> bytes;
    bool collecting = false;
    Mark start;
  };
  void Collect(int pid, Assembler& a, const uint8_t* data, size_t size);
  void Section(int pid, const uint8_t* s, size_t size, const Mark& mark);
  bool CrcChecked(int pid, const uint8_t* s, size_t size, bool intact, const Mark& mark);
  // The CA_PIDs of the CA descriptors in a descriptor loop: named by the PSI.
  void ReferenceCaPids(const uint8_t* descriptors, size_t length, const Mark& mark);
  void Pat(const uint8_t* s, size_t size, const Mark& mark);
  void Pmt(int pid, const uint8_t* s, size_t size, const Mark& mark);
  void Sdt(const uint8_t* s, size_t size);
  // Brings the roles and trackers of every PID in line with the programs.
  void ApplyPrograms(const Mark& mark);

  HealthContext& context_;
  PcrChecks& pcr_;
  SiChecks si_;
  std::vector<std::unique_ptr<Assembler>> assemblers_;
  int patTracker_ = -1;
  std::map<int, Program> programs_;
  std::vector<int> referenced_;  // PIDs with a role from the programs
  int patVersion_ = -1;
  bool patPending_ = false;
  int pendingVersion_ = -1;
  std::bitset<256> pendingSections_;
  std::map<int, int> pendingPrograms_;  // program number -> PMT PID
  std::map<int, std::pair<std::string, std::string>> serviceNames_;
  bool patSeen_ = false;
  bool catSeen_ = false;
  bool scrambledSeen_ = false;
  Mark firstScrambled_;
  int firstScrambledPid_ = 0;
};

}  // namespace health
