#include "netinput/net_stream_input.h"

#include <algorithm>

namespace {
double SystemSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}
// Taken in one call at most: keeps one busy input from starving the others of a poll loop.
constexpr int kMaxDatagramsPerReceive = 512;
}  // namespace

std::unique_ptr<NetStreamInput> NetStreamInput::Open(const NetAddress& address, std::string* error) {
  auto receiver = UdpReceiver::Open(address, error);
  if (!receiver) return nullptr;
  return std::unique_ptr<NetStreamInput>(new NetStreamInput(address, std::move(receiver)));
}

int NetStreamInput::Receive(const Sink& sink, std::string* error) {
  const Clock::time_point now = Clock::now();
  const int got = receiver_->ReceiveWaiting(
      [&](const uint8_t* data, size_t size, double arrivalS) { unpacker_.Take(data, size, arrivalS, sink); },
      kMaxDatagramsPerReceive, error);
  // Arrival times are on the system clock (the kernel's receive stamps).
  unpacker_.Release(SystemSeconds(), sink);
  if (got > 0) {
    received_ = true;
    lastDatagram_ = now;
  }
  return got;
}

int NetStreamInput::HoldWaitMs() const {
  const std::optional<double> ends = unpacker_.HoldEnds();
  if (!ends) return -1;
  return static_cast<int>(std::clamp((*ends - SystemSeconds()) * 1000.0 + 1.0, 0.0, 1000.0));
}

int FindPacketGrid(const uint8_t* data, size_t size, size_t* firstPacket) {
  constexpr size_t kSyncRun = 4;
  for (size_t offset = 0; offset < 204; ++offset)
    for (size_t packet : {size_t{188}, size_t{204}}) {
      if (offset + (kSyncRun - 1) * packet >= size) continue;
      bool run = true;
      for (size_t i = 0; i < kSyncRun && run; ++i) run = data[offset + i * packet] == 0x47;
      if (run) {
        *firstPacket = offset;
        return static_cast<int>(packet);
      }
    }
  return 0;
}
