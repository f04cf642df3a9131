// The service information of an analysis that a display polls while the
// stream is read: the reading thread publishes snapshots (a copy of the
// collector and the health result of that moment, with a report over both)
// when something changed, as often as the health run
// publishes but never spending more than a small share of the reading
// time on it; any thread takes the latest.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "analysis/health/stream_health.h"
#include "analysis/si/si_collector.h"
#include "analysis/si/si_report.h"

// What the service information said at one moment. Read-only once
// published; its report decodes (and caches) on the thread that reads it,
// so one thread at a time reads a snapshot.
struct SiSnapshot {
  std::unique_ptr<const SiCollector> collector;
  HealthResult health;
  std::unique_ptr<SiReport> report;  // over `collector` and `health`
  uint64_t revision = 0;             // the collector's Revision()
  bool final = false;                // the last one of the run

  // The programme guide, joined on first use: most snapshots are never
  // shown as a guide, and joining a week's schedule is the dearest part.
  // Joined once, by whichever thread asks first (another waits for it); it
  // reads only `collector` and `health`, never `report`, so one thread may
  // join it while another reads the rest.
  const std::vector<SiGuideChannel>& Guide() const;

private:
  mutable std::once_flag guideOnce_;
  mutable std::vector<SiGuideChannel> guide_;
};

// A collector that asks `health` to assemble the sections of the PIDs it
// learns of (PMTs, EITs, the ATSC tables); the caller attaches it as the
// engine's observer.
std::unique_ptr<SiCollector> MakeSiCollector(StreamHealth& health);

class SiRun {
public:
  // At most every `publishIntervalS`, and then only when the collector
  // changed (or, for the bit rates, every few seconds).
  explicit SiRun(double publishIntervalS = 0.25);

  // On the reading thread, before the first byte: the collector to attach.
  SiCollector& Attach(StreamHealth& health);
  // On the reading thread after every block.
  void OnBlock();
  // On the reading thread once the engine finished: the final snapshot,
  // which takes the collector over.
  void Finish(const HealthResult& result);
  // Any thread: whether snapshots come with their guide joined on the
  // reading thread, for a display that shows the guide as it grows.
  void SetGuideWanted(bool wanted) { guideWanted_.store(wanted); }

  // Any thread.
  std::shared_ptr<const SiSnapshot> Latest() const;
  uint64_t PublishedCount() const { return published_.load(); }
  bool Finished() const { return finished_.load(); }

private:
  using Clock = std::chrono::steady_clock;
  void Publish(HealthResult health, bool final);

  Clock::duration interval_;
  std::unique_ptr<SiCollector> collector_;
  StreamHealth* health_ = nullptr;
  Clock::time_point next_{};
  Clock::time_point lastPublished_{};
  uint64_t publishedRevision_ = UINT64_MAX;

  mutable std::mutex mutex_;
  std::shared_ptr<const SiSnapshot> latest_;
  std::atomic<uint64_t> published_{0};
  std::atomic<bool> finished_{false};
  std::atomic<bool> guideWanted_{false};
};
