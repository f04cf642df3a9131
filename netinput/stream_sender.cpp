#include "netinput/stream_sender.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <memory>
#include <random>
#include <vector>

#include "analysis/health/health_file.h"
#include "netinput/ts_datagram.h"
#include "netinput/udp_socket.h"

namespace {

// Enough of a file to find its rate; a long file keeps its rate.
constexpr uint64_t kPlanBytes = 64ull * 1024 * 1024;
constexpr double kBitsPerPcrPacket = 188.0 * 8.0;
constexpr double kMaxBehindS = 0.1;
constexpr size_t kReadDatagrams = 256;
constexpr double kRtpClockHz = 90000.0;

using Nanoseconds = int64_t;

Nanoseconds MonotonicNs() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<Nanoseconds>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void SleepUntil(Nanoseconds deadline) {
  const timespec at{static_cast<time_t>(deadline / 1000000000), static_cast<long>(deadline % 1000000000)};
  while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
  }
}

}  // namespace

bool PlanStreamSend(const std::string& path, const StreamSendOptions& options, StreamSendPlan* plan,
                    std::string* error) {
  HealthFileOptions read;
  read.maxBytes = kPlanBytes;
  const HealthFileOutcome scan = AnalyseHealthFile(path, HealthLimits{}, read);
  if (!scan.opened) {
    *error = scan.error;
    return false;
  }
  const HealthResult& r = scan.result;
  if (!r.everSynced || r.syncSegments.empty()) {
    *error = path + " holds no transport stream";
    return false;
  }
  if (r.packetSize != 188 && r.packetSize != 204) {
    *error = path + " has " + std::to_string(r.packetSize) +
             "-byte packets; only 188- and 204-byte packets travel in datagrams";
    return false;
  }
  plan->packetSize = r.packetSize;
  plan->startOffset = r.syncSegments.front().byteOffset;
  if (options.bitrateBps > 0) {
    plan->packetsPerSecond = options.bitrateBps / (8.0 * r.packetSize);
    plan->rateFromPcr = false;
  } else if (r.bitrateBps && *r.bitrateBps > 0) {
    plan->packetsPerSecond = *r.bitrateBps / kBitsPerPcrPacket;
    plan->rateFromPcr = true;
  } else {
    *error = path + " has no PCRs to give its rate: give --bitrate";
    return false;
  }
  return true;
}

StreamSendOutcome SendStreamFile(const std::string& path, const NetAddress& to, const StreamSendPlan& plan,
                                 const StreamSendOptions& options, const std::atomic<bool>& cancel,
                                 const std::function<void(uint64_t, double)>& onSecond) {
  StreamSendOutcome outcome;
  auto sender = UdpSender::Open(to, &outcome.error);
  if (!sender) return outcome;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    outcome.error = "cannot open " + path + ": " + std::strerror(errno);
    return outcome;
  }
  const size_t perDatagram = static_cast<size_t>(std::clamp(options.packetsPerDatagram, 1, kTsPacketsPerDatagram));
  const size_t payloadBytes = perDatagram * static_cast<size_t>(plan.packetSize);
  const bool rtp = to.protocol == NetProtocol::Rtp;
  const size_t header = rtp ? kRtpFixedHeaderBytes : 0;
  std::vector<uint8_t> block(kReadDatagrams * payloadBytes);
  std::vector<uint8_t> datagram(header + payloadBytes);
  std::random_device random;
  const uint32_t ssrc = random();
  uint16_t sequence = static_cast<uint16_t>(random());
  const uint32_t timestampBase = random();

  const double nsPerPacket = 1e9 / plan.packetsPerSecond;
  Nanoseconds start = MonotonicNs();
  Nanoseconds first = start;
  uint64_t scheduled = 0;  // packets on the current schedule
  Nanoseconds nextReport = start + 1000000000;
  bool fileHadPackets = false;
  ::lseek(fd, static_cast<off_t>(plan.startOffset), SEEK_SET);
  outcome.ok = true;
  while (!cancel.load(std::memory_order_relaxed)) {
    const ssize_t got = ::read(fd, block.data(), block.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      outcome.ok = false;
      outcome.error = "cannot read " + path + ": " + std::strerror(errno);
      break;
    }
    // Whole packets only; a cut last packet is not sent.
    const size_t usable = static_cast<size_t>(got) / plan.packetSize * plan.packetSize;
    if (usable == 0) {
      if (!options.loop || !fileHadPackets) break;
      ::lseek(fd, static_cast<off_t>(plan.startOffset), SEEK_SET);
      continue;
    }
    fileHadPackets = true;
    bool stop = false;
    for (size_t at = 0; at < usable && !stop; at += payloadBytes) {
      const size_t bytes = std::min(payloadBytes, usable - at);
      const uint64_t packets = bytes / plan.packetSize;
      Nanoseconds due = start + static_cast<Nanoseconds>(std::llround(static_cast<double>(scheduled) * nsPerPacket));
      const Nanoseconds now = MonotonicNs();
      if (now - due > static_cast<Nanoseconds>(kMaxBehindS * 1e9)) {
        // Held up (a stopped process, an overloaded machine): no burst to catch up.
        ++outcome.scheduleResets;
        start = now;
        scheduled = 0;
        due = now;
      }
      if (due > now) SleepUntil(due);
      if (outcome.datagrams == 0) first = MonotonicNs();
      const uint8_t* payload = block.data() + at;
      size_t size = bytes;
      if (rtp) {
        const double elapsedS = static_cast<double>(due - first) / 1e9;
        const uint32_t timestamp = timestampBase + static_cast<uint32_t>(std::llround(elapsedS * kRtpClockHz));
        WriteRtpHeader(datagram.data(), kRtpPayloadTypeMp2t, sequence++, timestamp, ssrc);
        std::memcpy(datagram.data() + header, payload, bytes);
        payload = datagram.data();
        size += header;
      }
      if (!sender->Send(payload, size, &outcome.error)) {
        outcome.ok = false;
        outcome.error = "cannot send to " + FormatNetAddress(to) + ": " + outcome.error;
        stop = true;
        break;
      }
      ++outcome.datagrams;
      outcome.packets += packets;
      scheduled += packets;
      const Nanoseconds sent = MonotonicNs();
      outcome.seconds = static_cast<double>(sent - first) / 1e9;
      if (options.maxSeconds > 0 && outcome.seconds >= options.maxSeconds) stop = true;
      if (cancel.load(std::memory_order_relaxed)) stop = true;
      if (sent >= nextReport) {
        nextReport += 1000000000;
        if (onSecond) onSecond(outcome.packets, outcome.seconds);
      }
    }
    if (stop) break;
  }
  ::close(fd);
  return outcome;
}
