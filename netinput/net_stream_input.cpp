#include "netinput/net_stream_input.h"

namespace {
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
      [&](const uint8_t* data, size_t size, double arrivalS) {
        size_t offset = 0;
        const size_t length = unpacker_.Unpack(data, size, arrivalS, &offset);
        if (length > 0) sink(data + offset, length);
      },
      kMaxDatagramsPerReceive, error);
  if (got > 0) {
    received_ = true;
    lastDatagram_ = now;
  }
  return got;
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
