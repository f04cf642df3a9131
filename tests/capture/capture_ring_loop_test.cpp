// The ring-to-file loop driven step by step: a ring of the test's own whose
// write offset moves only when the test says so, and a clock that moves only
// when the loop sleeps. Every branch of the chunk arithmetic, overruns, stalls
// and the packet-boundary endings, with exact figures.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#endif

#include <algorithm>
#include <cstring>
#include <functional>
#include <vector>

#include "capture/capture_run.h"
#include "platform/ui_hooks.h"
#include "tests/capture/looped_source.h"
#include "tests/support/test_env.h"
#include "tests/support/ts_builder.h"

namespace {

constexpr uint32_t kRing = 3130380;   // bus-kind ring
constexpr uint32_t kChunk = 61380;
constexpr uint64_t kMegabyte = 1048576;
constexpr uint32_t kPollMs = 10;

// The driver's ring: Produce() writes the next stream bytes at the write
// offset, wrapping as the driver does. onPoll runs at each write-offset
// request, before the offset is reported.
class FakeRing {
public:
  explicit FakeRing(std::vector<uint8_t> source) : ring_(kRing, 0), source_(std::move(source)) {}

  void Produce(uint64_t count) {
    while (count > 0) {
      const uint64_t piece = std::min<uint64_t>({count, kRing - write_, source_.size() - sourceAt_});
      std::memcpy(ring_.data() + write_, source_.data() + sourceAt_, piece);
      write_ = static_cast<uint32_t>((write_ + piece) % kRing);
      sourceAt_ = (sourceAt_ + piece) % source_.size();
      produced_ += piece;
      count -= piece;
    }
  }
  // The driver starts the stream afresh: the ring from its start, the source
  // from its beginning.
  void Restart() {
    write_ = 0;
    sourceAt_ = 0;
  }
  // Stream bytes produced so far: the source offset of the next byte.
  uint64_t Produced() const { return produced_; }
  uint32_t WriteOffset() const { return write_; }

  StreamRingAccess Access() {
    StreamRingAccess access;
    access.ring = ring_.data();
    access.layout = {kRing, kChunk};
    access.writeOffset = [this](uint32_t* offset) {
      ++polls_;
      if (onPoll) onPoll(polls_);
      *offset = write_;
      return true;
    };
    access.nowMs = [this] { return clock; };
    access.sleepMs = [this](uint32_t milliseconds) { clock += milliseconds; };
    access.copying = [this] {
      if (onCopy) onCopy();
    };
    return access;
  }

  std::function<void(int poll)> onPoll;
  // Runs as the loop starts copying a backlog out of the ring.
  std::function<void()> onCopy;
  uint64_t clock = 1000;

private:
  std::vector<uint8_t> ring_;
  std::vector<uint8_t> source_;
  uint32_t write_ = 0;
  uint64_t sourceAt_ = 0;
  uint64_t produced_ = 0;
  int polls_ = 0;
};

// `garbage` bytes without a sync byte, then numbered 188-byte packets.
std::vector<uint8_t> Stream(size_t garbage, int packets = 80000) {
  tsbuild::TsStreamBuilder stream;
  stream.Garbage(garbage).Numbered(packets);
  return stream.bytes();
}

CaptureSettings BySize(uint32_t megabytes) {
  CaptureSettings capture{};
  capture.nRecordMode = 1;
  capture.nCaptureMegabytes = static_cast<int32_t>(megabytes);
  return capture;
}

CaptureSettings ByTime(uint32_t seconds) {
  CaptureSettings capture{};
  capture.nCaptureSeconds = static_cast<int32_t>(seconds);
  return capture;
}

class RingLoopTest : public ::testing::Test {
protected:
  void SetUp() override {
    CaptureTimings timings;
    timings.pollIntervalMs = kPollMs;
    SetCaptureTimingsForTesting(timings);
    bCaptureCancel.store(0);
  }
  void TearDown() override {
    SetCaptureTimingsForTesting(CaptureTimings{});
    bCaptureCancel.store(0);
  }

  int Capture(FakeRing& ring, const CaptureSettings& limits, bool onePid = false) {
    StreamRingAccess access = ring.Access();
    access.onePid = onePid;
    int result = CopyStreamRingToFile(limits, access, path_.c_str());
    captured_ = ReadFileBytes(path_);
    report_ = GetLastCaptureReport();
    return result;
  }

  // The file is the source from `from` on, byte for byte.
  ::testing::AssertionResult SourceFrom(const std::vector<uint8_t>& source, uint64_t from) const {
    const size_t run = looped::MatchingRun(source, captured_, 0, from);
    if (run == captured_.size()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "only " << run << " of " << captured_.size()
                                         << " bytes match the source from " << from;
  }

  uint64_t FileSize() const { return ReadFileBytes(path_).size(); }

  // The file is whole packets of a Stream(garbage), each one as the source
  // holds it, in the source's order (gaps allowed).
  ::testing::AssertionResult InOrderPackets(const std::vector<uint8_t>& source, size_t garbage) const {
    int previous = -1;
    for (size_t at = 0; at < captured_.size(); at += 188) {
      const auto* packet = reinterpret_cast<const uint8_t*>(captured_.data() + at);
      if (captured_.size() - at < 188 || packet[0] != 0x47)
        return ::testing::AssertionFailure() << "no whole packet at " << at << " (first byte "
                                             << int{packet[0]} << ")";
      const int index = tsbuild::PacketIndex(packet);
      const size_t from = garbage + static_cast<size_t>(index) * 188;
      if (index <= previous || from + 188 > source.size() || std::memcmp(packet, source.data() + from, 188) != 0)
        return ::testing::AssertionFailure() << "packet at " << at << " is not the source's next one";
      previous = index;
    }
    return ::testing::AssertionSuccess();
  }

  // The file is the source from `from` up to `to`, then the source from
  // `resumedAt` on.
  ::testing::AssertionResult SourceWithGap(const std::vector<uint8_t>& source, uint64_t from,
                                           uint64_t to, uint64_t resumedAt) const {
    const size_t before = static_cast<size_t>(to - from);
    if (captured_.size() < before)
      return ::testing::AssertionFailure() << "the file has only " << captured_.size() << " bytes";
    const std::string head = captured_.substr(0, before);
    const std::string rest = captured_.substr(before);
    if (looped::MatchingRun(source, head, 0, from) != head.size())
      return ::testing::AssertionFailure() << "the part before the gap differs";
    const size_t run = looped::MatchingRun(source, rest, 0, resumedAt);
    if (run != rest.size())
      return ::testing::AssertionFailure()
             << "only " << run << " of " << rest.size() << " bytes after the gap match";
    return ::testing::AssertionSuccess();
  }

  TempDir dir_;
  std::string path_ = dir_.File("capture.ts");
  std::string captured_;
  CaptureReport report_;
};

// Size mode with the first packet `tail` bytes before the ring's end: the
// first poll finds it, the second reports the write offset wrapped to 100.
struct TailCase {
  const char* name;
  uint32_t tail;  // bytes from the first packet to the ring's end
};

class SizeModeTail : public RingLoopTest, public ::testing::WithParamInterface<TailCase> {};

TEST_P(SizeModeTail, WritesExactlyOneMegabyteWhateverTheTailHolds) {
  // 1 MB: 18 chunks of 61,380 bytes, the last one 5,116.
  const uint32_t start = kRing - GetParam().tail;
  std::vector<uint8_t> source = Stream(start);
  FakeRing ring(source);
  ring.onPoll = [&](int poll) {
    if (poll == 1) ring.Produce(start + 1000);
    else if (poll == 2) ring.Produce(GetParam().tail - 1000 + 100);  // wraps to 100
    else ring.Produce(2 * kChunk);
  };
  ASSERT_EQ(Capture(ring, BySize(1)), 1);
  EXPECT_EQ(captured_.size(), kMegabyte);
  EXPECT_TRUE(SourceFrom(source, start));
  EXPECT_EQ(report_.bytesLost, 0u);
  EXPECT_EQ(report_.overruns, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Branches, SizeModeTail,
    ::testing::Values(
        // k = 20 whole chunks before the ring's end: the rest is all there.
        TailCase{"TailHoldsMoreChunksThanOwed", 20 * kChunk},
        // k = 17 and r = 6,000 > 5,116: the partial last chunk ends in the tail.
        TailCase{"TailHoldsAllButThePartialChunkAndMore", 17 * kChunk + 6000},
        // k = 10, r = 3,000 < 5,116: the partial last chunk shrinks to 2,116.
        TailCase{"TailRemainderBelowTheFinalChunk", 10 * kChunk + 3000},
        // k = 10, r = 6,000 > 5,116: one more chunk is taken, the last becomes 60,496.
        TailCase{"TailRemainderAboveTheFinalChunk", 10 * kChunk + 6000},
        // r equal to the final chunk: the last chunk becomes a whole one.
        TailCase{"TailRemainderEqualToTheFinalChunk", 10 * kChunk + 5116}),
    [](const ::testing::TestParamInfo<TailCase>& info) { return std::string(info.param.name); });

TEST_F(RingLoopTest, TailCarryLeavesExactlyTheRestOwed) {
  // After a tail of 10 chunks + 3,000 bytes, 7 chunks + 2,116 bytes are owed.
  const uint32_t start = kRing - (10 * kChunk + 3000);
  std::vector<uint8_t> source = Stream(start);
  FakeRing ring(source);
  std::vector<uint64_t> sizes;
  ring.onPoll = [&](int poll) {
    sizes.push_back(FileSize());
    if (poll == 1) ring.Produce(start + 1000);
    else if (poll == 2) ring.Produce(10 * kChunk + 3000 - 1000 + 100);    // wraps to 100
    else if (poll == 3) ring.Produce(7 * kChunk + 2116 - 100);            // head: 7 chunks + 2,116
    else if (poll == 4) ring.Produce(kChunk - 2116 - 1);                  // not a whole chunk yet
    else ring.Produce(1);                                                 // now one is
  };
  ASSERT_EQ(Capture(ring, BySize(1)), 1);
  ASSERT_GE(sizes.size(), 5u);
  EXPECT_EQ(sizes[2], 10u * kChunk + 3000) << "the tail is written whole";
  EXPECT_EQ(sizes[3], 17u * kChunk + 3000) << "the head's whole chunks only";
  EXPECT_EQ(sizes[4], 17u * kChunk + 3000) << "the 2,116 bytes wait for a whole chunk in the ring";
  EXPECT_EQ(sizes.size(), 5u) << "the capture ends at the pass that has the rest";
  EXPECT_EQ(captured_.size(), kMegabyte);
  EXPECT_TRUE(SourceFrom(source, start));
}

TEST_F(RingLoopTest, PartialChunkStaysInTheRingUntilAWholeOneIsThere) {
  std::vector<uint8_t> source = Stream(1000);
  FakeRing ring(source);
  std::vector<uint64_t> sizes;
  ring.onPoll = [&](int poll) {
    sizes.push_back(FileSize());
    if (poll == 1) ring.Produce(2000);                 // the first packet at 1,000
    else if (poll == 2) ring.Produce(kChunk - 1001);   // one byte short of a chunk
    else if (poll == 3) ring.Produce(kChunk + 2);      // two chunks and a byte pending
    else ring.Produce(kChunk);
  };
  ASSERT_EQ(Capture(ring, BySize(1)), 1);
  ASSERT_GE(sizes.size(), 4u);
  EXPECT_EQ(sizes[2], 0u) << "no partial chunk is written";
  EXPECT_EQ(sizes[3], 2u * kChunk) << "two whole chunks; the odd byte waits";
  EXPECT_EQ(captured_.size(), kMegabyte);
  EXPECT_TRUE(SourceFrom(source, 1000));
}

// A time-limited capture at 50,000 bytes per poll, with one backlog of
// `burst` bytes at poll 10.
TEST_F(RingLoopTest, OverrunDropsTheBacklogKeepsWholePacketsAndFails) {
  std::vector<uint8_t> source = Stream(1000);
  FakeRing ring(source);
  uint64_t endBeforeDrop = 0;  // source offset the file reached before the drop
  ring.onPoll = [&](int poll) {
    if (poll == 1) ring.Produce(2000);
    else if (poll == 10) {
      // A write that took 440 ms at 5,000 bytes/ms: beyond the ring less
      // 1,024,000 bytes piled up meanwhile.
      endBeforeDrop = ring.Produced();
      ring.clock += 430;
      ring.Produce(2200000);
    } else ring.Produce(50000);
  };
  EXPECT_EQ(Capture(ring, ByTime(1)), 0) << "a capture that lost data is no success";
  EXPECT_EQ(report_.overruns, 1u);
  ASSERT_EQ(captured_.size() % 188, 0u) << "whole packets only";
  // Before the drop: the whole packets up to the write offset of poll 9 (a
  // time-limited capture leaves a packet's start in the ring until its rest
  // comes); after it: from the next packet boundary.
  const uint64_t completedTo = 1000 + (endBeforeDrop - 1000) / 188 * 188;
  const uint64_t dropEnd = endBeforeDrop + 2200000;
  const uint64_t resumedAt = 1000 + (dropEnd - 1000 + 187) / 188 * 188;
  EXPECT_TRUE(SourceWithGap(source, 1000, completedTo, resumedAt));
  EXPECT_EQ(report_.bytesLost, resumedAt - completedTo) << "exactly the bytes missing from the file";
  EXPECT_EQ(report_.bytesWritten, captured_.size());
  EXPECT_NE(DescribeCaptureResult(0, report_).find("bytes were lost"), std::string::npos);
}

TEST_F(RingLoopTest, BacklogOfMoreThanAWholeRingIsCountedWhole) {
  std::vector<uint8_t> source = Stream(1000, 100000);
  FakeRing ring(source);
  uint64_t fileEnd = 0;
  uint64_t gapEnd = 0;
  ring.onPoll = [&](int poll) {
    if (poll == 1) {
      ring.Produce(2000);
    } else if (poll == 22) {
      // 5,000 bytes/ms so far (1,000,000 bytes in 200 ms); a gap of 1,350 ms
      // at that rate carries 6,750,000 bytes, near the two rings and 500,000
      // bytes the driver wrote (which the write offset shows as 500,000).
      fileEnd = ring.Produced();
      ring.clock += 1340;
      ring.Produce(2 * kRing + 500000);
      gapEnd = ring.Produced();
    } else {
      ring.Produce(50000);
    }
  };
  EXPECT_EQ(Capture(ring, ByTime(3)), 0);
  EXPECT_EQ(report_.overruns, 1u);
  ASSERT_EQ(captured_.size() % 188, 0u);
  // The partial packet at the end waited in the ring, which was overwritten.
  const uint64_t cutTo = 1000 + (fileEnd - 1000) / 188 * 188;
  const uint64_t resumedAt = 1000 + (gapEnd - 1000 + 187) / 188 * 188;
  EXPECT_TRUE(SourceWithGap(source, 1000, cutTo, resumedAt));
  EXPECT_EQ(report_.bytesLost, resumedAt - cutTo);
  EXPECT_GT(report_.bytesLost, 2u * kRing);
}

TEST_F(RingLoopTest, WholeRingBeforeTheRateIsKnownIsNotWrittenAsData) {
  std::vector<uint8_t> source = Stream(1000, 100000);
  FakeRing ring(source);
  uint64_t wrapEnd = 0;
  ring.onPoll = [&](int poll) {
    if (poll == 1) ring.Produce(2000);
    else if (poll == 2) {
      ring.Produce(kRing + 50000);  // 10 ms after the first poll: no rate to go by yet
      wrapEnd = ring.Produced();
    } else ring.Produce(50000);
  };
  EXPECT_EQ(Capture(ring, ByTime(1)), 0);
  EXPECT_EQ(report_.overruns, 1u);
  EXPECT_GE(report_.bytesLost, 51000u) << "at least the backlog seen";
  const uint64_t resumedAt = 1000 + (wrapEnd - 1000 + 187) / 188 * 188;
  EXPECT_TRUE(SourceWithGap(source, 1000, 1000, resumedAt)) << "nothing from the overwritten ring";
  EXPECT_EQ(captured_.size() % 188, 0u);
}

// A stream fast enough to go round the ring in well under 100 ms (400,000
// bytes a poll), whose driver once catches up in a burst of a whole ring
// and a poll's worth: the write offset moves as usual, but the backlog it
// shows has been rewritten one ring later, out of step with the file. Only
// the backlog seen can be counted as lost: the ring it hid is not. (The
// source is long enough not to loop: its leading garbage would be out of
// step too.)
TEST_F(RingLoopTest, RingLappedUnseenByAFastStreamIsNotWrittenAsData) {
  std::vector<uint8_t> source = Stream(1000, 250000);
  FakeRing ring(source);
  uint64_t endBeforeBurst = 0, burstEnd = 0;
  ring.onPoll = [&](int poll) {
    if (poll == 20) endBeforeBurst = ring.Produced();
    ring.Produce(poll == 1 ? 2000 : poll == 20 ? kRing + 400000 : 400000);
    if (poll == 20) burstEnd = ring.Produced();
  };
  EXPECT_EQ(Capture(ring, ByTime(1)), 0);
  EXPECT_EQ(report_.overruns, 1u);
  ASSERT_EQ(captured_.size() % 188, 0u);
  const uint64_t completedTo = 1000 + (endBeforeBurst - 1000) / 188 * 188;
  const uint64_t resumedAt = 1000 + (burstEnd - 1000 + 187) / 188 * 188;
  EXPECT_TRUE(SourceWithGap(source, 1000, completedTo, resumedAt));
  EXPECT_GE(report_.bytesLost, resumedAt - completedTo - kRing) << "at least the backlog seen";
  EXPECT_LT(report_.bytesLost, resumedAt - completedTo);
}

TEST_F(RingLoopTest, RingLappedUnseenInSizeModeCutsThePacketItsRestWasLostFrom) {
  std::vector<uint8_t> source = Stream(1000, 100000);
  FakeRing ring(source);
  uint64_t fileEnd = 0, burstEnd = 0;
  ring.onPoll = [&](int poll) {
    if (poll == 5) fileEnd = 1000 + FileSize();
    ring.Produce(poll == 1 ? 2000 : poll == 5 ? kRing + 400000 : 400000);
    if (poll == 5) burstEnd = ring.Produced();
  };
  EXPECT_EQ(Capture(ring, BySize(3)), 0);
  EXPECT_EQ(captured_.size(), 3 * kMegabyte);
  EXPECT_EQ(report_.overruns, 1u);
  ASSERT_NE((fileEnd - 1000) % 188, 0u) << "the burst must come while the file ends inside a packet";
  const uint64_t cutTo = 1000 + (fileEnd - 1000) / 188 * 188;
  const uint64_t resumedAt = 1000 + (burstEnd - 1000 + 187) / 188 * 188;
  EXPECT_TRUE(SourceWithGap(source, 1000, cutTo, resumedAt));
  EXPECT_EQ(report_.bytesLost, resumedAt - cutTo - kRing) << "the cut packet and the backlog seen";
}

// The driver laps the ring where the write offset cannot show it: between
// the loop's look at the ring and its copy, in a pass whose read offset a
// sync search has just placed (at the first packet after the stream's
// leading garbage, or after a dropped backlog); or between two polls, where
// the offset shows the usual step forward (a stream that has overrun the
// ring before) or a step back too long for a stream started afresh. The rate
// seen (5,000 bytes/ms) gives no reason to check the copy otherwise.
struct RaceCase {
  const char* name;
  size_t garbage;       // bytes before the first packet
  int slowWritePoll;    // a write so slow that this poll's backlog is dropped; 0: none
  int racePoll;         // the pass whose backlog the driver rewrites
  uint64_t lapBytes;    // bytes the driver writes before that poll; 0: it races the copy
  uint32_t overruns;    // backlogs dropped in all
};

class DriverRewritesTheBacklog : public RingLoopTest, public ::testing::WithParamInterface<RaceCase> {};

TEST_P(DriverRewritesTheBacklog, WritesOnlyTheStreamInOrderAndCountsTheOverrun) {
  const RaceCase& c = GetParam();
  std::vector<uint8_t> source = Stream(c.garbage, 100000);
  FakeRing ring(source);
  uint64_t searchedFrom = c.garbage;  // source offset the sync search starts at
  bool armed = false, raced = false;
  // The backlog's first 4,000 bytes are rewritten with the stream one ring
  // later (out of step: 180 bytes more than whole packets); the loop looked
  // at the offset before this.
  ring.onCopy = [&] {
    if (!armed) return;
    armed = false;
    raced = true;
    ring.Produce(kRing - (ring.Produced() - searchedFrom) + 4000);
  };
  ring.onPoll = [&](int poll) {
    if (poll == c.slowWritePoll) {
      ring.clock += 430;
      ring.Produce(2200000);
      searchedFrom = ring.Produced();
      return;
    }
    if (poll == c.racePoll && c.lapBytes != 0) {
      ring.Produce(c.lapBytes);
      raced = true;
      return;
    }
    ring.Produce(poll == 1 ? 2000 : 50000);
    armed = poll == c.racePoll;
  };
  EXPECT_EQ(Capture(ring, ByTime(1)), 0);
  ASSERT_TRUE(raced) << "the pass copied nothing";
  EXPECT_EQ(report_.overruns, c.overruns);
  EXPECT_EQ(report_.end, CaptureEnd::DataLost);
  EXPECT_GT(report_.bytesLost, 0u);
  ASSERT_GT(captured_.size(), 0u);
  EXPECT_TRUE(InOrderPackets(source, c.garbage));
}

INSTANTIATE_TEST_SUITE_P(
    Passes, DriverRewritesTheBacklog,
    ::testing::Values(
        // Seven polls of garbage: the rate is known when the first packet is found.
        RaceCase{"FirstPacketsFoundOnceTheRateIsKnown", 300000, 0, 8, 0, 1},
        RaceCase{"ResumptionAfterADroppedBacklog", 1000, 10, 11, 0, 2},
        RaceCase{"UnseenLapAfterAnOverrun", 1000, 10, 15, kRing + 50000, 2},
        // The offset 100,000 bytes back, 1.3 MB into the ring.
        RaceCase{"LapShownAsAStepBack", 1000, 0, 30, kRing - 100000, 1}),
    [](const ::testing::TestParamInfo<RaceCase>& info) { return std::string(info.param.name); });

TEST_F(RingLoopTest, OverrunOf204BytePacketsResumesOnTheirBoundary) {
  tsbuild::TsStreamBuilder stream;
  stream.Garbage(1000);
  for (int i = 0; i < 30000; ++i) {
    stream.Garbage(tsbuild::NumberedPackets(1, 0x100, i));
    stream.Garbage(16, 0xFF);  // the trailing bytes of a 204-byte packet
  }
  std::vector<uint8_t> source = stream.bytes();
  FakeRing ring(source);
  uint64_t endBeforeDrop = 0;
  ring.onPoll = [&](int poll) {
    if (poll == 10) {
      endBeforeDrop = ring.Produced();
      ring.clock += 430;  // a slow write
    }
    ring.Produce(poll == 10 ? 2200000 : poll == 1 ? 2000 : 50000);
  };
  EXPECT_EQ(Capture(ring, ByTime(1)), 0);
  EXPECT_EQ(report_.overruns, 1u);
  EXPECT_EQ(captured_.size() % 204, 0u);
  const uint64_t completedTo = 1000 + (endBeforeDrop - 1000) / 204 * 204;
  const uint64_t dropEnd = endBeforeDrop + 2200000;
  const uint64_t resumedAt = 1000 + (dropEnd - 1000 + 203) / 204 * 204;
  EXPECT_TRUE(SourceWithGap(source, 1000, completedTo, resumedAt));
}

TEST_F(RingLoopTest, OverrunInSizeModeStillWritesTheExactSize) {
  std::vector<uint8_t> source = Stream(1000, 100000);
  FakeRing ring(source);
  uint64_t fileEnd = 0, dropEnd = 0;
  ring.onPoll = [&](int poll) {
    if (poll == 10) {
      fileEnd = 1000 + FileSize();
      ring.clock += 430;  // a slow write
    }
    ring.Produce(poll == 10 ? 2200000 : poll == 1 ? 2000 : 50000);
    if (poll == 10) dropEnd = ring.Produced();
  };
  EXPECT_EQ(Capture(ring, BySize(3)), 0);
  EXPECT_EQ(captured_.size(), 3 * kMegabyte);
  EXPECT_EQ(report_.overruns, 1u);
  // The packet the drop cut into is completed; whole chunks go on from the
  // next packet boundary after the dropped backlog.
  const uint64_t completedTo = 1000 + (fileEnd - 1000 + 187) / 188 * 188;
  const uint64_t resumedAt = 1000 + (dropEnd - 1000 + 187) / 188 * 188;
  EXPECT_TRUE(SourceWithGap(source, 1000, completedTo, resumedAt));
  EXPECT_EQ(report_.bytesLost, resumedAt - completedTo);
}

TEST_F(RingLoopTest, StallLongerThanTheLimitFailsATimedCaptureAndShowsWhileItLasts) {
  std::vector<uint8_t> source = Stream(1000);
  FakeRing ring(source);
  uint64_t stallStart = 0;
  uint32_t shownAfter500 = 1, shownAfter1500 = 0;
  ring.onPoll = [&](int poll) {
    if (poll == 1) return ring.Produce(2000);
    if (poll < 50) return ring.Produce(50000);
    if (stallStart == 0) stallStart = ring.clock - kPollMs;  // the previous poll had data
    const uint64_t stalled = ring.clock - stallStart;
    if (stalled == 500 + kPollMs) shownAfter500 = nCaptureStallMs.load();
    if (stalled == 1500 + kPollMs) shownAfter1500 = nCaptureStallMs.load();
    if (stalled > 3000) ring.Produce(50000);
  };
  EXPECT_EQ(Capture(ring, ByTime(5)), 0);
  EXPECT_EQ(shownAfter500, 0u) << "short gaps are not shown";
  EXPECT_EQ(shownAfter1500, 1500u);
  EXPECT_TRUE(report_.stalled);
  EXPECT_GE(report_.longestStallMs, 3000u);
  EXPECT_LE(report_.longestStallMs, 3000u + kPollMs);
  EXPECT_EQ(report_.bytesLost, 0u);
  EXPECT_EQ(nCaptureStallMs.load(), 0u) << "cleared when the capture ends";
  EXPECT_NE(DescribeCaptureResult(0, report_).find("stalled for 3 s"), std::string::npos);
}

TEST_F(RingLoopTest, GapsOfAStreamFilteredToOnePidFailATimedCaptureOnlyPastTheirLongerLimit) {
  struct Case {
    uint64_t gapMs;
    int result;
  };
  for (const Case c : {Case{4000, 1}, Case{6000, 0}}) {
    std::vector<uint8_t> source = Stream(1000);
    FakeRing ring(source);
    // A packet of the filtered PID now and then, with one long gap.
    ring.onPoll = [&](int poll) {
      if (poll == 1) ring.Produce(2000);
      else if (poll < 50 || ring.clock > 1000 + 490 + c.gapMs) ring.Produce(188);
    };
    EXPECT_EQ(Capture(ring, ByTime(10), true), c.result) << c.gapMs;
    EXPECT_EQ(report_.stalled, c.result == 0) << c.gapMs;
    EXPECT_GE(report_.longestStallMs, c.gapMs) << "the gap is measured";
    EXPECT_TRUE(SourceFrom(source, 1000));
  }
  EXPECT_NE(DescribeCaptureResult(0, report_).find("stalled for 6 s"), std::string::npos);
}

TEST_F(RingLoopTest, AStreamStartedAfreshUnderTheCaptureIsNeverWritten) {
  std::vector<uint8_t> source = Stream(1000);
  FakeRing ring(source);
  uint64_t beforeRestart = 0;
  ring.onPoll = [&](int poll) {
    if (poll == 1) return ring.Produce(2000);
    if (poll == 40) {
      beforeRestart = ring.Produced();
      ring.Restart();  // the write offset goes back to the ring's start
    }
    ring.Produce(20000);
  };
  EXPECT_EQ(Capture(ring, ByTime(5)), 0);
  EXPECT_EQ(report_.end, CaptureEnd::StreamRestarted);
  EXPECT_EQ(captured_.size() % 188, 0u);
  EXPECT_LE(captured_.size(), beforeRestart - 1000);
  EXPECT_TRUE(SourceFrom(source, 1000)) << "nothing after the restart, no zeros";
  EXPECT_NE(DescribeCaptureResult(0, report_).find("started its stream afresh"), std::string::npos);
}

// A stream that goes round the ring between polls, whose write offset once
// lands near the ring's start, behind the last one, as a restarted stream's
// would: its rate was only ever seen through laps, so this is one more lap,
// and its loss is reported instead of the capture ending as restarted.
struct LapCase {
  const char* name;
  uint64_t firstAnswerMs, first;  // the first look at the offset: its delay, the stream bytes by then
  uint64_t perPoll;               // stream bytes between two later looks
  int lapPoll;                    // the look that finds the offset near the ring's start,
  uint64_t lap;                   // after this many stream bytes
};
class LapLikeARestart : public RingLoopTest, public ::testing::WithParamInterface<LapCase> {};

TEST_P(LapLikeARestart, IsAnOverrun) {
  const LapCase& c = GetParam();
  // Long enough not to loop: its leading garbage would be out of step.
  const uint64_t produced = c.first + c.lap + (c.lapPoll + 2) * c.perPoll;
  std::vector<uint8_t> source = Stream(1000, static_cast<int>(produced / 188 + 1));
  FakeRing ring(source);
  uint32_t lapOffset = kRing;
  ring.onPoll = [&](int poll) {
    if (poll == 1) ring.clock += c.firstAnswerMs;
    if (poll < c.lapPoll + 4) ring.Produce(poll == 1 ? c.first : poll == c.lapPoll ? c.lap : c.perPoll);
    if (poll == c.lapPoll) lapOffset = ring.WriteOffset();
  };
  EXPECT_EQ(Capture(ring, ByTime(1)), 0);
  ASSERT_LT(lapOffset, kRing / 4) << "the lap must end near the ring's start";
  EXPECT_EQ(report_.end, CaptureEnd::DataLost);
  EXPECT_GE(report_.overruns, 1u);
  ASSERT_GT(captured_.size(), 0u);
  EXPECT_TRUE(InOrderPackets(source, 1000));
}

INSTANTIATE_TEST_SUITE_P(
    Streams, LapLikeARestart,
    ::testing::Values(
        // 200,000 bytes/ms: the first answer, 40 ms late, shows 1.7 MB.
        LapCase{"SlowFirstAnswer", 40, 8000000, 2000000, 2, 2000000},
        // A ring and 250,000 bytes a poll, shown as 250,000 for only 40 ms.
        LapCase{"LookingSlowForFewPolls", 0, 2000, kRing + 250000, 6, kRing + 2500000},
        // A ring and 350,000 bytes a poll, shown as 350,000 for 130 ms: even
        // that goes round the ring within 100 ms.
        LapCase{"LookingAbleToLap", 0, 2000, kRing + 350000, 15, kRing + 2000000}),
    [](const ::testing::TestParamInfo<LapCase>& info) { return std::string(info.param.name); });

TEST_F(RingLoopTest, AByteLikeASyncByteBeforeTheFirstPacketIsPassedOver) {
  // The stream starts inside a packet whose payload holds a 0x47.
  tsbuild::TsStreamBuilder stream;
  stream.Garbage(400).Garbage(1, 0x47).Garbage(599).Numbered(80000);
  std::vector<uint8_t> source = stream.bytes();
  FakeRing ring(source);
  ring.onPoll = [&](int poll) { ring.Produce(poll == 1 ? 2000 : 33333); };
  EXPECT_EQ(Capture(ring, ByTime(1)), 1) << DescribeCaptureResult(0, report_);
  EXPECT_EQ(report_.bytesLost, 0u);
  EXPECT_TRUE(SourceFrom(source, 1000));
}

TEST_F(RingLoopTest, ShortStallLeavesATimedCaptureSuccessful) {
  std::vector<uint8_t> source = Stream(1000);
  FakeRing ring(source);
  ring.onPoll = [&](int poll) {
    if (poll == 1) ring.Produce(2000);
    else if (poll < 50 || ring.clock > 1000 + 490 + 1500) ring.Produce(20000);
  };
  EXPECT_EQ(Capture(ring, ByTime(3)), 1);
  EXPECT_FALSE(report_.stalled);
  EXPECT_GE(report_.longestStallMs, 1400u);
  EXPECT_LE(report_.longestStallMs, kCaptureStallFailMs);
  EXPECT_EQ(captured_.size() % 188, 0u);
  EXPECT_TRUE(SourceFrom(source, 1000));
}

TEST_F(RingLoopTest, StallInSizeModeEndsAtTheWatchdogSayingSo) {
  CaptureTimings timings;
  timings.pollIntervalMs = kPollMs;
  timings.watchdogPeriodMs = 5000;
  SetCaptureTimingsForTesting(timings);
  std::vector<uint8_t> source = Stream(1000);
  FakeRing ring(source);
  ring.onPoll = [&](int poll) { ring.Produce(poll == 1 ? 2000 : poll < 20 ? 10007 : 0); };
  EXPECT_EQ(Capture(ring, BySize(10)), 0);
  EXPECT_TRUE(report_.stalled);
  // A whole period after the last write (a little before the data stopped,
  // whole chunks being written), not twice the period.
  EXPECT_GE(report_.longestStallMs, 4000u);
  EXPECT_LE(report_.longestStallMs, 5000u + kPollMs);
  EXPECT_EQ(captured_.size() % 188, 0u) << "the last partial packet is completed or cut";
  EXPECT_TRUE(SourceFrom(source, 1000));
}

TEST_F(RingLoopTest, CancelledSizeCaptureEndsOnAPacketBoundary) {
  std::vector<uint8_t> source = Stream(1000);
  FakeRing ring(source);
  ring.onPoll = [&](int poll) {
    ring.Produce(poll == 1 ? 2000 : 50000);
    if (poll == 12) bCaptureCancel.store(1);
  };
  EXPECT_EQ(Capture(ring, BySize(5)), 0);
  EXPECT_TRUE(report_.cancelled);
  ASSERT_GT(captured_.size(), 0u);
  EXPECT_EQ(captured_.size() % 188, 0u);
  EXPECT_TRUE(SourceFrom(source, 1000));
}

TEST_F(RingLoopTest, TimedCaptureEndsOnAPacketBoundary) {
  std::vector<uint8_t> source = Stream(1000);
  FakeRing ring(source);
  ring.onPoll = [&](int poll) { ring.Produce(poll == 1 ? 2000 : 33333); };
  EXPECT_EQ(Capture(ring, ByTime(2)), 1);
  EXPECT_EQ(captured_.size() % 188, 0u);
  EXPECT_GT(captured_.size(), 190u * 33333u);
  EXPECT_TRUE(SourceFrom(source, 1000));
}

TEST_F(RingLoopTest, PartialPacketIsCutWhenItsRestNeverComes) {
  std::vector<uint8_t> source = Stream(1000);
  FakeRing ring(source);
  // Data stops for good in the middle of a packet; the time limit ends the capture.
  ring.onPoll = [&](int poll) {
    if (poll == 1) ring.Produce(2000);
    else if (poll == 2) ring.Produce(10000);
  };
  EXPECT_EQ(Capture(ring, ByTime(1)), 1) << "a one-second capture cannot stall two seconds";
  EXPECT_EQ(captured_.size(), (1000 + 11000 - 1000) / 188 * 188u);
  EXPECT_TRUE(SourceFrom(source, 1000));
}

#ifndef _WIN32
// A file size limit stands in for a full disk (Linux only).
TEST_F(RingLoopTest, AFullDiskKeepsWholePacketsAndSaysWhyInTheOneResultMessage) {
  constexpr rlim_t kRoom = 300000;  // the file may not grow past this
  for (const CaptureSettings& limits : {ByTime(5), BySize(5)}) {
    std::vector<uint8_t> source = Stream(1000);
    FakeRing ring(source);
    ring.onPoll = [&](int poll) { ring.Produce(poll == 1 ? 2000 : 50000); };
    int messages = 0;
    UiHooks hooks;
    hooks.showMessage = [&](const std::string&) { ++messages; };
    const UiHooks previous = InstallUiHooks(hooks);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit room = saved;
    room.rlim_cur = kRoom;
    const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &room), 0);
    const int result = Capture(ring, limits);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, oldHandler);
    InstallUiHooks(previous);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(messages, 0) << "no dialog of its own";
    EXPECT_EQ(report_.end, CaptureEnd::WriteFailed);
    EXPECT_EQ(captured_.size() % 188, 0u) << "trimmed to whole packets";
    EXPECT_GT(captured_.size(), kRoom - 188 - kChunk);
    EXPECT_TRUE(SourceFrom(source, 1000));
    const std::string said = DescribeCaptureResult(result, report_);
    EXPECT_NE(said.find("Cannot write the capture file"), std::string::npos) << said;
    EXPECT_NE(said.find("keeps"), std::string::npos) << said;
  }
}
#endif

}  // namespace
