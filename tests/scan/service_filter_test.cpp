// The service filter of capture by service: what passes, the new PAT.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "capture/scan/service_capture.h"
#include "tests/scan/sample_network.h"
#include "tests/support/ts_builder.h"

namespace {

using tsbuild::Bytes;

int PidOf(const uint8_t* p) { return ((p[1] & 0x1F) << 8) | p[2]; }

Bytes Filter(const Bytes& in, int serviceId, std::set<int> si, ServiceStreamFilter** keep = nullptr) {
  static std::unique_ptr<ServiceStreamFilter> last;
  last = std::make_unique<ServiceStreamFilter>(serviceId, std::move(si));
  Bytes out;
  for (size_t at = 0; at + 188 <= in.size(); at += 188) last->Push(in.data() + at, &out);
  if (keep) *keep = last.get();
  return out;
}

struct PatPacket {
  int version;
  int cc;
  int transportStreamId;
  std::vector<std::pair<int, int>> programs;  // number, PID
  bool crcRight;
};

PatPacket ReadPat(const uint8_t* p) {
  const uint8_t* s = p + 5 + p[4];
  const int length = ((s[1] & 0x0F) << 8) | s[2];
  PatPacket pat{(s[5] >> 1) & 0x1F, p[3] & 0x0F, (s[3] << 8) | s[4], {},
                tsbuild::MpegCrc32(s, static_cast<size_t>(length) + 3) == 0};
  for (int at = 8; at + 4 <= length + 3 - 4; at += 4)
    pat.programs.push_back({(s[at] << 8) | s[at + 1], ((s[at + 2] & 0x1F) << 8) | s[at + 3]});
  return pat;
}

TEST(ServiceFilter, KeepsTheServiceByteExactWithAPatOfItsOwn) {
  const auto network = scantest::SampleTransponders();
  const Bytes in = scantest::MakeTransponderStream(network[1], network, 0.5);  // services 201 (with ECMs), 202
  struct Case {
    const char* what;
    int serviceId;
    std::set<int> si;
    std::set<int> pids;                         // every PID in the output
    std::vector<std::pair<int, int>> programs;  // of the new PAT
  };
  const Case cases[] = {
      {"TV with its ECM PID, SDT kept", 201, {0x11}, {0, 0x300, 0x301, 0x302, 0x1F0, 0x11}, {{201, 0x300}}},
      {"no SI kept", 202, {}, {0, 0x400, 0x401, 0x402}, {{202, 0x400}}},
      {"NIT kept: the PAT names the network PID", 202, {0x10, 0x11}, {0, 0x10, 0x11, 0x400, 0x401, 0x402},
       {{0, 0x10}, {202, 0x400}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ServiceStreamFilter* filter = nullptr;
    const Bytes out = Filter(in, c.serviceId, c.si, &filter);
    ASSERT_GE(out.size(), 188u * 10);
    ASSERT_EQ(out.size() % 188, 0u);
    EXPECT_TRUE(filter->ServiceFound());
    EXPECT_EQ(PidOf(out.data()), 0) << "the output starts with the new PAT";
    std::set<int> pids;
    int expectedCc = -1;
    size_t pats = 0;
    // Every packet that is not a PAT is an input packet, unchanged and in order.
    size_t inAt = 0;
    for (size_t at = 0; at < out.size(); at += 188) {
      const uint8_t* p = out.data() + at;
      pids.insert(PidOf(p));
      if (PidOf(p) == 0) {
        const PatPacket pat = ReadPat(p);
        EXPECT_TRUE(pat.crcRight);
        EXPECT_EQ(pat.version, 0);
        EXPECT_EQ(pat.transportStreamId, 2);
        EXPECT_EQ(pat.programs, c.programs);
        if (expectedCc >= 0) {
          EXPECT_EQ(pat.cc, expectedCc);
        }
        expectedCc = (pat.cc + 1) & 0x0F;
        ++pats;
        continue;
      }
      while (inAt < in.size() && !std::equal(p, p + 188, in.data() + inAt)) inAt += 188;
      ASSERT_LT(inAt, in.size()) << "packet " << at / 188 << " is not an input packet in order";
      inAt += 188;
    }
    EXPECT_EQ(pids, c.pids);
    EXPECT_EQ(pats, 5u);  // one for each PAT of the input (every 100 ms)
  }
}

TEST(ServiceFilter, ThePatVersionMovesOnlyWithItsOwnContent) {
  using namespace tsbuild;
  struct Case {
    const char* what;
    std::vector<PatEntry> second;  // the input's PAT after a change (version 1)
    std::vector<int> versions;     // of the new PAT packets
  };
  const Case cases[] = {
      {"another program added", {{1, 0x100}, {2, 0x200}}, {0, 0}},
      {"the service's PMT moved", {{1, 0x180}}, {0, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TsStreamBuilder b;
    b.Section(0, PatSection(7, {{1, 0x100}}))
        .Section(0x100, PmtSection(1, 0x101, {{0x02, 0x101}}))
        .Section(0, LongSection({.tableId = 0, .tableIdExtension = 7, .version = 1}, PatBody(c.second)))
        .Section(0x180, PmtSection(1, 0x101, {{0x02, 0x101}}));
    ServiceStreamFilter* filter = nullptr;
    const Bytes out = Filter(b.bytes(), 1, {}, &filter);
    std::vector<int> versions;
    for (size_t at = 0; at < out.size(); at += 188)
      if (PidOf(out.data() + at) == 0) versions.push_back(ReadPat(out.data() + at).version);
    EXPECT_EQ(versions, c.versions);
  }
}

TEST(ServiceFilter, APatWithoutTheServiceSaysSoAndNothingPasses) {
  const auto network = scantest::SampleTransponders();
  const Bytes in = scantest::MakeTransponderStream(network[0], network, 0.3);
  ServiceStreamFilter* filter = nullptr;
  const Bytes out = Filter(in, 999, {0x11}, &filter);
  EXPECT_TRUE(filter->PatLacksService());
  EXPECT_FALSE(filter->ServiceFound());
  EXPECT_TRUE(out.empty());
}

}  // namespace
