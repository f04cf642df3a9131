// The character tables of service, provider and event names, by the names
// the C library's iconv knows them: "ISO-8859-N", "ISO_6937", "UCS-2BE",
// "EUC-KR", "GB2312", "BIG5", "UTF-8", "ASCII". iconv on Linux; on Windows,
// whose code pages read several of them differently, copies of iconv's
// tables compiled in (platform/charset_tables.h), which a Linux test keeps
// equal to iconv.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class CharsetDecoder {
public:
  explicit CharsetDecoder(const std::string& charsetName);
  ~CharsetDecoder();
  CharsetDecoder(const CharsetDecoder&) = delete;
  CharsetDecoder& operator=(const CharsetDecoder&) = delete;

  // false for a table the system cannot convert (e.g. ISO/IEC 8859-12,
  // which does not exist).
  bool Usable() const;

  // Appends the code points of `length` bytes. A sequence that is invalid or
  // cut short has its first `unitSize` bytes appended as -1 - byte each, and
  // decoding goes on behind them.
  void Decode(const uint8_t* bytes, size_t length, size_t unitSize, std::vector<int32_t>& out);

private:
  struct System;
  System* system_ = nullptr;
};
