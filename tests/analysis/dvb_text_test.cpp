// DecodeDvbText: service and provider names decoded from their DVB
// character table into one row of UTF-8 for display.
#include <gtest/gtest.h>

#include <string>

#include "analysis/engine/dvb_text.h"

namespace {

std::string Decode(const std::string& bytes) {
  return DecodeDvbText(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace

TEST(DvbText, WithoutSelectorTheLatinDefaultTableIsUsed) {
  EXPECT_EQ(Decode("News 24"), "News 24");
  // ISO/IEC 6937: a non-spacing accent (0xC2 acute) before its letter.
  EXPECT_EQ(Decode("Caf\xC2" "e"), "Caf\u00E9");
  EXPECT_EQ(Decode(""), "");
  EXPECT_EQ(DecodeDvbText(nullptr, 4), "");
}

TEST(DvbText, TheDefaultTableHasTheEuroSignAt0xA4) {
  struct Case {
    const char* bytes;
    const char* text;
  } cases[] = {
      {"10 \xA4", "10 \u20AC"},
      {"\xA4\xA4" "5", "\u20AC\u20AC" "5"},
      {"\xC2" "e\xA4\xC2" "e", "\u00E9\u20AC\u00E9"},
      // A diacritic waits for a letter: before the euro sign it is shown as a byte.
      {"\xC2\xA4", "\\xC2\u20AC"},
      // 0xE9 is O with stroke here, not the Latin-1 e acute some broadcasters
      // send without a selector.
      {"R\xE9" "alis\xE9", "R\u00D8" "alis\u00D8"},
  };
  for (const Case& c : cases) EXPECT_EQ(Decode(c.bytes), c.text) << c.bytes;
  EXPECT_EQ(Decode("\x0B\xA4"), "\u20AC") << "8859-15, by its own table";
  EXPECT_EQ(Decode("\x01\xA4"), "\u0404") << "other tables keep their own 0xA4";
}

TEST(DvbText, SelectorBytesChooseTheTableAndAreNotShown) {
  EXPECT_EQ(Decode("\x04P1.1"), "P1.1");
  EXPECT_EQ(Decode("\x01\xB6"), "\u0416") << "0x01: ISO/IEC 8859-5 (Cyrillic)";
  EXPECT_EQ(Decode("\x03\xE1"), "\u03B1") << "0x03: ISO/IEC 8859-7 (Greek)";
  EXPECT_EQ(Decode("\x0B\xA4"), "\u20AC") << "0x0B: ISO/IEC 8859-15";
  EXPECT_EQ(Decode(std::string("\x10\x00\x0F" "Caf\xE9 \xA4", 9)), "Caf\u00E9 \u20AC")
      << "0x10 with the 8859 part number";
  EXPECT_EQ(Decode(std::string("\x11\x4E\x2D\x65\x87", 5)), "\u4E2D\u6587") << "UCS-2";
  EXPECT_EQ(Decode("\x12\xC7\xD1\xB1\xB9"), "\uD55C\uAD6D") << "KS X 1001";
  EXPECT_EQ(Decode("\x13\xD6\xD0\xCE\xC4"), "\u4E2D\u6587") << "GB2312";
  EXPECT_EQ(Decode("\x14\xA4\xA4\xA4\xE5"), "\u4E2D\u6587") << "Big5";
  EXPECT_EQ(Decode("\x15\xE8\x8A\x82\xE7\x9B\xAE"), "\u8282\u76EE") << "UTF-8";
  EXPECT_EQ(Decode("\x15"), "");
}

TEST(DvbText, ControlCodesAreRemovedAndTheLineBreakCodeIsABlank) {
  EXPECT_EQ(Decode("\x86" "Big\x87 News\x8A" "Today\x80\x9F"), "Big News Today");
  EXPECT_EQ(Decode("\x13\x86\xD6\xD0\x87\x8A\xCE\xC4"), "\u4E2D \u6587") << "around GB2312 characters";
  // The two-byte tables code them as U+E080 to U+E09F.
  EXPECT_EQ(Decode(std::string("\x11\xE0\x86\x00" "A\xE0\x87\xE0\x8A\x00" "B", 11)), "A B");
  EXPECT_EQ(Decode("\x15\xEE\x82\x86" "A\xEE\x82\x8A" "B"), "A B");
}

TEST(DvbText, LineBreaksAndTabsNeverBreakTheRow) {
  EXPECT_EQ(Decode("Prov\r\nName"), "Prov Name") << "CR LF is one blank";
  EXPECT_EQ(Decode("A\rB\nC\tD"), "A B C D");
  EXPECT_EQ(Decode(std::string("\x11\x00\x0D\x00\x0A\x00" "X", 7)), " X");
}

TEST(DvbText, AnEventsTextKeepsItsLineBreaks) {
  auto lines = [](const std::string& bytes) {
    return DecodeDvbTextLines(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  };
  EXPECT_EQ(lines("End\x8A" "Next\r\nLast\tword\x86!"), "End\nNext\nLast word!");
  EXPECT_EQ(lines("\x15" "A\xEE\x82\x8A" "B\rC"), "A\nB\nC") << "UTF-8, the code as U+E08A";
  EXPECT_EQ(lines(std::string("\x11\xE0\x8A\x00" "X", 5)), "\nX") << "UCS-2";
}

TEST(DvbText, UndecodableBytesAreShownEscapedInTheirPlace) {
  EXPECT_EQ(Decode("\x15\xFF\xFE ok"), "\\xFF\\xFE ok") << "invalid UTF-8";
  EXPECT_EQ(Decode("\x15" "ab\xE8\x8A"), "ab\\xE8\\x8A") << "a cut UTF-8 sequence";
  EXPECT_EQ(Decode(std::string("\x11\x4E\x2D\xD8\x00\x00" "A\x41", 8)), "\u4E2D\\xD8\\x00A\\x41")
      << "a lone surrogate, then a byte left over";
  EXPECT_EQ(Decode("\x13\xD6\xD0\xFF"), "\u4E2D\\xFF");
  EXPECT_EQ(Decode("Bell\x07"), "Bell\\x07") << "other control characters";
  EXPECT_EQ(Decode(std::string("A\x00" "B", 3)), "A\\x00B");
  // Tables this system does not know: the selector goes, ASCII stays.
  EXPECT_EQ(Decode("\x0C" "ab\xE9"), "ab\\xE9");
  EXPECT_EQ(Decode("\x1F\x01" "ab"), "ab") << "0x1F is followed by an encoding_type_id";
  EXPECT_EQ(Decode(std::string("\x10\x00\x0C" "ab\xE9", 6)), "ab\\xE9") << "there is no 8859-12";
}
