#include "boxserver/device_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "boxserver/journal.h"
#include "platform/device_wire.h"

namespace {

// Clients beyond this are turned away; a program opens at most two handles.
constexpr size_t kMaxClients = 64;

bool MakeAddress(const std::string& path, sockaddr_un* address) {
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  if (path.size() >= sizeof address->sun_path) return false;
  std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return true;
}

}  // namespace

DeviceServer::DeviceServer(std::string directory, int journalFd)
    : directory_(std::move(directory)), journalFd_(journalFd),
      buffer_(sizeof(DeviceRequestHeader) + kMaxDeviceIoBytes + 1) {}

DeviceServer::~DeviceServer() {
  RemoveSockets();
  for (const Client& client : clients_) close(client.fd);
  for (const Listener& listener : listeners_) close(listener.fd);
}

bool DeviceServer::Add(const std::string& socketName, BoxInterface interface, BoxProtocol* box,
                       std::string* error) {
  Listener listener{-1, directory_ + "/.new-" + std::to_string(listeners_.size()),
                    directory_ + "/" + socketName, false, interface, box};
  sockaddr_un address;
  if (!MakeAddress(listener.path, &address) || !MakeAddress(listener.temporaryPath, &address)) {
    *error = "socket path too long: " + listener.path;
    return false;
  }
  listener.fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listener.fd < 0) {
    *error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  unlink(listener.temporaryPath.c_str());
  if (bind(listener.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener.fd, 16) != 0) {
    *error = listener.temporaryPath + ": " + std::strerror(errno);
    close(listener.fd);
    unlink(listener.temporaryPath.c_str());
    return false;
  }
  listeners_.push_back(listener);
  return true;
}

bool DeviceServer::Publish(std::string* error) {
  for (Listener& listener : listeners_) {
    if (rename(listener.temporaryPath.c_str(), listener.path.c_str()) != 0) {
      *error = listener.path + ": " + std::strerror(errno);
      return false;
    }
    listener.published = true;
  }
  return true;
}

void DeviceServer::RemoveSockets() {
  for (Listener& listener : listeners_) {
    unlink(listener.published ? listener.path.c_str() : listener.temporaryPath.c_str());
    listener.published = false;
    listener.temporaryPath.clear();
  }
}

void DeviceServer::Run(int stopFd) {
  std::vector<pollfd> fds;
  for (;;) {
    fds.clear();
    fds.push_back({stopFd, POLLIN, 0});
    for (const Listener& listener : listeners_) fds.push_back({listener.fd, POLLIN, 0});
    for (const Client& client : clients_) fds.push_back({client.fd, POLLIN, 0});
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      std::perror("poll");
      return;
    }
    if (fds[0].revents) return;
    for (size_t i = 0; i < listeners_.size(); ++i) {
      if (fds[1 + i].revents & POLLIN) Accept(listeners_[i]);
    }
    // Clients accepted in this round are not in fds yet; walk the old ones
    // backwards so that dropping one does not shift those still to be served.
    size_t firstClient = 1 + listeners_.size();
    for (size_t i = fds.size(); i-- > firstClient;) {
      if (!fds[i].revents) continue;
      size_t index = i - firstClient;
      if (!Serve(clients_[index])) Drop(index);
    }
  }
}

void DeviceServer::Drop(size_t index) {
  const Client gone = clients_[index];
  close(gone.fd);
  clients_.erase(clients_.begin() + static_cast<long>(index));
  for (const Client& client : clients_)
    if (client.box == gone.box && client.pid == gone.pid) return;
  gone.box->ClientGone(gone.pid);
}

void DeviceServer::Accept(const Listener& listener) {
  for (;;) {
    int fd = accept4(listener.fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;  // EAGAIN once the queue is empty
    if (clients_.size() >= kMaxClients) {
      close(fd);
      continue;
    }
    ucred peer{};
    socklen_t peerSize = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &peerSize) != 0) peer.pid = 0;
    clients_.push_back({fd, listener.interface, listener.box, static_cast<uint32_t>(peer.pid)});
  }
}

void DeviceServer::Journal(BoxInterface interface, uint32_t code, const uint8_t* in,
                           uint32_t inSize, uint32_t outSize) {
  if (journalFd_ < 0) return;
  static const char kHex[] = "0123456789ABCDEF";
  std::string line = JournalName(interface);
  char head[32];
  std::snprintf(head, sizeof head, " %08X in=", code);
  line += head;
  for (uint32_t i = 0; i < inSize; ++i) {
    line += kHex[in[i] >> 4];
    line += kHex[in[i] & 15];
  }
  line += " out=" + std::to_string(outSize) + "\n";
  AppendJournalLine(journalFd_, line);
}

bool DeviceServer::Serve(const Client& client) {
  ssize_t got;
  do {
    got = recv(client.fd, buffer_.data(), buffer_.size(), MSG_DONTWAIT);
  } while (got < 0 && errno == EINTR);
  if (got < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
  if (got == 0) return false;  // the client closed its handle
  DeviceRequestHeader request;
  if (static_cast<size_t>(got) < sizeof request) return false;
  std::memcpy(&request, buffer_.data(), sizeof request);
  if (request.magic != kDeviceRequestMagic || request.outSize > kMaxDeviceIoBytes ||
      request.inSize != static_cast<size_t>(got) - sizeof request) {
    return false;  // not our protocol, or truncated: drop the connection
  }
  const uint8_t* in = buffer_.data() + sizeof request;
  BoxReply reply;
  if (request.code == kDeviceStreamOwnerQuery) {
    // The transport's own question, not a request of the box.
    const uint32_t owner = client.box->StreamOwnerOtherThan(client.pid);
    reply.success = request.inSize == 0;
    reply.out.resize(sizeof owner);
    std::memcpy(reply.out.data(), &owner, sizeof owner);
  } else {
    Journal(client.interface, request.code, in, request.inSize, request.outSize);
    reply = client.box->Handle(client.interface, request.code, in, request.inSize, request.outSize,
                               client.pid);
  }
  if (!reply.answer) return true;
  uint32_t status = reply.success ? 1u : 0u;
  if (reply.inUseBy != 0) {
    status = kDeviceReplyInUse;
    reply.out.resize(sizeof reply.inUseBy);
    std::memcpy(reply.out.data(), &reply.inUseBy, sizeof reply.inUseBy);
  } else if (!reply.success) {
    reply.out.clear();
  }
  if (reply.out.size() > request.outSize && status == 1u) reply.out.resize(request.outSize);
  DeviceReplyHeader header{kDeviceReplyMagic, request.sequence, status,
                           static_cast<uint32_t>(reply.out.size())};
  iovec parts[2] = {{&header, sizeof header}, {reply.out.data(), reply.out.size()}};
  msghdr message{};
  message.msg_iov = parts;
  message.msg_iovlen = reply.out.empty() ? 1 : 2;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
  if (reply.success && reply.passRing) {
    std::memset(control, 0, sizeof control);
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&message);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    int ringFd = client.box->ring().fd();
    std::memcpy(CMSG_DATA(c), &ringFd, sizeof ringFd);
  }
  ssize_t sent;
  do {
    sent = sendmsg(client.fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (sent < 0 && errno == EINTR);
  // A client that does not take its replies is dropped rather than waited for.
  return sent == static_cast<ssize_t>(sizeof header + reply.out.size());
}
