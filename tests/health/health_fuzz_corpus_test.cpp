// The health fuzz target's seed corpus, replayed in the normal suite.
#include <filesystem>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "tests/fuzz/health_fuzz_run.h"

namespace {

TEST(HealthFuzzCorpus, EverySeedGivesOneResultWhateverTheSplit) {
  const std::filesystem::path corpus =
      std::filesystem::path(VANTREL_TEST_DATA_DIR).parent_path() / "fuzz" / "health_corpus";
  int seeds = 0;
  for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
    std::ifstream in(entry.path(), std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(bytes.empty()) << entry.path();
    EXPECT_TRUE(RunHealthOnBytes(bytes.data(), bytes.size())) << entry.path();
    ++seeds;
  }
  EXPECT_GE(seeds, 3);
}

}  // namespace
