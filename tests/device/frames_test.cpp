// Byte-exact request buffers and reply decoding, without a box.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "device/device_protocol.h"

namespace {

std::string Hex(const uint8_t* bytes, size_t count) {
  std::string text;
  char part[4];
  for (size_t i = 0; i < count; ++i) {
    std::snprintf(part, sizeof part, i ? " %02X" : "%02X", bytes[i]);
    text += part;
  }
  return text;
}

TEST(CommandFrames, FixedQueriesAndChecksum) {
  uint8_t frame[9];
  BuildSimpleCommandFrame(kCommandModelCode, frame);
  EXPECT_EQ(Hex(frame, 9), "AA 00 06 00 00 00 00 00 FA");
  BuildSimpleCommandFrame(kCommandSignalStatus, frame);
  EXPECT_EQ(Hex(frame, 9), "AA 00 05 00 00 00 00 00 FB");

  const uint8_t command[7] = {0x00, 0x08, 0x04, 0xE0, 0x10, 0x38, 0xF3};
  EXPECT_EQ(BuildCommandFrame(command, frame), 0xD9);
  unsigned sum = 0;
  for (int i = 1; i < 9; ++i) sum += frame[i];
  EXPECT_EQ(sum % 256, 0u);
  // A zero sum needs no correction: the checksum is 0, not 256.
  const uint8_t zeros[7] = {};
  EXPECT_EQ(BuildCommandFrame(zeros, frame), 0x00);
}

TEST(TuneFrames, CableAndTerrestrialPlainFrames) {
  uint8_t frame[9];
  BuildCableTuneFrame(474000, 6875, 64, frame);
  EXPECT_EQ(Hex(frame, 9), "00 07 3B 90 1A DB 00 40 F9");
  BuildCableTuneFrame(474000, 6875, 256, frame);
  EXPECT_EQ(frame[7], 0xFF);
  EXPECT_EQ(frame[8], static_cast<uint8_t>(0xF9 + 0x40 - 0xFF));

  BuildTerrestrialTuneFrame(kLeadByteTPath, 474000, 8, frame);
  EXPECT_EQ(Hex(frame, 9), "09 07 3B 90 00 08 00 00 26");
  // The lead byte is outside the checksum.
  BuildTerrestrialTuneFrame(kLeadByteDefault, 474000, 8, frame);
  EXPECT_EQ(Hex(frame, 9), "00 07 3B 90 00 08 00 00 26");
  // Frequencies above 24 bits keep their low 24 bits.
  BuildTerrestrialTuneFrame(kLeadByteDefault, 0x01ABCDEF, 6, frame);
  EXPECT_EQ(Hex(frame, 4), "00 AB CD EF");
}

TEST(TuneFrames, CableLongFrame) {
  uint8_t frame[256];
  BuildCableLongFrame(474000, 6875, 64, frame);
  EXPECT_EQ(Hex(frame, 11), "AA 09 00 07 3B 90 00 1A DB 40 F0");
  for (int i = 11; i < 256; ++i) ASSERT_EQ(frame[i], 0) << i;
  BuildCableLongFrame(474000, 6875, 256, frame);
  EXPECT_EQ(frame[9], 0x00);
  unsigned sum = 0;
  for (int i = 1; i <= 10; ++i) sum += frame[i];
  EXPECT_EQ(sum % 256, 0u);
}

TEST(PidFilterRecord, MasksToThirteenBits) {
  uint8_t record[18];
  BuildPidFilterRecord(0x2000, record);
  EXPECT_EQ(Hex(record, 18), "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01 00");
  BuildPidFilterRecord(0x1FFF, record);
  EXPECT_EQ(Hex(record, 18), "FF 1F 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01 00");
  BuildPidFilterRecord(0x0100, record);
  EXPECT_EQ(Hex(record, 2), "00 01");
  BuildPidFilterRecord(-1, record);  // a sign-extended PID field
  EXPECT_EQ(Hex(record, 2), "FF 1F");
}

TEST(LnbFrames, ToneAndBursts) {
  uint8_t frame[9];
  BuildLnbControlFrame(1, 0, 0, 1, frame);
  EXPECT_EQ(Hex(frame, 9), "AA 00 09 02 FF 01 00 00 F5");
  BuildLnbControlFrame(0, 1, 0, 1, frame);
  EXPECT_EQ(Hex(frame, 9), "AA 00 09 FF 00 01 00 00 F7");
  BuildLnbControlFrame(1, 1, 1, 0, frame);  // the tone burst wins
  EXPECT_EQ(Hex(frame, 6), "AA 00 09 FF 00 00");
  BuildLnbControlFrame(0, 0, 1, 0, frame);
  EXPECT_EQ(Hex(frame, 6), "AA 00 09 FF 01 00");
  BuildLnbControlFrame(0, 0, 0, 0, frame);
  EXPECT_EQ(Hex(frame, 9), "AA 00 09 00 FF 00 00 00 F8");
  BuildLnbControlFrame(7, 0, 0, 5, frame);  // flags, not values
  EXPECT_EQ(Hex(frame, 6), "AA 00 09 02 FF 01");
}

TEST(LnbFrames, DiseqcMessages) {
  uint8_t frame[9];
  BuildDiseqcFrame(0xE0, 0x38, 0xF3, frame);
  EXPECT_EQ(Hex(frame, 9), "AA 00 08 04 E0 10 38 F3 D9");
  BuildDiseqcFrame(0xE0, 0x38, 0x00, frame);
  EXPECT_EQ(Hex(frame, 9), "AA 00 08 03 E0 10 38 00 CD");
}

TEST(LnbFrames, DiseqcDataByte) {
  EXPECT_EQ(DiseqcDataByte(10600, 1, 1), 0xF3);
  EXPECT_EQ(DiseqcDataByte(9750, 0, 1), 0xF0);
  EXPECT_EQ(DiseqcDataByte(9750, 1, 2), 0xF6);
  EXPECT_EQ(DiseqcDataByte(10600, 0, 3), 0xF9);
  EXPECT_EQ(DiseqcDataByte(10600, 1, 4), 0xFF);
  // The band bit follows the LO, whatever LNB type gave it.
  EXPECT_EQ(DiseqcDataByte(5150, 1, 4), 0xFE);
  for (int other : {5, 6, 100, -1}) EXPECT_EQ(DiseqcDataByte(10600, 1, other), 0xF0) << other;
}

LnbSettings Lnb(int type, int tone = 0, int custom1 = 0, int custom2 = 0) {
  LnbSettings lnb{};
  lnb.lnbType = type;
  lnb.tone22kHz = tone;
  lnb.custom1 = custom1;
  lnb.custom2 = custom2;
  return lnb;
}

TEST(LnbSelection, LoPairsAndToneDecision) {
  uint32_t lo1, lo2;
  GetLnbLoPair(Lnb(0, 0, 1, 2), &lo1, &lo2);
  EXPECT_EQ(lo1, 5150u);
  EXPECT_EQ(lo2, 5750u);
  GetLnbLoPair(Lnb(1), &lo1, &lo2);
  EXPECT_EQ(lo1, 10600u);
  EXPECT_EQ(lo2, 9750u);
  GetLnbLoPair(Lnb(2, 0, 11300, 0), &lo1, &lo2);
  EXPECT_EQ(lo1, 11300u);
  EXPECT_EQ(lo2, 0u);
  GetLnbLoPair(Lnb(7, 0, 1, 2), &lo1, &lo2);
  EXPECT_EQ(lo1, 5150u);
  EXPECT_EQ(lo2, 5750u);

  EXPECT_EQ(LnbToneOn(Lnb(1, 0), 10600), 1);
  EXPECT_EQ(LnbToneOn(Lnb(1, 1), 9750), 0);
  EXPECT_EQ(LnbToneOn(Lnb(0, 1), 5150), 1);
  EXPECT_EQ(LnbToneOn(Lnb(2, 0), 10600), 0);
}

TEST(LnbSelection, LnbNumberInRangeOnly) {
  CaptureSettings capture{};
  for (int i = 0; i < 4; ++i) capture.lnb[i].custom1 = 100 + i;
  capture.nLnbNumber = 0;
  ASSERT_NE(SelectLnb(capture), nullptr);
  EXPECT_EQ(SelectLnb(capture)->custom1, 100);
  for (int number = 1; number <= 4; ++number) {
    capture.nLnbNumber = number;
    ASSERT_NE(SelectLnb(capture), nullptr);
    EXPECT_EQ(SelectLnb(capture)->custom1, 99 + number);
  }
  for (int bad : {5, -1, 1000}) {
    capture.nLnbNumber = bad;
    EXPECT_EQ(SelectLnb(capture), nullptr) << bad;
  }
}

TEST(SatelliteTuneFrame, UniversalHighBandExample) {
  uint8_t block[9];
  EXPECT_EQ(BuildSatelliteTuneFrame(11778, 27500000, 1, 0, 10600, 9750, block), 10600u);
  EXPECT_EQ(Hex(block, 9), "00 04 9A 01 50 00 00 64 AD");
  uint8_t frame[256];
  BuildSatelliteLongFrame(block, 27500, frame);
  EXPECT_EQ(Hex(frame, 11), "AA 09 00 04 9A 01 00 6B 6C 64 1D");
  for (int i = 11; i < 256; ++i) ASSERT_EQ(frame[i], 0) << i;
}

TEST(SatelliteTuneFrame, OscillatorChoice) {
  uint8_t block[9];
  // 11000 MHz: 10600 gives IF 400, outside the window.
  EXPECT_EQ(BuildSatelliteTuneFrame(11000, 27500000, 0, 0, 10600, 9750, block), 9750u);
  EXPECT_EQ(block[1] * 256 + block[2], 1250);
  // 12750 MHz: 2150 and 3000 both outside; the block stays untouched.
  uint8_t untouched[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  EXPECT_EQ(BuildSatelliteTuneFrame(12750, 27500000, 0, 0, 10600, 9750, untouched), 0u);
  EXPECT_EQ(Hex(untouched, 9), "01 02 03 04 05 06 07 08 09");
  // C band, Normal LNB: 1350 and 1950 both qualify, 1350 is nearer 600.
  EXPECT_EQ(BuildSatelliteTuneFrame(3800, 27500000, 0, 0, 5150, 5750, block), 5150u);
  EXPECT_EQ(block[1] * 256 + block[2], 1350);
  // Equal distances from 600 keep LO1 (IF 1000 both ways).
  EXPECT_EQ(BuildSatelliteTuneFrame(6000, 27500000, 0, 0, 5000, 7000, block), 5000u);
  // LO2 strictly nearer wins.
  EXPECT_EQ(BuildSatelliteTuneFrame(6000, 27500000, 0, 0, 7001, 5001, block), 5001u);
  // An LO of 0 never qualifies, even when the frequency itself would be a usable IF.
  EXPECT_EQ(BuildSatelliteTuneFrame(1200, 27500000, 0, 0, 11300, 0, block), 0u);
  EXPECT_EQ(BuildSatelliteTuneFrame(1200, 27500000, 0, 0, 0, 2400, block), 2400u);
  // Window bounds are excluded.
  EXPECT_EQ(BuildSatelliteTuneFrame(10950, 27500000, 0, 0, 10000, 0, block), 0u);
  EXPECT_EQ(BuildSatelliteTuneFrame(10951, 27500000, 0, 0, 10000, 0, block), 10000u);
  EXPECT_EQ(BuildSatelliteTuneFrame(12149, 27500000, 0, 0, 10000, 0, block), 10000u);
  EXPECT_EQ(BuildSatelliteTuneFrame(12150, 27500000, 0, 0, 10000, 0, block), 0u);
  // The frequency may lie below the LO.
  EXPECT_EQ(BuildSatelliteTuneFrame(3700, 27500000, 0, 0, 5150, 0, block), 5150u);
  EXPECT_EQ(block[1] * 256 + block[2], 1450);
}

TEST(SatelliteTuneFrame, FlagByte) {
  uint8_t block[9];
  BuildSatelliteTuneFrame(11529, 8000, 0, 0, 10000, 0, block);  // IF 1529, 8000 sps
  EXPECT_EQ(block[7], 0x04);
  BuildSatelliteTuneFrame(11530, 8001, 1, 1, 10000, 0, block);  // IF 1530
  EXPECT_EQ(block[7], 0x80 | 0x40 | 0x20);
  BuildSatelliteTuneFrame(11530, 22000000, 0, 7, 10000, 0, block);
  EXPECT_EQ(block[7], 0x80 | 0x20);
  unsigned sum = 0;
  for (int i = 1; i < 9; ++i) sum += block[i];
  EXPECT_EQ(sum % 256, 0u);
}

TEST(SatelliteTuneFrame, SymbolRateWordIsTheFlooredQuotient) {
  for (uint32_t rate : {0u, 1u, 1000000u, 2000000u, 22425000u, 27500000u, 30000000u, 45000000u,
                        87999999u, 88000000u, 100000000u}) {
    const uint64_t expected = (static_cast<uint64_t>(rate) << 20) / 88000000;
    EXPECT_EQ(SatelliteSymbolRateWord(rate), expected) << rate;
  }
  uint8_t block[9];
  BuildSatelliteTuneFrame(11778, 22000000, 0, 0, 10600, 9750, block);
  const uint32_t word = SatelliteSymbolRateWord(22000000);  // 0x40000
  EXPECT_EQ(word, 0x40000u);
  EXPECT_EQ(Hex(block + 4, 3), "40 00 00");
  BuildSatelliteTuneFrame(11778, 22425000, 0, 0, 10600, 9750, block);
  const uint32_t odd = SatelliteSymbolRateWord(22425000);
  EXPECT_EQ(block[4], (odd >> 12) & 0xFF);
  EXPECT_EQ(block[5], (odd >> 4) & 0xFF);
  EXPECT_EQ(block[6], (odd & 0x0F) << 4);
  EXPECT_EQ(block[3], 0x01);
}

TEST(ModelCodes, TableOrderFormatsAndUnlistedCodes) {
  struct Row {
    const char* code;
    int model;
    int format;
  };
  const Row rows[] = {{"RZK-A1", 0, 1},  {"RZKMA2", 1, 1},  {"WQ-B3R", 2, 1},   {"WQ-47H", 4, 1},
                      {"HVLPX5", 5, 2},  {"HVL-A6", 6, 3},  {"KJNRG8", 10, 10}, {"KJNYB9", 11, 10},
                      {"KJN-A3", 13, 3}, {"ZUMEFA", 15, 10}, {"ZUMEQB", 16, 10}};
  for (const Row& row : rows) {
    int format = -7;
    EXPECT_EQ(ModelFromModelCode(row.code, &format), row.model) << row.code;
    EXPECT_EQ(format, row.format) << row.code;
  }
  for (const char* unlisted : {"rzk-a1", "ABCDEF", "RZK-A2", "\0\0\0\0\0\0"}) {
    int format = -7;
    EXPECT_EQ(ModelFromModelCode(unlisted, &format), 3);
    EXPECT_EQ(format, -7);
  }
}

// Bus status reply with M, S, L, F in bytes 3..7.
struct Decoded {
  int strength = -1, quality = -1, locked = -1;
};
Decoded Decode(int format, uint32_t m, uint8_t s, uint8_t l, uint8_t f) {
  const uint8_t reply[9] = {0xAA, 0x00, 0x05, static_cast<uint8_t>(m >> 8), static_cast<uint8_t>(m), s, l, f, 0};
  Decoded d;
  DecodeBusSignalStatus(reply, format, &d.strength, &d.quality, &d.locked);
  return d;
}

TEST(SignalDecoding, LockFlagIsBitFourClear) {
  EXPECT_EQ(Decode(10, 0, 0, 0, 0x00).locked, 1);
  EXPECT_EQ(Decode(10, 0, 0, 0, 0xEF).locked, 1);
  EXPECT_EQ(Decode(10, 0, 0, 0, 0x10).locked, 0);
  EXPECT_EQ(Decode(99, 0, 0, 0, 0x10).locked, 0);
}

TEST(SignalDecoding, FormatZero) {
  EXPECT_EQ(Decode(0, 0, 0, 64, 0).strength, 2);  // the quotient is just below 99
  EXPECT_EQ(Decode(0, 0, 0, 0, 0).strength, 100);
  EXPECT_EQ(Decode(0, 0, 0, 65, 0).strength, 0);
  EXPECT_EQ(Decode(0, 0, 0, 32, 0).strength, 51);
  EXPECT_EQ(Decode(0, 0, 0, 0, 0).quality, 100);
  EXPECT_EQ(Decode(0, 143, 0, 0, 0).quality, 100);
  EXPECT_EQ(Decode(0, 144, 0, 0, 0).quality, 99);
  EXPECT_EQ(Decode(0, 14330, 0, 0, 0).quality, 1);
  EXPECT_EQ(Decode(0, 14331, 0, 0, 0).quality, 0);
}

TEST(SignalDecoding, FormatOne) {
  EXPECT_EQ(Decode(1, 4608, 0, 0, 0).quality, 98);
  EXPECT_EQ(Decode(1, 4609, 0, 0, 0).quality, 98);
  EXPECT_EQ(Decode(1, 4640, 0, 0, 0).quality, 97);
  EXPECT_EQ(Decode(1, 6400, 0, 0, 0).quality, 41);
  EXPECT_EQ(Decode(1, 6401, 0, 0, 0).quality, 39);
  EXPECT_EQ(Decode(1, 13568, 0, 0, 0).quality, 1);
  EXPECT_EQ(Decode(1, 13569, 0, 0, 0).quality, 0);
  EXPECT_EQ(Decode(1, 100, 0, 0, 0x10).quality, 0);  // unlocked
  EXPECT_EQ(Decode(1, 0, 0, 200, 0).strength, 200);
  EXPECT_EQ(Decode(1, 0, 0, 200, 0x10).strength, 80);
  EXPECT_EQ(Decode(1, 0, 0, 80, 0x10).strength, 80);
  EXPECT_EQ(Decode(1, 0, 0, 79, 0x10).strength, 79);
}

TEST(SignalDecoding, FormatTwo) {
  // Quality needs bit 7 of S.
  EXPECT_EQ(Decode(2, 0, 0x04, 0, 0).quality, 0);
  EXPECT_EQ(Decode(2, 0, 0x80, 0, 0).quality, 98);
  EXPECT_EQ(Decode(2, 0, 0x80, 0, 0x01).quality, 90);
  EXPECT_EQ(Decode(2, 1, 0x80, 0, 0).quality, 59);      // 239 * 20 / 240 + 40
  EXPECT_EQ(Decode(2, 239, 0x80, 0, 0).quality, 40);
  EXPECT_EQ(Decode(2, 240, 0x80, 0, 0).quality, 39);    // 3600 * 10 / 3840 + 30
  EXPECT_EQ(Decode(2, 3839, 0x80, 0, 0).quality, 30);
  EXPECT_EQ(Decode(2, 3840, 0x80, 0, 0).quality, 29);   // 61695 * 15 / 65535 + 15
  EXPECT_EQ(Decode(2, 65535, 0x80, 0, 0).quality, 15);
  // Strength needs bit 2 of S.
  EXPECT_EQ(Decode(2, 0, 0x80, 255, 0).strength, 8);
  EXPECT_EQ(Decode(2, 0, 0x84, 0, 0).strength, 90);     // y = 0
  EXPECT_EQ(Decode(2, 0, 0x87, 255, 0).strength, 10);   // y = 99
  EXPECT_EQ(Decode(2, 0, 0x04, 163, 0).strength, 90);   // x 163: y 15
  EXPECT_EQ(Decode(2, 0, 0x04, 164, 0).strength, 84);   // x 164: y 16
  EXPECT_EQ(Decode(2, 0, 0x07, 153, 0).strength, 11);   // x 921: y 89
  EXPECT_EQ(Decode(2, 0, 0x07, 154, 0).strength, 10);   // x 922: y 90
  EXPECT_EQ(Decode(2, 0, 0x05, 0, 0).strength, 75);     // x 256: y 25
}

TEST(SignalDecoding, FormatsThreeAndTenAndUnknown) {
  Decoded three = Decode(3, 0x1234, 0x56, 0x78, 0);
  EXPECT_EQ(three.quality, 0x34);
  EXPECT_EQ(three.strength, 0x78);
  Decoded ten = Decode(10, 0x12F4, 0x56, 0x78, 0);
  EXPECT_EQ(ten.quality, 0xF4);
  EXPECT_EQ(ten.strength, 0x56);
  for (int unknown : {4, 11, -1}) {
    Decoded other = Decode(unknown, 0x1234, 0x56, 0x78, 0);
    EXPECT_EQ(other.quality, -1);
    EXPECT_EQ(other.strength, -1);
    EXPECT_EQ(other.locked, 1);
  }
}

TEST(Families, ModelNumbersByFamily) {
  for (int model : {0, 1, 2, 3, 4, 20}) EXPECT_EQ(GetTunerFamily(model), TunerFamily::Satellite);
  for (int model : {5, 6, 7}) EXPECT_EQ(GetTunerFamily(model), TunerFamily::Cable);
  for (int model : {10, 11, 12, 15, 16, 46}) EXPECT_EQ(GetTunerFamily(model), TunerFamily::Terrestrial);
  for (int model : {13, 8, 255, -1}) EXPECT_EQ(GetTunerFamily(model), TunerFamily::None);
}

// Each range ends where the frame field that carries the word ends: the
// largest value goes out whole, one more would wrap.
TEST(ChannelFieldRanges, FollowTheFrameFields) {
  struct Edge {
    int model;
    int word;
    int64_t max;
  };
  for (const Edge& edge : {Edge{46, 0, 0xFFFFFF}, Edge{10, 1, 0xFF}, Edge{5, 0, 0xFFFFFF},
                           Edge{5, 1, 0xFFFF}, Edge{6, 1, 0xFFFFFF}, Edge{7, 1, 0xFFFFFF},
                           Edge{0, 0, INT32_MAX}, Edge{20, 1, 87999}, Edge{2, 1, 87999},
                           Edge{0, 1, 0xFFFF}, Edge{1, 1, 0xFFFF}}) {
    SCOPED_TRACE(std::to_string(edge.model) + "/" + std::to_string(edge.word));
    ChannelFieldRange range{};
    ASSERT_TRUE(GetChannelFieldRange(edge.model, edge.word, &range));
    EXPECT_EQ(range.min, 0);
    EXPECT_EQ(range.max, edge.max);
    EXPECT_TRUE(IsChannelFieldValid(edge.model, edge.word, edge.max));
    EXPECT_FALSE(IsChannelFieldValid(edge.model, edge.word, edge.max + 1));
    EXPECT_FALSE(IsChannelFieldValid(edge.model, edge.word, -1));
  }
  // 87,999 ksymbol/s still fits the 20-bit satellite rate word; 88,000 does not.
  EXPECT_LT(SatelliteSymbolRateWord(87999u * 1000), 1u << 20);
  EXPECT_GE(SatelliteSymbolRateWord(88000u * 1000), 1u << 20);
  // Words a family does not use, and flags, take anything.
  ChannelFieldRange range{};
  EXPECT_FALSE(GetChannelFieldRange(46, 2, &range));
  EXPECT_FALSE(GetChannelFieldRange(0, 2, &range));
  EXPECT_FALSE(GetChannelFieldRange(13, 0, &range));
  EXPECT_TRUE(IsChannelFieldValid(0, 3, -5));
}

TEST(ChannelFieldRanges, QamOrderIsOneOfFive) {
  for (int64_t qam : {16, 32, 64, 128, 256}) EXPECT_TRUE(IsChannelFieldValid(5, 2, qam));
  for (int64_t qam : {0, 15, 48, 255, 257}) EXPECT_FALSE(IsChannelFieldValid(5, 2, qam));
}

TEST(ChannelFieldRanges, FirstWordOutOfRangeIsNamed) {
  ChannelSettings channel{};
  channel.words[0] = 474000;
  channel.words[1] = 6875;
  channel.words[2] = 64;
  EXPECT_EQ(FindChannelFieldOutOfRange(5, channel), -1);
  channel.words[1] = 65536;
  EXPECT_EQ(FindChannelFieldOutOfRange(5, channel), 1);
  EXPECT_EQ(FindChannelFieldOutOfRange(6, channel), -1);
  channel.words[0] = 16777216;
  EXPECT_EQ(FindChannelFieldOutOfRange(6, channel), 0);
  channel.words[0] = -1;  // 4294967295 stored in a signed word
  EXPECT_EQ(FindChannelFieldOutOfRange(46, channel), 0);
}

}  // namespace
