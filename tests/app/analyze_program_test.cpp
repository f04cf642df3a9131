// `vantrel --analyze FILE` run as a program, offscreen: the window shows,
// analyses the file and, with --quit-when-done, prints its status and the
// same verdict as `vantrel-cli analyze` and ends by itself; a file that
// cannot be read or holds no stream ends with status 1; the option alone is
// a usage error.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "tests/support/run_cli.h"
#include "tests/support/test_env.h"

namespace {

// Runs the built vantrel with `args` offscreen, with a profile and a device
// folder of its own; killed after `limitS` (exitCode -1: it did not end).
CliRun RunApp(const TempDir& dir, const std::vector<std::string>& args, int limitS = 120) {
  return RunProgram(std::string(VANTREL_BINARY_DIR) + "/app/vantrel", args,
                    {"QT_QPA_PLATFORM=offscreen", "XDG_CONFIG_HOME=" + dir.path(), "VANTREL_DEVICE_DIR=" + dir.path(),
                     "LANG=C.UTF-8", "LC_ALL", "LANGUAGE"},
                    limitS);
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
  const std::string noise = dir.File("noise.ts");
  std::ofstream(noise, std::ios::binary) << std::string(100000, '\x11');
  const struct {
    std::string file;
    int exitCode;
    std::string statusStart;
    std::string verdict;
  } cases[] = {
      {sample, 0, "Complete", CliVerdict(sample)},
      {missing, 1, "Cannot analyse", "no_stream"},
      {noise, 1, "Cannot analyse", "no_stream"},  // as the command line: no stream is no success
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const CliRun run = RunApp(dir, {"--analyze", c.file, "--quit-when-done"});
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    EXPECT_EQ(run.out.rfind(c.statusStart, 0), 0u) << run.out;
    EXPECT_NE(run.out.find("\nverdict: " + c.verdict + "\n"), std::string::npos) << run.out;
  }
  EXPECT_NE(CliVerdict(sample), "?");
  const CliRun alone = RunApp(dir, {"--quit-when-done"});
  EXPECT_EQ(alone.exitCode, 2);
  EXPECT_NE(alone.err.find("--quit-when-done goes with --analyze FILE"), std::string::npos) << alone.err;
}

}  // namespace
