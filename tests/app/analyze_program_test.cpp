// `vantrel --analyze FILE` run as a program, offscreen: the window shows,
// analyses the file and, with --quit-when-done, prints its status and the
// same verdict as `vantrel-cli analyze` and ends by itself; a file that
// cannot be read ends with status 1; the option alone is a usage error.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/run_cli.h"
#include "tests/support/test_env.h"

extern char** environ;

namespace {

struct AppRun {
  int exitCode = -1;  // -1: did not end by itself within the time limit
  std::string out, err;
};

// Runs the built vantrel with `args` offscreen, with a profile and a device
// folder of its own; killed after `limitS`.
AppRun RunApp(const TempDir& dir, const std::vector<std::string>& args, int limitS = 120) {
  AppRun run;
  const std::string outPath = dir.File("app.out"), errPath = dir.File("app.err");
  std::string program = std::string(VANTREL_BINARY_DIR) + "/app/vantrel";
  std::vector<std::string> copies = args;
  std::vector<char*> argv{program.data()};
  for (std::string& arg : copies) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::vector<std::string> env = {"QT_QPA_PLATFORM=offscreen", "XDG_CONFIG_HOME=" + dir.path(),
                                  "VANTREL_DEVICE_DIR=" + dir.path(), "LANG=C.UTF-8"};
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    if (name != "QT_QPA_PLATFORM" && name != "XDG_CONFIG_HOME" && name != "VANTREL_DEVICE_DIR" && name != "LANG" &&
        name != "LC_ALL" && name != "LANGUAGE")
      env.push_back(entry);
  }
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return run;
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limitS);
  bool ended = false;
  while (!(ended = waitpid(pid, &status, WNOHANG) == pid) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  if (!ended) {
    ::kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  } else if (WIFEXITED(status)) {
    run.exitCode = WEXITSTATUS(status);
  }
  run.out = ReadFileBytes(outPath);
  run.err = ReadFileBytes(errPath);
  return run;
}

std::string CliVerdict(const std::string& path) {
  const CliRun cli = RunCli({"analyze", "--json", path});
  const size_t at = cli.out.find("\"verdict\": \"");
  if (at == std::string::npos) return "?";
  const size_t start = at + 12;
  return cli.out.substr(start, cli.out.find('"', start) - start);
}

TEST(AnalyzeProgram, ShowsTheAnalysisAndEndsWhenDone) {
  TempDir dir;
  const std::string sample = std::string(VANTREL_TEST_DATA_DIR) + "/streams/mpts-3prog.ts";
  const std::string missing = dir.File("missing.ts");
  const struct {
    std::string file;
    int exitCode;
    std::string statusStart;
    std::string verdict;
  } cases[] = {
      {sample, 0, "Complete", CliVerdict(sample)},
      {missing, 1, "Cannot analyse", "no_stream"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const AppRun run = RunApp(dir, {"--analyze", c.file, "--quit-when-done"});
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    EXPECT_EQ(run.out.rfind(c.statusStart, 0), 0u) << run.out;
    EXPECT_NE(run.out.find("\nverdict: " + c.verdict + "\n"), std::string::npos) << run.out;
  }
  EXPECT_NE(CliVerdict(sample), "?");
  const AppRun alone = RunApp(dir, {"--quit-when-done"});
  EXPECT_EQ(alone.exitCode, 2);
  EXPECT_NE(alone.err.find("--quit-when-done goes with --analyze FILE"), std::string::npos) << alone.err;
}

}  // namespace
