#include "sim/tuner_box.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

// Request codes, by the handle they go to.
constexpr uint32_t kDirectLnbCommand = 0x222320;
constexpr uint32_t kDirectTune = 0x222328;
constexpr uint32_t kDirectRingAddress = 0x222334;
constexpr uint32_t kDirectStop = 0x222338;
constexpr uint32_t kDirectPosition = 0x22233C;
constexpr uint32_t kDirectPidFilter = 0x222344;
constexpr uint32_t kDirectSignal = 0x22234C;
constexpr uint32_t kDirectStart = 0x222358;
constexpr uint32_t kDirectOpenQuery = 0x222374;
constexpr uint32_t kBusCommand = 0xAABB2880;
constexpr uint32_t kBusTune = 0xAABB2900;
constexpr uint32_t kBusReadyPoll = 0xAABB2980;
constexpr uint32_t kBusTuneReadBack = 0xAABB2A00;
constexpr uint32_t kBusLongWrite = 0xAABB2A04;
constexpr uint32_t kBusLongRead = 0xAABB2A08;
constexpr uint32_t kBusStreamAddress = 0xDDFF2C00;
constexpr uint32_t kBusStop = 0xDDFF2C40;
constexpr uint32_t kBusStreamPosition = 0xDDFF2C80;

constexpr size_t kDirectRingBytes = 3133440;  // T, A and S boxes
constexpr size_t kBusRingBytes = 3130380;
constexpr uint32_t kLongFrameBytes = 256;
constexpr uint32_t kRecordBytes = 332;        // the program's channel record

constexpr uint8_t kDirectSignalInput[9] = {0x0A, 0x0A, 0x0B, 0x0C, 0x09, 0x00, 0x00, 0x00, 0x00};

uint8_t Checksum(const uint8_t* bytes, int first, int last) {
  unsigned sum = 0;
  for (int i = first; i <= last; ++i) sum += bytes[i];
  return static_cast<uint8_t>(0x100 - (sum & 0xFF));
}

BoxReply Fail() { return BoxReply{}; }

BoxReply Succeed(std::vector<uint8_t> out = {}) {
  BoxReply reply;
  reply.success = true;
  reply.out = std::move(out);
  return reply;
}

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

TunerBox::TunerBox(BoxKind kind, const BoxSimOptions& options, const std::vector<uint8_t>& source,
                   unsigned index)
    : kind_(kind), options_(options), source_(source), index_(index) {
  std::memcpy(modelCode_, options.modelCode.data(), 6);
}

TunerBox::~TunerBox() {
  if (ring_) munmap(ring_, ringSize_);
  if (ringFd_ >= 0) close(ringFd_);
}

TunerBox::Clock TunerBox::Now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool TunerBox::CreateRing(std::string* error) {
  ringSize_ = kind_ == BoxKind::Bus ? kBusRingBytes : kDirectRingBytes;
  ringFd_ = memfd_create("vantrel-ring", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (ringFd_ < 0 || ftruncate(ringFd_, static_cast<off_t>(ringSize_)) != 0 ||
      fcntl(ringFd_, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
    *error = std::string("cannot create the stream ring: ") + std::strerror(errno);
    return false;
  }
  void* base = mmap(nullptr, ringSize_, PROT_READ | PROT_WRITE, MAP_SHARED, ringFd_, 0);
  if (base == MAP_FAILED) {
    *error = std::string("cannot map the stream ring: ") + std::strerror(errno);
    return false;
  }
  ring_ = static_cast<uint8_t*>(base);
  // Looks like the page-aligned address a driver would report; differs per box.
  ringToken_ = 0x10000000u + ((static_cast<uint32_t>(getpid()) & 0xFFFF) << 12) + (index_ << 28);
  return true;
}

std::vector<BoxInterface> TunerBox::Interfaces() const {
  switch (kind_) {
    case BoxKind::T: return {BoxInterface::T};
    case BoxKind::A: return {BoxInterface::A};
    case BoxKind::S: return {BoxInterface::S};
    case BoxKind::Bus:
      if (options_.streamInterface) return {BoxInterface::Bus, BoxInterface::BusStream};
      return {BoxInterface::Bus};
  }
  return {};
}

int TunerBox::ModelNumber() const {
  switch (kind_) {
    case BoxKind::T: return 46;
    case BoxKind::A: return 12;
    case BoxKind::S: return 20;
    case BoxKind::Bus: return ModelNumberForModelCode(modelCode_);
  }
  return -1;
}

bool TunerBox::IsSatellite() const {
  int model = ModelNumber();
  return model == 20 || (model >= 0 && model <= 4);
}

bool TunerBox::UsesLongFrame() const {
  int model = ModelNumber();
  return kind_ == BoxKind::Bus && (model == 0 || model == 1 || model == 6);
}

uint32_t TunerBox::TuneOutputSize() const {
  int model = ModelNumber();
  return model == 10 || model == 15 ? kRecordBytes : 9;
}

uint32_t TunerBox::PollInputSize() const {
  int model = ModelNumber();
  return model == 11 || model == 16 ? 9 : 0;
}

bool TunerBox::Ready(Clock now) const {
  return tunedAt_ >= 0 && tunedChannelListed_ && !options_.neverReady &&
         now - tunedAt_ >= options_.lockMs * 1000000;
}

bool TunerBox::Unplugged(Clock now) const {
  return options_.failAfterMs >= 0 && firstStreamStart_ >= 0 &&
         now - firstStreamStart_ >= options_.failAfterMs * 1000000;
}

bool TunerBox::Stalled(Clock now) const {
  return options_.stallAfterMs >= 0 && firstStreamStart_ >= 0 &&
         now - firstStreamStart_ >= options_.stallAfterMs * 1000000;
}

SignalReading TunerBox::CurrentSignal(Clock now) const {
  if (!Ready(now)) return SignalReading{10, 0, false};
  int strength = options_.strength, quality = options_.quality;
  if (options_.wobble) {
    double seconds = static_cast<double>(now) / 1e9;
    // Periods of a few seconds: slow enough to read, quick enough to see.
    strength += static_cast<int>(std::lround(6 * std::sin(seconds * 2 * M_PI / 5)));
    quality += static_cast<int>(std::lround(5 * std::sin(seconds * 2 * M_PI / 7 + 1)));
    strength = strength < 0 ? 0 : strength > 100 ? 100 : strength;
    quality = quality < 0 ? 0 : quality > 100 ? 100 : quality;
  }
  return SignalReading{strength, quality, true};
}

BoxReply TunerBox::Handle(BoxInterface interface, uint32_t code, const uint8_t* in,
                          uint32_t inSize, uint32_t outSize) {
  if (options_.hangCodes.count(code)) {
    BoxReply never;
    never.answer = false;
    return never;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  Clock now = Now();
  if (Unplugged(now) || options_.failCodes.count(code)) return Fail();
  BoxReply reply;
  switch (interface) {
    case BoxInterface::T:
    case BoxInterface::A:
    case BoxInterface::S:
      reply = HandleDirect(interface, code, in, inSize, outSize, now);
      break;
    case BoxInterface::Bus:
      reply = HandleBus(code, in, inSize, outSize, now);
      break;
    case BoxInterface::BusStream:
      reply = HandleBusStream(code, inSize, outSize, now);
      break;
  }
  return reply;
}

// Sizes must be exactly what the driver takes for the request.
bool TunerBox::SizesAre(const char* name, uint32_t code, uint32_t inSize, uint32_t outSize,
                        uint32_t wantIn, uint32_t wantOut) {
  if (inSize == wantIn && outSize == wantOut) return true;
  std::fprintf(stderr, "vantrel-boxsim: %s %s refused: sizes in %u out %u, expected %u and %u\n",
               name, Hex(code).c_str(), inSize, outSize, wantIn, wantOut);
  return false;
}

BoxReply TunerBox::HandleDirect(BoxInterface interface, uint32_t code, const uint8_t* in,
                                uint32_t inSize, uint32_t outSize, Clock now) {
  const char* name = JournalName(interface);
  const bool t = interface == BoxInterface::T, a = interface == BoxInterface::A,
             s = interface == BoxInterface::S;
  switch (code) {
    case kDirectLnbCommand:
      if (!s) break;
      if (!SizesAre(name, code, inSize, outSize, 9, 10)) return Fail();
      {
        BoxReply reply = FramedCommand(in, 0);
        if (reply.success) {
          reply.out.assign(in, in + 9);
          reply.out.push_back(0);
        }
        return reply;
      }
    case kDirectTune:
      if (s) {
        if (!SizesAre(name, code, inSize, outSize, 9, 10)) return Fail();
        if (!CheckPlainFrame(in, 0x00)) return Fail();
        TuneSatelliteBlock(in, now);
        std::vector<uint8_t> out(in, in + 9);
        out.push_back(0);
        return Succeed(out);
      }
      if (!SizesAre(name, code, inSize, outSize, 9, 0)) return Fail();
      if (!CheckPlainFrame(in, t ? 0x09 : 0x00)) return Fail();
      TuneTerrestrialOrCable(in, false, now);
      return Succeed();
    case kDirectRingAddress:
      if (!SizesAre(name, code, inSize, outSize, 0, 4)) return Fail();
      if (t) StartStream(now);  // the T box has no separate start request
      return RingAddress();
    case kDirectStop:
      if (!SizesAre(name, code, inSize, outSize, 0, 0)) return Fail();
      StopStream();
      return Succeed();
    case kDirectPosition:
      if (!SizesAre(name, code, inSize, outSize, 0, 4)) return Fail();
      return WritePosition();
    case kDirectPidFilter:
      if (t) break;
      if (!SizesAre(name, code, inSize, outSize, 18, 0)) return Fail();
      return Succeed();
    case kDirectSignal: {
      if (a) break;
      if (!SizesAre(name, code, inSize, outSize, 9, 3)) return Fail();
      if (std::memcmp(in, kDirectSignalInput, 9) != 0) {
        std::fprintf(stderr, "vantrel-boxsim: %s %s refused: unexpected input\n", name,
                     Hex(code).c_str());
        return Fail();
      }
      auto status = EncodeDirectSignalStatus(CurrentSignal(now));
      return Succeed({status.begin(), status.end()});
    }
    case kDirectStart:
      if (t) break;
      if (a) {
        if (!SizesAre(name, code, inSize, outSize, 1, 0)) return Fail();
        if (in[0] != 0x02) return Fail();
      } else {
        if (!SizesAre(name, code, inSize, outSize, 0, 0)) return Fail();
      }
      StartStream(now);
      return Succeed();
    case kDirectOpenQuery:
      if (!s) break;
      if (!SizesAre(name, code, inSize, outSize, 0, 10)) return Fail();
      return Succeed({'S', 'B', 'O', 'X', ' ', '1', '.', '0', '0', 0});
    default:
      break;
  }
  std::fprintf(stderr, "vantrel-boxsim: %s %s refused: not a request of this handle\n", name,
               Hex(code).c_str());
  return Fail();
}

BoxReply TunerBox::HandleBus(uint32_t code, const uint8_t* in, uint32_t inSize, uint32_t outSize,
                             Clock now) {
  const char* name = "BUS";
  switch (code) {
    case kBusCommand:
      // The output size depends on the command; FramedCommand checks it.
      if (!SizesAre(name, code, inSize, outSize, 9, outSize)) return Fail();
      return FramedCommand(in, outSize);
    case kBusTune:
      if (UsesLongFrame()) break;
      if (!SizesAre(name, code, inSize, outSize, 9, TuneOutputSize())) return Fail();
      if (!CheckPlainFrame(in, 0x00)) return Fail();
      if (IsSatellite()) {
        TuneSatelliteBlock(in, now);
      } else {
        TuneTerrestrialOrCable(in, ModelNumber() == 5, now);
      }
      return Succeed({in, in + 9});
    case kBusReadyPoll:
      if (!SizesAre(name, code, inSize, outSize, PollInputSize(), 0)) return Fail();
      return Ready(now) ? Succeed() : Fail();
    case kBusTuneReadBack:
      if (UsesLongFrame()) break;
      if (!SizesAre(name, code, inSize, outSize, 9, TuneOutputSize())) return Fail();
      if (!CheckPlainFrame(in, 0x00)) return Fail();
      return Succeed({in, in + 9});
    case kBusLongWrite: {
      if (!UsesLongFrame()) break;
      if (!SizesAre(name, code, inSize, outSize, kLongFrameBytes, 0)) return Fail();
      bool tailClear = true;
      for (uint32_t i = 11; i < kLongFrameBytes; ++i) tailClear = tailClear && in[i] == 0;
      if (in[0] != 0xAA || in[1] != 0x09 || in[2] != 0x00 || in[10] != Checksum(in, 1, 9) ||
          !tailClear) {
        std::fprintf(stderr, "vantrel-boxsim: BUS %s refused: malformed long frame\n",
                     Hex(code).c_str());
        return Fail();
      }
      std::memcpy(longFrame_, in, sizeof longFrame_);
      haveLongFrame_ = true;
      if (IsSatellite()) {
        TuneSatellite((in[3] & 0x7F) << 8 | in[4], in[7] << 8 | in[8], in[9] & 0x40, in[9] & 0x80,
                      now);
      } else {
        TuneTerrestrialOrCable(in + 2, true, now);
      }
      return Succeed();
    }
    case kBusLongRead: {
      if (!UsesLongFrame()) break;
      if (!SizesAre(name, code, inSize, outSize, 0, kLongFrameBytes)) return Fail();
      if (!haveLongFrame_) return Fail();
      // Answer: AA, then the seven parameter bytes as tuned, then a checksum.
      std::vector<uint8_t> out(kLongFrameBytes, 0);
      out[0] = 0xAA;
      std::memcpy(&out[1], longFrame_ + 3, 7);
      out[8] = Checksum(out.data(), 1, 7);
      return Succeed(out);
    }
    case kBusStop:
      if (!SizesAre(name, code, inSize, outSize, 0, 0)) return Fail();
      StopStream();
      return Succeed();
    default:
      break;
  }
  std::fprintf(stderr, "vantrel-boxsim: BUS %s refused: not a request of this handle or model\n",
               Hex(code).c_str());
  return Fail();
}

BoxReply TunerBox::HandleBusStream(uint32_t code, uint32_t inSize, uint32_t outSize, Clock now) {
  const char* name = "BUSSTREAM";
  switch (code) {
    case kBusStreamAddress:
      if (!SizesAre(name, code, inSize, outSize, 0, 4)) return Fail();
      StartStream(now);
      return RingAddress();
    case kBusStreamPosition:
      if (!SizesAre(name, code, inSize, outSize, 0, 4)) return Fail();
      return WritePosition();
    default:
      break;
  }
  std::fprintf(stderr, "vantrel-boxsim: BUSSTREAM %s refused: not a request of this handle\n",
               Hex(code).c_str());
  return Fail();
}

BoxReply TunerBox::FramedCommand(const uint8_t* frame, uint32_t outSize) {
  const char* name = kind_ == BoxKind::Bus ? "BUS" : "S";
  if (frame[0] != 0xAA || frame[1] != 0x00 || frame[8] != Checksum(frame, 1, 7)) {
    std::fprintf(stderr, "vantrel-boxsim: %s refused a malformed command frame\n", name);
    return Fail();
  }
  uint8_t command = frame[2];
  bool wantsReply = command == 0x05 || command == 0x06;
  bool satelliteCommand = command == 0x08 || command == 0x09;
  // The direct set's LNB request takes only the satellite commands; on the
  // bus, status and model code answer 9 bytes, the satellite commands none.
  if (kind_ == BoxKind::S ? !satelliteCommand
                          : !(wantsReply ? outSize == 9 : satelliteCommand && outSize == 0)) {
    std::fprintf(stderr, "vantrel-boxsim: %s refused command 0x%02X with output %u\n", name,
                 command, outSize);
    return Fail();
  }
  if (satelliteCommand && !IsSatellite()) {
    std::fprintf(stderr, "vantrel-boxsim: %s refused LNB command 0x%02X: not a satellite box\n",
                 name, command);
    return Fail();
  }
  Clock now = Now();
  switch (command) {
    case 0x05: {
      int format = SignalFormatForModelCode(modelCode_);
      auto status = EncodeBusSignalStatus(format < 0 ? 0 : format, CurrentSignal(now));
      return Succeed({status.begin(), status.end()});
    }
    case 0x06: {
      std::vector<uint8_t> out = {0xAA, 0x00};
      out.insert(out.end(), modelCode_, modelCode_ + 6);
      out.push_back(0);
      out[8] = Checksum(out.data(), 1, 7);
      return Succeed(out);
    }
    case 0x08: {
      uint8_t length = frame[3], data = frame[7];
      if (length != (data == 0 ? 3 : 4) || frame[5] != 0x10) {
        std::fprintf(stderr, "vantrel-boxsim: %s refused a malformed DiSEqC message\n", name);
        return Fail();
      }
      if (frame[6] == 0x38) diseqcData_ = data;  // committed switches
      return Succeed();
    }
    default: {  // 0x09: tone, burst, LNB supply
      uint8_t toneByte = frame[3], burstByte = frame[4], supplyByte = frame[5];
      bool toneKnown = toneByte == 0x00 || toneByte == 0x02 || toneByte == 0xFF;
      bool burstKnown = burstByte == 0x00 || burstByte == 0x01 || burstByte == 0xFF;
      // A burst is sent with the tone byte 0xFF, and only then.
      if (!toneKnown || !burstKnown || supplyByte > 1 || (toneByte == 0xFF) != (burstByte != 0xFF)) {
        std::fprintf(stderr, "vantrel-boxsim: %s refused a malformed LNB control command\n", name);
        return Fail();
      }
      if (toneByte != 0xFF) tone_ = toneByte == 0x02 ? 1 : 0;
      if (burstByte != 0xFF) burst_ = burstByte;
      supply_ = supplyByte;
      return Succeed();
    }
  }
}

BoxReply TunerBox::RingAddress() {
  std::vector<uint8_t> token(4);
  std::memcpy(token.data(), &ringToken_, 4);
  BoxReply reply = Succeed(token);
  reply.passRing = true;
  return reply;
}

BoxReply TunerBox::WritePosition() {
  std::vector<uint8_t> offset(4);
  std::memcpy(offset.data(), &writeOffset_, 4);
  return Succeed(offset);
}

void TunerBox::StartStream(Clock now) {
  // Every start begins the ring and the stream file afresh.
  streaming_ = true;
  writeOffset_ = 0;
  sourcePosition_ = 0;
  flowingSince_ = -1;
  if (firstStreamStart_ < 0) firstStreamStart_ = now;
}

void TunerBox::StopStream() {
  streaming_ = false;
  flowingSince_ = -1;
}

bool TunerBox::CheckPlainFrame(const uint8_t* frame, uint8_t lead) {
  if (frame[0] == lead && frame[8] == Checksum(frame, 1, 7)) return true;
  std::fprintf(stderr, "vantrel-boxsim: refused tuning frame: %s\n",
               frame[0] != lead ? "wrong lead byte" : "bad checksum");
  return false;
}

// `frame` bytes 1..7 as in the plain frame; for the cable long frame the
// caller passes the frame from byte 2 on, so that bytes 1..3 are the
// frequency, 4..6 the symbol rate (24 bits) and 7 the QAM order.
void TunerBox::TuneTerrestrialOrCable(const uint8_t* frame, bool cable, Clock now) {
  uint32_t frequency = static_cast<uint32_t>(frame[1]) << 16 | frame[2] << 8 | frame[3];
  bool listed = options_.anyChannel || options_.channels.count(frequency);
  char text[160];
  if (!cable) {
    std::snprintf(text, sizeof text, "terrestrial %u kHz, %u MHz", frequency, frame[5]);
  } else if (UsesLongFrame()) {
    uint32_t symbolRate = static_cast<uint32_t>(frame[4]) << 16 | frame[5] << 8 | frame[6];
    std::snprintf(text, sizeof text, "cable %u kHz, %u ksymbol/s, QAM %u", frequency, symbolRate,
                  frame[7] == 0 ? 256u : frame[7]);
  } else {
    uint32_t symbolRate = static_cast<uint32_t>(frame[4]) << 8 | frame[5];
    std::snprintf(text, sizeof text, "cable %u kHz, %u ksymbol/s, QAM %u", frequency, symbolRate,
                  frame[7] == 0xFF ? 256u : frame[7]);
  }
  tunedAt_ = now;
  tunedChannelListed_ = listed;
  std::fprintf(stderr, "vantrel-boxsim: tuned %s%s\n", text,
               options_.neverReady ? " (never ready)"
               : listed            ? ""
                                   : " (not a listed channel: no lock)");
}

// The 9-byte satellite tune block: IF divider in bytes 1 and 2, the
// symbol-rate word (rate x 2^20 / 88 MHz) in bytes 4 to 6, flags in byte 7.
void TunerBox::TuneSatelliteBlock(const uint8_t* block, Clock now) {
  uint32_t word = static_cast<uint32_t>(block[4]) << 12 | block[5] << 4 | block[6] >> 4;
  TuneSatellite((block[1] & 0x7F) << 8 | block[2],
                static_cast<uint32_t>(std::lround(word * 88000.0 / 1048576.0)), block[7] & 0x40,
                block[7] & 0x80, now);
}

void TunerBox::TuneSatellite(uint32_t ifMHz, uint32_t symbolRateK, bool horizontal, bool inversion,
                             Clock now) {
  // The dish is taken to carry a universal LNB: the tone, or the band bit of
  // the committed-switch byte, selects the 10600 MHz oscillator.
  bool highBand = tone_ == 1 || (diseqcData_ >= 0 && (diseqcData_ & 1));
  uint32_t lo = highBand ? 10600 : 9750;
  uint32_t transponder = lo + ifMHz;
  bool listed = options_.anyChannel || options_.channels.count(transponder) ||
                options_.channels.count(ifMHz);
  std::string port = "no DiSEqC";
  if (diseqcData_ >= 0) port = std::string("DiSEqC port ") + static_cast<char>('A' + ((diseqcData_ >> 2) & 3));
  const char* burst = burst_ == 0 ? ", tone burst" : burst_ == 1 ? ", data burst" : "";
  tunedAt_ = now;
  tunedChannelListed_ = listed;
  std::fprintf(stderr,
               "vantrel-boxsim: tuned satellite IF %u MHz, %u ksymbol/s, %s%s; tone %s, LO %u MHz: "
               "transponder %u MHz; %s%s; LNB supply %s%s\n",
               ifMHz, symbolRateK, horizontal ? "horizontal" : "vertical",
               inversion ? ", inverted" : "", tone_ == 1 ? "on" : "off", lo, transponder,
               port.c_str(), burst, supply_ == 1 ? "on" : "off",
               options_.neverReady ? " (never ready)"
               : listed            ? ""
                                   : " (not a listed channel: no lock)");
}

void TunerBox::StreamTick() {
  std::lock_guard<std::mutex> lock(mutex_);
  Clock now = Now();
  bool flowing = streaming_ && Ready(now) && !Stalled(now) && !Unplugged(now) && ring_ &&
                 !source_.empty();
  if (!flowing) {
    flowingSince_ = -1;
    return;
  }
  if (flowingSince_ < 0) {
    flowingSince_ = now;
    flowingBytes_ = 0;
    return;
  }
  unsigned __int128 dueTotal =
      static_cast<unsigned __int128>(options_.bitrate) * static_cast<uint64_t>(now - flowingSince_) /
      8000000000u;
  uint64_t due = static_cast<uint64_t>(dueTotal) - flowingBytes_;
  flowingBytes_ += due;
  if (due > ringSize_) {
    // Fell behind by more than the ring: only the newest ring's worth stays.
    uint64_t skip = due - ringSize_;
    sourcePosition_ = static_cast<size_t>((sourcePosition_ + skip) % source_.size());
    writeOffset_ = static_cast<uint32_t>((writeOffset_ + skip) % ringSize_);
    due = ringSize_;
  }
  while (due > 0) {
    size_t piece = std::min<uint64_t>(due, std::min(ringSize_ - writeOffset_,
                                                    source_.size() - sourcePosition_));
    std::memcpy(ring_ + writeOffset_, source_.data() + sourcePosition_, piece);
    due -= piece;
    writeOffset_ = static_cast<uint32_t>((writeOffset_ + piece) % ringSize_);
    sourcePosition_ = (sourcePosition_ + piece) % source_.size();
  }
}
