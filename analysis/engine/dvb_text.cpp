#include "analysis/engine/dvb_text.h"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "platform/charset.h"

namespace {

// How the bytes behind the selector are read.
struct TextTable {
  std::string iconvName;
  size_t selectorSize = 0;
  // Bytes that form one character at least: an undecodable UCS-2 unit is
  // shown as both of its bytes.
  size_t unitSize = 1;
  // In the one-byte and EUC tables the bytes 0x80-0x9F are never part of a
  // character and are the control codes themselves; in Big5 and UTF-8 they
  // can be inside a character, and the two-byte tables code them as
  // U+E080-U+E09F.
  bool controlBytesStandAlone = false;
  // The default table is ISO/IEC 6937 with the euro sign added at 0xA4,
  // a byte that table (and so iconv) leaves unused.
  bool euroAtA4 = false;
};

// Names with a selector this system does not know: only plain ASCII shows.
constexpr const char* kUnknownTable = "ASCII";

TextTable ChooseTable(const uint8_t* bytes, size_t length) {
  const uint8_t selector = bytes[0];
  if (selector >= 0x20) return {"ISO_6937", 0, 1, true, true};
  if (selector >= 0x01 && selector <= 0x0B)
    return {"ISO-8859-" + std::to_string(selector + 4), 1, 1, true};
  switch (selector) {
    case 0x10:
      // Followed by a 16-bit ISO/IEC 8859 part number.
      if (length >= 3 && bytes[1] == 0x00 && bytes[2] >= 1 && bytes[2] <= 15)
        return {"ISO-8859-" + std::to_string(bytes[2]), 3, 1, true};
      return {kUnknownTable, std::min<size_t>(3, length), 1, false};
    case 0x11: return {"UCS-2BE", 1, 2, false};
    case 0x12: return {"EUC-KR", 1, 1, true};
    case 0x13: return {"GB2312", 1, 1, true};
    case 0x14: return {"BIG5", 1, 1, false};
    case 0x15: return {"UTF-8", 1, 1, false};
    case 0x1F:  // followed by an encoding_type_id
      return {kUnknownTable, std::min<size_t>(2, length), 1, false};
    default: return {kUnknownTable, 1, 1, false};
  }
}

// Decoded text before it is laid out: Unicode code points, and bytes that
// could not be decoded stored as -1 - byte.
using CodePoints = std::vector<int32_t>;

constexpr int32_t kEuroSign = 0x20AC;

int32_t Undecodable(uint8_t byte) { return -1 - static_cast<int32_t>(byte); }

CodePoints DecodeToCodePoints(const uint8_t* bytes, size_t length) {
  CodePoints points;
  const TextTable table = ChooseTable(bytes, length);
  CharsetDecoder tableDecoder(table.iconvName);
  // A table the C library cannot convert (e.g. ISO/IEC 8859-12, which does
  // not exist) leaves plain ASCII.
  std::optional<CharsetDecoder> asciiDecoder;
  if (!tableDecoder.Usable()) asciiDecoder.emplace(kUnknownTable);
  CharsetDecoder& converter = asciiDecoder ? *asciiDecoder : tableDecoder;
  const uint8_t* text = bytes + table.selectorSize;
  const size_t textLength = length - table.selectorSize;
  if (!converter.Usable()) {
    for (size_t i = 0; i < textLength; ++i)
      points.push_back(text[i] < 0x80 ? text[i] : Undecodable(text[i]));
    return points;
  }
  if (!table.controlBytesStandAlone) {
    converter.Decode(text, textLength, table.unitSize, points);
  } else {
    size_t runStart = 0;
    for (size_t i = 0; i <= textLength; ++i) {
      const bool control = i < textLength && text[i] >= 0x80 && text[i] <= 0x9F;
      const bool euro = i < textLength && table.euroAtA4 && text[i] == 0xA4;
      if (i < textLength && !control && !euro) continue;
      converter.Decode(text + runStart, i - runStart, table.unitSize, points);
      if (control) points.push_back(text[i]);
      if (euro) points.push_back(kEuroSign);
      runStart = i + 1;
    }
  }
  return points;
}

void AppendUtf8(std::string& out, uint32_t codePoint) {
  if (codePoint < 0x80) {
    out += static_cast<char>(codePoint);
  } else if (codePoint < 0x800) {
    out += static_cast<char>(0xC0 | (codePoint >> 6));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else if (codePoint < 0x10000) {
    out += static_cast<char>(0xE0 | (codePoint >> 12));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (codePoint >> 18));
    out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  }
}

void AppendEscaped(std::string& out, uint32_t byte) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  out += "\\x";
  out += kDigits[(byte >> 4) & 0x0F];
  out += kDigits[byte & 0x0F];
}

// The DVB control code a code point stands for (0x80-0x9F), or 0.
uint32_t ControlCode(int32_t point) {
  if (point >= 0x80 && point <= 0x9F) return static_cast<uint32_t>(point);
  if (point >= 0xE080 && point <= 0xE09F) return static_cast<uint32_t>(point - 0xE000);
  return 0;
}

constexpr uint32_t kControlLineBreak = 0x8A;

std::string Decode(const uint8_t* bytes, size_t length, bool lines) {
  const char lineBreak = lines ? '\n' : ' ';
  std::string text;
  if (bytes == nullptr || length == 0) return text;
  const CodePoints points = DecodeToCodePoints(bytes, length);
  for (size_t i = 0; i < points.size(); ++i) {
    const int32_t point = points[i];
    if (point < 0) {
      AppendEscaped(text, static_cast<uint32_t>(-1 - point));
    } else if (point == '\r' || point == '\n' || point == '\t') {
      text += point == '\t' ? ' ' : lineBreak;
      if (point == '\r' && i + 1 < points.size() && points[i + 1] == '\n') ++i;
    } else if (point < 0x20 || point == 0x7F) {
      AppendEscaped(text, static_cast<uint32_t>(point));
    } else if (const uint32_t control = ControlCode(point)) {
      if (control == kControlLineBreak) text += lineBreak;
    } else {
      AppendUtf8(text, static_cast<uint32_t>(point));
    }
  }
  return text;
}

}  // namespace

std::string DecodeDvbText(const uint8_t* bytes, size_t length) { return Decode(bytes, length, false); }

std::string DecodeDvbTextLines(const uint8_t* bytes, size_t length) { return Decode(bytes, length, true); }

std::string DecodeDvbText(const std::string& bytes) {
  return DecodeDvbText(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

std::string DvbTextHex(const std::string& bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (unsigned char b : bytes) {
    hex += kDigits[b >> 4];
    hex += kDigits[b & 0x0F];
  }
  return hex;
}
