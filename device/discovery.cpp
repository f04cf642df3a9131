// Finding the box, opening and closing its handles, and its model number.
#include <cstdio>
#include <cstring>

#include "device/device_protocol.h"
#include "device/device_requests.h"

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

DeviceHandle OpenDeviceInterface(const std::string& interfaceGuid, char* errorText) {
  uint32_t error = 0;
  DeviceInfoSet* set = GetPresentInterfaceDevices(interfaceGuid, &error);
  if (!set) {
    WriteErrorText(errorText, "SetupDiGetClassDevs failed: %x\n", error);
    return kInvalidDeviceHandle;
  }
  std::string path;
  bool havePath = false;
  if (EnumDeviceInterface(set, 0, &error)) {
    if (!GetDeviceInterfacePath(set, 0, &path)) {
      WriteErrorText(errorText, "Error in SetupDiGetInterfaceDeviceDetail.\n");
      DestroyDeviceInfoSet(set);
      return kInvalidDeviceHandle;
    }
    havePath = true;
  } else if (error != kErrorNoMoreItems) {
    WriteErrorText(errorText, "Error: No GUID_BUSENUM_BUS_ENUMERATOR interface.\n ");
    DestroyDeviceInfoSet(set);
    return kInvalidDeviceHandle;
  }
  DestroyDeviceInfoSet(set);
  if (!havePath) {
    WriteErrorText(errorText, "Device path not found.\n");
    return kInvalidDeviceHandle;
  }
  return OpenDevice(path);
}

int ProbeTunerDevices() {
  char errorText[128];
  if (hTunerT == 0) {
    hTunerT = OpenedOrZero(OpenDevice(kTunerPathT));
    if (hTunerT) return 0;
  }
  if (hTunerA == 0) {
    hTunerA = OpenedOrZero(OpenDeviceInterface(kInterfaceClassA, errorText));
    if (hTunerA) return 0;
  }
  if (hTunerS == 0) {
    hTunerS = OpenedOrZero(OpenDevice(kTunerPathS));
    if (hTunerS) return 0;
  }
  if (hTunerBus == 0) {
    hTunerBus = OpenedOrZero(OpenDeviceInterface(kInterfaceClassBus, errorText));
    if (hTunerBus) return 0;
  }
  return -1;
}

int OpenTunerDevice() {
  hTunerA = hTunerBus = hTunerBusStream = hTunerS = hTunerT = 0;
  bDeviceOpen = 0;
  if (ProbeTunerDevices() != 0) return 0;
  if (hTunerS) {
    uint8_t reply[kDirectReplySize];
    SendTunerRequest(hTunerS, kIoctlDirectOpenQuery, nullptr, 0, reply, sizeof reply);
  }
  if (hTunerBus) {
    char errorText[128];
    hTunerBusStream = OpenedOrZero(OpenDeviceInterface(kInterfaceClassBusStream, errorText));
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
