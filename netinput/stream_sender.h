// Sends a transport-stream file to a udp:// or rtp:// address at a steady
// packet rate: the file's own (from its PCRs) or a given bit rate. Datagrams
// of up to 7 packets, each sent at its due time on an absolute schedule, so
// that the rate does not drift with the time each send takes.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "netinput/net_address.h"

struct StreamSendOptions {
  double bitrateBps = 0;  // 0: the file's own rate from its PCRs; else bits of packet bytes a second
  bool loop = false;      // start again at the end
  double maxSeconds = 0;  // 0: no time limit
  int packetsPerDatagram = 7;
};

// How a file will be sent: found by reading its start.
struct StreamSendPlan {
  int packetSize = 0;          // 188 or 204
  uint64_t startOffset = 0;    // first sync byte
  double packetsPerSecond = 0;
  bool rateFromPcr = false;
};

// Works out the plan for `path`; false with the reason in `error` (not a
// transport stream, 192/208-byte packets, no PCR and no --bitrate).
bool PlanStreamSend(const std::string& path, const StreamSendOptions& options, StreamSendPlan* plan,
                    std::string* error);

struct StreamSendOutcome {
  bool ok = false;
  std::string error;
  uint64_t datagrams = 0;
  uint64_t packets = 0;
  double seconds = 0;          // from the first datagram to the last
  uint64_t scheduleResets = 0; // the sender fell more than 100 ms behind and started its schedule afresh
};

// Sends until the end of the file (or time limit, or `cancel`). `onSecond`
// (may be empty) is called about once a second with the packets sent so far.
StreamSendOutcome SendStreamFile(const std::string& path, const NetAddress& to, const StreamSendPlan& plan,
                                 const StreamSendOptions& options, const std::atomic<bool>& cancel,
                                 const std::function<void(uint64_t packets, double seconds)>& onSecond = {});
