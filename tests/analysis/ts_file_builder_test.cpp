// The synthetic stream builder the engine tests rely on: its packets and
// sections must be what a decoder expects, or every later test lies.
#include <gtest/gtest.h>

#include "tests/support/test_env.h"
#include "tests/support/ts_builder.h"

using namespace tsbuild;

namespace {

TEST(TsBuilder, CrcIsTheMpegVariant) {
  const std::string check = "123456789";
  EXPECT_EQ(MpegCrc32(reinterpret_cast<const uint8_t*>(check.data()), check.size()), 0x0376E6E7u);
}

TEST(TsBuilder, RealPatSectionChecksToZero) {
  // Packet 2 of the sample carries a whole PAT section behind pointer_field 0.
  std::string sample = ReadFileBytes(SampleStream("test-018.ts"));
  ASSERT_GE(sample.size(), 3u * 188u);
  const auto* packet = reinterpret_cast<const uint8_t*>(sample.data()) + 2 * 188;
  ASSERT_EQ(packet[0], 0x47);
  ASSERT_EQ(((packet[1] & 0x1F) << 8) | packet[2], 0);
  const uint8_t* section = packet + 5 + packet[4];
  int length = ((section[1] & 0x0F) << 8) | section[2];
  ASSERT_LE(length + 3, 188 - 5);
  EXPECT_EQ(MpegCrc32(section, static_cast<size_t>(length) + 3), 0u);
  EXPECT_NE(MpegCrc32(section, static_cast<size_t>(length) + 2), 0u);
}

TEST(TsBuilder, HeaderFieldsLandInTheirBits) {
  Bytes packet = TsPacket({.pid = 0x1ABC, .pusi = 1, .priority = 1, .tei = 1, .scrambling = 2,
                           .afc = 3, .cc = 9},
                          Bytes{0x11, 0x22}, Bytes{0x40});
  ASSERT_EQ(packet.size(), 188u);
  EXPECT_EQ(packet[0], 0x47);
  EXPECT_EQ(packet[1], 0x80 | 0x40 | 0x20 | 0x1A);
  EXPECT_EQ(packet[2], 0xBC);
  EXPECT_EQ(packet[3], (2 << 6) | (3 << 4) | 9);
  EXPECT_EQ(packet[4], 1);     // adaptation_field_length
  EXPECT_EQ(packet[5], 0x40);  // adaptation byte
  EXPECT_EQ(packet[6], 0x11);  // payload
  EXPECT_EQ(packet[7], 0x22);
  EXPECT_EQ(packet[8], 0xFF);  // stuffing

  Bytes adaptationOnly = TsPacket({.pid = 5, .afc = 2}, Bytes{0x99}, Bytes{0x00});
  EXPECT_EQ(adaptationOnly[4], 183);
  EXPECT_EQ(adaptationOnly[6], 0xFF);  // the payload is not written with afc 2

  Bytes malformed = TsPacket({.pid = 5, .afc = 3, .adaptationLength = 250}, Bytes{0x99});
  EXPECT_EQ(malformed[4], 250);
  EXPECT_EQ(malformed.size(), 188u);
}

TEST(TsBuilder, SectionsSplitAcrossPacketsBehindAPointer) {
  std::vector<PatEntry> entries;
  for (int i = 1; i <= 60; ++i) entries.push_back({i, 0x100 + i});
  Bytes section = PatSection(7, entries, 0, 1);
  ASSERT_EQ(section.size(), 8u + 240u + 4u);
  EXPECT_EQ(MpegCrc32(section.data(), section.size()), 0u);
  EXPECT_NE(MpegCrc32(WithBrokenCrc(section).data(), section.size()), 0u);
  EXPECT_EQ(((section[1] & 0x0F) << 8) | section[2], static_cast<int>(section.size()) - 3);
  EXPECT_EQ(section[7], 1);  // last_section_number

  Bytes packets = SectionPackets(0, section, 14);
  ASSERT_EQ(packets.size(), 2u * 188u);
  EXPECT_EQ(packets[1] & 0x40, 0x40);        // first packet starts the unit
  EXPECT_EQ(packets[3] & 0x0F, 14);
  EXPECT_EQ(packets[4], 0);                  // pointer_field
  EXPECT_EQ(packets[5], 0x00);               // table_id right behind it
  EXPECT_EQ(packets[188 + 1] & 0x40, 0);     // continuation packet
  EXPECT_EQ(packets[188 + 3] & 0x0F, 15);
  Bytes joined(packets.begin() + 5, packets.begin() + 188);
  joined.insert(joined.end(), packets.begin() + 188 + 4, packets.begin() + 188 + 4 + 69);
  EXPECT_EQ(joined, section);
}

TEST(TsBuilder, PmtAndSdtBodies) {
  Bytes pmt = PmtSection(3, 0x200, {{0x02, 0x200}, {0x06, 0x201, Descriptor(0x6A, {0x00})}});
  EXPECT_EQ(MpegCrc32(pmt.data(), pmt.size()), 0u);
  // header 8, PCR + info length 4, stream 5, stream 5 + descriptor 3, CRC 4
  EXPECT_EQ(pmt.size(), 8u + 4u + 5u + 8u + 4u);
  EXPECT_EQ(pmt[17], 0x06);
  EXPECT_EQ(((pmt[18] & 0x1F) << 8) | pmt[19], 0x201);
  EXPECT_EQ(pmt[21], 3);     // ES_info_length
  EXPECT_EQ(pmt[22], 0x6A);

  Bytes sdt = SdtSection(1, 2, {{.serviceId = 0x1234, .serviceType = 2,
                                 .provider = TextBytes("P"), .name = Bytes{0x04, 'N'}}});
  EXPECT_EQ(MpegCrc32(sdt.data(), sdt.size()), 0u);
  EXPECT_EQ(sdt[0], 0x42);
  const uint8_t* service = sdt.data() + 11;
  EXPECT_EQ((service[0] << 8) | service[1], 0x1234);
  EXPECT_EQ(((service[3] & 0x0F) << 8) | service[4], 2 + 1 + 1 + 1 + 1 + 2);
  EXPECT_EQ(service[5], 0x48);
  EXPECT_EQ(service[7], 2);     // service_type
  EXPECT_EQ(service[8], 1);     // provider length
  EXPECT_EQ(service[9], 'P');
  EXPECT_EQ(service[10], 2);    // name length
  EXPECT_EQ(service[11], 0x04);
}

TEST(TsBuilder, StreamKeepsContinuityPerPidAndWritesFiles) {
  TsStreamBuilder stream;
  stream.Section(0x10, PatSection(1, {{1, 0x100}})).Section(0x10, PatSection(1, {{1, 0x100}}));
  stream.NullPackets(2).Garbage(3).Numbered(2, 0x30);
  ASSERT_EQ(stream.size(), 6u * 188u + 3u);
  EXPECT_EQ(stream.bytes()[188 + 3] & 0x0F, 1);
  EXPECT_EQ(stream.bytes()[3 * 188 + 3] & 0x0F, 1);
  EXPECT_EQ(PacketIndex(stream.bytes().data() + 4 * 188 + 3), 0);
  EXPECT_EQ(PacketIndex(stream.bytes().data() + 5 * 188 + 3), 1);

  TempDir dir;
  ASSERT_TRUE(stream.WriteTo(dir.File("s.ts")));
  std::string written = ReadFileBytes(dir.File("s.ts"));
  EXPECT_EQ(Bytes(written.begin(), written.end()), stream.bytes());
  EXPECT_FALSE(WriteTsFile(dir.File("missing/s.ts"), stream.bytes()));
}

}  // namespace
