#include "netinput/net_address.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace {

constexpr double kMaxTimeoutS = 86400;

// Splits "HOST:PORT" or "[V6]:PORT" from the end; host may be empty.
bool SplitHostPort(const std::string& text, std::string* host, std::string* port) {
  if (!text.empty() && text[0] == '[') {
    const size_t close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') return false;
    *host = text.substr(1, close - 1);
    *port = text.substr(close + 2);
    return !host->empty();
  }
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  *host = text.substr(0, colon);
  *port = text.substr(colon + 1);
  // An IPv6 address without brackets would be ambiguous.
  return host->find(':') == std::string::npos;
}

// "[V6]" or a plain host, for SOURCE.
std::string Unbracket(const std::string& text) {
  if (text.size() >= 2 && text.front() == '[' && text.back() == ']') return text.substr(1, text.size() - 2);
  return text;
}

std::optional<long> ParseWhole(const std::string& text, long min, long max) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  for (char c : text)
    if (c < '0' || c > '9') return std::nullopt;
  const long value = std::strtol(text.c_str(), nullptr, 10);
  if (value < min || value > max) return std::nullopt;
  return value;
}

std::optional<double> ParseSeconds(const std::string& text) {
  if (text.empty() || text.size() > 12) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text.c_str(), &end);
  if (errno != 0 || end != text.c_str() + text.size() || !std::isfinite(value) || value <= 0 || value > kMaxTimeoutS)
    return std::nullopt;
  return value;
}

bool Fail(std::string* error, const std::string& text) {
  if (error) *error = text;
  return false;
}

bool ParseOptions(const std::string& query, NetAddress* address, std::string* error) {
  size_t start = 0;
  while (start <= query.size()) {
    size_t end = query.find('&', start);
    if (end == std::string::npos) end = query.size();
    const std::string item = query.substr(start, end - start);
    start = end + 1;
    if (item.empty()) continue;
    const size_t equals = item.find('=');
    const std::string key = item.substr(0, equals);
    const std::string value = equals == std::string::npos ? "" : item.substr(equals + 1);
    if (key == "iface") {
      if (value.empty()) return Fail(error, "iface= needs an interface name or address");
      address->iface = value;
    } else if (key == "timeout") {
      const auto seconds = ParseSeconds(value);
      if (!seconds) return Fail(error, "timeout= needs seconds between 0 and 86400, not \"" + value + "\"");
      address->timeoutS = *seconds;
    } else if (key == "ttl") {
      const auto ttl = ParseWhole(value, 1, 255);
      if (!ttl) return Fail(error, "ttl= needs a number from 1 to 255, not \"" + value + "\"");
      address->ttl = static_cast<int>(*ttl);
    } else {
      return Fail(error, "unknown option \"" + key + "\" (known: iface, timeout, ttl)");
    }
  }
  return true;
}

}  // namespace

bool IsNetAddress(const std::string& text) {
  return text.rfind("udp://", 0) == 0 || text.rfind("rtp://", 0) == 0;
}

std::optional<NetAddress> ParseNetAddress(const std::string& text, std::string* error) {
  NetAddress address;
  if (!IsNetAddress(text)) {
    Fail(error, "\"" + text + "\" is not a network address (udp://... or rtp://...)");
    return std::nullopt;
  }
  address.protocol = text[0] == 'r' ? NetProtocol::Rtp : NetProtocol::Udp;
  std::string rest = text.substr(6);
  const size_t question = rest.find('?');
  if (question != std::string::npos) {
    if (!ParseOptions(rest.substr(question + 1), &address, error)) return std::nullopt;
    rest.resize(question);
  }
  // The '@' that separates SOURCE lies outside brackets.
  size_t at = std::string::npos;
  int depth = 0;
  for (size_t i = 0; i < rest.size(); ++i) {
    if (rest[i] == '[') ++depth;
    else if (rest[i] == ']') --depth;
    else if (rest[i] == '@' && depth == 0) at = i;
  }
  if (at != std::string::npos) {
    address.source = Unbracket(rest.substr(0, at));
    rest = rest.substr(at + 1);
  }
  std::string port;
  if (!SplitHostPort(rest, &address.group, &port)) {
    Fail(error, "\"" + text + "\" needs the form " + text.substr(0, 6) +
                    "[SOURCE@]ADDRESS:PORT (IPv6 addresses in brackets)");
    return std::nullopt;
  }
  const auto number = ParseWhole(port, 1, 65535);
  if (!number) {
    Fail(error, "\"" + port + "\" is not a port number (1 to 65535)");
    return std::nullopt;
  }
  address.port = static_cast<uint16_t>(*number);
  return address;
}

std::string FormatNetAddress(const NetAddress& address) {
  const auto host = [](const std::string& name) {
    return name.find(':') != std::string::npos ? "[" + name + "]" : name;
  };
  std::string text = address.protocol == NetProtocol::Rtp ? "rtp://" : "udp://";
  if (!address.source.empty()) text += host(address.source) + "@";
  text += host(address.group) + ":" + std::to_string(address.port);
  std::string query;
  const auto add = [&query](const std::string& item) { query += (query.empty() ? "?" : "&") + item; };
  if (!address.iface.empty()) add("iface=" + address.iface);
  if (address.timeoutS != NetAddress{}.timeoutS) {
    std::string seconds = std::to_string(address.timeoutS);
    seconds.erase(seconds.find_last_not_of('0') + 1);
    if (!seconds.empty() && seconds.back() == '.') seconds.pop_back();
    add("timeout=" + seconds);
  }
  if (address.ttl != NetAddress{}.ttl) add("ttl=" + std::to_string(address.ttl));
  return text + query;
}
