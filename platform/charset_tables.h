// The character tables of platform/charset.h as compiled-in copies of what
// the C library's iconv makes of them (platform/charset_tables.inc, written
// by scripts/charset-tables), for systems without that iconv. On Linux a
// test compares them with iconv over every one- and two-byte sequence.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct CharsetTable;

// The table of an iconv name platform/charset.h lists, nullptr for a name
// it has none of (e.g. "ISO-8859-12").
const CharsetTable* FindCharsetTable(const std::string& name);

// CharsetDecoder::Decode by `table`: the same code points, and an invalid or
// cut sequence has its first `unitSize` bytes appended as -1 - byte each.
void DecodeByCharsetTable(const CharsetTable& table, const uint8_t* bytes, size_t length, size_t unitSize,
                          std::vector<int32_t>& out);
