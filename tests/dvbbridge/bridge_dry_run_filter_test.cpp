// vantrel-dvbbridge --dry-run with the satellite box's PID filter: as the
// demux of a real adapter, the stream then carries only that PID's packets,
// whole and in their order, at the pace the whole stream would have.
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "boxserver/stream_source.h"
#include "tests/support/boxsim_process.h"
#include "tests/support/run_cli.h"
#include "tests/support/test_env.h"

namespace {

const std::string kSample = std::string(VANTREL_TEST_DATA_DIR) + "/streams/mpts-3prog.ts";

int PidOf(const std::string& bytes, size_t offset) {
  return ((static_cast<uint8_t>(bytes[offset + 1]) & 0x1F) << 8) | static_cast<uint8_t>(bytes[offset + 2]);
}

TEST(DryRunFilter, AFilteredCaptureHoldsOnlyTheFilteredPid) {
  std::string error;
  std::vector<uint8_t> source;
  ASSERT_TRUE(LoadStreamFile(kSample, &source, &error)) << error;
  const std::string sourceBytes(source.begin(), source.end());
  // The source's most frequent PID other than the PAT, and its packets in order.
  std::map<int, size_t> counts;
  for (size_t offset = 0; offset + 188 <= sourceBytes.size(); offset += 188) ++counts[PidOf(sourceBytes, offset)];
  int pid = -1;
  for (const auto& [each, count] : counts)
    if (each != 0 && each != 0x1FFF && (pid < 0 || count > counts[pid])) pid = each;
  ASSERT_GT(pid, 0);
  ASSERT_LT(counts[pid], sourceBytes.size() / 188 / 2) << "the filter must drop something";

  TempDir dir;
  ScopedEnv profile("XDG_CONFIG_HOME", dir.path().c_str());
  BoxSimProcess bridge;
  ASSERT_TRUE(bridge.StartDvbBridge({"--dry-run", "dvbs", "--stream", kSample})) << bridge.StderrText();
  const std::string output = dir.File("filtered.ts");
  const CliRun run = RunCli({"capture", "--seconds", "2", "--pid", std::to_string(pid), "-o", output, "--freq",
                             "3800", "--symbol-rate", "27500", "--pol", "V"});
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  char filterLine[32];
  std::snprintf(filterLine, sizeof filterLine, "START_STREAM pid=0x%04X ", pid);
  bool filterJournaled = false;
  for (const std::string& line : bridge.JournalLines()) filterJournaled = filterJournaled || line.rfind(filterLine, 0) == 0;
  EXPECT_TRUE(filterJournaled) << filterLine;

  const std::string captured = ReadFileBytes(output);
  ASSERT_GE(captured.size(), 10u * 188) << run.out << run.err;
  ASSERT_EQ(captured.size() % 188, 0u);
  size_t foreign = 0;
  for (size_t offset = 0; offset < captured.size(); offset += 188)
    foreign += captured[offset] != '\x47' || PidOf(captured, offset) != pid;
  EXPECT_EQ(foreign, 0u) << "packets of other PIDs, or not on packet boundaries";
  // Whole packets as the source holds them: the first one captured is one of the PID's packets.
  EXPECT_NE(sourceBytes.find(captured.substr(0, 188)), std::string::npos);
}

}  // namespace
