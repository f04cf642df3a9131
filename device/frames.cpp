// Request buffers and reply decoding; no device access here.
#include <cstdlib>
#include <cstring>

#include "device/device_protocol.h"

uint8_t FrameChecksum(const uint8_t* bytes, size_t count) {
  uint8_t sum = 0;
  for (size_t i = 0; i < count; ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
  return static_cast<uint8_t>(0x100 - sum);
}

uint8_t BuildCommandFrame(const uint8_t command[7], uint8_t frame[9]) {
  frame[0] = 0xAA;
  std::memcpy(frame + 1, command, 7);
  frame[8] = FrameChecksum(frame + 1, 7);
  return frame[8];
}

void BuildSimpleCommandFrame(uint8_t command, uint8_t frame[kFrameSize]) {
  const uint8_t bytes[7] = {0x00, command, 0, 0, 0, 0, 0};
  BuildCommandFrame(bytes, frame);
}

namespace {

void PutFrequency24(uint32_t frequency, uint8_t* at) {
  at[0] = static_cast<uint8_t>(frequency >> 16);
  at[1] = static_cast<uint8_t>(frequency >> 8);
  at[2] = static_cast<uint8_t>(frequency);
}

}  // namespace

void BuildCableTuneFrame(uint32_t frequencyKHz, uint32_t symbolRate, uint32_t qamOrder,
                         uint8_t frame[kFrameSize]) {
  frame[0] = kLeadByteDefault;
  PutFrequency24(frequencyKHz, frame + 1);
  frame[4] = static_cast<uint8_t>(symbolRate >> 8);
  frame[5] = static_cast<uint8_t>(symbolRate);
  frame[6] = 0x00;
  // The byte cannot hold 256; the box reads 0xFF as QAM 256.
  frame[7] = qamOrder == 256 ? 0xFF : static_cast<uint8_t>(qamOrder);
  frame[8] = FrameChecksum(frame + 1, 7);
}

void BuildTerrestrialTuneFrame(uint8_t leadByte, uint32_t frequencyKHz, uint32_t bandwidthMHz,
                               uint8_t frame[kFrameSize]) {
  frame[0] = leadByte;
  PutFrequency24(frequencyKHz, frame + 1);
  frame[4] = 0x00;
  frame[5] = static_cast<uint8_t>(bandwidthMHz);
  frame[6] = 0x00;
  frame[7] = 0x00;
  frame[8] = FrameChecksum(frame + 1, 7);
}

void BuildCableLongFrame(uint32_t frequencyKHz, uint32_t symbolRate, uint32_t qamOrder,
                         uint8_t frame[kLongFrameSize]) {
  std::memset(frame, 0, kLongFrameSize);
  frame[0] = 0xAA;
  frame[1] = 0x09;
  frame[2] = 0x00;
  PutFrequency24(frequencyKHz, frame + 3);
  PutFrequency24(symbolRate, frame + 6);
  frame[9] = static_cast<uint8_t>(qamOrder);  // 256 wraps to 0x00 here, as the long frame wants
  frame[10] = FrameChecksum(frame + 1, 9);
}

void BuildSatelliteLongFrame(const uint8_t block[kFrameSize], uint32_t symbolRateK,
                             uint8_t frame[kLongFrameSize]) {
  std::memset(frame, 0, kLongFrameSize);
  frame[0] = 0xAA;
  frame[1] = 0x09;
  frame[2] = 0x00;
  frame[3] = block[1];
  frame[4] = block[2];
  frame[5] = block[3];
  frame[6] = 0x00;
  frame[7] = static_cast<uint8_t>(symbolRateK >> 8);
  frame[8] = static_cast<uint8_t>(symbolRateK);
  frame[9] = block[7];
  frame[10] = FrameChecksum(frame + 1, 9);
}

void BuildPidFilterRecord(int pid, uint8_t record[kPidFilterRecordSize]) {
  std::memset(record, 0, kPidFilterRecordSize);
  const uint32_t masked = static_cast<uint32_t>(pid) & 0x1FFF;
  record[0] = static_cast<uint8_t>(masked);
  record[1] = static_cast<uint8_t>(masked >> 8);
  record[16] = 0x01;
}

void BuildLnbControlFrame(int tone, int toneBurst, int dataBurst, int supply,
                          uint8_t frame[kFrameSize]) {
  uint8_t toneByte = tone ? 0x02 : 0x00;
  uint8_t burstByte = 0xFF;
  if (toneBurst) {
    toneByte = 0xFF;
    burstByte = 0x00;
  } else if (dataBurst) {
    toneByte = 0xFF;
    burstByte = 0x01;
  }
  const uint8_t command[7] = {0x00, kCommandLnbControl, toneByte, burstByte,
                              static_cast<uint8_t>(supply ? 0x01 : 0x00), 0x00, 0x00};
  BuildCommandFrame(command, frame);
}

void BuildDiseqcFrame(uint8_t framing, uint8_t command, uint8_t data, uint8_t frame[kFrameSize]) {
  const uint8_t bytes[7] = {0x00,    kCommandDiseqc,       static_cast<uint8_t>(data ? 4 : 3),
                            framing, kDiseqcAddressAnyLnb, command,
                            data};
  BuildCommandFrame(bytes, frame);
}

uint32_t SatelliteSymbolRateWord(uint32_t symbolsPerSecond) {
  // Restoring binary division, 21 quotient bits: 1 integer bit and 20
  // fraction bits of symbolsPerSecond / 88 MHz.
  constexpr uint64_t kDivisor = 88000000;
  uint64_t remainder = symbolsPerSecond;
  uint32_t word = 0;
  for (int step = 0; step < 21; ++step) {
    word <<= 1;
    if (remainder >= kDivisor) {
      word |= 1;
      remainder -= kDivisor;
    }
    remainder <<= 1;
  }
  return word;
}

uint8_t SatelliteReferenceCode() {
  // Crystal 4 MHz over a 1 MHz tuning step, looked up in the divider table.
  constexpr uint32_t kStepHz = 1000000;
  constexpr uint32_t kRatio = 4000000 / kStepHz;
  constexpr uint32_t kDividers[16] = {2, 4, 8, 16, 32, 64, 128, 256, 24, 5, 10, 20, 40, 80, 160, 320};
  for (uint8_t i = 0; i < 16; ++i)
    if (kDividers[i] == kRatio) return i;
  return 15;
}

uint32_t BuildSatelliteTuneFrame(uint32_t frequencyMHz, uint32_t symbolRate, int horizontal,
                                 int inversion, uint32_t lo1, uint32_t lo2, uint8_t block[9]) {
  const int64_t if1 = std::llabs(static_cast<int64_t>(frequencyMHz) - lo1);
  const int64_t if2 = std::llabs(static_cast<int64_t>(frequencyMHz) - lo2);
  auto usable = [](uint32_t lo, int64_t intermediate) {
    return lo != 0 && intermediate > kSatelliteIfLowMHz && intermediate < kSatelliteIfHighMHz;
  };
  const bool use1 = usable(lo1, if1);
  const bool use2 = usable(lo2, if2);
  uint32_t lo;
  int64_t intermediate;
  if (use1 && use2) {
    const bool second = std::llabs(if2 - kSatelliteIfTargetMHz) < std::llabs(if1 - kSatelliteIfTargetMHz);
    lo = second ? lo2 : lo1;
    intermediate = second ? if2 : if1;
  } else if (use1) {
    lo = lo1;
    intermediate = if1;
  } else if (use2) {
    lo = lo2;
    intermediate = if2;
  } else {
    return 0;
  }
  const uint32_t divider = static_cast<uint32_t>(intermediate);  // 1 MHz steps
  const uint32_t word = SatelliteSymbolRateWord(symbolRate);
  uint8_t flags = 0;
  if (horizontal) flags |= 0x40;
  if (inversion) flags |= 0x80;
  if (symbolRate > 8000) flags |= 0x20;
  if (divider < 1530) flags |= 0x04;
  block[0] = kLeadByteDefault;
  block[1] = static_cast<uint8_t>((divider >> 8) & 0x7F);
  block[2] = static_cast<uint8_t>(divider);
  block[3] = SatelliteReferenceCode();
  block[4] = static_cast<uint8_t>(word >> 12);
  block[5] = static_cast<uint8_t>(word >> 4);
  block[6] = static_cast<uint8_t>((word & 0x0F) << 4);
  block[7] = flags;
  block[8] = FrameChecksum(block + 1, 7);
  return lo;
}

void GetLnbLoPair(const LnbSettings& lnb, uint32_t* lo1, uint32_t* lo2) {
  switch (lnb.lnbType) {
    case 1:
      *lo1 = 10600;
      *lo2 = 9750;
      break;
    case 2:
      *lo1 = static_cast<uint32_t>(lnb.custom1);
      *lo2 = static_cast<uint32_t>(lnb.custom2);
      break;
    default:  // Normal, and any value the dialog does not offer
      *lo1 = 5150;
      *lo2 = 5750;
      break;
  }
}

int LnbToneOn(const LnbSettings& lnb, uint32_t chosenLo) {
  if (lnb.lnbType == 1) return chosenLo == kUniversalHighBandLoMHz ? 1 : 0;
  return lnb.tone22kHz ? 1 : 0;
}

uint8_t DiseqcDataByte(uint32_t chosenLo, int horizontal, int diseqcInput) {
  uint8_t data = 0xF0;
  if (chosenLo == kUniversalHighBandLoMHz) data += 1;
  if (horizontal) data += 2;
  switch (diseqcInput) {
    case 0:
    case 1: break;
    case 2: data += 4; break;
    case 3: data += 8; break;
    case 4: data += 12; break;
    default: data = 0xF0; break;
  }
  return data;
}

const LnbSettings* SelectLnb(const CaptureSettings& capture) {
  const int number = capture.nLnbNumber == 0 ? 1 : capture.nLnbNumber;
  if (number < 1 || number > 4) return nullptr;
  return &capture.lnb[number - 1];
}

namespace {

struct ModelCodeRow {
  char code[7];
  int model;
  int signalFormat;
};

constexpr ModelCodeRow kModelCodes[] = {
    {"RZK-A1", 0, 1},  {"RZKMA2", 1, 1},  {"WQ-B3R", 2, 1},  {"WQ-47H", 4, 1},
    {"HVLPX5", 5, 2},  {"HVL-A6", 6, 3},  {"KJNRG8", 10, 10}, {"KJNYB9", 11, 10},
    {"KJN-A3", 13, 3}, {"ZUMEFA", 15, 10}, {"ZUMEQB", 16, 10},
};

}  // namespace

int ModelFromModelCode(const char code[6], int* signalFormat) {
  for (const ModelCodeRow& row : kModelCodes) {
    if (std::memcmp(row.code, code, 6) == 0) {
      *signalFormat = row.signalFormat;
      return row.model;
    }
  }
  return 3;
}

void DecodeBusSignalStatus(const uint8_t reply[kFrameSize], int signalFormat, int* strength,
                           int* quality, int* locked) {
  const uint32_t m = reply[3] * 256u + reply[4];
  const uint32_t s = reply[5];
  const uint32_t l = reply[6];
  const uint32_t f = reply[7];
  const bool isLocked = (f & 0x10) == 0;
  *locked = isLocked ? 1 : 0;
  switch (signalFormat) {
    case 0:
      *quality = m <= 14330 ? 100 - static_cast<int>(m / 144) : 0;
      *strength = l <= 64 ? 100 - static_cast<int>(l / 0.6464646464646465) : 0;
      break;
    case 1:
      if (!isLocked) *quality = 0;
      else if (m <= 4608) *quality = 98;
      else if (m <= 6400) *quality = 98 - static_cast<int>((m - 4609) / 31);
      else if (m <= 13568) *quality = 39 - static_cast<int>((m - 6401) / 188);
      else *quality = 0;
      *strength = static_cast<int>(!isLocked && l > 80 ? 80 : l);
      break;
    case 2:
      if ((s & 0x80) == 0) *quality = 0;
      else if (m == 0) *quality = f == 0 ? 98 : 90;
      else if (m < 240) *quality = static_cast<int>((240 - m) * 20 / 240 + 40);
      else if (m < 3840) *quality = static_cast<int>((3840 - m) * 10 / 3840 + 30);
      else *quality = static_cast<int>((65535 - m) * 15 / 65535 + 15);
      if ((s & 0x04) == 0) {
        *strength = 8;
      } else {
        const uint32_t x = l + (s & 3) * 256;
        const uint32_t y = x * 100 / 1024;
        *strength = y >= 90 ? 10 : y <= 15 ? 90 : 100 - static_cast<int>(y);
      }
      break;
    case 3:
      *quality = reply[4];
      *strength = static_cast<int>(l);
      break;
    case 10:
      *quality = reply[4];
      *strength = static_cast<int>(s);
      break;
    default:
      break;
  }
}
