// A transport stream arriving over the network: the socket of a udp:// or
// rtp:// address and the unpacking of its datagrams, with the network-side
// counts. Reads only when asked (from a poll loop), never blocks.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "netinput/net_address.h"
#include "netinput/ts_datagram.h"
#include "netinput/udp_socket.h"

class NetStreamInput {
public:
  using Clock = std::chrono::steady_clock;
  using Sink = std::function<void(const uint8_t* data, size_t size)>;

  static std::unique_ptr<NetStreamInput> Open(const NetAddress& address, std::string* error);

  int fd() const { return receiver_->fd(); }
  // Takes the datagrams waiting and passes their stream bytes to `sink`.
  // Returns the datagrams taken, -1 on a socket error (`error`).
  int Receive(const Sink& sink, std::string* error);

  const NetAddress& address() const { return address_; }
  const NetInputStats& stats() const { return unpacker_.stats(); }
  const UdpReceiver& receiver() const { return *receiver_; }
  // When the last datagram came; nothing before the first.
  bool received() const { return received_; }
  Clock::time_point lastDatagram() const { return lastDatagram_; }

private:
  NetStreamInput(NetAddress address, std::unique_ptr<UdpReceiver> receiver)
      : address_(std::move(address)), receiver_(std::move(receiver)), unpacker_(address_.protocol) {}

  NetAddress address_;
  std::unique_ptr<UdpReceiver> receiver_;
  TsDatagramUnpacker unpacker_;
  bool received_ = false;
  Clock::time_point lastDatagram_{};
};

// The packet size (188 or 204) of the bytes at the start of a stream, and
// where its first packet starts: the first offset with four sync bytes in a
// row at that size. 0 when `size` bytes do not show it yet.
int FindPacketGrid(const uint8_t* data, size_t size, size_t* firstPacket);
