#include "capture/scan/channel_scan.h"

#include <chrono>
#include <cmath>
#include <map>
#include <set>
#include <thread>

#include "analysis/health/stream_health.h"
#include "analysis/si/si_collector.h"
#include "analysis/si/si_report.h"
#include "capture/stream_ring_access.h"
#include "capture/stream_ring_feeder.h"

namespace {

using Clock = std::chrono::steady_clock;

// At 200 Mbit/s the ring holds about 125 ms: poll well within that.
constexpr auto kPollInterval = std::chrono::milliseconds(10);
constexpr uint32_t kCompletenessCheckMs = 250;
constexpr uint32_t kSignalReadMs = 500;
constexpr int kAtscBasePid = 0x1FFB;
constexpr int kNitPid = 0x10;
// A DVB stream whose PAT names no network PID and which has sent nothing at
// all on PID 0x0010 for this long, while its PAT, PMTs and SDT came complete,
// is taken to carry no NIT, and its entry ends without waiting out the table
// time. The NIT may legitimately repeat only every 10 s, but a stream that
// has one announces it in the PAT as a rule; without that, a whole cycle of
// the SDT (which must repeat within 2 s) with the NIT's PID silent is the
// evidence waited for. A NIT sent unannounced and rarer than that is missed,
// and the reason says why.
constexpr uint32_t kSilentNitPidMs = 2000;

uint32_t MsSince(Clock::time_point start) {
  return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// Every section of the current version of each table (pid, table_id,
// extension) has been seen; false when there is no such table.
bool AllSectionsSeen(const SiCollector& collector, int pid, int tableId) {
  std::map<int, std::pair<std::set<int>, int>> byExtension;
  for (const SiSection* s : collector.Sections()) {
    if (s->pid != pid || s->tableId != tableId || !s->current) continue;
    auto& [numbers, last] = byExtension[s->extension];
    numbers.insert(s->sectionNumber);
    last = std::max(last, s->lastSectionNumber);
  }
  if (byExtension.empty()) return false;
  for (const auto& [extension, seen] : byExtension)
    for (int number = 0; number <= seen.second; ++number)
      if (!seen.first.count(number)) return false;
  return true;
}

bool CarriesTable(const SiCollector& collector, int pid, int tableId) {
  auto it = collector.TablesPerPid().find(pid);
  return it != collector.TablesPerPid().end() && it->second.count(tableId);
}

// Whether a current PAT section lists program 0 (the network PID).
bool PatNamesNetworkPid(const SiCollector& collector) {
  for (const SiSection* s : collector.Sections()) {
    if (s->pid != 0 || s->tableId != 0x00 || !s->current) continue;
    const std::vector<uint8_t>& b = s->bytes;
    // 8 header bytes, 4-byte program entries, the CRC_32 last.
    for (size_t at = 8; at + 4 + 4 <= b.size(); at += 4)
      if (b[at] == 0 && b[at + 1] == 0) return true;
  }
  return false;
}

bool PidCarriedPackets(const HealthResult& health, int pid) {
  for (const PidStats& stats : health.pids)
    if (stats.pid == pid) return stats.packets > 0;
  return false;
}

struct TableState {
  bool pat = false;
  bool pmts = false;
  bool atsc = false;
  bool names = false;         // SDT actual, or a VCT
  bool network = false;       // NIT actual (ATSC: not needed)
  bool nitAnnounced = false;  // the PAT names a network PID, or PID 0x0010 carries packets
  bool Complete() const { return pat && pmts && names && (network || atsc); }
  // Everything but the NIT, of a DVB stream that shows no sign of one.
  bool CompleteWithoutNit() const { return pat && pmts && names && !atsc && !network && !nitAnnounced; }
};

TableState CheckTables(const SiCollector& collector, const HealthResult& health) {
  TableState state;
  state.pat = AllSectionsSeen(collector, 0, 0x00);
  state.nitAnnounced = PidCarriedPackets(health, kNitPid) || (state.pat && PatNamesNetworkPid(collector));
  if (!state.pat) return state;
  SiReport report(collector, health);
  state.pmts = true;
  for (const SiService& service : report.Services())
    if (service.inPat && service.pcrPid < 0) state.pmts = false;
  state.atsc = CarriesTable(collector, kAtscBasePid, 0xC7);
  state.names = state.atsc ? AllSectionsSeen(collector, kAtscBasePid, 0xC8) || AllSectionsSeen(collector, kAtscBasePid, 0xC9)
                           : AllSectionsSeen(collector, 0x11, 0x42);
  state.network = AllSectionsSeen(collector, kNitPid, 0x40);
  return state;
}

ScanService ServiceFrom(const SiService& s) {
  ScanService service;
  service.serviceId = s.serviceId;
  service.name = s.name;
  service.provider = s.provider;
  service.serviceType = s.serviceType;
  service.logicalChannel = s.logicalChannel;
  service.majorChannel = s.majorChannel;
  service.minorChannel = s.minorChannel;
  service.pmtPid = s.pmtPid;
  service.pcrPid = s.pcrPid;
  service.scrambled = s.scrambled;
  service.caSystems = s.caSystems;
  service.transportStreamId = s.transportStreamId;
  service.originalNetworkId = s.originalNetworkId;
  for (const SiStream& stream : s.streams)
    service.streams.push_back({stream.pid, stream.streamType, stream.kind,
                               stream.languages.empty() ? std::string() : stream.languages.front()});
  return service;
}

// Whole seconds, for the reasons' "%s s".
std::string Seconds(uint32_t ms) { return std::to_string((ms + 500) / 1000); }

// The box problem as a reason, or `otherwise`.
ScanReasons ProblemReason(const char* otherwise) {
  ScanReasons reason;
  const TunerProblemReport problem = GetTunerProblem();
  switch (problem.problem) {
    case TunerProblem::InUse:
      reason.Add("the box is in use by another program (PID %s)", {std::to_string(problem.ownerPid)});
      break;
    case TunerProblem::NotAnswering: reason.Add("the box did not answer within %s s", {Seconds(problem.timeoutMs)}); break;
    case TunerProblem::Gone: reason.Add("the box stopped answering (unplugged?)"); break;
    case TunerProblem::None: reason.Add(otherwise); break;
  }
  return reason;
}

}  // namespace

const char* ScanOutcomeName(ScanOutcome outcome) {
  switch (outcome) {
    case ScanOutcome::Found: return "found";
    case ScanOutcome::NoLock: return "no_lock";
    case ScanOutcome::NoTables: return "no_tables";
    case ScanOutcome::TuneFailed: return "tune_failed";
    case ScanOutcome::BoxFailed: return "box_failed";
    case ScanOutcome::Cancelled: return "cancelled";
  }
  return "found";
}

std::string ScanChannelNumber(const ScanService& service) {
  if (service.majorChannel && service.minorChannel)
    return std::to_string(*service.majorChannel) + "." + std::to_string(*service.minorChannel);
  return service.logicalChannel ? std::to_string(*service.logicalChannel) : std::string();
}

size_t ScanResult::ServiceCount() const {
  size_t count = 0;
  for (const ScanTransponder& t : transponders) count += t.services.size();
  return count;
}

std::vector<ScanTuning> TuningsFromNitTables(const nlohmann::ordered_json& tables, const ScanTuning& defaults) {
  std::vector<ScanTuning> found;
  auto add = [&](ScanTuning tuning) {
    if (tuning.frequency == 0) return;
    for (const ScanTuning& known : found)
      if (known.SameTransponder(tuning)) return;
    tuning.source = ScanSource::Network;
    found.push_back(tuning);
  };
  if (!tables.is_array()) return found;
  for (const auto& table : tables) {
    const int tableId = table.value("table_id", -1);
    if ((tableId != 0x40 && tableId != 0x41) || !table.contains("sections")) continue;
    for (const auto& section : table["sections"]) {
      if (!section.contains("fields") || !section["fields"].contains("transport_streams")) continue;
      for (const auto& ts : section["fields"]["transport_streams"]) {
        if (!ts.contains("descriptors") || !ts["descriptors"].is_array()) continue;
        for (const auto& d : ts["descriptors"]) {
          if (!d.is_object() || d.contains("hex")) continue;
          const int tag = d.value("tag", -1);
          ScanTuning tuning = defaults;
          if (tag == 0x43 && defaults.family == TunerFamily::Satellite) {
            tuning.frequency = static_cast<uint32_t>((d.value("frequency_khz", uint64_t{0}) + 500) / 1000);
            tuning.symbolRateK = static_cast<uint32_t>(std::lround(d.value("symbol_rate_ksps", 0.0)));
            const std::string polarisation = d.value("polarization", "");
            tuning.horizontal = polarisation == "horizontal" || polarisation == "left";
            add(tuning);
          } else if (tag == 0x44 && defaults.family == TunerFamily::Cable) {
            tuning.frequency = static_cast<uint32_t>(std::lround(d.value("frequency_khz", 0.0)));
            tuning.symbolRateK = static_cast<uint32_t>(std::lround(d.value("symbol_rate_ksps", 0.0)));
            const std::string modulation = d.value("modulation", "");
            for (uint32_t order : {16u, 32u, 64u, 128u, 256u})
              if (modulation == std::to_string(order) + "-QAM") tuning.qamOrder = order;
            add(tuning);
          } else if (tag == 0x5A && defaults.family == TunerFamily::Terrestrial) {
            tuning.frequency = static_cast<uint32_t>(d.value("centre_frequency_hz", uint64_t{0}) / 1000);
            tuning.bandwidthMHz = static_cast<uint32_t>(d.value("bandwidth_mhz", static_cast<int>(defaults.bandwidthMHz)));
            add(tuning);
          }
        }
      }
    }
  }
  return found;
}

ScanTransponder TuneAndWaitForLock(const ScanTuning& tuning, const ScanSettings& settings,
                                   const std::atomic<bool>& cancel) {
  ScanTransponder t;
  t.tuning = tuning;
  auto cancelled = [&] {
    t.outcome = ScanOutcome::Cancelled;
    t.reason.Add("cancelled");
    return t;
  };
  const ChannelSettings channel = ChannelForTuning(tuning, settings.baseChannel);
  if (settings.family == TunerFamily::Satellite && GetSatelliteTuneLo(channel, settings.capture) == 0) {
    t.outcome = ScanOutcome::TuneFailed;
    t.reason.Add("no LO of the LNB brings %s MHz into the tuner's range", {std::to_string(tuning.frequency)});
    return t;
  }
  if (const int word = FindChannelFieldOutOfRange(settings.model, channel); word >= 0) {
    ChannelFieldRange range{};
    GetChannelFieldRange(settings.model, word, &range);
    t.outcome = ScanOutcome::TuneFailed;
    t.reason.Add("the %s %s is outside what the box can tune", {range.name, std::to_string(channel.words[word])}, true);
    return t;
  }
  if (cancel.load()) return cancelled();
  ClearTunerProblem();
  const Clock::time_point tuneStart = Clock::now();
  const uint32_t lockLimitMs = settings.lockTimeoutMs ? settings.lockTimeoutMs : GetDefaultLockTimeoutMs(settings.model);
  const TuneOutcome tuned = TuneChannelUntil(settings.model, channel, settings.capture, lockLimitMs);
  if (tuned != TuneOutcome::Tuned && cancel.load()) return cancelled();
  if (tuned == TuneOutcome::Refused) {
    const bool boxProblem = GetTunerProblem().problem != TunerProblem::None;
    t.outcome = boxProblem ? ScanOutcome::BoxFailed : ScanOutcome::TuneFailed;
    t.reason = ProblemReason("the box did not accept the channel");
    return t;
  }
  const LockWait lock = tuned == TuneOutcome::NotReady ? LockWait::NoLock : WaitForTunerLock(lockLimitMs);
  t.lockMs = MsSince(tuneStart);
  if (cancel.load()) return cancelled();
  if (lock == LockWait::Failed) {
    t.outcome = ScanOutcome::BoxFailed;
    t.reason = ProblemReason("the box did not say whether it locked");
    return t;
  }
  int strength = 0, quality = 0, locked = 0;
  if (GetSignalStatus(&strength, &quality, &locked)) {
    t.strength = strength;
    t.quality = quality;
  }
  if (lock == LockWait::NoLock) {
    t.outcome = ScanOutcome::NoLock;
    t.reason.Add("no lock within %s s", {Seconds(lockLimitMs)});
    return t;
  }
  t.locked = true;
  t.outcome = ScanOutcome::Found;
  return t;
}

void ChannelScan::Cancel() {
  cancel_.store(true);
  std::lock_guard<std::mutex> lock(runMutex_);
  // Releases a wait or a request in progress; Run resumes requests at its end.
  if (running_) CancelTunerRequests();
}

ScanResult ChannelScan::Run(const std::vector<ScanTuning>& plan, const ScanSettings& settings,
                            const ProgressFn& progress) {
  {
    std::lock_guard<std::mutex> lock(runMutex_);
    running_ = true;
    if (cancel_.load()) CancelTunerRequests();
  }
  const Clock::time_point start = Clock::now();
  ScanResult result;
  std::vector<ScanTuning> queue = plan;
  ScanProgress state;
  for (size_t index = 0; index < queue.size() && !cancel_.load(); ++index) {
    state = ScanProgress{};
    state.index = index;
    state.total = queue.size();
    state.tuning = queue[index];
    std::vector<ScanTuning> discovered;
    result.transponders.push_back(ScanOne(queue[index], settings, state, progress, &discovered));
    const ScanTransponder& done = result.transponders.back();
    if (done.outcome == ScanOutcome::Cancelled) break;
    if (done.outcome == ScanOutcome::BoxFailed) {
      result.boxFailed = true;
      break;
    }
    for (const ScanTuning& more : discovered) {
      bool known = false;
      for (const ScanTuning& queued : queue) known = known || queued.SameTransponder(more);
      if (!known && queue.size() < kMaxScanEntries) queue.push_back(more);
    }
    state.total = queue.size();
    state.stage = ScanStage::Done;
    state.finished = &done;
    if (progress) progress(state);
  }
  {
    std::lock_guard<std::mutex> lock(runMutex_);
    running_ = false;
    result.cancelled = cancel_.load();
    if (result.cancelled) {
      // The stream stop refused while requests were cancelled is sent now.
      ResumeTunerRequests();
      StopStream();
    }
  }
  result.elapsedMs = MsSince(start);
  return result;
}

ScanTransponder ChannelScan::ScanOne(const ScanTuning& tuning, const ScanSettings& settings, ScanProgress& state,
                                     const ProgressFn& report, std::vector<ScanTuning>* discovered) {
  ScanTransponder t;
  t.tuning = tuning;
  auto notify = [&](ScanStage stage) {
    state.stage = stage;
    if (report) report(state);
  };
  auto readSignal = [&] {
    int strength = 0, quality = 0, locked = 0;
    if (GetSignalStatus(&strength, &quality, &locked)) {
      t.strength = state.strength = strength;
      t.quality = state.quality = quality;
    }
  };
  auto cancelled = [&] {
    t.outcome = ScanOutcome::Cancelled;
    t.reason.Clear();
    t.reason.Add("cancelled");
    return t;
  };
  notify(ScanStage::Tuning);
  t = TuneAndWaitForLock(tuning, settings, cancel_);
  state.strength = t.strength;
  state.quality = t.quality;
  if (!t.locked) return t;
  notify(ScanStage::Tables);

  // The whole stream: a filter a capture left set would hide the tables.
  SetPidFilter(0);
  uint8_t* ring = nullptr;
  size_t mapped = 0;
  const StreamLayout layout = GetStreamLayout(settings.model);
  if (!StartStream(&ring, &mapped) || ring == nullptr || mapped < layout.ringSize) {
    if (ring != nullptr) StopStream();
    if (cancel_.load()) return cancelled();
    t.outcome = ScanOutcome::BoxFailed;
    t.reason = ProblemReason("the box did not start its stream");
    return t;
  }
  StreamHealth health;
  SiCollector collector([&health](int pid) { health.AssembleSectionsOn(pid); });
  for (int pid : SiCollector::InitialSectionPids()) health.AssembleSectionsOn(pid);
  health.SetObserver(&collector);
  StreamRingFeeder feeder(ring, layout.ringSize);
  const Clock::time_point streamStart = Clock::now();
  uint32_t lastCheck = 0, lastSignal = 0;
  TableState tables;
  bool boxFailed = false;
  for (;;) {
    if (cancel_.load()) break;
    if (!feeder.Poll(health)) {
      boxFailed = !cancel_.load();
      break;
    }
    const uint32_t elapsed = MsSince(streamStart);
    if (elapsed - lastCheck >= kCompletenessCheckMs || elapsed >= settings.tableTimeoutMs) {
      lastCheck = elapsed;
      tables = CheckTables(collector, health.Snapshot());
      if (tables.Complete() || elapsed >= settings.tableTimeoutMs) break;
      if (tables.CompleteWithoutNit() && elapsed >= kSilentNitPidMs) break;
    }
    if (elapsed - lastSignal >= kSignalReadMs) {
      lastSignal = elapsed;
      readSignal();
      notify(ScanStage::Tables);
    }
    std::this_thread::sleep_for(kPollInterval);
  }
  t.tablesMs = MsSince(streamStart);
  StopStream();
  if (cancel_.load()) return cancelled();
  if (boxFailed) {
    t.outcome = ScanOutcome::BoxFailed;
    t.reason = ProblemReason("the box stopped answering the stream position request");
    return t;
  }
  health.SetObserver(nullptr);
  const HealthResult result = health.Snapshot();
  const SiReport si(collector, result);
  t.atsc = si.Kind() == SiKind::Atsc;
  if (si.NetworkId()) t.networkId = *si.NetworkId();
  if (si.NetworkName()) t.networkName = *si.NetworkName();
  for (const SiService& service : si.Services()) {
    if (!service.inPat) continue;  // named by the SDT or VCT but not carried here
    t.services.push_back(ServiceFrom(service));
    if (t.transportStreamId < 0) t.transportStreamId = service.transportStreamId;
    if (t.originalNetworkId < 0) t.originalNetworkId = service.originalNetworkId;
  }
  if (const SiJson pat = si.TablesJson(0, 0x00); t.transportStreamId < 0 && !pat.empty())
    t.transportStreamId = pat.front().value("table_id_extension", -1);
  const std::string waited = Seconds(settings.tableTimeoutMs);
  if (feeder.bytes() == 0) {
    t.outcome = ScanOutcome::NoTables;
    t.reason.Add("the stream brought no data within %s s", {waited});
  } else if (!tables.pat) {
    t.outcome = ScanOutcome::NoTables;
    t.reason.Add("no PAT within %s s", {waited});
  } else {
    t.outcome = ScanOutcome::Found;
    if (!tables.pmts) {
      for (const ScanService& service : t.services)
        if (service.pcrPid < 0) t.reason.Add("no PMT of service %s within %s s", {std::to_string(service.serviceId), waited});
    }
    if (!tables.names) t.reason.Add(tables.atsc ? "no VCT within %s s" : "no SDT within %s s", {waited});
    if (tables.CompleteWithoutNit())
      t.reason.Add("no NIT: the PAT names no network PID and nothing came on PID 0x0010 in %s s",
                   {Seconds(t.tablesMs)});
    else if (!tables.network && !tables.atsc)
      t.reason.Add("no NIT within %s s", {waited});
  }
  if (settings.followNetwork && discovered) *discovered = TuningsFromNitTables(si.TablesJson(0x10, -1), tuning);
  return t;
}
