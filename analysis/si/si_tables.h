// Decoding of the sections a SiCollector kept into named fields (JSON
// objects with a fixed layout, described in the README beside the commands
// that print them). DVB tables and most descriptors are decoded by
// libdvbpsi; the ATSC PSIP tables, splice_info and the descriptors libdvbpsi
// lacks are read here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "analysis/si/si_collector.h"

using SiJson = nlohmann::ordered_json;

struct SiDecodeContext {
  bool atsc = false;        // private descriptor tags 0x80-0xFF read as ATSC ones
  int gpsUtcOffsetS = 0;    // from the STT, for ATSC times
};

// "SDT actual", "EIT schedule other", "TVCT", ... from the table_id (and
// the PID where the table_id alone does not say).
std::string SiTableName(int pid, int tableId);

// The section's fields; {"error": ...} when it cannot be read.
SiJson DecodeSiSection(const SiSection& section, const SiDecodeContext& context);

// A descriptor loop. `privateDataSpecifier` is the one in force when the
// loop starts (private_data_specifier descriptors in the loop change it).
SiJson DecodeSiDescriptors(const uint8_t* data, size_t size, const SiDecodeContext& context,
                           uint32_t privateDataSpecifier = 0);

// Times: seconds since 1970 (UTC).
// MJD (16 bits) and BCD hours, minutes, seconds (24 bits) as in the DVB tables;
// nullopt for the "undefined" all-ones value or bad BCD.
std::optional<int64_t> DvbUtcTime(uint64_t mjdBcd);
// A BCD duration hhmmss (24 bits) in seconds; nullopt for bad BCD.
std::optional<int64_t> BcdDurationS(uint32_t bcd);
// GPS seconds since 1980-01-06 to UTC with the STT's GPS_UTC_offset.
int64_t GpsToUtc(uint32_t gpsSeconds, int gpsUtcOffsetS);
// "2026-12-07T21:00:00Z".
std::string UtcText(int64_t unixSeconds);

// The upper-case hex of bytes, two digits a byte.
std::string SiHex(const uint8_t* data, size_t size);
// A genre from the content descriptor's first nibble ("Movie/Drama"), empty if reserved.
std::string DvbGenreName(int contentNibble1);
