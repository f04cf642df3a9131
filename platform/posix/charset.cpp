#include "platform/charset.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>

struct CharsetDecoder::System {
  iconv_t converter;
};

CharsetDecoder::CharsetDecoder(const std::string& charsetName) {
  iconv_t converter = iconv_open("UTF-32LE", charsetName.c_str());
  if (converter != reinterpret_cast<iconv_t>(-1)) system_ = new System{converter};
}

CharsetDecoder::~CharsetDecoder() {
  if (!system_) return;
  iconv_close(system_->converter);
  delete system_;
}

bool CharsetDecoder::Usable() const { return system_ != nullptr; }

void CharsetDecoder::Decode(const uint8_t* bytes, size_t length, size_t unitSize, std::vector<int32_t>& out) {
  if (!system_) return;
  iconv_t converter = system_->converter;
  iconv(converter, nullptr, nullptr, nullptr, nullptr);
  char* in = const_cast<char*>(reinterpret_cast<const char*>(bytes));
  size_t inLeft = length;
  // Bounded: every round consumes input or writes output, and a failing
  // position is skipped as undecodable.
  while (inLeft > 0) {
    unsigned char buffer[1024];
    char* outPos = reinterpret_cast<char*>(buffer);
    size_t outLeft = sizeof buffer;
    const size_t result = iconv(converter, &in, &inLeft, &outPos, &outLeft);
    const int error = errno;
    const size_t produced = sizeof buffer - outLeft;
    for (size_t i = 0; i + 4 <= produced; i += 4)
      out.push_back(static_cast<int32_t>(buffer[i] | (buffer[i + 1] << 8) | (buffer[i + 2] << 16) |
                                         (uint32_t{buffer[i + 3]} << 24)));
    if (result != static_cast<size_t>(-1) || error == E2BIG) continue;
    // An invalid or incomplete sequence: show its first unit as bytes and
    // go on behind it.
    const size_t skipped = std::min(unitSize, inLeft);
    for (size_t i = 0; i < skipped; ++i) out.push_back(-1 - static_cast<int32_t>(static_cast<uint8_t>(in[i])));
    in += skipped;
    inLeft -= skipped;
    iconv(converter, nullptr, nullptr, nullptr, nullptr);
  }
}
