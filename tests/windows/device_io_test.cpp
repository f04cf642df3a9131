// The Win32 device layer where no driver is needed: malformed interface
// classes, absent devices, unknown handles, and the size limits, the
// largest request played by a message-mode named pipe whose server the test
// plays (FSCTL_PIPE_TRANSCEIVE: input out, reply in, overlapped). The boxes'
// requests, cancelling and unplugging are tested against the fake tuner
// driver (device_driver_test.cpp).
#include <gtest/gtest.h>

#include <windows.h>

#include <winioctl.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/device_io.h"
#include "platform/device_wire.h"

namespace {

constexpr uint32_t kTransceive = 0x0011C017;  // FSCTL_PIPE_TRANSCEIVE

class PipeDevice {
public:
  PipeDevice() {
    static std::atomic<int> counter{0};
    name_ = "\\\\.\\pipe\\vantrel-device-test-" + std::to_string(GetCurrentProcessId()) + "-" +
            std::to_string(counter++);
    server_ = CreateNamedPipeA(name_.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                               1, kMaxDeviceIoBytes, kMaxDeviceIoBytes, 0, nullptr);
  }
  ~PipeDevice() { Unplug(); }
  bool Ready() const { return server_ != INVALID_HANDLE_VALUE; }
  const std::string& Path() const { return name_; }
  // The request's bytes, as the server received them.
  std::string Receive() {
    static thread_local char buffer[kMaxDeviceIoBytes];
    DWORD got = 0;
    if (!ReadFile(server_, buffer, sizeof buffer, &got, nullptr)) return {};
    return std::string(buffer, got);
  }
  void Reply(const std::string& bytes) {
    DWORD written = 0;
    WriteFile(server_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  }
  void Unplug() {
    if (server_ == INVALID_HANDLE_VALUE) return;
    DisconnectNamedPipe(server_);
    CloseHandle(server_);
    server_ = INVALID_HANDLE_VALUE;
  }

private:
  std::string name_;
  HANDLE server_ = INVALID_HANDLE_VALUE;
};

struct Opened {
  PipeDevice device;
  DeviceHandle handle = kInvalidDeviceHandle;
  Opened() {
    if (!device.Ready()) return;
    handle = OpenDevice(device.Path());
  }
  ~Opened() {
    if (handle != kInvalidDeviceHandle) CloseDevice(handle);
  }
};

TEST(Win32DeviceIo, InterfaceClassWithoutDevicesHasNoInterfaceZero) {
  uint32_t error = 0;
  DeviceInfoSet* set = GetPresentInterfaceDevices("{4D36E96C-E325-11CE-BFC1-08002BE10318}", &error);
  ASSERT_NE(set, nullptr) << error;
  bool found = EnumDeviceInterface(set, 0, &error);
  if (!found) {
    EXPECT_EQ(error, kErrorNoMoreItems);
  }
  std::string path;
  EXPECT_EQ(GetDeviceInterfacePath(set, 0, &path), found);
  DestroyDeviceInfoSet(set);
  for (const char* bad : {"", "{4D36E96C-E325-11CE-BFC1-08002BE1031}", "4D36E96C-E325-11CE-BFC1-08002BE10318"}) {
    EXPECT_EQ(GetPresentInterfaceDevices(bad, &error), nullptr) << bad;
    EXPECT_EQ(error, kErrorInvalidParameter);
  }
}

TEST(Win32DeviceIo, AbsentDevicesAndUnknownHandlesFail) {
  EXPECT_EQ(OpenDevice("\\\\.\\VANTREL-ABSENT-000"), kInvalidDeviceHandle);
  EXPECT_EQ(OpenDevice("\\\\.\\频道-000"), kInvalidDeviceHandle);
  uint8_t out[4];
  uint32_t returned = 7;
  EXPECT_FALSE(SendDeviceIoControl(12345, 0x222334, nullptr, 0, out, 4, &returned));
  EXPECT_EQ(GetLastDeviceError(), kErrorInvalidParameter);
  EXPECT_EQ(returned, 0u);
  CancelDeviceIo(12345);  // nothing to cancel: no effect
  CloseDevice(12345);
}

TEST(Win32DeviceIo, TheLargestRequestTravelsWhole) {
  Opened box;
  ASSERT_NE(box.handle, kInvalidDeviceHandle);
  std::vector<uint8_t> in(kMaxDeviceIoBytes), reply(kMaxDeviceIoBytes);
  uint32_t seed = 1;
  for (uint8_t& byte : in) byte = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 16);
  for (uint8_t& byte : reply) byte = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 16);
  std::string received;
  std::thread server([&] {
    received = box.device.Receive();
    box.device.Reply(std::string(reply.begin(), reply.end()));
  });
  std::vector<uint8_t> out(kMaxDeviceIoBytes + 8, 0x5A);
  uint32_t returned = 0;
  const bool ok = SendDeviceIoControl(box.handle, kTransceive, in.data(), kMaxDeviceIoBytes, out.data(),
                                      kMaxDeviceIoBytes, &returned, 5000);
  server.join();
  ASSERT_TRUE(ok) << GetLastDeviceError();
  EXPECT_EQ(received, std::string(in.begin(), in.end()));
  ASSERT_EQ(returned, kMaxDeviceIoBytes);
  EXPECT_TRUE(std::equal(reply.begin(), reply.end(), out.begin()));
  EXPECT_EQ(out[kMaxDeviceIoBytes], 0x5A) << "written past the reply";
}

TEST(Win32DeviceIo, OversizedRequestsAreRefusedBeforeSending) {
  Opened box;
  ASSERT_NE(box.handle, kInvalidDeviceHandle);
  static uint8_t big[kMaxDeviceIoBytes + 1];
  EXPECT_FALSE(SendDeviceIoControl(box.handle, kTransceive, big, sizeof big, nullptr, 0, nullptr));
  EXPECT_EQ(GetLastDeviceError(), kErrorInvalidParameter);
}

}  // namespace
