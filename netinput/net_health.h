// The stream health engine over a network input, on the calling thread,
// until a duration, a packet count, a cancel, or silence.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "analysis/health/health_file.h"
#include "analysis/health/stream_health.h"
#include "netinput/net_address.h"
#include "netinput/ts_datagram.h"

struct NetAnalysisOptions {
  double durationS = 0;     // 0: no time limit; counted from the first datagram
  uint64_t maxPackets = 0;  // 0: no packet limit; else exactly this many packets are analysed
  uint64_t maxBytes = 0;    // 0: no byte limit; else exactly this many stream bytes
  // Gets every stream byte fed to the engine (a capture writes them);
  // false ends the run (`error` says why).
  std::function<bool(const uint8_t* data, size_t size, std::string* error)> onBytes;
  std::function<void(StreamHealth&)> prepare;
};

enum class NetAnalysisEnd {
  NotOpened,   // `error` says why
  NoData,      // no datagram within the address's timeout
  Stalled,     // the stream stopped for longer than the timeout
  SocketError, // `error` says which
  SinkFailed,  // onBytes refused (`error` says why)
  Cancelled,
  Limit,       // the duration or the packet count was reached
};

struct NetAnalysisOutcome {
  NetAnalysisEnd end = NetAnalysisEnd::NotOpened;
  std::string error;
  HealthResult result;
  NetInputStats network;
  uint64_t truncatedDatagrams = 0;
  int receiveBufferBytes = 0;
  double receivedS = 0;  // from the first datagram to the end
};

// `run` (may be null) gets progress, publications and the cancel flag as
// AnalyseHealthFile gives them.
NetAnalysisOutcome AnalyseNetworkInput(const NetAddress& address, const HealthLimits& limits,
                                       const NetAnalysisOptions& options, HealthFileRun* run = nullptr);

// A one-line summary of the network-side counts ("network: 1234 datagrams, 0 lost, ...").
std::string DescribeNetworkStats(const NetInputStats& stats);
