// The fuzz target's seed corpus run through the PSI analysis inside the
// normal suite: every seed analyses without a message and without touching
// memory it must not (checked in the sanitizer builds).
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/fuzz/psi_fuzz_run.h"
#include "tests/support/test_env.h"

TEST(PsiFuzzCorpus, EverySeedRunsCleanly) {
  const std::filesystem::path corpus = std::filesystem::path(VANTREL_TEST_DATA_DIR) / ".." / "fuzz" / "corpus";
  TempDir dir;
  RecordingUiHooks hooks;
  int seeds = 0;
  for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
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
