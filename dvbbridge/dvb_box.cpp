#include "dvbbridge/dvb_box.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "boxserver/stream_ring.h"
#include "dvbbridge/signal_mapping.h"

namespace {

constexpr uint16_t kWholeStreamPid = 0x2000;
constexpr size_t kPacket = 188;
// One read of the DVR device: a few hundred packets.
constexpr size_t kReadBytes = 348 * kPacket;
constexpr int kReadTimeoutMs = 100;
// DiSEqC wants the bus powered and quiet this long before a message.
constexpr auto kDiseqcSettle = std::chrono::milliseconds(15);
constexpr size_t kMaxDvrBufferBytes = 64u * 1024 * 1024;

bool Supports(const DvbDevice& device, DeliverySystem system) {
  const auto& systems = device.Info().systems;
  return std::find(systems.begin(), systems.end(), system) != systems.end();
}

Modulation ModulationForQam(uint32_t order) {
  switch (order) {
    case 16: return Modulation::QAM_16;
    case 32: return Modulation::QAM_32;
    case 64: return Modulation::QAM_64;
    case 128: return Modulation::QAM_128;
    case 256: return Modulation::QAM_256;
    default: return Modulation::Auto;
  }
}

}  // namespace

std::optional<BoxFamily> ParseFamilyName(const std::string& name) {
  if (name == "dvbs") return BoxFamily::Satellite;
  if (name == "dvbc") return BoxFamily::Cable;
  if (name == "dvbt") return BoxFamily::Terrestrial;
  if (name == "atsc") return BoxFamily::Atsc;
  return std::nullopt;
}

const char* FamilyName(BoxFamily family) {
  switch (family) {
    case BoxFamily::Satellite: return "dvbs";
    case BoxFamily::Cable: return "dvbc";
    case BoxFamily::Terrestrial: return "dvbt";
    case BoxFamily::Atsc: return "atsc";
  }
  return "?";
}

std::optional<BoxFamily> FamilyOfSystem(DeliverySystem system) {
  switch (system) {
    case DeliverySystem::DVBS:
    case DeliverySystem::DVBS2: return BoxFamily::Satellite;
    case DeliverySystem::DVBC_ANNEX_A: return BoxFamily::Cable;
    case DeliverySystem::DVBT:
    case DeliverySystem::DVBT2: return BoxFamily::Terrestrial;
    case DeliverySystem::ATSC:
    case DeliverySystem::DVBC_ANNEX_B: return BoxFamily::Atsc;
    case DeliverySystem::Other: break;
  }
  return std::nullopt;
}

std::optional<BoxFamily> ChooseFamily(const std::vector<DeliverySystem>& systems,
                                      std::optional<BoxFamily> wanted) {
  for (DeliverySystem system : systems) {
    std::optional<BoxFamily> family = FamilyOfSystem(system);
    if (family && (!wanted || *family == *wanted)) return family;
  }
  return std::nullopt;
}

BoxIdentity IdentityForFamily(BoxFamily family) {
  switch (family) {
    case BoxFamily::Satellite: return BoxIdentity{BoxKind::S, "", false};
    case BoxFamily::Terrestrial: return BoxIdentity{BoxKind::T, "", false};
    case BoxFamily::Cable: return BoxIdentity{BoxKind::Bus, "HVL-A6", true};
    case BoxFamily::Atsc: return BoxIdentity{BoxKind::Bus, "ZUMEFA", true};
  }
  return {};
}

size_t DvrBufferBytes(BoxFamily family, uint32_t symbolRateMax) {
  uint64_t bitsPerSecond = 0;
  switch (family) {
    case BoxFamily::Satellite:
      bitsPerSecond = uint64_t{symbolRateMax ? symbolRateMax : 45000000u} * 3;
      break;
    case BoxFamily::Cable:
      bitsPerSecond = uint64_t{symbolRateMax ? symbolRateMax : 7200000u} * 8;
      break;
    case BoxFamily::Terrestrial: bitsPerSecond = 50400000; break;
    case BoxFamily::Atsc: bitsPerSecond = 38800000; break;
  }
  uint64_t packets = (bitsPerSecond / 8 + kPacket - 1) / kPacket;
  return static_cast<size_t>(std::min<uint64_t>(packets * kPacket, kMaxDvrBufferBytes / kPacket * kPacket));
}

DvbBox::DvbBox(DvbDevice* device, BoxFamily family) : device_(device), family_(family) {}

DvbBox::~DvbBox() { StopStream(); }

bool DvbBox::Gone() const { return readerSawGone_.load() || device_->Vanished(); }

// A vanished adapter fails every request, as an unplugged box does.
RequestFate DvbBox::Screen(uint32_t) { return Gone() ? RequestFate::Fail : RequestFate::Serve; }

bool DvbBox::ApplyVoltage() {
  Voltage wanted = !supply_ ? Voltage::Off : horizontal_ ? Voltage::V18 : Voltage::V13;
  if (voltageKnown_ && wanted == voltage_) return true;
  voltage_ = wanted;
  voltageKnown_ = true;
  return device_->SetVoltage(wanted);
}

bool DvbBox::EnsureToneOff() {
  if (toneKnown_ && !toneOn_) return true;
  toneOn_ = false;
  toneKnown_ = true;
  return device_->SetTone(false);
}

bool DvbBox::LnbControl(ToneCommand tone, BurstCommand burst, bool supply) {
  if (family_ != BoxFamily::Satellite) return false;
  supply_ = supply;
  bool ok = ApplyVoltage();
  if (tone != ToneCommand::Unchanged) {
    toneOn_ = tone == ToneCommand::On;
    toneKnown_ = true;
    ok = device_->SetTone(toneOn_) && ok;
  }
  if (burst != BurstCommand::None) {
    ok = EnsureToneOff() && ok;
    ok = device_->SendBurst(burst == BurstCommand::DataBurst) && ok;
  }
  return ok;
}

bool DvbBox::Diseqc(const std::vector<uint8_t>& message) {
  if (family_ != BoxFamily::Satellite) return false;
  // The committed-switch byte carries the polarisation (bit 1) the LNB
  // behind the switch is about to get.
  if (message.size() >= 4 && message[2] == 0x38) horizontal_ = (message[3] & 0x02) != 0;
  bool ok = true;
  Voltage before = voltage_;
  bool wasKnown = voltageKnown_;
  if (!supply_) {
    // A message needs power on the cable; the next LNB command sets the
    // supply as the settings say.
    supply_ = true;
    ok = ApplyVoltage();
    supply_ = false;
  } else {
    ok = ApplyVoltage();
  }
  ok = EnsureToneOff() && ok;
  if (!wasKnown || before != voltage_) std::this_thread::sleep_for(kDiseqcSettle);
  return device_->SendDiseqc(message) && ok;
}

namespace {

// value * factor into a 32-bit tuning field; false when it does not fit (a
// 24-bit kHz or ksymbol/s field times 1000 can exceed it): such a request is
// refused rather than tuned somewhere else.
bool ScaledInto(uint32_t value, uint32_t factor, uint32_t* field) {
  const uint64_t scaled = static_cast<uint64_t>(value) * factor;
  if (scaled > UINT32_MAX) return false;
  *field = static_cast<uint32_t>(scaled);
  return true;
}

}  // namespace

bool DvbBox::TuneSatellite(const SatelliteTune& tune) {
  if (family_ != BoxFamily::Satellite) return false;
  horizontal_ = tune.horizontal;
  bool ok = ApplyVoltage();
  DvbTuning tuning;
  // The box's block names no modulation: a DVB-S2 frontend finds out itself.
  tuning.system = Supports(*device_, DeliverySystem::DVBS2) ? DeliverySystem::DVBS2 : DeliverySystem::DVBS;
  if (!ScaledInto(tune.ifMHz, 1000, &tuning.frequency) || !ScaledInto(tune.symbolRateK, 1000, &tuning.symbolRate))
    return false;  // frequency in kHz
  tuning.setModulation = tuning.system == DeliverySystem::DVBS2;
  tuning.inversion = tune.inversion ? Inversion::On : Inversion::Off;
  return device_->Tune(tuning) && ok;
}

bool DvbBox::TuneTerrestrial(const TerrestrialTune& tune) {
  DvbTuning tuning;
  if (!ScaledInto(tune.frequencyKHz, 1000, &tuning.frequency)) return false;
  if (family_ == BoxFamily::Atsc) {
    bool vsb = Supports(*device_, DeliverySystem::ATSC);
    tuning.system = vsb ? DeliverySystem::ATSC : DeliverySystem::DVBC_ANNEX_B;
    tuning.modulation = vsb ? Modulation::VSB_8 : Modulation::Auto;
    tuning.setModulation = true;
  } else if (family_ == BoxFamily::Terrestrial) {
    tuning.system = Supports(*device_, DeliverySystem::DVBT) ? DeliverySystem::DVBT : DeliverySystem::DVBT2;
    if (!ScaledInto(tune.bandwidthMHz, 1000000, &tuning.bandwidthHz)) return false;
  } else {
    return false;
  }
  return device_->Tune(tuning);
}

bool DvbBox::TuneCable(const CableTune& tune) {
  if (family_ != BoxFamily::Cable) return false;
  DvbTuning tuning;
  tuning.system = DeliverySystem::DVBC_ANNEX_A;
  if (!ScaledInto(tune.frequencyKHz, 1000, &tuning.frequency) || !ScaledInto(tune.symbolRateK, 1000, &tuning.symbolRate))
    return false;
  tuning.modulation = ModulationForQam(tune.qamOrder);
  tuning.setModulation = true;
  return device_->Tune(tuning);
}

bool DvbBox::Ready() {
  DvbStatistics statistics;
  return device_->ReadStatistics(&statistics) && statistics.locked;
}

SignalReading DvbBox::Signal() {
  DvbStatistics statistics;
  if (!device_->ReadStatistics(&statistics)) return SignalReading{0, 0, false};
  return SignalReading{StrengthPercent(statistics.strengthScale, statistics.strength),
                       QualityPercent(statistics.cnrScale, statistics.cnr), statistics.locked};
}

bool DvbBox::StartStream(StreamRing* ring) {
  StopStream();
  if (!device_->StartStream(pid_ ? pid_ : kWholeStreamPid,
                            DvrBufferBytes(family_, device_->Info().symbolRateMax))) {
    return false;
  }
  reading_.store(true);
  reader_ = std::thread([this, ring]() { ReadLoop(ring); });
  return true;
}

void DvbBox::StopStream() {
  if (!reader_.joinable()) return;
  reading_.store(false);
  reader_.join();
  device_->StopStream();
}

// Takes effect with the next stream start; the protocol restarts the stream
// when the filter comes, as the program sends it, right after the start.
bool DvbBox::SetPidFilter(uint16_t pid) {
  pid_ = pid;
  return true;
}

void DvbBox::ReadLoop(StreamRing* ring) {
  std::vector<uint8_t> buffer(kReadBytes);
  while (reading_.load()) {
    ReadResult result = device_->ReadStream(buffer.data(), buffer.size(), kReadTimeoutMs);
    switch (result.outcome) {
      case ReadOutcome::Data:
        ring->Append(buffer.data(), result.bytes);
        break;
      case ReadOutcome::Overflow: {
        uint64_t count = overruns_.fetch_add(1) + 1;
        std::fprintf(stderr,
                     "vantrel-dvbbridge: the DVR buffer overran, stream bytes were lost "
                     "(%llu overrun%s so far); the stream goes on\n",
                     static_cast<unsigned long long>(count), count == 1 ? "" : "s");
        break;
      }
      case ReadOutcome::Timeout:
        break;
      case ReadOutcome::Gone:
        readerSawGone_.store(true);
        std::fputs("vantrel-dvbbridge: the adapter has gone; every request fails from now on\n", stderr);
        return;
    }
  }
}
