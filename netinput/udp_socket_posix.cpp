#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "netinput/udp_socket.h"

namespace {

constexpr int kBatchDatagrams = 64;
constexpr int kSendWaitMs = 100;
constexpr int kSendAttempts = 50;

std::string ErrnoText(int error) { return std::strerror(error); }

struct Resolved {
  sockaddr_storage address{};
  socklen_t length = 0;
  int family() const { return address.ss_family; }
};

bool Resolve(const std::string& host, uint16_t port, int family, Resolved* out, std::string* error) {
  addrinfo hints{};
  hints.ai_family = family;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_flags = AI_NUMERICSERV | (host.empty() ? AI_PASSIVE : 0);
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  const int status = ::getaddrinfo(host.empty() ? nullptr : host.c_str(), service.c_str(), &hints, &found);
  if (status != 0 || found == nullptr) {
    *error = "cannot resolve \"" + host + "\": " + ::gai_strerror(status);
    return false;
  }
  std::memcpy(&out->address, found->ai_addr, found->ai_addrlen);
  out->length = found->ai_addrlen;
  ::freeaddrinfo(found);
  return true;
}

bool IsMulticast(const Resolved& address) {
  if (address.family() == AF_INET)
    return IN_MULTICAST(ntohl(reinterpret_cast<const sockaddr_in&>(address.address).sin_addr.s_addr));
  return IN6_IS_ADDR_MULTICAST(&reinterpret_cast<const sockaddr_in6&>(address.address).sin6_addr);
}

// The bytes of the host part of an address, to compare senders.
std::string AddressKey(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(address).sin_addr;
    return std::string(reinterpret_cast<const char*>(&v4), sizeof v4);
  }
  const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address).sin6_addr;
  return std::string(reinterpret_cast<const char*>(&v6), sizeof v6);
}

// An interface given by name or by one of its addresses; 0 for none given.
bool InterfaceIndex(const std::string& iface, unsigned* index, std::string* error) {
  *index = 0;
  if (iface.empty()) return true;
  if ((*index = ::if_nametoindex(iface.c_str())) != 0) return true;
  Resolved wanted;
  std::string ignored;
  if (Resolve(iface, 0, AF_UNSPEC, &wanted, &ignored)) {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) == 0) {
      for (ifaddrs* each = list; each != nullptr && *index == 0; each = each->ifa_next) {
        if (each->ifa_addr == nullptr || each->ifa_addr->sa_family != wanted.family()) continue;
        sockaddr_storage candidate{};
        std::memcpy(&candidate, each->ifa_addr,
                    each->ifa_addr->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
        if (AddressKey(candidate) == AddressKey(wanted.address)) *index = ::if_nametoindex(each->ifa_name);
      }
      ::freeifaddrs(list);
    }
  }
  if (*index == 0) *error = "no network interface \"" + iface + "\" (give a name such as eth0, or one of its addresses)";
  return *index != 0;
}

// A family both ends must share: the group's when given, else the source's.
int FamilyHint(const NetAddress& address) {
  const std::string& decider = !address.group.empty() ? address.group : address.source;
  return decider.find(':') != std::string::npos ? AF_INET6 : AF_INET;
}

}  // namespace

struct UdpReceiver::Batch {
  std::vector<uint8_t> buffers = std::vector<uint8_t>(size_t{kBatchDatagrams} * kUdpMaxDatagramBytes);
  mmsghdr messages[kBatchDatagrams]{};
  iovec vectors[kBatchDatagrams]{};
  sockaddr_storage senders[kBatchDatagrams]{};
  // Room for the receive time of each datagram (SO_TIMESTAMPNS).
  alignas(cmsghdr) uint8_t controls[kBatchDatagrams][CMSG_SPACE(sizeof(timespec))]{};

  void Reset() {
    for (int i = 0; i < kBatchDatagrams; ++i) {
      vectors[i] = {buffers.data() + size_t(i) * kUdpMaxDatagramBytes, kUdpMaxDatagramBytes};
      messages[i].msg_hdr = {};
      messages[i].msg_hdr.msg_iov = &vectors[i];
      messages[i].msg_hdr.msg_iovlen = 1;
      messages[i].msg_hdr.msg_name = &senders[i];
      messages[i].msg_hdr.msg_namelen = sizeof senders[i];
      messages[i].msg_hdr.msg_control = controls[i];
      messages[i].msg_hdr.msg_controllen = sizeof controls[i];
      messages[i].msg_len = 0;
    }
  }
};

std::unique_ptr<UdpReceiver> UdpReceiver::Open(const NetAddress& address, std::string* error) {
  const int family = FamilyHint(address);
  Resolved group, source;
  if (!Resolve(address.group, address.port, family, &group, error)) return nullptr;
  if (!address.source.empty() && !Resolve(address.source, 0, family, &source, error)) return nullptr;
  unsigned ifindex = 0;
  if (!InterfaceIndex(address.iface, &ifindex, error)) return nullptr;
  const bool multicast = !address.group.empty() && IsMulticast(group);

  std::unique_ptr<UdpReceiver> receiver(new UdpReceiver());
  receiver->fd_ = ::socket(group.family(), SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_UDP);
  const int fd = receiver->fd_;
  if (fd < 0) {
    *error = "cannot open a UDP socket: " + ErrnoText(errno);
    return nullptr;
  }
  const int on = 1, off = 0;
  // Several programs may listen to one group (a monitor and an analysis side by side).
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  // The kernel's receive time of each datagram: the jitter is not that of a reader taking them in batches.
  ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
  // A stream arrives in bursts: room for about 6 s at 20 Mbit/s, far more than a scheduling hiccup.
  const int wanted = kUdpReceiveBufferBytes;
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &wanted, sizeof wanted) != 0)
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &wanted, sizeof wanted);
  socklen_t optionLength = sizeof receiver->receiveBuffer_;
  ::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiver->receiveBuffer_, &optionLength);

  Resolved bindTo = group;
  if (group.family() == AF_INET6) {
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    // Scoped groups and link-local addresses need the interface; the group filter is the join itself.
    if (multicast) {
      auto& v6 = reinterpret_cast<sockaddr_in6&>(bindTo.address);
      v6.sin6_addr = in6addr_any;
    }
  } else if (multicast) {
    // Only the groups this socket joined, not every group any socket joined.
    ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off);
  }
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&bindTo.address), bindTo.length) != 0) {
    *error = "cannot listen on " + FormatNetAddress(address) + ": " + ErrnoText(errno);
    return nullptr;
  }
  if (multicast) {
    const int level = group.family() == AF_INET ? IPPROTO_IP : IPPROTO_IPV6;
    int status = 0;
    if (address.source.empty()) {
      group_req request{};
      request.gr_interface = ifindex;
      std::memcpy(&request.gr_group, &group.address, group.length);
      status = ::setsockopt(fd, level, MCAST_JOIN_GROUP, &request, sizeof request);
    } else {
      group_source_req request{};
      request.gsr_interface = ifindex;
      std::memcpy(&request.gsr_group, &group.address, group.length);
      std::memcpy(&request.gsr_source, &source.address, source.length);
      status = ::setsockopt(fd, level, MCAST_JOIN_SOURCE_GROUP, &request, sizeof request);
    }
    if (status != 0) {
      const int cause = errno;
      *error = "cannot join the multicast group " + address.group + ": " + ErrnoText(cause) +
               (cause == ENODEV && address.iface.empty() ? " (name the interface with ?iface=NAME)" : "");
      return nullptr;
    }
  } else if (!address.source.empty()) {
    receiver->filterSource_ = true;
    receiver->sourceKey_ = AddressKey(source.address);
  }
  receiver->batch_ = std::make_unique<Batch>();
  return receiver;
}

UdpReceiver::~UdpReceiver() {
  if (fd_ >= 0) ::close(fd_);
}

uint16_t UdpReceiver::localPort() const {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.ss_family == AF_INET ? reinterpret_cast<sockaddr_in&>(address).sin_port
                                            : reinterpret_cast<sockaddr_in6&>(address).sin6_port);
}

int UdpReceiver::ReceiveWaiting(const Sink& sink, int maxDatagrams, std::string* error) {
  int total = 0;
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  const double nowS = static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
  while (total < maxDatagrams) {
    batch_->Reset();
    const int want = std::min(kBatchDatagrams, maxDatagrams - total);
    const int got = ::recvmmsg(fd_, batch_->messages, static_cast<unsigned>(want), MSG_DONTWAIT, nullptr);
    if (got < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      // An ICMP error from an earlier datagram: not this socket's fault.
      if (errno == ECONNREFUSED) continue;
      *error = ErrnoText(errno);
      return -1;
    }
    for (int i = 0; i < got; ++i) {
      const msghdr& header = batch_->messages[i].msg_hdr;
      if (filterSource_ && AddressKey(batch_->senders[i]) != sourceKey_) {
        ++foreign_;
        continue;
      }
      if ((header.msg_flags & MSG_TRUNC) != 0) ++truncated_;
      double arrivalS = nowS;
      for (cmsghdr* control = CMSG_FIRSTHDR(&header); control != nullptr;
           control = CMSG_NXTHDR(const_cast<msghdr*>(&header), control))
        if (control->cmsg_level == SOL_SOCKET && control->cmsg_type == SCM_TIMESTAMPNS) {
          timespec at{};
          std::memcpy(&at, CMSG_DATA(control), sizeof at);
          arrivalS = static_cast<double>(at.tv_sec) + static_cast<double>(at.tv_nsec) / 1e9;
        }
      sink(static_cast<const uint8_t*>(batch_->vectors[i].iov_base), batch_->messages[i].msg_len, arrivalS);
    }
    total += got;
    if (got < want) break;
  }
  return total;
}

std::unique_ptr<UdpSender> UdpSender::Open(const NetAddress& address, std::string* error) {
  if (address.group.empty()) {
    *error = "give the address to send to (" + FormatNetAddress(address) + " names none)";
    return nullptr;
  }
  const int family = FamilyHint(address);
  std::unique_ptr<UdpSender> sender(new UdpSender());
  Resolved destination;
  if (!Resolve(address.group, address.port, family, &destination, error)) return nullptr;
  unsigned ifindex = 0;
  if (!InterfaceIndex(address.iface, &ifindex, error)) return nullptr;
  sender->fd_ = ::socket(destination.family(), SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_UDP);
  const int fd = sender->fd_;
  if (fd < 0) {
    *error = "cannot open a UDP socket: " + ErrnoText(errno);
    return nullptr;
  }
  if (!address.source.empty()) {
    // Sending from SOURCE: what a source-specific receiver expects.
    Resolved source;
    if (!Resolve(address.source, 0, family, &source, error)) return nullptr;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&source.address), source.length) != 0) {
      *error = "cannot send from " + address.source + ": " + ErrnoText(errno);
      return nullptr;
    }
  }
  if (IsMulticast(destination)) {
    const int hops = address.ttl;
    if (destination.family() == AF_INET) {
      ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &hops, sizeof hops);
      if (ifindex != 0) {
        ip_mreqn request{};
        request.imr_ifindex = static_cast<int>(ifindex);
        ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &request, sizeof request);
      }
    } else {
      ::setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &hops, sizeof hops);
      if (ifindex != 0) ::setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_IF, &ifindex, sizeof ifindex);
    }
  }
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&destination.address), destination.length) != 0) {
    *error = "cannot send to " + FormatNetAddress(address) + ": " + ErrnoText(errno);
    return nullptr;
  }
  return sender;
}

UdpSender::~UdpSender() {
  if (fd_ >= 0) ::close(fd_);
}

bool UdpSender::Send(const uint8_t* data, size_t size, std::string* error) {
  for (int attempt = 0; attempt < kSendAttempts; ++attempt) {
    const ssize_t sent = ::send(fd_, data, size, 0);
    if (sent == static_cast<ssize_t>(size)) return true;
    if (sent < 0 && errno == EINTR) continue;
    // Nobody listens yet (an ICMP port unreachable for an earlier datagram): keep sending.
    if (sent < 0 && errno == ECONNREFUSED) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS)) {
      pollfd wait{fd_, POLLOUT, 0};
      ::poll(&wait, 1, kSendWaitMs);
      continue;
    }
    *error = sent < 0 ? ErrnoText(errno) : "the datagram was cut short";
    return false;
  }
  *error = "the network takes no more datagrams";
  return false;
}
