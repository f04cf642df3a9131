// Service and provider names as DVB carries them (a character-table selector
// byte, then text in that table) turned into readable text for display.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The name as one row of UTF-8 text:
// - the leading selector chooses the table: none (first byte 0x20 or above)
//   the Latin default table, ISO/IEC 6937 with the euro sign at 0xA4;
//   0x01-0x0B ISO/IEC 8859-5 to -15; 0x10 0x00 N ISO/IEC 8859-N; 0x11 UCS-2
//   big-endian; 0x12 KS X 1001; 0x13 GB2312; 0x14 Big5; 0x15 UTF-8; other
//   selectors name no table this system knows, so only plain ASCII of such a
//   name is shown;
// - control codes 0x80-0x9F (U+E080-U+E09F in the two-byte tables): the
//   CR/LF code 0x8A becomes a blank, the others (emphasis on/off, reserved,
//   user-defined) are removed;
// - CR, LF and TAB become a blank (a CR LF pair one blank), so a name never
//   breaks a row;
// - every byte that cannot be decoded, and every other C0 control byte, is
//   shown as "\xNN" (upper-case hex) in its place.
std::string DecodeDvbText(const uint8_t* bytes, size_t length);
// The same for a name kept as a byte string.
std::string DecodeDvbText(const std::string& bytes);
// An event's text, which may run over several lines: the same, but the CR/LF
// code 0x8A, CR, LF and a CR LF pair are each a line break ("\n").
std::string DecodeDvbTextLines(const uint8_t* bytes, size_t length);

// The name's raw bytes as upper-case hex, two digits a byte ("0450312E31"),
// for reports that keep what the stream carried beside the decoded text.
std::string DvbTextHex(const std::string& bytes);
