// What a channel scan tunes: one entry per transponder, in the units of the
// box family's channel words, from a plan file (the DVBv5 initial-scan files
// of dtv-scan-tables, or the legacy one-line channel format), a list of
// frequencies, or a range with a step. Read with libdvbv5's file reader.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "device/tuner_device.h"

// Where an entry came from.
enum class ScanSource { Plan, List, Range, Network };
const char* ScanSourceName(ScanSource source);  // "plan", "list", "range", "network"

struct ScanTuning {
  TunerFamily family = TunerFamily::None;
  uint32_t frequency = 0;     // channel word 0: MHz for satellite boxes, kHz otherwise
  uint32_t bandwidthMHz = 0;  // terrestrial
  uint32_t symbolRateK = 0;   // satellite and cable, ksymbol/s
  uint32_t qamOrder = 0;      // cable: 16..256
  bool horizontal = false;    // satellite
  bool inversion = false;     // satellite
  ScanSource source = ScanSource::Plan;

  // Two entries tune the same transponder (the source does not count).
  bool SameTransponder(const ScanTuning& other) const;
  // "474000 kHz, 8 MHz", "11494 MHz H, 22000 ksymbol/s", "346000 kHz, 6900 ksymbol/s, QAM 64".
  std::string Text() const;
};

// The channel record of `tuning` over `base` (the family's other words as
// the settings give them).
ChannelSettings ChannelForTuning(const ScanTuning& tuning, const ChannelSettings& base);
// The entry a channel record stands for.
ScanTuning TuningForChannel(TunerFamily family, const ChannelSettings& channel);

// Reads a plan file: DVBv5 format first, the one-line channel format
// otherwise. Entries of delivery systems the family cannot tune are left out
// and counted in *skipped. false, with the reason, for a file that cannot be
// read, holds no entry, or none for this family. `defaults` gives the values
// an entry leaves out (bandwidth, symbol rate, QAM, polarisation).
bool ReadScanPlanFile(const std::string& path, const ScanTuning& defaults, std::vector<ScanTuning>* plan,
                      int* skipped, std::string* error);

// A regular file of at most maxBytes; false with "cannot read the WHAT PATH"
// or why it is not one.
bool CheckScanInputFile(const std::string& path, int64_t maxBytes, const char* what, std::string* error);

// "474000,482000" (each as channel word 0 of the family). false with the reason for
// an empty list, something that is not a number, or a repeat.
bool ParseScanFrequencyList(const std::string& text, const ScanTuning& defaults, std::vector<ScanTuning>* plan,
                            std::string* error);
// "A:B:STEP", A <= B, STEP > 0, at most kMaxScanEntries entries.
bool ParseScanRange(const std::string& text, const ScanTuning& defaults, std::vector<ScanTuning>* plan,
                    std::string* error);

// A scan plan longer than this is refused (a range with a tiny step).
constexpr size_t kMaxScanEntries = 4096;
