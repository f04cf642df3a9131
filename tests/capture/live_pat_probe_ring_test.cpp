// The live PAT probe over a ring of the test's own: where the write offset
// wraps, a packet cut by the ring's end, and sections it must not accept.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "analysis/engine/psi.h"
#include "capture/live_pat_probe.h"
#include "tests/support/ts_builder.h"

namespace {

using tsbuild::Bytes;
using tsbuild::TsStreamBuilder;

constexpr uint32_t kRing = kProbeRingSize;

// A ring holding `stream` from offset `at` on (wrapping), and the write
// offsets the probe is shown one poll after another; the last one stays.
class ProbeRing {
public:
  ProbeRing(const Bytes& stream, uint32_t at, std::vector<uint32_t> offsets)
      : ring_(kRing, 0), offsets_(std::move(offsets)) {
    for (size_t i = 0; i < stream.size(); ++i) ring_[(at + i) % kRing] = stream[i];
  }

  int Probe() {
    StreamRingAccess access;
    access.ring = ring_.data();
    access.layout = {kRing, 0};
    access.writeOffset = [this](uint32_t* offset) {
      *offset = offsets_[std::min(polls_++, offsets_.size() - 1)];
      return true;
    };
    access.nowMs = [this] { return clock_; };
    access.sleepMs = [this](uint32_t milliseconds) { clock_ += milliseconds; };
    return ProbeLivePatInRing(1, access);
  }
  uint64_t ElapsedMs() const { return clock_; }

private:
  std::vector<uint8_t> ring_;
  std::vector<uint32_t> offsets_;
  size_t polls_ = 0;
  uint64_t clock_ = 0;
};

Bytes Pat(int transportStreamId) { return tsbuild::PatSection(transportStreamId, {{1, 0x100}, {2, 0x101}}); }

bool SectionBufferHolds(const Bytes& section) {
  return std::memcmp(SectionBuffer, section.data(), section.size()) == 0;
}

class ProbeInRing : public ::testing::Test {
protected:
  void SetUp() override { std::memset(SectionBuffer, 0xEE, kSectionBufferSize); }
};

TEST_F(ProbeInRing, SectionStartedBeforeTheWrapIsAcceptedAfterIt) {
  TsStreamBuilder stream;
  stream.Numbered(5).Section(0x0000, Pat(1)).Numbered(3).Section(0x0000, Pat(2)).Numbered(20);
  // The first PAT ends 376 bytes before the ring's end; the second starts at 188.
  const uint32_t at = kRing - 8 * 188;
  ProbeRing ring(stream.bytes(), at, {at - 500, 2000});
  EXPECT_EQ(ring.Probe(), 1);
  EXPECT_TRUE(SectionBufferHolds(Pat(1)));
  EXPECT_LT(ring.ElapsedMs(), 1000u);
}

TEST_F(ProbeInRing, PacketCutByTheRingsEndIsNeverLookedAt) {
  TsStreamBuilder stream;
  stream.Numbered(5)
      .Section(0x0000, Pat(1))  // 100 bytes before the ring's end, 88 after
      .Section(0x0000, Pat(2))
      .Numbered(2)
      .Section(0x0000, Pat(3))
      .Numbered(10);
  const uint32_t at = kRing - 100 - 5 * 188;
  ProbeRing ring(stream.bytes(), at, {at - 300, 3000});
  EXPECT_EQ(ring.Probe(), 1);
  EXPECT_TRUE(SectionBufferHolds(Pat(2))) << "the first whole PAT after the cut one";
}

struct RefusedCase {
  const char* name;
  Bytes section;
};

class RefusedSection : public ProbeInRing, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedSection, NeverSatisfiesTheProbe) {
  TsStreamBuilder stream;
  for (int i = 0; i < 6; ++i) stream.Section(0x0000, GetParam().section).Numbered(3);
  ProbeRing ring(stream.bytes(), 1000, {500, static_cast<uint32_t>(1000 + stream.size())});
  EXPECT_EQ(ring.Probe(), 0);
  EXPECT_GE(ring.ElapsedMs(), 15000u) << "gave up at its time limit";
}

INSTANTIATE_TEST_SUITE_P(
    Sections, RefusedSection,
    ::testing::Values(
        RefusedCase{"WrongTableId",
                    tsbuild::LongSection({.tableId = 0x02, .tableIdExtension = 1},
                                         tsbuild::PatBody({{1, 0x100}}))},
        RefusedCase{"NotCurrent",
                    tsbuild::LongSection({.tableId = 0x00, .tableIdExtension = 1, .currentNext = 0},
                                         tsbuild::PatBody({{1, 0x100}}))}),
    [](const ::testing::TestParamInfo<RefusedCase>& info) { return std::string(info.param.name); });

TEST_F(ProbeInRing, SectionLongerThanTheBufferIsDroppedAndTheNextOneFound) {
  std::vector<tsbuild::PatEntry> many;
  for (int i = 1; i <= 700; ++i) many.push_back({i, 0x100 + i});  // 2,812 bytes of entries
  const Bytes huge = tsbuild::LongSection({.tableId = 0x00, .tableIdExtension = 9}, tsbuild::PatBody(many));
  ASSERT_GT(huge.size(), 2048u);
  TsStreamBuilder stream;
  stream.Section(0x0000, huge).Section(0x0000, Pat(4)).Numbered(2).Section(0x0000, Pat(5)).Numbered(5);
  ProbeRing ring(stream.bytes(), 1000, {500, static_cast<uint32_t>(1000 + stream.size())});
  EXPECT_EQ(ring.Probe(), 1);
  EXPECT_TRUE(SectionBufferHolds(Pat(4)));
}

}  // namespace
