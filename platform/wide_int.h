// A signed 128-bit integer for exact sums of products of 64-bit values: the
// compiler's own where it has one (64-bit targets), else two 64-bit halves
// (32-bit Windows) with the few operations such sums need. The two-halves
// type is compiled everywhere, so that it is checked against the built-in one.
#pragma once

#include <cmath>
#include <cstdint>

class WideIntPair {
public:
  constexpr WideIntPair(int64_t value = 0)  // NOLINT: converts like the built-in type
      : high_(value < 0 ? ~uint64_t{0} : 0), low_(static_cast<uint64_t>(value)) {}
  // The two's complement halves.
  static constexpr WideIntPair FromHalves(uint64_t high, uint64_t low) { return WideIntPair(high, low); }
  constexpr uint64_t High() const { return high_; }
  constexpr uint64_t Low() const { return low_; }

  friend constexpr WideIntPair operator+(WideIntPair a, WideIntPair b) {
    const uint64_t low = a.low_ + b.low_;
    return WideIntPair(a.high_ + b.high_ + (low < a.low_ ? 1 : 0), low);
  }
  friend constexpr WideIntPair operator-(WideIntPair a, WideIntPair b) { return a + b.Negated(); }
  // Modulo 2^128, as the built-in type wraps.
  friend constexpr WideIntPair operator*(WideIntPair a, WideIntPair b) {
    const uint64_t a0 = a.low_ & 0xFFFFFFFF, a1 = a.low_ >> 32, b0 = b.low_ & 0xFFFFFFFF, b1 = b.low_ >> 32;
    const uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
    const uint64_t middle = (p00 >> 32) + (p01 & 0xFFFFFFFF) + (p10 & 0xFFFFFFFF);
    const uint64_t low = (middle << 32) | (p00 & 0xFFFFFFFF);
    const uint64_t high = p11 + (p01 >> 32) + (p10 >> 32) + (middle >> 32) + a.high_ * b.low_ + a.low_ * b.high_;
    return WideIntPair(high, low);
  }
  WideIntPair& operator+=(WideIntPair other) { return *this = *this + other; }
  friend constexpr bool operator==(WideIntPair a, WideIntPair b) { return a.high_ == b.high_ && a.low_ == b.low_; }
  friend constexpr bool operator<(WideIntPair a, WideIntPair b) {
    const auto ah = static_cast<int64_t>(a.high_), bh = static_cast<int64_t>(b.high_);
    return ah != bh ? ah < bh : a.low_ < b.low_;
  }
  friend constexpr bool operator<=(WideIntPair a, WideIntPair b) { return !(b < a); }
  friend constexpr bool operator>(WideIntPair a, WideIntPair b) { return b < a; }
  friend constexpr bool operator>=(WideIntPair a, WideIntPair b) { return !(a < b); }
  // Rounded once, to nearest, as the built-in conversion is: the top 64
  // bits of the magnitude with the rest folded into the lowest one. The
  // magnitude is read unsigned, so -2^127 (its own negation) converts too.
  explicit operator double() const {
    const bool negative = static_cast<int64_t>(high_) < 0;
    const WideIntPair magnitude = negative ? Negated() : *this;
    const uint64_t high = magnitude.high_, low = magnitude.low_;
    double value;
    if (high == 0) {
      value = static_cast<double>(low);
    } else {
      const int shift = 64 - __builtin_clzll(high);
      const uint64_t top = shift == 64 ? high : (high << (64 - shift)) | (low >> shift);
      const uint64_t rest = shift == 64 ? low : low << (64 - shift);
      value = std::ldexp(static_cast<double>(top | (rest != 0 ? 1 : 0)), shift);
    }
    return negative ? -value : value;
  }

private:
  constexpr WideIntPair(uint64_t high, uint64_t low) : high_(high), low_(low) {}
  constexpr WideIntPair Negated() const { return WideIntPair(~high_ + (low_ == 0 ? 1 : 0), ~low_ + 1); }

  uint64_t high_;
  uint64_t low_;
};

#if defined(__SIZEOF_INT128__)
__extension__ typedef __int128 WideInt;
#else
using WideInt = WideIntPair;
#endif
