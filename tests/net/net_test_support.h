// Programs run in the background for the network tests (vantrel-cli play,
// analyze, monitor; prometheus), free loopback ports, and a way to wait
// until a program listens.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/test_env.h"

namespace nettest {

std::string Cli();
// The multi-program sample every network test sends.
inline const std::string kSample = SampleStream("mpts-3prog.ts");
inline constexpr uint64_t kSamplePackets = 6891892 / 188;

class Background {
public:
  // Starts `program` with `args`, stdin /dev/null, stdout and stderr to files.
  Background(const std::string& program, const std::vector<std::string>& args);
  // Kills a program still running.
  ~Background();
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

  bool started() const { return pid_ > 0; }
  // The exit status, or -1 when it did not exit within `timeout` (it is then killed).
  int Wait(std::chrono::milliseconds timeout);
  void Signal(int number);
  pid_t pid() const { return pid_; }
  std::string Out() const;
  std::string Err() const;

private:
  TempDir dir_;
  pid_t pid_ = -1;
};

// A port nothing listens on now (UDP or TCP, on 127.0.0.1).
int FreePort(bool tcp);
// Waits until a socket of this machine is bound to `port` (UDP or TCP, IPv4 or
// IPv6); with `inNetworkOf`, in the network namespace of that process.
bool WaitForPort(int port, bool tcp, std::chrono::milliseconds timeout, pid_t inNetworkOf = 0);

// One HTTP GET to 127.0.0.1:port; the whole answer (status line, headers, body), empty on failure.
std::string HttpGet(int port, const std::string& target, std::chrono::milliseconds timeout);

// Checks what `analyze ADDRESS --packets N --json` printed after the whole
// sample was sent to it: the file's own analysis (`expected`) plus the
// network part, with nothing lost and every datagram there.
void ExpectLiveAnalysisOfTheSample(Background& analyze, const nlohmann::json& expected, bool rtp);

}  // namespace nettest
