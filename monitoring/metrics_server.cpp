#include "monitoring/metrics_server.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr size_t kMaxRequestBytes = 8192;
constexpr size_t kMaxConnections = 32;
constexpr auto kConnectionLimit = std::chrono::seconds(5);

std::string Response(const char* status, const std::string& contentType, const std::string& body,
                     const std::string& extraHeaders = "") {
  return std::string("HTTP/1.1 ") + status + "\r\nContent-Type: " + contentType +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n" + extraHeaders + "\r\n" +
         body;
}

}  // namespace

std::unique_ptr<MetricsServer> MetricsServer::Open(const std::string& listen, std::string* error) {
  std::string host, port;
  if (!listen.empty() && listen[0] == '[') {
    const size_t close = listen.find("]:");
    if (close != std::string::npos) {
      host = listen.substr(1, close - 1);
      port = listen.substr(close + 2);
    }
  } else if (const size_t colon = listen.rfind(':'); colon != std::string::npos && listen.find(':') == colon) {
    host = listen.substr(0, colon);
    port = listen.substr(colon + 1);
  }
  if (port.empty() || port.find_first_not_of("0123456789") != std::string::npos || port.size() > 5 ||
      std::stoi(port) > 65535) {
    *error = "--metrics needs ADDRESS:PORT (such as 127.0.0.1:9101 or [::1]:9101), not \"" + listen + "\"";
    return nullptr;
  }
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | AI_PASSIVE;
  addrinfo* found = nullptr;
  const int status = ::getaddrinfo(host.empty() ? nullptr : host.c_str(), port.c_str(), &hints, &found);
  if (status != 0 || found == nullptr) {
    *error = "cannot resolve \"" + host + "\": " + ::gai_strerror(status);
    return nullptr;
  }
  std::unique_ptr<MetricsServer> server(new MetricsServer());
  server->listener_ = ::socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  const int on = 1;
  if (server->listener_ >= 0) ::setsockopt(server->listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (server->listener_ < 0 || ::bind(server->listener_, found->ai_addr, found->ai_addrlen) != 0 ||
      ::listen(server->listener_, 16) != 0) {
    *error = "cannot serve metrics on " + listen + ": " + std::strerror(errno);
    ::freeaddrinfo(found);
    return nullptr;
  }
  ::freeaddrinfo(found);
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  ::getsockname(server->listener_, reinterpret_cast<sockaddr*>(&bound), &length);
  server->port_ = ntohs(bound.ss_family == AF_INET ? reinterpret_cast<sockaddr_in&>(bound).sin_port
                                                   : reinterpret_cast<sockaddr_in6&>(bound).sin6_port);
  return server;
}

MetricsServer::~MetricsServer() {
  for (Connection& c : connections_) ::close(c.fd);
  if (listener_ >= 0) ::close(listener_);
}

void MetricsServer::AddPollFds(std::vector<pollfd>& fds) const {
  fds.push_back({listener_, static_cast<short>(connections_.size() < kMaxConnections ? POLLIN : 0), 0});
  for (const Connection& c : connections_)
    fds.push_back({c.fd, static_cast<short>(c.out.empty() ? POLLIN : POLLOUT), 0});
}

std::string MetricsServer::Answer(const std::string& head, const std::function<std::string()>& metrics) {
  const size_t lineEnd = head.find("\r\n");
  const std::string line = head.substr(0, lineEnd);
  const size_t space1 = line.find(' ');
  const size_t space2 = space1 == std::string::npos ? std::string::npos : line.find(' ', space1 + 1);
  if (space2 == std::string::npos || line.compare(space2 + 1, 5, "HTTP/") != 0)
    return Response("400 Bad Request", "text/plain", "bad request\n");
  const std::string method = line.substr(0, space1);
  std::string target = line.substr(space1 + 1, space2 - space1 - 1);
  target = target.substr(0, target.find('?'));
  if (method != "GET") return Response("405 Method Not Allowed", "text/plain", "only GET\n", "Allow: GET\r\n");
  if (target == "/metrics") return Response("200 OK", "text/plain; version=0.0.4; charset=utf-8", metrics());
  if (target == "/")
    return Response("200 OK", "text/html; charset=utf-8",
                    "<html><body><a href=\"/metrics\">metrics</a></body></html>\n");
  return Response("404 Not Found", "text/plain", "not found (the metrics are at /metrics)\n");
}

void MetricsServer::Accept() {
  while (connections_.size() < kMaxConnections) {
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    connections_.push_back({fd, {}, {}, 0, Clock::now()});
  }
}

void MetricsServer::Close(size_t index) {
  ::close(connections_[index].fd);
  connections_.erase(connections_.begin() + static_cast<std::ptrdiff_t>(index));
}

void MetricsServer::Serve(const std::vector<pollfd>& fds, size_t first, const std::function<std::string()>& metrics) {
  const Clock::time_point now = Clock::now();
  // Connections first (their entries follow the listener's), from the back so that closing keeps the indexes.
  const size_t polled = std::min(connections_.size(), fds.size() - first - 1);
  for (size_t i = polled; i-- > 0;) {
    Connection& c = connections_[i];
    const short events = fds[first + 1 + i].revents;
    bool close = now - c.opened > kConnectionLimit || (events & (POLLERR | POLLNVAL)) != 0;
    if (!close && c.out.empty() && (events & (POLLIN | POLLHUP)) != 0) {
      char buffer[4096];
      const ssize_t got = ::recv(c.fd, buffer, sizeof buffer, 0);
      if (got <= 0) {
        close = got == 0 || (errno != EAGAIN && errno != EINTR);
      } else {
        c.in.append(buffer, static_cast<size_t>(got));
        const size_t end = c.in.find("\r\n\r\n");
        if (end != std::string::npos) c.out = Answer(c.in.substr(0, end), metrics);
        else if (c.in.size() > kMaxRequestBytes)
          c.out = Response("431 Request Header Fields Too Large", "text/plain", "request too large\n");
      }
    }
    if (!close && !c.out.empty()) {
      const ssize_t sent = ::send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
      if (sent > 0) c.sent += static_cast<size_t>(sent);
      else if (sent < 0 && errno != EAGAIN && errno != EINTR) close = true;
      if (c.sent == c.out.size()) close = true;
    }
    if (close) Close(i);
  }
  if ((fds[first].revents & POLLIN) != 0) Accept();
}
