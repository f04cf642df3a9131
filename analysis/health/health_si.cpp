#include "analysis/health/health_si.h"

#include <algorithm>
#include <cmath>

#include "analysis/health/health_clock.h"

namespace health {

namespace {

constexpr int kNitPid = 0x10, kSdtPid = 0x11, kEitPid = 0x12, kRstPid = 0x13, kTdtPid = 0x14;
constexpr int kPsipPid = 0x1FFB;
constexpr int kStuffingTable = 0x72;
constexpr size_t kMaxTables = 8192;
constexpr size_t kMaxPending = 1u << 16;
// As the interval trackers: a gap equal to its limit is within it.
constexpr double kRounding = 1e-8;

bool IsDvbSiPid(int pid) { return pid >= kNitPid && pid <= kTdtPid; }
// PSI and SI PIDs, the ATSC base PID and null packets need no PMT.
bool NeedsNoPsi(int pid) { return pid < 0x20 || pid >= kPidCount || pid == kPsipPid || pid == kNullPid; }
bool IsDvbSiTable(int tableId) { return tableId >= 0x40 && tableId <= 0x73 && tableId != kStuffingTable; }
bool IsPsipTable(int tableId) { return tableId >= 0xC7 && tableId <= 0xCD; }

// What the TR 101 290 checks of the SI PIDs allow on each.
bool TableIdAllowed(int pid, int tableId) {
  if (tableId == kStuffingTable) return true;
  switch (pid) {
    case kNitPid: return tableId == 0x40 || tableId == 0x41;
    case kSdtPid: return tableId == 0x42 || tableId == 0x46 || tableId == 0x4A;
    case kEitPid: return tableId >= 0x4E && tableId <= 0x6F;
    case kRstPid: return tableId == 0x71;
    case kTdtPid: return tableId == 0x70 || tableId == 0x73;
    default: return true;
  }
}

HealthCheck CheckOfPid(int pid) {
  switch (pid) {
    case kNitPid: return HealthCheck::Nit;
    case kSdtPid: return HealthCheck::Sdt;
    case kEitPid: return HealthCheck::Eit;
    case kRstPid: return HealthCheck::Rst;
    default: return HealthCheck::Tdt;
  }
}

// A section (of `what`) that has not come for `seconds`, longer than `limitS`.
Described NoSectionFor(int pid, const std::string& what, double seconds, double limitS) {
  return {"PID %s: no %s section for more than %s s (limit %s s)",
          {Hex4(pid), what, Seconds3(seconds), Seconds3(limitS)}};
}

}  // namespace

std::string TableName(int tableId) {
  switch (tableId) {
    case 0x00: return "PAT";
    case 0x01: return "CAT";
    case 0x02: return "PMT";
    case 0x40: return "NIT actual";
    case 0x41: return "NIT other";
    case 0x42: return "SDT actual";
    case 0x46: return "SDT other";
    case 0x4A: return "BAT";
    case 0x4E: return "EIT present/following actual";
    case 0x4F: return "EIT present/following other";
    case 0x70: return "TDT";
    case 0x71: return "RST";
    case 0x72: return "ST";
    case 0x73: return "TOT";
    case 0x7E: return "DIT";
    case 0x7F: return "SIT";
    case 0xC7: return "MGT";
    case 0xC8: return "TVCT";
    case 0xC9: return "CVCT";
    case 0xCA: return "RRT";
    case 0xCB: return "ATSC EIT";
    case 0xCC: return "ETT";
    case 0xCD: return "STT";
    case 0xFC: return "splice_info";
    default: break;
  }
  if (tableId >= 0x50 && tableId <= 0x5F) return "EIT schedule actual";
  if (tableId >= 0x60 && tableId <= 0x6F) return "EIT schedule other";
  return "table_id " + Hex2(tableId);
}

std::string SiChecks::TableWhat(const TableKey& key) {
  std::string what = TableName(key.tableId);
  if (key.extension >= 0) what += " " + Hex4(key.extension);
  return what;
}

SiChecks::SiChecks(HealthContext& context)
    : context_(context), referenced_(kPidCount, false), referencedAt_(kPidCount) {
  context_.trackers.Follow(this);
}

SiChecks::~SiChecks() { context_.trackers.Follow(nullptr); }

void SiChecks::StartStream(const Mark& first) {
  const HealthLimits& limits = context_.limits;
  if (limits.si == SiStandard::Auto || limits.si == SiStandard::Dvb) {
    groups_.push_back({kNitPid, 0x40, 0x41, HealthCheck::Nit, "NIT", {limits.nitIntervalS}});
    groups_.push_back({kSdtPid, 0x42, 0x42, HealthCheck::Sdt, "SDT actual", {limits.sdtIntervalS}});
    groups_.push_back({kEitPid, 0x4E, 0x4E, HealthCheck::Eit, "EIT present/following actual", {limits.eitIntervalS}});
    // The present and the following event each: a table that repeats only
    // one of them leaves receivers without the other.
    const int eit = static_cast<int>(groups_.size()) - 1;
    groups_.push_back({kEitPid, 0x4E, 0x4E, HealthCheck::Eit, "EIT present/following actual (section 0)",
                       {limits.eitIntervalS}, 0, eit});
    groups_.push_back({kEitPid, 0x4E, 0x4E, HealthCheck::Eit, "EIT present/following actual (section 1)",
                       {limits.eitIntervalS}, 1, eit});
    groups_.push_back({kTdtPid, 0x70, 0x70, HealthCheck::Tdt, "TDT", {limits.tdtIntervalS}});
  } else if (limits.si == SiStandard::Atsc) {
    groups_.push_back({kPsipPid, 0xC7, 0xC7, HealthCheck::SiRepetition, "MGT", {limits.mgtIntervalS}});
  }
  for (size_t g = 0; g < groups_.size(); ++g)
    if (groups_[g].section < 0) pending_.push_back({first, first.offset, -1, static_cast<int8_t>(g), false});
}

void SiChecks::OnNetworkPid(int pid, const Mark& mark) {
  networkPid_ = true;
  Reference(pid, mark);
}

void SiChecks::Reference(int pid, const Mark& mark) {
  if (pid < 0 || pid >= kPidCount || referenced_[static_cast<size_t>(pid)]) return;
  referenced_[static_cast<size_t>(pid)] = true;
  referencedAt_[static_cast<size_t>(pid)] = mark;
  if (!dropped_.empty()) StopWatching(pid);
}

void SiChecks::Unreference(int pid, const Mark& mark) {
  if (NeedsNoPsi(pid) || !referenced_[static_cast<size_t>(pid)]) return;
  referenced_[static_cast<size_t>(pid)] = false;
  if (dropped_.size() >= kMaxTables) return;
  context_.pids[static_cast<size_t>(pid)].roles |= kRoleUnnamed;
  dropped_.push_back({pid, mark, mark});
}

void SiChecks::OnUnnamedPacket(int pid, const Mark& mark) {
  for (Dropped& d : dropped_)
    if (d.pid == pid) {
      d.last = mark;
      d.packet = true;
    }
}

void SiChecks::StopWatching(int pid) {
  context_.pids[static_cast<size_t>(pid)].roles &= static_cast<uint8_t>(~kRoleUnnamed);
  std::erase_if(dropped_, [pid](const Dropped& d) { return d.pid == pid; });
}

void SiChecks::OnFirstPacket(int pid, const Mark& mark) {
  if (NeedsNoPsi(pid) || referenced_[static_cast<size_t>(pid)]) return;
  // Named once and dropped before its first packet: judged from that packet.
  if (!dropped_.empty()) StopWatching(pid);
  unreferenced_.push_back({pid, mark});
}

void SiChecks::CheckTableId(int pid, int tableId, const Mark& mark) {
  if (!IsDvbSiPid(pid) || TableIdAllowed(pid, tableId)) return;
  context_.board.Report(CheckOfPid(pid), mark, pid, [&]() -> Described {
    return {"PID %s: section with table_id %s", {Hex4(pid), Hex2(tableId)}};
  });
}

int SiChecks::TableFor(int pid, const uint8_t* s, size_t size, const Mark& mark) {
  const int tableId = s[0];
  const bool longForm = (s[1] & 0x80) != 0;
  TableKey key{pid, tableId, -1, -1};
  if (longForm && size >= 12) {
    key.extension = (s[3] << 8) | s[4];
    if (tableId >= 0x4E && tableId <= 0x6F && size >= 16)
      key.network = (int64_t{s[8]} << 24) | (int64_t{s[9]} << 16) | (s[10] << 8) | s[11];
    else if ((tableId == 0x42 || tableId == 0x46) && size >= 14)
      key.network = (s[8] << 8) | s[9];
  }
  auto found = tableIndex_.find(key);
  if (found != tableIndex_.end()) return found->second;
  if (tables_.size() >= kMaxTables) return -1;
  Table table;
  table.key = key;
  table.first = mark;
  const HealthLimits& limits = context_.limits;
  if (IsDvbSiPid(pid) && IsDvbSiTable(tableId) && TableIdAllowed(pid, tableId)) {
    // Every DVB SI sub-table: never sooner than the minimum; the maximum of
    // TR 101 211 where it sets one. The tables checked from the start by a
    // group count their maximum there; the optional "other" ones here.
    table.timing.minS = limits.siMinIntervalS;
    switch (tableId) {
      case 0x40: table.timing.maxS = limits.nitIntervalS, table.own = HealthCheck::Nit; break;
      case 0x41: table.timing.maxS = limits.nitOtherIntervalS, table.own = HealthCheck::Nit, table.ownMax = true; break;
      case 0x42: table.timing.maxS = limits.sdtIntervalS, table.own = HealthCheck::Sdt; break;
      case 0x46: table.timing.maxS = limits.sdtOtherIntervalS, table.own = HealthCheck::Sdt, table.ownMax = true; break;
      case 0x4A: table.timing.maxS = limits.batIntervalS; break;
      case 0x4E: table.timing.maxS = limits.eitIntervalS, table.own = HealthCheck::Eit; break;
      case 0x4F: table.timing.maxS = limits.eitOtherIntervalS, table.own = HealthCheck::Eit, table.ownMax = true; break;
      case 0x70: table.timing.maxS = limits.tdtIntervalS, table.own = HealthCheck::Tdt; break;
      case 0x71: table.own = HealthCheck::Rst; break;
      case 0x73: table.timing.maxS = limits.tdtIntervalS; break;
      default:
        // Each schedule table_id holds 4 days: the first two, the first 8.
        if (tableId >= 0x50)
          table.timing.maxS = (tableId & 0x0F) < 2 ? limits.eitScheduleIntervalS : limits.eitScheduleLaterIntervalS;
        break;
    }
  } else if (pid == kPsipPid) {
    if (tableId == 0xC7) table.timing.maxS = limits.mgtIntervalS;
    if (tableId == 0xC8 || tableId == 0xC9) table.timing.maxS = limits.vctIntervalS;
    if (tableId == 0xCD) table.timing.maxS = limits.sttIntervalS;
  }
  tables_.push_back(std::move(table));
  const auto index = static_cast<int32_t>(tables_.size() - 1);
  tableIndex_.emplace(key, index);
  return index;
}

void SiChecks::OnSection(int pid, const uint8_t* s, size_t size, bool intact, bool observed, const Mark& mark,
                         const Mark& end) {
  const int tableId = s[0];
  CheckTableId(pid, tableId, mark);
  if (!intact) {
    // A damaged section is not counted as a repetition; the observer did not get it.
    if (observed) pending_.push_back({mark, end.offset, -1, -1, true});
    return;
  }
  // An SDT actual alone is what multiplexers (ffmpeg, encoders) write to
  // name their services; a broadcast carries the rest of DVB SI too.
  if (IsDvbSiPid(pid) && IsDvbSiTable(tableId)) (tableId == 0x42 ? sdtSeen_ : dvbSeen_) = true;
  if (pid == kPsipPid && IsPsipTable(tableId)) {
    psipSeen_ = true;
    if (tableId == 0xC7) LearnFromMgt(s, size, mark);
  }
  const int32_t table = TableFor(pid, s, size, mark);
  if (table >= 0) {
    Table& t = tables_[static_cast<size_t>(table)];
    ++t.count;
    if ((tableId == 0x4E || tableId == 0x4F) && size >= 7 && s[6] <= 1) t.pfSections |= static_cast<uint8_t>(1 << s[6]);
  }
  int8_t group = -1;
  for (size_t g = 0; g < groups_.size(); ++g)
    if (groups_[g].section < 0 && groups_[g].pid == pid && tableId >= groups_[g].lo && tableId <= groups_[g].hi)
      group = static_cast<int8_t>(g);
  if (pending_.size() >= kMaxPending) pending_.pop_front();  // a stream without a clock: never timed
  const int16_t section = (s[1] & 0x80) && size >= 7 ? s[6] : -1;
  pending_.push_back({mark, end.offset, table, group, observed, section});
  // After its table's: the section's time is judged knowing whether the table was out.
  for (size_t g = 0; g < groups_.size() && group >= 0; ++g)
    if (groups_[g].of == group && section == groups_[g].section) {
      if (pending_.size() >= kMaxPending) pending_.pop_front();
      pending_.push_back({mark, end.offset, -1, static_cast<int8_t>(g), false});
    }
}

void SiChecks::LearnFromMgt(const uint8_t* s, size_t size, const Mark& mark) {
  if (size < 17) return;
  const size_t end = size - 4;
  const int tables = (s[9] << 8) | s[10];
  size_t pos = 11;
  for (int i = 0; i < tables && pos + 11 <= end; ++i) {
    Reference(((s[pos + 2] & 0x1F) << 8) | s[pos + 3], mark);
    pos += 11 + (((s[pos + 9] & 0x0F) << 8) | s[pos + 10]);
  }
}

void SiChecks::Interval(Timing& timing, double t, double tEnd, const Mark& mark, int pid, const Naming& what,
                        HealthCheck maxCheck, HealthCheck minCheck, bool maxAlsoRepetition, CheckBoard& board) {
  if (timing.have) {
    const double gap = t - timing.last;
    timing.shortest = timing.intervals == 0 ? gap : std::min(timing.shortest, gap);
    timing.longest = std::max(timing.longest, gap);
    timing.sum += gap;
    ++timing.intervals;
    // The minimum is from the last byte of one section to the first of the next.
    const double pause = t - timing.lastEnd;
    if (timing.minS > 0 && pause < timing.minS - kRounding) {
      auto describe = [&]() -> Described {
        return {"PID %s: %s section %s ms after the end of the previous one (minimum %s ms)",
                {Hex4(pid), what(), Format("%.3f", pause * 1e3), Format("%.0f", timing.minS * 1e3)}};
      };
      board.Report(HealthCheck::SiRepetition, mark, pid, describe);
      if (minCheck != HealthCheck::SiRepetition) board.Report(minCheck, mark, pid, describe);
    }
    if (timing.maxS > 0 && !timing.openReported && gap > timing.maxS + kRounding) {
      auto describe = [&]() -> Described {
        return {"PID %s: %s section %s s after the previous one (limit %s s)",
                {Hex4(pid), what(), Seconds3(gap), Seconds3(timing.maxS)}};
      };
      board.Report(maxCheck, mark, pid, describe);
      if (maxAlsoRepetition && maxCheck != HealthCheck::SiRepetition)
        board.Report(HealthCheck::SiRepetition, mark, pid, describe);
    }
  }
  timing.have = true;
  timing.openReported = false;
  timing.last = t;
  timing.lastEnd = tEnd;
  if (timing.maxS > 0) nextDeadline_ = std::min(nextDeadline_, t + timing.maxS);
}

void SiChecks::Timed(const StreamClock& clock, const Mark& now, double tailWeight, CheckBoard& board) {
  // Sections queue in the order they end.
  while (!pending_.empty() && pending_.front().endOffset <= now.offset) {
    const Pending p = pending_.front();
    pending_.pop_front();
    const double t = clock.At(p.mark.offset);
    const double tEnd = clock.At(p.endOffset);
    if (p.table >= 0) {
      Table& table = tables_[static_cast<size_t>(p.table)];
      Interval(table.timing, t, tEnd, p.mark, table.key.pid, [&] { return TableWhat(table.key); },
               table.ownMax ? table.own : HealthCheck::SiRepetition, table.own, true, board);
    }
    if (p.group >= 0) {
      Group& g = groups_[static_cast<size_t>(p.group)];
      if (g.section < 0 && g.timing.have && g.timing.maxS > 0) {
        const bool outage = t - g.timing.last > g.timing.maxS + kRounding;
        for (Group& section : groups_) {
          Timing& timing = section.timing;
          if (section.of != p.group || !timing.have) continue;
          if (outage) {
            // The table comes back: its sections are missing from here on.
            timing.last = std::max(timing.last, t);
            timing.openReported = false;
          } else if (section.section != p.section && !timing.openReported && t - timing.last > timing.maxS + kRounding) {
            timing.openReported = true;
            board.Report(section.check, p.mark, section.pid,
                         [&] { return NoSectionFor(section.pid, section.what, t - timing.last, timing.maxS); });
          }
        }
      }
      Interval(g.timing, t, tEnd, p.mark, g.pid, [&] { return std::string(g.what); }, g.check, g.check, false, board);
      // A repetition group (ATSC) only waits for its table's first section; the table's own limit goes on.
      if (p.table >= 0 && g.check == HealthCheck::SiRepetition) g.timing.maxS = 0;
    }
    if (p.observed && context_.observer) context_.observer->OnSectionTime(p.mark.offset, t);
  }
  const double anchorTime = clock.At(clock.anchor().offset);
  const double nowTime = anchorTime + std::max(0.0, clock.At(now.offset) - anchorTime) * tailWeight;
  if (nowTime > nextDeadline_) OpenGaps(nowTime, now, board);
  if (!unreferenced_.empty()) JudgeUnreferenced(clock, now, nowTime, board);
  if (!dropped_.empty()) JudgeDropped(clock, now, board);
}

void SiChecks::JudgeDropped(const StreamClock& clock, const Mark& now, CheckBoard& board) {
  const double limit = context_.limits.unreferencedPidS;
  std::vector<int> judged;
  for (const Dropped& d : dropped_) {
    if (!d.packet || d.last.offset > now.offset) continue;
    const double after = clock.At(d.last.offset) - clock.At(d.since.offset);
    if (after <= limit + kRounding) continue;
    board.Report(HealthCheck::UnreferencedPid, d.last, d.pid, [&]() -> Described {
      return {"PID %s: packets %s s after the PSI stopped naming it (limit %s s)",
              {Hex4(d.pid), Seconds3(after), Seconds3(limit)}};
    });
    judged.push_back(d.pid);
  }
  for (int pid : judged) StopWatching(pid);
}

void SiChecks::OpenGaps(double nowTime, const Mark& now, CheckBoard& board) {
  nextDeadline_ = INFINITY;
  auto judge = [&](Timing& timing, int pid, const Naming& what, HealthCheck check, bool alsoRepetition) {
    if (timing.maxS <= 0 || !timing.have || timing.openReported) return;
    if (nowTime - timing.last <= timing.maxS + kRounding) {
      nextDeadline_ = std::min(nextDeadline_, timing.last + timing.maxS);
      return;
    }
    timing.openReported = true;
    auto describe = [&] { return NoSectionFor(pid, what(), nowTime - timing.last, timing.maxS); };
    board.Report(check, now, pid, describe);
    if (alsoRepetition && check != HealthCheck::SiRepetition) board.Report(HealthCheck::SiRepetition, now, pid, describe);
  };
  for (Table& table : tables_) {
    if (table.timing.maxS <= 0) continue;
    judge(table.timing, table.key.pid, [&] { return TableWhat(table.key); },
          table.ownMax ? table.own : HealthCheck::SiRepetition, true);
  }
  for (Group& g : groups_)
    if (g.section < 0) judge(g.timing, g.pid, [&] { return std::string(g.what); }, g.check, false);
}

void SiChecks::JudgeUnreferenced(const StreamClock& clock, const Mark& now, double nowTime, CheckBoard& board) {
  const double limit = context_.limits.unreferencedPidS;
  auto judged = [&](const Unreferenced& u) {
    const double first = clock.At(u.first.offset);
    if (referenced_[static_cast<size_t>(u.pid)]) {
      const Mark& at = referencedAt_[static_cast<size_t>(u.pid)];
      if (at.offset > now.offset) return false;  // not timed yet
      const double delay = clock.At(at.offset) - first;
      if (delay > limit + kRounding)
        board.Report(HealthCheck::UnreferencedPid, u.first, u.pid, [&]() -> Described {
          return {"PID %s: first named by the PSI %s s after its first packet (limit %s s)",
                  {Hex4(u.pid), Seconds3(delay), Seconds3(limit)}};
        });
      return true;
    }
    if (nowTime - first <= limit + kRounding) return false;
    board.Report(HealthCheck::UnreferencedPid, u.first, u.pid, [&]() -> Described {
      return {"PID %s: not named by the PSI for more than %s s after its first packet (limit %s s)",
              {Hex4(u.pid), Seconds3(nowTime - first), Seconds3(limit)}};
    });
    return true;
  };
  unreferenced_.erase(std::remove_if(unreferenced_.begin(), unreferenced_.end(), judged), unreferenced_.end());
}

SiStandard SiChecks::Applied() const {
  switch (context_.limits.si) {
    case SiStandard::Auto: break;
    case SiStandard::Dvb: return SiStandard::Dvb;
    case SiStandard::Atsc: return SiStandard::Atsc;
    case SiStandard::None: return SiStandard::None;
  }
  // An ATSC multiplex may name a network PID in its PAT; PSIP says more.
  if (dvbSeen_) return SiStandard::Dvb;
  if (psipSeen_) return SiStandard::Atsc;
  return networkPid_ ? SiStandard::Dvb : SiStandard::None;
}

void SiChecks::Results(HealthResult& r, const char* noClock) const {
  const size_t maxOccurrences = context_.limits.maxOccurrences;
  auto check = [&](HealthCheck c) -> HealthCheckResult& { return r.checks[static_cast<size_t>(c)]; };
  // EIT present/following: a sub-table that came more than once with only one of its two sections.
  for (const Table& table : tables_) {
    if (table.key.pid != kEitPid || (table.key.tableId != 0x4E && table.key.tableId != 0x4F)) continue;
    if (table.count < 2 || table.pfSections == 3) continue;
    const int has = table.pfSections == 1 ? 0 : 1;
    AddOccurrence(check(HealthCheck::Eit), table.first, kEitPid,
                  {"PID %s: %s %s has section %s but not section %s",
                   {Hex4(kEitPid), TableName(table.key.tableId), Hex4(table.key.extension), std::to_string(has),
                    std::to_string(1 - has)}},
                  maxOccurrences);
  }

  r.siStandard = Applied();
  const HealthCheck dvbOnly[] = {HealthCheck::Nit, HealthCheck::Sdt, HealthCheck::Eit, HealthCheck::Rst,
                                 HealthCheck::Tdt};
  const HealthCheck all[] = {HealthCheck::Nit, HealthCheck::SiRepetition, HealthCheck::UnreferencedPid,
                             HealthCheck::Sdt, HealthCheck::Eit, HealthCheck::Rst, HealthCheck::Tdt};
  if (r.siStandard == SiStandard::None) {
    const bool off = context_.limits.si == SiStandard::None;
    for (HealthCheck c : all)
      SetNotEvaluated(check(c),
                      off        ? "the service information checks are switched off"
                      : sdtSeen_ ? "an SDT but no other DVB SI (NIT, EIT, TDT) and no network PID: a multiplexer's "
                                   "output naming its services, not broadcast service information (--si dvb judges it)"
                                 : "no DVB SI (PIDs 0x0010 to 0x0014, a network PID) and no ATSC PSIP (PID 0x1FFB) in the "
                                   "stream: no service information to judge",
                      {});
  } else if (r.siStandard == SiStandard::Atsc) {
    for (HealthCheck c : dvbOnly) SetNotEvaluated(check(c), "a DVB SI check: the stream carries ATSC PSIP", {});
  }
  if (!context_.clock.Valid()) {
    // Table_ids are judged without a clock; nothing else is.
    for (HealthCheck c : all) {
      HealthCheckResult& result = check(c);
      if (result.evaluated && result.count == 0) SetNotEvaluated(result, noClock, {});
    }
  }

  r.siTables.reserve(tables_.size());
  for (const auto& [key, index] : tableIndex_) {
    const Table& table = tables_[static_cast<size_t>(index)];
    SiTableRepetition out;
    out.pid = key.pid;
    out.tableId = key.tableId;
    out.extension = key.extension;
    out.network = key.network;
    out.count = table.count;
    out.firstOffset = table.first.offset;
    out.intervals = table.timing.intervals;
    if (out.intervals > 0) {
      out.minS = table.timing.shortest;
      out.maxS = table.timing.longest;
      out.meanS = table.timing.sum / static_cast<double>(out.intervals);
    }
    r.siTables.push_back(out);
  }
}

}  // namespace health
