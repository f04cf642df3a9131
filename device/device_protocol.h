// Wire format of the tuner boxes: request codes, ring sizes, and the pure
// functions that build request buffers and decode replies. Nothing here talks
// to a device, so the simulator and the tests can share it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "device/tuner_device.h"

// Direct set (device type 0x22): hTunerT, hTunerA, hTunerS.
constexpr uint32_t kIoctlDirectLnbCommand = 0x222320;
constexpr uint32_t kIoctlDirectTune = 0x222328;
constexpr uint32_t kIoctlDirectStreamAddress = 0x222334;
constexpr uint32_t kIoctlDirectStopStream = 0x222338;
constexpr uint32_t kIoctlDirectStreamPosition = 0x22233C;
constexpr uint32_t kIoctlDirectPidFilter = 0x222344;
constexpr uint32_t kIoctlDirectSignalStatus = 0x22234C;
constexpr uint32_t kIoctlDirectStartStream = 0x222358;
constexpr uint32_t kIoctlDirectOpenQuery = 0x222374;
// Bus command set (device type 0xAABB): hTunerBus.
constexpr uint32_t kIoctlBusCommand = 0xAABB2880;
constexpr uint32_t kIoctlBusTune = 0xAABB2900;
constexpr uint32_t kIoctlBusReadyPoll = 0xAABB2980;
constexpr uint32_t kIoctlBusTuneReadBack = 0xAABB2A00;
constexpr uint32_t kIoctlBusLongFrameWrite = 0xAABB2A04;
constexpr uint32_t kIoctlBusLongFrameRead = 0xAABB2A08;
// Bus stream set (device type 0xDDFF): hTunerBusStream, except the stop
// request, which goes to hTunerBus.
constexpr uint32_t kIoctlBusStreamAddress = 0xDDFF2C00;
constexpr uint32_t kIoctlBusStopStream = 0xDDFF2C40;
constexpr uint32_t kIoctlBusStreamPosition = 0xDDFF2C80;

// Buffer sizes that are part of the protocol.
constexpr uint32_t kFrameSize = 9;
constexpr uint32_t kLongFrameSize = 256;
constexpr uint32_t kDirectReplySize = 10;      // the S-path's ignored answers
constexpr uint32_t kDirectSignalReplySize = 3;
constexpr uint32_t kPidFilterRecordSize = 18;
constexpr uint32_t kStreamWordSize = 4;        // ring token, write offset

// Stream ring lengths: T-path, A-interface and S-path; bus kind.
constexpr uint32_t kRingSizeDirect = 0x2FD000;  // 3,133,440
constexpr uint32_t kRingSizeBus = 3130380;      // 0x2FC40C

// Framed commands (byte c1 of the 7 command bytes).
constexpr uint8_t kCommandSignalStatus = 0x05;
constexpr uint8_t kCommandModelCode = 0x06;
constexpr uint8_t kCommandDiseqc = 0x08;
constexpr uint8_t kCommandLnbControl = 0x09;

// Lead bytes of the plain tuning frame.
constexpr uint8_t kLeadByteTPath = 0x09;
constexpr uint8_t kLeadByteDefault = 0x00;

// The fixed input of the direct set's signal-status request.
inline constexpr uint8_t kDirectSignalInput[kFrameSize] = {0x0A, 0x0A, 0x0B, 0x0C, 0x09,
                                                          0x00, 0x00, 0x00, 0x00};

// DiSEqC 1.0 "write N0, committed switches" from the master, no reply.
constexpr uint8_t kDiseqcFramingNoReply = 0xE0;
constexpr uint8_t kDiseqcAddressAnyLnb = 0x10;
constexpr uint8_t kDiseqcCommandWriteN0 = 0x38;

// Satellite IF window, MHz (both bounds excluded), and the IF the LO choice aims for.
constexpr uint32_t kSatelliteIfLowMHz = 950;
constexpr uint32_t kSatelliteIfHighMHz = 2150;
constexpr uint32_t kSatelliteIfTargetMHz = 600;
constexpr uint32_t kUniversalHighBandLoMHz = 10600;

// Two's complement of the 8-bit sum of `count` bytes: appended to a frame it
// makes those bytes and itself add up to 0 modulo 256.
uint8_t FrameChecksum(const uint8_t* bytes, size_t count);

// The framed command of one of the listed commands with all-zero parameters
// (signal status, model code).
void BuildSimpleCommandFrame(uint8_t command, uint8_t frame[kFrameSize]);

// Plain tuning frames: frequency in bytes 1..3; cable puts the symbol rate in
// bytes 4..5 and the QAM order (256 as 0xFF) in byte 7; terrestrial puts the
// bandwidth in byte 5. The lead byte is outside the checksum.
void BuildCableTuneFrame(uint32_t frequencyKHz, uint32_t symbolRate, uint32_t qamOrder,
                         uint8_t frame[kFrameSize]);
void BuildTerrestrialTuneFrame(uint8_t leadByte, uint32_t frequencyKHz, uint32_t bandwidthMHz,
                               uint8_t frame[kFrameSize]);

// 256-byte long frames (bytes 11..255 zero). Cable: frequency and symbol rate
// in 24 bits each, QAM 256 as 0x00. Satellite: from the 9-byte tune block.
void BuildCableLongFrame(uint32_t frequencyKHz, uint32_t symbolRate, uint32_t qamOrder,
                         uint8_t frame[kLongFrameSize]);
void BuildSatelliteLongFrame(const uint8_t block[kFrameSize], uint32_t symbolRateK,
                             uint8_t frame[kLongFrameSize]);

// 18-byte PID filter record: PID & 0x1FFF little-endian, enable flag at 16.
void BuildPidFilterRecord(int pid, uint8_t record[kPidFilterRecordSize]);

// Framed tone/burst/supply command; the tone burst wins over the data burst.
void BuildLnbControlFrame(int tone, int toneBurst, int dataBurst, int supply,
                          uint8_t frame[kFrameSize]);
// Framed DiSEqC message; the address sent is always 0x10, the length 3 when
// the data byte is 0.
void BuildDiseqcFrame(uint8_t framing, uint8_t command, uint8_t data, uint8_t frame[kFrameSize]);

// Satellite helpers.
uint32_t SatelliteSymbolRateWord(uint32_t symbolsPerSecond);  // floor(sps * 2^20 / 88 MHz)
uint8_t SatelliteReferenceCode();
void GetLnbLoPair(const LnbSettings& lnb, uint32_t* lo1, uint32_t* lo2);
int LnbToneOn(const LnbSettings& lnb, uint32_t chosenLo);
uint8_t DiseqcDataByte(uint32_t chosenLo, int horizontal, int diseqcInput);
// The LNB that a satellite tune uses: nLnbNumber 1..4, 0 meaning 1. Any
// other number is a damaged settings block: null, and the tune is refused
// rather than guessing an LNB (a wrong LNB would power or switch the wrong
// dish equipment).
const LnbSettings* SelectLnb(const CaptureSettings& capture);

// Model number for a six-character model code, in table order; sets
// *signalFormat to the row's format, or leaves it alone and returns 3 for an
// unlisted code.
int ModelFromModelCode(const char code[6], int* signalFormat);

// Decodes the bus signal-status reply for a signal format. locked is always
// set; strength and quality are left alone for an unknown format.
void DecodeBusSignalStatus(const uint8_t reply[kFrameSize], int signalFormat, int* strength,
                           int* quality, int* locked);
