// The live PAT probe on a simulated bus box, and RunCapture's use of it.
#include <sys/stat.h>

#include <chrono>
#include <cstring>

#include "analysis/engine/psi.h"
#include "tests/capture/live_box.h"

namespace {

using livebox::LiveBoxTest;
using namespace tsbuild;
using Clock = std::chrono::steady_clock;

const std::vector<std::string> kBusBox = {"--kind", "bus"};  // model 10, terrestrial

const Bytes& Pat() {
  static const Bytes pat = PatSection(7, {{1, 0x100}, {2, 0x200}});
  return pat;
}

// A PAT long enough to need two packets.
const Bytes& LongPat() {
  static const Bytes pat = [] {
    std::vector<PatEntry> entries;
    for (int i = 1; i <= 50; ++i) entries.push_back({i, 0x100 + i});
    return PatSection(7, entries);
  }();
  return pat;
}

Bytes StreamWithPat(const Bytes& pat) {
  TsStreamBuilder stream;
  stream.Section(0x0000, pat).Numbered(100);
  return stream.bytes();
}

// The same packets with 16 bytes behind each, as 204-byte packets carry.
Bytes As204BytePackets(const Bytes& stream) {
  Bytes out;
  for (size_t at = 0; at + kTsPacketSize <= stream.size(); at += kTsPacketSize) {
    out.insert(out.end(), stream.begin() + at, stream.begin() + at + kTsPacketSize);
    out.insert(out.end(), 16, 0x00);
  }
  return out;
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

bool SectionBufferHolds(const Bytes& section) {
  return std::memcmp(SectionBuffer, section.data(), section.size()) == 0;
}

class LivePatProbe : public LiveBoxTest {
protected:
  // The probe must clear these whatever it finds.
  void DirtyAnalysisState() {
    nProgramCount = 5;
    DestroyPatSectionList();
    PatSectionList = new std::vector<PatSectionText>(1);
    std::memset(SectionBuffer, 0xEE, kSectionBufferSize);
  }
  void ExpectAnalysisStateCleared() {
    EXPECT_EQ(nProgramCount, 0);
    EXPECT_EQ(PatSectionList, nullptr);
  }
};

TEST_F(LivePatProbe, FindsThePatOf188BytePacketsAndLeavesItInTheSectionBuffer) {
  ASSERT_TRUE(StartBox(kBusBox, StreamWithPat(Pat())));
  ASSERT_TRUE(Tune());
  DirtyAnalysisState();
  EXPECT_EQ(ProbeLivePat(1), 1);
  EXPECT_TRUE(SectionBufferHolds(Pat()));
  ExpectAnalysisStateCleared();
}

TEST_F(LivePatProbe, FindsThePatOf204BytePackets) {
  ASSERT_TRUE(StartBox(kBusBox, As204BytePackets(StreamWithPat(LongPat()))));
  ASSERT_TRUE(Tune());
  DirtyAnalysisState();
  EXPECT_EQ(ProbeLivePat(1), 1);
  EXPECT_TRUE(SectionBufferHolds(LongPat()));
}

TEST_F(LivePatProbe, PatWithAWrongCrcNeverSatisfiesItAndItGivesUpAfter15Seconds) {
  SetCaptureTimingsForTesting(CaptureTimings{});  // the real limit, once
  ASSERT_TRUE(StartBox(kBusBox, StreamWithPat(WithBrokenCrc(Pat()))));
  ASSERT_TRUE(Tune());
  DirtyAnalysisState();
  Clock::time_point start = Clock::now();
  EXPECT_EQ(ProbeLivePat(1), 0);
  double seconds = SecondsSince(start);
  EXPECT_GE(seconds, 15.0);
  EXPECT_LT(seconds, 18.0);
  ExpectAnalysisStateCleared();
}

TEST_F(LivePatProbe, PacketWithAnAdaptationFieldLongerThan183IsDropped) {
  // The PAT's two packets with a malformed start packet between them: only
  // when that packet is dropped does the section come together.
  Bytes sectionPackets = SectionPackets(0x0000, LongPat());
  ASSERT_EQ(sectionPackets.size(), 2u * kTsPacketSize);
  Bytes malformed = TsPacket({.pid = 0, .pusi = 1, .afc = 3, .adaptationLength = 200},
                             Bytes(10, 0x00));
  Bytes stream(sectionPackets.begin(), sectionPackets.begin() + kTsPacketSize);
  Append(stream, malformed);
  stream.insert(stream.end(), sectionPackets.begin() + kTsPacketSize, sectionPackets.end());
  Append(stream, NumberedPackets(100));

  ASSERT_TRUE(StartBox(kBusBox, stream));
  ASSERT_TRUE(Tune());
  EXPECT_EQ(ProbeLivePat(1), 1);
  EXPECT_TRUE(SectionBufferHolds(LongPat()));
}

class PointerField : public LivePatProbe, public ::testing::WithParamInterface<int> {};

TEST_P(PointerField, BeyondThePayloadSkipsTheWholePayload) {
  const int pointer = GetParam();
  Bytes payload = {static_cast<uint8_t>(pointer)};
  Append(payload, Pat());
  Bytes stream = TsPacket({.pid = 0, .pusi = 1}, payload);
  Append(stream, NumberedPackets(100));
  ASSERT_TRUE(StartBox(kBusBox, stream));
  ASSERT_TRUE(Tune());
  // With pointer 200 the section behind it must not be taken.
  EXPECT_EQ(ProbeLivePat(1), pointer == 0 ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(LivePatProbe, PointerField, ::testing::Values(0, 200));

TEST_F(LivePatProbe, PatBehindAStartPacketWithoutPayloadIsStillFound) {
  // A start packet whose adaptation field fills it has no pointer_field.
  Bytes stream = TsPacket({.pid = 0, .pusi = 1, .afc = 3, .adaptationLength = 183});
  Append(stream, SectionPackets(0x0000, Pat()));
  Append(stream, NumberedPackets(100));
  ASSERT_TRUE(StartBox(kBusBox, stream));
  ASSERT_TRUE(Tune());
  EXPECT_EQ(ProbeLivePat(1), 1);
  EXPECT_TRUE(SectionBufferHolds(Pat()));
}

TEST_F(LivePatProbe, FailedRequestEndsItAtOnce) {
  ASSERT_TRUE(StartBox(kBusBox, StreamWithPat(Pat()), {"--fail", "DDFF2C80"}));
  ASSERT_TRUE(Tune());
  DirtyAnalysisState();
  Clock::time_point start = Clock::now();
  EXPECT_EQ(ProbeLivePat(1), 0);
  EXPECT_LT(SecondsSince(start), 1.0);
  ExpectAnalysisStateCleared();
}

TEST_F(LivePatProbe, RunCaptureProbesABusBoxThenCapturesFromTheFirstSyncByte) {
  TsStreamBuilder stream;
  // The probe accepts a PAT when the next one starts: a second one follows
  // soon (0.2 s at 2 MB/s), well within the probe's time limit.
  stream.Garbage(livebox::kLeadingGarbage).Section(0x0000, Pat()).Numbered(2000).Section(0x0000, Pat()).Numbered(18000);
  ASSERT_TRUE(StartBox(kBusBox, stream.bytes(), {"--bitrate", "16000000"}));
  ChannelSettings channel{};
  CaptureSettings capture = WithChannel(&channel, BySize(2));
  std::string path = dir_.File("probed.ts");
  ASSERT_EQ(RunCapture(channel, capture, path.c_str()), 1);
  std::string captured = ReadFileBytes(path);
  EXPECT_EQ(captured.size(), 2u * 1048576u);
  EXPECT_TRUE(LosslessFromFirstSync(captured));
  EXPECT_EQ(Requests("DDFF2C00"), 2) << "one probe, then the capture's own start";
}

TEST_F(LivePatProbe, RunCaptureGivesUpAfterThreeFailedProbesAndCreatesNoFile) {
  CaptureTimings timings = livebox::ShortTimings();
  timings.probeTimeoutMs = 700;
  SetCaptureTimingsForTesting(timings);
  ASSERT_TRUE(StartBox(kBusBox, StreamWithPat(WithBrokenCrc(Pat()))));
  ChannelSettings channel{};
  CaptureSettings capture = WithChannel(&channel, BySize(1));
  std::string path = dir_.File("no-pat.ts");
  EXPECT_EQ(RunCapture(channel, capture, path.c_str()), 0);
  struct stat info {};
  EXPECT_NE(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(Requests("DDFF2C00"), 3);
}

TEST_F(LivePatProbe, RunCaptureStopsBeforeAnyStreamWhenTuningFails) {
  ASSERT_TRUE(StartBox({"--kind", "t"}, StreamWithPat(Pat()), {"--fail", "222328"}));
  ChannelSettings channel{};
  CaptureSettings capture = WithChannel(&channel, BySize(1));
  std::string path = dir_.File("untuned.ts");
  EXPECT_EQ(RunCapture(channel, capture, path.c_str()), 0);
  struct stat info {};
  EXPECT_NE(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(Requests("00222334"), 0);
}

}  // namespace
