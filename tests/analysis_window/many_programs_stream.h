// A stream with `count` programs (one PMT and one video PID each) and an SDT
// naming every service, for the window's behaviour with very long program
// lists. `names` (raw DVB text bytes, first byte may select a table) name
// the first services; the others are "Service N".
#pragma once

#include <string>
#include <vector>

#include "tests/support/ts_builder.h"

inline tsbuild::Bytes ManyProgramsStream(int count, const std::vector<tsbuild::Bytes>& names = {}) {
  using namespace tsbuild;
  auto name = [&](int i) {
    return static_cast<size_t>(i) < names.size() ? names[static_cast<size_t>(i)] : TextBytes("Service " + std::to_string(i + 1));
  };
  TsStreamBuilder stream;
  // The PAT in sections of up to 250 programs; the SDT in sections of up to 20 services.
  constexpr int kPatPerSection = 250;
  constexpr int kSdtPerSection = 20;
  const int patSections = (count + kPatPerSection - 1) / kPatPerSection;
  const int sdtSections = (count + kSdtPerSection - 1) / kSdtPerSection;
  for (int repeat = 0; repeat < 2; ++repeat) {
    for (int s = 0; s < patSections; ++s) {
      std::vector<PatEntry> entries;
      for (int i = s * kPatPerSection; i < std::min(count, (s + 1) * kPatPerSection); ++i)
        entries.push_back({i + 1, 0x100 + i});
      stream.Section(0x0000, PatSection(1, entries, s, patSections - 1));
    }
    for (int i = 0; i < count; ++i) stream.Section(0x100 + i, PmtSection(i + 1, 0x1000 + i, {{0x02, 0x1000 + i}}));
    for (int s = 0; s < sdtSections; ++s) {
      std::vector<SdtService> services;
      for (int i = s * kSdtPerSection; i < std::min(count, (s + 1) * kSdtPerSection); ++i)
        services.push_back({.serviceId = i + 1, .serviceType = 1, .provider = TextBytes("Vantrel"), .name = name(i)});
      Bytes section = SdtSection(1, 1, services);
      section[6] = static_cast<uint8_t>(s);                // section_number
      section[7] = static_cast<uint8_t>(sdtSections - 1);  // last_section_number
      const size_t crcAt = section.size() - 4;
      const uint32_t crc = MpegCrc32(section.data(), crcAt);
      for (int b = 0; b < 4; ++b) section[crcAt + static_cast<size_t>(b)] = static_cast<uint8_t>(crc >> (24 - 8 * b));
      stream.Section(0x0011, section);
    }
    for (int i = 0; i < count; ++i) stream.Packet({.pid = 0x1000 + i, .cc = repeat}, Bytes(20, 0x11));
  }
  return stream.bytes();
}
