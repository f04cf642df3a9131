// Signal status replies: strength and quality in percent, put into the bytes
// a box of each signal format reports, so that the program's decoding (the
// device layer's own) gives them back, or the nearest value a format can
// express where it cannot express the value exactly.
#pragma once

#include <array>
#include <cstdint>

#include "boxserver/box_backend.h"

// Signal format of a bus box by model code, as the program assigns it;
// -1 for a code it does not list (it then keeps the format it had, 0 at start).
int SignalFormatForModelCode(const char code[6]);

// Model number the program gives a bus model code (3 for unlisted codes).
int ModelNumberForModelCode(const char code[6]);

// The 9-byte reply frame of the bus signal-status command:
// AA 00 05 M(hi) M(lo) S L F checksum, F bit 4 set while unlocked.
std::array<uint8_t, 9> EncodeBusSignalStatus(int signalFormat, const SignalReading& reading);

// The 3-byte reply of the direct set: quality, strength, lock (signed bytes).
std::array<uint8_t, 3> EncodeDirectSignalStatus(const SignalReading& reading);
