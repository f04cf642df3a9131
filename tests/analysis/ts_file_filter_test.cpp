// Packet header conditions and the packet header report.
#include "tests/analysis/ts_file_fixture.h"

#include <cstdint>

using namespace tsbuild;

namespace {

using TsFileFilter = TsFileTest;

// A stream of packets with varied header fields; the fields are kept to
// compute the expected matches independently of the decoder.
std::vector<TsHeader> VariedHeaders() {
  std::vector<TsHeader> headers;
  const int pids[] = {0x0000, 0x0011, 0x0100, 0x1FFF, 0x0ABC};
  uint32_t seed = 12345;
  for (int i = 0; i < 80; ++i) {
    seed = seed * 1103515245u + 12345u;
    uint32_t r = seed >> 8;
    headers.push_back({.pid = pids[r % 5],
                       .pusi = static_cast<int>((r >> 3) & 1),
                       .priority = static_cast<int>((r >> 4) & 1),
                       .tei = static_cast<int>((r >> 5) & 1),
                       .scrambling = static_cast<int>((r >> 6) & 3),
                       .afc = static_cast<int>((r >> 8) & 3),
                       .cc = static_cast<int>((r >> 10) & 15)});
  }
  return headers;
}

Bytes StreamOf(const std::vector<TsHeader>& headers) {
  TsStreamBuilder stream;
  for (const TsHeader& header : headers) stream.Packet(header, Bytes{0x00, 0x00}, Bytes{0x00});
  return stream.bytes();
}

std::vector<int> MatchingPositions() {
  std::vector<int> matches;
  if (!RestartTsFile()) return matches;
  for (int position = 0; NextPacket(); ++position)
    if (MatchPacketFilter()) matches.push_back(position);
  return matches;
}

TEST_F(TsFileFilter, EveryCombinationOfConditions) {
  std::vector<TsHeader> headers = VariedHeaders();
  OpenStream(StreamOf(headers));
  for (int target : {0, 17, 42}) {
    const TsHeader& want = headers[static_cast<size_t>(target)];
    for (int mask = 0; mask < 64; ++mask) {
      SCOPED_TRACE(testing::Message() << "target " << target << " mask " << mask);
      PacketFilter = PacketFilterRecord{(mask & 1) ? 1 : 0,  want.pid,
                                        (mask & 2) ? 1 : 0,  want.pusi,
                                        (mask & 4) ? 1 : 0,  want.priority,
                                        (mask & 8) ? 1 : 0,  want.scrambling,
                                        (mask & 16) ? 1 : 0, want.afc,
                                        (mask & 32) ? 1 : 0, want.cc};
      std::vector<int> expected;
      for (size_t i = 0; i < headers.size(); ++i) {
        const TsHeader& h = headers[i];
        bool match = (!(mask & 1) || h.pid == want.pid) && (!(mask & 2) || h.pusi == want.pusi) &&
                     (!(mask & 4) || h.priority == want.priority) &&
                     (!(mask & 8) || h.scrambling == want.scrambling) &&
                     (!(mask & 16) || h.afc == want.afc) && (!(mask & 32) || h.cc == want.cc);
        if (match) expected.push_back(static_cast<int>(i));
      }
      ASSERT_EQ(MatchingPositions(), expected);
    }
  }
}

TEST_F(TsFileFilter, NullPidConditionAndTransportErrors) {
  TsStreamBuilder stream;
  stream.Packet({.pid = 0x100, .tei = 1})
      .NullPackets(1)
      .Packet({.pid = 0x1FFF, .tei = 1, .afc = 3})
      .Packet({.pid = 0x0FFF})
      .Packet({.pid = 0x1FFE});
  OpenStream(stream.bytes());
  PacketFilter = PacketFilterRecord{};
  EXPECT_EQ(MatchingPositions(), (std::vector<int>{0, 1, 2, 3, 4}));
  PacketFilter.pidEnable = 1;
  PacketFilter.pid = 0x1FFF;
  EXPECT_EQ(MatchingPositions(), (std::vector<int>{1, 2}));
  // A value outside the field's range matches nothing.
  PacketFilter.pid = 0x3FFF;
  EXPECT_TRUE(MatchingPositions().empty());
  PacketFilter = PacketFilterRecord{};
  PacketFilter.continuityEnable = 1;
  PacketFilter.continuity = -1;
  EXPECT_TRUE(MatchingPositions().empty());
}

TEST_F(TsFileFilter, HeaderReportIsByteExact) {
  TsStreamBuilder stream;
  stream.Garbage(Bytes{0x47, 0x41, 0x00, 0x15}).Garbage(184, 0x00);
  stream.Garbage(Bytes{0x47, 0xFF, 0xFF, 0xFF}).Garbage(184, 0x00);
  OpenStream(stream.bytes());
  ASSERT_EQ(FirstPacket(), 1);
  EXPECT_EQ(PacketHeaderReport(),
            "sync_byte                               71 0X47        \r\n"
            "transport_error_indicator                0 0X0         \r\n"
            "payload_unit_start_indicator             1 0X1         \r\n"
            "transport_priority                       0 0X0         \r\n"
            "PID                                    256 0X100       \r\n"
            "transport_scrambling_control             0 0X0         \r\n"
            "adaptation_field_control                 1 0X1         \r\n"
            "continuity_counter                       5 0X5         \r\n");
  ASSERT_EQ(NextPacket(), 1);
  BuildPacketHeaderReport();
  EXPECT_EQ(PacketHeaderReport(),
            "sync_byte                               71 0X47        \r\n"
            "transport_error_indicator                1 0X1         \r\n"
            "payload_unit_start_indicator             1 0X1         \r\n"
            "transport_priority                       1 0X1         \r\n"
            "PID                                   8191 0X1FFF      \r\n"
            "transport_scrambling_control             3 0X3         \r\n"
            "adaptation_field_control                 3 0X3         \r\n"
            "continuity_counter                      15 0XF         \r\n");
}

TEST_F(TsFileFilter, ReportStaysWithTheLastDeliveredPacket) {
  // The last packet of the first block is followed by more than a block of
  // zeros: the failed search behind it overwrites the whole buffer.
  TsStreamBuilder stream;
  stream.Garbage(24, 0x00);
  for (int i = 0; i < 22310; ++i) stream.Packet({.pid = 0x0123, .cc = i & 15});
  stream.Garbage(static_cast<size_t>(kBlockSize) + 10, 0x00);
  OpenStream(stream.bytes());
  ASSERT_EQ(RestartTsFile(), 1);
  while (NextPacket()) {
  }
  EXPECT_EQ(nPacketCount.load(), 22310);
  EXPECT_EQ(BlockBuffer[kBlockSize - 188], 0x00);  // the packet's bytes are gone
  const std::string& report = PacketHeaderReport();
  EXPECT_NE(report.find("PID                                    291 0X123       \r\n"),
            std::string::npos);
  EXPECT_NE(report.find("continuity_counter                       5 0X5         \r\n"),
            std::string::npos);  // 22309 & 15
  EXPECT_TRUE(ui_.Messages().empty());
}

}  // namespace
