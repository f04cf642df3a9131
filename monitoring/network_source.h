// A monitor input fed from a udp:// or rtp:// address.
#pragma once

#include <memory>
#include <string>

#include "monitoring/monitored_input.h"
#include "netinput/net_stream_input.h"

class NetworkSource : public StreamSource {
public:
  // Null on failure (`error` says why).
  static std::unique_ptr<NetworkSource> Open(const NetAddress& address, std::string* error);

  int PollFd() const override { return input_->fd(); }
  bool Pump(StreamHealth& health, std::string* error) override;
  uint64_t BytesFed() const override { return input_->stats().tsBytes; }
  double SilenceLimitS() const override { return input_->address().timeoutS; }
  const NetInputStats* Network() const override { return &input_->stats(); }
  uint64_t Overruns() const override { return input_->receiver().truncated(); }

private:
  explicit NetworkSource(std::unique_ptr<NetStreamInput> input) : input_(std::move(input)) {}
  std::unique_ptr<NetStreamInput> input_;
};
