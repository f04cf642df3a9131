// Puts RTP datagrams that arrive out of order back in sequence before their
// packets reach the engine (RFC 3550 sequence numbers, wrap at 65535).
//
// A gap in the sequence is waited for, but only so long: at most
// kReorderHeldDatagrams later datagrams are held, and none longer than
// kReorderHoldS after it arrived. Then the gap is given up (its datagrams
// count as lost) and the held ones go on. A datagram that fills a gap in time
// counts as reordered, not lost; one that comes after its gap was given up
// is late and dropped (its packets cannot be put back into what the engine
// has already seen), as is a duplicate.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

struct NetInputStats;

// 16 datagrams of 7 packets: about 9 ms at 20 Mbit/s.
constexpr size_t kReorderHeldDatagrams = 16;
constexpr double kReorderHoldS = 0.020;

class RtpReorderBuffer {
public:
  using Sink = std::function<void(const uint8_t* data, size_t size)>;

  // Counts go to `stats` (rtpLost, rtpReordered, rtpLate, rtpDuplicates, rtpRestarts).
  explicit RtpReorderBuffer(NetInputStats* stats) : stats_(stats) {}

  // One datagram's payload with its sequence number, arrived at `arrivalS`
  // (any clock, seconds, the same for Release). Passes to `sink` every
  // payload now due, in sequence order. Returns false for a datagram
  // dropped as late or duplicate.
  bool Take(uint16_t sequence, const uint8_t* payload, size_t size, double arrivalS, const Sink& sink);
  // Gives up the gaps that have been waited for long enough at `nowS`.
  void Release(double nowS, const Sink& sink);
  // Gives up every gap: all held payloads go on (at the end of an input).
  void ReleaseAll(const Sink& sink);
  // When the wait for the current gap ends; nothing while none is held.
  std::optional<double> HoldEnds() const;
  size_t held() const { return held_.size(); }

private:
  struct Held {
    uint16_t sequence = 0;
    double arrivalS = 0;
    std::vector<uint8_t> bytes;
  };
  void Pass(uint16_t sequence, const uint8_t* data, size_t size, const Sink& sink);
  void PassHeldInOrder(const Sink& sink);
  void GiveUpGap(const Sink& sink);

  NetInputStats* stats_;
  bool started_ = false;
  uint16_t next_ = 0;     // the sequence number the engine needs next
  uint16_t highest_ = 0;  // the highest sequence number seen
  std::vector<Held> held_;  // ahead of next_, in sequence order
  std::vector<std::vector<uint8_t>> spare_;  // buffers to reuse
  // The sequence numbers of the last 128 places passed: which were delivered
  // (duplicate when seen again) and which given up (late when seen now).
  std::array<uint32_t, 128> passed_{};
};
