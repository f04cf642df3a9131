#include "capture/capture_timings.h"

namespace {
CaptureTimings gTimings;
}

const CaptureTimings& GetCaptureTimings() { return gTimings; }

void SetCaptureTimingsForTesting(const CaptureTimings& timings) { gTimings = timings; }
