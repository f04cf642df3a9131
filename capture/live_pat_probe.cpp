// The live PAT probe: watches the bus box's ring until a whole PAT section
// with a valid CRC has gone by, assembling it in the engine's SectionBuffer.
#include "capture/live_pat_probe.h"

#include <cstring>

#include "analysis/engine/psi.h"
#include "capture/capture_timings.h"
#include "device/device_protocol.h"
#include "platform/sync.h"

namespace {

constexpr uint8_t kSyncByte = 0x47;
constexpr uint32_t kPacketSize = 188;
constexpr uint32_t kProbeIdleMs = 100;

class PatAssembler {
public:
  int found() const { return found_; }

  void Packet(const uint8_t* packet) {
    int pid = ((packet[1] & 0x1F) << 8) | packet[2];
    int adaptationControl = (packet[3] >> 4) & 0x03;
    if (pid != 0 || patDone_ || (adaptationControl & 0x01) == 0) return;
    const uint8_t* payload = packet + 4;
    int remain = 184;
    if (adaptationControl & 0x02) {
      int length = packet[4];
      if (length > 183) return;
      payload = packet + 5 + length;
      remain = 183 - length;
    }
    if (packet[1] & 0x40) {
      if (started_ && SectionComplete()) {
        found_ |= 1;
        patDone_ = true;
        return;
      }
      started_ = true;
      assembled_ = 0;
      // A start packet whose adaptation field fills it has no pointer_field.
      if (remain == 0) return;
      int pointer = payload[0];
      ++payload;
      --remain;
      if (pointer > remain) pointer = remain;
      payload += pointer;
      remain -= pointer;
      Append(payload, remain);
    } else if (started_) {
      Append(payload, remain);
    }
  }

private:
  void Append(const uint8_t* bytes, int count) {
    if (assembled_ + count >= kSectionBufferSize) return;
    std::memcpy(SectionBuffer + assembled_, bytes, static_cast<size_t>(count));
    assembled_ += count;
  }

  bool SectionComplete() const {
    int sectionLength = ((SectionBuffer[1] & 0x0F) << 8) | SectionBuffer[2];
    return SectionBuffer[0] == 0x00 && (SectionBuffer[5] & 0x01) == 1 &&
           sectionLength + 3 <= assembled_ && CheckSectionCrc(SectionBuffer, sectionLength + 3);
  }

  int found_ = 0;
  bool patDone_ = false;
  bool started_ = false;
  int assembled_ = 0;
};

// Walks `span` bytes at `bytes` packet by packet. `extra` is the bytes a
// packet carries beyond 188 (16 for 204-byte packets), -1 until known.
void WalkSpan(const uint8_t* bytes, uint32_t span, int wanted, int& extra, PatAssembler& pat) {
  uint32_t p = 0;
  while (p < span && pat.found() != wanted) {
    const void* hit = std::memchr(bytes + p, kSyncByte, span - p);
    if (hit == nullptr) return;
    uint32_t q = static_cast<uint32_t>(static_cast<const uint8_t*>(hit) - bytes);
    if (extra < 0) {
      bool known = false;
      if (q + 408 < span && bytes[q + 204] == kSyncByte && bytes[q + 408] == kSyncByte) {
        extra = 16;
        known = true;
      }
      if (q + 376 < span && bytes[q + 188] == kSyncByte && bytes[q + 376] == kSyncByte) {
        extra = 0;
        known = true;
      }
      if (!known) {
        p = q + 1;
        continue;
      }
    } else if (q + kPacketSize + extra < span && bytes[q + kPacketSize + extra] != kSyncByte) {
      p = q + 1;
      continue;
    }
    if (q + kPacketSize > span) return;
    pat.Packet(bytes + q);
    p = q + kPacketSize + static_cast<uint32_t>(extra);
  }
}

}  // namespace

int ProbeLivePatInRing(int wanted, const StreamRingAccess& access) {
  const uint32_t ringSize = access.layout.ringSize;
  nProgramCount = 0;
  DestroyPatSectionList();

  const CaptureTimings& timings = GetCaptureTimings();
  PatAssembler pat;
  int extra = -1;
  bool waitingForFirstOffset = true;
  uint32_t old = 0;
  const uint64_t start = access.nowMs();
  while (pat.found() != wanted && access.nowMs() - start <= timings.probeTimeoutMs) {
    uint32_t w = 0;
    if (!access.writeOffset(&w) || w >= ringSize) {
      DestroyPatSectionList();
      return 0;
    }
    if (waitingForFirstOffset) {
      if (w != 0) {
        waitingForFirstOffset = false;
        old = w;
      }
      access.sleepMs(kProbeIdleMs);
      continue;
    }
    uint32_t span = w < old ? ringSize - old : w - old;
    uint32_t next = w < old ? 0 : w;
    if (span == 0) {
      access.sleepMs(kProbeIdleMs);
      continue;
    }
    WalkSpan(access.ring + old, span, wanted, extra, pat);
    old = next;
  }
  DestroyPatSectionList();
  return pat.found() == wanted ? 1 : 0;
}

int ProbeLivePat(int wanted) {
  // The probe talks to the stream interface itself; it honours a cancel of
  // the device requests as every tuning request does.
  if (TunerRequestsCancelled()) return 0;
  uint32_t token = 0;
  if (!SendDeviceIoControl(hTunerBusStream, kIoctlBusStreamAddress, nullptr, 0, &token,
                       kStreamWordSize, nullptr))
    return 0;
  size_t mapped = 0;
  const uint8_t* ring = MapStreamRing(hTunerBusStream, token, &mapped);
  if (ring == nullptr || mapped < kProbeRingSize) return 0;
  StreamRingAccess access;
  access.ring = ring;
  access.layout = {kProbeRingSize, 0};
  access.writeOffset = [](uint32_t* offset) {
    return !TunerRequestsCancelled() && SendDeviceIoControl(hTunerBusStream, kIoctlBusStreamPosition, nullptr, 0, offset,
                           kStreamWordSize, nullptr);
  };
  const uint32_t base = GetTickCountMs();
  uint64_t elapsed = 0;
  uint32_t lastTick = base;
  // The 32-bit tick count, widened so that it cannot wrap during a probe.
  access.nowMs = [&elapsed, &lastTick] {
    const uint32_t now = GetTickCountMs();
    elapsed += now - lastTick;
    lastTick = now;
    return elapsed;
  };
  access.sleepMs = [](uint32_t milliseconds) { SleepMs(milliseconds); };
  return ProbeLivePatInRing(wanted, access);
}
