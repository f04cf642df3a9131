// Prints how DecodeDvbText reads every character of every DVB table: each
// byte of the one-byte tables (alone, and an ISO/IEC 6937 diacritic before
// each byte), every lead and trail byte pair of the two-byte tables, every
// UCS-2 unit and the UTF-8 sequences of two to four bytes. The Linux and
// Windows builds must print the same (scripts/windows-parity compares them).
#include <cstdio>
#include <string>

#include "analysis/engine/dvb_text.h"

namespace {

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char c : bytes) {
    text += kDigits[c >> 4];
    text += kDigits[c & 15];
  }
  return text;
}

void Show(const std::string& input) {
  const std::string line = Hex(input) + " " + Hex(DecodeDvbText(input)) + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
}

std::string Bytes(std::initializer_list<int> values) {
  std::string bytes;
  for (int v : values) bytes += static_cast<char>(v);
  return bytes;
}

}  // namespace

int main() {
  // ISO/IEC 6937 (no selector): each byte behind a letter, and each
  // diacritic before each letter.
  for (int b = 0x20; b <= 0xFF; ++b) Show(Bytes({'A', b}));
  for (int d = 0xC1; d <= 0xCF; ++d)
    for (int letter = 'A'; letter <= 'z'; ++letter) Show(Bytes({'A', d, letter}));
  // ISO/IEC 8859 parts by one-byte selector and by the 0x10 form.
  for (int selector = 0x01; selector <= 0x0B; ++selector)
    for (int b = 0x20; b <= 0xFF; ++b) Show(Bytes({selector, b}));
  for (int part = 1; part <= 15; ++part)
    for (int b = 0x20; b <= 0xFF; ++b) Show(Bytes({0x10, 0x00, part, b}));
  // The 0x10 form naming no table (8859-0, 8859-12, 8859-16 and above, a
  // high first byte): plain ASCII only.
  for (int part = 0; part <= 0xFF; ++part)
    if (part == 0 || part == 12 || part >= 16) Show(Bytes({0x10, 0x00, part, 'A', 0xE9, 0xA4}));
  Show(Bytes({0x10, 0x01, 0x01, 'A', 0xE9}));
  // ISO/IEC 6937: a diacritic before every byte (the euro sign among them).
  for (int d = 0xC1; d <= 0xCF; ++d)
    for (int b = 0x20; b <= 0xFF; ++b) Show(Bytes({'A', d, b, 'e'}));
  // Two-byte tables: KS X 1001, GB 2312, Big5.
  for (int selector : {0x12, 0x13, 0x14})
    for (int lead = 0x80; lead <= 0xFF; ++lead)
      for (int trail = 0x30; trail <= 0xFF; ++trail) Show(Bytes({selector, lead, trail}));
  // UCS-2 big endian, every unit.
  for (int unit = 0; unit <= 0xFFFF; ++unit) Show(Bytes({0x11, unit >> 8, unit & 0xFF}));
  // UTF-8: every two-byte pair from 0x80 on, three-byte sequences around
  // the surrogates and the edges.
  for (int lead = 0x80; lead <= 0xFF; ++lead)
    for (int trail = 0x00; trail <= 0xFF; ++trail) Show(Bytes({0x15, lead, trail}));
  for (int lead : {0xE0, 0xE1, 0xED, 0xEE, 0xEF, 0xF0, 0xF4})
    for (int second = 0x80; second <= 0xBF; ++second) Show(Bytes({0x15, lead, second, 0x80}));
  for (int lead = 0xF0; lead <= 0xF7; ++lead)
    for (int second = 0x80; second <= 0xBF; ++second) Show(Bytes({0x15, lead, second, 0xBF, 0xBF}));
  // A truncated sequence at the end and a selector alone.
  Show(Bytes({0x12, 0xB0}));
  Show(Bytes({0x11, 0x00}));
  return std::fflush(stdout) == 0 ? 0 : 1;
}
