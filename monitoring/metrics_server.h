// A tiny HTTP/1.1 server for Prometheus to scrape: GET /metrics only, one
// request per connection, requests of at most 8 KB, every connection closed
// after 5 s whatever it does, at most 32 at a time. It runs inside the
// caller's poll loop: no thread of its own, none per connection.
#pragma once

#include <poll.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class MetricsServer {
public:
  using Clock = std::chrono::steady_clock;

  // Listens on "ADDRESS:PORT" ("[V6]:PORT"; port 0 takes a free one). Null
  // on failure, with the reason in `error`.
  static std::unique_ptr<MetricsServer> Open(const std::string& listen, std::string* error);
  ~MetricsServer();
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

  uint16_t port() const { return port_; }
  // Adds the descriptors to watch to `fds`.
  void AddPollFds(std::vector<pollfd>& fds) const;
  // Serves what the poll found (`fds` as filled by AddPollFds and polled,
  // from `first` on); `metrics` renders the body of /metrics when asked.
  void Serve(const std::vector<pollfd>& fds, size_t first, const std::function<std::string()>& metrics);

  // The answer to one complete request head (exposed for tests).
  static std::string Answer(const std::string& head, const std::function<std::string()>& metrics);

private:
  struct Connection {
    int fd = -1;
    std::string in;
    std::string out;
    size_t sent = 0;
    Clock::time_point opened;
  };
  MetricsServer() = default;
  void Accept();
  void Close(size_t index);

  int listener_ = -1;
  uint16_t port_ = 0;
  std::vector<Connection> connections_;
};
