#include "analysis/si/si_run.h"

#include <algorithm>

namespace {

// Bit rates move while nothing else changes: a snapshot at least this often.
constexpr std::chrono::seconds kRefresh{2};
// A snapshot costs at most 1/this of the reading time.
constexpr int kCostShare = 20;

}  // namespace

std::unique_ptr<SiCollector> MakeSiCollector(StreamHealth& health) {
  auto collector = std::make_unique<SiCollector>([&health](int pid) { health.AssembleSectionsOn(pid); });
  for (int pid : SiCollector::InitialSectionPids()) health.AssembleSectionsOn(pid);
  return collector;
}

const std::vector<SiGuideChannel>& SiSnapshot::Guide() const {
  std::call_once(guideOnce_, [this] {
    if (collector) guide_ = SiReport(*collector, health).Guide();
  });
  return guide_;
}

SiRun::SiRun(double publishIntervalS)
    : interval_(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(publishIntervalS))) {}

SiCollector& SiRun::Attach(StreamHealth& health) {
  health_ = &health;
  collector_ = MakeSiCollector(health);
  return *collector_;
}

void SiRun::OnBlock() {
  if (!collector_ || !health_) return;
  const auto now = Clock::now();
  if (now < next_) return;
  if (collector_->Revision() == publishedRevision_ && now - lastPublished_ < kRefresh) {
    next_ = now + interval_;
    return;
  }
  Publish(health_->Snapshot(), false);
  const auto spent = Clock::now() - now;
  next_ = Clock::now() + std::max<Clock::duration>(interval_, spent * kCostShare);
}

void SiRun::Finish(const HealthResult& result) {
  if (collector_) Publish(result, true);
  health_ = nullptr;
  finished_.store(true);
}

void SiRun::Publish(HealthResult health, bool final) {
  auto snapshot = std::make_shared<SiSnapshot>();
  snapshot->revision = collector_->Revision();
  // The engine is done with the collector by the final snapshot: it is handed
  // over rather than copied (a long schedule is megabytes of sections).
  if (final) snapshot->collector = std::move(collector_);
  else snapshot->collector = collector_->Copy();
  snapshot->health = std::move(health);
  snapshot->report = std::make_unique<SiReport>(*snapshot->collector, snapshot->health);
  snapshot->final = final;
  if (guideWanted_.load()) snapshot->Guide();
  publishedRevision_ = snapshot->revision;
  lastPublished_ = Clock::now();
  std::lock_guard<std::mutex> lock(mutex_);
  latest_ = std::move(snapshot);
  published_.fetch_add(1);
}

std::shared_ptr<const SiSnapshot> SiRun::Latest() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return latest_;
}
