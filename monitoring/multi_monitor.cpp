#include "monitoring/multi_monitor.h"

#include <poll.h>

#include <algorithm>

#include "monitoring/monitor_metrics.h"

namespace {
// A ring holds about 125 ms at 200 Mbit/s: look well within that.
constexpr int kRingPollMs = 4;
constexpr int kIdlePollMs = 100;
}  // namespace

void MultiMonitor::Tick(MonitoredInput::Clock::time_point now, double elapsedS, const MultiMonitorOptions& options) {
  const std::string time = UtcTimeText(std::chrono::system_clock::now());
  std::vector<std::string> events;
  lostSeen_.resize(inputs_.size(), 0);
  for (size_t i = 0; i < inputs_.size(); ++i) {
    MonitoredInput& input = *inputs_[i];
    input.TakeSnapshot();
    if (options.events) {
      auto errors = ErrorEvents(input.name(), time, input.previous(), input.latest());
      events.insert(events.end(), errors.begin(), errors.end());
      if (const NetInputStats* net = input.source().Network(); net && net->rtpLost > lostSeen_[i]) {
        events.push_back(NetworkLossEvent(input.name(), time, net->rtpLost - lostSeen_[i], net->rtpLost));
        lostSeen_[i] = net->rtpLost;
      }
    }
    if (options.onSecond) options.onSecond(input, elapsedS);
  }
  (void)now;
  if (options.events) options.events->Write(events);
}

void MultiMonitor::Run(const std::atomic<bool>& stop, const MultiMonitorOptions& options) {
  using Clock = MonitoredInput::Clock;
  const Clock::time_point start = Clock::now();
  Clock::time_point nextTick = start + std::chrono::seconds(1);
  const bool anyPolled = std::any_of(inputs_.begin(), inputs_.end(),
                                     [](const auto& input) { return input->source().PollFd() < 0; });
  // Every input starts with a snapshot, so that the metrics have one from the first scrape on.
  for (auto& input : inputs_) input->TakeSnapshot();
  std::vector<pollfd> fds;
  int seconds = 0;
  while (!stop.load()) {
    fds.clear();
    for (const auto& input : inputs_)
      if (input->source().PollFd() >= 0) fds.push_back({input->source().PollFd(), POLLIN, 0});
    const size_t serverFirst = fds.size();
    if (options.metrics) options.metrics->AddPollFds(fds);
    const auto untilTick = std::chrono::duration_cast<std::chrono::milliseconds>(nextTick - Clock::now()).count();
    const int waitMs = static_cast<int>(std::clamp<long long>(untilTick, 0, anyPolled ? kRingPollMs : kIdlePollMs));
    ::poll(fds.data(), fds.size(), waitMs);
    const Clock::time_point now = Clock::now();
    // Every input is pumped on every pass: a silent one must turn Stopped in time.
    for (auto& input : inputs_) {
      std::string reason;
      if (input->Pump(now, &reason) && options.events)
        options.events->Write({StateEvent(input->name(), UtcTimeText(std::chrono::system_clock::now()),
                                          input->state(), reason)});
    }
    if (options.metrics)
      options.metrics->Serve(fds, serverFirst, [this, now] {
        std::vector<const MonitoredInput*> all;
        for (const auto& input : inputs_) all.push_back(input.get());
        return RenderMetrics(all, now);
      });
    if (now >= nextTick) {
      Tick(now, std::chrono::duration<double>(now - start).count(), options);
      nextTick += std::chrono::seconds(1);
      if (nextTick < now) nextTick = now + std::chrono::seconds(1);
      if (options.seconds > 0 && ++seconds >= options.seconds) break;
    }
  }
}
