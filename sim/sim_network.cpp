#include "sim/sim_network.h"

#include <fstream>
#include <set>
#include <sstream>

#include "boxserver/stream_source.h"

namespace {

constexpr size_t kMaxNetworkFileBytes = 1 << 20;
constexpr size_t kMaxTransponders = 256;

std::string Trim(const std::string& text) {
  const size_t start = text.find_first_not_of(" \t\r");
  if (start == std::string::npos) return {};
  const size_t end = text.find_last_not_of(" \t\r");
  return text.substr(start, end - start + 1);
}

bool ParseUnsigned(const std::string& text, uint64_t maximum, uint64_t* value) {
  if (text.empty() || text.size() > 12) return false;
  uint64_t number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + static_cast<uint64_t>(c - '0');
  }
  if (number > maximum) return false;
  *value = number;
  return true;
}

bool ParseYesNo(const std::string& text, bool* value) {
  if (text == "yes" || text == "true" || text == "1") return *value = true, true;
  if (text == "no" || text == "false" || text == "0") return *value = false, true;
  return false;
}

}  // namespace

bool ParseSimNetwork(const std::string& text, const std::string& folder, SimNetwork* network, std::string* error) {
  network->transponders.clear();
  std::istringstream in(text);
  std::string raw;
  int lineNumber = 0;
  SimTransponder* current = nullptr;
  std::set<std::string> keysSeen;
  auto fail = [&](const std::string& why) {
    *error = "line " + std::to_string(lineNumber) + ": " + why;
    return false;
  };
  while (std::getline(in, raw)) {
    ++lineNumber;
    std::string line = raw;
    if (const size_t comment = line.find(" ;"); comment != std::string::npos) line = line.substr(0, comment);
    line = Trim(line);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line == "[transponder]") {
      if (network->transponders.size() >= kMaxTransponders) return fail("more than 256 transponders");
      network->transponders.emplace_back();
      current = &network->transponders.back();
      current->line = lineNumber;
      keysSeen.clear();
      continue;
    }
    if (line[0] == '[') return fail("unknown section " + line + " (only [transponder])");
    const size_t equals = line.find('=');
    if (equals == std::string::npos) return fail("expected KEY = VALUE");
    if (current == nullptr) return fail("a key before the first [transponder]");
    const std::string key = Trim(line.substr(0, equals));
    const std::string value = Trim(line.substr(equals + 1));
    if (!keysSeen.insert(key).second) return fail(key + " given twice");
    uint64_t number = 0;
    bool flag = false;
    auto bad = [&] { return fail("invalid value for " + key + ": " + value); };
    if (key == "frequency") {
      if (!ParseUnsigned(value, 0xFFFFFF, &number) || number == 0) return bad();
      current->frequency = static_cast<uint32_t>(number);
    } else if (key == "bandwidth") {
      if (!ParseUnsigned(value, 255, &number)) return bad();
      current->bandwidthMHz = static_cast<uint32_t>(number);
    } else if (key == "symbol_rate") {
      if (!ParseUnsigned(value, 0xFFFFFF, &number)) return bad();
      current->symbolRateK = static_cast<uint32_t>(number);
    } else if (key == "qam") {
      if (!ParseUnsigned(value, 256, &number) || (number != 16 && number != 32 && number != 64 && number != 128 && number != 256))
        return bad();
      current->qamOrder = static_cast<uint32_t>(number);
    } else if (key == "polarisation" || key == "polarization") {
      if (value != "H" && value != "V") return bad();
      current->horizontal = value == "H";
    } else if (key == "stream") {
      if (value.empty()) return bad();
      current->streamPath = value[0] == '/' || folder.empty() ? value : folder + "/" + value;
    } else if (key == "strength" || key == "quality") {
      if (!ParseUnsigned(value, 100, &number)) return bad();
      (key == "strength" ? current->strength : current->quality) = static_cast<int>(number);
    } else if (key == "lock") {
      if (!ParseYesNo(value, &flag)) return bad();
      current->locks = flag;
    } else if (key == "lock_ms") {
      if (!ParseUnsigned(value, 3600000, &number)) return bad();
      current->lockMs = static_cast<int64_t>(number);
    } else if (key == "si") {
      if (!ParseYesNo(value, &flag)) return bad();
      current->carriesSi = flag;
    } else {
      return fail("unknown key " + key);
    }
  }
  if (network->transponders.empty()) {
    *error = "no [transponder] section";
    return false;
  }
  for (const SimTransponder& t : network->transponders) {
    lineNumber = t.line;
    if (t.frequency == 0) return fail("the transponder has no frequency");
    if (t.streamPath.empty()) return fail("the transponder has no stream");
  }
  return true;
}

bool LoadSimNetwork(const std::string& path, SimNetwork* network, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read " + path;
    return false;
  }
  std::string text(kMaxNetworkFileBytes + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(in.gcount()));
  if (text.size() > kMaxNetworkFileBytes) {
    *error = path + " is larger than 1 MB: not a network file";
    return false;
  }
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
  std::string why;
  if (!ParseSimNetwork(text, folder, network, &why)) {
    *error = path + ": " + why;
    return false;
  }
  for (SimTransponder& t : network->transponders) {
    if (!LoadStreamFile(t.streamPath, &t.stream, &why)) {
      *error = path + ": " + why;
      return false;
    }
    if (!t.carriesSi) t.stream = WithoutSiPackets(t.stream);
  }
  return true;
}

std::vector<uint8_t> WithoutSiPackets(const std::vector<uint8_t>& stream) {
  constexpr size_t kPacket = 188;
  std::vector<uint8_t> kept;
  kept.reserve(stream.size());
  for (size_t at = 0; at + kPacket <= stream.size(); at += kPacket) {
    const int pid = ((stream[at + 1] & 0x1F) << 8) | stream[at + 2];
    if (stream[at] == 0x47 && pid < 0x20) continue;
    kept.insert(kept.end(), stream.begin() + static_cast<std::ptrdiff_t>(at),
                stream.begin() + static_cast<std::ptrdiff_t>(at + kPacket));
  }
  return kept;
}
