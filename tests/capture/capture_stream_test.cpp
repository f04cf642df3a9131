// The ring-to-file loop against the simulated box: limits, exact sizes,
// lossless copies, backlog handling, cancel and every way it can fail.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <thread>

#include "tests/capture/live_box.h"

namespace {

using livebox::LiveBoxTest;
using livebox::NumberedStream;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kMegabyte = 1048576;
const std::vector<std::string> kTerrestrialT = {"--kind", "t"};       // model 46
const std::vector<std::string> kTerrestrialA = {"--kind", "a"};       // model 12
// Fast enough for several rings a second, slow enough that a capture thread
// kept off the processor for a second on a busy machine loses nothing (the
// ring's safe part holds about 2 MB).
const std::vector<std::string> kFast = {"--bitrate", "16000000"};

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

bool FileExists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

// Whether this process still holds `path` open.
bool HeldOpen(const std::string& path) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
    std::error_code readError;
    if (std::filesystem::read_symlink(entry.path(), readError) == path) return true;
  }
  return false;
}

class CaptureStream : public LiveBoxTest {};

TEST_F(CaptureStream, ZeroSecondsOrZeroMegabytesGiveAnEmptyFileAndSucceed) {
  ASSERT_TRUE(StartBox(kTerrestrialT, NumberedStream()));
  ASSERT_TRUE(Tune());
  for (const CaptureSettings& limits : {ByTime(0), BySize(0)}) {
    box_.ClearJournal();
    std::string path = dir_.File("empty.ts");
    WriteFileBytes(path, "old contents");
    EXPECT_EQ(CaptureStreamToFile(limits, path.c_str()), 1);
    EXPECT_TRUE(FileExists(path));
    EXPECT_EQ(ReadFileBytes(path), "");
    EXPECT_EQ(Requests("00222334"), 1) << "stream started";
    EXPECT_EQ(Requests("00222338"), 1) << "stream stopped";
  }
}

TEST_F(CaptureStream, TimeModeCopiesTheStreamLosslesslyAcrossRingWraps) {
  ASSERT_TRUE(StartBox(kTerrestrialT, NumberedStream()));
  ASSERT_TRUE(Tune());
  std::string path = dir_.File("timed.ts");
  Clock::time_point start = Clock::now();
  ASSERT_EQ(CaptureStreamToFile(ByTime(3), path.c_str()), 1);
  double seconds = SecondsSince(start);
  std::string captured = ReadFileBytes(path);
  EXPECT_TRUE(LosslessFromFirstSync(captured));
  // 3 s at 2.5 MB/s: more than two rings, so wrapped backlogs were written.
  EXPECT_GT(captured.size(), 2 * 3133440u);
  EXPECT_GE(seconds, 3.0);
  EXPECT_LT(seconds, 10.0);
  EXPECT_GE(nCaptureProgress.load(), 90);
  EXPECT_LE(nCaptureProgress.load(), 100);
}

struct SizeCase {
  const char* name;
  std::vector<std::string> kind;
  uint32_t megabytes;
};

class CaptureBySize : public LiveBoxTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(CaptureBySize, HoldsExactlyTheSizeAskedAndIsLossless) {
  const SizeCase& param = GetParam();
  ASSERT_TRUE(StartBox(param.kind, NumberedStream(), kFast));
  ASSERT_TRUE(Tune());
  std::string path = dir_.File("sized.ts");
  ASSERT_EQ(CaptureStreamToFile(BySize(param.megabytes), path.c_str()), 1)
      << DescribeCaptureResult(0, GetLastCaptureReport());
  std::string captured = ReadFileBytes(path);
  EXPECT_EQ(captured.size(), param.megabytes * kMegabyte);
  EXPECT_TRUE(LosslessFromFirstSync(captured));
}

INSTANTIATE_TEST_SUITE_P(
    Chunks, CaptureBySize,
    ::testing::Values(SizeCase{"OneMegabyteIn61380ByteChunks", {"--kind", "t"}, 1},
                      SizeCase{"SevenMegabytesIn61380ByteChunks", {"--kind", "t"}, 7},
                      SizeCase{"SevenMegabytesOnABusBox", {"--kind", "bus"}, 7},
                      SizeCase{"FiveMegabytesIn4096ByteChunks", {"--kind", "a"}, 5}),
    [](const ::testing::TestParamInfo<SizeCase>& info) { return std::string(info.param.name); });

TEST_F(CaptureStream, StreamWithoutSyncByteFailsAfterSixSecondsWithAnEmptyFile) {
  SetCaptureTimingsForTesting(CaptureTimings{});  // the real limit, once
  ASSERT_TRUE(StartBox(kTerrestrialT, NumberedStream(), {"--no-sync"}));
  ASSERT_TRUE(Tune());
  std::string path = dir_.File("nosync.ts");
  Clock::time_point start = Clock::now();
  EXPECT_EQ(CaptureStreamToFile(ByTime(60), path.c_str()), 0);
  double seconds = SecondsSince(start);
  EXPECT_GT(seconds, 6.0);
  EXPECT_LT(seconds, 9.0);
  EXPECT_FALSE(FileExists(path)) << "made and never written: removed";
  EXPECT_EQ(GetLastCaptureReport().end, CaptureEnd::NoSync);
}

TEST_F(CaptureStream, CancelEndsASizeCaptureAndKeepsTheBytesWritten) {
  ASSERT_TRUE(StartBox(kTerrestrialT, NumberedStream()));
  ASSERT_TRUE(Tune());
  std::string path = dir_.File("cancelled.ts");
  std::thread canceller([&] {
    Clock::time_point start = Clock::now();
    struct stat info {};
    while (SecondsSince(start) < 20 && (::stat(path.c_str(), &info) != 0 || info.st_size < 500000))
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    bCaptureCancel.store(1);
  });
  Clock::time_point start = Clock::now();
  EXPECT_EQ(CaptureStreamToFile(BySize(600), path.c_str()), 0);
  canceller.join();
  EXPECT_LT(SecondsSince(start), 20.0);
  std::string captured = ReadFileBytes(path);
  EXPECT_GE(captured.size(), 500000u);
  EXPECT_LT(captured.size(), 600 * kMegabyte);
  EXPECT_TRUE(LosslessFromFirstSync(captured));
  EXPECT_EQ(Requests("00222338"), 1) << "stream stopped";
}

TEST_F(CaptureStream, FileThatCannotBeCreatedIsReportedAndNothingIsCreated) {
  ASSERT_TRUE(StartBox(kTerrestrialT, NumberedStream()));
  ASSERT_TRUE(Tune());
  RecordingUiHooks ui;
  std::string path = dir_.File("missing-folder/capture.ts");
  EXPECT_EQ(CaptureStreamToFile(BySize(1), path.c_str()), 0);
  EXPECT_FALSE(FileExists(path));
  EXPECT_TRUE(ui.Messages().empty()) << "said in the one result message";
  const std::string said = DescribeCaptureResult(0, GetLastCaptureReport());
  EXPECT_NE(said.find(path), std::string::npos) << said;
  EXPECT_NE(said.find("No such file or directory"), std::string::npos) << said;
  EXPECT_EQ(Requests("00222334"), 0) << "checked before the stream was started";
}

TEST_F(CaptureStream, FileHeldByAnotherCaptureIsNeitherEmptiedNorWritten) {
  ASSERT_TRUE(StartBox(kTerrestrialT, NumberedStream()));
  ASSERT_TRUE(Tune());
  RecordingUiHooks ui;
  std::string path = dir_.File("busy.ts");
  WriteFileBytes(path, "another capture's bytes");
  int holder = ::open(path.c_str(), O_RDONLY);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX), 0);
  EXPECT_EQ(CaptureStreamToFile(BySize(1), path.c_str()), 0);
  ::close(holder);
  EXPECT_EQ(ReadFileBytes(path), "another capture's bytes");
  const std::string said = DescribeCaptureResult(0, GetLastCaptureReport());
  EXPECT_NE(said.find(path), std::string::npos) << said;
  EXPECT_NE(said.find("in use"), std::string::npos) << said;
  EXPECT_EQ(Requests("00222334"), 0) << "checked before the stream was started";
}

// Writes fail once the file reaches `limit` bytes: the first write across the
// limit is cut short, the next one fails with EFBIG.
class FileSizeLimit {
public:
  explicit FileSizeLimit(rlim_t limit) {
    previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    ::getrlimit(RLIMIT_FSIZE, &previous_);
    rlimit reduced = previous_;
    reduced.rlim_cur = limit;
    ok_ = ::setrlimit(RLIMIT_FSIZE, &reduced) == 0;
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &previous_);
    std::signal(SIGXFSZ, previousHandler_);
  }
  bool ok() const { return ok_; }

private:
  rlimit previous_{};
  void (*previousHandler_)(int);
  bool ok_ = false;
};

TEST_F(CaptureStream, WriteFailureMidCaptureIsReportedAndKeepsEveryByteBeforeIt) {
  ASSERT_TRUE(StartBox(kTerrestrialT, NumberedStream()));
  ASSERT_TRUE(Tune());
  RecordingUiHooks ui;
  std::string path = dir_.File("limited.ts");
  const rlim_t limit = 1234567;  // no chunk or piece boundary: the write is cut short
  int result;
  {
    FileSizeLimit fileSizeLimit(limit);
    ASSERT_TRUE(fileSizeLimit.ok());
    result = CaptureStreamToFile(ByTime(30), path.c_str());
  }
  EXPECT_EQ(result, 0) << "a capture cut short by a write error is not a success";
  std::string captured = ReadFileBytes(path);
  EXPECT_EQ(captured.size(), limit / 188 * 188) << "cut back to its last whole packet";
  EXPECT_TRUE(LosslessFromFirstSync(captured));
  EXPECT_FALSE(HeldOpen(path));
  EXPECT_TRUE(ui.Messages().empty()) << "said in the one result message";
  const std::string said = DescribeCaptureResult(0, GetLastCaptureReport());
  EXPECT_NE(said.find(path), std::string::npos) << said;
  EXPECT_NE(said.find(std::strerror(EFBIG)), std::string::npos) << said;
  EXPECT_EQ(Requests("00222338"), 1) << "stream stopped";
}

TEST_F(CaptureStream, FullDiskIsReportedAndEndsTheCapture) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
  TempDir mountPoint;
  if (::mount("tmpfs", mountPoint.path().c_str(), "tmpfs", 0, "size=1m") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
  ASSERT_TRUE(StartBox(kTerrestrialT, NumberedStream()));
  ASSERT_TRUE(Tune());
  RecordingUiHooks ui;
  std::string path = mountPoint.File("full.ts");
  Clock::time_point start = Clock::now();
  int result = CaptureStreamToFile(BySize(5), path.c_str());
  double seconds = SecondsSince(start);
  std::string captured = ReadFileBytes(path);
  bool held = HeldOpen(path);
  ::umount2(mountPoint.path().c_str(), MNT_DETACH);
  EXPECT_EQ(result, 0);
  EXPECT_LT(seconds, 5.0);
  EXPECT_FALSE(held);
  EXPECT_GT(captured.size(), 0u);
  EXPECT_LE(captured.size(), kMegabyte);
  EXPECT_TRUE(LosslessFromFirstSync(captured));
  EXPECT_EQ(captured.size() % 188, 0u) << "trimmed to whole packets";
  EXPECT_TRUE(ui.Messages().empty()) << "said in the one result message";
  const std::string said = DescribeCaptureResult(0, GetLastCaptureReport());
  EXPECT_NE(said.find(path), std::string::npos) << said;
  EXPECT_NE(said.find(std::strerror(ENOSPC)), std::string::npos) << said;
}

TEST_F(CaptureStream, BoxUnpluggedMidCaptureEndsItWithAClosedFile) {
  ASSERT_TRUE(StartBox(kTerrestrialT, NumberedStream()));
  ASSERT_TRUE(Tune());
  std::string path = dir_.File("unplugged.ts");
  std::thread unplug([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    box_.Kill();
  });
  Clock::time_point start = Clock::now();
  EXPECT_EQ(CaptureStreamToFile(ByTime(60), path.c_str()), 0);
  unplug.join();
  EXPECT_LT(SecondsSince(start), 10.0);
  std::string captured = ReadFileBytes(path);
  EXPECT_GT(captured.size(), 1000000u);
  EXPECT_TRUE(LosslessFromFirstSync(captured));
  EXPECT_FALSE(HeldOpen(path));
}

class StalledStream : public LiveBoxTest, public ::testing::WithParamInterface<int> {};

TEST_P(StalledStream, TripsTheWatchdog) {
  ASSERT_TRUE(StartBox(kTerrestrialT, NumberedStream(), {"--stall-after-ms", "1000"}));
  ASSERT_TRUE(Tune());
  std::string path = dir_.File("stalled.ts");
  Clock::time_point start = Clock::now();
  EXPECT_EQ(CaptureStreamToFile(GetParam() == 0 ? ByTime(60) : BySize(600), path.c_str()), 0);
  // The stall comes after 1 s; a watchdog period of 1.5 s fires within two
  // periods of it (generous for a busy machine).
  EXPECT_LT(SecondsSince(start), 20.0);
  EXPECT_TRUE(GetLastCaptureReport().stalled);
  std::string captured = ReadFileBytes(path);
  EXPECT_GT(captured.size(), 0u);
  EXPECT_TRUE(LosslessFromFirstSync(captured));
}

INSTANTIATE_TEST_SUITE_P(RecordModes, StalledStream, ::testing::Values(0, 1),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(info.param == 0 ? "ByTime" : "BySize");
                         });

TEST_F(CaptureStream, LongStallFailsATimedCaptureAtItsLimitAndSaysSo) {
  ASSERT_TRUE(StartBox(kTerrestrialT, NumberedStream(), {"--stall-after-ms", "500"}));
  ASSERT_TRUE(Tune());
  CaptureTimings timings = livebox::ShortTimings();
  timings.watchdogPeriodMs = 60000;
  SetCaptureTimingsForTesting(timings);
  std::string path = dir_.File("stalled-timed.ts");
  Clock::time_point start = Clock::now();
  EXPECT_EQ(CaptureStreamToFile(ByTime(4), path.c_str()), 0);
  double seconds = SecondsSince(start);
  EXPECT_GE(seconds, 4.0);
  EXPECT_LT(seconds, 20.0);
  CaptureReport report = GetLastCaptureReport();
  EXPECT_TRUE(report.stalled);
  EXPECT_GT(report.longestStallMs, kCaptureStallFailMs);
  EXPECT_EQ(report.bytesLost, 0u);
  std::string captured = ReadFileBytes(path);
  EXPECT_EQ(captured.size() % 188, 0u);
  EXPECT_TRUE(LosslessFromFirstSync(captured));
}

TEST_F(CaptureStream, FailedStartCreatesNoFile) {
  ASSERT_TRUE(StartBox(kTerrestrialT, NumberedStream(), {"--fail", "222334"}));
  ASSERT_TRUE(Tune());
  std::string path = dir_.File("never.ts");
  EXPECT_EQ(CaptureStreamToFile(BySize(1), path.c_str()), 0);
  EXPECT_FALSE(FileExists(path));
}

TEST_F(CaptureStream, ChunkCountBeyond32BitsStopsTheStreamAndCreatesNoFile) {
  ASSERT_TRUE(StartBox(kTerrestrialA, NumberedStream()));
  ASSERT_TRUE(Tune());
  std::string path = dir_.File("huge.ts");
  CaptureSettings limits = BySize(0);
  limits.nCaptureMegabytes = -1;  // 4,294,967,295 MB
  EXPECT_EQ(CaptureStreamToFile(limits, path.c_str()), 0);
  EXPECT_FALSE(FileExists(path));
  EXPECT_EQ(Requests("00222338"), 1) << "stream stopped";
}

TEST_F(CaptureStream, PidFilterCarriesTheCapturePid) {
  ASSERT_TRUE(StartBox(kTerrestrialA, NumberedStream()));
  ASSERT_TRUE(Tune());
  nCapturePid.store(0x2100);
  std::string path = dir_.File("filtered.ts");
  int result = CaptureStreamToFile(BySize(0), path.c_str());
  nCapturePid.store(0);
  EXPECT_EQ(result, 1);
  std::vector<std::string> lines = box_.JournalLines();
  bool sent = false;
  for (const std::string& line : lines)
    sent = sent || line == "A 00222344 in=000100000000000000000000000000000100 out=0";
  EXPECT_TRUE(sent) << "PID 0x2100 goes out masked to 0x0100";
}

}  // namespace
