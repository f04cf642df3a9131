#include "platform/device_wire.h"

#include <cctype>

namespace {

// "{8-4-4-4-12}" with hex digits, any case.
bool IsGuidText(const std::string& text) {
  static const char kPattern[] = "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}";
  if (text.size() != sizeof(kPattern) - 1) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    char want = kPattern[i];
    if (want == 'X') {
      if (!std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
    } else if (text[i] != want) {
      return false;
    }
  }
  return true;
}

std::string UpperCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

std::string DeviceSocketNameForPath(const std::string& devicePath) {
  static const std::string kFixedPrefix = "\\\\.\\";
  static const std::string kInterfacePrefix = "\\\\?\\";
  std::string name;
  if (devicePath.compare(0, kFixedPrefix.size(), kFixedPrefix) == 0) {
    name = devicePath.substr(kFixedPrefix.size());
  } else if (devicePath.compare(0, kInterfacePrefix.size(), kInterfacePrefix) == 0) {
    name = devicePath.substr(kInterfacePrefix.size());
  } else {
    return {};
  }
  if (name.empty() || name == "." || name == ".." || name.size() > 100) return {};
  if (name.find('/') != std::string::npos || name.find('\0') != std::string::npos) return {};
  return name;
}

std::string InterfaceSocketName(const std::string& interfaceGuid, unsigned index) {
  if (!IsGuidText(interfaceGuid)) return {};
  return UpperCase(interfaceGuid) + "#" + std::to_string(index);
}

long ParseInterfaceSocketIndex(const std::string& socketName, const std::string& interfaceGuid) {
  if (!IsGuidText(interfaceGuid)) return -1;
  std::string prefix = UpperCase(interfaceGuid) + "#";
  if (socketName.size() <= prefix.size() || socketName.size() > prefix.size() + 6) return -1;
  if (socketName.compare(0, prefix.size(), prefix) != 0) return -1;
  long index = 0;
  for (size_t i = prefix.size(); i < socketName.size(); ++i) {
    char c = socketName[i];
    if (c < '0' || c > '9') return -1;
    index = index * 10 + (c - '0');
  }
  // One spelling per index: no leading zeros.
  if (socketName[prefix.size()] == '0' && socketName.size() > prefix.size() + 1) return -1;
  return index;
}

std::string InterfaceDevicePath(const std::string& socketName) { return "\\\\?\\" + socketName; }
