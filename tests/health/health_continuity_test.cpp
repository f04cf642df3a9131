// Continuity counting, case by case: payload packets advance the counter,
// packets without payload repeat it, one duplicate is allowed, the
// discontinuity_indicator resets the expectation, null packets are exempt,
// and a break counts once however many packets were lost.
#include <gtest/gtest.h>

#include "tests/health/health_test_support.h"

namespace {

using namespace healthtest;
using namespace tsbuild;

constexpr int kPid = 0x123;

// One packet on kPid per entry: (afc, cc), optionally with the
// discontinuity_indicator.
struct Step {
  int afc;
  int cc;
  bool discontinuity = false;
};

HealthResult RunSteps(const std::vector<Step>& steps) {
  TsStreamBuilder b;
  for (const Step& s : steps) {
    Bytes adaptation;
    if (s.afc & 2) adaptation = AdaptationField(s.discontinuity);
    b.Packet({.pid = kPid, .afc = s.afc, .cc = s.cc}, Bytes(10, 0x55), adaptation);
  }
  return Analyse(b.bytes());
}

uint64_t CcErrors(const std::vector<Step>& steps) { return Count(RunSteps(steps), HealthCheck::Continuity); }

TEST(HealthContinuity, PayloadPacketsAdvanceByOneModulo16) {
  std::vector<Step> steps;
  for (int i = 0; i < 40; ++i) steps.push_back({1, i & 15});
  EXPECT_EQ(CcErrors(steps), 0u);
  steps[20].cc = (steps[20].cc + 2) & 15;  // one packet lost... and the rest follow on
  for (size_t i = 21; i < steps.size(); ++i) steps[i].cc = (steps[i - 1].cc + 1) & 15;
  const HealthResult r = RunSteps(steps);
  EXPECT_EQ(Count(r, HealthCheck::Continuity), 1u);
  EXPECT_EQ(FindPid(r, kPid)->ccErrors, 1u);
  EXPECT_EQ(r.check(HealthCheck::Continuity).first.at(0).packetIndex, 20u);
}

TEST(HealthContinuity, ManyLostPacketsAreOneError) {
  std::vector<Step> steps;
  for (int i = 0; i < 10; ++i) steps.push_back({1, i & 15});
  for (int i = 17; i < 30; ++i) steps.push_back({1, i & 15});  // 7 lost
  EXPECT_EQ(CcErrors(steps), 1u);
}

TEST(HealthContinuity, OneDuplicateIsAllowedAFurtherCopyIsAnError) {
  const HealthResult once = RunSteps({{1, 0}, {1, 1}, {1, 1}, {1, 2}});
  EXPECT_EQ(Count(once, HealthCheck::Continuity), 0u);
  EXPECT_EQ(FindPid(once, kPid)->duplicates, 1u);
  EXPECT_EQ(CcErrors({{1, 0}, {1, 1}, {1, 1}, {1, 1}, {1, 2}}), 1u);
  // Two separate duplicates are both allowed.
  EXPECT_EQ(CcErrors({{1, 0}, {1, 0}, {1, 1}, {1, 1}, {1, 2}}), 0u);
}

TEST(HealthContinuity, ADuplicatePacketsPayloadIsTakenOnce) {
  // An EIT section over three packets whose middle packet comes twice.
  const Bytes packets = SectionPackets(0x12, LongSection({.tableId = 0x4E}, Bytes(400, 0x33)));
  ASSERT_EQ(packets.size(), 3u * 188);
  const Bytes middle(packets.begin() + 188, packets.begin() + 2 * 188);
  Bytes stream = packets;
  stream.insert(stream.begin() + 2 * 188, middle.begin(), middle.end());
  const HealthResult r = Analyse(stream);
  EXPECT_EQ(FindPid(r, 0x12)->duplicates, 1u);
  EXPECT_EQ(Count(r, HealthCheck::Continuity), 0u);
  EXPECT_EQ(Count(r, HealthCheck::Crc), 0u);
}

TEST(HealthContinuity, ACopyMustRepeatEveryByteButThePcr) {
  const uint64_t pcr = 27000000;
  const uint64_t later = pcr + 1000;
  struct Case {
    const char* what;
    Bytes first, second;
    uint64_t errors, duplicates;
  };
  const Case cases[] = {
      {"the same bytes", TsPacket({.pid = kPid, .cc = 3}, Bytes(9, 1)), TsPacket({.pid = kPid, .cc = 3}, Bytes(9, 1)),
       0, 1},
      {"another payload", TsPacket({.pid = kPid, .cc = 3}, Bytes(9, 1)), TsPacket({.pid = kPid, .cc = 3}, Bytes(9, 2)),
       1, 0},
      {"only the PCR differs", TsPacket({.pid = kPid, .afc = 3, .cc = 3}, Bytes(9, 1), PcrAdaptation(pcr)),
       TsPacket({.pid = kPid, .afc = 3, .cc = 3}, Bytes(9, 1), PcrAdaptation(later)), 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes stream = TsPacket({.pid = kPid, .cc = 2}, Bytes(9, 7));
    Append(stream, c.first);
    Append(stream, c.second);
    Append(stream, TsPacket({.pid = kPid, .cc = 4}, Bytes(9, 8)));
    for (size_t piece : {size_t{0}, size_t{100}}) {  // the original may be in an earlier buffer
      const HealthResult r = Analyse(stream, {}, piece);
      EXPECT_EQ(Count(r, HealthCheck::Continuity), c.errors);
      EXPECT_EQ(FindPid(r, kPid)->duplicates, c.duplicates);
    }
  }
}

TEST(HealthContinuity, LosingFifteenPacketsLandsOnTheSameCounterAndIsAnError) {
  // Ten bursts of 15 lost packets: each time the next counter repeats the
  // last one on other content.
  TsStreamBuilder b;
  int index = 0;
  for (int burst = 0; burst < 10; ++burst) {
    b.Raw(NumberedPackets(5, kPid, index));
    index += 5 + 15;
  }
  b.Raw(NumberedPackets(5, kPid, index));
  const HealthResult r = Analyse(b.bytes());
  EXPECT_EQ(Count(r, HealthCheck::Continuity), 10u);
  EXPECT_EQ(FindPid(r, kPid)->duplicates, 0u);
}

TEST(HealthContinuity, PacketsWithoutPayloadMustRepeatTheCounter) {
  EXPECT_EQ(CcErrors({{1, 4}, {2, 4}, {2, 4}, {1, 5}, {3, 6}, {2, 6}, {1, 7}}), 0u);
  EXPECT_EQ(CcErrors({{1, 4}, {2, 5}, {1, 6}}), 1u);   // adaptation-only advanced it
  EXPECT_EQ(CcErrors({{1, 4}, {0, 4}, {1, 5}}), 0u);   // reserved 00: no payload either
  EXPECT_EQ(CcErrors({{1, 4}, {0, 9}, {1, 10}}), 1u);
  // A payload packet repeating the counter after an adaptation-only one is a duplicate.
  EXPECT_EQ(CcErrors({{1, 4}, {2, 4}, {1, 4}, {1, 5}}), 0u);
}

TEST(HealthContinuity, TheDiscontinuityIndicatorResetsTheExpectation) {
  EXPECT_EQ(CcErrors({{1, 0}, {1, 1}, {3, 9, true}, {1, 10}}), 0u);
  EXPECT_EQ(CcErrors({{1, 0}, {1, 1}, {2, 9, true}, {1, 10}}), 0u);
  const HealthResult r = RunSteps({{1, 0}, {1, 1}, {3, 9, true}, {1, 10}});
  EXPECT_EQ(FindPid(r, kPid)->discontinuities, 1u);
  // Without it the same jump is an error.
  EXPECT_EQ(CcErrors({{1, 0}, {1, 1}, {3, 9}, {1, 10}}), 1u);
}

TEST(HealthContinuity, NullPacketsAreExempt) {
  TsStreamBuilder b;
  for (int cc : {3, 3, 3, 9, 0, 14}) b.Packet({.pid = kNullPid, .cc = cc});
  const HealthResult r = Analyse(b.bytes());
  EXPECT_EQ(Count(r, HealthCheck::Continuity), 0u);
  EXPECT_EQ(r.packets, 6u);
}

TEST(HealthContinuity, CountersArePerPid) {
  TsStreamBuilder b;
  for (int i = 0; i < 20; ++i) {
    b.Packet({.pid = 0x200, .cc = i & 15});
    b.Packet({.pid = 0x201, .cc = (i * 2) & 15});  // every second count: always a break
  }
  const HealthResult r = Analyse(b.bytes());
  EXPECT_EQ(FindPid(r, 0x200)->ccErrors, 0u);
  EXPECT_EQ(FindPid(r, 0x201)->ccErrors, 19u);
  EXPECT_EQ(Count(r, HealthCheck::Continuity), 19u);
}

}  // namespace
