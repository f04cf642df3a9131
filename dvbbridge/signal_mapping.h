// How the bridge turns a frontend's statistics into the box's strength and
// quality percentages. This is the one place the mapping is defined:
//
//   strength, in dBm (DTV_STAT_SIGNAL_STRENGTH, decibel scale):
//       -90 dBm -> 0 %, -30 dBm -> 100 %, linear between, clamped outside
//   quality, from the carrier-to-noise ratio (DTV_STAT_CNR, decibel scale):
//       0 dB -> 0 %, 30 dB -> 100 %, linear between, clamped outside
//   either on the relative scale (0..65535, drivers that know no unit):
//       value x 100 / 65535
//   a statistic the driver does not offer: 0 %
//
// Percentages are rounded to the nearest whole percent. The library's own
// "quality" rating is not used: it mixes units and standards.
#pragma once

#include <cstdint>

#include "dvbbridge/dvb_device.h"

constexpr int64_t kStrengthZeroMilliDbm = -90000;
constexpr int64_t kStrengthFullMilliDbm = -30000;
constexpr int64_t kQualityZeroMilliDb = 0;
constexpr int64_t kQualityFullMilliDb = 30000;

int StrengthPercent(StatScale scale, int64_t value);
int QualityPercent(StatScale scale, int64_t value);
