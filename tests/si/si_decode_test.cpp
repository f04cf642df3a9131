// Descriptors, tables, ATSC text and the collector's repetition figures, on
// small crafted sections.
#include <gtest/gtest.h>

#include "analysis/si/atsc_text.h"
#include "analysis/si/si_collector.h"
#include "analysis/si/si_tables.h"
#include "tests/si/si_test_support.h"

namespace {

struct DescriptorCase {
  const char* what;
  Bytes descriptors;
  bool atsc;
  int index;           // which descriptor of the loop to look at
  const char* name;
  const char* path;    // JSON pointer into that descriptor
  SiJson expected;
};

TEST(SiDescriptors, DecodeIntoNamedFields) {
  const DescriptorCase cases[] = {
      {"service", Descriptor(0x48, Cat({{0x01, 4}, Text("Prov"), {9}, Text("Das Erste")})), false, 0, "service",
       "/service_name", "Das Erste"},
      {"service name in ISO 8859-5", Descriptor(0x48, Cat({{0x01, 0, 3, 0x01, 0xB2, 0xD5}})), false, 0, "service",
       "/service_name", "Ве"},
      {"network name", Descriptor(0x40, Text("Vantrel Net")), false, 0, "network name", "/network_name", "Vantrel Net"},
      {"EACEM logical channel: 10 bits", Descriptor(0x83, Cat({U16(0x0101), U16(0xFC05)})), false, 0,
       "logical channel number", "/channels/0/logical_channel_number", 5},
      {"NorDig logical channel after its private data specifier: 14 bits",
       Cat({Descriptor(0x5F, U32(0x29)), Descriptor(0x83, Cat({U16(0x0101), U16(0x9064)}))}), false, 1,
       "logical channel number", "/channels/0/logical_channel_number", 0x1064},
      {"NorDig visibility flag", Cat({Descriptor(0x5F, U32(0x29)), Descriptor(0x83, Cat({U16(7), U16(0x1001)}))}), false,
       1, "logical channel number", "/channels/0/visible", false},
      {"satellite delivery", Descriptor(0x43, {0x01, 0x17, 0x80, 0x00, 0x01, 0x92, 0x85, 0x02, 0x75, 0x00, 0x03}), false, 0,
       "satellite delivery system", "/frequency_khz", 11780000},
      {"satellite orbit", Descriptor(0x43, {0x01, 0x17, 0x80, 0x00, 0x01, 0x92, 0x85, 0x02, 0x75, 0x00, 0x03}), false, 0,
       "satellite delivery system", "/orbital_position", "19.2E"},
      {"satellite symbol rate", Descriptor(0x43, {0x01, 0x17, 0x80, 0x00, 0x01, 0x92, 0x85, 0x02, 0x75, 0x00, 0x03}),
       false, 0, "satellite delivery system", "/symbol_rate_ksps", 27500.0},
      {"terrestrial delivery", Descriptor(0x5A, {0x02, 0xD3, 0x44, 0x40, 0x1F, 0x8A, 0x80, 0xFF, 0xFF, 0xFF, 0xFF}), false,
       0, "terrestrial delivery system", "/centre_frequency_hz", 474000000},
      {"T2 delivery", Descriptor(0x7F, {0x04, 0x00, 0x80, 0x01, 0x00, 0x04, 0x00, 0x07}), false, 0, "T2 delivery system",
       "/t2_system_id", 0x8001},
      {"T2 guard interval", Descriptor(0x7F, {0x04, 0x00, 0x80, 0x01, 0x00, 0x80, 0x00, 0x07}), false, 0,
       "T2 delivery system", "/guard_interval", "1/128"},
      {"AC-3 with its flags", Descriptor(0x6A, {0xC0, 0x42, 0x08}), false, 0, "AC-3", "/bsid", 8},
      {"E-AC-3 component type", Descriptor(0x7A, {0x80, 0xC4}), false, 0, "enhanced AC-3", "/component_type", 0xC4},
      {"subtitling", Descriptor(0x59, Cat({Text("deu"), {0x10}, U16(1), U16(2)})), false, 0, "subtitling",
       "/subtitles/0/language", "deu"},
      {"teletext page", Descriptor(0x56, Cat({Text("fra"), {0x11, 0x50}})), false, 0, "teletext", "/pages/0/page", "150"},
      {"ISO 639", Descriptor(0x0A, Cat({Text("spa"), {0x00}})), false, 0, "ISO 639 language", "/languages/0/language",
       "spa"},
      {"CA", Descriptor(0x09, Cat({U16(0x0B00), U16(0xE123)})), false, 0, "CA", "/ca_pid", 0x123},
      {"parental rating", Descriptor(0x55, Cat({Text("GBR"), {0x09}})), false, 0, "parental rating",
       "/ratings/0/minimum_age", 12},
      {"content genre", Descriptor(0x54, {0x23, 0x00}), false, 0, "content", "/contents/0/genre", "News/Current affairs"},
      {"local time offset", Descriptor(0x58, Cat({Text("DEU"), {0x02, 0x01, 0x00}, DvbTime(1, 0, 0), {0x02, 0x00}})),
       false, 0, "local time offset", "/offsets/0/local_time_offset", "+01:00"},
      {"ATSC extended channel name (a multiple string)",
       Descriptor(0xA0, Cat({{0x01}, Text("eng"), {0x01, 0x00, 0x00, 0x04}, Text("KVTR")})), true, 0,
       "extended channel name", "/long_channel_name/0/text", "KVTR"},
      {"ATSC service location", Descriptor(0xA1, Cat({U16(0xE031), {0x01, 0x02}, U16(0xE031), Text("eng")})), true, 0,
       "service location", "/elements/0/pid", 0x31},
      {"ATSC content advisory",
       Descriptor(0x87, Cat({{0xC1, 0x01, 0x01, 0x00, 0xF4, 0x00}})), true, 0, "content advisory",
       "/regions/0/ratings/0/value", 4},
      {"a private tag in a DVB stream stays hex", Descriptor(0xA0, {0x01, 0x02}), false, 0, "unknown", "/hex", "0102"},
      {"a descriptor cut by the loop's end", Cat({{0x48, 0x09, 0x01}}), false, 0, "truncated", "/hex", "01"},
      {"a descriptor libdvbpsi refuses keeps its bytes", Descriptor(0x43, {0x01}), false, 0, "satellite delivery system",
       "/hex", "01"},
      // ATSC AC-3 audio (A/52 annex A): 48 kHz, bsid 8, bit_rate_code 10 (192 kbit/s), 2/0, full service.
      {"ATSC AC-3 audio bit rate", Descriptor(0x81, {0x08, 0x28, 0x05}), true, 0, "ATSC AC-3 audio", "/bit_rate_code", 10},
      {"ATSC AC-3 audio channels", Descriptor(0x81, {0x08, 0x28, 0x05}), true, 0, "ATSC AC-3 audio", "/num_channels", 2},
      {"ATSC AC-3 audio bsid", Descriptor(0x81, {0x08, 0x28, 0x05}), true, 0, "ATSC AC-3 audio", "/bsid", 8},
      {"ATSC AC-3 audio full service", Descriptor(0x81, {0x08, 0x28, 0x05}), true, 0, "ATSC AC-3 audio", "/full_svc",
       true},
      {"ATSC AC-3 audio, 5.1, 48 kHz", Descriptor(0x81, {0x08, 0x3C, 0x0F}), true, 0, "ATSC AC-3 audio",
       "/num_channels", 7},
      {"tag 0x81 outside ATSC is not AC-3 audio", Descriptor(0x81, {0x08, 0x28, 0x05}), false, 0, "unknown", "/hex",
       "082805"},
  };
  for (const DescriptorCase& c : cases) {
    SCOPED_TRACE(c.what);
    SiDecodeContext context;
    context.atsc = c.atsc;
    const SiJson list = DecodeSiDescriptors(c.descriptors.data(), c.descriptors.size(), context);
    ASSERT_GT(list.size(), static_cast<size_t>(c.index));
    const SiJson& d = list[static_cast<size_t>(c.index)];
    EXPECT_EQ(d.value("name", ""), c.name);
    const SiJson::json_pointer pointer(c.path);
    ASSERT_TRUE(d.contains(pointer)) << d.dump();
    EXPECT_EQ(d[pointer], c.expected) << d.dump();
  }
}

TEST(SiTimes, DvbAndGpsTimesInUtc) {
  const Bytes t = DvbTime(21, 15, 0);
  uint64_t raw = 0;
  for (uint8_t b : t) raw = (raw << 8) | b;
  EXPECT_EQ(UtcText(*DvbUtcTime(raw)), "2026-12-07T21:15:00Z");
  EXPECT_FALSE(DvbUtcTime(0xFFFFFFFFFFull).has_value());
  // Digits that are no BCD, or no time of day.
  for (uint32_t bad : {0x2A0000u, 0x240000u, 0x127500u, 0x120060u})
    EXPECT_FALSE(DvbUtcTime((uint64_t{61381} << 24) | bad).has_value()) << std::hex << bad;
  EXPECT_EQ(BcdDurationS(0x013000).value_or(-1), 5400);
  EXPECT_EQ(BcdDurationS(0x990000).value_or(-1), 99 * 3600);
  for (uint32_t bad : {0x009000u, 0x000060u}) EXPECT_FALSE(BcdDurationS(bad).has_value()) << std::hex << bad;
  // GPS 0 is 1980-01-06; 18 leap seconds since.
  EXPECT_EQ(UtcText(GpsToUtc(0, 0)), "1980-01-06T00:00:00Z");
  EXPECT_EQ(UtcText(GpsToUtc(100, 18)), "1980-01-06T00:01:22Z");
}

TEST(AtscText, HuffmanTablesAreWholeTrees) {
  // Every context's tree, encoded and decoded again, gives back each
  // printable character: a wrong byte in a tree breaks a path.
  for (int type : {1, 2}) {
    std::string all;
    for (int c = 0x20; c < 0x7F; ++c) all += static_cast<char>(c);
    for (char previous = 0x20; previous < 0x7F; ++previous) {
      const std::string text = std::string(1, previous) + all;
      const Bytes encoded = EncodeAtscHuffman(type, text);
      std::string decoded;
      ASSERT_TRUE(DecodeAtscHuffman(type, encoded.data(), encoded.size(), decoded)) << type << " " << previous;
      ASSERT_EQ(decoded, text) << type;
    }
  }
}

TEST(AtscText, MultipleStringStructure) {
  const std::string title = "Evening News: Weather & Sports";
  const Bytes huffman = EncodeAtscHuffman(1, title);
  EXPECT_LT(huffman.size(), title.size());  // the code compresses English titles
  const Bytes mss = Cat({{0x02}, Text("eng"), {0x01, 0x01, 0x00, static_cast<uint8_t>(huffman.size())}, huffman,
                         Text("spa"), {0x02, 0x00, 0x00, 0x02}, Text("Ca"), {0x00, 0x3F, 0x02, 0x00, 0xE9}});
  size_t used = 0;
  const std::vector<AtscString> strings = DecodeAtscMultipleString(mss.data(), mss.size(), &used);
  ASSERT_EQ(strings.size(), 2u);
  EXPECT_EQ(strings[0].language, "eng");
  EXPECT_EQ(strings[0].text, title);
  EXPECT_EQ(strings[1].text, "Ca\xC3\xA9");  // Latin-1 page, then UTF-16
  EXPECT_EQ(used, mss.size());
  EXPECT_EQ(AtscStringText(strings, "spa"), "Ca\xC3\xA9");
  // A structure cut short keeps what it holds, and never reads past its end.
  const std::vector<AtscString> cut = DecodeAtscMultipleString(mss.data(), 9);
  ASSERT_EQ(cut.size(), 1u);
  EXPECT_EQ(DecodeAtscMultipleString(mss.data(), 0).size(), 0u);
}

TEST(SiCollector, RepetitionPerSectionVersionAndTable) {
  std::vector<int> asked;
  SiCollector collector([&](int pid) { asked.push_back(pid); });
  const Bytes v1 = LongSection(0x42, 1, 1, 0, 0, Cat({U16(2), {0xFF}}));
  const Bytes v2 = LongSection(0x42, 1, 2, 0, 0, Cat({U16(2), {0xFF}}));
  const Bytes changed = LongSection(0x42, 1, 1, 0, 0, Cat({U16(2), {0xFE}}));
  for (uint64_t offset : {1000u, 3000u, 4000u, 8000u}) collector.OnSection(0x11, v1.data(), v1.size(), offset);
  collector.OnSection(0x11, changed.data(), changed.size(), 9000);
  collector.OnSection(0x11, v2.data(), v2.size(), 10000);
  const std::vector<const SiSection*> sections = collector.Sections();
  ASSERT_EQ(sections.size(), 2u);
  const SiIntervals& r = sections[0]->repeats;
  EXPECT_EQ(sections[0]->version, 1);
  EXPECT_EQ(r.count, 5u);
  EXPECT_EQ(r.firstOffset, 1000u);
  EXPECT_EQ(r.minBytes, 1000u);
  EXPECT_EQ(r.maxBytes, 4000u);
  EXPECT_DOUBLE_EQ(r.MeanBytes(), 2000.0);
  EXPECT_EQ(sections[0]->contentChanges, 1u);
  EXPECT_EQ(sections[1]->version, 2);
  const SiIntervals& table = collector.Tables().at(SiTableKey{0x11, 0x42, 1, 2});
  EXPECT_EQ(table.count, 6u);
  EXPECT_EQ(table.maxBytes, 4000u);
  EXPECT_EQ(collector.TablesPerPid().at(0x11), std::set<int>{0x42});

  // A TOT with a wrong CRC_32 is not taken; the time tables keep first and latest copies.
  Bytes tot = ShortSection(0x73, Cat({DvbTime(10, 0, 0), Loop({})}), true);
  tot.back() ^= 1;
  collector.OnSection(0x14, tot.data(), tot.size(), 20000);
  EXPECT_EQ(collector.ShortSectionsWithBadCrc(), 1u);
  const Bytes tdt1 = ShortSection(0x70, DvbTime(10, 0, 0), false);
  const Bytes tdt2 = ShortSection(0x70, DvbTime(10, 0, 5), false);
  collector.OnSection(0x14, tdt1.data(), tdt1.size(), 21000);
  collector.OnSection(0x14, tdt2.data(), tdt2.size(), 22000);
  const SiSection* tdt = collector.Sections().back();
  EXPECT_EQ(tdt->tableId, 0x70);
  EXPECT_EQ(tdt->firstBytes, tdt1);
  EXPECT_EQ(tdt->bytes, tdt2);

  // A PMT naming a splice_info stream, an MGT naming tables: their PIDs are asked for, once.
  const Bytes pmt = Pmt(1, 0x100, {{0x86, 0x123, {}}, {0x1B, 0x100, {}}});
  collector.OnSection(0x1000, pmt.data(), pmt.size(), 30000);
  collector.OnSection(0x1000, pmt.data(), pmt.size(), 31000);
  const Bytes mgt = LongSection(0xC7, 0, 0, 0, 0,
                                Cat({{0x00}, U16(1), U16(0x0100), U16(0xFD00), {0xC0}, U32(100), {0xF0, 0x00}, {0xF0, 0x00}}));
  collector.OnSection(0x1FFB, mgt.data(), mgt.size(), 32000);
  EXPECT_EQ(asked, (std::vector<int>{0x123, 0x1D00}));
}

TEST(SiCollector, BoundedMemory) {
  SiLimits limits;
  limits.maxSections = 3;
  limits.maxSpliceSections = 2;
  SiCollector collector({}, limits);
  for (int version = 0; version < 10; ++version) {
    const Bytes s = LongSection(0x4E, 1, version, 0, 1, Cat({U16(1), U16(1), {0, 0x4E}}));
    collector.OnSection(0x12, s.data(), s.size(), static_cast<uint64_t>(version) * 188);
  }
  EXPECT_EQ(collector.Sections().size(), 3u);
  EXPECT_EQ(collector.SectionsNotKept(), 7u);
  EXPECT_EQ(collector.Tables().at(SiTableKey{0x12, 0x4E, 1, 0x00010001}).count, 10u);  // still counted
}

}  // namespace

namespace {

Bytes Mss(const std::string& text) {
  return Cat({{0x01}, Text("eng"), {0x01, 0x00, 0x00, static_cast<uint8_t>(text.size())}, Text(text)});
}

SiJson DecodeOne(int pid, const Bytes& section, bool atsc) {
  SiCollector collector({});
  collector.OnSection(pid, section.data(), section.size(), 0);
  const std::vector<const SiSection*> sections = collector.Sections();
  if (sections.size() != 1) return {{"not_kept", true}};
  SiDecodeContext context;
  context.atsc = atsc;
  return DecodeSiSection(*sections[0], context);
}

TEST(SiTables, DecodeIntoNamedFields) {
  const Bytes splice = ShortSection(
      0xFC,
      Cat({{0x00, 0x00}, U32(0), {0x00, 0xFF, 0xF0, 0x14, 0x05}, U32(0x4800008F), {0x7F, 0xEF},
           {0xFF, 0x23, 0x45, 0x67, 0x89}, {0xFE, 0x00, 0x52, 0x65, 0xC0}, U16(1), {0x00, 0x00}, U16(0)}),
      true);
  const Bytes mss = Mss("US");
  const Bytes rrt = LongSection(
      0xCA, 0xFF01, 0, 0, 0,
      Cat({{0x00, static_cast<uint8_t>(mss.size())}, mss, {0x01, static_cast<uint8_t>(Mss("MPAA").size())}, Mss("MPAA"),
           {0xF1, static_cast<uint8_t>(Mss("G").size())}, Mss("G"), {static_cast<uint8_t>(Mss("General").size())},
           Mss("General"), {0xFC, 0x00}}));
  struct Case {
    const char* what;
    int pid;
    Bytes section;
    bool atsc;
    const char* path;
    SiJson expected;
  } cases[] = {
      {"CAT", 0x01, LongSection(0x01, 0xFFFF, 0, 0, 0, Descriptor(0x09, Cat({U16(0x0B00), U16(0xE0C8)}))), false,
       "/descriptors/0/ca_system_id", 0x0B00},
      {"BAT", 0x11,
       LongSection(0x4A, 0x1234, 0, 0, 0,
                   Cat({Loop(Descriptor(0x47, Text("Bouquet"))), Loop(Cat({U16(1), U16(2), Loop(Descriptor(0x41, {0x00, 0x07, 0x01}))}))})),
       false, "/transport_streams/0/descriptors/0/services/0/service_id", 7},
      {"RST", 0x13, ShortSection(0x71, Cat({U16(1), U16(2), U16(3), U16(4), {0xFC}}), false), false,
       "/events/0/running_status", 4},
      {"TOT time", 0x14,
       ShortSection(0x73, Cat({DvbTime(12, 0, 0), Loop(Descriptor(0x58, Cat({Text("DEU"), {0x02, 0x01, 0x00}, DvbTime(1, 0, 0), {0x02, 0x00}})))}), true),
       false, "/utc", "2026-12-07T12:00:00Z"},
      {"TOT local time offset", 0x14,
       ShortSection(0x73, Cat({DvbTime(12, 0, 0), Loop(Descriptor(0x58, Cat({Text("DEU"), {0x02, 0x01, 0x00}, DvbTime(1, 0, 0), {0x02, 0x00}})))}), true),
       false, "/descriptors/0/offsets/0/country", "DEU"},
      {"TDT", 0x14, ShortSection(0x70, DvbTime(23, 59, 59), false), false, "/utc", "2026-12-07T23:59:59Z"},
      {"splice_insert event", 0x123, splice, false, "/command/splice_event_id", 0x4800008F},
      {"splice_insert time", 0x123, splice, false, "/command/splice_time/pts_time", (uint64_t{1} << 32) | 0x23456789},
      {"splice_insert break", 0x123, splice, false, "/command/break_duration_90khz", 5400000},
      {"RRT value", 0x1FFB, rrt, true, "/dimensions/0/values/0/value/0/text", "General"},
      {"RRT region", 0x1FFB, rrt, true, "/rating_region_name/0/text", "US"},
      // U+1F4FA as a surrogate pair, then a lone high surrogate.
      {"TVCT short_name beyond the BMP", 0x1FFB,
       LongSection(0xC8, 1, 0, 0, 0,
                   Cat({{0x00, 0x01}, U16('T'), U16(0xD83D), U16(0xDCFA), U16(0xD83D), U16(0), U16(0), U16(0),
                        {0xF0, 0x1C, 0x01, 0x04}, U32(0), U16(1), U16(1), {0x0D, 0xC2}, U16(5), {0xFC, 0x00}, {0xFC, 0x00}})),
       true, "/channels/0/short_name", "T\xF0\x9F\x93\xBA\\x3D"},
      {"a private table stays hex", 0x500, LongSection(0x90, 1, 0, 0, 0, {0xAB}), false, "/hex",
       SiHex(LongSection(0x90, 1, 0, 0, 0, {0xAB}).data(), 13)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const SiJson j = DecodeOne(c.pid, c.section, c.atsc);
    const SiJson::json_pointer pointer(c.path);
    ASSERT_TRUE(j.contains(pointer)) << j.dump();
    EXPECT_EQ(j[pointer], c.expected) << j.dump();
  }
  EXPECT_EQ(SiTableName(0x12, 0x5F), "EIT schedule actual");
  EXPECT_EQ(SiTableName(0x12, 0x61), "EIT schedule other");
}

}  // namespace

namespace {

TEST(SiTables, DamagedSectionsWithARightCrcAreReadSafely) {
  // The engine passes on any section whose CRC_32 is right, so the decoders
  // (libdvbpsi's and ours) meet lengths that lie. Each byte of each section
  // is changed in turn and the CRC_32 made right again.
  const Bytes mss = Cat({{0x01}, Text("eng"), {0x01, 0x00, 0x00, 0x02}, Text("Hi")});
  const std::vector<std::pair<Bytes, bool>> sections = {
      {Pmt(1, 0x100, {{0x06, 0x101, Cat({Descriptor(0x6A, {0x00}), Descriptor(0x0A, Cat({Text("deu"), {0}}))})},
                      {0x06, 0x102, Descriptor(0x59, Cat({Text("eng"), {0x10}, U16(1), U16(1)}))}}),
       false},
      {LongSection(0x42, 1, 0, 0, 0, Cat({U16(2), {0xFF}, U16(1), {0xFC}, Loop(Descriptor(0x48, Cat({{0x01, 1}, Text("P"), {1}, Text("N")})))})),
       false},
      {LongSection(0x40, 1, 0, 0, 0,
                   Cat({Loop(Descriptor(0x40, Text("Net"))),
                        Loop(Cat({U16(1), U16(2), Loop(Cat({Descriptor(0x41, {0, 1, 1}), Descriptor(0x83, Cat({U16(1), U16(0xFC01)}))}))}))})),
       false},
      {LongSection(0x4E, 1, 0, 0, 0,
                   Cat({U16(1), U16(2), {0, 0x4E}, U16(1), DvbTime(1, 0, 0), {0, 1, 0},
                        Loop(Cat({Descriptor(0x4D, Cat({Text("eng"), {1}, Text("T"), {1}, Text("x")})),
                                  Descriptor(0x4E, Cat({{0x00}, Text("eng"), {4, 1}, Text("a"), {1}, Text("b"), {1}, Text("c")})),
                                  Descriptor(0x54, {0x10, 0}), Descriptor(0x55, Cat({Text("GBR"), {5}}))}))})),
       false},
      {ShortSection(0x73, Cat({DvbTime(1, 0, 0), Loop(Descriptor(0x58, Cat({Text("DEU"), {0x02, 0x01, 0x00}, DvbTime(1, 0, 0), {2, 0}})))}), true),
       false},
      {LongSection(0xC8, 1, 0, 0, 0,
                   Cat({{0x00, 0x01}, Bytes(14, 0x41), {0xF0, 0x1C, 0x01, 0x04}, U32(0), U16(1), U16(3), {0x4D, 0xC2}, U16(5),
                        {0xFC, 0x09}, Descriptor(0xA0, Cat({{0x01}, Text("eng"), {0x01, 0x00, 0x00, 0x01}, Text("K")})), {0xFC, 0x00}})),
       true},
      {LongSection(0xCB, 5, 0, 0, 0,
                   Cat({{0x00, 0x01}, U16(0xC001), U32(1000), {0xD0, 0x07, 0x08}, {static_cast<uint8_t>(mss.size())}, mss,
                        {0xF0, 0x05}, Descriptor(0x87, {0xC1, 0x01, 0x01, 0x00, 0xF4, 0x00})})),
       true},
      {LongSection(0xCC, 0, 0, 0, 0, Cat({{0x00}, U32(0x50001E), mss})), true},
      {ShortSection(0xFC, Cat({{0x00, 0x00}, U32(0), {0x00, 0xFF, 0xF0, 0x0B, 0x05}, U32(1), {0x7F, 0xCF}, {0xFE, 0, 0, 0, 1},
                               U16(1), {0, 0}, U16(2), {0x01, 0x00}}),
                    true),
       false},
  };
  for (const auto& [original, atsc] : sections) {
    for (size_t at = 1; at + 4 < original.size(); ++at) {
      for (uint8_t change : {0x01, 0x0F, 0x80, 0xFF}) {
        Bytes damaged(original.begin(), original.end() - 4);
        damaged[at] ^= change;
        AppendCrc(damaged);
        SiCollector collector({});
        collector.OnSection(0x100, damaged.data(), damaged.size(), 0);
        for (const SiSection* s : collector.Sections()) {
          SiDecodeContext context;
          context.atsc = atsc;
          const SiJson j = DecodeSiSection(*s, context);
          EXPECT_TRUE(j.is_object());
        }
      }
    }
  }
}

}  // namespace
