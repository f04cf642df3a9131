// ATSC text: the multiple_string_structure of A/65 (several languages, each
// in segments), with its Unicode modes and the two Huffman codings of
// Annex C (compression_type 1: program titles, 2: program descriptions).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct AtscString {
  std::string language;  // ISO 639-2 code, three letters
  std::string text;      // UTF-8
};

// Decodes a multiple_string_structure of `size` bytes. Segments this system
// cannot read (unknown compression or mode) are shown as "\xNN" hex bytes.
// `used`, when given, receives the bytes the structure took.
std::vector<AtscString> DecodeAtscMultipleString(const uint8_t* data, size_t size, size_t* used = nullptr);

// UTF-16 (big-endian) text as UTF-8, surrogate pairs joined; a lone
// surrogate or a control is shown as a "\xNN" escape.
std::string DecodeAtscUtf16(const uint8_t* data, size_t size);

// The first string's text, or the one in `language` when there is one.
std::string AtscStringText(const std::vector<AtscString>& strings, const std::string& language = {});

// Decodes Huffman-coded text (compression_type 1 or 2) to Latin-1 bytes.
// Returns false when the bits do not follow the code (the text so far is kept).
bool DecodeAtscHuffman(int compressionType, const uint8_t* data, size_t size, std::string& latin1);

// Encodes Latin-1 text with compression_type 1 or 2 (for building test
// streams and round trips); characters the tree has no leaf for are escaped.
std::vector<uint8_t> EncodeAtscHuffman(int compressionType, const std::string& latin1);
