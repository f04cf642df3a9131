#include "platform/charset.h"

#include "platform/charset_tables.h"

// Windows' code pages read several of these tables differently from iconv
// (ISO/IEC 6937 and the two-byte tables most): the names are decoded by
// compiled-in copies of iconv's tables instead, so both systems agree.
struct CharsetDecoder::System {
  const CharsetTable* table;
};

CharsetDecoder::CharsetDecoder(const std::string& charsetName) {
  if (const CharsetTable* table = FindCharsetTable(charsetName)) system_ = new System{table};
}

CharsetDecoder::~CharsetDecoder() { delete system_; }

bool CharsetDecoder::Usable() const { return system_ != nullptr; }

void CharsetDecoder::Decode(const uint8_t* bytes, size_t length, size_t unitSize, std::vector<int32_t>& out) {
  if (system_) DecodeByCharsetTable(*system_->table, bytes, length, unitSize, out);
}
