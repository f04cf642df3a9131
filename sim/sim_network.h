// The network vantrel-boxsim plays with --network FILE: several transponders,
// each with its own stream, signal and behaviour, so that a channel scan and
// capture by service meet what a real network offers.
//
// The file is INI text, one [transponder] section per transponder:
//
//   # the sample network of the scan tests
//   [transponder]
//   frequency = 474000      ; kHz (satellite boxes: MHz, the transponder's or the IF)
//   bandwidth = 8           ; optional: a tune with another value does not lock
//   symbol_rate = 6900      ; optional, ksymbol/s (cable and satellite)
//   qam = 64                ; optional (cable)
//   polarisation = H        ; optional, H or V (satellite)
//   stream = mux-474.ts     ; played in a loop; a relative path is taken from the file's folder
//   strength = 80           ; percent (default 75)
//   quality = 70            ; percent (default 60)
//   lock = yes              ; no: tunes but never locks
//   lock_ms = 300           ; ready and locked this long after a tune (default: --lock-ms)
//   si = yes                ; no: PIDs 0x0000-0x001F are left out (no PAT, no SI ever comes)
//
// Lines starting with # or ; are comments, as is text after " ;". A tune to a
// frequency the file does not list never locks.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct SimTransponder {
  uint32_t frequency = 0;
  std::optional<uint32_t> bandwidthMHz;
  std::optional<uint32_t> symbolRateK;
  std::optional<uint32_t> qamOrder;
  std::optional<bool> horizontal;
  std::string streamPath;
  int strength = 75;
  int quality = 60;
  bool locks = true;
  std::optional<int64_t> lockMs;
  bool carriesSi = true;
  std::vector<uint8_t> stream;  // loaded (without PIDs 0..0x1F when carriesSi is false)
  int line = 0;                 // where the section starts, for messages
};

struct SimNetwork {
  std::vector<SimTransponder> transponders;
};

// Parses the text; relative stream paths are resolved against `folder`.
// Streams are not loaded. false with "line N: why" on any error.
bool ParseSimNetwork(const std::string& text, const std::string& folder, SimNetwork* network, std::string* error);
// Reads and parses the file and loads every stream.
bool LoadSimNetwork(const std::string& path, SimNetwork* network, std::string* error);

// Leaves out the 188-byte packets of PIDs 0x0000..0x001F.
std::vector<uint8_t> WithoutSiPackets(const std::vector<uint8_t>& stream);
