// vantrel-dvbbridge as a program: its command line, no adapter, a clean end
// on SIGTERM in the middle of a stream.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "device/tuner_device.h"
#include "tests/support/boxsim_process.h"
#include "tests/support/test_env.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;

struct ProgramRun {
  int exitCode = -1;
  std::string out, err;
};

// Runs the bridge to its end with stdout and stderr in files.
ProgramRun RunBridge(const std::vector<std::string>& arguments) {
  TempDir dir;
  std::vector<std::string> argv = {std::string(VANTREL_BINARY_DIR) + "/dvbbridge/vantrel-dvbbridge"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::vector<char*> raw;
  for (std::string& argument : argv) raw.push_back(argument.data());
  raw.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, dir.File("out").c_str(), O_WRONLY | O_CREAT, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, dir.File("err").c_str(), O_WRONLY | O_CREAT, 0644);
  pid_t pid = -1;
  ProgramRun run;
  if (posix_spawn(&pid, raw[0], &actions, nullptr, raw.data(), environ) == 0) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
  }
  posix_spawn_file_actions_destroy(&actions);
  run.out = ReadFileBytes(dir.File("out"));
  run.err = ReadFileBytes(dir.File("err"));
  return run;
}

bool HaveDvbAdapters() {
  struct stat info;
  return stat("/dev/dvb", &info) == 0;
}

TEST(BridgeProgram, WithoutAnAdapterListAndStartSayWhereTheyLookedInOneLine) {
  if (HaveDvbAdapters()) GTEST_SKIP() << "this machine has /dev/dvb: the no-adapter case cannot be shown";
  TempDir dir;
  ScopedEnv devices("VANTREL_DEVICE_DIR", dir.File("dev").c_str());
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"--list"}, std::vector<std::string>{}}) {
    ProgramRun run = RunBridge(arguments);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "vantrel-dvbbridge: no DVB adapter found in /dev/dvb\n");
    EXPECT_EQ(run.out, "");
  }
  // Nothing was left published.
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(dir.File("dev"), ignored))
    ADD_FAILURE() << "left behind: " << entry.path();
}

TEST(BridgeProgram, BadCommandLinesAreRefusedWithStatus2) {
  for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
           {"--dry-run", "dvbx"},
           {"--stream", "x.ts"},
           {"--list", "--dry-run", "dvbt"},
           {"--dry-run", "dvbt", "--adapter", "0"},
           {"--system", "cable"},
           {"--adapter", "x"},
           {"--frontend", "1"},
           {"--unknown"}}) {
    ProgramRun run = RunBridge(arguments);
    EXPECT_EQ(run.exitCode, 2) << ::testing::PrintToString(arguments);
    EXPECT_EQ(run.err.rfind("vantrel-dvbbridge: ", 0), 0u) << run.err;
  }
  ProgramRun help = RunBridge({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  for (const char* option : {"--adapter", "--frontend", "--device-dir", "--journal", "--list", "--dry-run",
                             "--stream", "--system"})
    EXPECT_NE(help.out.find(option), std::string::npos) << option;
}

TEST(BridgeProgram, AFolderGivenAsStreamIsNamedAsOne) {
  TempDir dir;
  BoxSimProcess bridge;
  EXPECT_FALSE(bridge.StartDvbBridge({"--dry-run", "dvbt", "--stream", dir.path()}));
  EXPECT_EQ(bridge.ExitStatus(), 1);
  EXPECT_NE(bridge.StderrText().find("is a folder"), std::string::npos) << bridge.StderrText();
}

TEST(BridgeProgram, SigtermInTheMiddleOfAStreamEndsItCleanly) {
  BoxSimProcess bridge;
  ASSERT_TRUE(bridge.StartDvbBridge({"--dry-run", "dvbt"})) << bridge.StderrText();
  ASSERT_EQ(OpenTunerDevice(), 1);
  uint8_t* ring = nullptr;
  ASSERT_NE(StartStream(&ring), 0);
  uint32_t offset = 0;
  auto deadline = std::chrono::steady_clock::now() + 20s;
  while (offset < 188 * 100 && std::chrono::steady_clock::now() < deadline) {
    ASSERT_NE(GetStreamWritePosition(&offset), 0);
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_GE(offset, 188u * 100) << "the stream flows";
  EXPECT_EQ(bridge.Stop(), 0) << bridge.StderrText();
  // Its sockets and lock are gone; the program's requests now fail.
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(bridge.DeviceDirectory(), ignored))
    ADD_FAILURE() << "left behind: " << entry.path();
  EXPECT_EQ(GetStreamWritePosition(&offset), 0);
  bool stopped = false;
  for (const std::string& line : bridge.JournalLines()) stopped = stopped || line == "STOP_STREAM";
  EXPECT_TRUE(stopped) << "the demux filter was cleared on the way out";
  CloseTunerDevice();
}

}  // namespace
