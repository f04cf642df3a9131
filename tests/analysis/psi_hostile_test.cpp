// The stages on streams built to mislead them: length fields and pointers
// past the data, adaptation fields that leave no payload, and streams
// damaged at random. Nothing may be read or written outside the section
// buffer, the section or the table (the sanitizer builds check that), and the
// good tables around the damage still decode.
#include <gtest/gtest.h>

#include <random>

#include "analysis/engine/reports.h"
#include "tests/analysis/psi_test_support.h"

using namespace tsbuild;

namespace {

const std::vector<PatEntry> kPrograms{{1, 0x100}};
const Bytes kPmt = PmtSection(1, 0x200, {{0x02, 0x200}, {0x04, 0x201}});
const Bytes kSdt = SdtSection(1, 1, {{.serviceId = 1, .name = TextBytes("Good")}});

// Good PAT, PMT and SDT, each repeated so that its stage completes.
void AppendGoodTables(TsStreamBuilder& stream) {
  stream.Section(0, PatSection(1, kPrograms)).Section(0, PatSection(1, kPrograms));
  stream.Section(0x100, kPmt).Section(0x100, kPmt);
  stream.Section(0x11, kSdt).Section(0x11, kSdt);
}

const std::vector<ProgramSummary> kGoodTable{
    {.number = 1, .pmtPid = 0x100, .videoPid = 0x200, .audioPids = {0x201}, .serviceType = 1,
     .name = "Good"}};

}  // namespace

TEST_F(PsiStageTest, AdaptationFieldsLeavingNoPayloadAreSkipped) {
  TsStreamBuilder stream;
  for (int pid : {0x0000, 0x0100, 0x0011}) {
    // Lengths 183 and above leave no byte for a pointer_field; 182 leaves the
    // pointer_field alone.
    for (int length : {182, 183, 184, 200, 255})
      stream.Packet({.pid = pid, .pusi = 1, .afc = 3, .adaptationLength = length}, {0x00});
    stream.Packet({.pid = pid, .pusi = 1, .afc = 2});
    stream.Packet({.pid = pid, .pusi = 1, .afc = 0}, {0x00});
  }
  AppendGoodTables(stream);
  OpenStream(stream.bytes());
  AnalyseSdt();
  EXPECT_EQ(ProgramTableSummary(), kGoodTable);
}

TEST_F(PsiStageTest, PointerFieldsPastThePayloadAreClamped) {
  TsStreamBuilder stream;
  // A start packet whose pointer runs past the payload ends the section being
  // collected without starting a new one.
  stream.Raw(SectionPackets(0x0000, PatSection(1, kPrograms), 0, 255));
  stream.Section(0, PatSection(1, kPrograms)).Section(0, PatSection(1, kPrograms));
  stream.Section(0x100, kPmt).Raw(SectionPackets(0x100, kPmt, 0, 200));
  stream.Section(0x100, kPmt).Section(0x100, kPmt);
  stream.Section(0x11, kSdt).Raw(SectionPackets(0x11, kSdt, 0, 250));
  stream.Section(0x11, kSdt).Section(0x11, kSdt);
  OpenStream(stream.bytes());
  AnalyseSdt();
  EXPECT_EQ(ProgramTableSummary(), kGoodTable);
}

TEST_F(PsiStageTest, SectionLengthsPastTheCollectedBytesAreNotDecoded) {
  auto withLength = [](Bytes section, int length) {
    section[1] = static_cast<uint8_t>((section[1] & 0xF0) | ((length >> 8) & 0x0F));
    section[2] = static_cast<uint8_t>(length & 0xFF);
    return section;
  };
  TsStreamBuilder stream;
  // section_length 0xFFF: longer than anything collected; 0: too short to
  // hold a table. Neither is decoded, the good tables behind them are.
  for (int length : {0xFFF, 0x3FD, 0, 1}) {
    stream.Section(0, withLength(PatSection(1, {{9, 0x109}}), length));
    stream.Section(0x11, withLength(SdtSection(1, 1, {{.serviceId = 1, .name = TextBytes("Bad")}}),
                                    length));
  }
  AppendGoodTables(stream);
  OpenStream(stream.bytes());
  AnalyseSdt();
  EXPECT_EQ(ProgramTableSummary(), kGoodTable);
}

TEST_F(PsiStageTest, SectionsLongerThanTheBufferAreDropped) {
  // A PAT of 900 programs in one section (3,612 bytes) never fits the
  // 2,048-byte buffer; the packets that would overflow it are dropped.
  std::vector<PatEntry> many;
  for (int i = 0; i < 900; ++i) many.push_back({i + 1, 0x100 + (i % 64)});
  TsStreamBuilder stream;
  stream.Section(0, PatSection(1, many)).Section(0, PatSection(1, many));
  AppendGoodTables(stream);
  OpenStream(stream.bytes());
  AnalyseSdt();
  EXPECT_EQ(ProgramTableSummary(), kGoodTable);
}

TEST_F(PsiStageTest, RandomlyDamagedStreamsNeverBreakTheStages) {
  // Damage hits the first copy of the tables only; two null packets let the
  // packet finder regain sync before the intact second copy, which must
  // still decode.
  TsStreamBuilder good;
  AppendGoodTables(good);
  const size_t damagedSize = good.size();
  good.NullPackets(2);
  AppendGoodTables(good);
  std::mt19937 random(20240611);
  for (int round = 0; round < 300; ++round) {
    Bytes bytes = good.bytes();
    const int flips = 1 + static_cast<int>(random() % 24);
    for (int i = 0; i < flips; ++i) {
      const size_t at = random() % damagedSize;
      // Mostly header and length bytes are worth hitting: bias towards the
      // first bytes of packets.
      const size_t target = (random() % 2) ? at - at % kPacketSize + random() % 12 : at;
      bytes[std::min(target, damagedSize - 1)] = static_cast<uint8_t>(random());
    }
    OpenStream(bytes);
    AnalyseSdt();
    BuildPatReport();
    BuildSdtReport();
    BuildSdtDisplayReport();
    ASSERT_LE(nProgramCount, kMaxPrograms);
    for (int i = 0; i < nProgramCount; ++i) {
      ASSERT_LE(ProgramTable[i].audio_count, kMaxAudioPids);
      BuildProgramDetailText(ProgramTable[i]);
    }
    ASSERT_EQ(ProgramTableSummary(), kGoodTable) << "round " << round;
  }
  EXPECT_TRUE(hooks.Messages().empty());
}
