// The PAT, PMT and SDT stages on synthetic streams: assembly, chaining,
// completion and the cases the stages must get right.
#include <gtest/gtest.h>

#include "analysis/engine/reports.h"
#include "tests/analysis/psi_test_support.h"

using namespace tsbuild;

namespace {

Bytes PatPackets(const std::vector<PatEntry>& entries, int sectionNumber = 0, int lastSection = 0) {
  return SectionPackets(0x0000, PatSection(1, entries, sectionNumber, lastSection));
}

// The bytes a stage collects from a one-packet section: the payload after
// the pointer_field, stuffing included.
Bytes CollectedAfterPointer(const Bytes& packet) { return Bytes(packet.begin() + 5, packet.end()); }

}  // namespace

TEST_F(PsiStageTest, PatCarriedByOnePacketIsDecodedFromThatPacket) {
  const std::vector<PatEntry> entries{{0, 0x0010}, {101, 0x0100}, {102, 0x0101}};
  TsStreamBuilder stream;
  stream.NullPackets(3).Section(0x0000, PatSection(1, entries)).NullPackets(3);
  OpenStream(stream.bytes());
  EXPECT_EQ(AnalysePat(), 1) << "the only PAT packet completes the table";
  EXPECT_EQ(bPatDone, 1);
  EXPECT_EQ(ProgramTableSummary(),
            (std::vector<ProgramSummary>{{.number = 101, .pmtPid = 0x100},
                                         {.number = 102, .pmtPid = 0x101}}));
  ASSERT_NE(PatSectionList, nullptr);
  ASSERT_EQ(PatSectionList->size(), 1u);
  const Bytes collected = CollectedAfterPointer(PatPackets(entries));
  EXPECT_EQ((*PatSectionList)[0].text, BuildSectionHexText(collected.data(), 183))
      << "the bytes collected for the section, stuffing included";
  EXPECT_EQ((*PatSectionList)[0].last_section_number, 0);
  EXPECT_TRUE(hooks.Messages().empty());

  // The stage ended on the packet that completed the table: the PMT stage
  // goes on from the packet behind it.
  EXPECT_EQ(nBlockOffset, 4 * kPacketSize);
  // A completed PAT is not scanned again.
  Restart();
  EXPECT_EQ(AnalysePat(), 1);
  EXPECT_EQ(nBlockOffset, 0);
}

TEST_F(PsiStageTest, PatOfTwoSectionsIsDoneWithTheSecond) {
  const Bytes section0 = PatPackets({{1, 0x100}, {2, 0x101}}, 0, 1);
  const Bytes section1 = PatPackets({{3, 0x102}}, 1, 1);
  Bytes stream = section0;
  Append(stream, section1);
  OpenStream(stream);
  EXPECT_EQ(AnalysePat(), 1);
  EXPECT_EQ(nProgramCount, 3);
  EXPECT_EQ(ProgramTable[2].program_number, 3);
  ASSERT_NE(PatSectionList, nullptr);
  ASSERT_EQ(PatSectionList->size(), 2u);
  const Bytes collected0 = CollectedAfterPointer(section0);
  const Bytes collected1 = CollectedAfterPointer(section1);
  EXPECT_EQ((*PatSectionList)[0].text, BuildSectionHexText(collected0.data(), 183))
      << "entry 0 holds section 0 with the stuffing behind it";
  EXPECT_EQ((*PatSectionList)[1].text, BuildSectionHexText(collected1.data(), 183));
  EXPECT_EQ((*PatSectionList)[1].last_section_number, 1);
}

TEST_F(PsiStageTest, SectionsPackedIntoOnePacketAreEachDecoded) {
  // Both PAT sections in one packet, nothing behind: the PAT is complete.
  Bytes sections = PatSection(1, {{1, 0x100}}, 0, 1);
  Append(sections, PatSection(1, {{2, 0x100}}, 1, 1));
  // PMTs of two programs on one PID, the second one starting inside the
  // packet that ends the first, a packet without payload_unit_start.
  std::vector<PmtStream> manyStreams;
  for (int i = 0; i < 40; ++i) manyStreams.push_back({0x04, 0x210 + i});
  Bytes pmts = PmtSection(1, 0x200, manyStreams);
  ASSERT_GT(pmts.size(), 184u);
  Append(pmts, PmtSection(2, 0x300, {{0x02, 0x300}, {0x03, 0x301}}));
  TsStreamBuilder stream;
  stream.Section(0x0000, sections).Section(0x0100, pmts).NullPackets(2);
  OpenStream(stream.bytes());
  EXPECT_EQ(AnalysePmt(), 1);
  const auto programs = ProgramTableSummary();
  ASSERT_EQ(programs.size(), 2u);
  EXPECT_EQ(programs[0].audioPids.size(), size_t{kMaxAudioPids});
  EXPECT_EQ(programs[1], (ProgramSummary{.number = 2, .pmtPid = 0x100, .videoPid = 0x300,
                                         .audioPids = {0x301}}));
  EXPECT_NE(pbCursor, nullptr) << "done as soon as both PMTs were decoded";
}

TEST_F(PsiStageTest, PatSectionNumbersAboveTheFirstLastSectionNumberAreIgnored) {
  Bytes stream = PatPackets({{1, 0x100}}, 0, 1);
  Append(stream, PatPackets({{9, 0x109}}, 2, 2));  // beyond last_section_number 1
  Append(stream, PatPackets({{2, 0x101}}, 1, 1));
  Append(stream, PatPackets({{1, 0x100}}, 0, 1));
  OpenStream(stream);
  EXPECT_EQ(AnalysePat(), 1);
  EXPECT_EQ(ProgramTableSummary(), (std::vector<ProgramSummary>{{.number = 1, .pmtPid = 0x100},
                                                                 {.number = 2, .pmtPid = 0x101}}));
  EXPECT_EQ(PatSectionList->size(), 2u);
}

TEST_F(PsiStageTest, PatOfMoreThanTheTableHoldsKeepsTheFirstPrograms) {
  // Five sections of 250 programs each: 1250 programs for 1024 records.
  Bytes stream;
  for (int s = 0; s < 5; ++s) {
    std::vector<PatEntry> entries;
    for (int i = 0; i < 250; ++i) entries.push_back({s * 250 + i + 1, 0x100 + (i % 16)});
    Append(stream, PatPackets(entries, s, 4));
  }
  Append(stream, PatPackets({{1, 0x100}}, 0, 4));
  OpenStream(stream);
  EXPECT_EQ(AnalysePat(), 1);
  EXPECT_EQ(nProgramCount, kMaxPrograms);
  EXPECT_EQ(ProgramTable[kMaxPrograms - 1].program_number, kMaxPrograms);
}

TEST_F(PsiStageTest, FileWithoutPat) {
  TsStreamBuilder stream;
  stream.NullPackets(10)
      .Section(0x0011, SdtSection(1, 1, {{.serviceId = 5, .name = TextBytes("A")}}))
      .Section(0x0011, SdtSection(1, 1, {{.serviceId = 5, .name = TextBytes("A")}}))
      .NullPackets(50);
  OpenStream(stream.bytes());
  EXPECT_EQ(AnalysePat(), 0);
  EXPECT_EQ(bPatDone, 0);
  EXPECT_EQ(pbCursor, nullptr) << "gave up at the end of the file";

  // The PMT command runs the PAT stage again, then ends done without PIDs.
  Restart();
  EXPECT_EQ(AnalysePmt(), 1);
  EXPECT_EQ(bPatDone, 0);
  EXPECT_EQ(bPmtDone, 1);
  EXPECT_EQ(nProgramCount, 0);

  // With no record to name, the SDT stage ends at the packet that carries
  // the first valid section.
  EXPECT_EQ(AnalyseSdt(), 1);
  EXPECT_EQ(bSdtDone, 1);
  EXPECT_EQ(bSdtExists, 1);
  EXPECT_EQ(nBlockOffset, 11 * kPacketSize);
  EXPECT_TRUE(hooks.Messages().empty());

  BuildPatReport();
  EXPECT_EQ(strPatReport, "Number of program is 0\r\nNo.     p number        mapID\r\n");
  BuildSdtReport();
  EXPECT_EQ(strSdtReport, "SDT exist.\r\n");
}

TEST_F(PsiStageTest, PmtStageFindsVideoAndAudioOfEachProgram) {
  const Bytes pmt101 = PmtSection(
      101, 0x200,
      {{0x03, 0x201}, {0x04, 0x202}, {0x04, 0x203}, {0x03, 0x204}, {0x81, 0x205}, {0x1B, 0x200}});
  const Bytes pmt102 =
      PmtSection(102, 0x300, {{0x02, 0x300}, {0x06, 0x301, Descriptor(0x6A, {0x00})}});
  TsStreamBuilder stream;
  stream.Section(0x0000, PatSection(1, {{101, 0x100}, {102, 0x101}}))
      .Section(0x0000, PatSection(1, {{101, 0x100}, {102, 0x101}}));
  // One program per collection cycle, a cycle taking two start packets of its
  // PID: program 102 is decoded from the third repetition.
  for (int i = 0; i < 3; ++i) stream.Section(0x100, pmt101).Section(0x101, pmt102).NullPackets(2);
  stream.NullPackets(5);
  OpenStream(stream.bytes());
  EXPECT_EQ(AnalysePmt(), 1);
  EXPECT_EQ(bPatDone, 1);
  EXPECT_EQ(bPmtDone, 1);
  EXPECT_EQ(ProgramTableSummary(),
            (std::vector<ProgramSummary>{
                {.number = 101, .pmtPid = 0x100, .videoPid = 0x200,
                 .audioPids = {0x201, 0x202, 0x203, 0x204}},
                {.number = 102, .pmtPid = 0x101, .videoPid = 0x300, .audioPids = {0x301}}}));
  EXPECT_EQ(ProgramTable[0].stage_done, 0) << "cleared at the end of the stage";
  EXPECT_EQ(ProgramTable[1].stage_done, 0);
  EXPECT_NE(pbCursor, nullptr) << "ended as soon as every program was decoded";
}

TEST_F(PsiStageTest, PmtStageGoesRoundOnceMoreForPmtsSentBeforeThePat) {
  const Bytes pmt1 = PmtSection(1, 0x200, {{0x02, 0x200}});
  const Bytes pmt2 = PmtSection(2, 0x300, {{0x02, 0x300}});
  const Bytes pat = PatSection(1, {{1, 0x100}, {2, 0x101}, {3, 0x102}});
  TsStreamBuilder stream;
  stream.Section(0x100, pmt1)  // before the PAT: read on the second round
      .Section(0x0000, pat)
      .Section(0x101, pmt2)
      .NullPackets(2);  // program 3 has no PMT anywhere
  OpenStream(stream.bytes());
  EXPECT_EQ(AnalysePmt(), 1);
  EXPECT_EQ(ProgramTable[0].video_pid, 0x200);
  EXPECT_EQ(ProgramTable[0].pmt_found, 1);
  EXPECT_EQ(ProgramTable[1].video_pid, 0x300);
  EXPECT_EQ(ProgramTable[2].pmt_found, 0);
  EXPECT_EQ(pbCursor, nullptr) << "the second round also ends at the end of the file";
  EXPECT_TRUE(hooks.Messages().empty());
}

TEST_F(PsiStageTest, PmtWithBadCrcIsDecodedFromALaterRepetition) {
  const Bytes good = PmtSection(1, 0x200, {{0x02, 0x200}, {0x03, 0x201}});
  const Bytes bad = WithBrokenCrc(good);
  TsStreamBuilder stream;
  stream.Section(0x0000, PatSection(1, {{1, 0x100}})).Section(0x100, bad);
  OpenStream(stream.bytes());
  AnalysePmt();
  EXPECT_EQ(ProgramTable[0].video_pid, 0);
  EXPECT_EQ(ProgramTable[0].pmt_found, 0);

  stream.Section(0x100, good);
  OpenStream(stream.bytes());
  AnalysePmt();
  EXPECT_EQ(ProgramTableSummary(), (std::vector<ProgramSummary>{
                                       {.number = 1, .pmtPid = 0x100, .videoPid = 0x200,
                                        .audioPids = {0x201}}}));
  EXPECT_EQ(ProgramTable[0].pmt_found, 1);
}

TEST_F(PsiStageTest, ProgramsSharingAPmtPidAreEachDecodedFromTheirOwnSection) {
  Bytes both = PmtSection(2, 0x300, {{0x02, 0x300}});
  Append(both, PmtSection(1, 0x200, {{0x02, 0x200}, {0x04, 0x201}}));
  TsStreamBuilder stream;
  stream.Section(0x0000, PatSection(1, {{1, 0x100}, {2, 0x100}})).Section(0x100, both);
  OpenStream(stream.bytes());
  AnalysePmt();
  EXPECT_EQ(ProgramTableSummary(),
            (std::vector<ProgramSummary>{
                {.number = 1, .pmtPid = 0x100, .videoPid = 0x200, .audioPids = {0x201}},
                {.number = 2, .pmtPid = 0x100, .videoPid = 0x300}}));
}

TEST_F(PsiStageTest, PmtStageRunsOncePerFile) {
  const Bytes pmt = PmtSection(1, 0x200, {{0x02, 0x200}});
  TsStreamBuilder stream;
  stream.Section(0x0000, PatSection(1, {{1, 0x100}, {2, 0x101}}))
      .Section(0x0000, PatSection(1, {{1, 0x100}, {2, 0x101}}))
      .Section(0x100, pmt).Section(0x100, pmt);
  OpenStream(stream.bytes());
  EXPECT_EQ(AnalysePmt(), 1);
  EXPECT_EQ(ProgramTable[0].video_pid, 0x200);
  ProgramTable[0].video_pid = 0;
  Restart();
  EXPECT_EQ(AnalysePmt(), 1);
  EXPECT_EQ(ProgramTable[0].video_pid, 0) << "program 2 stays missing until the state is cleared";
}

namespace {

// PAT and PMTs of programs 101..103, repeated as a broadcast would.
TsStreamBuilder PatAndPmts() {
  TsStreamBuilder stream;
  const Bytes pat = PatSection(1, {{101, 0x100}, {102, 0x101}, {103, 0x102}});
  stream.Section(0x0000, pat).Section(0x0000, pat);
  for (int i = 0; i < 4; ++i)
    for (int p = 0; p < 3; ++p)
      stream.Section(0x100 + p, PmtSection(101 + p, 0x200 + p, {{0x02, 0x200 + p}, {0x03, 0x210 + p}}));
  return stream;
}

}  // namespace

TEST_F(PsiStageTest, SdtSectionsPackedIntoOnePacketAreEachDecoded) {
  Bytes sections = SdtSection(1, 1, {{.serviceId = 101, .provider = TextBytes("P"),
                                      .name = TextBytes("One")}});
  // An SDT of another stream (table_id 0x46) is read with the same layout.
  Append(sections, SdtSection(1, 2, {{.serviceId = 102, .serviceType = 2, .name = TextBytes("Two")}},
                              0x46));
  Append(sections, SdtSection(1, 1, {{.serviceId = 103, .withServiceDescriptor = false}}));
  TsStreamBuilder stream = PatAndPmts();
  stream.Section(0x0011, sections).Section(0x0011, sections).NullPackets(3);
  OpenStream(stream.bytes());
  EXPECT_EQ(AnalyseSdt(), 1);
  EXPECT_EQ(bSdtExists, 1);
  EXPECT_EQ(bSdtDone, 1);
  const auto programs = ProgramTableSummary();
  ASSERT_EQ(programs.size(), 3u);
  EXPECT_EQ(programs[0].name, "One");
  EXPECT_EQ(programs[0].provider, "P");
  EXPECT_EQ(programs[1].name, "Two");
  EXPECT_EQ(programs[1].serviceType, 2);
  EXPECT_EQ(programs[2].name, "") << "no service descriptor";
  EXPECT_EQ(programs[2].serviceType, 0);
  EXPECT_EQ(pbCursor, nullptr) << "program 103 is never named: the stage reads to the end";

  BuildSdtReport();
  EXPECT_EQ(strSdtReport,
            "SDT exist.\r\n"
            "001 \"Video PRG\"  VPID:0x0200 APID:0x0210  \"One\"\r\n"
            "002 \"Audio PRG\"  VPID:0x0201 APID:0x0211  \"Two\"\r\n"
            "003 \"UNTYPE 0\"  VPID:0x0202 APID:0x0212  \"NONAME\"\r\n");
}

TEST_F(PsiStageTest, SdtCarriedByOnePacketAtTheEndNamesThePrograms) {
  TsStreamBuilder stream = PatAndPmts();
  stream.Section(0x0011, SdtSection(1, 1, {{.serviceId = 101, .name = TextBytes("Only")}}));
  OpenStream(stream.bytes());
  AnalyseSdt();
  EXPECT_EQ(bSdtExists, 1);
  EXPECT_EQ(ProgramTableSummary()[0].name, "Only");
}

TEST_F(PsiStageTest, ActualSdtNamesWinOverAnotherStreamsSdt) {
  const Bytes other = SdtSection(0x63, 1, {{.serviceId = 101, .provider = TextBytes("OtherNet"),
                                            .name = TextBytes("WRONG")},
                                           {.serviceId = 102, .name = TextBytes("Elsewhere")}},
                                 0x46);
  const Bytes actual = SdtSection(1, 1, {{.serviceId = 101, .provider = TextBytes("Mine"),
                                          .name = TextBytes("RIGHT")},
                                         {.serviceId = 103, .name = TextBytes("Three")}});
  TsStreamBuilder stream = PatAndPmts();
  stream.Section(0x0011, other).Section(0x0011, actual).Section(0x0011, other);
  OpenStream(stream.bytes());
  AnalyseSdt();
  const auto programs = ProgramTableSummary();
  ASSERT_EQ(programs.size(), 3u);
  EXPECT_EQ(programs[0].name, "RIGHT");
  EXPECT_EQ(programs[0].provider, "Mine");
  EXPECT_EQ(programs[1].name, "Elsewhere") << "no actual SDT names program 102";
  EXPECT_EQ(programs[2].name, "Three");
}

TEST_F(PsiStageTest, AnSdtNotYetInForceNamesNothing) {
  TsStreamBuilder stream = PatAndPmts();
  stream
      .Section(0x0011, LongSection({.tableId = 0x42, .tableIdExtension = 1, .currentNext = 0},
                                   SdtBody(1, {{.serviceId = 101, .name = TextBytes("Next")},
                                               {.serviceId = 102, .name = TextBytes("Next")}})))
      .Section(0x0011, SdtSection(1, 1, {{.serviceId = 101, .name = TextBytes("Now")}}));
  OpenStream(stream.bytes());
  AnalyseSdt();
  const auto programs = ProgramTableSummary();
  ASSERT_EQ(programs.size(), 3u);
  EXPECT_EQ(programs[0].name, "Now");
  EXPECT_EQ(programs[1].name, "");
}

TEST_F(PsiStageTest, SdtTailBeforeThePointerCompletesTheSection) {
  // A section longer than one packet whose end sits in the next start packet,
  // before its pointer_field; a second section starts behind the tail.
  std::vector<SdtService> services;
  for (int p = 0; p < 2; ++p)
    services.push_back({.serviceId = 101 + p, .name = TextBytes(std::string(90, char('A' + p)))});
  const Bytes first = SdtSection(1, 1, services);
  ASSERT_GT(first.size(), 183u);
  const Bytes head(first.begin(), first.begin() + 183);
  const Bytes tail(first.begin() + 183, first.end());
  const Bytes second = SdtSection(1, 1, {{.serviceId = 103, .name = TextBytes("C")}});

  TsStreamBuilder stream = PatAndPmts();
  stream.Packet({.pid = 0x0011, .pusi = 1}, [&] {
    Bytes payload{0x00};
    Append(payload, head);
    return payload;
  }());
  stream.Raw(SectionPackets(0x0011, second, 1, static_cast<int>(tail.size()), tail));
  stream.Section(0x0011, second);
  OpenStream(stream.bytes());
  AnalyseSdt();
  const auto programs = ProgramTableSummary();
  ASSERT_EQ(programs.size(), 3u);
  EXPECT_EQ(programs[0].name, std::string(90, 'A'));
  EXPECT_EQ(programs[1].name, std::string(90, 'B'));
  EXPECT_EQ(programs[2].name, "C");
}

TEST_F(PsiStageTest, SdtStageRestartsTheFileAndRunsTheEarlierStages) {
  TsStreamBuilder stream;
  const Bytes sdt = SdtSection(1, 1, {{.serviceId = 101, .name = TextBytes("Early")}});
  stream.Section(0x0011, sdt).Section(0x0011, sdt);  // before the PAT
  const TsStreamBuilder tables = PatAndPmts();
  stream.Raw(tables.bytes());
  OpenStream(stream.bytes());
  EXPECT_EQ(AnalyseSdt(), 1);
  EXPECT_EQ(bPatDone, 1);
  EXPECT_EQ(bPmtDone, 1);
  EXPECT_EQ(bSdtDone, 1);
  EXPECT_EQ(ProgramTableSummary()[0].name, "Early");
  EXPECT_EQ(ProgramTableSummary()[2].videoPid, 0x202);
}

TEST_F(PsiStageTest, SdtSectionsFailingTheirChecksAreIgnored) {
  const Bytes named = SdtSection(1, 1, {{.serviceId = 101, .name = TextBytes("X")}});
  const Bytes noSyntax =
      LongSection({.tableId = 0x42, .tableIdExtension = 1, .syntaxIndicator = 0},
                  SdtBody(1, {{.serviceId = 101, .name = TextBytes("Z")}}));
  TsStreamBuilder stream = PatAndPmts();
  stream.Section(0x0011, WithBrokenCrc(named))
      .Section(0x0011, SdtSection(1, 1, {{.serviceId = 101, .name = TextBytes("Y")}}, 0x4A))  // a BAT
      .Section(0x0011, noSyntax)
      .Section(0x0011, WithBrokenCrc(named));
  OpenStream(stream.bytes());
  AnalyseSdt();
  EXPECT_EQ(bSdtExists, 0);
  EXPECT_EQ(bSdtDone, 1);
  EXPECT_EQ(ProgramTableSummary()[0].name, "");
}
