// Sending requests, releasing blocked workers, and the stream requests.
#include <atomic>
#include <mutex>

#include "device/device_protocol.h"
#include "device/device_requests.h"
#include "platform/device_wire.h"
#include "platform/sync.h"

namespace {

std::atomic<bool> requestsCancelled{false};
std::atomic<int> requestsInFlight{0};

// Set while requests are cancelled, so that waits end at once.
SyncEvent& CancelledEvent() {
  static SyncEvent event(true);
  return event;
}

void CancelBlockedRequests() {
  for (DeviceHandle handle : {hTunerT, hTunerA, hTunerS, hTunerBus, hTunerBusStream})
    if (IsHandleOpen(handle)) CancelDeviceIo(handle);
}

// The handle a direct-set stream request goes to; 0 when no direct kind is open.
DeviceHandle OpenDirectHandle() {
  if (hTunerT) return hTunerT;
  if (hTunerA) return hTunerA;
  return hTunerS;
}

std::mutex problemMutex;
TunerProblemReport firstProblem;

// Tuning, and the LNB and DiSEqC commands that prepare it, may take a real
// frontend a while; every other request is answered at once.
uint32_t RequestTimeoutMs(uint32_t code, const void* in, uint32_t inSize) {
  switch (code) {
    case kIoctlDirectTune:
    case kIoctlDirectLnbCommand:
    case kIoctlBusTune:
    case kIoctlBusTuneReadBack:
    case kIoctlBusLongFrameWrite:
    case kIoctlBusLongFrameRead:
      return kTunerTuneRequestTimeoutMs;
    case kIoctlBusCommand: {
      const auto* frame = static_cast<const uint8_t*>(in);
      const bool lnbCommand = inSize == kFrameSize && frame &&
                              (frame[2] == kCommandDiseqc || frame[2] == kCommandLnbControl);
      return lnbCommand ? kTunerTuneRequestTimeoutMs : kTunerRequestTimeoutMs;
    }
    default:
      return kTunerRequestTimeoutMs;
  }
}

void NoteRequestFailure(uint32_t timeoutMs) {
  uint32_t ownerPid = 0;
  TunerProblemReport report;
  switch (GetLastDeviceError(&ownerPid)) {
    case kErrorBusy: report = {TunerProblem::InUse, ownerPid, 0}; break;
    case kErrorTimeout: report = {TunerProblem::NotAnswering, 0, timeoutMs}; break;
    case kErrorDeviceGone: report = {TunerProblem::Gone, 0, 0}; break;
    default: return;
  }
  std::lock_guard<std::mutex> lock(problemMutex);
  if (firstProblem.problem == TunerProblem::None) firstProblem = report;
}

}  // namespace

bool SendTunerRequest(DeviceHandle handle, uint32_t code, const void* in, uint32_t inSize,
                      void* out, uint32_t outSize) {
  if (!IsHandleOpen(handle)) return false;
  // Counted before the flag is read: CancelTunerRequests then either sees
  // this request in flight and keeps cancelling, or this thread sees the flag.
  requestsInFlight.fetch_add(1);
  bool ok = false;
  if (!requestsCancelled.load()) {
    const uint32_t timeoutMs = RequestTimeoutMs(code, in, inSize);
    ok = SendDeviceIoControl(handle, code, in, inSize, out, outSize, nullptr, timeoutMs);
    if (!ok) NoteRequestFailure(timeoutMs);
  }
  requestsInFlight.fetch_sub(1);
  return ok;
}

TunerProblemReport GetTunerProblem() {
  std::lock_guard<std::mutex> lock(problemMutex);
  return firstProblem;
}

void ClearTunerProblem() {
  std::lock_guard<std::mutex> lock(problemMutex);
  firstProblem = TunerProblemReport{};
}

int64_t GetBoxStreamOwner() {
  DeviceHandle handle = OpenDirectHandle();
  if (!handle) handle = hTunerBus;
  uint32_t owner = 0;
  uint32_t returned = 0;
  if (!IsHandleOpen(handle) || TunerRequestsCancelled()) return -1;
  if (!SendDeviceIoControl(handle, kDeviceStreamOwnerQuery, nullptr, 0, &owner, sizeof owner, &returned,
                       kTunerRequestTimeoutMs)) {
    NoteRequestFailure(kTunerRequestTimeoutMs);
    return -1;
  }
  if (returned != sizeof owner) return -1;
  if (owner != 0) {
    std::lock_guard<std::mutex> lock(problemMutex);
    if (firstProblem.problem == TunerProblem::None) firstProblem = {TunerProblem::InUse, owner, 0};
  }
  return owner;
}

uint32_t GetDefaultLockTimeoutMs(int model) {
  return GetTunerFamily(model) == TunerFamily::Satellite ? 10000 : 6000;
}

LockWait WaitForTunerLock(uint32_t timeoutMs) {
  constexpr uint32_t kLockPollMs = 100;
  const uint32_t start = GetTickCountMs();
  if (IsHandleOpen(hTunerA)) {
    // No signal status: the tuner has locked once its stream flows (every
    // start begins the ring at offset 0).
    uint8_t* ring = nullptr;
    if (!StartStream(&ring)) return LockWait::Failed;
    LockWait outcome = LockWait::NoLock;
    for (;;) {
      uint32_t offset = 0;
      if (!GetStreamWritePosition(&offset)) {
        outcome = LockWait::Failed;
        break;
      }
      if (offset != 0) {
        outcome = LockWait::Locked;
        break;
      }
      if (GetTickCountMs() - start >= timeoutMs) break;
      if (!WaitTunerDelay(kLockPollMs)) {
        outcome = LockWait::Failed;
        break;
      }
    }
    StopStream();
    return outcome;
  }
  for (;;) {
    int strength = 0, quality = 0, locked = 0;
    if (!GetSignalStatus(&strength, &quality, &locked)) return LockWait::Failed;
    if (locked) return LockWait::Locked;
    if (GetTickCountMs() - start >= timeoutMs) return LockWait::NoLock;
    if (!WaitTunerDelay(kLockPollMs)) return LockWait::Failed;
  }
}

bool WaitTunerDelay(uint32_t milliseconds) {
  if (requestsCancelled.load()) return false;
  return WaitForEvent(CancelledEvent(), milliseconds) == WaitResult::Timeout;
}

void CancelTunerRequests() {
  requestsCancelled.store(true);
  CancelledEvent().Set();
  // A request may be between its flag check and blocking in the transport;
  // keep cancelling until none is in flight (bounded: a request that is not
  // blocked ends by itself).
  const uint32_t start = GetTickCountMs();
  while (requestsInFlight.load() > 0 && GetTickCountMs() - start < 2000) {
    CancelBlockedRequests();
    SleepMs(1);
  }
}

void ResumeTunerRequests() {
  CancelledEvent().Reset();
  requestsCancelled.store(false);
}

bool TunerRequestsCancelled() { return requestsCancelled.load(); }

int StartStream(uint8_t** ringBase, size_t* ringSize) {
  DeviceHandle handle = 0;
  uint32_t expectedSize = kRingSizeDirect;
  uint32_t token = 0;
  if (hTunerT) {
    handle = hTunerT;
  } else if (hTunerA) {
    const uint8_t start = 0x02;
    if (!SendTunerRequest(hTunerA, kIoctlDirectStartStream, &start, 1, nullptr, 0)) return 0;
    handle = hTunerA;
  } else if (hTunerS) {
    if (!SendTunerRequest(hTunerS, kIoctlDirectStartStream, nullptr, 0, nullptr, 0)) return 0;
    handle = hTunerS;
  }
  if (handle) {
    if (!SendTunerRequest(handle, kIoctlDirectStreamAddress, nullptr, 0, &token, kStreamWordSize))
      return 0;
  } else if (IsHandleOpen(hTunerBusStream)) {
    handle = hTunerBusStream;
    expectedSize = kRingSizeBus;
    if (!SendTunerRequest(handle, kIoctlBusStreamAddress, nullptr, 0, &token, kStreamWordSize))
      return 0;
  } else {
    return 0;
  }
  size_t mappedSize = 0;
  uint8_t* base = MapStreamRing(handle, token, &mappedSize);
  if (!base || mappedSize < expectedSize) return 0;
  *ringBase = base;
  if (ringSize) *ringSize = mappedSize;
  return 1;
}

int StartStream(uint8_t** ringBase) { return StartStream(ringBase, nullptr); }

int GetStreamWritePosition(uint32_t* writeOffset) {
  uint32_t offset = 0;
  bool ok;
  if (DeviceHandle direct = OpenDirectHandle())
    ok = SendTunerRequest(direct, kIoctlDirectStreamPosition, nullptr, 0, &offset, kStreamWordSize);
  else
    ok = SendTunerRequest(hTunerBusStream, kIoctlBusStreamPosition, nullptr, 0, &offset,
                          kStreamWordSize);
  if (!ok) return 0;
  *writeOffset = offset;
  return 1;
}

int StopStream() {
  if (DeviceHandle direct = OpenDirectHandle())
    SendTunerRequest(direct, kIoctlDirectStopStream, nullptr, 0, nullptr, 0);
  else
    SendTunerRequest(hTunerBus, kIoctlBusStopStream, nullptr, 0, nullptr, 0);
  return 1;
}

int SetPidFilter(int pid) {
  uint8_t record[kPidFilterRecordSize];
  BuildPidFilterRecord(pid, record);
  bool ok = true;
  for (DeviceHandle handle : {hTunerA, hTunerS})
    if (IsHandleOpen(handle))
      ok = SendTunerRequest(handle, kIoctlDirectPidFilter, record, sizeof record, nullptr, 0) && ok;
  return ok ? 1 : 0;
}
