// A signed 128-bit integer for exact sums of products of 64-bit values: the
// compiler's own where it has one (64-bit targets), else two 64-bit halves
// (32-bit Windows) with the few operations such sums need.
#pragma once

#include <cmath>
#include <cstdint>

#if defined(__SIZEOF_INT128__)
__extension__ typedef __int128 WideInt;
#else
class WideInt {
public:
  constexpr WideInt(int64_t value = 0)  // NOLINT: converts like the built-in type
      : high_(value < 0 ? ~uint64_t{0} : 0), low_(static_cast<uint64_t>(value)) {}

  friend constexpr WideInt operator+(WideInt a, WideInt b) {
    const uint64_t low = a.low_ + b.low_;
    return WideInt(a.high_ + b.high_ + (low < a.low_ ? 1 : 0), low);
  }
  friend constexpr WideInt operator-(WideInt a, WideInt b) { return a + b.Negated(); }
  // Modulo 2^128, as the built-in type wraps.
  friend constexpr WideInt operator*(WideInt a, WideInt b) {
    const uint64_t a0 = a.low_ & 0xFFFFFFFF, a1 = a.low_ >> 32, b0 = b.low_ & 0xFFFFFFFF, b1 = b.low_ >> 32;
    const uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
    const uint64_t middle = (p00 >> 32) + (p01 & 0xFFFFFFFF) + (p10 & 0xFFFFFFFF);
    const uint64_t low = (middle << 32) | (p00 & 0xFFFFFFFF);
    const uint64_t high = p11 + (p01 >> 32) + (p10 >> 32) + (middle >> 32) + a.high_ * b.low_ + a.low_ * b.high_;
    return WideInt(high, low);
  }
  WideInt& operator+=(WideInt other) { return *this = *this + other; }
  friend constexpr bool operator<(WideInt a, WideInt b) {
    const auto ah = static_cast<int64_t>(a.high_), bh = static_cast<int64_t>(b.high_);
    return ah != bh ? ah < bh : a.low_ < b.low_;
  }
  friend constexpr bool operator<=(WideInt a, WideInt b) { return !(b < a); }
  friend constexpr bool operator>(WideInt a, WideInt b) { return b < a; }
  friend constexpr bool operator>=(WideInt a, WideInt b) { return !(a < b); }
  // Rounded once, to nearest, as the built-in conversion is: the top 64
  // bits with the rest folded into the lowest one.
  explicit operator double() const {
    if (static_cast<int64_t>(high_) < 0) return -static_cast<double>(Negated());
    if (high_ == 0) return static_cast<double>(low_);
    const int shift = 64 - __builtin_clzll(high_);
    const uint64_t top = shift == 64 ? high_ : (high_ << (64 - shift)) | (low_ >> shift);
    const uint64_t rest = shift == 64 ? low_ : low_ << (64 - shift);
    return std::ldexp(static_cast<double>(top | (rest != 0 ? 1 : 0)), shift);
  }

private:
  constexpr WideInt(uint64_t high, uint64_t low) : high_(high), low_(low) {}
  constexpr WideInt Negated() const { return WideInt(~high_ + (low_ == 0 ? 1 : 0), ~low_ + 1); }

  uint64_t high_;
  uint64_t low_;
};
#endif
