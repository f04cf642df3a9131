#include "dvbbridge/signal_mapping.h"

namespace {

// value in [zero, full] -> 0..100, rounded to nearest; clamped outside.
int Linear(int64_t value, int64_t zero, int64_t full) {
  if (value <= zero) return 0;
  if (value >= full) return 100;
  int64_t span = full - zero;
  return static_cast<int>(((value - zero) * 100 + span / 2) / span);
}

int Percent(StatScale scale, int64_t value, int64_t zero, int64_t full) {
  switch (scale) {
    case StatScale::Decibel: return Linear(value, zero, full);
    case StatScale::Relative: return Linear(value, 0, 65535);
    case StatScale::None: break;
  }
  return 0;
}

}  // namespace

int StrengthPercent(StatScale scale, int64_t value) {
  return Percent(scale, value, kStrengthZeroMilliDbm, kStrengthFullMilliDbm);
}

int QualityPercent(StatScale scale, int64_t value) {
  return Percent(scale, value, kQualityZeroMilliDb, kQualityFullMilliDb);
}
