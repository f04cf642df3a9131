// 192-byte packets whose prefixes carry arrival timestamps (27 MHz, 30
// bits): where every packet has one that moves forward plausibly they time
// the stream and the PCRs are judged against them; otherwise the PCRs and
// the byte position do, as for 188-byte packets.
#include <algorithm>
#include <functional>
#include <map>

#include <gtest/gtest.h>

#include "tests/health/cbr_stream.h"
#include "tests/health/health_test_support.h"

namespace {

using namespace healthtest;
using namespace tsbuild;

constexpr uint32_t kWrap = uint32_t{1} << 30;

// `ts` (188-byte packets) with the 4-byte prefix stamp(k) in front of packet k.
Bytes Stamped(const Bytes& ts, const std::function<uint64_t(size_t)>& stamp) {
  Bytes out;
  for (size_t k = 0; k * 188 < ts.size(); ++k) {
    const uint32_t s = static_cast<uint32_t>(stamp(k) % kWrap);
    out.insert(out.end(), {static_cast<uint8_t>(s >> 24), static_cast<uint8_t>(s >> 16),
                           static_cast<uint8_t>(s >> 8), static_cast<uint8_t>(s)});
    out.insert(out.end(), ts.begin() + static_cast<std::ptrdiff_t>(k * 188),
               ts.begin() + static_cast<std::ptrdiff_t>(k * 188 + 188));
  }
  return out;
}

TEST(HealthArrival, TimestampsOnEveryPacketTimeTheStreamOtherwiseThePcrsDo) {
  const Bytes clean = CbrStream(Slot(2.0)).StandardProgram().Build();
  // The PCRs stop at 1 s, the PAT at 1.5 s: read up to 2.4 s, only a clock
  // still alive has seen the PAT missing for more than 0.5 s.
  const Bytes pcrsStop = CbrStream(Slot(3.0))
                             .PcrEvery(kVideoPid, 0.020, 0, 1.0)
                             .SectionEvery(0, StandardPat(), 0.1, 0, 1.5)
                             .SectionEvery(kPmtPid, StandardPmt(), 0.1, 0.001)
                             .Build();
  const size_t pause = Slot(1.0);
  // Sync lost at packet `pause` (four packets of zeros), regained with
  // `stray` stamps of other bytes in front of the packets from there.
  const auto syncLoss = [&](int stray) {
    return [&pause, stray](Bytes& b) {
      const size_t at = pause * 192;
      std::fill(b.begin() + static_cast<std::ptrdiff_t>(at), b.begin() + static_cast<std::ptrdiff_t>(at + 4 * 192), 0);
      const uint8_t junk[2][4] = {{0x12, 0x34, 0x56, 0x78}, {0x0A, 0xBC, 0xDE, 0xF0}};
      for (int k = 0; k < stray; ++k)
        std::copy(junk[k], junk[k] + 4, b.begin() + static_cast<std::ptrdiff_t>(at + (4 + k) * 192));
    };
  };
  struct Case {
    const char* what;
    const Bytes& ts;
    std::function<uint64_t(size_t)> stamp;
    bool timedByArrival;
    uint64_t patErrors;
    double seconds;          // the stream's duration
    double readUpTo = 1e9;   // seconds of the stream read
    std::function<void(Bytes&)> damage = [](Bytes&) {};
  };
  const Case cases[] = {
      {"a stamp on every packet", clean, [](size_t k) { return 5000 + k * kTicksPerPacket; }, true, 0, 2.0},
      {"the counter wraps at 2^30", clean, [](size_t k) { return kWrap - 20'000'000 + k * kTicksPerPacket; }, true,
       0, 2.0},
      {"every stamp zero", clean, [](size_t) { return 0; }, false, 0, 2.0},
      {"one stamp goes back", clean, [](size_t k) { return k == 30000 ? 5 : 1'000'000 + k * kTicksPerPacket; },
       false, 0, 2.0},
      {"a pause of 0.9 s: time goes on", clean,
       [&](size_t k) { return k * kTicksPerPacket + (k >= pause ? 24'300'000 : 0); }, true, 1, 2.9},
      {"a jump of 1.1 s: not believed", clean,
       [&](size_t k) { return k * kTicksPerPacket + (k >= pause ? 29'700'000 : 0); }, false, 0, 2.0},
      {"PCRs stop, stamps go on", pcrsStop, [](size_t k) { return k * kTicksPerPacket; }, true, 1, 2.4, 2.4},
      {"PCRs stop, no stamps", pcrsStop, [](size_t) { return 0; }, false, 0, 2.4, 2.4},
      {"sync regained behind stray bytes: re-anchored", clean, [](size_t k) { return 5000 + k * kTicksPerPacket; },
       true, 0, 2.0, 1e9, syncLoss(1)},
      {"sync regained, its stamp and the next stray: dropped", clean,
       [](size_t k) { return 5000 + k * kTicksPerPacket; }, false, 0, 2.0, 1e9, syncLoss(2)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes stamped = Stamped(c.ts, c.stamp);
    c.damage(stamped);
    StreamHealth health;
    // Compared as a double first: "read it all" (1e9 s) is beyond a 32-bit size_t.
    const size_t size =
        c.readUpTo * kPacketsPerSecond * 192 >= double(stamped.size()) ? stamped.size() : Slot(c.readUpTo) * 192;
    for (size_t at = 0; at < size; at += 100'000) health.Feed(stamped.data() + at, std::min<size_t>(100'000, size - at));
    if (size == stamped.size()) health.Finish();
    const HealthResult r = health.Snapshot();
    EXPECT_EQ(r.packetSize, 192);
    EXPECT_EQ(r.timedByArrival, c.timedByArrival);
    EXPECT_EQ(Count(r, HealthCheck::Pat), c.patErrors);
    ASSERT_TRUE(r.durationS);
    EXPECT_NEAR(*r.durationS, c.seconds, c.seconds * 0.01);
  }
}

TEST(HealthArrival, PcrsAreJudgedAgainstTheArrivalTimeOfTheirPackets) {
  // The packets with PCRs arrive 11 us early or late in turn, and their PCRs
  // say so: exact against the stamps, 300 ticks off the byte position.
  struct Case {
    const char* what;
    bool stamps;
    int64_t offset;  // of PCR number 100, ticks of 37 ns
    uint64_t errors;
  };
  for (const Case& c : {Case{"every PCR on time", true, 0, 0}, Case{"one PCR 13 ticks (481 ns) late", true, 13, 0},
                        Case{"one PCR 14 ticks (519 ns) late", true, 14, 1},
                        Case{"no stamps: against the byte position", false, 0, 100}}) {
    SCOPED_TRACE(c.what);
    CbrStream s = CbrStream(Slot(4.0)).StandardProgram();
    std::map<size_t, int64_t> early;
    int index = 0;
    for (double t = 0; Slot(t) < s.slots(); t += 0.020, ++index) {
      early[Slot(t)] = index % 2 ? 300 : -300;
      s.Put(Slot(t), PcrPacket(kVideoPid, early[Slot(t)] + (index == 100 ? c.offset : 0)));
    }
    const auto arrival = [&](size_t k) -> uint64_t {
      if (!c.stamps) return 0;
      const auto it = early.find(k);
      return 1'000'000 + k * kTicksPerPacket + (it == early.end() ? 0 : it->second);
    };
    const HealthResult r = Analyse(Stamped(s.Build(), arrival));
    EXPECT_EQ(r.timedByArrival, c.stamps);
    ASSERT_TRUE(r.check(HealthCheck::PcrAccuracy).evaluated) << r.check(HealthCheck::PcrAccuracy).notEvaluatedTemplate;
    if (c.errors >= 100) {
      EXPECT_GE(Count(r, HealthCheck::PcrAccuracy), 50u);
    } else {
      EXPECT_EQ(Count(r, HealthCheck::PcrAccuracy), c.errors);
    }
  }
}

}  // namespace
