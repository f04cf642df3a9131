// Small helpers for talking to the simulator through the device I/O calls.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "device/tuner_device.h"
#include "platform/device_io.h"

using Bytes = std::vector<uint8_t>;

inline Bytes FromHex(const std::string& hex) {
  Bytes bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

inline std::string ToHex(const Bytes& bytes) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (uint8_t byte : bytes) {
    text += kHex[byte >> 4];
    text += kHex[byte & 15];
  }
  return text;
}

// One request; the reply's bytes (as many as were returned) in *reply.
// A request the test means to release itself waits kWaitForCancel.
constexpr uint32_t kWaitForCancel = 600000;
inline bool Request(DeviceHandle handle, uint32_t code, const Bytes& in, uint32_t outSize,
                    Bytes* reply = nullptr, uint32_t timeoutMs = kDefaultDeviceIoTimeoutMs) {
  Bytes out(outSize);
  uint32_t returned = 0;
  bool ok = SendDeviceIoControl(handle, code, in.empty() ? nullptr : in.data(),
                            static_cast<uint32_t>(in.size()), outSize ? out.data() : nullptr,
                            outSize, &returned, timeoutMs);
  out.resize(returned);
  if (reply) *reply = out;
  return ok;
}

inline uint32_t ReplyWord(const Bytes& reply) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4 && i < reply.size(); ++i) value |= static_cast<uint32_t>(reply[i]) << (8 * i);
  return value;
}

// Frame for command bytes 00 c1 c2..c6 with the lead 0xAA and checksum.
// Plain tuning frame: lead byte, seven parameter bytes, checksum over 1..7.
inline Bytes TuneFrame(uint8_t lead, const Bytes& parameters) {
  Bytes frame(parameters.size() + 2);
  frame[0] = lead;
  unsigned sum = 0;
  for (size_t i = 0; i < parameters.size(); ++i) {
    frame[i + 1] = parameters[i];
    sum += parameters[i];
  }
  frame.back() = static_cast<uint8_t>(0x100 - (sum & 0xFF));
  return frame;
}

inline Bytes CommandFrame(const Bytes& command) { return TuneFrame(0xAA, command); }

inline DeviceHandle OpenInterface(const std::string& guid, unsigned index = 0) {
  uint32_t error = 0;
  DeviceInfoSet* set = GetPresentInterfaceDevices(guid, &error);
  std::string path;
  bool found = set && EnumDeviceInterface(set, index, &error) && GetDeviceInterfacePath(set, index, &path);
  DestroyDeviceInfoSet(set);
  return found ? OpenDevice(path) : kInvalidDeviceHandle;
}

// Closes a device handle at the end of the scope.
class ScopedDevice {
public:
  explicit ScopedDevice(DeviceHandle handle) : handle_(handle) {}
  ~ScopedDevice() {
    if (handle_ != kInvalidDeviceHandle) CloseDevice(handle_);
  }
  ScopedDevice(const ScopedDevice&) = delete;
  ScopedDevice& operator=(const ScopedDevice&) = delete;
  DeviceHandle get() const { return handle_; }
  bool valid() const { return handle_ != kInvalidDeviceHandle && handle_ != 0; }

private:
  DeviceHandle handle_;
};
