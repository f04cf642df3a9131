// Internal to the device layer: every request goes through SendTunerRequest
// so that CancelTunerRequests can release a worker blocked in one, and every
// wait inside a tuning sequence goes through WaitTunerDelay for the same reason.
#pragma once

#include <cstdint>

#include "platform/device_io.h"

inline bool IsHandleOpen(DeviceHandle handle) {
  return handle != 0 && handle != kInvalidDeviceHandle;
}

// DeviceIoControl on an open handle; false without sending anything when the
// handle is closed or requests are cancelled.
bool SendTunerRequest(DeviceHandle handle, uint32_t code, const void* in, uint32_t inSize,
                      void* out, uint32_t outSize);

// Waits `milliseconds`; false (at once) when requests are, or become, cancelled.
bool WaitTunerDelay(uint32_t milliseconds);

// A tuning sequence's ready poll gave up: the box took the channel but did
// not get ready (a bus box is ready once locked). TuneChannel clears it.
void NoteTuneNotReady();
// How long a tuning sequence's ready poll lasts: `ownMs`, the sequence's
// own limit, unless TuneChannelUntil asked for the time to lock instead.
uint32_t ReadyPollLimitMs(uint32_t ownMs);
