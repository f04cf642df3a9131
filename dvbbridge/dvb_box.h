// A Linux DVB adapter as a tuner box: the box family that fits the
// frontend's delivery systems, the box protocol's tune, LNB and DiSEqC
// requests as DVB calls, the frontend's statistics as the box's signal
// reply, and a reader thread that copies the DVR device into the box's ring.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "boxserver/box_backend.h"
#include "boxserver/box_protocol.h"
#include "dvbbridge/dvb_device.h"

// The box family presented, each as a model the device layer knows:
// satellite the S-path box (model 20), terrestrial the T-path box (46),
// cable the bus box HVL-A6 (6), ATSC the bus box ZUMEFA (15).
enum class BoxFamily { Satellite, Cable, Terrestrial, Atsc };

// "dvbs", "dvbc", "dvbt", "atsc" (the names of --system and --dry-run).
std::optional<BoxFamily> ParseFamilyName(const std::string& name);
const char* FamilyName(BoxFamily family);
// The family a delivery system belongs to (none for Other).
std::optional<BoxFamily> FamilyOfSystem(DeliverySystem system);
// The family of the first of the frontend's systems that has one; `wanted`
// when given and served by the frontend. None: the frontend serves no family
// (or not the wanted one).
std::optional<BoxFamily> ChooseFamily(const std::vector<DeliverySystem>& systems,
                                      std::optional<BoxFamily> wanted);
BoxIdentity IdentityForFamily(BoxFamily family);
// The DVR buffer: one second of the family's highest rate (satellite from
// the frontend's highest symbol rate at 3 bits per symbol, cable at 8 bits
// per symbol, terrestrial 50.4 Mbit/s, ATSC 38.8 Mbit/s), in whole packets.
size_t DvrBufferBytes(BoxFamily family, uint32_t symbolRateMax);

class DvbBox : public BoxBackend {
public:
  // `device` must outlive the box.
  DvbBox(DvbDevice* device, BoxFamily family);
  ~DvbBox() override;
  DvbBox(const DvbBox&) = delete;
  DvbBox& operator=(const DvbBox&) = delete;

  RequestFate Screen(uint32_t code) override;
  bool TuneSatellite(const SatelliteTune& tune) override;
  bool TuneTerrestrial(const TerrestrialTune& tune) override;
  bool TuneCable(const CableTune& tune) override;
  bool Ready() override;
  SignalReading Signal() override;
  bool LnbControl(ToneCommand tone, BurstCommand burst, bool supply) override;
  bool Diseqc(const std::vector<uint8_t>& message) override;
  bool StartStream(StreamRing* ring) override;
  void StopStream() override;
  bool SetPidFilter(uint16_t pid) override;

  // Kernel buffer overruns seen by the reader (bytes lost, stream went on).
  uint64_t Overruns() const { return overruns_.load(); }
  // The adapter has vanished: every request fails from now on.
  bool Gone() const;

private:
  bool ApplyVoltage();
  bool EnsureToneOff();
  void ReadLoop(StreamRing* ring);

  DvbDevice* const device_;
  const BoxFamily family_;
  // Satellite equipment as last set: the voltage follows the supply and the
  // polarisation last known (from the DiSEqC byte or the tune).
  bool supply_ = false;
  bool horizontal_ = false;
  Voltage voltage_ = Voltage::Off;
  bool voltageKnown_ = false;
  bool toneOn_ = false;
  bool toneKnown_ = false;
  uint16_t pid_ = 0;  // 0: the whole stream

  std::thread reader_;
  std::atomic<bool> reading_{false};
  std::atomic<bool> readerSawGone_{false};
  std::atomic<uint64_t> overruns_{0};
};
