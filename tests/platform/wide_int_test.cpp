// The two-halves 128-bit integer (what 32-bit Windows sums with): known
// products and sums, then a long pseudo-random run of sums of products
// checked against long multiplication over 32-bit limbs, the comparisons,
// and the conversion to double against the compiler's 128-bit type or
// long double where the target has them.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "platform/wide_int.h"

namespace {

struct Halves {
  uint64_t high = 0;
  uint64_t low = 0;
};

Halves Extend(int64_t value) { return {value < 0 ? ~uint64_t{0} : 0, static_cast<uint64_t>(value)}; }

// Modulo 2^128, limb by limb: written apart from the type under test.
Halves Multiply(Halves a, Halves b) {
  const uint32_t x[4] = {uint32_t(a.low), uint32_t(a.low >> 32), uint32_t(a.high), uint32_t(a.high >> 32)};
  const uint32_t y[4] = {uint32_t(b.low), uint32_t(b.low >> 32), uint32_t(b.high), uint32_t(b.high >> 32)};
  uint32_t r[4] = {};
  for (int i = 0; i < 4; ++i) {
    uint64_t carry = 0;
    for (int j = 0; i + j < 4; ++j) {
      const uint64_t t = uint64_t{x[i]} * y[j] + r[i + j] + carry;
      r[i + j] = uint32_t(t);
      carry = t >> 32;
    }
  }
  return {uint64_t{r[3]} << 32 | r[2], uint64_t{r[1]} << 32 | r[0]};
}

Halves Add(Halves a, Halves b) {
  const uint64_t low = a.low + b.low;
  return {a.high + b.high + (low < a.low ? 1 : 0), low};
}

bool Less(Halves a, Halves b) {
  const bool aNegative = a.high >> 63, bNegative = b.high >> 63;
  if (aNegative != bNegative) return aNegative;
  return a.high != b.high ? a.high < b.high : a.low < b.low;
}

// The correctly rounded double where this target can say it, else false.
bool ReferenceDouble(Halves value, double* out) {
#if defined(__SIZEOF_INT128__)
  __extension__ typedef __int128 Builtin;
  *out = static_cast<double>(static_cast<Builtin>((static_cast<unsigned __int128>(value.high) << 64) | value.low));
  return true;
#else
  // Within +-2^64 long double (64-bit significand on x87) holds the value
  // exactly, so converting it on to double rounds once.
  if constexpr (std::numeric_limits<long double>::digits >= 64) {
    if (value.high == 0) return *out = static_cast<double>(static_cast<long double>(value.low)), true;
    if (value.high == ~uint64_t{0} && value.low != 0)
      return *out = static_cast<double>(-static_cast<long double>(~value.low + 1)), true;
  }
  return false;
#endif
}

void ExpectSame(WideIntPair got, Halves want) {
  EXPECT_EQ(got.High(), want.high);
  EXPECT_EQ(got.Low(), want.low);
}

TEST(WideIntPair, KnownProductsAndSums) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max(), kMin = std::numeric_limits<int64_t>::min();
  struct Case {
    int64_t a, b;
    uint64_t high, low;
    double value;
  };
  const Case cases[] = {
      {kMax, kMax, 0x3fffffffffffffff, 0x1, 8.507059173023462e+37},
      {kMin, kMin, 0x4000000000000000, 0x0, 8.507059173023462e+37},
      {kMin, kMax, 0xc000000000000000, 0x8000000000000000, -8.507059173023462e+37},
      {-1, kMin, 0x0, 0x8000000000000000, 9.223372036854776e+18},
      {0xFFFFFFFF, 0xFFFFFFFF, 0x0, 0xfffffffe00000001, 1.8446744065119617e+19},
      {-1, 1, 0xffffffffffffffff, 0xffffffffffffffff, -1.0},
      {int64_t{1} << 32, int64_t{1} << 32, 0x1, 0x0, 1.8446744073709552e+19},
      {-(int64_t{1} << 32), int64_t{1} << 32, 0xffffffffffffffff, 0x0, -1.8446744073709552e+19},
      {3037000500, 3037000500, 0x0, 0x8000000008abc290, 9.22337203700025e+18},
      {123456789012345678, -987654321098765432, 0xffe88441d3dde03d, 0x655658f0bc6b1b70, -1.219326311370218e+35},
      {0, kMin, 0x0, 0x0, 0.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.a << " * " << c.b);
    const WideIntPair product = WideIntPair(c.a) * WideIntPair(c.b);
    ExpectSame(product, {c.high, c.low});
    EXPECT_EQ(static_cast<double>(product), c.value);
    EXPECT_EQ(product - product, WideIntPair(0));
  }
  // Sums up to the ends of the range, and past them as the built-in type wraps.
  const WideIntPair square = WideIntPair(kMax) * WideIntPair(kMax);
  ExpectSame(square + square, {0x7ffffffffffffffe, 0x2});
  EXPECT_EQ(static_cast<double>(square + square), 1.7014118346046923e+38);
  const WideIntPair quarter = WideIntPair(kMin) * WideIntPair(kMin);
  const WideIntPair most_negative = quarter + quarter;  // 2^127 wraps to -2^127
  ExpectSame(most_negative, {0x8000000000000000, 0x0});
  EXPECT_EQ(static_cast<double>(most_negative), -1.7014118346046923e+38);
  EXPECT_TRUE(most_negative < WideIntPair(kMin));
  EXPECT_TRUE(square + square > most_negative);
  ExpectSame(most_negative - WideIntPair(1), {0x7fffffffffffffff, 0xffffffffffffffff});
}

TEST(WideIntPair, PseudoRandomSumsOfProducts) {
  uint64_t state = 0x9E3779B97F4A7C15;
  const auto next = [&state] {  // splitmix64
    uint64_t z = (state += 0x9E3779B97F4A7C15);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EB;
    return z ^ (z >> 31);
  };
  // Magnitudes of every size, not only near 2^63.
  const auto value = [&next] { return static_cast<int64_t>(next()) >> (next() % 64); };
  WideIntPair sum;
  Halves want;
  int doublesChecked = 0;
  for (int i = 0; i < 20000; ++i) {
    const int64_t a = value(), b = value();
    const WideIntPair before = sum;
    const Halves wantBefore = want;
    const Halves product = Multiply(Extend(a), Extend(b));
    if (i % 3 == 2) {  // subtract: add the two's complement
      sum = sum - WideIntPair(a) * WideIntPair(b);
      want = Add(want, Multiply(product, Extend(-1)));
    } else {
      sum += WideIntPair(a) * WideIntPair(b);
      want = Add(want, product);
    }
    ASSERT_EQ(sum.High(), want.high) << "step " << i << ": " << a << " * " << b;
    ASSERT_EQ(sum.Low(), want.low) << "step " << i;
    ASSERT_EQ(before < sum, Less(wantBefore, want)) << "step " << i;
    ASSERT_EQ(sum <= before, !Less(wantBefore, want)) << "step " << i;
    double reference;
    const WideIntPair single = WideIntPair(a) * WideIntPair(b);
    if (ReferenceDouble(product, &reference)) {
      ASSERT_EQ(static_cast<double>(single), reference) << "step " << i << ": " << a << " * " << b;
      ++doublesChecked;
    }
    if (ReferenceDouble(want, &reference)) {
      ASSERT_EQ(static_cast<double>(sum), reference) << "step " << i;
      ++doublesChecked;
    }
  }
  EXPECT_GT(doublesChecked, 1000);  // the sweep does reach the conversion
}

}  // namespace
