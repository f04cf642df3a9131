// Real samples against an independent count of their packets and PCRs, and
// hostile input: damaged samples never crash, never loop, and every byte is
// accounted for.
#include <cmath>
#include <fstream>
#include <iterator>
#include <map>
#include <random>

#include <gtest/gtest.h>

#include "tests/health/health_test_support.h"

namespace {

using namespace healthtest;
using tsbuild::Bytes;

Bytes ReadSample(const std::string& name) {
  std::ifstream in(std::string(VANTREL_TEST_DATA_DIR) + "/streams/" + name, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A plain walk over back-to-back packets from the first sync byte: packets
// per PID, and the mux rate from the first and last PCR of the first PID
// that carries PCRs.
struct IndependentCount {
  std::map<int, uint64_t> packets;
  uint64_t total = 0;
  uint64_t ccBreaks = 0;  // payload packets whose counter neither follows nor repeats
  double bitrate = NAN;
};

IndependentCount CountPackets(const Bytes& bytes, size_t size, size_t syncAt) {
  IndependentCount c;
  int pcrPid = -1;
  uint64_t firstIndex = 0, lastIndex = 0;
  double firstPcr = 0, lastPcr = 0;
  std::map<int, int> lastCc;
  std::map<int, Bytes> lastBytes;
  for (size_t at = syncAt; at + 188 <= bytes.size(); at += size) {
    const uint8_t* p = &bytes[at];
    EXPECT_EQ(p[0], 0x47) << at;
    const int pid = ((p[1] & 0x1F) << 8) | p[2];
    ++c.packets[pid];
    const int cc = p[3] & 15;
    if (p[1] & 0x80) {
      lastCc.erase(pid);  // a damaged packet: its counter is not trusted
    } else if (pid != 0x1FFF && (p[3] & 0x10)) {
      // A repeated counter is a duplicate only on the same bytes.
      auto last = lastCc.find(pid);
      const Bytes bytes(p + 1, p + 188);
      if (last != lastCc.end() && cc != ((last->second + 1) & 15) &&
          (cc != last->second || lastBytes[pid] != bytes))
        ++c.ccBreaks;
      lastCc[pid] = cc;
      lastBytes[pid] = bytes;
    }
    const bool pcr = (p[3] & 0x20) && p[4] >= 7 && (p[5] & 0x10);
    if (pcr && (pcrPid < 0 || pid == pcrPid)) {
      const double base = static_cast<double>((uint64_t{p[6]} << 25) | (uint64_t{p[7]} << 17) |
                                              (uint64_t{p[8]} << 9) | (uint64_t{p[9]} << 1) | (p[10] >> 7));
      const double value = base * 300 + (((p[10] & 1) << 8) | p[11]);
      if (pcrPid < 0) {
        pcrPid = pid;
        firstIndex = c.total;
        firstPcr = value;
      }
      lastIndex = c.total;
      lastPcr = value;
    }
    ++c.total;
  }
  if (lastPcr > firstPcr) c.bitrate = (lastIndex - firstIndex) * 1504.0 * 27e6 / (lastPcr - firstPcr);
  return c;
}

void ExpectMatches(const HealthResult& r, const IndependentCount& c) {
  EXPECT_EQ(r.packets, c.total);
  EXPECT_EQ(Count(r, HealthCheck::Continuity), c.ccBreaks);
  ASSERT_EQ(r.pids.size(), c.packets.size());
  for (const PidStats& p : r.pids) {
    ASSERT_TRUE(c.packets.count(p.pid)) << p.pid;
    EXPECT_EQ(p.packets, c.packets.at(p.pid)) << p.pid;
  }
  if (std::isnan(c.bitrate)) {
    EXPECT_FALSE(r.bitrateBps);
  } else {
    ASSERT_TRUE(r.bitrateBps);
    // The clock starts at the first PCR after the PMT names the PID; the
    // PCRs of a capture are not exactly linear in the position.
    EXPECT_NEAR(*r.bitrateBps, c.bitrate, c.bitrate * 1e-4);
  }
}

TEST(HealthSamples, PidListsAndRatesMatchAnIndependentCount) {
  for (const char* name : {"mpts-3prog.ts", "test-018.ts", "test-025.ts", "test-030.ts"}) {
    SCOPED_TRACE(name);
    const Bytes bytes = ReadSample(name);
    ASSERT_FALSE(bytes.empty());
    const HealthResult r = Analyse(bytes, {}, 1 << 20);
    EXPECT_EQ(r.packetSize, 188);
    EXPECT_EQ(r.bytesSkipped, 0u);
    ExpectMatches(r, CountPackets(bytes, 188, 0));
    EXPECT_EQ(Count(r, HealthCheck::Crc), 0u);
  }
}

TEST(HealthSamples, TheM2tsSampleIsRead192BytesAtATime) {
  const Bytes bytes = ReadSample("edge/m2ts192.m2ts");
  ASSERT_FALSE(bytes.empty());
  const HealthResult r = Analyse(bytes);
  EXPECT_EQ(r.packetSize, 192);
  EXPECT_EQ(r.bytesSkipped, 0u);
  EXPECT_EQ(r.packets, bytes.size() / 192);
  ExpectMatches(r, CountPackets(bytes, 192, 4));
  ASSERT_EQ(r.programs.size(), 1u);
  // Its muxer puts a PCR every 80 ms: repetition errors, nothing else.
  EXPECT_EQ(r.TotalErrors(), Count(r, HealthCheck::PcrRepetition));
  ASSERT_TRUE(FindPid(r, r.pcrPid)->maxPcrIntervalS);
  EXPECT_NEAR(*FindPid(r, r.pcrPid)->maxPcrIntervalS, 0.080, 0.001);
}

TEST(HealthSamples, TheProgramsOfTheMultiProgramSampleAreKnown) {
  const HealthResult r = Analyse(ReadSample("mpts-3prog.ts"));
  ASSERT_EQ(r.programs.size(), 3u);
  EXPECT_EQ(r.programs[0].programNumber, 101);
  EXPECT_EQ(r.programs[0].pmtPid, 0x200);
  EXPECT_EQ(r.programs[0].streams.size(), 3u);
  EXPECT_EQ(r.programs[0].serviceNameBytes, "News 24");
  EXPECT_EQ(FindPid(r, 0x302)->kind, PidKind::Audio);  // stream_type 0x06 with an AC-3 descriptor
  EXPECT_EQ(FindPid(r, 0x304)->kind, PidKind::Video);  // H.264
  EXPECT_EQ(FindPid(r, 0x11)->carries, "SDT/BAT");
}

TEST(HealthSamples, DamagedInputNeverCrashesAndEveryByteIsAccountedFor) {
  const Bytes sample = ReadSample("test-025.ts");
  ASSERT_FALSE(sample.empty());
  std::mt19937 random(5);
  for (int round = 0; round < 20; ++round) {
    Bytes damaged(sample.begin(), sample.begin() + 200000);
    for (int k = 0; k < 300; ++k) damaged[random() % damaged.size()] = static_cast<uint8_t>(random());
    // Runs of sync bytes and cut-outs.
    damaged.insert(damaged.begin() + static_cast<std::ptrdiff_t>(random() % damaged.size()), 500, 0x47);
    damaged.erase(damaged.begin() + 1000, damaged.begin() + 1000 + static_cast<std::ptrdiff_t>(random() % 300));
    HealthLimits limits;
    limits.packetSize = round % 2 == 0 ? 188 : 0;
    const HealthResult r = Analyse(damaged, limits, 1 + random() % 9000);
    if (r.packetSize == 188) {
      EXPECT_EQ(r.packets * 188 + r.bytesSkipped + r.truncatedTailBytes, r.bytes);
    }
    EXPECT_EQ(r.bytes, damaged.size());
    for (const HealthCheckResult& c : r.checks) EXPECT_LE(c.first.size(), limits.maxOccurrences);
  }
}

TEST(HealthSamples, MemoryStaysBoundedOnEveryPidAndEveryError) {
  // All 8192 PIDs, every packet a continuity break or a transport error.
  HealthLimits limits;
  limits.maxSeriesPoints = 64;
  StreamHealth health(limits);
  Bytes packet = tsbuild::TsPacket({.pid = 0, .tei = 1});
  for (int i = 0; i < 200000; ++i) {
    const int pid = i % 8192;
    packet[1] = static_cast<uint8_t>((i % 2 == 0 ? 0x80 : 0) | (pid >> 8));
    packet[2] = static_cast<uint8_t>(pid);
    packet[3] = static_cast<uint8_t>(0x10 | (((i / 8192) * 3) & 15));
    health.Feed(packet.data(), packet.size());
  }
  health.Finish();
  const HealthResult r = health.Snapshot();
  EXPECT_EQ(r.pids.size(), 8192u);
  EXPECT_EQ(Count(r, HealthCheck::Transport), 100000u);
  EXPECT_EQ(r.check(HealthCheck::Transport).first.size(), limits.maxOccurrences);
  EXPECT_LE(r.check(HealthCheck::Continuity).first.size(), limits.maxOccurrences);
  EXPECT_GT(Count(r, HealthCheck::Continuity), 40000u);
}

}  // namespace
