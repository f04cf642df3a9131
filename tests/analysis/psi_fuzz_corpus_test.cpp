// The fuzz target's seed corpus run through the PSI analysis inside the
// normal suite: every seed analyses without a message and without touching
// memory it must not (checked in the sanitizer builds), and the seeds written
// by make_psi_corpus decode to the tables they were made of.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/analysis/psi_test_support.h"
#include "tests/fuzz/psi_fuzz_run.h"
#include "tests/support/test_env.h"

namespace {

const std::filesystem::path kCorpus =
    std::filesystem::path(VANTREL_TEST_DATA_DIR) / ".." / "fuzz" / "corpus";

}  // namespace

TEST(PsiFuzzCorpus, EverySeedRunsCleanly) {
  TempDir dir;
  RecordingUiHooks hooks;
  int seeds = 0;
  for (const auto& entry : std::filesystem::directory_iterator(kCorpus)) {
    if (!entry.is_regular_file()) continue;
    const std::string bytes = ReadFileBytes(entry.path().string());
    ASSERT_FALSE(bytes.empty()) << entry.path();
    EXPECT_TRUE(RunPsiAnalysisOnBytes(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                                      dir.File("seed.ts")))
        << entry.path();
    ++seeds;
  }
  EXPECT_GE(seeds, 5);
  EXPECT_TRUE(hooks.Messages().empty());
}

TEST_F(PsiStageTest, KnownSeedsDecodeToTheTablesTheyWereMadeOf) {
  OpenFile((kCorpus / "tables.ts").string());
  AnalyseSdt();
  EXPECT_EQ(ProgramTableSummary(),
            (std::vector<ProgramSummary>{
                {101, 0x100, 0x200, {0x201, 0x202}, 1, "One", "P"},
                {102, 0x101, 0x300, {0x301, 0x302}, 2, "\x05Two", ""},
                {103, 0x102, 0x400, {0x401, 0x402}, 0, "", ""}}));

  OpenFile((kCorpus / "two-section-pat-shared-pmt-pid.ts").string());
  AnalysePmt();
  EXPECT_EQ(ProgramTableSummary(), (std::vector<ProgramSummary>{{1, 0x100, 0x200, {0x201}},
                                                                 {2, 0x100, 0x300},
                                                                 {3, 0x101}}))
      << "program 3's PMT only ever comes with a broken CRC";

  // The packed sections: one with table_id 0x4A (a bouquet's, which names
  // nothing) for 103, and an SDT for 102, which the one before has named.
  OpenFile((kCorpus / "sdt-tail-and-packed.ts").string());
  AnalyseSdt();
  const auto programs = ProgramTableSummary();
  ASSERT_EQ(programs.size(), 3u);
  EXPECT_EQ(programs[0].name, std::string(90, 'A'));
  EXPECT_EQ(programs[1].name, std::string(90, 'B'));
  EXPECT_EQ(programs[2].name, "");

  OpenFile((kCorpus / "garbage-between-packets.ts").string());
  AnalyseSdt();
  EXPECT_EQ(ProgramTableSummary(), (std::vector<ProgramSummary>{{7, 0x107, 0x207, {}, 1, "G", ""}}));

  OpenFile((kCorpus / "test-018-first-40-packets.ts").string());
  AnalysePat();
  EXPECT_EQ(nProgramCount, 20) << "the PAT of the terrestrial capture";
  EXPECT_TRUE(hooks.Messages().empty());
}
