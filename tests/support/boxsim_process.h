// Runs vantrel-boxsim for a test: in a fresh device directory that the test
// sees through VANTREL_DEVICE_DIR, with its journal and stderr in files.
//
// A test target that uses it must be built after the simulator:
//   add_dependencies(<target> vantrel-boxsim)
//
//   BoxSimProcess box({"--kind", "bus", "--model-code", "HVLPX5"});
//   ASSERT_TRUE(box.IsRunning());
//   ... OpenTunerDevice() ...
//   EXPECT_EQ(box.JournalLines()[0], "BUS AABB2880 in=AA00060000000000FA out=9");
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/support/test_env.h"

class BoxSimProcess {
public:
  // Nothing started yet; see Start().
  BoxSimProcess();
  // Starts at once; the test fails (ADD_FAILURE) when the simulator does not
  // become ready.
  explicit BoxSimProcess(const std::vector<std::string>& arguments);
  // Stops a running simulator; the test fails when it does not end cleanly
  // (exit status 0 on SIGTERM), e.g. because it crashed meanwhile.
  ~BoxSimProcess();
  BoxSimProcess(const BoxSimProcess&) = delete;
  BoxSimProcess& operator=(const BoxSimProcess&) = delete;

  // Starts the simulator with `arguments` plus --device-dir and --journal
  // (unless given) and waits until it is ready (it prints "ready" once every
  // socket is in place). Sets VANTREL_DEVICE_DIR for the life of this object.
  // false when it exited or did not become ready in time; ExitStatus() and
  // StderrText() then tell why.
  bool Start(const std::vector<std::string>& arguments);
  // The same with vantrel-dvbbridge, which serves the same protocol (for
  // example with --dry-run dvbt); it prints the same ready line.
  bool StartDvbBridge(const std::vector<std::string>& arguments);

  bool IsRunning() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  // SIGTERM and wait; SIGKILL after a generous time-out. Returns the exit
  // status (WEXITSTATUS) or -1 when it had to be killed or was not running.
  int Stop();
  // SIGKILL and wait, as when the box is unplugged: no clean-up happens.
  void Kill();
  // Exit status of the last run that ended (-1 when killed by a signal).
  int ExitStatus() const { return exitStatus_; }

  const std::string& DeviceDirectory() const { return deviceDirectory_; }
  const std::string& JournalPath() const { return journalPath_; }
  // The journal's lines, without line ends.
  std::vector<std::string> JournalLines() const;
  // Empties the journal (the simulator appends, so later lines start afresh).
  void ClearJournal();
  // Everything the simulator wrote to stderr so far.
  std::string StderrText() const;

private:
  bool StartProgram(const std::string& program, const std::vector<std::string>& arguments);

  TempDir files_;
  std::string deviceDirectory_;
  std::string journalPath_;
  std::string stderrPath_;
  std::unique_ptr<ScopedEnv> deviceEnv_;
  pid_t pid_ = -1;
  int exitStatus_ = -1;
};
