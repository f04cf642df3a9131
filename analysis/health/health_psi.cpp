#include "analysis/health/health_psi.h"

#include <algorithm>

#include "analysis/engine/psi.h"
#include "analysis/health/health_pcr.h"

namespace health {

namespace {

constexpr size_t kMaxHealthPrograms = 4096;
constexpr size_t kMaxSectionBytes = 4096 + 3;

// PAT, CAT, the DVB SI PIDs and the ATSC PSIP base PID.
bool IsSiPid(int pid) { return pid <= 0x01 || (pid >= 0x10 && pid <= 0x14) || pid == 0x1FFB; }


// stream_type 0x06 (private PES) is audio when a DVB audio descriptor says
// so. Everything that is neither video nor audio (subtitles, teletext,
// data) is Other.
PidKind ClassifyStream(int type, const uint8_t* descriptors, size_t length) {
  if (IsVideoStreamType(type)) return PidKind::Video;
  if (IsAudioStreamType(type)) return PidKind::Audio;
  if (type == 0x06) {
    for (size_t pos = 0; pos + 2 <= length;) {
      const int tag = descriptors[pos];
      if (tag == 0x6A || tag == 0x7A || tag == 0x7B || tag == 0x7C) return PidKind::Audio;
      pos += 2 + descriptors[pos + 1];
    }
  }
  return PidKind::Other;
}

bool CanBeTablePid(int pid) { return pid >= 0x10 && pid < kNullPid; }

}  // namespace

PsiTracker::PsiTracker(HealthContext& context, PcrChecks& pcr)
    : context_(context), pcr_(pcr), si_(context), assemblers_(kPidCount) {
  for (int pid = 0; pid < kPidCount; ++pid)
    if (IsSiPid(pid)) context_.pids[static_cast<size_t>(pid)].roles |= kRoleSections;
}

PsiTracker::~PsiTracker() = default;

void PsiTracker::StartStream(const Mark& first) {
  if (patTracker_ < 0) {
    patTracker_ = context_.trackers.Start(-1, IntervalKind::Pat, 0, context_.limits.patIntervalS, first);
    si_.StartStream(first);
  }
}

void PsiTracker::AskSections(int pid) {
  if (pid >= 0 && pid < kPidCount) context_.pids[static_cast<size_t>(pid)].roles |= kRoleSections | kRoleAsked;
}

void PsiTracker::DropSection(int pid) {
  if (assemblers_[static_cast<size_t>(pid)]) assemblers_[static_cast<size_t>(pid)]->collecting = false;
}

void PsiTracker::OnScrambled(int pid, unsigned scrambling, const Mark& mark) {
  if (!scrambledSeen_) {
    scrambledSeen_ = true;
    firstScrambled_ = mark;
    firstScrambledPid_ = pid;
  }
  if (pid == 0) {
    context_.board.Report(HealthCheck::Pat, mark, pid, [&]() -> Described {
      return {"PID 0x0000: transport_scrambling_control %s", {std::to_string(scrambling)}};
    });
  } else if (context_.pids[static_cast<size_t>(pid)].roles & kRolePmt) {
    context_.board.Report(HealthCheck::Pmt, mark, pid, [&]() -> Described {
      return {"PMT PID %s: transport_scrambling_control %s", {Hex4(pid), std::to_string(scrambling)}};
    });
  }
}

void PsiTracker::OnPayload(int pid, const uint8_t* payload, size_t length, bool unitStart, const Mark& mark) {
  auto& slot = assemblers_[static_cast<size_t>(pid)];
  if (!slot) slot = std::make_unique<Assembler>();
  Assembler& a = *slot;
  if (!unitStart) {
    if (a.collecting) Collect(pid, a, payload, length);
    return;
  }
  const size_t pointer = payload[0];
  size_t pos = 1;
  if (pos + pointer > length) {
    a.collecting = false;
    return;
  }
  if (a.collecting) Collect(pid, a, payload + pos, pointer);
  a.collecting = false;
  pos += pointer;
  // Sections starting in this packet.
  while (pos < length && payload[pos] != 0xFF) {
    if (length - pos >= 3) {
      const size_t total = 3 + (((payload[pos + 1] & 0x0F) << 8) | payload[pos + 2]);
      if (total > kMaxSectionBytes) return;
      if (total <= length - pos) {
        Section(pid, payload + pos, total, mark);
        pos += total;
        continue;
      }
    }
    a.bytes.assign(payload + pos, payload + length);
    a.collecting = true;
    a.start = mark;
    return;
  }
}

// Appends to the section being collected and completes it when whole.
void PsiTracker::Collect(int pid, Assembler& a, const uint8_t* data, size_t size) {
  a.bytes.insert(a.bytes.end(), data, data + size);
  if (a.bytes.size() < 3) return;
  const size_t total = 3 + (((a.bytes[1] & 0x0F) << 8) | a.bytes[2]);
  if (total > kMaxSectionBytes) {
    a.collecting = false;
    return;
  }
  if (a.bytes.size() >= total) {
    a.collecting = false;
    Section(pid, a.bytes.data(), total, a.start);
  }
}

bool PsiTracker::CrcChecked(int pid, const uint8_t* s, size_t size, bool intact, const Mark& mark) {
  if (size < 12 || intact) return size >= 12;
  context_.board.Report(HealthCheck::Crc, mark, pid, [&]() -> Described {
    return {"PID %s: table_id %s section with a wrong CRC_32", {Hex4(pid), Hex2(s[0])}};
  });
  return false;
}

void PsiTracker::Section(int pid, const uint8_t* s, size_t size, const Mark& mark) {
  const int tableId = s[0];
  const bool longForm = (s[1] & 0x80) != 0;
  // Long-form sections and the TOT carry a CRC_32; PSI sections are judged on it whatever their form.
  const bool hasCrc = longForm || tableId == 0x73;
  const bool crcOk = (hasCrc || pid <= 1 || (context_.pids[static_cast<size_t>(pid)].roles & kRolePmt)) &&
                     size >= 12 && CheckSectionCrc(s, static_cast<int>(size)) == 1;
  const bool observed = context_.observer && (!longForm || crcOk);
  if (observed) context_.observer->OnSection(pid, s, size, mark.offset);
  si_.OnSection(pid, s, size, !hasCrc || crcOk, observed, mark);
  if (pid == 0) {
    if (tableId != 0x00) {
      context_.board.Report(HealthCheck::Pat, mark, pid, [&]() -> Described {
        return {"PID 0x0000: section with table_id %s", {Hex2(tableId)}};
      });
      return;
    }
    context_.trackers.Event(patTracker_, mark);
    patSeen_ = true;
    if (CrcChecked(pid, s, size, crcOk, mark)) Pat(s, size, mark);
    return;
  }
  if (pid == 1) {
    if (tableId != 0x01) {
      context_.board.Report(HealthCheck::Cat, mark, pid, [&]() -> Described {
        return {"PID 0x0001: section with table_id %s", {Hex2(tableId)}};
      });
      return;
    }
    if (CrcChecked(pid, s, size, crcOk, mark)) {
      catSeen_ = true;
      ReferenceCaPids(s + 8, size - 12, mark);  // EMM PIDs
    }
    return;
  }
  const PidRole& role = context_.pids[static_cast<size_t>(pid)];
  if ((role.roles & kRolePmt) && tableId == 0x02) {
    if (role.pmtTracker >= 0) context_.trackers.Event(role.pmtTracker, mark);
    if (CrcChecked(pid, s, size, crcOk, mark)) Pmt(pid, s, size, mark);
    return;
  }
  if (!longForm && tableId != 0x73) return;
  bool checked = false;
  switch (pid) {
    case 0x10: checked = tableId == 0x40 || tableId == 0x41; break;
    case 0x11: checked = tableId == 0x42 || tableId == 0x46 || tableId == 0x4A; break;
    case 0x12: checked = tableId >= 0x4E && tableId <= 0x6F; break;
    case 0x14: checked = tableId == 0x73; break;
    default: break;
  }
  if (checked && CrcChecked(pid, s, size, crcOk, mark) && tableId == 0x42) Sdt(s, size);
}

void PsiTracker::Pat(const uint8_t* s, size_t size, const Mark& mark) {
  const int version = (s[5] >> 1) & 0x1F;
  if ((s[5] & 1) == 0) return;  // not yet in force
  if (version == patVersion_ && !patPending_) return;
  if (!patPending_ || version != pendingVersion_) {
    patPending_ = true;
    pendingVersion_ = version;
    pendingSections_.reset();
    pendingPrograms_.clear();
  }
  for (size_t pos = 8; pos + 4 <= size - 4; pos += 4) {
    const int program = (s[pos] << 8) | s[pos + 1];
    const int pmtPid = ((s[pos + 2] & 0x1F) << 8) | s[pos + 3];
    if (program == 0) {
      si_.OnNetworkPid(pmtPid, mark);
      continue;
    }
    if (pendingPrograms_.size() < kMaxHealthPrograms || pendingPrograms_.count(program))
      pendingPrograms_[program] = pmtPid;
  }
  pendingSections_.set(s[6]);
  for (int n = 0; n <= s[7]; ++n)
    if (!pendingSections_.test(static_cast<size_t>(n))) return;
  // Every section of the new version is here: it is in force.
  std::map<int, Program> programs;
  for (const auto& [number, pmtPid] : pendingPrograms_) {
    Program& p = programs[number];
    auto old = programs_.find(number);
    if (old != programs_.end()) p = old->second;
    if (p.pmtPid != pmtPid) p.version = -1;  // the PMT is read afresh on its new PID
    p.pmtPid = pmtPid;
  }
  programs_ = std::move(programs);
  patVersion_ = version;
  patPending_ = false;
  ApplyPrograms(mark);
}

void PsiTracker::Pmt(int pid, const uint8_t* s, size_t size, const Mark& mark) {
  if ((s[5] & 1) == 0) return;
  const int number = (s[3] << 8) | s[4];
  auto it = programs_.find(number);
  if (it == programs_.end() || it->second.pmtPid != pid) return;  // not in the PAT in force
  Program& program = it->second;
  const int version = (s[5] >> 1) & 0x1F;
  if (version == program.version) return;
  program.version = version;
  program.pcrPid = ((s[8] & 0x1F) << 8) | s[9];
  program.streams.clear();
  const size_t end = size - 4;
  const size_t programInfo = ((s[10] & 0x0F) << 8) | s[11];
  ReferenceCaPids(s + 12, std::min(programInfo, end - std::min(end, size_t{12})), mark);  // ECM PIDs
  size_t pos = 12 + programInfo;
  while (pos + 5 <= end) {
    const int type = s[pos];
    const int esPid = ((s[pos + 1] & 0x1F) << 8) | s[pos + 2];
    const size_t infoLength = ((s[pos + 3] & 0x0F) << 8) | s[pos + 4];
    const size_t descriptors = pos + 5;
    const size_t available = std::min(infoLength, end - std::min(end, descriptors));
    program.streams.push_back({esPid, type, ClassifyStream(type, s + descriptors, available)});
    ReferenceCaPids(s + descriptors, available, mark);
    pos = descriptors + infoLength;
  }
  ApplyPrograms(mark);
}

void PsiTracker::ApplyPrograms(const Mark& mark) {
  struct Wanted {
    uint8_t roles = 0;
    bool strict = false;  // video, audio or PCR: the PID_error limit; else the subtitle and data one
    int program = -1;
  };
  std::map<int, Wanted> wanted;
  auto want = [&](int pid, uint8_t roles, bool strict, int program) {
    Wanted& w = wanted[pid];
    w.roles |= roles;
    w.strict = w.strict || strict;
    if (w.program < 0) w.program = program;
  };
  for (const auto& [number, p] : programs_) {
    if (CanBeTablePid(p.pmtPid)) want(p.pmtPid, kRolePmt, false, number);
    for (const Stream& s : p.streams) {
      if (s.pid == kNullPid) continue;
      const bool timed = s.kind == PidKind::Video || s.kind == PidKind::Audio;
      want(s.pid, static_cast<uint8_t>(kRoleEs | (timed ? kRolePts : 0)), timed, number);
    }
    if (p.pcrPid >= 0 && p.pcrPid != kNullPid) want(p.pcrPid, kRolePcr, true, number);
  }
  std::vector<int> pids = referenced_;
  for (const auto& entry : wanted) pids.push_back(entry.first);
  std::sort(pids.begin(), pids.end());
  pids.erase(std::unique(pids.begin(), pids.end()), pids.end());

  const HealthLimits& limits = context_.limits;
  IntervalTrackers& trackers = context_.trackers;
  referenced_.clear();
  constexpr uint8_t kProgramRoles = kRolePmt | kRoleEs | kRolePts | kRolePcr;
  for (int pid : pids) {
    PidRole& role = context_.pids[static_cast<size_t>(pid)];
    auto found = wanted.find(pid);
    const Wanted w = found != wanted.end() ? found->second : Wanted{};
    const uint8_t before = role.roles & kProgramRoles;
    const uint8_t after = w.roles;
    auto gained = [&](uint8_t bit) { return (after & bit) && !(before & bit); };
    auto lost = [&](uint8_t bit) { return (before & bit) && !(after & bit); };
    auto stop = [&](int32_t& tracker) {
      trackers.Stop(tracker);
      tracker = -1;
    };
    if (gained(kRolePmt)) role.pmtTracker = trackers.Start(-1, IntervalKind::Pmt, pid, limits.pmtIntervalS, mark);
    if (lost(kRolePmt)) {
      stop(role.pmtTracker);
      DropSection(pid);
    }
    if (gained(kRolePts)) role.ptsTracker = trackers.Start(-1, IntervalKind::Pts, pid, limits.ptsIntervalS, mark);
    if (lost(kRolePts)) stop(role.ptsTracker);
    if (gained(kRolePcr)) {
      role.pcrTracker = trackers.Start(-1, IntervalKind::Pcr, pid, limits.pcrIntervalS, mark);
      role.pcrSeen = false;
      role.pcrDeclaredPacket = mark.packet;
      pcr_.EndRun(pid);
    }
    if (lost(kRolePcr)) {
      stop(role.pcrTracker);
      pcr_.EndRun(pid);
    }
    const double presence = (after & (kRoleEs | kRolePcr)) ? (w.strict ? limits.pidTimeoutS : limits.dataPidTimeoutS) : 0;
    if (presence != role.presenceLimit || (presence > 0 && role.presenceTracker < 0)) {
      if (role.presenceTracker >= 0) stop(role.presenceTracker);
      if (presence > 0)
        role.presenceTracker = trackers.Start(-1, IntervalKind::Packet, pid, presence, mark);
      role.presenceLimit = presence;
    }
    uint8_t kept = role.roles & (kRoleAsked | kRoleSections);
    if (!IsSiPid(pid) && !(kept & kRoleAsked)) kept &= static_cast<uint8_t>(~kRoleSections);
    if (after & kRolePmt) kept |= kRoleSections;
    role.roles = static_cast<uint8_t>(kept | after);
    role.program = w.program;
    if (after != 0) {
      referenced_.push_back(pid);
      si_.Reference(pid, mark);
    }
  }
}

void PsiTracker::Sdt(const uint8_t* s, size_t size) {
  const size_t end = size - 4;
  size_t pos = 11;
  while (pos + 5 <= end) {
    const int serviceId = (s[pos] << 8) | s[pos + 1];
    const size_t loop = ((s[pos + 3] & 0x0F) << 8) | s[pos + 4];
    size_t d = pos + 5;
    const size_t loopEnd = std::min(end, d + loop);
    while (d + 2 <= loopEnd) {
      const int tag = s[d];
      const size_t length = s[d + 1];
      if (d + 2 + length > loopEnd) break;
      if (tag == 0x48 && length >= 3) {
        const uint8_t* body = s + d + 2;
        const size_t providerLength = std::min<size_t>(body[1], length - 2);
        std::string provider(reinterpret_cast<const char*>(body + 2), providerLength);
        std::string name;
        if (2 + providerLength < length) {
          const size_t nameLength = std::min<size_t>(body[2 + providerLength], length - 3 - providerLength);
          name.assign(reinterpret_cast<const char*>(body + 3 + providerLength), nameLength);
        }
        if (serviceNames_.size() < kMaxHealthPrograms || serviceNames_.count(serviceId))
          serviceNames_[serviceId] = {std::move(name), std::move(provider)};
      }
      d += 2 + length;
    }
    pos = pos + 5 + loop;
  }
}

std::vector<ProgramInfo> PsiTracker::Programs() const {
  std::vector<ProgramInfo> out;
  for (const auto& [number, p] : programs_) {
    ProgramInfo info;
    info.programNumber = number;
    info.pmtPid = p.pmtPid;
    info.pcrPid = p.pcrPid;
    for (const Stream& s : p.streams) info.streams.push_back({s.pid, s.streamType, s.kind});
    auto names = serviceNames_.find(number);
    if (names != serviceNames_.end()) {
      info.serviceNameBytes = names->second.first;
      info.providerNameBytes = names->second.second;
    }
    out.push_back(std::move(info));
  }
  return out;
}

PidKind PsiTracker::KindOf(int pid, int* program, int* streamType) const {
  *program = -1;
  *streamType = -1;
  switch (pid) {
    case 0x00: return PidKind::Pat;
    case 0x01: return PidKind::Cat;
    case 0x10: return PidKind::Nit;
    case 0x11: return PidKind::SdtBat;
    case 0x12: return PidKind::Eit;
    case 0x14: return PidKind::TdtTot;
    case kNullPid: return PidKind::Null;
    default: break;
  }
  const uint8_t roles = context_.pids[static_cast<size_t>(pid)].roles;
  if (roles & kRolePmt) {
    for (const auto& [number, p] : programs_)
      if (p.pmtPid == pid) {
        *program = number;
        return PidKind::Pmt;
      }
  }
  if (roles & kRoleEs) {
    for (const auto& [number, p] : programs_)
      for (const Stream& s : p.streams)
        if (s.pid == pid) {
          *program = number;
          *streamType = s.streamType;
          return s.kind;
        }
  }
  if (roles & kRolePcr) {
    for (const auto& [number, p] : programs_)
      if (p.pcrPid == pid) {
        *program = number;
        return PidKind::Pcr;
      }
  }
  return PidKind::Unreferenced;
}

void PsiTracker::AddMissingCat(HealthCheckResult& cat, size_t maxOccurrences) const {
  if (!scrambledSeen_ || catSeen_) return;
  AddOccurrence(cat, firstScrambled_, firstScrambledPid_,
                {"PID %s: scrambled packets but no CAT", {Hex4(firstScrambledPid_)}}, maxOccurrences);
}

void PsiTracker::ReferenceCaPids(const uint8_t* d, size_t length, const Mark& mark) {
  for (size_t pos = 0; pos + 2 <= length && pos + 2 + d[pos + 1] <= length; pos += 2 + d[pos + 1])
    if (d[pos] == 0x09 && d[pos + 1] >= 4) si_.Reference(((d[pos + 4] & 0x1F) << 8) | d[pos + 5], mark);
}

void PsiTracker::SiResults(HealthResult& r) const { si_.Results(r, NoClockReason(AnyPcrPid())); }

bool PsiTracker::AnyPcrPid() const {
  for (const auto& [number, p] : programs_)
    if (p.pcrPid >= 0 && p.pcrPid != kNullPid) return true;
  return false;
}

}  // namespace health

bool IsVideoStreamType(int type) {
  switch (type) {
    case 0x01: case 0x02: case 0x10: case 0x1B: case 0x20: case 0x24: case 0x42: case 0xD1: case 0xEA:
      return true;
    default:
      return false;
  }
}

// 0x86 is left out: in DVB and ATSC streams it carries SCTE 35 cues, not audio.
bool IsAudioStreamType(int type) {
  switch (type) {
    case 0x03: case 0x04: case 0x0F: case 0x11: case 0x1C: case 0x81: case 0x82: case 0x83: case 0x84:
    case 0x85: case 0x87:
      return true;
    default:
      return false;
  }
}
