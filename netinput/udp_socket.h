// UDP sockets for stream input and output: opening (address resolution,
// unicast or multicast, IGMP/MLD join, source-specific joins, interface
// choice, a large receive buffer) and batched receiving. The POSIX
// implementation is udp_socket_posix.cpp; nothing else here knows sockets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "netinput/net_address.h"

// What the receiver asks of the kernel; it may grant less (see receiveBufferBytes).
constexpr int kUdpReceiveBufferBytes = 16 * 1024 * 1024;
// Largest datagram taken whole; longer ones are cut and counted.
constexpr size_t kUdpMaxDatagramBytes = 9000;

class UdpReceiver {
public:
  // Opens and binds the socket, joins the group when it is a multicast one.
  // Null on failure, with the reason in `error`.
  static std::unique_ptr<UdpReceiver> Open(const NetAddress& address, std::string* error);
  ~UdpReceiver();
  UdpReceiver(const UdpReceiver&) = delete;
  UdpReceiver& operator=(const UdpReceiver&) = delete;

  // For poll(): readable when datagrams wait.
  int fd() const { return fd_; }
  // Takes every datagram waiting (up to `maxDatagrams`) without blocking and
  // passes each to `sink` with the time the kernel received it (seconds on
  // the system clock; the time of the call where the kernel gives none).
  // Returns how many, or -1 on a socket error (`error`).
  using Sink = std::function<void(const uint8_t* data, size_t size, double arrivalS)>;
  int ReceiveWaiting(const Sink& sink, int maxDatagrams, std::string* error);
  // The receive buffer the kernel granted, bytes.
  int receiveBufferBytes() const { return receiveBuffer_; }
  // Datagrams longer than kUdpMaxDatagramBytes (cut), and datagrams from a
  // sender other than the unicast SOURCE asked for (dropped).
  uint64_t truncated() const { return truncated_; }
  uint64_t foreign() const { return foreign_; }
  // The local port (useful after binding port 0 in tests).
  uint16_t localPort() const;

private:
  struct Batch;
  UdpReceiver() = default;

  int fd_ = -1;
  int receiveBuffer_ = 0;
  uint64_t truncated_ = 0;
  uint64_t foreign_ = 0;
  bool filterSource_ = false;
  std::string sourceKey_;  // the sender's address bytes, when filtering
  std::unique_ptr<Batch> batch_;
};

class UdpSender {
public:
  // Resolves the destination and opens the socket (multicast TTL, outgoing
  // interface). Null on failure, with the reason in `error`.
  static std::unique_ptr<UdpSender> Open(const NetAddress& address, std::string* error);
  ~UdpSender();
  UdpSender(const UdpSender&) = delete;
  UdpSender& operator=(const UdpSender&) = delete;

  // Sends one datagram; false on an error other than a full send buffer
  // (which is retried once the socket can take it).
  bool Send(const uint8_t* data, size_t size, std::string* error);

private:
  UdpSender() = default;
  int fd_ = -1;
};
