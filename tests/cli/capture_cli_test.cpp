// `vantrel-cli capture` run as a program against the simulated box.
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "platform/profile.h"
#include "tests/capture/text_shape.h"
#include "tests/support/boxsim_process.h"
#include "tests/support/run_cli.h"
#include "tests/support/test_env.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

std::string Cli() { return std::string(VANTREL_BINARY_DIR) + "/cli/vantrel-cli"; }

int64_t FileSize(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? static_cast<int64_t>(info.st_size) : -1;
}

class CaptureCli : public ::testing::Test {
protected:
  bool StartBox(std::vector<std::string> extra = {}) {
    // 2 MB/s: a capture kept off the processor for a second loses nothing.
    std::vector<std::string> arguments = {"--kind", "t", "--lock-ms", "0", "--bitrate", "16000000"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return box_.Start(arguments);
  }
  bool JournalHas(const std::string& code) const {
    for (const std::string& line : box_.JournalLines())
      if (line.find(" " + code + " ") != std::string::npos) return true;
    return false;
  }

  TempDir dir_;
  ScopedEnv profileHome_{"XDG_CONFIG_HOME", dir_.path().c_str()};
  BoxSimProcess box_;
};

TEST_F(CaptureCli, SizeCaptureSucceedsAndStoresTheDialogSettings) {
  ASSERT_TRUE(StartBox());
  std::string path = dir_.File("out.ts");
  CliRun run = RunCli({"capture", "--freq", "474000", "--bw", "8", "--megabytes", "2", "-o", path});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  // No progress line off a terminal: the result, where, how much, how long.
  EXPECT_EQ(run.err.rfind("Successful operation !\nSaved 2,097,152 bytes (", 0), 0u) << run.err;
  EXPECT_NE(run.err.find(" s of stream) in " + path + ".\n"), std::string::npos) << run.err;
  EXPECT_EQ(run.out, path + ": 2097152 bytes\n");
  EXPECT_EQ(FileSize(path), 2097152);
  // As the terrestrial dialog's "Capture" stores them.
  EXPECT_EQ(ReadProfileInt("DTTSETTINGP", "FREQ", -1), 474000);
  EXPECT_EQ(ReadProfileInt("DTTSETTINGP", "BWID", -1), 8);
  EXPECT_EQ(ReadProfileInt("DTTSETTINGP", "RECM", -1), 1);
  EXPECT_EQ(ReadProfileInt("DTTSETTINGP", "SIZE", -1), 2);
  EXPECT_EQ(ReadProfileInt("DTTSETTINGP", "SECC", -1), 0);
}

TEST_F(CaptureCli, TimeCaptureGoesToATimeStampedFileInTheCurrentFolder) {
  ASSERT_TRUE(StartBox());
  std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(dir_.path());
  CliRun run = RunCli({"capture", "--seconds", "1"});
  std::filesystem::current_path(previous);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  size_t colon = run.out.find(": ");
  ASSERT_NE(colon, std::string::npos) << run.out;
  std::string name = run.out.substr(0, colon);
  std::string size = run.out.substr(colon + 2);
  EXPECT_TRUE(HasShape(name, "####_##_##_##_##_##.DAT")) << run.out;
  ASSERT_TRUE(HasShape(size, "+ bytes\n")) << run.out;
  EXPECT_EQ(FileSize(dir_.File(name)), std::stoll(size));
  EXPECT_GT(std::stoll(size), 0);
  EXPECT_EQ(ReadProfileInt("DTTSETTINGP", "RECM", -1), 0);
  EXPECT_EQ(ReadProfileInt("DTTSETTINGP", "SECC", -1), 1);
}

// vantrel-cli run in the background with its output in files, for tests that
// send it signals.
class BackgroundCli {
public:
  BackgroundCli(const TempDir& dir, std::vector<std::string> args)
      : outPath_(dir.File("stdout")), errPath_(dir.File("stderr")) {
    args.insert(args.begin(), Cli());
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~BackgroundCli() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  bool Started() const { return pid_ > 0; }
  void Signal(int signal) const { ::kill(pid_, signal); }
  // The exit status, or -1 when it did not exit by itself.
  int Wait() {
    int status = 0;
    pid_t waited = ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return waited > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  // The exit status when it exits within `seconds`; -2 when it is still
  // running then (it is killed), -1 when it did not exit by itself.
  int WaitAtMost(int seconds) {
    const Clock::time_point start = Clock::now();
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (Clock::now() - start > std::chrono::seconds(seconds)) return -2;  // the destructor kills it
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  pid_t pid() const { return pid_; }
  std::string Out() const { return ReadFileBytes(outPath_); }
  std::string Err() const { return ReadFileBytes(errPath_); }

private:
  std::string outPath_, errPath_;
  pid_t pid_ = -1;
};

// 1234567 as "1,234,567".
std::string GroupedDigits(int64_t value) {
  std::string digits = std::to_string(value);
  for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(static_cast<size_t>(at), ",");
  return digits;
}

// Waits until `ready` holds, for at most `seconds`.
template <typename Ready>
bool WaitUntil(Ready ready, int seconds = 30) {
  Clock::time_point start = Clock::now();
  while (!ready()) {
    if (Clock::now() - start > std::chrono::seconds(seconds)) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

class StopSignal : public CaptureCli, public ::testing::WithParamInterface<int> {};

TEST_P(StopSignal, EndsTheCaptureLikeCancelOnAPacketBoundary) {
  ASSERT_TRUE(StartBox());
  std::string path = dir_.File("interrupted.ts");
  BackgroundCli cli(dir_, {"capture", "--megabytes", "4000", "-o", path});
  ASSERT_TRUE(cli.Started());
  ASSERT_TRUE(WaitUntil([&] { return FileSize(path) >= 1000000; }));
  cli.Signal(GetParam());
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  cli.Signal(GetParam());  // a second one changes nothing
  EXPECT_EQ(cli.Wait(), 1) << "the process was not allowed to end by itself";
  int64_t size = FileSize(path);
  EXPECT_EQ(cli.Err(), "Operation fail !\nThe capture was cancelled.\nThe file " + path + " keeps " +
                           GroupedDigits(size) + " bytes.\n");
  EXPECT_GE(size, 1000000);
  EXPECT_EQ(size % 188, 0) << "ends on a packet boundary";
  EXPECT_EQ(cli.Out(), path + ": " + std::to_string(size) + " bytes\n");
  EXPECT_TRUE(JournalHas("00222338")) << "stream stopped";
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignal, ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(info.param == SIGINT    ? "Interrupt"
                                              : info.param == SIGTERM ? "Terminate"
                                                                      : "HangUp");
                         });

struct HungCase {
  const char* name;
  std::vector<std::string> box;  // simulator arguments
  const char* awaited;           // journal code that shows where the capture is
  bool fileExpected;
};

class SignalWhileStuck : public CaptureCli, public ::testing::WithParamInterface<HungCase> {};

TEST_P(SignalWhileStuck, EndsTheCaptureAtOnce) {
  ASSERT_TRUE(box_.Start(GetParam().box));
  std::string path = dir_.File("stuck.ts");
  BackgroundCli cli(dir_, {"capture", "--seconds", "600", "-o", path});
  ASSERT_TRUE(cli.Started());
  ASSERT_TRUE(WaitUntil([&] { return JournalHas(GetParam().awaited); }));
  Clock::time_point signalled = Clock::now();
  cli.Signal(SIGTERM);
  EXPECT_EQ(cli.Wait(), 1);
  // Within a second on an idle machine; generous for a busy one.
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - signalled).count(), 10.0);
  EXPECT_EQ(cli.Err().rfind("Operation fail !\nThe capture was cancelled.\n", 0), 0u) << cli.Err();
  if (GetParam().fileExpected) {
    // Whole packets, or no file when it ended before its first write.
    EXPECT_TRUE(FileSize(path) == -1 || FileSize(path) % 188 == 0) << FileSize(path);
    EXPECT_TRUE(JournalHas("00222338")) << "stream stopped";
  } else {
    EXPECT_EQ(FileSize(path), -1) << "the file it made is removed";
    EXPECT_EQ(cli.Out(), path + ": nothing captured\n");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Stages, SignalWhileStuck,
    ::testing::Values(
        HungCase{"HungTuneRequest", {"--kind", "t", "--hang", "222328"}, "00222328", false},
        HungCase{"HungStreamPosition",
                 {"--kind", "t", "--lock-ms", "0", "--hang", "22233C"}, "0022233C", true},
        HungCase{"BusBoxNeverReady",
                 {"--kind", "bus", "--never-ready"}, "AABB2980", false},
        HungCase{"PatProbeOfAStreamWithoutSync",
                 {"--kind", "bus", "--lock-ms", "0", "--no-sync"}, "DDFF2C80", false}),
    [](const ::testing::TestParamInfo<HungCase>& info) { return std::string(info.param.name); });

TEST_F(CaptureCli, OverrunIsReportedWithItsOwnExitStatus) {
  // Faster than any capture can write: backlogs are dropped.
  ASSERT_TRUE(box_.Start({"--kind", "t", "--lock-ms", "0", "--bitrate", "2000000000", "--stream",
                          SampleStream("mpts-3prog.ts")}));
  std::string path = dir_.File("overrun.ts");
  CliRun run = RunCli({"capture", "--seconds", "2", "-o", path});
  EXPECT_EQ(run.exitCode, 3) << run.err;
  EXPECT_NE(run.err.find("Operation fail !\nThe capture could not keep up with the stream: "),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find(" bytes were lost."), std::string::npos) << run.err;
  // On a busy machine every pass may find the ring already lapped, so the file
  // can be empty; whatever it holds is whole packets in step (the exact
  // resumption is checked against a test ring in the capture loop tests).
  // The sample holds whole packets only, so every 188th byte must be a sync byte.
  std::string captured = ReadFileBytes(path);
  EXPECT_EQ(captured.size() % 188, 0u);
  for (size_t at = 0; at < captured.size(); at += 188)
    ASSERT_EQ(captured[at], 0x47) << "packet at " << at << " out of step";
}

TEST_F(CaptureCli, StreamToStandardOutputStaysWholePackets) {
  ASSERT_TRUE(StartBox());
  CliRun run = RunCli({"capture", "--seconds", "1", "-o", "/dev/stdout"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  ASSERT_GT(run.out.size(), 0u);
  EXPECT_EQ(run.out.size() % 188, 0u) << "the closing line went into the stream";
  for (size_t at = 0; at < run.out.size(); at += 188) ASSERT_EQ(run.out[at], 0x47) << "packet at " << at;
  EXPECT_NE(run.err.find("/dev/stdout: " + std::to_string(run.out.size()) + " bytes\n"), std::string::npos)
      << run.err;
}

TEST_F(CaptureCli, PipeReadTooLateForTheTimeLimitLosesStreamAndSaysSo) {
  // The reader takes nothing for 3 s: the write waits past the 2 s limit
  // (within its grace) while the ring (3 MB) is lapped at 2 MB/s.
  ASSERT_TRUE(StartBox());
  const std::string fifo = dir_.File("late.fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::string received;
  std::thread reader([&] {
    const int fd = ::open(fifo.c_str(), O_RDONLY);
    if (fd < 0) return;
    std::this_thread::sleep_for(std::chrono::seconds(3));
    char buffer[65536];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) received.append(buffer, static_cast<size_t>(n));
    ::close(fd);
  });
  CliRun run = RunCli({"capture", "--seconds", "2", "-o", fifo});
  // A capture that never opened the pipe leaves the reader waiting for a writer.
  const int release = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
  if (release >= 0) ::close(release);
  reader.join();
  EXPECT_EQ(run.exitCode, 3) << run.err;
  EXPECT_NE(run.err.find(" bytes were lost."), std::string::npos) << run.err;
  EXPECT_EQ(received.size() % 188, 0u);
  for (size_t at = 0; at < received.size(); at += 188) ASSERT_EQ(received[at], 0x47) << "packet at " << at;
}

TEST_F(CaptureCli, StopSignalEndsACaptureStuckWritingToAPipeNobodyReads) {
  ASSERT_TRUE(StartBox());
  const std::string fifo = dir_.File("unread.fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // Opened for reading (so the capture's open succeeds), never read.
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  BackgroundCli cli(dir_, {"capture", "--seconds", "600", "-o", fifo});
  ASSERT_TRUE(cli.Started());
  // The pipe holds 64 KiB: wait until the capture must be blocked in a write.
  ASSERT_TRUE(WaitUntil([&] { return JournalHas("00222334"); }));  // the stream started
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const Clock::time_point signalled = Clock::now();
  cli.Signal(SIGTERM);
  EXPECT_EQ(cli.Wait(), 1);
  EXPECT_LT(Clock::now() - signalled, std::chrono::seconds(30));
  EXPECT_NE(cli.Err().find("Operation fail !\nThe capture was cancelled.\n"), std::string::npos) << cli.Err();
  ::close(reader);
}

TEST_F(CaptureCli, StalledTimedCaptureFailsWithItsOwnExitStatus) {
  ASSERT_TRUE(StartBox({"--stall-after-ms", "500"}));
  std::string path = dir_.File("stalled.ts");
  CliRun run = RunCli({"capture", "--seconds", "4", "-o", path});
  EXPECT_EQ(run.exitCode, 4) << run.err;
  EXPECT_NE(run.err.find("the stream has stalled: no data for"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("Operation fail !\nThe stream stalled for "), std::string::npos) << run.err;
  EXPECT_EQ(FileSize(path) % 188, 0);
}

TEST_F(CaptureCli, OutputPathsThatMustNotBeUsed) {
  ASSERT_TRUE(StartBox());
  // A folder: refused before anything is tuned.
  CliRun run = RunCli({"capture", "--megabytes", "1", "-o", dir_.path()});
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_EQ(run.err, "vantrel-cli: " + dir_.path() + " is a folder; give a file name\n");
  EXPECT_EQ(run.out, "");
  // A file with something in it: kept unless --force.
  std::string path = dir_.File("earlier.ts");
  WriteFileBytes(path, "an earlier capture");
  run = RunCli({"capture", "--megabytes", "1", "-o", path});
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_NE(run.err.find("give --force to replace it"), std::string::npos) << run.err;
  EXPECT_EQ(ReadFileBytes(path), "an earlier capture");
  EXPECT_FALSE(JournalHas("00222328")) << "nothing was tuned";
  run = RunCli({"capture", "--megabytes", "1", "--force", "-o", path});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(FileSize(path), 1048576);
  // An empty file needs no --force.
  WriteFileBytes(path, "");
  EXPECT_EQ(RunCli({"capture", "--megabytes", "1", "-o", path}).exitCode, 0);
  // A file that cannot be created: the reason, and nothing captured.
  std::string missing = dir_.File("no-such-folder/x.ts");
  run = RunCli({"capture", "--megabytes", "1", "-o", missing});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("No such file or directory"), std::string::npos) << run.err;
  EXPECT_EQ(run.out, missing + ": nothing captured\n");
}

TEST_F(CaptureCli, WriteErrorIsReportedAndFails) {
  ASSERT_TRUE(StartBox());
  CliRun run = RunCli({"capture", "--megabytes", "1", "-o", "/dev/full"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("/dev/full"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find(std::strerror(ENOSPC)), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("Operation fail !\n"), std::string::npos) << run.err;
}

TEST_F(CaptureCli, ProgressLineIsDrawnOnATerminal) {
  ASSERT_TRUE(StartBox({"--bitrate", "20000000"}));
  std::string path = dir_.File("terminal.ts");
  int master = -1;
  pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::execl(Cli().c_str(), Cli().c_str(), "capture", "--seconds", "2", "-o", path.c_str(),
            static_cast<char*>(nullptr));
    _exit(127);
  }
  std::string screen;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n <= 0) break;  // EIO once the child has closed the terminal
    screen.append(buffer, static_cast<size_t>(n));
  }
  ::close(master);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_EQ(WEXITSTATUS(status), 0) << screen;
  // At least one whole progress line: "\r[###---...] NN%  X.Y MB  Z.ZZ MB/s".
  size_t line = screen.find("\r[");
  ASSERT_NE(line, std::string::npos) << screen;
  size_t end = screen.find("\033[K", line);
  ASSERT_NE(end, std::string::npos) << screen;
  std::string drawn = screen.substr(line + 2, end - line - 2);
  EXPECT_EQ(drawn.find_first_not_of("#-"), 30u) << drawn;  // the 30-character bar
  EXPECT_EQ(drawn.find("] "), 30u) << drawn;
  size_t percent = drawn.find('%');
  ASSERT_NE(percent, std::string::npos) << drawn;
  EXPECT_NE(drawn.find(" MB  ", percent), std::string::npos) << drawn;
  EXPECT_EQ(drawn.substr(drawn.size() - 5), " MB/s") << drawn;
  // The line is cleared before the result is printed.
  EXPECT_NE(screen.find("\r\033[KSuccessful operation !"), std::string::npos) << screen;
}

TEST_F(CaptureCli, RefusesWrongLimitsAndOptionsOfAnotherFamily) {
  ASSERT_TRUE(StartBox());
  std::string path = dir_.File("never.ts");
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"capture", "-o", path},
        {"capture", "--seconds", "1", "--megabytes", "1", "-o", path},
        {"capture", "--megabytes", "-1", "-o", path},
        {"capture", "--megabytes", "4294967295", "-o", path},
        {"capture", "--megabytes", "16777216", "-o", path},
        {"capture", "--seconds", "2147483648", "-o", path},
        {"capture", "--megabytes", "1", "--freq", "16777216", "-o", path},
        {"capture", "--megabytes", "1", "--pid", "8192", "-o", path},
        {"capture", "--megabytes", "1", "--qam", "64", "-o", path},
        {"capture", "--megabytes", "1", "--pid", "0x100", "-o", path},
        {"capture", "--megabytes", "1", "-o", std::string(300, 'x')}}) {
    CliRun run = RunCli(args);
    EXPECT_EQ(run.exitCode, 2) << args[1] << " " << args[2] << ": " << run.err;
  }
  EXPECT_EQ(FileSize(path), -1);
  EXPECT_FALSE(JournalHas("00222334")) << "no stream was started";
}

TEST_F(CaptureCli, NoBoxIsReported) {
  ScopedEnv emptyDeviceDir("VANTREL_DEVICE_DIR", dir_.File("no-devices").c_str());
  CliRun run = RunCli({"capture", "--seconds", "1", "-o", dir_.File("x.ts")});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.err, "No tuner box found.\n");
}

// Every 188th byte from the first on is a sync byte: nothing but stream.
::testing::AssertionResult WholePackets(const std::string& bytes) {
  if (bytes.size() % 188 != 0) return ::testing::AssertionFailure() << bytes.size() << " bytes";
  for (size_t at = 0; at < bytes.size(); at += 188)
    if (bytes[at] != 0x47) return ::testing::AssertionFailure() << "packet at " << at << " out of step";
  return ::testing::AssertionSuccess();
}

size_t CountJournal(const std::vector<std::string>& lines, const std::string& code) {
  size_t count = 0;
  for (const std::string& line : lines) count += line.find(" " + code + " ") != std::string::npos;
  return count;
}

TEST_F(CaptureCli, ASecondProgramIsRefusedBeforeItTouchesARunningCapture) {
  ASSERT_TRUE(StartBox());
  const std::string first = dir_.File("first.ts");
  BackgroundCli cli(dir_, {"capture", "--seconds", "600", "-o", first});
  ASSERT_TRUE(cli.Started());
  ASSERT_TRUE(WaitUntil([&] { return FileSize(first) >= 200000; }));
  const std::string inUse = "in use by another program (PID " + std::to_string(cli.pid()) + ")";
  const size_t tunes = CountJournal(box_.JournalLines(), "00222328");
  // The monitor, a second capture, a capture into the same file, a tune, a signal reading.
  CliRun monitor = RunCli({"monitor", "--seconds", "2"});
  EXPECT_EQ(monitor.exitCode, 6) << monitor.err;
  EXPECT_NE(monitor.err.find(inUse), std::string::npos) << monitor.err;
  const std::string second = dir_.File("second.ts");
  CliRun capture = RunCli({"capture", "--seconds", "1", "-o", second});
  EXPECT_EQ(capture.exitCode, 6) << capture.err;
  EXPECT_NE(capture.err.find("Operation fail !\nThe box is " + inUse + ".\nThe file " + second +
                             " was removed: nothing was written to it.\n"),
            std::string::npos)
      << capture.err;
  EXPECT_EQ(FileSize(second), -1);
  CliRun same = RunCli({"capture", "--seconds", "1", "--force", "-o", first});
  EXPECT_EQ(same.exitCode, 1);
  EXPECT_NE(same.err.find("it is in use by another capture"), std::string::npos) << same.err;
  for (const char* command : {"tune", "signal"}) {
    CliRun run = RunCli({command});
    EXPECT_EQ(run.exitCode, 6) << command << ": " << run.err;
    EXPECT_EQ(run.out, "not tuned\n") << command;
    EXPECT_NE(run.err.find(inUse), std::string::npos) << command << ": " << run.err;
  }
  EXPECT_EQ(CountJournal(box_.JournalLines(), "00222328"), tunes) << "nothing was tuned under the capture";
  EXPECT_EQ(CountJournal(box_.JournalLines(), "00222338"), 0u) << "nobody stopped its stream";
  cli.Signal(SIGINT);
  EXPECT_EQ(cli.Wait(), 1);
  EXPECT_TRUE(WholePackets(ReadFileBytes(first)));
  EXPECT_EQ(ReadFileBytes(first).find(std::string(188, '\0')), std::string::npos);
  // Once it has stopped, the box is free again.
  EXPECT_EQ(RunCli({"capture", "--seconds", "1", "-o", second}).exitCode, 0);
}

TEST_F(CaptureCli, AKilledCaptureLeavesTheBoxFree) {
  ASSERT_TRUE(StartBox());
  {
    BackgroundCli cli(dir_, {"capture", "--seconds", "600", "-o", dir_.File("killed.ts")});
    ASSERT_TRUE(WaitUntil([&] { return FileSize(dir_.File("killed.ts")) > 0; }));
  }  // SIGKILL: no stop request
  CliRun run = RunCli({"capture", "--seconds", "1", "-o", dir_.File("after.ts")});
  EXPECT_EQ(run.exitCode, 0) << run.err;
}

TEST_F(CaptureCli, TheTimeLimitRunsFromTheLock) {
  // 2 MB/s once locked, 2.5 s after the tune.
  ASSERT_TRUE(box_.Start({"--kind", "t", "--lock-ms", "2500", "--bitrate", "16000000"}));
  const std::string path = dir_.File("locked.ts");
  CliRun run = RunCli({"capture", "--seconds", "1", "-o", path});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_GT(FileSize(path), 1000000) << "about a second of stream";
  EXPECT_NE(run.err.find("Successful operation !\nSaved "), std::string::npos) << run.err;
  EXPECT_NE(run.err.find(" s of stream) in " + path + ".\n"), std::string::npos) << run.err;
}

TEST_F(CaptureCli, ACableBusBoxSlowerToLockThanItsOwnReadyPollGetsTheLockTimeout) {
  // It gets ready (locks) 6.5 s after the tune; its tune sequence polls 6 s.
  ASSERT_TRUE(box_.Start({"--kind", "bus", "--model-code", "HVLPX5", "--lock-ms", "6500"}));
  const std::string path = dir_.File("slow.ts");
  CliRun run = RunCli({"capture", "--freq", "474000", "--symbol-rate", "6875", "--qam", "64", "--seconds", "1",
                       "--lock-timeout", "10", "-o", path});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_GT(FileSize(path), 0);
}

struct NoLockCase {
  const char* name;
  std::vector<std::string> box;
  std::vector<std::string> tuneArguments;
};

class NoLock : public CaptureCli, public ::testing::WithParamInterface<NoLockCase> {};

TEST_P(NoLock, IsItsOwnFailureInCaptureMonitorAndTune) {
  ASSERT_TRUE(box_.Start(GetParam().box));
  if (GetParam().box[1] == "s") {
    ASSERT_EQ(RunCli({"lnb", "--type", "universal"}).exitCode, 0);
  }
  const std::string path = dir_.File("nolock.ts");
  std::vector<std::string> capture = {"capture", "--seconds", "1", "--lock-timeout", "1", "-o", path};
  capture.insert(capture.end(), GetParam().tuneArguments.begin(), GetParam().tuneArguments.end());
  CliRun run = RunCli(capture);
  EXPECT_EQ(run.exitCode, 5) << run.err;
  EXPECT_NE(run.err.find("Operation fail !\nThe tuner did not lock within 1 s.\n"), std::string::npos) << run.err;
  EXPECT_EQ(FileSize(path), -1) << "the file it made is removed";
  CliRun monitor = RunCli({"monitor", "--seconds", "1", "--lock-timeout", "1"});
  EXPECT_EQ(monitor.exitCode, 5) << monitor.err;
  CliRun tune = RunCli({"tune", "--lock-timeout", "1"});
  EXPECT_EQ(tune.exitCode, 1) << tune.err;
  EXPECT_EQ(tune.out, "not tuned\n");
  EXPECT_NE(tune.err.find("did not lock within 1 s"), std::string::npos) << tune.err;
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, NoLock,
    ::testing::Values(NoLockCase{"T", {"--kind", "t", "--lock-ms", "60000"}, {}},
                      NoLockCase{"S", {"--kind", "s", "--never-ready"}, {"--freq", "12308"}},
                      NoLockCase{"A", {"--kind", "a", "--lock-ms", "60000"}, {}},
                      // Ready only once locked: its ready poll gives up, the channel taken.
                      NoLockCase{"CableBus", {"--kind", "bus", "--model-code", "HVLPX5", "--never-ready"},
                                 {"--freq", "474000", "--symbol-rate", "6875", "--qam", "64"}}),
    [](const ::testing::TestParamInfo<NoLockCase>& info) { return std::string(info.param.name); });

TEST_F(CaptureCli, AHungRequestEndsCaptureAndMonitorSayingSo) {
  ASSERT_TRUE(StartBox({"--hang", "22233C"}));
  const std::string path = dir_.File("hung.ts");
  BackgroundCli cli(dir_, {"capture", "--seconds", "600", "-o", path});
  EXPECT_EQ(cli.WaitAtMost(60), 7);
  EXPECT_NE(cli.Err().find("Operation fail !\nThe box did not answer within 3 s.\n"), std::string::npos)
      << cli.Err();
  CliRun monitor = RunCli({"monitor", "--seconds", "600"});  // returns within the request's limit
  EXPECT_EQ(monitor.exitCode, 7) << monitor.err;
  EXPECT_NE(monitor.err.find("did not answer within 3 s"), std::string::npos) << monitor.err;
}

TEST_F(CaptureCli, ABusBoxThatStopsAnsweringItsStreamRequestsIsNotAStreamWithoutPat) {
  ASSERT_TRUE(box_.Start({"--kind", "bus", "--model-code", "HVLPX5", "--hang", "DDFF2C80"}));
  CliRun run = RunCli({"capture", "--freq", "474000", "--symbol-rate", "6875", "--qam", "64", "--seconds", "1",
                       "-o", dir_.File("hung.ts")});
  EXPECT_EQ(run.exitCode, 7) << run.err;
  EXPECT_NE(run.err.find("Operation fail !\nThe box did not answer within 3 s.\n"), std::string::npos) << run.err;
}

TEST_F(CaptureCli, AStallThroughThePidFilterPastItsLimitFails) {
  ASSERT_TRUE(box_.Start({"--kind", "s", "--lock-ms", "0", "--stall-after-ms", "1500"}));
  ASSERT_EQ(RunCli({"lnb", "--type", "universal"}).exitCode, 0);
  const std::string path = dir_.File("filtered.ts");
  CliRun run = RunCli({"capture", "--freq", "12308", "--pid", "0x101", "--seconds", "8", "-o", path});
  EXPECT_EQ(run.exitCode, 4) << run.err;
  EXPECT_NE(run.err.find("Operation fail !\nThe stream stalled for "), std::string::npos) << run.err;
  EXPECT_TRUE(WholePackets(ReadFileBytes(path)));
}

struct MonitorCase {
  const char* name;
  std::vector<std::string> box;
  int exitCode;
  const char* said;
};

class MonitorEnding : public CaptureCli, public ::testing::WithParamInterface<MonitorCase> {};

TEST_P(MonitorEnding, ExitsNonZeroWhenNothingUsableCame) {
  ASSERT_TRUE(box_.Start(GetParam().box));
  CliRun run = RunCli({"monitor", "--seconds", "4"});
  EXPECT_EQ(run.exitCode, GetParam().exitCode) << run.err;
  EXPECT_NE(run.out.find(std::string("Failed: ") + GetParam().said), std::string::npos) << run.out;
}

INSTANTIATE_TEST_SUITE_P(
    Streams, MonitorEnding,
    ::testing::Values(
        MonitorCase{"NoSyncByte", {"--kind", "t", "--lock-ms", "0", "--no-sync"}, 1, "no transport stream packet"},
        MonitorCase{"Stalled", {"--kind", "t", "--lock-ms", "0", "--stall-after-ms", "1000"}, 4, "the stream stalled for"}),
    [](const ::testing::TestParamInfo<MonitorCase>& info) { return std::string(info.param.name); });

TEST_F(CaptureCli, ZeroLimitsAreRefused) {
  ASSERT_TRUE(StartBox());
  for (const char* limit : {"--seconds", "--megabytes"}) {
    CliRun run = RunCli({"capture", limit, "0", "-o", dir_.File("zero.ts")});
    EXPECT_EQ(run.exitCode, 2) << limit;
  }
  EXPECT_EQ(FileSize(dir_.File("zero.ts")), -1);
}

TEST_F(CaptureCli, DashIsStandardOutput) {
  ASSERT_TRUE(StartBox());
  CliRun run = RunCli({"capture", "--seconds", "1", "-o", "-"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_GT(run.out.size(), 0u);
  EXPECT_TRUE(WholePackets(run.out));
  EXPECT_FALSE(std::filesystem::exists("-"));
}

TEST_F(CaptureCli, APipeNobodyReadsEndsAtTheTimeLimit) {
  ASSERT_TRUE(StartBox());
  const std::string fifo = dir_.File("unread2.fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);  // never read
  ASSERT_GE(reader, 0);
  BackgroundCli cli(dir_, {"capture", "--seconds", "2", "-o", fifo});
  EXPECT_EQ(cli.WaitAtMost(30), 1);
  EXPECT_NE(cli.Err().find("took nothing more"), std::string::npos) << cli.Err();
  ::close(reader);
}

TEST_F(CaptureCli, PacketsOf192BytesAreCapturedAsTheyCome) {
  // The sample with a 4-byte time stamp before each packet.
  const std::string sample = ReadFileBytes(SampleStream("mpts-3prog.ts"));
  std::string stamped;
  for (size_t at = 0; at + 188 <= sample.size(); at += 188) stamped += std::string(4, '\x01') + sample.substr(at, 188);
  const std::string stream = dir_.File("stamped.m2ts");
  WriteFileBytes(stream, stamped);
  ASSERT_TRUE(StartBox({"--stream", stream}));
  EXPECT_NE(box_.StderrText().find("has 192-byte packets"), std::string::npos) << box_.StderrText();
  const std::string path = dir_.File("stamped.ts");
  CliRun run = RunCli({"capture", "--seconds", "1", "-o", path});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  const std::string captured = ReadFileBytes(path);
  EXPECT_GT(captured.size(), 0u);
  EXPECT_EQ(captured.size() % 192, 0u);
}

}  // namespace
