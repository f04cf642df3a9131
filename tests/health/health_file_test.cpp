// Running the engine over a file with progress, cancel and published results
// that another thread polls (as the analysis window does).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
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

// A named pipe: the same result as the file once its writer has gone, and a
// cancel ends the read while no writer has come (the window's Cancel).
TEST_F(HealthFile, NamedPipeGivesTheFilesResultAndACancelEndsAWaitForAWriter) {
  const std::string fifo = dir_.File("pipe");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_TRUE(IsStreamingInput(fifo));
  EXPECT_FALSE(IsStreamingInput(path_));

  std::thread writer([&] {
    const int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);  // waits for the reader
    ASSERT_GE(fd, 0);
    for (size_t at = 0; at < bytes_.size();) {
      const ssize_t put = ::write(fd, bytes_.data() + at, bytes_.size() - at);
      if (put <= 0) break;
      at += static_cast<size_t>(put);
    }
    ::close(fd);
  });
  const HealthFileOutcome piped = AnalyseHealthFile(fifo, {});
  writer.join();
  const HealthFileOutcome file = AnalyseHealthFile(path_, {});
  ASSERT_TRUE(piped.opened);
  EXPECT_FALSE(piped.result.partial);
  EXPECT_EQ(piped.result.bytes, file.result.bytes);
  EXPECT_EQ(piped.result.packets, file.result.packets);
  EXPECT_EQ(piped.result.pids.size(), file.result.pids.size());

  HealthFileRun run;
  std::thread canceller([&run] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    run.cancel.store(true);
  });
  const auto start = std::chrono::steady_clock::now();
  const HealthFileOutcome waited = AnalyseHealthFile(fifo, {}, {}, &run);
  canceller.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_TRUE(waited.opened);
  EXPECT_TRUE(waited.result.partial);
  EXPECT_TRUE(run.done.load());
}

}  // namespace
