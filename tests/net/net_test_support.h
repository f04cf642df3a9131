// Programs run in the background for the network tests (vantrel-cli play,
// analyze, monitor; prometheus), free loopback ports, and a way to wait
// until a program listens.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/test_env.h"

namespace nettest {

std::string Cli();
// The multi-program sample every network test sends.
inline const std::string kSample = SampleStream("mpts-3prog.ts");

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
// Waits until a socket of this machine is bound to `port` (UDP or TCP, IPv4 or IPv6).
bool WaitForPort(int port, bool tcp, std::chrono::milliseconds timeout);

// One HTTP GET to 127.0.0.1:port; the whole answer (status line, headers, body), empty on failure.
std::string HttpGet(int port, const std::string& target, std::chrono::milliseconds timeout);

}  // namespace nettest
