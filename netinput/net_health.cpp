#include "netinput/net_health.h"

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "netinput/net_stream_input.h"

namespace {

using Clock = std::chrono::steady_clock;
// How often a silent input looks at the cancel flag.
constexpr int kWaitMs = 100;
constexpr double kPublishIntervalS = 0.25;
// Where --packets looks for the packet size: past any garbage before the first packet.
constexpr size_t kGridSearchBytes = 64 * 1024;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

NetAnalysisOutcome AnalyseNetworkInput(const NetAddress& address, const HealthLimits& limits,
                                       const NetAnalysisOptions& options, HealthFileRun* run) {
  NetAnalysisOutcome outcome;
  auto input = NetStreamInput::Open(address, &outcome.error);
  if (!input) {
    if (run) run->done.store(true);
    return outcome;
  }
  outcome.receiveBufferBytes = input->receiver().receiveBufferBytes();
  StreamHealth health(limits);
  if (options.prepare) options.prepare(health);
  const Clock::time_point start = Clock::now();
  Clock::time_point first{};
  Clock::time_point nextPublish = start;
  // --packets counts whole packets from the first one: found in the first
  // bytes, as datagrams need not start on a packet.
  int packetSize = 0;
  uint64_t limitBytes = 0;
  std::vector<uint8_t> head;
  uint64_t bytesFed = 0;
  bool limitReached = false;
  bool sinkFailed = false;
  const auto sink = [&](const uint8_t* data, size_t size) {
    if (limitReached) return;
    if (options.maxPackets > 0 && packetSize == 0 && head.size() < kGridSearchBytes) {
      head.insert(head.end(), data, data + std::min(size, kGridSearchBytes - head.size()));
      size_t first = 0;
      if ((packetSize = FindPacketGrid(head.data(), head.size(), &first)) != 0)
        limitBytes = first + options.maxPackets * static_cast<uint64_t>(packetSize);
    }
    if (options.maxBytes > 0 && (limitBytes == 0 || options.maxBytes < limitBytes)) limitBytes = options.maxBytes;
    if (limitBytes > 0 && bytesFed + size >= limitBytes) {
      // (A tiny limit may lie inside what was fed before the packet size showed.)
      size = bytesFed >= limitBytes ? 0 : static_cast<size_t>(limitBytes - bytesFed);
      limitReached = true;
    }
    if (options.onBytes && size > 0 && !options.onBytes(data, size, &outcome.error)) {
      sinkFailed = true;
      limitReached = true;
      return;
    }
    health.Feed(data, size);
    bytesFed += size;
  };
  outcome.end = NetAnalysisEnd::Limit;
  while (!limitReached) {
    if (run && run->cancel.load(std::memory_order_relaxed)) {
      outcome.end = NetAnalysisEnd::Cancelled;
      break;
    }
    const Clock::time_point now = Clock::now();
    if (input->received() && options.durationS > 0 && Seconds(now - first) >= options.durationS) break;
    const double silentS = Seconds(now - (input->received() ? input->lastDatagram() : start));
    if (silentS >= address.timeoutS) {
      outcome.end = input->received() ? NetAnalysisEnd::Stalled : NetAnalysisEnd::NoData;
      break;
    }
    pollfd wait{input->fd(), POLLIN, 0};
    int waitMs = kWaitMs;
    if (input->received() && options.durationS > 0)
      waitMs = std::clamp(static_cast<int>((options.durationS - Seconds(now - first)) * 1000) + 1, 1, kWaitMs);
    if (::poll(&wait, 1, waitMs) <= 0) continue;
    const bool wasReceived = input->received();
    if (input->Receive(sink, &outcome.error) < 0) {
      outcome.end = NetAnalysisEnd::SocketError;
      break;
    }
    if (!wasReceived && input->received()) first = input->lastDatagram();
    if (run) {
      run->bytesDone.store(bytesFed, std::memory_order_relaxed);
      if (Clock::now() >= nextPublish) {
        run->Publish(health.Snapshot());
        nextPublish = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                         std::chrono::duration<double>(kPublishIntervalS));
      }
    }
  }
  if (sinkFailed) outcome.end = NetAnalysisEnd::SinkFailed;
  health.Finish();
  outcome.result = health.Snapshot();
  outcome.result.partial = outcome.end != NetAnalysisEnd::Limit;
  outcome.network = input->stats();
  outcome.truncatedDatagrams = input->receiver().truncated();
  outcome.receivedS = input->received() ? Seconds(Clock::now() - first) : 0;
  if (run) {
    run->Publish(outcome.result);
    run->done.store(true);
  }
  return outcome;
}

std::string DescribeNetworkStats(const NetInputStats& stats) {
  char text[320];
  std::snprintf(text, sizeof text,
                "network: %llu datagrams, %llu lost, %llu late, %llu duplicate, %llu not 1-7 whole packets",
                static_cast<unsigned long long>(stats.datagrams), static_cast<unsigned long long>(stats.rtpLost),
                static_cast<unsigned long long>(stats.rtpLate), static_cast<unsigned long long>(stats.rtpDuplicates),
                static_cast<unsigned long long>(stats.irregular));
  std::string line = text;
  if (stats.rtpSeen) {
    std::snprintf(text, sizeof text, ", RTP jitter %.3f ms", stats.jitterS * 1e3);
    line += text;
  } else {
    line += " (no RTP: losses are seen only as continuity errors)";
  }
  return line;
}
