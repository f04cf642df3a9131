// TuneChannel, the cable, terrestrial and direct sequences, and signal status.
#include <algorithm>
#include <cstring>

#include "device/device_protocol.h"
#include "device/device_requests.h"
#include "platform/sync.h"

namespace {

constexpr uint32_t kBusReadyTimeoutMs = 6000;

// Per thread: each worker tunes for itself.
thread_local bool tuneNotReady = false;
thread_local uint32_t readyPollLimitMs = 0;  // 0: each sequence's own

}  // namespace

void NoteTuneNotReady() { tuneNotReady = true; }

uint32_t ReadyPollLimitMs(uint32_t ownMs) { return readyPollLimitMs ? readyPollLimitMs : ownMs; }

int TuneCableBus(uint32_t frequencyKHz, uint32_t symbolRate, uint32_t qamOrder) {
  if (bCiTuneFrame) {
    uint8_t frame[kLongFrameSize];
    BuildCableLongFrame(frequencyKHz, symbolRate, qamOrder, frame);
    const uint8_t sent[3] = {frame[3], frame[4], frame[5]};
    if (!SendTunerRequest(hTunerBus, kIoctlBusLongFrameWrite, frame, kLongFrameSize, nullptr, 0))
      return 0;
    if (!SendTunerRequest(hTunerBus, kIoctlBusLongFrameRead, nullptr, 0, frame, kLongFrameSize))
      return 0;
    return std::memcmp(frame + 1, sent, 3) == 0 ? 1 : 0;
  }
  uint8_t frame[kFrameSize];
  BuildCableTuneFrame(frequencyKHz, symbolRate, qamOrder, frame);
  if (!SendTunerRequest(hTunerBus, kIoctlBusTune, frame, kFrameSize, frame, kFrameSize)) return 0;
  const uint32_t start = GetTickCountMs();
  bool ready;
  do {
    ready = SendTunerRequest(hTunerBus, kIoctlBusReadyPoll, nullptr, 0, nullptr, 0);
    if (GetTickCountMs() - start > ReadyPollLimitMs(kBusReadyTimeoutMs)) break;
    if (!WaitTunerDelay(1)) return 0;
  } while (!ready);
  if (!ready) {
    NoteTuneNotReady();
    return 0;
  }
  // The box's answer to the tune request goes back as it left it.
  return SendTunerRequest(hTunerBus, kIoctlBusTuneReadBack, frame, kFrameSize, frame, kFrameSize)
             ? 1
             : 0;
}

int TuneTerrestrialBus(int model, uint32_t frequencyKHz, uint32_t bandwidthMHz,
                       ChannelSettings record) {
  const bool variantA = model == 10 || model == 15;
  uint8_t frame[kFrameSize];
  BuildTerrestrialTuneFrame(kLeadByteDefault, frequencyKHz, bandwidthMHz, frame);
  // Variant A lets the box answer into a copy of the channel record, which is
  // then thrown away; variant B keeps the answer in the frame and sends it on.
  void* answer = variantA ? static_cast<void*>(&record) : static_cast<void*>(frame);
  const uint32_t answerSize = variantA ? sizeof record : kFrameSize;
  SendTunerRequest(hTunerBus, kIoctlBusTune, frame, kFrameSize, answer, answerSize);
  const uint32_t start = GetTickCountMs();
  bool ready = false;
  while (!ready) {
    if (GetTickCountMs() - start > ReadyPollLimitMs(kBusReadyTimeoutMs)) break;
    ready = variantA ? SendTunerRequest(hTunerBus, kIoctlBusReadyPoll, nullptr, 0, nullptr, 0)
                     : SendTunerRequest(hTunerBus, kIoctlBusReadyPoll, frame, kFrameSize, nullptr, 0);
    if (!WaitTunerDelay(1)) return 0;
  }
  if (!ready) {
    NoteTuneNotReady();
    return 0;
  }
  SendTunerRequest(hTunerBus, kIoctlBusTuneReadBack, frame, kFrameSize, answer, answerSize);
  return 1;
}

int TuneDirect(DeviceHandle handle, uint8_t leadByte, uint32_t frequencyKHz, uint32_t bandwidthMHz) {
  uint8_t frame[kFrameSize];
  BuildTerrestrialTuneFrame(leadByte, frequencyKHz, bandwidthMHz, frame);
  return SendTunerRequest(handle, kIoctlDirectTune, frame, kFrameSize, nullptr, 0) ? 1 : 0;
}

int TuneChannel(int model, ChannelSettings channel, CaptureSettings capture) {
  tuneNotReady = false;
  if (model < 0) model = GetTunerModel();
  const uint32_t word0 = static_cast<uint32_t>(channel.words[0]);
  const uint32_t word1 = static_cast<uint32_t>(channel.words[1]);
  switch (model) {
    case 10: case 15: case 11: case 16:
      return TuneTerrestrialBus(model, word0, word1, channel);
    case 0: case 1: case 2: case 3: case 4:
      bCiTuneFrame = model <= 1 ? 1 : 0;
      return TuneSatelliteBus(channel, capture);
    case 5: case 6: case 7:
      bCiTuneFrame = model == 5 ? 0 : 1;
      return TuneCableBus(word0, word1, static_cast<uint32_t>(channel.words[2]));
    case 46:
      return TuneDirect(hTunerT, kLeadByteTPath, word0, word1);
    case 20:
      return TuneSatelliteSPath(channel, capture);
    case 12:
      return TuneDirect(hTunerA, kLeadByteDefault, word0, word1);
    default:  // 13 and unknown numbers: no sequence serves them
      return 0;
  }
}

TuneOutcome TuneChannelUntil(int model, ChannelSettings channel, CaptureSettings capture, uint32_t lockMs) {
  readyPollLimitMs = std::max<uint32_t>(lockMs, 1);
  const int tuned = TuneChannel(model, channel, capture);
  readyPollLimitMs = 0;
  if (tuned) return TuneOutcome::Tuned;
  return tuneNotReady ? TuneOutcome::NotReady : TuneOutcome::Refused;
}

int GetSignalStatus(int* strength, int* quality, int* locked) {
  if (IsHandleOpen(hTunerBus)) {
    uint8_t frame[kFrameSize];
    BuildSimpleCommandFrame(kCommandSignalStatus, frame);
    if (!SendTunerRequest(hTunerBus, kIoctlBusCommand, frame, kFrameSize, frame, kFrameSize))
      return 0;
    DecodeBusSignalStatus(frame, nSignalFormat, strength, quality, locked);
    return 1;
  }
  const DeviceHandle handle = hTunerT ? hTunerT : hTunerS;
  if (!handle) return 0;
  int8_t reply[kDirectSignalReplySize];
  if (!SendTunerRequest(handle, kIoctlDirectSignalStatus, kDirectSignalInput, kFrameSize, reply,
                        sizeof reply))
    return 0;
  *quality = reply[0];
  *strength = reply[1];
  *locked = reply[2];
  return 1;
}
