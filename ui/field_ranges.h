// The largest values the dialogs' numeric fields accept: what the field of
// the tune request, the settings block or the PID filter can carry. A larger
// value would silently wrap (a frequency of 16777217 kHz tunes 1 kHz), so the
// dialogs refuse it with a prompt that names the range.
#pragma once

#include <cstdint>

namespace field_ranges {

// Channel words and capture limits are signed 32-bit words.
constexpr uint32_t kMaxSettingsWord = INT32_MAX;
// Cable and terrestrial tune frames carry the frequency in 24 bits (kHz).
constexpr uint32_t kMaxFrequencyKHz = 0xFFFFFF;
// The satellite frequency (MHz) only has to fit its channel word.
constexpr uint32_t kMaxFrequencyMHz = kMaxSettingsWord;
// Cable and satellite frames carry the symbol rate (ksymbol/s) in 16 bits.
constexpr uint32_t kMaxSymbolRate = 0xFFFF;
// The terrestrial frame carries the bandwidth (MHz) in one byte.
constexpr uint32_t kMaxBandwidthMHz = 0xFF;
constexpr uint32_t kMaxCaptureSeconds = kMaxSettingsWord;
constexpr uint32_t kMaxCaptureMegabytes = kMaxSettingsWord;
// The hidden I/Q field is the inversion flag.
constexpr uint32_t kMaxIq = 1;
// LNB oscillator frequencies (MHz) are kept as signed 32-bit profile values.
constexpr uint32_t kMaxLoMHz = kMaxSettingsWord;
// A transport stream PID has 13 bits.
constexpr int kMinPid = 0;
constexpr int kMaxPid = 8191;

}  // namespace field_ranges
