#include "analysis/si/atsc_text.h"

#include <cstdio>
#include <functional>

extern const uint8_t kAtscTitleDecodeTree[1940];
extern const uint8_t kAtscDescriptionDecodeTree[1782];

namespace {

constexpr int kEscape = 27;  // leaf: the next eight bits are the character itself
constexpr int kEndOfString = 0;

struct DecodeTree {
  const uint8_t* bytes;
  size_t size;
};

bool TreeFor(int compressionType, DecodeTree& tree) {
  if (compressionType == 1) tree = {kAtscTitleDecodeTree, sizeof kAtscTitleDecodeTree};
  else if (compressionType == 2) tree = {kAtscDescriptionDecodeTree, sizeof kAtscDescriptionDecodeTree};
  else return false;
  return true;
}

size_t TreeRoot(const DecodeTree& tree, int context) {
  return (size_t{tree.bytes[2 * context]} << 8) | tree.bytes[2 * context + 1];
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// A character for display: controls become a blank or a hex escape.
void AppendChar(std::string& out, uint32_t cp) {
  if (cp == '\n' || cp == '\r' || cp == '\t') {
    out += ' ';
  } else if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0) || (cp >= 0xD800 && cp < 0xE000)) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned>(cp & 0xFF));
    out += hex;
  } else {
    AppendUtf8(out, cp);
  }
}

void AppendHex(std::string& out, const uint8_t* data, size_t size) {
  char hex[8];
  for (size_t i = 0; i < size; ++i) {
    std::snprintf(hex, sizeof hex, "\\x%02X", data[i]);
    out += hex;
  }
}

// Modes whose bytes are the low byte of a Unicode code point in page `mode`.
bool IsUnicodePageMode(int mode) {
  return (mode >= 0x00 && mode <= 0x06) || (mode >= 0x09 && mode <= 0x10) || (mode >= 0x20 && mode <= 0x27) ||
         (mode >= 0x30 && mode <= 0x33);
}

void DecodeSegment(int compression, int mode, const uint8_t* bytes, size_t size, std::string& out) {
  if (compression == 1 || compression == 2) {
    std::string latin1;
    if (mode == 0x00 && DecodeAtscHuffman(compression, bytes, size, latin1)) {
      for (unsigned char c : latin1) AppendChar(out, c);
      return;
    }
    AppendHex(out, bytes, size);
    return;
  }
  if (compression != 0) {
    AppendHex(out, bytes, size);
    return;
  }
  if (IsUnicodePageMode(mode)) {
    for (size_t i = 0; i < size; ++i) AppendChar(out, (static_cast<uint32_t>(mode) << 8) | bytes[i]);
  } else if (mode == 0x3F) {
    out += DecodeAtscUtf16(bytes, size);
  } else {
    AppendHex(out, bytes, size);
  }
}

std::string Language(const uint8_t* code) {
  std::string language;
  for (int i = 0; i < 3; ++i) language += code[i] >= 0x20 && code[i] < 0x7F ? static_cast<char>(code[i]) : '?';
  return language;
}

}  // namespace

bool DecodeAtscHuffman(int compressionType, const uint8_t* data, size_t size, std::string& latin1) {
  DecodeTree tree{};
  if (!TreeFor(compressionType, tree)) return false;
  const size_t totalBits = size * 8;
  size_t bit = 0;
  auto nextBit = [&]() { return (data[bit / 8] >> (7 - bit % 8)) & 1; };
  int context = 0;
  while (bit < totalBits) {
    const size_t root = TreeRoot(tree, context);
    size_t node = 0;
    int leaf = -1;
    // A tree has fewer than 128 nodes: a longer path is a broken code.
    for (int depth = 0; depth < 128 && bit < totalBits; ++depth) {
      const size_t at = root + 2 * node + static_cast<size_t>(nextBit());
      ++bit;
      if (at >= tree.size) return false;
      const uint8_t value = tree.bytes[at];
      if (value & 0x80) {
        leaf = value & 0x7F;
        break;
      }
      node = value;
    }
    if (leaf < 0) return bit >= totalBits;  // padding bits at the end
    if (leaf == kEndOfString) return true;
    int character = leaf;
    if (leaf == kEscape) {
      if (bit + 8 > totalBits) return true;  // padding bits that began like an escape
      character = 0;
      for (int k = 0; k < 8; ++k, ++bit) character = (character << 1) | nextBit();
      // Trees without a terminating leaf end the string with an escaped zero.
      if (character == kEndOfString) return true;
    }
    latin1 += static_cast<char>(character);
    context = character & 0x7F;
  }
  return true;
}

std::vector<uint8_t> EncodeAtscHuffman(int compressionType, const std::string& latin1) {
  DecodeTree tree{};
  if (!TreeFor(compressionType, tree)) return {};
  std::vector<uint8_t> out;
  size_t bits = 0;
  auto put = [&](int b) {
    if (bits % 8 == 0) out.push_back(0);
    if (b) out.back() |= static_cast<uint8_t>(0x80 >> (bits % 8));
    ++bits;
  };
  // The path to `leaf` in the tree of `context`, as bits; false when none.
  auto path = [&](int context, int leafValue, std::vector<int>& bitsOut) {
    const size_t root = TreeRoot(tree, context);
    std::function<bool(size_t, int)> walk = [&](size_t node, int depth) -> bool {
      if (depth > 64) return false;
      for (int b = 0; b < 2; ++b) {
        const size_t at = root + 2 * node + static_cast<size_t>(b);
        if (at >= tree.size) return false;
        const uint8_t value = tree.bytes[at];
        bitsOut.push_back(b);
        if ((value & 0x80) ? (value & 0x7F) == leafValue : walk(value, depth + 1)) return true;
        bitsOut.pop_back();
      }
      return false;
    };
    return walk(0, 0);
  };
  int context = 0;
  for (unsigned char c : latin1) {
    std::vector<int> code;
    if (c < 0x80 && c != kEscape && c != kEndOfString && path(context, c, code)) {
      for (int b : code) put(b);
    } else {
      code.clear();
      if (!path(context, kEscape, code)) return {};
      for (int b : code) put(b);
      for (int k = 7; k >= 0; --k) put((c >> k) & 1);
    }
    context = c & 0x7F;
  }
  std::vector<int> end;
  if (path(context, kEndOfString, end)) {
    for (int b : end) put(b);
  } else if (path(context, kEscape, end)) {
    for (int b : end) put(b);
    for (int k = 0; k < 8; ++k) put(0);
  }
  return out;
}

std::string DecodeAtscUtf16(const uint8_t* bytes, size_t size) {
  std::string out;
  for (size_t i = 0; i + 1 < size; i += 2) {
    uint32_t cp = (uint32_t{bytes[i]} << 8) | bytes[i + 1];
    if (cp >= 0xD800 && cp < 0xDC00 && i + 3 < size) {
      const uint32_t low = (uint32_t{bytes[i + 2]} << 8) | bytes[i + 3];
      if (low >= 0xDC00 && low < 0xE000) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      }
    }
    AppendChar(out, cp);
  }
  if (size % 2) AppendHex(out, bytes + size - 1, 1);
  return out;
}

std::vector<AtscString> DecodeAtscMultipleString(const uint8_t* data, size_t size, size_t* used) {
  std::vector<AtscString> strings;
  size_t pos = 0;
  if (size < 1) {
    if (used) *used = 0;
    return strings;
  }
  const int count = data[pos++];
  for (int i = 0; i < count && pos + 4 <= size; ++i) {
    AtscString s;
    s.language = Language(data + pos);
    const int segments = data[pos + 3];
    pos += 4;
    for (int k = 0; k < segments && pos + 3 <= size; ++k) {
      const int compression = data[pos];
      const int mode = data[pos + 1];
      const size_t length = std::min<size_t>(data[pos + 2], size - pos - 3);
      DecodeSegment(compression, mode, data + pos + 3, length, s.text);
      pos += 3 + length;
    }
    strings.push_back(std::move(s));
  }
  if (used) *used = std::min(pos, size);
  return strings;
}

std::string AtscStringText(const std::vector<AtscString>& strings, const std::string& language) {
  if (strings.empty()) return {};
  for (const AtscString& s : strings)
    if (!language.empty() && s.language == language) return s.text;
  return strings.front().text;
}
