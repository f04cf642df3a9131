// The compiled-in character tables the Windows build decodes names with
// (platform/charset_tables.inc) against the C library's iconv: every one- and
// two-byte sequence, longer UTF-8 ones and mixed text must give the same code
// points and the same undecodable bytes. A failure means the committed tables
// no longer match iconv: regenerate them with scripts/charset-tables.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/charset.h"
#include "platform/charset_tables.h"

namespace {

const char* const kNames[] = {"ASCII",       "ISO_6937",    "ISO-8859-1",  "ISO-8859-2",  "ISO-8859-3",
                              "ISO-8859-4",  "ISO-8859-5",  "ISO-8859-6",  "ISO-8859-7",  "ISO-8859-8",
                              "ISO-8859-9",  "ISO-8859-10", "ISO-8859-11", "ISO-8859-13", "ISO-8859-14",
                              "ISO-8859-15", "ISO-8859-16", "UCS-2BE",     "EUC-KR",      "GB2312",
                              "BIG5",        "UTF-8"};

std::string Hex(const std::vector<uint8_t>& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (uint8_t b : bytes) {
    text += kDigits[b >> 4];
    text += kDigits[b & 15];
  }
  return text;
}

// Decodes inputs by iconv and by the table, counting those that differ.
class Comparison {
public:
  explicit Comparison(const char* name) : name_(name), iconv_(name), table_(FindCharsetTable(name)) {}

  bool Ready() const { return iconv_.Usable() && table_ != nullptr; }

  void Check(const std::vector<uint8_t>& input, size_t unitSize) {
    std::vector<int32_t> expected, actual;
    iconv_.Decode(input.data(), input.size(), unitSize, expected);
    DecodeByCharsetTable(*table_, input.data(), input.size(), unitSize, actual);
    ++checked_;
    if (expected == actual) return;
    if (differing_++ < 5)
      ADD_FAILURE() << name_ << ": " << Hex(input) << " (unit " << unitSize << ") reads as " << Show(actual)
                    << ", iconv " << Show(expected);
  }

  size_t checked() const { return checked_; }
  size_t differing() const { return differing_; }

private:
  static std::string Show(const std::vector<int32_t>& points) {
    std::string text;
    for (int32_t p : points) text += std::to_string(p) + " ";
    return text;
  }

  const char* name_;
  CharsetDecoder iconv_;
  const CharsetTable* table_;
  size_t checked_ = 0;
  size_t differing_ = 0;
};

size_t UnitSize(const std::string& name) { return name == "UCS-2BE" ? 2 : 1; }

}  // namespace

TEST(CharsetTables, EveryOneAndTwoByteSequenceDecodesAsIconvDoes) {
  for (const char* name : kNames) {
    Comparison comparison(name);
    ASSERT_TRUE(comparison.Ready()) << name;
    for (size_t unit : {size_t{1}, size_t{2}}) {
      for (int a = 0; a < 256; ++a) {
        comparison.Check({static_cast<uint8_t>(a)}, unit);
        for (int b = 0; b < 256; ++b) comparison.Check({static_cast<uint8_t>(a), static_cast<uint8_t>(b)}, unit);
      }
    }
    EXPECT_EQ(comparison.checked(), 2u * (256 + 256 * 256)) << name;
    EXPECT_EQ(comparison.differing(), 0u) << name;
  }
}

TEST(CharsetTables, LongerUtf8SequencesDecodeAsIconvDoes) {
  Comparison comparison("UTF-8");
  ASSERT_TRUE(comparison.Ready());
  const uint8_t edges[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xFF};
  for (int lead = 0xE0; lead <= 0xF7; ++lead)
    for (int second = 0; second < 256; ++second)
      for (uint8_t third : edges) {
        const uint8_t l = static_cast<uint8_t>(lead), s = static_cast<uint8_t>(second);
        comparison.Check({l, s, third}, 1);
        for (uint8_t fourth : edges) comparison.Check({l, s, third, fourth, 0x41}, 1);
      }
  EXPECT_EQ(comparison.differing(), 0u);
}

TEST(CharsetTables, MixedTextDecodesAsIconvDoes) {
  // Bytes drawn mostly from where each table's characters lie, so that whole
  // characters, cut ones and stray bytes follow each other.
  const uint8_t pool[] = {0x41, 0x20, 0x00, 0x7F, 0x80, 0x9F, 0xA1, 0xA4, 0xB0, 0xC1, 0xC2, 0xC8, 0xCF,
                          0xD6, 0xD8, 0xDC, 0xE0, 0xE8, 0xED, 0xF0, 0xFE, 0xFF, 0x65, 0x61};
  for (const char* name : kNames) {
    Comparison comparison(name);
    ASSERT_TRUE(comparison.Ready()) << name;
    uint32_t seed = 12345;
    for (int text = 0; text < 4000; ++text) {
      seed = seed * 1103515245u + 12345u;
      std::vector<uint8_t> input(1 + (seed >> 16) % 24);
      for (uint8_t& byte : input) {
        seed = seed * 1103515245u + 12345u;
        byte = (seed >> 28) < 5 ? static_cast<uint8_t>(seed >> 8) : pool[(seed >> 16) % std::size(pool)];
      }
      comparison.Check(input, UnitSize(name));
    }
    EXPECT_EQ(comparison.differing(), 0u) << name;
  }
}

TEST(CharsetTables, TablesIconvDoesNotKnowHaveNoCopy) {
  for (const char* name : {"ISO-8859-12", "ISO-8859-0", "NO-SUCH-TABLE"}) {
    EXPECT_FALSE(CharsetDecoder(name).Usable()) << name;
    EXPECT_EQ(FindCharsetTable(name), nullptr) << name;
  }
}
