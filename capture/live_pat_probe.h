// The live PAT probe of bus boxes.
#pragma once

#include <cstdint>

#include "capture/stream_ring_access.h"

// Ring length the live PAT probe assumes: it serves bus boxes only.
constexpr uint32_t kProbeRingSize = 3130380;

// Watches the bus box's live stream until a whole PAT section with a valid CRC
// has gone by. `wanted` is a set of table bits; bit 0 (the PAT) is the only
// one known. 1 when the tables found equal `wanted`, else 0.
int ProbeLivePat(int wanted);

// The probe over a given ring (layout.ringSize bytes) and clock, for tests
// that drive it step by step; ProbeLivePat runs it on the bus box's ring.
int ProbeLivePatInRing(int wanted, const StreamRingAccess& access);
