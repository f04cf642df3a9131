#include "platform/charset.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>

namespace {

constexpr UINT kUcs2BigEndian = 1201;

// The Windows code page of an iconv table name, 0 for none.
UINT CodePageFor(const std::string& name) {
  if (name == "ASCII") return 20127;
  if (name == "ISO_6937") return 20269;
  if (name == "UCS-2BE") return kUcs2BigEndian;
  if (name == "EUC-KR") return 51949;
  if (name == "GB2312") return 20936;
  if (name == "BIG5") return 950;
  if (name == "UTF-8") return CP_UTF8;
  if (name.rfind("ISO-8859-", 0) == 0) {
    const int part = std::atoi(name.c_str() + 9);
    if (part >= 1 && part <= 16 && part != 12) return static_cast<UINT>(28590 + part);
  }
  return 0;
}

// Bytes the sequence starting at `bytes` must have; 0 when this lead byte
// starts none.
size_t SequenceLength(UINT codePage, const CPINFO& info, const uint8_t* bytes) {
  const uint8_t lead = bytes[0];
  if (codePage == CP_UTF8) {
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
  }
  if (info.MaxCharSize == 2) {
    for (int i = 0; i + 1 < MAX_LEADBYTES && info.LeadByte[i] != 0; i += 2)
      if (lead >= info.LeadByte[i] && lead <= info.LeadByte[i + 1]) return 2;
  }
  return 1;
}

}  // namespace

struct CharsetDecoder::System {
  UINT codePage;
  CPINFO info;
};

CharsetDecoder::CharsetDecoder(const std::string& charsetName) {
  const UINT codePage = CodePageFor(charsetName);
  if (codePage == kUcs2BigEndian) {
    system_ = new System{codePage, {}};
    return;
  }
  CPINFO info{};
  if (codePage != 0 && IsValidCodePage(codePage) && GetCPInfo(codePage, &info)) system_ = new System{codePage, info};
}

CharsetDecoder::~CharsetDecoder() { delete system_; }

bool CharsetDecoder::Usable() const { return system_ != nullptr; }

void CharsetDecoder::Decode(const uint8_t* bytes, size_t length, size_t unitSize, std::vector<int32_t>& out) {
  if (!system_) return;
  const UINT codePage = system_->codePage;
  size_t at = 0;
  // Bounded: every round consumes at least one byte.
  while (at < length) {
    const size_t left = length - at;
    bool decoded = false;
    size_t used = 0;
    if (codePage == kUcs2BigEndian) {
      if (left >= 2) {
        const uint32_t unit = static_cast<uint32_t>(bytes[at] << 8 | bytes[at + 1]);
        if (unit < 0xD800 || unit > 0xDFFF) {
          out.push_back(static_cast<int32_t>(unit));
          decoded = true;
          used = 2;
        }
      }
    } else if (const size_t want = SequenceLength(codePage, system_->info, bytes + at); want > 0 && want <= left) {
      wchar_t wide[4];
      const char* sequence = reinterpret_cast<const char*>(bytes + at);
      const DWORD flags = codePage == CP_UTF8 || system_->info.MaxCharSize == 2 ? MB_ERR_INVALID_CHARS : 0;
      const int count = MultiByteToWideChar(codePage, flags, sequence, static_cast<int>(want), wide, 4);
      // A byte the table does not define comes back as its default character.
      const bool defaulted = count == 1 && ((wide[0] == L'?' && sequence[0] != '?') || wide[0] == 0xFFFD);
      if (count > 0 && !defaulted) {
        for (int i = 0; i < count; ++i) {
          uint32_t point = wide[i];
          if (point >= 0xD800 && point <= 0xDBFF && i + 1 < count) {
            point = 0x10000 + ((point - 0xD800) << 10) + (static_cast<uint32_t>(wide[i + 1]) - 0xDC00);
            ++i;
          }
          out.push_back(static_cast<int32_t>(point));
        }
        decoded = true;
        used = want;
      }
    }
    if (decoded) {
      at += used;
      continue;
    }
    // An invalid or incomplete sequence: its first unit shows as bytes.
    const size_t skipped = std::min(unitSize, left);
    for (size_t i = 0; i < skipped; ++i) out.push_back(-1 - static_cast<int32_t>(bytes[at + i]));
    at += skipped;
  }
}
