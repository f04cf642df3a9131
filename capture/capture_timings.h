// Time limits shared by the capture loop and the live PAT probe.
#pragma once

#include <cstdint>

// Production code never changes them; tests shorten them so that the suite
// stays fast.
struct CaptureTimings {
  uint32_t syncTimeoutMs = 6000;      // first 0x47 after the stream starts
  uint32_t probeTimeoutMs = 15000;    // one PAT probe
  uint32_t watchdogPeriodMs = 96000;  // a whole period without a write fails the capture
  uint32_t pollIntervalMs = 10;       // wait between two polls of the write offset
};
const CaptureTimings& GetCaptureTimings();
void SetCaptureTimingsForTesting(const CaptureTimings& timings);
