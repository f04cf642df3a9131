// What the tuning requests can carry in each channel word (the field widths
// of the frames in frames.cpp), so that a value never wraps on its way out.
#include "device/tuner_device.h"

namespace {

constexpr int64_t k24Bits = 0xFFFFFF;
constexpr int64_t k16Bits = 0xFFFF;
// The satellite symbol-rate word holds 20 bits of rate / 88 MHz (in units
// of 2^-20), so the rate stays below 88,000 ksymbol/s; the long frame of
// models 0 and 1 carries the rate in 16 bits instead.
constexpr int64_t kSatelliteSymbolRateMax = 87999;

}  // namespace

bool GetChannelFieldRange(int model, int word, ChannelFieldRange* range) {
  switch (GetTunerFamily(model)) {
    case TunerFamily::Satellite:
      switch (word) {
        // The frame carries the intermediate frequency; whether an LO of the
        // LNB reaches it is the tune's business. The word itself is signed.
        case 0: *range = {"frequency", "MHz", 0, INT32_MAX}; return true;
        case 1:
          *range = {"symbol rate", "ksymbol/s", 0,
                    model == 0 || model == 1 ? k16Bits : kSatelliteSymbolRateMax};
          return true;
        // Polarisation and inversion are flags (0 or not): any value fits.
        default: return false;
      }
    case TunerFamily::Cable:
      switch (word) {
        case 0: *range = {"frequency", "kHz", 0, k24Bits}; return true;
        // Models 6 and 7 send the long frame, whose symbol rate has 24 bits.
        case 1:
          *range = {"symbol rate", "ksymbol/s", 0, model == 6 || model == 7 ? k24Bits : k16Bits};
          return true;
        case 2: *range = {"QAM order", "", 16, 256}; return true;
        default: return false;
      }
    case TunerFamily::Terrestrial:
      switch (word) {
        case 0: *range = {"frequency", "kHz", 0, k24Bits}; return true;
        case 1: *range = {"bandwidth", "MHz", 0, 0xFF}; return true;
        default: return false;
      }
    default:
      return false;
  }
}

bool IsChannelFieldValid(int model, int word, int64_t value) {
  ChannelFieldRange range;
  if (!GetChannelFieldRange(model, word, &range)) return true;
  if (value < range.min || value > range.max) return false;
  // The QAM byte names one of five orders.
  if (GetTunerFamily(model) == TunerFamily::Cable && word == 2)
    return value == 16 || value == 32 || value == 64 || value == 128 || value == 256;
  return true;
}

int FindChannelFieldOutOfRange(int model, const ChannelSettings& channel) {
  for (int word = 0; word < 4; ++word)
    if (!IsChannelFieldValid(model, word, channel.words[word])) return word;
  return -1;
}
