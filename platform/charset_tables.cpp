#include "platform/charset_tables.h"

#include <algorithm>
#include <iterator>

// A run of consecutive keys (see charset_tables.inc).
struct CharsetRun {
  uint32_t first;
  uint16_t count;
  int32_t value;
};

struct CharsetTable {
  const char* name;
  const CharsetRun* runs;
  size_t runCount;
  const uint16_t* listed;
  // UTF-8 has no table: its sequences are checked by rule.
  bool utf8 = false;
};

namespace {

#include "platform/charset_tables.inc"

constexpr CharsetTable kUtf8{"UTF-8", nullptr, 0, nullptr, true};

constexpr uint32_t kPairKey = 0x10000;

// The code point of `key`, -1 for none.
int32_t Lookup(const CharsetTable& table, uint32_t key) {
  const CharsetRun* end = table.runs + table.runCount;
  const CharsetRun* after =
      std::upper_bound(table.runs, end, key, [](uint32_t k, const CharsetRun& run) { return k < run.first; });
  if (after == table.runs) return -1;
  const CharsetRun& run = after[-1];
  const uint32_t offset = key - run.first;
  if (offset >= run.count) return -1;
  if (run.value >= 0) return run.value + static_cast<int32_t>(offset);
  const uint16_t point = table.listed[static_cast<uint32_t>(-1 - run.value) + offset];
  return point == 0 ? -1 : point;
}

// The length of the well-formed UTF-8 character at `bytes` and its code
// point: shortest form only, no surrogates, nothing above U+10FFFF. 0 for
// none.
size_t Utf8Character(const uint8_t* bytes, size_t left, int32_t& point) {
  const uint8_t lead = bytes[0];
  if (lead < 0x80) {
    point = lead;
    return 1;
  }
  size_t length = 0;
  uint8_t low = 0x80, high = 0xBF;  // the second byte's range
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (left < length || bytes[1] < low || bytes[1] > high) return 0;
  int32_t value = lead & (0x7F >> length);
  for (size_t i = 1; i < length; ++i) {
    if ((bytes[i] & 0xC0) != 0x80) return 0;
    value = value << 6 | (bytes[i] & 0x3F);
  }
  point = value;
  return length;
}

}  // namespace

const CharsetTable* FindCharsetTable(const std::string& name) {
  if (name == kUtf8.name) return &kUtf8;
  for (const CharsetTable& table : kCharsetTables)
    if (name == table.name) return &table;
  return nullptr;
}

void DecodeByCharsetTable(const CharsetTable& table, const uint8_t* bytes, size_t length, size_t unitSize,
                          std::vector<int32_t>& out) {
  size_t at = 0;
  // Bounded: every round consumes at least one byte.
  while (at < length) {
    const size_t left = length - at;
    int32_t point = -1;
    size_t used = 0;
    if (table.utf8) {
      used = Utf8Character(bytes + at, left, point);
    } else if (point = Lookup(table, bytes[at]); point >= 0) {
      used = 1;
    } else if (left >= 2) {
      // A byte that is no character alone may start a two-byte one.
      point = Lookup(table, kPairKey | uint32_t{bytes[at]} << 8 | bytes[at + 1]);
      if (point >= 0) used = 2;
    }
    if (used > 0) {
      out.push_back(point);
      at += used;
      continue;
    }
    const size_t skipped = std::min(unitSize, left);
    for (size_t i = 0; i < skipped; ++i) out.push_back(-1 - static_cast<int32_t>(bytes[at + i]));
    at += skipped;
  }
}
