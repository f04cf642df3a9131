// The simulated box behind the request protocol: tuning and lock timing, the
// signal it reports, the LNB commands last received, the faults asked for on
// the command line, and the stream file played into the ring at the bitrate
// through the box's PID filter.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "boxserver/box_backend.h"
#include "sim/boxsim_options.h"

class SimulatedBox : public BoxBackend {
public:
  // `options` and `source` must outlive the box.
  SimulatedBox(BoxKind kind, const BoxSimOptions& options, const std::vector<uint8_t>& source);

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

  // Writes the stream bytes due by now into the ring; called every few
  // milliseconds by the writer thread.
  void StreamTick();

private:
  using Clock = int64_t;  // nanoseconds on the steady clock
  static Clock Now();
  bool IsReady(Clock now) const;
  bool Unplugged(Clock now) const;
  bool Stalled(Clock now) const;
  void Tuned(bool listed, const char* text);
  void Play(uint64_t count);

  const BoxKind kind_;
  const BoxSimOptions& options_;
  const std::vector<uint8_t>& source_;

  mutable std::mutex mutex_;  // everything below; the writer holds it while it writes
  Clock tunedAt_ = -1;
  bool tunedChannelListed_ = false;
  StreamRing* ring_ = nullptr;  // while streaming
  Clock firstStreamStart_ = -1;
  size_t sourcePosition_ = 0;
  Clock flowingSince_ = -1;   // stream flowing without a break since then
  uint64_t flowingBytes_ = 0;
  uint16_t pidFilter_ = 0;    // 0: every packet
  std::vector<uint8_t> filtered_;
  // LNB commands last received.
  int tone_ = -1;       // 0 off, 1 on, -1 none yet
  int burst_ = -1;      // 0 tone burst, 1 data burst, -1 none
  int supply_ = -1;
  int diseqcData_ = -1;
};
