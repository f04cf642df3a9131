// The PTS and DTS of a PES packet header (ISO/IEC 13818-1 2.4.3.6), read
// from the start of a PES packet as a transport packet's payload begins.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

// 90 kHz ticks a second, and the period of the 33-bit timestamps.
constexpr uint64_t kPesClockHz = 90000;
constexpr uint64_t kPesTimestampWrap = uint64_t{1} << 33;

struct PesTimestamps {
  int streamId = 0;
  std::optional<uint64_t> pts;  // 90 kHz, 33 bits
  std::optional<uint64_t> dts;
};

// A 5-byte timestamp field (marker bits not checked).
uint64_t ReadPesTimestamp(const uint8_t* field);

// Whether `payload` starts a PES packet (start code prefix and stream_id);
// `out` gets the stream_id and whatever timestamps the header holds within
// `size` bytes. Stream ids without the optional header carry none.
bool ReadPesTimestamps(const uint8_t* payload, size_t size, PesTimestamps& out);
