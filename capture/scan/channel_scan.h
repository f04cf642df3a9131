// The channel scan: tunes each entry of a plan on the open tuner box, waits
// for lock within the family's time, reads PAT, PMTs, SDT (or ATSC VCT) and
// NIT from the live stream within a bounded time (the stream health engine
// with a SiCollector, fed from the box's ring), and records the signal.
// With followNetwork the NIT's delivery descriptors add the transponders of
// the network the plan lacks, each once. Runs on the caller's thread; Cancel
// from any other thread ends it within a second, keeping what was found.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "capture/scan/scan_plan.h"
#include "device/tuner_device.h"

struct ScanStream {
  int pid = 0;
  int streamType = 0;
  std::string kind;  // as the services report: "video", "audio", "subtitles", ...
  std::string language;
};

struct ScanService {
  int serviceId = 0;
  std::string name;
  std::string provider;
  int serviceType = -1;          // SDT service_type, or ATSC service_type
  std::optional<int> logicalChannel;
  std::optional<int> majorChannel;  // ATSC
  std::optional<int> minorChannel;
  int pmtPid = -1;
  int pcrPid = -1;
  std::vector<ScanStream> streams;
  bool scrambled = false;
  std::vector<std::pair<int, int>> caSystems;  // CA_system_id, CA_PID
  int transportStreamId = -1;
  int originalNetworkId = -1;
};

// How one transponder went.
enum class ScanOutcome {
  Found,        // locked, PAT and every PMT read (SDT/VCT or NIT may still be missing: see reason)
  NoLock,       // no lock within the lock time
  NoTables,     // locked, but no PAT (or no PMT) within the table time
  TuneFailed,   // the box refused the tune, or no LO of the LNB reaches it
  BoxFailed,    // requests to the box failed (it went away, or did not answer)
  Cancelled,
};
const char* ScanOutcomeName(ScanOutcome outcome);

// The number a receiver shows: "major.minor" (ATSC), the logical channel
// number, or empty.
std::string ScanChannelNumber(const ScanService& service);  // "found", "no_lock", "no_tables", ...

struct ScanTransponder {
  ScanTuning tuning;
  ScanOutcome outcome = ScanOutcome::NoLock;
  std::string reason;             // empty when everything came; else what did not
  bool locked = false;
  std::optional<int> strength;    // percent, when the box tells
  std::optional<int> quality;
  int transportStreamId = -1;
  int originalNetworkId = -1;
  int networkId = -1;             // of the NIT actual
  std::string networkName;
  bool atsc = false;
  uint32_t lockMs = 0;            // tune and lock wait
  uint32_t tablesMs = 0;          // stream start until the tables were complete (or the limit)
  std::vector<ScanService> services;
};

struct ScanResult {
  std::vector<ScanTransponder> transponders;  // in the order scanned
  bool cancelled = false;
  bool boxFailed = false;          // the box stopped answering: the scan ended early
  uint32_t elapsedMs = 0;
  size_t ServiceCount() const;
};

struct ScanSettings {
  TunerFamily family = TunerFamily::None;
  int model = -1;
  ChannelSettings baseChannel{};  // words beyond the tuning, as the family's settings give them
  CaptureSettings capture{};      // LNB table and choice for satellite boxes
  uint32_t lockTimeoutMs = 0;     // 0: the family's default
  uint32_t tableTimeoutMs = kDefaultTableTimeoutMs;
  bool followNetwork = false;
  static constexpr uint32_t kDefaultTableTimeoutMs = 12000;
};

// What the scan is doing, for progress displays.
enum class ScanStage { Tuning /* and waiting for lock */, Tables, Done };
struct ScanProgress {
  size_t index = 0;        // 0-based entry being scanned
  size_t total = 0;        // entries known so far (grows with followNetwork)
  ScanStage stage = ScanStage::Tuning;
  ScanTuning tuning;
  std::optional<int> strength;
  std::optional<int> quality;
  const ScanTransponder* finished = nullptr;  // Done: the result of this entry
};

// Tunes `tuning` on the open box and waits for lock within the lock time:
// the first steps of each scan entry, and of a capture by service. Fills
// tuning, outcome (Found once locked), reason, locked, signal and lockMs.
// `cancel` ends the wait (CancelTunerRequests releases a request under way).
ScanTransponder TuneAndWaitForLock(const ScanTuning& tuning, const ScanSettings& settings,
                                   const std::atomic<bool>& cancel);

class ChannelScan {
public:
  using ProgressFn = std::function<void(const ScanProgress&)>;

  // Scans on the open box. `progress` is called on this thread at each
  // stage of each entry and a few times a second while waiting.
  ScanResult Run(const std::vector<ScanTuning>& plan, const ScanSettings& settings, const ProgressFn& progress);

  // Thread-safe; Run returns within a second with what it had found.
  void Cancel();
  bool Cancelled() const { return cancel_.load(); }

private:
  ScanTransponder ScanOne(const ScanTuning& tuning, const ScanSettings& settings, ScanProgress& progress,
                          const ProgressFn& report, std::vector<ScanTuning>* discovered);
  std::atomic<bool> cancel_{false};
  std::mutex runMutex_;
  bool running_ = false;
};

// The transponders that NIT tables (actual and other, as a SiReport's
// TablesJson gives them) name with a delivery descriptor of defaults.family;
// the other tuning values come from `defaults`.
std::vector<ScanTuning> TuningsFromNitTables(const nlohmann::ordered_json& tables, const ScanTuning& defaults);
