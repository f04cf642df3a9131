// Finding the box, opening and closing its handles, and its model number.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "device/device_protocol.h"
#include "device/device_requests.h"
#include "device/tuner_family_name.h"
#include "platform/device_wire.h"
#include "platform/files.h"

DeviceHandle hTunerT = 0, hTunerA = 0, hTunerS = 0, hTunerBus = 0, hTunerBusStream = 0;
int bDeviceOpen = 0;
std::atomic<int> nTunerModel{255};
int nSignalFormat = 0;
int bCiTuneFrame = 0;

namespace {

// The layer keeps 0 for "not open"; a failed open never leaves the invalid value.
DeviceHandle OpenedOrZero(DeviceHandle handle) {
  return handle == kInvalidDeviceHandle ? 0 : handle;
}

void CloseAndZero(DeviceHandle& handle) {
  if (IsHandleOpen(handle)) CloseDevice(handle);
  handle = 0;
}

void WriteErrorText(char* errorText, const char* format, uint32_t code = 0) {
  if (errorText) std::snprintf(errorText, 128, format, code);
}

}  // namespace

namespace {

// Which box OpenTunerDevice opens, and the device path (and what it was then)
// of the box it opened.
std::mutex selectionMutex;
TunerBoxChoice selectedBox;
bool selectedOnly = false;
std::string openedDevicePath;
std::string openedDeviceIdentity;

TunerBoxChoice SelectedBox() {
  std::lock_guard<std::mutex> lock(selectionMutex);
  return selectedBox;
}

// Device path of interface number `index` of a class; empty when there is none.
std::string InterfacePath(const std::string& interfaceGuid, unsigned index, char* errorText) {
  uint32_t error = 0;
  DeviceInfoSet* set = GetPresentInterfaceDevices(interfaceGuid, &error);
  if (!set) {
    WriteErrorText(errorText, "SetupDiGetClassDevs failed: %x\n", error);
    return {};
  }
  std::string path;
  if (EnumDeviceInterface(set, index, &error)) {
    if (!GetDeviceInterfacePath(set, index, &path)) WriteErrorText(errorText, "Error in SetupDiGetInterfaceDeviceDetail.\n");
  } else if (error != kErrorNoMoreItems) {
    WriteErrorText(errorText, "Error: No GUID_BUSENUM_BUS_ENUMERATOR interface.\n ");
  } else {
    WriteErrorText(errorText, "Device path not found.\n");
  }
  DestroyDeviceInfoSet(set);
  return path;
}

DeviceHandle OpenInterfaceNumber(const std::string& interfaceGuid, unsigned index, char* errorText) {
  const std::string path = InterfacePath(interfaceGuid, index, errorText);
  return path.empty() ? kInvalidDeviceHandle : OpenDevice(path);
}

// Opens the box of one kind; on success remembers the device it came through.
bool ProbeKind(TunerBoxKind kind, unsigned index) {
  char errorText[128];
  DeviceHandle* handle = nullptr;
  std::string devicePath;
  switch (kind) {
    case TunerBoxKind::T: handle = &hTunerT; devicePath = kTunerPathT; break;
    case TunerBoxKind::S: handle = &hTunerS; devicePath = kTunerPathS; break;
    case TunerBoxKind::A: handle = &hTunerA; devicePath = InterfacePath(kInterfaceClassA, index, errorText); break;
    case TunerBoxKind::Bus: handle = &hTunerBus; devicePath = InterfacePath(kInterfaceClassBus, index, errorText); break;
    case TunerBoxKind::Any: return false;
  }
  if (*handle != 0 || devicePath.empty()) return false;
  *handle = OpenedOrZero(OpenDevice(devicePath));
  if (*handle == 0) return false;
  std::lock_guard<std::mutex> lock(selectionMutex);
  openedDevicePath = devicePath;
  openedDeviceIdentity = GetDeviceIdentity(devicePath);
  return true;
}

constexpr TunerBoxKind kProbeOrder[] = {TunerBoxKind::T, TunerBoxKind::A, TunerBoxKind::S, TunerBoxKind::Bus};

struct KindName {
  TunerBoxKind kind;
  const char* name;
};
constexpr KindName kKindNames[] = {
    {TunerBoxKind::T, "t"}, {TunerBoxKind::A, "a"}, {TunerBoxKind::S, "s"}, {TunerBoxKind::Bus, "bus"}};

}  // namespace

DeviceHandle OpenDeviceInterface(const std::string& interfaceGuid, char* errorText) {
  return OpenInterfaceNumber(interfaceGuid, 0, errorText);
}

namespace {

#ifdef _WIN32

// Windows names a box by its driver's device path: a fixed path, or the path
// of an interface of class A or bus as the system lists it; "a#N" and "bus#N"
// name interface number N of the class.
constexpr uint32_t kMaxListedInterfaces = 64;

// Number of the present interface of a class whose path is `lowerPath`
// (compared in lower case, as Windows compares them), or -1.
long FindInterfacePath(const std::string& interfaceGuid, const std::string& lowerPath) {
  uint32_t error = 0;
  DeviceInfoSet* set = GetPresentInterfaceDevices(interfaceGuid, &error);
  if (!set) return -1;
  long found = -1;
  for (uint32_t index = 0; index < kMaxListedInterfaces && found < 0; ++index) {
    std::string path;
    if (!EnumDeviceInterface(set, index, &error)) break;
    if (!GetDeviceInterfacePath(set, index, &path)) continue;
    std::string lower;
    for (char c : path) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower == lowerPath) found = static_cast<long>(index);
  }
  DestroyDeviceInfoSet(set);
  return found;
}

// N of "<prefix>N" (decimal, no leading zero, at most 0xFFFF), or -1.
long NumberAfter(const std::string& text, const std::string& prefix) {
  if (text.size() <= prefix.size() || text.size() > prefix.size() + 5 || text.compare(0, prefix.size(), prefix) != 0)
    return -1;
  long number = 0;
  for (size_t i = prefix.size(); i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return -1;
    number = number * 10 + (text[i] - '0');
  }
  if (text[prefix.size()] == '0' && text.size() > prefix.size() + 1) return -1;
  return number <= 0xFFFF ? number : -1;
}

bool ParseBoxPath(const std::string& text, const std::string& lower, TunerBoxChoice* choice, std::string* error) {
  std::string lowerT, lowerS;
  for (char c : std::string(kTunerPathT)) lowerT += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (char c : std::string(kTunerPathS)) lowerS += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  TunerBoxChoice parsed;
  long index = -1;
  if (lower == lowerT) parsed.kind = TunerBoxKind::T;
  else if (lower == lowerS) parsed.kind = TunerBoxKind::S;
  else if ((index = NumberAfter(lower, "a#")) >= 0) parsed.kind = TunerBoxKind::A;
  else if ((index = NumberAfter(lower, "bus#")) >= 0) parsed.kind = TunerBoxKind::Bus;
  else if (lower.compare(0, 4, "\\\\?\\") == 0) {
    if ((index = FindInterfacePath(kInterfaceClassA, lower)) >= 0) parsed.kind = TunerBoxKind::A;
    else if ((index = FindInterfacePath(kInterfaceClassBus, lower)) >= 0) parsed.kind = TunerBoxKind::Bus;
  }
  if (parsed.kind == TunerBoxKind::Any) {
    *error = "'" + text + "' is neither t, a, s nor bus, nor a#N or bus#N, nor the device path of a box (" +
             kTunerPathT + ", " + kTunerPathS + ", or the path of a present interface of class A or bus)";
    return false;
  }
  if (index > 0) parsed.interfaceIndex = static_cast<unsigned>(index);
  *choice = parsed;
  return true;
}

std::string BoxPathText(const TunerBoxChoice& choice) {
  switch (choice.kind) {
    case TunerBoxKind::T: return "t";
    case TunerBoxKind::S: return "s";
    case TunerBoxKind::A: return "a#" + std::to_string(choice.interfaceIndex);
    case TunerBoxKind::Bus: return "bus#" + std::to_string(choice.interfaceIndex);
    case TunerBoxKind::Any: break;
  }
  return {};
}

#else

// Here a box is the socket it is published as, in a device folder.
bool ParseBoxPath(const std::string& text, const std::string&, TunerBoxChoice* choice, std::string* error) {
  const size_t slash = text.rfind('/');
  const std::string name = slash == std::string::npos ? text : text.substr(slash + 1);
  std::string directory = slash == std::string::npos ? std::string() : text.substr(0, slash);
  if (slash == 0) directory = "/";
  if (!directory.empty() && directory[0] != '/') directory = AbsolutePath(directory);
  TunerBoxChoice parsed{TunerBoxKind::Any, 0, directory};
  const std::string fixedT = DeviceSocketNameForPath(kTunerPathT);
  const std::string fixedS = DeviceSocketNameForPath(kTunerPathS);
  long index = -1;
  if (name == fixedT) parsed.kind = TunerBoxKind::T;
  else if (name == fixedS) parsed.kind = TunerBoxKind::S;
  else if ((index = ParseInterfaceSocketIndex(name, kInterfaceClassA)) >= 0) parsed.kind = TunerBoxKind::A;
  else if ((index = ParseInterfaceSocketIndex(name, kInterfaceClassBus)) >= 0) parsed.kind = TunerBoxKind::Bus;
  if (parsed.kind == TunerBoxKind::Any || index > 0xFFFF) {
    *error = "'" + text + "' is neither t, a, s nor bus, nor the socket of a box (" + fixedT + ", " + fixedS +
             ", " + InterfaceSocketName(kInterfaceClassA, 0) + ", " + InterfaceSocketName(kInterfaceClassBus, 0) +
             " in a device folder)";
    return false;
  }
  if (index > 0) parsed.interfaceIndex = static_cast<unsigned>(index);
  *choice = parsed;
  return true;
}

std::string BoxPathText(const TunerBoxChoice& choice) {
  std::string name;
  switch (choice.kind) {
    case TunerBoxKind::T: name = DeviceSocketNameForPath(kTunerPathT); break;
    case TunerBoxKind::S: name = DeviceSocketNameForPath(kTunerPathS); break;
    case TunerBoxKind::A: name = InterfaceSocketName(kInterfaceClassA, choice.interfaceIndex); break;
    case TunerBoxKind::Bus: name = InterfaceSocketName(kInterfaceClassBus, choice.interfaceIndex); break;
    case TunerBoxKind::Any: return {};
  }
  return (choice.directory.empty() ? GetDeviceDirectory() : choice.directory) + "/" + name;
}

#endif

}  // namespace

bool ParseTunerBoxChoice(const std::string& text, TunerBoxChoice* choice, std::string* error) {
  std::string lower;
  for (char c : text) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const KindName& each : kKindNames) {
    if (lower == each.name) {
      *choice = TunerBoxChoice{each.kind, 0, {}};
      return true;
    }
  }
  return ParseBoxPath(text, lower, choice, error);
}

std::string TunerBoxChoiceText(const TunerBoxChoice& choice) {
  if (choice.directory.empty()) {
    for (const KindName& each : kKindNames)
      if (choice.kind == each.kind && choice.interfaceIndex == 0) return each.name;
  }
  return BoxPathText(choice);
}

void SelectTunerBox(const TunerBoxChoice& choice, bool onlyThisBox) {
  if (!choice.directory.empty()) SetDeviceDirectory(choice.directory);
  std::lock_guard<std::mutex> lock(selectionMutex);
  selectedBox = choice;
  selectedBox.directory.clear();  // now the device folder
  selectedOnly = onlyThisBox;
}

std::string TunerBoxKindName(TunerBoxKind kind) {
  switch (kind) {
    case TunerBoxKind::T: return "T";
    case TunerBoxKind::A: return "A";
    case TunerBoxKind::S: return "S";
    case TunerBoxKind::Bus: return "BUS";
    case TunerBoxKind::Any: break;
  }
  return {};
}

bool TunerBoxStillThere() {
  std::string path, identity;
  {
    std::lock_guard<std::mutex> lock(selectionMutex);
    path = openedDevicePath;
    identity = openedDeviceIdentity;
  }
  if (!bDeviceOpen || path.empty()) return false;
  if (identity.empty() || GetDeviceIdentity(path) != identity) return false;
  return DeviceAnswers(path);
}

int ProbeTunerDevices() {
  const TunerBoxChoice choice = SelectedBox();
  bool only;
  {
    std::lock_guard<std::mutex> lock(selectionMutex);
    only = selectedOnly;
  }
  if (choice.kind != TunerBoxKind::Any) {
    if (ProbeKind(choice.kind, choice.interfaceIndex)) return 0;
    if (only) return -1;
  }
  for (TunerBoxKind kind : kProbeOrder)
    if (kind != choice.kind && ProbeKind(kind, 0)) return 0;
  return -1;
}

int OpenTunerDevice() {
  hTunerA = hTunerBus = hTunerBusStream = hTunerS = hTunerT = 0;
  bDeviceOpen = 0;
  if (!kBuildTalksToBoxes || ProbeTunerDevices() != 0) return 0;
  if (hTunerS) {
    uint8_t reply[kDirectReplySize];
    SendTunerRequest(hTunerS, kIoctlDirectOpenQuery, nullptr, 0, reply, sizeof reply);
  }
  if (hTunerBus) {
    char errorText[128];
    const TunerBoxChoice choice = SelectedBox();
    const unsigned index = choice.kind == TunerBoxKind::Bus ? choice.interfaceIndex : 0;
    hTunerBusStream = OpenedOrZero(OpenInterfaceNumber(kInterfaceClassBusStream, index, errorText));
    if (!hTunerBusStream) return 0;  // the caller's CloseTunerDevice closes the bus handle
  }
  bDeviceOpen = 1;
  return 1;
}

void CloseDeviceHandles() {
  CloseAndZero(hTunerT);
  CloseAndZero(hTunerS);
  CloseAndZero(hTunerBus);
  CloseAndZero(hTunerA);
}

void CloseTunerDevice() {
  bDeviceOpen = 0;
  {
    std::lock_guard<std::mutex> lock(selectionMutex);
    openedDevicePath.clear();
  }
  CloseDeviceHandles();
  CloseAndZero(hTunerBusStream);
}

int GetTunerModel() {
  if (hTunerT) return 46;
  if (hTunerA) return 12;
  if (hTunerS) return 20;
  if (!IsHandleOpen(hTunerBus)) return 1;
  uint8_t frame[kFrameSize];
  BuildSimpleCommandFrame(kCommandModelCode, frame);
  if (!SendTunerRequest(hTunerBus, kIoctlBusCommand, frame, kFrameSize, frame, kFrameSize))
    return 1;
  frame[8] = 0;
  return ModelFromModelCode(reinterpret_cast<const char*>(frame + 2), &nSignalFormat);
}

TunerFamily GetTunerFamily(int model) {
  switch (model) {
    case 0: case 1: case 2: case 3: case 4: case 20:
      return TunerFamily::Satellite;
    case 5: case 6: case 7:
      return TunerFamily::Cable;
    case 10: case 11: case 12: case 15: case 16: case 46:
      return TunerFamily::Terrestrial;
    default:
      return TunerFamily::None;
  }
}

const char* TunerFamilyShortName(int model) {
  switch (GetTunerFamily(model)) {
    case TunerFamily::Satellite: return "DST";
    case TunerFamily::Cable: return "DCT";
    case TunerFamily::Terrestrial: return "DTT";
    case TunerFamily::None: break;
  }
  return "none";
}
