// Running the engine over a file with progress, cancel and published results
// that another thread polls (as the analysis window does).
#include <thread>

#include <gtest/gtest.h>

#include "analysis/health/health_file.h"
#include "tests/health/cbr_stream.h"
#include "tests/support/test_env.h"

namespace {

using namespace healthtest;

class HealthFile : public ::testing::Test {
protected:
  void SetUp() override {
    bytes_ = CbrStream(Slot(1.0)).StandardProgram().Build();  // about 5 MB
    ASSERT_TRUE(tsbuild::WriteTsFile(path_, bytes_));
  }
  TempDir dir_;
  std::string path_ = dir_.File("stream.ts");
  tsbuild::Bytes bytes_;
};

TEST_F(HealthFile, ReadsTheWholeFileAndPublishesTheFinalResult) {
  HealthFileRun run;
  HealthFileOutcome outcome = AnalyseHealthFile(path_, {}, {}, &run);
  ASSERT_TRUE(outcome.opened);
  EXPECT_FALSE(outcome.result.partial);
  EXPECT_EQ(outcome.result.packets, bytes_.size() / 188);
  EXPECT_TRUE(run.done.load());
  EXPECT_EQ(run.bytesDone.load(), bytes_.size());
  EXPECT_EQ(run.bytesTotal.load(), static_cast<int64_t>(bytes_.size()));
  EXPECT_EQ(run.Latest().packets, outcome.result.packets);
}

TEST_F(HealthFile, CancelKeepsWhatWasReadAndMarksItPartial) {
  HealthFileRun run;
  HealthFileOptions options;
  options.onBlock = [&run](uint64_t, int64_t) { run.cancel.store(true); };
  HealthFileOutcome outcome = AnalyseHealthFile(path_, {}, options, &run);
  EXPECT_TRUE(outcome.result.partial);
  EXPECT_GT(outcome.result.packets, 0u);
  EXPECT_LT(outcome.result.bytes, bytes_.size());
  EXPECT_EQ(outcome.result.bytes, run.bytesDone.load());
  EXPECT_TRUE(run.Latest().partial);
}

TEST_F(HealthFile, AnotherThreadPollsWhileTheWorkerReads) {
  HealthFileRun run;
  HealthFileOptions options;
  options.publishIntervalS = 0;  // every block
  HealthFileOutcome outcome;
  std::thread worker([&] { outcome = AnalyseHealthFile(path_, {}, options, &run); });
  uint64_t lastPackets = 0;
  bool monotonic = true;
  while (!run.done.load()) {
    const HealthResult snapshot = run.Latest();
    monotonic = monotonic && snapshot.packets >= lastPackets;
    lastPackets = snapshot.packets;
    std::this_thread::yield();
  }
  worker.join();
  EXPECT_TRUE(monotonic);
  EXPECT_GE(run.PublishedCount(), 2u);
  EXPECT_EQ(run.Latest().packets, outcome.result.packets);
}

TEST_F(HealthFile, MissingFileAndFolderAreNotOpened) {
  HealthFileOutcome missing = AnalyseHealthFile(dir_.File("none"), {});
  EXPECT_FALSE(missing.opened);
  EXPECT_NE(missing.error.find("cannot open"), std::string::npos);
  EXPECT_FALSE(AnalyseHealthFile(dir_.path(), {}).opened);
}

}  // namespace
