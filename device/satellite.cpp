// LNB and DiSEqC commands and the two satellite tuning sequences.
#include "device/device_protocol.h"
#include "device/device_requests.h"
#include "platform/sync.h"

namespace {

constexpr uint32_t kLnbSettleMs = 100;
constexpr uint32_t kSatelliteReadyTimeoutMs = 2000;

// Sends a framed LNB command to every satellite handle that is open, S-path
// first; 0 when the last one sent succeeded.
int SendLnbFrame(const uint8_t frame[kFrameSize]) {
  bool sent = false;
  bool lastOk = false;
  if (IsHandleOpen(hTunerS)) {
    uint8_t reply[kDirectReplySize];
    lastOk = SendTunerRequest(hTunerS, kIoctlDirectLnbCommand, frame, kFrameSize, reply, sizeof reply);
    sent = true;
  }
  if (IsHandleOpen(hTunerBus)) {
    lastOk = SendTunerRequest(hTunerBus, kIoctlBusCommand, frame, kFrameSize, nullptr, 0);
    sent = true;
  }
  return sent && lastOk ? 0 : 1;
}

// What both satellite sequences prepare before talking to the box.
struct SatelliteTune {
  const LnbSettings* lnb = nullptr;
  uint8_t block[kFrameSize] = {};
  uint32_t lo = 0;
  uint8_t diseqcData = 0;
  int tone = 0;
};

bool PrepareSatelliteTune(const ChannelSettings& channel, const CaptureSettings& capture,
                          SatelliteTune* tune) {
  tune->lnb = SelectLnb(capture);
  if (!tune->lnb) return false;
  uint32_t lo1, lo2;
  GetLnbLoPair(*tune->lnb, &lo1, &lo2);
  const uint32_t frequency = static_cast<uint32_t>(channel.words[0]);
  const uint32_t symbolRate = static_cast<uint32_t>(channel.words[1]) * 1000;
  const int horizontal = channel.words[2] != 0;
  const int inversion = channel.words[3] != 0;
  tune->lo = BuildSatelliteTuneFrame(frequency, symbolRate, horizontal, inversion, lo1, lo2, tune->block);
  if (tune->lo == 0) return false;
  tune->diseqcData = DiseqcDataByte(tune->lo, horizontal, tune->lnb->diseqc);
  tune->tone = LnbToneOn(*tune->lnb, tune->lo);
  return true;
}

// Each step is followed by its settling wait; a cancelled wait ends the sequence.
bool SendBursts(const LnbSettings& lnb) {
  SetLnbControl(0, lnb.toneBurst, lnb.dataBurst, lnb.lnbEnable);
  return WaitTunerDelay(kLnbSettleMs);
}

bool SendDiseqcSwitch(const SatelliteTune& tune) {
  if (tune.lnb->diseqc == 0) return true;
  SendDiseqcCommand(kDiseqcFramingNoReply, kDiseqcAddressAnyLnb, kDiseqcCommandWriteN0, tune.diseqcData);
  return WaitTunerDelay(kLnbSettleMs);
}

bool SendTone(const SatelliteTune& tune) {
  SetLnbControl(tune.tone, 0, 0, tune.lnb->lnbEnable);
  return WaitTunerDelay(kLnbSettleMs);
}

}  // namespace

int SetLnbControl(int tone, int toneBurst, int dataBurst, int supply) {
  uint8_t frame[kFrameSize];
  BuildLnbControlFrame(tone, toneBurst, dataBurst, supply, frame);
  return SendLnbFrame(frame);
}

int SendDiseqcCommand(uint8_t framing, uint8_t /*address: the box always sends 0x10*/,
                      uint8_t command, uint8_t data) {
  uint8_t frame[kFrameSize];
  BuildDiseqcFrame(framing, command, data, frame);
  return SendLnbFrame(frame);
}

uint32_t GetSatelliteTuneLo(const ChannelSettings& channel, const CaptureSettings& capture) {
  SatelliteTune tune;
  return PrepareSatelliteTune(channel, capture, &tune) ? tune.lo : 0;
}

int TuneSatelliteBus(const ChannelSettings& channel, const CaptureSettings& capture) {
  SatelliteTune tune;
  if (!PrepareSatelliteTune(channel, capture, &tune)) return 0;
  if (!SendBursts(*tune.lnb) || !SendDiseqcSwitch(tune) || !SendTone(tune)) return 0;
  if (bCiTuneFrame) {
    uint8_t frame[kLongFrameSize];
    BuildSatelliteLongFrame(tune.block, static_cast<uint32_t>(channel.words[1]), frame);
    if (!SendTunerRequest(hTunerBus, kIoctlBusLongFrameWrite, frame, kLongFrameSize, nullptr, 0))
      return 0;
    if (!SendTunerRequest(hTunerBus, kIoctlBusLongFrameRead, nullptr, 0, frame, kLongFrameSize))
      return 0;
    return frame[1] == tune.block[1] && frame[2] == tune.block[2] ? 1 : 0;
  }
  uint8_t answer[kFrameSize];
  if (!SendTunerRequest(hTunerBus, kIoctlBusTune, tune.block, kFrameSize, answer, kFrameSize)) return 0;
  const uint32_t start = GetTickCountMs();
  bool ready = false;
  while (!(ready = SendTunerRequest(hTunerBus, kIoctlBusReadyPoll, nullptr, 0, nullptr, 0))) {
    if (GetTickCountMs() - start > ReadyPollLimitMs(kSatelliteReadyTimeoutMs)) break;
    if (!WaitTunerDelay(1)) return 0;
  }
  if (!ready) {
    NoteTuneNotReady();
    return 0;
  }
  SendTunerRequest(hTunerBus, kIoctlBusTuneReadBack, tune.block, kFrameSize, answer, kFrameSize);
  return 1;
}

int TuneSatelliteSPath(const ChannelSettings& channel, const CaptureSettings& capture) {
  SatelliteTune tune;
  if (!PrepareSatelliteTune(channel, capture, &tune)) return 0;
  // The S-path box wants the switch set before the burst.
  if (!SendDiseqcSwitch(tune) || !SendBursts(*tune.lnb) || !SendTone(tune)) return 0;
  uint8_t answer[kDirectReplySize];
  return SendTunerRequest(hTunerS, kIoctlDirectTune, tune.block, kFrameSize, answer, sizeof answer)
             ? 1
             : 0;
}
