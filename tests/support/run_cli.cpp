#include "tests/support/run_cli.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

#include "tests/support/test_env.h"

extern char** environ;

namespace {

std::string NameOf(const std::string& entry) { return entry.substr(0, entry.find('=')); }

// The environment with `changes` applied: NAME=VALUE sets, NAME alone removes.
std::vector<std::string> ChangedEnvironment(const std::vector<std::string>& changes) {
  std::vector<std::string> env;
  for (const std::string& change : changes)
    if (change.find('=') != std::string::npos) env.push_back(change);
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    bool changed = false;
    for (const std::string& change : changes) changed = changed || NameOf(change) == NameOf(entry);
    if (!changed) env.push_back(entry);
  }
  return env;
}

}  // namespace

CliRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                  const std::vector<std::string>& envChanges, int limitS) {
  CliRun run;
  TempDir dir;
  const std::string outPath = dir.File("out"), errPath = dir.File("err");
  std::string path = program;
  std::vector<std::string> copies = args;
  std::vector<char*> argv{path.data()};
  for (std::string& arg : copies) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::vector<std::string> env = ChangedEnvironment(envChanges);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return run;
  int status = 0;
  bool ended = false;
  if (limitS <= 0) {
    ended = waitpid(pid, &status, 0) == pid;
  } else {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limitS);
    while (!(ended = waitpid(pid, &status, WNOHANG) == pid) && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (!ended) {
      ::kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
    }
  }
  if (ended && WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
  run.out = ReadFileBytes(outPath);
  run.err = ReadFileBytes(errPath);
  return run;
}

CliRun RunCli(const std::vector<std::string>& args) {
  return RunProgram(std::string(VANTREL_BINARY_DIR) + "/cli/vantrel-cli", args);
}
