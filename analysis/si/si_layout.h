// Where the parts of a section lie in its bytes: the header fields, and the
// entries and descriptors of its loops, named by the JSON pointer of the
// same part in DecodeSiSection's result ("/streams/1/descriptors/0"), so
// that a display can show the bytes behind each decoded field.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct SiByteRange {
  size_t offset = 0;  // from the section's first byte (table_id)
  size_t size = 0;
};

struct SiHeaderField {
  std::string name;  // "table_id", "section_length", ... "CRC_32"
  uint64_t value = 0;
  SiByteRange range;
};

struct SiSectionLayout {
  std::vector<SiHeaderField> header;          // in byte order; CRC_32 last
  std::map<std::string, SiByteRange> parts;   // JSON pointer -> bytes
};

// Reads the layout of a whole section (table_id first). Loops that do not
// fit the section end the walk: what was found before stays.
SiSectionLayout LayoutSiSection(const std::vector<uint8_t>& section);

// The range of the deepest part that holds `pointer` (the pointer itself,
// else its closest listed parent); nullptr when none does.
const SiByteRange* FindSiPart(const SiSectionLayout& layout, const std::string& pointer);
