// The Win32 device layer against a stand-in device: a message-mode named
// pipe whose server the test plays. A request on the pipe's client handle
// (FSCTL_PIPE_TRANSCEIVE: input out, reply in, overlapped) travels the same
// path as a driver request: its own event, the time limit, CancelIoEx, the
// request block owned by the connection, and the far end going away.
#include <gtest/gtest.h>

#include <windows.h>

#include <winioctl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "device/device_protocol.h"
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

uint32_t Elapsed(std::chrono::steady_clock::time_point start) {
  return static_cast<uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
}

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
  EXPECT_EQ(OpenDevice("\\\\.\\QVUSB-T-000"), kInvalidDeviceHandle);
  EXPECT_EQ(OpenDevice("\\\\.\\频道-000"), kInvalidDeviceHandle);
  uint8_t out[4];
  uint32_t returned = 7;
  EXPECT_FALSE(SendDeviceIoControl(12345, 0x222334, nullptr, 0, out, 4, &returned));
  EXPECT_EQ(GetLastDeviceError(), kErrorInvalidParameter);
  EXPECT_EQ(returned, 0u);
  CancelDeviceIo(12345);  // nothing to cancel: no effect
  CloseDevice(12345);
}

TEST(Win32DeviceIo, RequestBytesTravelExactlyBothWays) {
  Opened box;
  ASSERT_NE(box.handle, kInvalidDeviceHandle);
  std::thread server([&] {
    const std::string request = box.device.Receive();
    std::string reply = request;
    for (char& c : reply) c = static_cast<char>(~c);
    box.device.Reply(reply + "\x01\x02");
  });
  const uint8_t in[9] = {0xAA, 0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFA};
  uint8_t out[16] = {};
  uint32_t returned = 0;
  const bool ok = SendDeviceIoControl(box.handle, kTransceive, in, sizeof in, out, sizeof out, &returned, 5000);
  server.join();
  ASSERT_TRUE(ok) << GetLastDeviceError();
  EXPECT_EQ(GetLastDeviceError(), 0u);
  ASSERT_EQ(returned, 11u);
  for (size_t i = 0; i < sizeof in; ++i) EXPECT_EQ(out[i], static_cast<uint8_t>(~in[i])) << i;
  EXPECT_EQ(out[9], 1);
  EXPECT_EQ(out[10], 2);
  EXPECT_EQ(out[11], 0) << "nothing written past the reply";
}

// The buffer shapes of the tuner protocol's requests (input bytes, reply
// bytes): each request's bytes reach the device exactly, and exactly the
// reply's bytes come back.
TEST(Win32DeviceIo, EveryRequestShapeOfTheProtocolTravelsByteExact) {
  struct Shape {
    const char* request;
    uint32_t inSize, replySize;
  };
  const Shape shapes[] = {
      {"bus command frame", kFrameSize, kFrameSize},   {"direct tune", kFrameSize, kDirectReplySize},
      {"direct signal status", kFrameSize, kDirectSignalReplySize},
      {"stream address", 0, kStreamWordSize},          {"stream position", 0, kStreamWordSize},
      {"stop stream", 0, 0},                           {"PID filter", kPidFilterRecordSize, 0},
      {"long frame write", kLongFrameSize, 0},         {"long frame read", kFrameSize, kLongFrameSize},
      {"largest request", kMaxDeviceIoBytes, kMaxDeviceIoBytes},
  };
  Opened box;
  ASSERT_NE(box.handle, kInvalidDeviceHandle);
  uint32_t seed = 1;
  for (const Shape& shape : shapes) {
    std::vector<uint8_t> in(shape.inSize), reply(shape.replySize);
    for (uint8_t& byte : in) byte = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 16);
    for (uint8_t& byte : reply) byte = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 16);
    std::string received;
    std::thread server([&] {
      received = box.device.Receive();
      box.device.Reply(std::string(reply.begin(), reply.end()));
    });
    std::vector<uint8_t> out(shape.replySize + 8, 0x5A);
    uint32_t returned = 99;
    const bool ok = SendDeviceIoControl(box.handle, kTransceive, in.data(), shape.inSize, out.data(),
                                        shape.replySize, &returned, 5000);
    server.join();
    ASSERT_TRUE(ok) << shape.request << ": " << GetLastDeviceError();
    EXPECT_EQ(received, std::string(in.begin(), in.end())) << shape.request;
    ASSERT_EQ(returned, shape.replySize) << shape.request;
    EXPECT_TRUE(std::equal(reply.begin(), reply.end(), out.begin())) << shape.request;
    EXPECT_EQ(out[shape.replySize], 0x5A) << shape.request << ": written past the reply";
  }
}

TEST(Win32DeviceIo, OversizedRequestsAreRefusedBeforeSending) {
  Opened box;
  ASSERT_NE(box.handle, kInvalidDeviceHandle);
  static uint8_t big[kMaxDeviceIoBytes + 1];
  EXPECT_FALSE(SendDeviceIoControl(box.handle, kTransceive, big, sizeof big, nullptr, 0, nullptr));
  EXPECT_EQ(GetLastDeviceError(), kErrorInvalidParameter);
}

TEST(Win32DeviceIo, ASilentDeviceTimesOutAndStaysFailed) {
  Opened box;
  ASSERT_NE(box.handle, kInvalidDeviceHandle);
  const uint8_t in[1] = {0x42};
  uint8_t out[4] = {0x11, 0x22, 0x33, 0x44};
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(SendDeviceIoControl(box.handle, kTransceive, in, 1, out, 4, nullptr, 300));
  EXPECT_EQ(GetLastDeviceError(), kErrorTimeout);
  EXPECT_GE(Elapsed(start), 250u);
  EXPECT_LT(Elapsed(start), 10000u);
  EXPECT_EQ(out[0], 0x11) << "the caller's buffer is untouched";
  // A late reply lands in the connection's block, not in `out`.
  box.device.Receive();
  box.device.Reply("late");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(out[0], 0x11);
  const auto again = std::chrono::steady_clock::now();
  EXPECT_FALSE(SendDeviceIoControl(box.handle, kTransceive, in, 1, out, 4, nullptr, 5000));
  EXPECT_EQ(GetLastDeviceError(), kErrorTimeout);
  EXPECT_LT(Elapsed(again), 1000u) << "a device that did not answer fails at once";
}

TEST(Win32DeviceIo, CancelReleasesAWaitingRequestFromAnotherThread) {
  Opened box;
  ASSERT_NE(box.handle, kInvalidDeviceHandle);
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    CancelDeviceIo(box.handle);
  });
  const uint8_t in[1] = {1};
  uint8_t out[4];
  const auto start = std::chrono::steady_clock::now();
  const bool ok = SendDeviceIoControl(box.handle, kTransceive, in, 1, out, 4, nullptr, 20000);
  canceller.join();
  EXPECT_FALSE(ok);
  EXPECT_EQ(GetLastDeviceError(), kErrorCancelled);
  EXPECT_LT(Elapsed(start), 10000u);
}

TEST(Win32DeviceIo, ADeviceThatGoesAwayStaysGone) {
  Opened box;
  ASSERT_NE(box.handle, kInvalidDeviceHandle);
  std::thread unplug([&] {
    box.device.Receive();
    box.device.Unplug();
  });
  const uint8_t in[1] = {1};
  uint8_t out[4];
  EXPECT_FALSE(SendDeviceIoControl(box.handle, kTransceive, in, 1, out, 4, nullptr, 10000));
  unplug.join();
  EXPECT_EQ(GetLastDeviceError(), kErrorDeviceGone);
  EXPECT_FALSE(SendDeviceIoControl(box.handle, kTransceive, in, 1, out, 4, nullptr, 10000));
  EXPECT_EQ(GetLastDeviceError(), kErrorDeviceGone);
}

// The driver maps its stream ring into the caller and answers the stream
// address request with that mapping's 4-byte address. Stand-in: a shared
// section, one view for the "driver" to write through and one in the caller
// whose address the stand-in device hands back.
TEST(Win32DeviceIo, TheRingTheDriverMapsIsReadThroughTheReturnedAddress) {
  Opened box;
  ASSERT_NE(box.handle, kInvalidDeviceHandle);
  const HANDLE section = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kRingSizeDirect, nullptr);
  ASSERT_NE(section, nullptr);
  auto* driverView = static_cast<uint8_t*>(MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, 0));
  auto* callerView = static_cast<uint8_t*>(MapViewOfFile(section, FILE_MAP_READ, 0, 0, 0));
  ASSERT_TRUE(driverView && callerView && driverView != callerView);
  const auto callerAddress = reinterpret_cast<uintptr_t>(callerView);
  std::thread server([&] {
    box.device.Receive();
    const uint32_t token = static_cast<uint32_t>(callerAddress);
    box.device.Reply(std::string(reinterpret_cast<const char*>(&token), sizeof token));
  });
  uint32_t token = 0;
  uint32_t returned = 0;
  const bool ok = SendDeviceIoControl(box.handle, kTransceive, nullptr, 0, &token, sizeof token, &returned, 5000);
  server.join();
  ASSERT_TRUE(ok) << GetLastDeviceError();
  ASSERT_EQ(returned, kStreamWordSize);
  size_t size = 99;
  const uint8_t* ring = MapStreamRing(box.handle, token, &size);
  EXPECT_EQ(size, 0u) << "the ring's length comes from the model, not the driver";
  if (sizeof(void*) == 4) {
    ASSERT_EQ(ring, callerView);
    for (uint32_t offset : {0u, 188u, kRingSizeDirect - 188}) {
      driverView[offset] = 0x47;
      driverView[offset + 187] = static_cast<uint8_t>(offset);
      EXPECT_EQ(ring[offset], 0x47) << offset;
      EXPECT_EQ(ring[offset + 187], static_cast<uint8_t>(offset)) << offset;
    }
    EXPECT_EQ(MapStreamRing(box.handle, token, nullptr), ring) << "the same token maps to the same base";
  } else {
    EXPECT_EQ(ring, nullptr) << "a 4-byte address is of no use to a 64-bit process";
  }
  EXPECT_EQ(MapStreamRing(box.handle, 0, nullptr), nullptr);
  EXPECT_EQ(MapStreamRing(12345, token, nullptr), nullptr);
  UnmapViewOfFile(callerView);
  UnmapViewOfFile(driverView);
  CloseHandle(section);
}

}  // namespace
