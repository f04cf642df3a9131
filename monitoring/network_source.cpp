#include "monitoring/network_source.h"

std::unique_ptr<NetworkSource> NetworkSource::Open(const NetAddress& address, std::string* error) {
  auto input = NetStreamInput::Open(address, error);
  if (!input) return nullptr;
  return std::unique_ptr<NetworkSource>(new NetworkSource(std::move(input)));
}

bool NetworkSource::Pump(StreamHealth& health, std::string* error) {
  return input_->Receive([&health](const uint8_t* data, size_t size) { health.Feed(data, size); }, error) >= 0;
}
