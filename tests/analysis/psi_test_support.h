// Shared by the PSI stage tests: a fixture that opens a stream the way the
// analysis commands do, and a readable summary of the program table.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "analysis/engine/psi.h"
#include "analysis/engine/ts_file.h"
#include "tests/support/test_env.h"
#include "tests/support/ts_builder.h"

// One record of ProgramTable as the tests compare it.
struct ProgramSummary {
  int number = 0;
  int pmtPid = 0;
  int videoPid = 0;
  std::vector<int> audioPids = {};
  int serviceType = 0;
  std::string name = {};
  std::string provider = {};
  bool operator==(const ProgramSummary&) const = default;
};

inline void PrintTo(const ProgramSummary& p, std::ostream* os) {
  *os << "{" << p.number << " pmt 0x" << std::hex << p.pmtPid << " video 0x" << p.videoPid
      << " audio [";
  for (int pid : p.audioPids) *os << " 0x" << pid;
  *os << " ] type " << std::dec << p.serviceType << " name '" << p.name << "' provider '"
      << p.provider << "'}";
}

inline std::vector<ProgramSummary> ProgramTableSummary() {
  std::vector<ProgramSummary> programs;
  for (int i = 0; i < nProgramCount && i < kMaxPrograms; ++i) {
    const ProgramRecord& r = ProgramTable[i];
    programs.push_back({r.program_number, r.pmt_pid, r.video_pid,
                        std::vector<int>(r.audio_pids, r.audio_pids + r.audio_count),
                        r.service_type, r.service_name, r.provider_name});
  }
  return programs;
}

class PsiStageTest : public ::testing::Test {
protected:
  void SetUp() override {
    ResetAnalysis();
    std::memset(ProgramTable, 0, sizeof(ProgramTable));
  }
  void TearDown() override { ResetAnalysis(); }

  // Selects and opens `path` and reads its first block, as the PAT, PMT and
  // SDT commands do before they start a stage.
  void OpenFile(const std::string& path) {
    ResetAnalysis();
    strTsFileName = path;
    ASSERT_EQ(OpenTsFile(), 1);
    RestartTsFile();
  }
  void OpenStream(const tsbuild::Bytes& bytes) {
    const std::string path = dir.File("stream.ts");
    ASSERT_TRUE(tsbuild::WriteTsFile(path, bytes));
    OpenFile(path);
  }
  // The next command on the same file: restart, keeping the stage results.
  static void Restart() { RestartTsFile(); }

  TempDir dir;
  RecordingUiHooks hooks;
};
