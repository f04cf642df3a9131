// One simulated tuner box: answers the requests its driver would answer, keeps
// its tuning, lock and LNB state, and plays the stream into its ring.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "sim/boxsim_options.h"
#include "sim/box_signal.h"

// The device interfaces a box publishes; each has its own socket and journal name.
enum class BoxInterface { T, A, S, Bus, BusStream };

const char* JournalName(BoxInterface interface);

struct BoxReply {
  bool answer = true;      // false: the request is never answered
  bool success = false;
  std::vector<uint8_t> out;
  bool passRing = false;   // hand the ring's memory over with the reply
};

class TunerBox {
public:
  // `source` must outlive the box; `index` tells boxes of one process apart.
  TunerBox(BoxKind kind, const BoxSimOptions& options, const std::vector<uint8_t>& source,
           unsigned index);
  ~TunerBox();
  TunerBox(const TunerBox&) = delete;
  TunerBox& operator=(const TunerBox&) = delete;

  // Creates the ring's shared memory; false with *error on failure.
  bool CreateRing(std::string* error);
  int RingFd() const { return ringFd_; }
  size_t RingSize() const { return ringSize_; }

  BoxKind kind() const { return kind_; }
  std::vector<BoxInterface> Interfaces() const;
  // Model number the program will see for this box.
  int ModelNumber() const;

  // Answers one request. Messages about what it tuned go to stderr.
  BoxReply Handle(BoxInterface interface, uint32_t code, const uint8_t* in, uint32_t inSize,
                  uint32_t outSize);

  // Writes the stream bytes due by now into the ring; called every few
  // milliseconds by the writer thread.
  void StreamTick();

private:
  using Clock = int64_t;  // nanoseconds on the steady clock
  static Clock Now();

  bool Ready(Clock now) const;
  bool Unplugged(Clock now) const;
  bool Stalled(Clock now) const;
  SignalReading CurrentSignal(Clock now) const;
  bool IsSatellite() const;
  bool UsesLongFrame() const;
  uint32_t TuneOutputSize() const;
  uint32_t PollInputSize() const;

  BoxReply HandleDirect(BoxInterface interface, uint32_t code, const uint8_t* in, uint32_t inSize,
                        uint32_t outSize, Clock now);
  BoxReply HandleBus(uint32_t code, const uint8_t* in, uint32_t inSize, uint32_t outSize,
                     Clock now);
  BoxReply HandleBusStream(uint32_t code, uint32_t inSize, uint32_t outSize, Clock now);
  BoxReply FramedCommand(const uint8_t* frame, uint32_t outSize);
  BoxReply RingAddress();
  BoxReply WritePosition();
  void StartStream(Clock now);
  void StopStream();
  bool SizesAre(const char* name, uint32_t code, uint32_t inSize, uint32_t outSize,
                uint32_t wantIn, uint32_t wantOut);
  bool CheckPlainFrame(const uint8_t* frame, uint8_t lead);
  void TuneTerrestrialOrCable(const uint8_t* frame, bool cable, Clock now);
  void TuneSatelliteBlock(const uint8_t* block, Clock now);
  void TuneSatellite(uint32_t ifMHz, uint32_t symbolRateK, bool horizontal, bool inversion,
                     Clock now);

  const BoxKind kind_;
  const BoxSimOptions& options_;
  const std::vector<uint8_t>& source_;
  const unsigned index_;
  char modelCode_[6];

  int ringFd_ = -1;
  uint8_t* ring_ = nullptr;
  size_t ringSize_ = 0;
  uint32_t ringToken_ = 0;

  mutable std::mutex mutex_;  // everything below; the writer holds it while it writes
  Clock tunedAt_ = -1;
  bool tunedChannelListed_ = false;
  bool streaming_ = false;
  Clock firstStreamStart_ = -1;
  uint32_t writeOffset_ = 0;
  size_t sourcePosition_ = 0;
  Clock flowingSince_ = -1;   // stream flowing without a break since then
  uint64_t flowingBytes_ = 0;
  bool haveLongFrame_ = false;
  uint8_t longFrame_[11] = {};
  // LNB commands last received.
  int tone_ = -1;       // 0 off, 1 on, -1 none yet
  int burst_ = -1;      // 0 tone burst, 1 data burst, -1 none
  int supply_ = -1;
  int diseqcData_ = -1;
};
