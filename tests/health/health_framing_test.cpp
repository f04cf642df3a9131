// Packet framing: the four packet sizes, detection, garbage, truncation, sync
// loss and regain, and results that do not depend on how the bytes are split.
#include <random>

#include <gtest/gtest.h>

#include "analysis/health/health_report.h"
#include "tests/health/cbr_stream.h"
#include "tests/health/health_test_support.h"

namespace {

using namespace healthtest;
using namespace tsbuild;

Bytes ShortProgram(double seconds = 0.3) {
  return CbrStream(Slot(seconds)).StandardProgram().Build();
}

TEST(HealthFraming, EachPacketSizeIsDetectedAndGivesTheSameCounts) {
  const Bytes ts = ShortProgram();
  const HealthResult reference = Analyse(ts);
  ASSERT_EQ(reference.packetSize, 188);
  ASSERT_EQ(reference.packets, ts.size() / 188);
  for (int size : {188, 192, 204, 208}) {
    SCOPED_TRACE(size);
    const Bytes framed = Reframe(ts, size, 0x12345678, 0x47);
    const HealthResult r = Analyse(framed);
    EXPECT_EQ(r.packetSize, size);
    EXPECT_EQ(r.packets, reference.packets);
    EXPECT_EQ(r.bytes, framed.size());
    EXPECT_EQ(r.bytesSkipped, 0u);
    EXPECT_EQ(r.pids.size(), reference.pids.size());
    EXPECT_EQ(r.TotalErrors(), 0u);
    ASSERT_TRUE(r.bitrateBps.has_value());
    EXPECT_NEAR(*r.bitrateBps, kCbrBitrate, kCbrBitrate * 1e-6);
  }
}

TEST(HealthFraming, InEachPacketSizeTheBytesAddUpAroundJunk) {
  const Bytes ts = ShortProgram();
  const Bytes junk(1000, 0x00);
  for (int size : {188, 192, 204, 208}) {
    const Bytes framed = Reframe(ts, size, 0x12345678, 0x47);
    const size_t cut = framed.size() / 2 / static_cast<size_t>(size) * static_cast<size_t>(size);
    Bytes between(framed.begin(), framed.begin() + static_cast<std::ptrdiff_t>(cut));
    Append(between, junk);
    Append(between, Bytes(framed.begin() + static_cast<std::ptrdiff_t>(cut), framed.end()));
    Bytes atTheEnd = framed;
    Append(atTheEnd, Bytes(100, 0x00));
    const struct {
      const char* what;
      Bytes input;
    } cases[] = {
        {"junk between packets", between},
        {"junk at the end", atTheEnd},
        {"a last packet cut short", Bytes(framed.begin(), framed.end() - 100)},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(std::to_string(size) + ": " + c.what);
      const HealthResult r = Analyse(c.input);
      EXPECT_EQ(r.packets * static_cast<uint64_t>(size) + r.bytesSkipped + r.truncatedTailBytes, c.input.size());
    }
  }
}

TEST(HealthFraming, A192BytePrefixBeginningWithTheSyncByteIsNotTakenFor188) {
  // Every prefix starts with 0x47, so sync bytes sit both at the prefix and
  // four bytes later.
  const Bytes framed = Reframe(ShortProgram(), 192, 0x47000000);
  ASSERT_EQ(framed[0], 0x47);
  ASSERT_EQ(framed[4], 0x47);
  const HealthResult r = Analyse(framed);
  EXPECT_EQ(r.packetSize, 192);
  EXPECT_EQ(r.packets, framed.size() / 192);
  EXPECT_EQ(r.TotalErrors(), 0u);
  ASSERT_NE(FindPid(r, kVideoPid), nullptr);
  EXPECT_GT(FindPid(r, kVideoPid)->pcrCount, 0u);
  // Packet offsets name the start of the prefix.
  EXPECT_EQ(r.check(HealthCheck::SyncByte).count, 0u);
}

TEST(HealthFraming, ForcedPacketSizeIsUsed) {
  const Bytes framed = Reframe(ShortProgram(), 204);
  HealthLimits limits;
  limits.packetSize = 204;
  const HealthResult r = Analyse(framed, limits);
  EXPECT_EQ(r.packetSize, 204);
  EXPECT_TRUE(r.packetSizeForced);
  EXPECT_EQ(r.packets, framed.size() / 204);
  // Forced to a size the stream does not have: no sync at all.
  limits.packetSize = 208;
  EXPECT_FALSE(Analyse(framed, limits).everSynced);
}

TEST(HealthFraming, GarbagePrefixIsSkippedAndCounted) {
  Bytes stream = {0x47, 0x00, 0x47, 0x12, 0x47};
  stream.insert(stream.end(), 995, 0x00);
  const Bytes ts = ShortProgram();
  Append(stream, ts);
  const HealthResult r = Analyse(stream);
  EXPECT_EQ(r.packetSize, 188);
  EXPECT_EQ(r.bytesSkipped, 1000u);
  EXPECT_EQ(r.packets, ts.size() / 188);
  EXPECT_EQ(r.TotalErrors(), 0u);
}

TEST(HealthFraming, SyncSegmentsNumberPacketsAsTheEngineDoes) {
  // Garbage, 3000 packets, a sync loss (two bad sync bytes), the rest.
  Bytes stream(1000, 0x00);
  Bytes ts = ShortProgram();
  ts[188 * 3000] = ts[188 * 3001] = 0x00;
  Append(stream, ts);
  const HealthResult r = Analyse(stream);
  ASSERT_EQ(r.syncSegments.size(), 2u);
  EXPECT_EQ(r.syncSegments[0].byteOffset, 1000u);
  EXPECT_EQ(r.syncSegments[0].firstPacket, 0u);
  EXPECT_EQ(r.syncSegments[1].byteOffset, 1000u + 188 * 3002);
  EXPECT_EQ(r.syncSegments[1].firstPacket, 3000u);
  // The occurrence after the loss sits where its segment says.
  const HealthOccurrence& loss = r.check(HealthCheck::SyncLoss).first.at(0);
  EXPECT_EQ(loss.byteOffset, 1000u + 188 * 3000);
}

TEST(HealthFraming, TruncatedLastPacketIsReportedNotAnalysed) {
  Bytes ts = ShortProgram();
  const uint64_t whole = ts.size() / 188;
  Append(ts, NullPacket(3));
  ts.resize(ts.size() - 100);
  const HealthResult r = Analyse(ts);
  EXPECT_EQ(r.packets, whole);
  EXPECT_EQ(r.truncatedTailBytes, 88u);
  EXPECT_EQ(r.bytesSkipped, 0u);
}

TEST(HealthFraming, NoTransportStreamIsNeverSynced) {
  Bytes noise(100000);
  std::mt19937 random(7);
  for (uint8_t& b : noise) b = static_cast<uint8_t>(random() % 0x47);  // no sync byte at all
  const HealthResult r = Analyse(noise);
  EXPECT_FALSE(r.everSynced);
  EXPECT_EQ(r.packets, 0u);
  EXPECT_EQ(r.bytesSkipped, noise.size());
  // Four packets are not enough to gain sync in the middle of a stream.
  Bytes few = noise;
  for (int i = 0; i < 4; ++i) Append(few, NullPacket(i));
  Append(few, noise);
  EXPECT_FALSE(Analyse(few).everSynced);
  // Noise of every byte value, whatever 0x47 at a packet's distance it ends
  // with, is no stream; a few packets that end the input are: two that are
  // all of it, three after other bytes.
  Bytes anyBytes(200000);
  for (uint8_t& b : anyBytes) b = static_cast<uint8_t>(random());
  for (int k = 0; k < 3; ++k) anyBytes[anyBytes.size() - 400 + static_cast<size_t>(k) * 188] = 0x47;
  struct Case {
    const char* what;
    bool noise;
    int packets;      // whole packets after the noise
    size_t cutBytes;  // then cut short by this many bytes of their end
    uint64_t expected;  // packets analysed; 0: never synced
  };
  for (const Case& c : {Case{"noise", true, 0, 0, 0}, Case{"two packets after noise", true, 2, 0, 0},
                        Case{"three packets after noise", true, 3, 0, 3}, Case{"two packets alone", false, 2, 0, 2},
                        Case{"four packets, the last cut to its sync byte", true, 4, 187, 3}}) {
    SCOPED_TRACE(c.what);
    Bytes input = c.noise ? anyBytes : Bytes();
    for (int k = 0; k < c.packets; ++k) Append(input, NullPacket(k));
    input.resize(input.size() - c.cutBytes);
    const HealthResult r = Analyse(input);
    EXPECT_EQ(r.everSynced, c.expected > 0);
    EXPECT_EQ(r.packets, c.expected);
  }
}

TEST(HealthFraming, OneBadSyncByteIsAnErrorButTheRestOfThePacketStillCounts) {
  Bytes ts = ShortProgram();
  ts[188 * 1000] = 0x46;
  const HealthResult r = Analyse(ts);
  EXPECT_EQ(Count(r, HealthCheck::SyncByte), 1u);
  EXPECT_EQ(Count(r, HealthCheck::SyncLoss), 0u);
  // Not a lost packet: counted, its counter followed, no byte skipped.
  EXPECT_EQ(r.packets, ts.size() / 188);
  EXPECT_EQ(r.bytesSkipped, 0u);
  EXPECT_EQ(r.TotalErrors(), 1u);
  ASSERT_EQ(r.check(HealthCheck::SyncByte).first.size(), 1u);
  EXPECT_EQ(r.check(HealthCheck::SyncByte).first[0].byteOffset, 188u * 1000);
  EXPECT_EQ(r.check(HealthCheck::SyncByte).first[0].packetIndex, 1000u);
}

TEST(HealthFraming, ABadSyncByteOnTheLastPacketIsCountedOnceAndNothingIsInvented) {
  for (size_t cut : {size_t{0}, size_t{100}}) {
    SCOPED_TRACE(cut);
    Bytes ts = ShortProgram();
    ts.resize(ts.size() - cut);
    const size_t last = (ts.size() - 1) / 188 * 188;
    ts[last] = 0x12;
    const HealthResult r = Analyse(ts);
    EXPECT_EQ(Count(r, HealthCheck::SyncLoss), 0u);
    EXPECT_EQ(Count(r, HealthCheck::SyncByte), 1u);
    EXPECT_EQ(r.check(HealthCheck::SyncByte).first.at(0).description, "sync byte 0x12 instead of 0x47");
    // Whole: still a packet. Cut short: stray bytes.
    EXPECT_EQ(r.packets * 188 + r.bytesSkipped, ts.size());
    EXPECT_EQ(r.bytesSkipped, cut == 0 ? 0u : 88u);
  }
}

TEST(HealthFraming, TwoBadSyncBytesLoseSyncFiveGoodOnesRegainIt) {
  Bytes ts = ShortProgram();
  const size_t total = ts.size() / 188;
  uint64_t lostWithCounters = 0;
  for (size_t k : {1000, 1001})
    if ((((ts[188 * k + 1] & 0x1F) << 8) | ts[188 * k + 2]) != kNullPid) ++lostWithCounters;
  ts[188 * 1000] = 0x00;
  ts[188 * 1001] = 0x00;
  const HealthResult r = Analyse(ts);
  EXPECT_EQ(Count(r, HealthCheck::SyncLoss), 1u);
  EXPECT_EQ(Count(r, HealthCheck::SyncByte), 2u);
  EXPECT_TRUE(r.synced);
  EXPECT_EQ(r.packets, total - 2);
  EXPECT_EQ(r.bytesSkipped, 2u * 188);
  EXPECT_EQ(r.check(HealthCheck::SyncLoss).first[0].byteOffset, 188u * 1000);
  // The packets after the loss are analysed again: the counters run on.
  EXPECT_EQ(Count(r, HealthCheck::Continuity), lostWithCounters);
}

TEST(HealthFraming, ResultsDoNotDependOnHowTheBytesAreSplit) {
  // A stream with a bit of everything that framing must get right.
  Bytes stream(333, 0x47);
  Bytes ts = ShortProgram(0.4);
  ts[188 * 500] = 0x00;                    // one bad sync byte
  ts[188 * 2000] = ts[188 * 2001] = 0x11;  // a sync loss
  ts[188 * 3000 + 3] ^= 0x05;              // a continuity error
  ts[188 * 4000 + 1] |= 0x80;              // transport error
  Append(stream, ts);
  Bytes m2ts = Reframe(ShortProgram(0.1), 192, 0x47000000);
  const HealthResult whole = Analyse(stream);
  const std::string expected = HealthJson(whole);
  ASSERT_GT(whole.TotalErrors(), 3u);
  for (size_t piece : {size_t{1}, size_t{187}, size_t{188}, size_t{4096}, size_t{4} << 20}) {
    SCOPED_TRACE(piece);
    EXPECT_EQ(HealthJson(Analyse(stream, {}, piece)), expected);
  }
  // Random pieces, and the 192-byte framing.
  std::mt19937 random(11);
  for (const Bytes* input : {&stream, &m2ts}) {
    const std::string reference = HealthJson(Analyse(*input));
    StreamHealth health;
    for (size_t at = 0; at < input->size();) {
      const size_t piece = std::min<size_t>(1 + random() % 5000, input->size() - at);
      health.Feed(input->data() + at, piece);
      at += piece;
    }
    health.Finish();
    EXPECT_EQ(HealthJson(health.Snapshot()), reference);
  }
}

TEST(HealthFraming, AGapFromTheLiveRingRestartsFramingWithoutContinuityErrors) {
  const Bytes ts = ShortProgram();
  StreamHealth health;
  health.Feed(ts.data(), 188 * 1000 + 50);  // ends inside a packet
  health.MarkGap();
  health.Feed(ts.data() + 188 * 1500 + 17, ts.size() - 188 * 1500 - 17);
  health.Finish();
  const HealthResult r = health.Snapshot();
  EXPECT_EQ(Count(r, HealthCheck::Continuity), 0u);
  EXPECT_EQ(Count(r, HealthCheck::SyncLoss), 0u);
  EXPECT_EQ(r.packets, 1000u + (ts.size() / 188 - 1501));
}

}  // namespace
