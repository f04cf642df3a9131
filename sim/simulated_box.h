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
#include "sim/sim_network.h"

class SimulatedBox : public BoxBackend {
public:
  // `options`, `source` and `network` must outlive the box. With a network
  // each tune chooses the transponder (and its stream) the box plays.
  SimulatedBox(BoxKind kind, const BoxSimOptions& options, const std::vector<uint8_t>& source,
               const SimNetwork* network = nullptr);

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
  // Network: the transponder a tune reaches, or nullptr.
  const SimTransponder* FindTransponder(uint32_t frequency, uint32_t alternative,
                                        const SimTransponder& tuned) const;
  void TunedInNetwork(const SimTransponder* found, const char* text);
  void Play(uint64_t count);

  const BoxKind kind_;
  const BoxSimOptions& options_;
  const std::vector<uint8_t>* source_;
  const SimNetwork* network_;
  const SimTransponder* transponder_ = nullptr;  // network: the one tuned

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
