#include "boxserver/box_protocol.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "boxserver/box_signal.h"
#include "device/device_protocol.h"
#include "platform/device_wire.h"

namespace {

// Output of the terrestrial variant-A tune requests: the program's channel record.
constexpr uint32_t kRecordBytes = sizeof(ChannelSettings);

const char* programName = "vantrel-boxsim";

uint8_t Checksum(const uint8_t* bytes, int first, int last) {
  return FrameChecksum(bytes + first, static_cast<size_t>(last - first + 1));
}

BoxReply Fail() { return BoxReply{}; }

BoxReply Succeed(std::vector<uint8_t> out = {}) {
  BoxReply reply;
  reply.success = true;
  reply.out = std::move(out);
  return reply;
}

BoxReply SucceedIf(bool ok) { return ok ? Succeed() : Fail(); }

std::string Hex(uint32_t code) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", code);
  return text;
}

}  // namespace

const char* JournalName(BoxInterface interface) {
  switch (interface) {
    case BoxInterface::T: return "T";
    case BoxInterface::A: return "A";
    case BoxInterface::S: return "S";
    case BoxInterface::Bus: return "BUS";
    case BoxInterface::BusStream: return "BUSSTREAM";
  }
  return "?";
}

std::string SocketName(BoxInterface interface) {
  switch (interface) {
    case BoxInterface::T: return DeviceSocketNameForPath(kTunerPathT);
    case BoxInterface::S: return DeviceSocketNameForPath(kTunerPathS);
    case BoxInterface::A: return InterfaceSocketName(kInterfaceClassA, 0);
    case BoxInterface::Bus: return InterfaceSocketName(kInterfaceClassBus, 0);
    case BoxInterface::BusStream: return InterfaceSocketName(kInterfaceClassBusStream, 0);
  }
  return {};
}

void BoxProtocol::SetProgramName(const char* name) { programName = name; }

BoxProtocol::BoxProtocol(const BoxIdentity& identity, BoxBackend* backend, unsigned index)
    : identity_(identity), backend_(backend), index_(index) {
  std::memcpy(modelCode_, identity.modelCode.data(), std::min<size_t>(6, identity.modelCode.size()));
}

BoxProtocol::~BoxProtocol() { StopStream(); }

bool BoxProtocol::CreateRing(std::string* error) {
  return ring_.Create(identity_.kind == BoxKind::Bus ? kRingSizeBus : kRingSizeDirect, index_, error);
}

std::vector<BoxInterface> BoxProtocol::Interfaces() const {
  switch (identity_.kind) {
    case BoxKind::T: return {BoxInterface::T};
    case BoxKind::A: return {BoxInterface::A};
    case BoxKind::S: return {BoxInterface::S};
    case BoxKind::Bus:
      if (identity_.streamInterface) return {BoxInterface::Bus, BoxInterface::BusStream};
      return {BoxInterface::Bus};
  }
  return {};
}

int BoxProtocol::ModelNumber() const {
  switch (identity_.kind) {
    case BoxKind::T: return 46;
    case BoxKind::A: return 12;
    case BoxKind::S: return 20;
    case BoxKind::Bus: return ModelNumberForModelCode(modelCode_);
  }
  return -1;
}

std::string BoxProtocol::Description() const {
  std::string model = " (model " + std::to_string(ModelNumber()) + ")";
  if (identity_.kind != BoxKind::Bus) return JournalName(Interfaces()[0]) + model;
  return "BUS model code " + identity_.modelCode + model +
         (identity_.streamInterface ? "" : " without BUSSTREAM");
}

bool BoxProtocol::IsSatellite() const {
  int model = ModelNumber();
  return model == 20 || (model >= 0 && model <= 4);
}

bool BoxProtocol::UsesLongFrame() const {
  int model = ModelNumber();
  return identity_.kind == BoxKind::Bus && (model == 0 || model == 1 || model == 6);
}

uint32_t BoxProtocol::TuneOutputSize() const {
  int model = ModelNumber();
  return model == 10 || model == 15 ? kRecordBytes : kFrameSize;
}

uint32_t BoxProtocol::PollInputSize() const {
  int model = ModelNumber();
  return model == 11 || model == 16 ? kFrameSize : 0;
}

uint32_t BoxProtocol::StreamOwnerOtherThan(uint32_t clientPid) const {
  return streaming_ && streamOwner_ != clientPid ? streamOwner_ : 0;
}

void BoxProtocol::ClientGone(uint32_t clientPid) {
  if (!streaming_ || streamOwner_ != clientPid) return;
  std::fprintf(stderr, "%s: stream stopped: its program (pid %u) went away\n", programName, clientPid);
  StopStream();
}

// The requests that start, stop, filter or retune the stream, or switch the
// dish under it. Reading the signal, the model or the write offset disturbs
// nobody.
bool BoxProtocol::TouchesStream(BoxInterface interface, uint32_t code, const uint8_t* in,
                                uint32_t inSize) const {
  switch (interface) {
    case BoxInterface::T:
    case BoxInterface::A:
    case BoxInterface::S:
      return code == kIoctlDirectLnbCommand || code == kIoctlDirectTune ||
             code == kIoctlDirectStreamAddress || code == kIoctlDirectStopStream ||
             code == kIoctlDirectPidFilter || code == kIoctlDirectStartStream;
    case BoxInterface::Bus:
      if (code == kIoctlBusCommand)
        return inSize == kFrameSize && (in[2] == kCommandDiseqc || in[2] == kCommandLnbControl);
      return code == kIoctlBusTune || code == kIoctlBusTuneReadBack ||
             code == kIoctlBusLongFrameWrite || code == kIoctlBusStopStream;
    case BoxInterface::BusStream:
      return code == kIoctlBusStreamAddress;
  }
  return false;
}

BoxReply BoxProtocol::Handle(BoxInterface interface, uint32_t code, const uint8_t* in,
                             uint32_t inSize, uint32_t outSize, uint32_t clientPid) {
  client_ = clientPid;
  if (const uint32_t owner = StreamOwnerOtherThan(clientPid);
      owner != 0 && TouchesStream(interface, code, in, inSize)) {
    std::fprintf(stderr, "%s: %s %s refused: the box streams for another program (pid %u)\n",
                 programName, JournalName(interface), Hex(code).c_str(), owner);
    BoxReply busy;
    busy.inUseBy = owner;
    return busy;
  }
  switch (backend_->Screen(code)) {
    case RequestFate::NeverAnswer: {
      BoxReply never;
      never.answer = false;
      return never;
    }
    case RequestFate::Fail:
      return Fail();
    case RequestFate::Serve:
      break;
  }
  switch (interface) {
    case BoxInterface::T:
    case BoxInterface::A:
    case BoxInterface::S:
      return HandleDirect(interface, code, in, inSize, outSize);
    case BoxInterface::Bus:
      return HandleBus(code, in, inSize, outSize);
    case BoxInterface::BusStream:
      return HandleBusStream(code, inSize, outSize);
  }
  return Fail();
}

// Sizes must be exactly what the driver takes for the request.
bool BoxProtocol::SizesAre(const char* name, uint32_t code, uint32_t inSize, uint32_t outSize,
                           uint32_t wantIn, uint32_t wantOut) {
  if (inSize == wantIn && outSize == wantOut) return true;
  std::fprintf(stderr, "%s: %s %s refused: sizes in %u out %u, expected %u and %u\n", programName,
               name, Hex(code).c_str(), inSize, outSize, wantIn, wantOut);
  return false;
}

BoxReply BoxProtocol::HandleDirect(BoxInterface interface, uint32_t code, const uint8_t* in,
                                   uint32_t inSize, uint32_t outSize) {
  const char* name = JournalName(interface);
  const bool t = interface == BoxInterface::T, a = interface == BoxInterface::A,
             s = interface == BoxInterface::S;
  switch (code) {
    case kIoctlDirectLnbCommand:
      if (!s) break;
      if (!SizesAre(name, code, inSize, outSize, kFrameSize, kDirectReplySize)) return Fail();
      {
        BoxReply reply = FramedCommand(in, 0);
        if (reply.success) {
          reply.out.assign(in, in + kFrameSize);
          reply.out.push_back(0);
        }
        return reply;
      }
    case kIoctlDirectTune:
      if (s) {
        if (!SizesAre(name, code, inSize, outSize, kFrameSize, kDirectReplySize)) return Fail();
        if (!CheckPlainFrame(in, kLeadByteDefault)) return Fail();
        if (!TuneSatelliteBlock(in)) return Fail();
        std::vector<uint8_t> out(in, in + kFrameSize);
        out.push_back(0);
        return Succeed(out);
      }
      if (!SizesAre(name, code, inSize, outSize, kFrameSize, 0)) return Fail();
      if (!CheckPlainFrame(in, t ? kLeadByteTPath : kLeadByteDefault)) return Fail();
      return SucceedIf(TuneTerrestrialFrame(in));
    case kIoctlDirectStreamAddress:
      if (!SizesAre(name, code, inSize, outSize, 0, kStreamWordSize)) return Fail();
      // The T box has no separate start request.
      if (t && !StartStream()) return Fail();
      return RingAddress();
    case kIoctlDirectStopStream:
      if (!SizesAre(name, code, inSize, outSize, 0, 0)) return Fail();
      StopStream();
      return Succeed();
    case kIoctlDirectStreamPosition:
      if (!SizesAre(name, code, inSize, outSize, 0, kStreamWordSize)) return Fail();
      return WritePosition();
    case kIoctlDirectPidFilter:
      if (t) break;
      if (!SizesAre(name, code, inSize, outSize, kPidFilterRecordSize, 0)) return Fail();
      // PID little-endian in bytes 0 and 1, the enable flag in byte 16.
      return SucceedIf(SetPidFilter(in[16] ? static_cast<uint16_t>((in[0] | in[1] << 8) & 0x1FFF) : 0));
    case kIoctlDirectSignalStatus: {
      if (a) break;
      if (!SizesAre(name, code, inSize, outSize, kFrameSize, kDirectSignalReplySize)) return Fail();
      if (std::memcmp(in, kDirectSignalInput, kFrameSize) != 0) {
        std::fprintf(stderr, "%s: %s %s refused: unexpected input\n", programName, name,
                     Hex(code).c_str());
        return Fail();
      }
      auto status = EncodeDirectSignalStatus(backend_->Signal());
      return Succeed({status.begin(), status.end()});
    }
    case kIoctlDirectStartStream:
      if (t) break;
      if (a) {
        if (!SizesAre(name, code, inSize, outSize, 1, 0)) return Fail();
        if (in[0] != 0x02) return Fail();
      } else {
        if (!SizesAre(name, code, inSize, outSize, 0, 0)) return Fail();
      }
      return SucceedIf(StartStream());
    case kIoctlDirectOpenQuery:
      if (!s) break;
      if (!SizesAre(name, code, inSize, outSize, 0, kDirectReplySize)) return Fail();
      return Succeed({'S', 'B', 'O', 'X', ' ', '1', '.', '0', '0', 0});
    default:
      break;
  }
  std::fprintf(stderr, "%s: %s %s refused: not a request of this handle\n", programName, name,
               Hex(code).c_str());
  return Fail();
}

BoxReply BoxProtocol::HandleBus(uint32_t code, const uint8_t* in, uint32_t inSize,
                                uint32_t outSize) {
  const char* name = "BUS";
  switch (code) {
    case kIoctlBusCommand:
      // The output size depends on the command; FramedCommand checks it.
      if (!SizesAre(name, code, inSize, outSize, kFrameSize, outSize)) return Fail();
      return FramedCommand(in, outSize);
    case kIoctlBusTune: {
      if (UsesLongFrame()) break;
      if (!SizesAre(name, code, inSize, outSize, kFrameSize, TuneOutputSize())) return Fail();
      if (!CheckPlainFrame(in, kLeadByteDefault)) return Fail();
      bool tuned = IsSatellite()          ? TuneSatelliteBlock(in)
                   : ModelNumber() == 5   ? TuneCableFrame(in)
                                          : TuneTerrestrialFrame(in);
      if (!tuned) return Fail();
      return Succeed({in, in + kFrameSize});
    }
    case kIoctlBusReadyPoll:
      if (!SizesAre(name, code, inSize, outSize, PollInputSize(), 0)) return Fail();
      return SucceedIf(backend_->Ready());
    case kIoctlBusTuneReadBack:
      if (UsesLongFrame()) break;
      if (!SizesAre(name, code, inSize, outSize, kFrameSize, TuneOutputSize())) return Fail();
      if (!CheckPlainFrame(in, kLeadByteDefault)) return Fail();
      return Succeed({in, in + kFrameSize});
    case kIoctlBusLongFrameWrite: {
      if (!UsesLongFrame()) break;
      if (!SizesAre(name, code, inSize, outSize, kLongFrameSize, 0)) return Fail();
      bool tailClear = true;
      for (uint32_t i = 11; i < kLongFrameSize; ++i) tailClear = tailClear && in[i] == 0;
      if (in[0] != 0xAA || in[1] != 0x09 || in[2] != 0x00 || in[10] != Checksum(in, 1, 9) ||
          !tailClear) {
        std::fprintf(stderr, "%s: BUS %s refused: malformed long frame\n", programName,
                     Hex(code).c_str());
        return Fail();
      }
      std::memcpy(longFrame_, in, sizeof longFrame_);
      haveLongFrame_ = true;
      bool tuned;
      if (IsSatellite()) {
        tuned = backend_->TuneSatellite(SatelliteTune{static_cast<uint32_t>((in[3] & 0x7F) << 8 | in[4]),
                                                      static_cast<uint32_t>(in[7] << 8 | in[8]),
                                                      (in[9] & 0x40) != 0, (in[9] & 0x80) != 0});
      } else {
        // Frequency and symbol rate in 24 bits each, QAM 256 sent as 0.
        tuned = backend_->TuneCable(CableTune{static_cast<uint32_t>(in[3] << 16 | in[4] << 8 | in[5]),
                                              static_cast<uint32_t>(in[6] << 16 | in[7] << 8 | in[8]),
                                              in[9] == 0 ? 256u : in[9]});
      }
      return SucceedIf(tuned);
    }
    case kIoctlBusLongFrameRead: {
      if (!UsesLongFrame()) break;
      if (!SizesAre(name, code, inSize, outSize, 0, kLongFrameSize)) return Fail();
      if (!haveLongFrame_) return Fail();
      // Answer: AA, then the seven parameter bytes as tuned, then a checksum.
      std::vector<uint8_t> out(kLongFrameSize, 0);
      out[0] = 0xAA;
      std::memcpy(&out[1], longFrame_ + 3, 7);
      out[8] = Checksum(out.data(), 1, 7);
      return Succeed(out);
    }
    case kIoctlBusStopStream:
      if (!SizesAre(name, code, inSize, outSize, 0, 0)) return Fail();
      StopStream();
      return Succeed();
    default:
      break;
  }
  std::fprintf(stderr, "%s: BUS %s refused: not a request of this handle or model\n", programName,
               Hex(code).c_str());
  return Fail();
}

BoxReply BoxProtocol::HandleBusStream(uint32_t code, uint32_t inSize, uint32_t outSize) {
  const char* name = "BUSSTREAM";
  switch (code) {
    case kIoctlBusStreamAddress:
      if (!SizesAre(name, code, inSize, outSize, 0, kStreamWordSize)) return Fail();
      if (!StartStream()) return Fail();
      return RingAddress();
    case kIoctlBusStreamPosition:
      if (!SizesAre(name, code, inSize, outSize, 0, kStreamWordSize)) return Fail();
      return WritePosition();
    default:
      break;
  }
  std::fprintf(stderr, "%s: BUSSTREAM %s refused: not a request of this handle\n", programName,
               Hex(code).c_str());
  return Fail();
}

BoxReply BoxProtocol::FramedCommand(const uint8_t* frame, uint32_t outSize) {
  const char* name = identity_.kind == BoxKind::Bus ? "BUS" : "S";
  if (frame[0] != 0xAA || frame[1] != 0x00 || frame[8] != Checksum(frame, 1, 7)) {
    std::fprintf(stderr, "%s: %s refused a malformed command frame\n", programName, name);
    return Fail();
  }
  uint8_t command = frame[2];
  bool wantsReply = command == kCommandSignalStatus || command == kCommandModelCode;
  bool satelliteCommand = command == kCommandDiseqc || command == kCommandLnbControl;
  // The direct set's LNB request takes only the satellite commands; on the
  // bus, status and model code answer 9 bytes, the satellite commands none.
  if (identity_.kind == BoxKind::S
          ? !satelliteCommand
          : !(wantsReply ? outSize == kFrameSize : satelliteCommand && outSize == 0)) {
    std::fprintf(stderr, "%s: %s refused command 0x%02X with output %u\n", programName, name,
                 command, outSize);
    return Fail();
  }
  if (satelliteCommand && !IsSatellite()) {
    std::fprintf(stderr, "%s: %s refused LNB command 0x%02X: not a satellite box\n", programName,
                 name, command);
    return Fail();
  }
  switch (command) {
    case kCommandSignalStatus: {
      int format = SignalFormatForModelCode(modelCode_);
      auto status = EncodeBusSignalStatus(format < 0 ? 0 : format, backend_->Signal());
      return Succeed({status.begin(), status.end()});
    }
    case kCommandModelCode: {
      std::vector<uint8_t> out = {0xAA, 0x00};
      out.insert(out.end(), modelCode_, modelCode_ + 6);
      out.push_back(0);
      out[8] = Checksum(out.data(), 1, 7);
      return Succeed(out);
    }
    case kCommandDiseqc: {
      uint8_t length = frame[3], data = frame[7];
      if (length != (data == 0 ? 3 : 4) || frame[5] != kDiseqcAddressAnyLnb) {
        std::fprintf(stderr, "%s: %s refused a malformed DiSEqC message\n", programName, name);
        return Fail();
      }
      // Framing, address, command and (when the length says so) the data byte.
      return SucceedIf(backend_->Diseqc(std::vector<uint8_t>(frame + 4, frame + 4 + length)));
    }
    default: {  // LNB control: tone, burst, LNB supply
      uint8_t toneByte = frame[3], burstByte = frame[4], supplyByte = frame[5];
      bool toneKnown = toneByte == 0x00 || toneByte == 0x02 || toneByte == 0xFF;
      bool burstKnown = burstByte == 0x00 || burstByte == 0x01 || burstByte == 0xFF;
      // A burst is sent with the tone byte 0xFF, and only then.
      if (!toneKnown || !burstKnown || supplyByte > 1 || (toneByte == 0xFF) != (burstByte != 0xFF)) {
        std::fprintf(stderr, "%s: %s refused a malformed LNB control command\n", programName, name);
        return Fail();
      }
      ToneCommand tone = toneByte == 0xFF ? ToneCommand::Unchanged
                         : toneByte == 0x02 ? ToneCommand::On
                                            : ToneCommand::Off;
      BurstCommand burst = burstByte == 0x00   ? BurstCommand::ToneBurst
                           : burstByte == 0x01 ? BurstCommand::DataBurst
                                               : BurstCommand::None;
      return SucceedIf(backend_->LnbControl(tone, burst, supplyByte == 1));
    }
  }
}

BoxReply BoxProtocol::RingAddress() {
  std::vector<uint8_t> token(kStreamWordSize);
  uint32_t value = ring_.token();
  std::memcpy(token.data(), &value, sizeof value);
  BoxReply reply = Succeed(token);
  reply.passRing = true;
  return reply;
}

BoxReply BoxProtocol::WritePosition() {
  std::vector<uint8_t> offset(kStreamWordSize);
  uint32_t value = ring_.WriteOffset();
  positionReported_ = true;
  std::memcpy(offset.data(), &value, sizeof value);
  return Succeed(offset);
}

bool BoxProtocol::StartStream() {
  // Every start begins the ring afresh.
  if (streaming_) backend_->StopStream();
  ring_.Reset();
  positionReported_ = false;
  streaming_ = backend_->StartStream(&ring_);
  streamOwner_ = client_;
  return streaming_;
}

// The program sets the filter right after the start. Until it has asked for
// a write offset it cannot have read a byte, so the stream begins again with
// the filter in place: a capture never starts with packets it filtered out.
bool BoxProtocol::SetPidFilter(uint16_t pid) {
  bool restart = streaming_ && !positionReported_;
  if (restart) {
    backend_->StopStream();
    streaming_ = false;
  }
  bool ok = backend_->SetPidFilter(pid);
  if (restart) {
    ring_.Reset();
    streaming_ = backend_->StartStream(&ring_);
    ok = ok && streaming_;
  }
  return ok;
}

void BoxProtocol::StopStream() {
  if (streaming_) backend_->StopStream();
  streaming_ = false;
}

bool BoxProtocol::CheckPlainFrame(const uint8_t* frame, uint8_t lead) {
  if (frame[0] == lead && frame[8] == Checksum(frame, 1, 7)) return true;
  std::fprintf(stderr, "%s: refused tuning frame: %s\n", programName,
               frame[0] != lead ? "wrong lead byte" : "bad checksum");
  return false;
}

// Plain frame: frequency (kHz) in bytes 1..3, bandwidth in byte 5.
bool BoxProtocol::TuneTerrestrialFrame(const uint8_t* frame) {
  return backend_->TuneTerrestrial(
      TerrestrialTune{static_cast<uint32_t>(frame[1] << 16 | frame[2] << 8 | frame[3]), frame[5]});
}

// Plain frame: frequency in bytes 1..3, symbol rate in 4..5, QAM in 7 (256 as 0xFF).
bool BoxProtocol::TuneCableFrame(const uint8_t* frame) {
  return backend_->TuneCable(CableTune{static_cast<uint32_t>(frame[1] << 16 | frame[2] << 8 | frame[3]),
                                       static_cast<uint32_t>(frame[4] << 8 | frame[5]),
                                       frame[7] == 0xFF ? 256u : frame[7]});
}

// The 9-byte satellite tune block: IF divider in bytes 1 and 2, the
// symbol-rate word (rate x 2^20 / 88 MHz, rounded down) in bytes 4 to 6,
// flags in byte 7. The program's rates are whole ksymbol/s, so the nearest
// one gives the rate back exactly.
bool BoxProtocol::TuneSatelliteBlock(const uint8_t* block) {
  uint32_t word = static_cast<uint32_t>(block[4]) << 12 | block[5] << 4 | block[6] >> 4;
  return backend_->TuneSatellite(
      SatelliteTune{static_cast<uint32_t>((block[1] & 0x7F) << 8 | block[2]),
                    static_cast<uint32_t>(std::lround(word * 88000.0 / 1048576.0)),
                    (block[7] & 0x40) != 0, (block[7] & 0x80) != 0});
}
