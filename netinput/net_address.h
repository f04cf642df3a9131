// Network stream addresses as users write them:
//   udp://[SOURCE@]GROUP:PORT[?iface=NAME|ADDRESS&timeout=S&ttl=N]
//   rtp://...  (the same, each datagram carrying an RTP header)
// GROUP is a multicast group, a unicast address of this machine (receiving)
// or of the receiver (sending), or empty for every local address
// ("udp://:5000", "udp://@:5000"). IPv6 addresses go in brackets:
// "rtp://[2001:db8::1]@[ff3e::1234]:5000". SOURCE asks for source-specific
// multicast (or, with a unicast GROUP, takes datagrams from that sender only).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

enum class NetProtocol { Udp, Rtp };

struct NetAddress {
  NetProtocol protocol = NetProtocol::Udp;
  std::string source;       // empty: any sender
  std::string group;        // empty: any local address (receiving only)
  uint16_t port = 0;
  std::string iface;        // interface name or one of its addresses; empty: the system's choice
  double timeoutS = 5.0;    // no datagram this long: the input is silent
  int ttl = 16;             // hops of multicast datagrams sent
};

// Whether `text` is meant as a network address (starts with udp:// or rtp://).
bool IsNetAddress(const std::string& text);

// Parses `text`; on failure returns nothing and says why in `error`.
std::optional<NetAddress> ParseNetAddress(const std::string& text, std::string* error);

// The address written back in the form ParseNetAddress reads (without the
// options that have their default values).
std::string FormatNetAddress(const NetAddress& address);
