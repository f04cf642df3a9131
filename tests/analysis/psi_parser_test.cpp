// CheckSectionCrc and the three table parsers on hand-built sections. Every
// section is handed over in a buffer of exactly its size, so a read past the
// section shows up under the address sanitizer.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "analysis/engine/psi.h"
#include "tests/support/ts_builder.h"

using namespace tsbuild;

namespace {

// The body the parsers receive (the bytes after section_length) in a buffer
// of exactly section_length bytes.
struct SectionBody {
  explicit SectionBody(const Bytes& section)
      : bytes(section.begin() + 3, section.end()), length(static_cast<int>(bytes.size())) {}
  std::vector<uint8_t> bytes;
  int length;
};

ProgramRecord ZeroRecord() {
  ProgramRecord record;
  std::memset(&record, 0, sizeof(record));
  return record;
}

std::vector<int> AudioPids(const ProgramRecord& record) {
  return std::vector<int>(record.audio_pids, record.audio_pids + record.audio_count);
}

ProgramRecord ParsePmt(const Bytes& section) {
  SectionBody body(section);
  ProgramRecord record = ZeroRecord();
  ParsePmtStreams(body.bytes.data(), body.length, record);
  return record;
}

// Sets section_length of a built section (and nothing else).
void SetSectionLength(Bytes& section, int length) {
  section[1] = static_cast<uint8_t>((section[1] & 0xF0) | ((length >> 8) & 0x0F));
  section[2] = static_cast<uint8_t>(length & 0xFF);
}

}  // namespace

TEST(SectionCrc, AcceptsSectionsWithTheirCrcAndRejectsAnyChangedByte) {
  Bytes check = TextBytes("123456789");
  for (uint8_t b : {0x03, 0x76, 0xE6, 0xE7}) check.push_back(b);  // CRC-32/MPEG-2 of "123456789"
  EXPECT_EQ(CheckSectionCrc(check.data(), static_cast<int>(check.size())), 1);

  Bytes pat = PatSection(1, {{0, 0x10}, {1, 0x100}});
  EXPECT_EQ(CheckSectionCrc(pat.data(), static_cast<int>(pat.size())), 1);
  for (size_t i = 0; i < pat.size(); ++i) {
    Bytes damaged = pat;
    damaged[i] ^= 0x01;
    EXPECT_EQ(CheckSectionCrc(damaged.data(), static_cast<int>(damaged.size())), 0) << "byte " << i;
  }
  EXPECT_EQ(CheckSectionCrc(pat.data(), static_cast<int>(pat.size()) - 1), 0);
  EXPECT_EQ(CheckSectionCrc(pat.data(), 0), 0);
  EXPECT_EQ(CheckSectionCrc(nullptr, 12), 0);
}

// Every length, so that each way of ending after the eight-byte steps is
// taken, and a changed bit anywhere.
TEST(SectionCrc, AgreesWithTheBitwiseCrcAtEveryLength) {
  std::mt19937 random(5);
  for (size_t length = 1; length <= 300; ++length) {
    Bytes section(length);
    for (uint8_t& b : section) b = static_cast<uint8_t>(random());
    const uint32_t crc = MpegCrc32(section.data(), section.size());
    for (int shift = 24; shift >= 0; shift -= 8) section.push_back(static_cast<uint8_t>(crc >> shift));
    EXPECT_EQ(CheckSectionCrc(section.data(), static_cast<int>(section.size())), 1) << length;
    section[random() % section.size()] ^= static_cast<uint8_t>(1u << (random() % 8));
    EXPECT_EQ(CheckSectionCrc(section.data(), static_cast<int>(section.size())), 0) << length;
  }
}

TEST(PatParser, ListsProgramsInOrderAndSkipsTheNetworkPid) {
  SectionBody body(PatSection(7, {{1, 0x100}, {0, 0x10}, {0xFFFF, 0x1FFF}, {3, 0x0102}}));
  ProgramRecord table[kMaxPrograms] = {};
  int count = 2;  // appends behind what earlier sections listed
  ParsePatPrograms(body.bytes.data(), body.length, table, count);
  ASSERT_EQ(count, 5);
  EXPECT_EQ(table[2].program_number, 1);
  EXPECT_EQ(table[2].pmt_pid, 0x100);
  EXPECT_EQ(table[3].program_number, 0xFFFF);
  EXPECT_EQ(table[3].pmt_pid, 0x1FFF);
  EXPECT_EQ(table[4].program_number, 3);
  EXPECT_EQ(table[4].pmt_pid, 0x102);
  EXPECT_EQ(table[0].program_number, 0);
}

TEST(PatParser, StopsAtTheTableEnd) {
  SectionBody body(PatSection(1, {{10, 0x100}, {11, 0x101}, {12, 0x102}}));
  static ProgramRecord table[kMaxPrograms + 1];
  std::memset(table, 0, sizeof(table));
  int count = kMaxPrograms - 3;
  bProgramTableFull = 0;
  ParsePatPrograms(body.bytes.data(), body.length, table, count);
  EXPECT_EQ(bProgramTableFull, 0) << "the last record filled: the table is not yet over-full";
  count = kMaxPrograms - 1;
  ParsePatPrograms(body.bytes.data(), body.length, table, count);
  EXPECT_EQ(count, kMaxPrograms);
  EXPECT_EQ(bProgramTableFull, 1) << "two programs were left out";
  EXPECT_EQ(table[kMaxPrograms - 1].program_number, 10);
  EXPECT_EQ(table[kMaxPrograms].program_number, 0) << "wrote past the table";
}

TEST(PmtParser, PicksVideoAndAudioByStreamType) {
  // A later video entry overwrites an earlier one; unknown types are ignored.
  ProgramRecord record = ParsePmt(PmtSection(
      1, 0x100, {{0x01, 0x101}, {0x03, 0x102}, {0x05, 0x103}, {0x02, 0x104}, {0x04, 0x105}}));
  EXPECT_EQ(record.video_pid, 0x104);
  EXPECT_EQ(AudioPids(record), (std::vector<int>{0x102, 0x105}));
}

TEST(PmtParser, CountsTodaysVideoAndAudioStreamTypes) {
  for (int videoType : {0x10, 0x1B, 0x24, 0x42}) {
    ProgramRecord record = ParsePmt(PmtSection(1, 0x100, {{videoType, 0x200}}));
    EXPECT_EQ(record.video_pid, 0x200) << "type " << videoType;
    EXPECT_EQ(record.audio_count, 0);
  }
  // 0x87: enhanced AC-3 as ATSC signals it.
  ProgramRecord record =
      ParsePmt(PmtSection(1, 0x100, {{0x0F, 0x201}, {0x11, 0x202}, {0x87, 0x203}}));
  EXPECT_EQ(record.video_pid, 0);
  EXPECT_EQ(AudioPids(record), (std::vector<int>{0x201, 0x202, 0x203}));
}

TEST(PmtParser, TypeEightyOneOnlyWhileFewerThanFourAudioPids) {
  ProgramRecord record = ParsePmt(PmtSection(
      1, 0x100, {{0x03, 0x201}, {0x04, 0x202}, {0x04, 0x203}, {0x03, 0x204}, {0x81, 0x205}}));
  EXPECT_EQ(AudioPids(record), (std::vector<int>{0x201, 0x202, 0x203, 0x204}));

  record = ParsePmt(PmtSection(1, 0x100, {{0x81, 0x205}, {0x03, 0x201}}));
  EXPECT_EQ(AudioPids(record), (std::vector<int>{0x205, 0x201}));
}

TEST(PmtParser, PrivateStreamsCountAsAudioByTheirDescriptors) {
  const Bytes language = Descriptor(0x0A, TextBytes("ita"));
  Bytes twoAudioTags = Descriptor(0x6A, {0x00});
  Append(twoAudioTags, Descriptor(0x7A, {0x00}));
  ProgramRecord record = ParsePmt(PmtSection(
      1, 0x100,
      {{0x06, 0x301, Descriptor(0x6A, {0x00})},            // AC-3
       {0x06, 0x302, language},                             // teletext-like: no audio tag
       {0x0A, 0x303, Descriptor(0x81, {0x00})},             // ATSC AC-3
       {0x06, 0x304, Descriptor(0x7A, {0x00})},             // enhanced AC-3
       {0x06, 0x305, Descriptor(0x7B, {0x00})},             // DTS
       {0x06, 0x306, Descriptor(0x7C, {0x00, 0x00})},       // AAC
       {0x06, 0x307, twoAudioTags},                         // appended once
       {0x05, 0x308, Descriptor(0x6A, {0x00})}}));          // not a private stream
  EXPECT_EQ(AudioPids(record), (std::vector<int>{0x301, 0x303, 0x304, 0x305, 0x306, 0x307}));
}

TEST(PmtParser, KeepsAtMostThirtyTwoAudioPids) {
  std::vector<PmtStream> streams;
  for (int i = 0; i < 40; ++i) streams.push_back({0x03, 0x400 + i});
  ProgramRecord record = ParsePmt(PmtSection(1, 0x100, streams));
  ASSERT_EQ(record.audio_count, kMaxAudioPids);
  EXPECT_EQ(record.audio_pids[kMaxAudioPids - 1], 0x400 + kMaxAudioPids - 1);
}

TEST(PmtParser, LengthsPointingPastTheSectionAreNotFollowed) {
  // program_info_length past the end: no stream is read.
  Bytes section = PmtSection(1, 0x100, {{0x02, 0x200}, {0x03, 0x201}});
  section[11] = 0x0F;
  section[12] = 0xFF;
  EXPECT_EQ(ParsePmt(section).video_pid, 0);
  EXPECT_EQ(ParsePmt(section).audio_count, 0);

  // ES_info_length of the last stream past the end: its descriptors are
  // walked up to the CRC_32 and no further.
  auto withLongEsInfo = [](const Bytes& lastEsInfo) {
    Bytes section = PmtSection(1, 0x100, {{0x02, 0x200}, {0x06, 0x201, lastEsInfo}});
    const size_t esInfoLengthAt = section.size() - 4 - lastEsInfo.size() - 2;
    section[esInfoLengthAt] = 0xFF;
    section[esInfoLengthAt + 1] = 0xFF;
    return section;
  };
  ProgramRecord record = ParsePmt(withLongEsInfo(Descriptor(0x6A, {0x00})));
  EXPECT_EQ(record.video_pid, 0x200);
  EXPECT_EQ(AudioPids(record), std::vector<int>{0x201});
  record = ParsePmt(withLongEsInfo(Bytes{0x6A, 0x03, 0x00}));
  EXPECT_EQ(record.video_pid, 0x200);
  EXPECT_EQ(record.audio_count, 0) << "a descriptor reaching into the CRC_32 does not count";

  // A descriptor whose length runs out of its ES_info does not count either.
  record = ParsePmt(PmtSection(1, 0x100, {{0x06, 0x201, Bytes{0x6A, 0x09, 0x00}}, {0x02, 0x200}}));
  EXPECT_EQ(record.audio_count, 0);
  EXPECT_EQ(record.video_pid, 0x200);

  // section_length too small for the fixed fields: nothing read.
  ProgramRecord untouched = ZeroRecord();
  std::vector<uint8_t> tiny(6, 0xFF);
  ParsePmtStreams(tiny.data(), static_cast<int>(tiny.size()), untouched);
  EXPECT_EQ(untouched.audio_count, 0);
  EXPECT_EQ(untouched.video_pid, 0);
}

TEST(PmtParser, EntryCutByTheCrcIsNotRead) {
  // The entry's first byte lies before the CRC_32 but its fixed five bytes
  // would come from the CRC_32: no stream is made of them.
  Bytes section = PmtSection(1, 0x100, {{0x02, 0x200}});
  const Bytes shortEntry{0x1B, 0xE3};  // two bytes of a stream entry
  section.insert(section.end() - 4, shortEntry.begin(), shortEntry.end());
  SetSectionLength(section, static_cast<int>(section.size()) - 3);
  ProgramRecord record = ParsePmt(section);
  EXPECT_EQ(record.video_pid, 0x200) << "the video PID of the whole entry stays";
}

TEST(PatParser, EntryCutByTheCrcIsNotRead) {
  // Six entry bytes: one whole entry, then two bytes whose entry would end
  // in the CRC_32.
  Bytes body = PatBody({{1, 0x50}});
  body.push_back(0x00);
  body.push_back(0x07);
  const Bytes section = LongSection({.tableId = 0x00, .tableIdExtension = 1}, body);
  ProgramRecord table[4] = {};
  int count = 0;
  ParsePatPrograms(section.data() + 3, static_cast<int>(section.size()) - 3, table, count);
  ASSERT_EQ(count, 1);
  EXPECT_EQ(table[0].program_number, 1);
  EXPECT_EQ(table[0].pmt_pid, 0x50);
}

namespace {

struct SdtFixture : ::testing::Test {
  void SetUp() override {
    std::memset(table, 0, sizeof(table));
    table[0].program_number = 101;
    table[1].program_number = 102;
    table[2].program_number = 103;
  }
  void Parse(const Bytes& section, int count = 3) {
    SectionBody body(section);
    ParseSdtServices(body.bytes.data(), body.length, table, count);
  }
  ProgramRecord table[kMaxPrograms];
};

}  // namespace

TEST_F(SdtFixture, NamesMatchingRecordsByteForByte) {
  Parse(SdtSection(1, 1,
                   {{.serviceId = 103, .serviceType = 2, .provider = TextBytes("\x03" "DVB"),
                     .name = TextBytes("\x04P1.1")},
                    {.serviceId = 999, .name = TextBytes("Unlisted")},
                    {.serviceId = 101, .serviceType = 0x19, .provider = {}, .name = TextBytes("HD")}}));
  EXPECT_EQ(table[2].service_type, 2);
  EXPECT_STREQ(table[2].service_name, "\x04P1.1");
  EXPECT_STREQ(table[2].provider_name, "\x03" "DVB");
  EXPECT_EQ(table[2].stage_done, 1);
  EXPECT_EQ(table[0].service_type, 0x19);
  EXPECT_STREQ(table[0].service_name, "HD");
  EXPECT_STREQ(table[0].provider_name, "");
  EXPECT_EQ(table[1].stage_done, 0);
  EXPECT_STREQ(table[1].service_name, "");
}

TEST_F(SdtFixture, ActualSdtReplacesNamesFromAnotherStreamsSdtButNotTheReverse) {
  const Bytes other = SdtSection(0x63, 1, {{.serviceId = 101, .provider = TextBytes("OtherNet"),
                                            .name = TextBytes("WRONG")},
                                           {.serviceId = 102, .name = TextBytes("Elsewhere")}},
                                 0x4A);
  const Bytes actual = SdtSection(1, 1, {{.serviceId = 101, .provider = TextBytes("Mine"),
                                          .name = TextBytes("RIGHT")}});
  SectionBody otherBody(other);
  ParseSdtServices(otherBody.bytes.data(), otherBody.length, table, 3, false);
  EXPECT_STREQ(table[0].service_name, "WRONG");
  EXPECT_EQ(table[0].stage_done, kNamedByOtherSdt);
  Parse(actual);
  EXPECT_STREQ(table[0].service_name, "RIGHT");
  EXPECT_STREQ(table[0].provider_name, "Mine");
  EXPECT_EQ(table[0].stage_done, kNamedByActualSdt);
  ParseSdtServices(otherBody.bytes.data(), otherBody.length, table, 3, false);
  EXPECT_STREQ(table[0].service_name, "RIGHT") << "another stream's SDT never replaces the actual one";
  EXPECT_STREQ(table[1].service_name, "Elsewhere") << "it still names what no actual SDT named";
}

TEST_F(SdtFixture, NamesKeepTheirLengthAcrossZeroBytes) {
  const Bytes ucs2Name{0x11, 0x00, 'T', 0x00, 'V'};
  Parse(SdtSection(1, 1, {{.serviceId = 101, .provider = TextBytes("Pro"), .name = ucs2Name}}));
  ASSERT_EQ(table[0].service_name_length, 5);
  EXPECT_EQ(Bytes(table[0].service_name, table[0].service_name + 5), ucs2Name);
  EXPECT_EQ(table[0].provider_name_length, 3);
}

TEST_F(SdtFixture, ServiceWithoutServiceDescriptorStaysUnnamed) {
  Parse(SdtSection(1, 1, {{.serviceId = 101, .withServiceDescriptor = false,
                           .otherDescriptors = Descriptor(0x5F, {0, 0, 0, 1})}}));
  EXPECT_EQ(table[0].service_type, 0);
  EXPECT_STREQ(table[0].service_name, "");
  EXPECT_EQ(table[0].stage_done, 0);
}

TEST_F(SdtFixture, OnlyTheFirstRecordWithTheNumberIsNamedAndOnlyOnce) {
  table[1].program_number = 101;
  Parse(SdtSection(1, 1, {{.serviceId = 101, .name = TextBytes("First")}}));
  Parse(SdtSection(1, 1, {{.serviceId = 101, .name = TextBytes("Again")}}));
  EXPECT_STREQ(table[0].service_name, "First");
  EXPECT_STREQ(table[1].service_name, "");
}

TEST_F(SdtFixture, LaterServiceDescriptorOfTheSameEntryReplacesTheWholeName) {
  Bytes descriptors = ServiceDescriptor(1, TextBytes("Long provider"), TextBytes("Long name"));
  Append(descriptors, ServiceDescriptor(2, TextBytes("P"), TextBytes("N")));
  Parse(SdtSection(1, 1, {{.serviceId = 102, .withServiceDescriptor = false,
                           .otherDescriptors = descriptors}}));
  EXPECT_EQ(table[1].service_type, 2);
  EXPECT_STREQ(table[1].service_name, "N");
  EXPECT_STREQ(table[1].provider_name, "P");
}

TEST_F(SdtFixture, SearchesOnlyTheGivenRecordCount) {
  Parse(SdtSection(1, 1, {{.serviceId = 103, .name = TextBytes("Beyond")}}), 2);
  EXPECT_EQ(table[2].stage_done, 0);
  Parse(SdtSection(1, 1, {{.serviceId = 103, .name = TextBytes("Beyond")}}), kMaxPrograms + 5);
  EXPECT_EQ(table[2].stage_done, 1) << "a count above the table is bounded, not refused";
}

TEST_F(SdtFixture, NameLengthsPastTheDescriptorAreCut) {
  // Service descriptor of length 6: type, provider length 2 "AB", name length
  // 200 with only two bytes "CD" left inside the descriptor.
  Bytes descriptor{0x48, 6, 0x01, 2, 'A', 'B', 200, 'C'};
  Bytes trailing = Descriptor(0x4A, Bytes(10, 'Z'));
  Append(descriptor, trailing);
  Parse(SdtSection(1, 1, {{.serviceId = 101, .withServiceDescriptor = false,
                           .otherDescriptors = descriptor}}));
  EXPECT_STREQ(table[0].provider_name, "AB");
  EXPECT_STREQ(table[0].service_name, "C");
  EXPECT_EQ(table[0].stage_done, 1);

  // Provider length past the descriptor: cut, and no name behind it.
  SetUp();
  Parse(SdtSection(1, 1, {{.serviceId = 102, .withServiceDescriptor = false,
                           .otherDescriptors = Bytes{0x48, 3, 0x02, 50, 'X'}}}));
  EXPECT_EQ(table[1].service_type, 2);
  EXPECT_STREQ(table[1].provider_name, "X");
  EXPECT_STREQ(table[1].service_name, "");

  // Empty service descriptor: no type, no names, but the service is named.
  SetUp();
  Parse(SdtSection(1, 1, {{.serviceId = 103, .withServiceDescriptor = false,
                           .otherDescriptors = Bytes{0x48, 0}}}));
  EXPECT_EQ(table[2].stage_done, 1);
  EXPECT_EQ(table[2].service_type, 0);
}

TEST_F(SdtFixture, DescriptorLoopPastTheSectionIsNotFollowed) {
  Bytes section = SdtSection(1, 1, {{.serviceId = 101, .name = TextBytes("Cut")}});
  // descriptors_loop_length of the only entry (section offsets 14, 15).
  section[14] = static_cast<uint8_t>((section[14] & 0xF0) | 0x0F);
  section[15] = 0xFF;
  Parse(section);
  EXPECT_STREQ(table[0].service_name, "Cut") << "complete descriptors before the CRC still count";

  // A loop whose service descriptor would reach into the CRC_32 is cut there.
  SetUp();
  section = SdtSection(1, 1, {{.serviceId = 101, .name = TextBytes("Cut")}});
  Bytes shortened(section.begin(), section.end() - 4 - 2);  // drop the name's last 2 bytes
  Append(shortened, Bytes(4, 0));
  SetSectionLength(shortened, static_cast<int>(shortened.size()) - 3);
  Parse(shortened);
  EXPECT_EQ(table[0].stage_done, 0) << "an incomplete service descriptor is not read";
}
