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
    std::vector<std::string> arguments = {"--kind", "t", "--lock-ms", "0", "--bitrate", "80000000"};
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
  EXPECT_EQ(run.err, "Successful operation !\n");  // no progress line off a terminal
  EXPECT_EQ(run.out, path + ": 2097152 bytes\n");
  EXPECT_EQ(FileSize(path), 2097152);
  // As the terrestrial dialog's "Capture" stores them.
  EXPECT_EQ(GetProfileInt("DTTSETTINGP", "FREQ", -1), 474000);
  EXPECT_EQ(GetProfileInt("DTTSETTINGP", "BWID", -1), 8);
  EXPECT_EQ(GetProfileInt("DTTSETTINGP", "RECM", -1), 1);
  EXPECT_EQ(GetProfileInt("DTTSETTINGP", "SIZE", -1), 2);
  EXPECT_EQ(GetProfileInt("DTTSETTINGP", "SECC", -1), 0);
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
  EXPECT_EQ(GetProfileInt("DTTSETTINGP", "RECM", -1), 0);
  EXPECT_EQ(GetProfileInt("DTTSETTINGP", "SECC", -1), 1);
}

TEST_F(CaptureCli, InterruptEndsTheCaptureGracefullyEvenWhenRepeated) {
  ASSERT_TRUE(StartBox());
  std::string path = dir_.File("interrupted.ts");
  std::string outPath = dir_.File("stdout"), errPath = dir_.File("stderr");
  std::vector<std::string> args = {Cli(), "capture", "--megabytes", "4000", "-o", path};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT, 0600);
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);

  Clock::time_point start = Clock::now();
  while (FileSize(path) < 1000000 && Clock::now() - start < std::chrono::seconds(20))
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ::kill(pid, SIGINT);
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ::kill(pid, SIGINT);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "the process was not allowed to end by itself";
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_EQ(ReadFileBytes(errPath), "Operation fail !\n");
  int64_t size = FileSize(path);
  EXPECT_GE(size, 1000000);
  EXPECT_EQ(ReadFileBytes(outPath), path + ": " + std::to_string(size) + " bytes\n");
  EXPECT_TRUE(JournalHas("00222338")) << "stream stopped";
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
        {"capture", "--megabytes", "1", "--qam", "64", "-o", path},
        {"capture", "--megabytes", "1", "--pid", "0x100", "-o", path},
        {"capture", "--megabytes", "1", "-o", std::string(300, 'x')}}) {
    CliRun run = RunCli(args);
    EXPECT_EQ(run.exitCode, 2) << args[2] << ": " << run.err;
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

}  // namespace
