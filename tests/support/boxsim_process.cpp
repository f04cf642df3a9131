#include "tests/support/boxsim_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

extern char** environ;

namespace {

// Generous: sanitizer builds start slowly on a busy machine.
constexpr auto kReadyTimeout = std::chrono::seconds(30);
constexpr auto kStopTimeout = std::chrono::seconds(20);

bool HasOption(const std::vector<std::string>& arguments, const std::string& name,
               std::string* value) {
  for (size_t i = 0; i + 1 < arguments.size(); ++i) {
    if (arguments[i] == name) {
      *value = arguments[i + 1];
      return true;
    }
  }
  return false;
}

// Waits for the child to end; false when it has not ended by the deadline.
bool WaitForExit(pid_t pid, std::chrono::steady_clock::time_point deadline, int* status) {
  for (;;) {
    pid_t done = waitpid(pid, status, WNOHANG);
    if (done == pid || (done < 0 && errno != EINTR)) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

int StatusToExitCode(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

}  // namespace

BoxSimProcess::BoxSimProcess() = default;

BoxSimProcess::BoxSimProcess(const std::vector<std::string>& arguments) {
  if (!Start(arguments)) {
    ADD_FAILURE() << "vantrel-boxsim did not start (exit " << exitStatus_ << "): " << StderrText();
  }
}

BoxSimProcess::~BoxSimProcess() {
  // A simulator that crashed (or a sanitizer that stopped it) fails the test.
  if (IsRunning() && Stop() != 0) {
    ADD_FAILURE() << "vantrel-boxsim ended with status " << exitStatus_ << ": " << StderrText();
  }
}

bool BoxSimProcess::Start(const std::vector<std::string>& arguments) {
  return StartProgram(std::string(VANTREL_BINARY_DIR) + "/sim/vantrel-boxsim", arguments);
}

bool BoxSimProcess::StartDvbBridge(const std::vector<std::string>& arguments) {
  return StartProgram(std::string(VANTREL_BINARY_DIR) + "/dvbbridge/vantrel-dvbbridge", arguments);
}

bool BoxSimProcess::StartProgram(const std::string& program, const std::vector<std::string>& arguments) {
  if (IsRunning()) Stop();
  std::vector<std::string> argv = {program};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  if (!HasOption(arguments, "--device-dir", &deviceDirectory_)) {
    deviceDirectory_ = files_.File("dev");
    argv.insert(argv.end(), {"--device-dir", deviceDirectory_});
  }
  if (!HasOption(arguments, "--journal", &journalPath_)) {
    journalPath_ = files_.File("journal.txt");
    argv.insert(argv.end(), {"--journal", journalPath_});
  }
  stderrPath_ = files_.File("stderr.txt");
  deviceEnv_.reset();  // restore before replacing, or the old scope would undo the new value
  deviceEnv_ = std::make_unique<ScopedEnv>("VANTREL_DEVICE_DIR", deviceDirectory_.c_str());

  int readyPipe[2];
  if (pipe2(readyPipe, O_CLOEXEC) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, readyPipe[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, stderrPath_.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0644);
  std::vector<char*> rawArgv;
  for (std::string& argument : argv) rawArgv.push_back(argument.data());
  rawArgv.push_back(nullptr);
  pid_t pid = -1;
  int spawned = posix_spawn(&pid, rawArgv[0], &actions, nullptr, rawArgv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(readyPipe[1]);
  if (spawned != 0) {
    close(readyPipe[0]);
    return false;
  }
  pid_ = pid;

  // The simulator prints one line starting with "ready" once its sockets are
  // in place, and closes nothing: end of file means it has exited.
  std::string output;
  bool ready = false;
  auto deadline = std::chrono::steady_clock::now() + kReadyTimeout;
  while (!ready) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd fd{readyPipe[0], POLLIN, 0};
    int n = poll(&fd, 1, static_cast<int>(left.count()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    char buffer[256];
    ssize_t got = read(readyPipe[0], buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    output.append(buffer, static_cast<size_t>(got));
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("ready", 0) == 0) ready = true;
    }
  }
  close(readyPipe[0]);
  if (!ready) {
    int status = 0;
    if (!WaitForExit(pid_, std::chrono::steady_clock::now() + std::chrono::seconds(1), &status)) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
    exitStatus_ = StatusToExitCode(status);
    pid_ = -1;
    return false;
  }
  return true;
}

int BoxSimProcess::Stop() {
  if (!IsRunning()) return -1;
  int status = 0;
  kill(pid_, SIGTERM);
  if (!WaitForExit(pid_, std::chrono::steady_clock::now() + kStopTimeout, &status)) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    ADD_FAILURE() << "vantrel-boxsim ignored SIGTERM and was killed";
  }
  pid_ = -1;
  exitStatus_ = StatusToExitCode(status);
  return exitStatus_;
}

void BoxSimProcess::Kill() {
  if (!IsRunning()) return;
  kill(pid_, SIGKILL);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  exitStatus_ = -1;
}

std::vector<std::string> BoxSimProcess::JournalLines() const {
  std::vector<std::string> lines;
  std::istringstream text(ReadFileBytes(journalPath_));
  for (std::string line; std::getline(text, line);) lines.push_back(line);
  return lines;
}

void BoxSimProcess::ClearJournal() {
  int fd = open(journalPath_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd >= 0) close(fd);
}

std::string BoxSimProcess::StderrText() const { return ReadFileBytes(stderrPath_); }
