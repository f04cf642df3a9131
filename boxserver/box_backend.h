// What a tuner box does behind its request protocol. The protocol side
// (BoxProtocol) checks and decodes every request of the driver interface and
// calls one of these operations with plain values; a backend makes them
// happen: the simulator plays a box, the DVB bridge drives a Linux adapter.
#pragma once

#include <cstdint>
#include <vector>

class StreamRing;

struct SignalReading {
  int strength;  // percent
  int quality;   // percent
  bool locked;
};

// A satellite tune as the box receives it: the intermediate frequency the
// program chose with its LNB oscillator, not the transponder frequency.
struct SatelliteTune {
  uint32_t ifMHz;
  uint32_t symbolRateK;  // ksymbol/s
  bool horizontal;
  bool inversion;
};

struct TerrestrialTune {
  uint32_t frequencyKHz;
  uint32_t bandwidthMHz;
};

struct CableTune {
  uint32_t frequencyKHz;
  uint32_t symbolRateK;
  uint32_t qamOrder;  // 16 .. 256
};

// The tone/burst/supply command of a satellite box.
enum class ToneCommand { Off, On, Unchanged };  // Unchanged: a burst is sent instead
enum class BurstCommand { None, ToneBurst, DataBurst };

// What becomes of a request before the box looks at it.
enum class RequestFate { Serve, Fail, NeverAnswer };

class BoxBackend {
public:
  virtual ~BoxBackend() = default;

  // Called for every request before it is decoded.
  virtual RequestFate Screen(uint32_t code) = 0;

  // Tunes; false when the box refused or could not tune.
  virtual bool TuneSatellite(const SatelliteTune& tune) = 0;
  virtual bool TuneTerrestrial(const TerrestrialTune& tune) = 0;
  virtual bool TuneCable(const CableTune& tune) = 0;
  // The bus kind's ready poll: locked on the channel last tuned.
  virtual bool Ready() = 0;
  virtual SignalReading Signal() = 0;

  virtual bool LnbControl(ToneCommand tone, BurstCommand burst, bool supply) = 0;
  // A DiSEqC message as it goes on the cable (framing, address, command, data...).
  virtual bool Diseqc(const std::vector<uint8_t>& message) = 0;

  // The stream into `ring`, which the protocol has just emptied; bytes go in
  // with StreamRing::Append from any one thread until StopStream returns.
  virtual bool StartStream(StreamRing* ring) = 0;
  virtual void StopStream() = 0;
  // The box's PID filter (boxes that have one): 0 passes every packet.
  virtual bool SetPidFilter(uint16_t pid) = 0;
};
