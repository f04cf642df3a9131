// The Win32 device layer against a kernel driver that plays the tuner boxes
// (fake_driver/, loaded by wine's winedevice.exe): found by SetupDi and by
// the fixed paths, real I/O-control codes with buffered transfer, a held
// request cancelled in the driver by CancelIoEx, and boxes that go away.
// The driver records each request, so the bytes it received are checked.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "fake_tuner_control.h"
#include "platform/device_io.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr const char* kGuidA = "{FCB41FCF-AB28-4E01-AB0E-E7FA22B753C0}";
constexpr const char* kGuidBus = "{7377DB61-E3CD-11D2-8A3F-0000F8784422}";
constexpr const char* kGuidBusStream = "{E18D1721-70B5-4DE7-83B3-35436E3954ED}";
constexpr int32_t kStatusDeviceDoesNotExist = static_cast<int32_t>(0xC00000C0);

// The driver's control device: scripts the boxes and reads what they got.
class Driver {
public:
  Driver() {
    handle_ = CreateFileA(FAKE_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  }
  ~Driver() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  bool Ready() const { return handle_ != INVALID_HANDLE_VALUE; }
  bool Call(uint32_t code, const void* in, uint32_t inSize, void* out = nullptr, uint32_t outSize = 0) {
    DWORD got = 0;
    return DeviceIoControl(handle_, code, const_cast<void*>(in), inSize, out, outSize, &got, nullptr) != FALSE;
  }
  bool Reset() { return Call(FAKE_CTL_RESET, nullptr, 0); }
  bool Behave(uint32_t kindMask, FakeMode mode, uint32_t delayMs = 0, int32_t status = 0, uint32_t returned = 0,
              uint32_t count = 0) {
    const FakeBehaviour behaviour{kindMask, static_cast<uint32_t>(mode), delayMs, status, returned, count};
    return Call(FAKE_CTL_BEHAVE, &behaviour, sizeof behaviour);
  }
  bool SetReply(uint32_t code, const Bytes& bytes) {
    FakeReply reply{};
    reply.code = code;
    reply.size = static_cast<uint32_t>(bytes.size());
    std::memcpy(reply.bytes, bytes.data(), bytes.size());
    return Call(FAKE_CTL_SET_REPLY, &reply, sizeof reply);
  }
  std::vector<FakeLogEntry> TakeLog() {
    static FakeLog log;
    if (!Call(FAKE_CTL_TAKE_LOG, nullptr, 0, &log, sizeof log)) return {};
    return std::vector<FakeLogEntry>(log.entries, log.entries + log.count);
  }
  bool Unplug(uint32_t kindMask, int32_t status) {
    const FakeUnplug unplug{kindMask, status};
    return Call(FAKE_CTL_UNPLUG, &unplug, sizeof unplug);
  }
  bool Plug(uint32_t kindMask) { return Call(FAKE_CTL_PLUG, &kindMask, sizeof kindMask); }
  uint32_t Held() {
    uint32_t count = 99;
    Call(FAKE_CTL_HELD, nullptr, 0, &count, sizeof count);
    return count;
  }

private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// The path of interface 0 of a class, found as the layer finds it.
std::string InterfacePath(const char* guid) {
  uint32_t error = 0;
  DeviceInfoSet* set = GetPresentInterfaceDevices(guid, &error);
  if (!set) return {};
  std::string path;
  if (!EnumDeviceInterface(set, 0, &error) || !GetDeviceInterfacePath(set, 0, &path)) path.clear();
  DestroyDeviceInfoSet(set);
  return path;
}

std::string PathOf(uint32_t kind) {
  switch (kind) {
    case kFakeKindT:
      return "\\\\.\\QVUSB-T-000";
    case kFakeKindS:
      return "\\\\.\\QVUSB-S-000";
    case kFakeKindA:
      return InterfacePath(kGuidA);
    case kFakeKindBus:
      return InterfacePath(kGuidBus);
    default:
      return InterfacePath(kGuidBusStream);
  }
}

uint32_t ElapsedMs(std::chrono::steady_clock::time_point start) {
  return static_cast<uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
}

class DriverTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(driver.Ready()) << "the fake tuner driver is not running (windows_fake_tuner_driver_install)";
    ASSERT_TRUE(driver.Reset());
  }
  void TearDown() override {
    for (DeviceHandle handle : opened) CloseDevice(handle);
    if (driver.Ready()) driver.Reset();
  }
  DeviceHandle Open(uint32_t kind) {
    const DeviceHandle handle = OpenDevice(PathOf(kind));
    if (handle != kInvalidDeviceHandle) opened.push_back(handle);
    return handle;
  }
  Driver driver;
  std::vector<DeviceHandle> opened;
};

TEST_F(DriverTest, EachBoxIsFoundWhereTheDriverPublishesIt) {
  struct Case {
    uint32_t kind;
    const char* guid;  // null: a fixed path
  };
  const Case cases[] = {{kFakeKindT, nullptr},     {kFakeKindS, nullptr},
                        {kFakeKindA, kGuidA},      {kFakeKindBus, kGuidBus},
                        {kFakeKindBusStream, kGuidBusStream}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    if (c.guid) {
      uint32_t error = 0;
      DeviceInfoSet* set = GetPresentInterfaceDevices(c.guid, &error);
      ASSERT_NE(set, nullptr) << error;
      EXPECT_TRUE(EnumDeviceInterface(set, 0, &error)) << error;
      EXPECT_FALSE(EnumDeviceInterface(set, 1, &error));
      EXPECT_EQ(error, kErrorNoMoreItems);
      std::string path;
      ASSERT_TRUE(GetDeviceInterfacePath(set, 0, &path));
      EXPECT_EQ(path.rfind("\\\\?\\", 0), 0u) << path;
      std::string lower = c.guid;
      for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
      EXPECT_NE(path.find(lower), std::string::npos) << path;
      EXPECT_FALSE(GetDeviceInterfacePath(set, 1, &path));
      DestroyDeviceInfoSet(set);
    }
    const DeviceHandle handle = Open(c.kind);
    ASSERT_NE(handle, kInvalidDeviceHandle);
    // The handle reaches the box of that kind: the driver logs the kind.
    uint8_t word[4];
    const uint32_t code = c.kind == kFakeKindBusStream ? 0xDDFF2C80 : c.kind == kFakeKindBus ? 0xDDFF2C40 : 0x22233C;
    SendDeviceIoControl(handle, code, nullptr, 0, word, c.kind == kFakeKindBus ? 0 : 4, nullptr, 5000);
    const std::vector<FakeLogEntry> log = driver.TakeLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].kind, c.kind);
  }
}

// Every request of the boxes' request sets, with the buffers the device
// layer passes: the driver gets exactly these bytes and sizes, and exactly
// its reply comes back.
TEST_F(DriverTest, EveryRequestOfTheSetsArrivesAndReturnsByteExact) {
  struct Case {
    const char* what;
    uint32_t kind, code;
    Bytes in;
    uint32_t outSize;
  };
  const Bytes frame = {0xAA, 0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFA};
  const Bytes tune = {0x09, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0xE4};
  const Bytes signalInput = {0x0A, 0x0A, 0x0B, 0x0C, 0x09, 0x00, 0x00, 0x00, 0x00};
  Bytes pid(18, 0);
  pid[0] = 0xFF, pid[1] = 0x1F, pid[16] = 0x01;
  Bytes longFrame(256, 0);
  for (int i = 0; i < 11; ++i) longFrame[i] = static_cast<uint8_t>(0xA0 + i);
  const Case cases[] = {
      {"T tune", kFakeKindT, 0x222328, tune, 0},
      {"T stop", kFakeKindT, 0x222338, {}, 0},
      {"T signal", kFakeKindT, 0x22234C, signalInput, 3},
      {"A tune", kFakeKindA, 0x222328, tune, 0},
      {"A start", kFakeKindA, 0x222358, {0x02}, 0},
      {"A PID filter", kFakeKindA, 0x222344, pid, 0},
      {"S DiSEqC", kFakeKindS, 0x222320, frame, 10},
      {"S tune", kFakeKindS, 0x222328, tune, 10},
      {"S start", kFakeKindS, 0x222358, {}, 0},
      {"S signal", kFakeKindS, 0x22234C, signalInput, 3},
      {"S open query", kFakeKindS, 0x222374, {}, 10},
      {"S PID filter", kFakeKindS, 0x222344, pid, 0},
      {"bus model code", kFakeKindBus, 0xAABB2880, frame, 9},
      {"bus tone", kFakeKindBus, 0xAABB2880, frame, 0},
      {"bus tune", kFakeKindBus, 0xAABB2900, tune, 9},
      {"bus tune, settings record", kFakeKindBus, 0xAABB2900, tune, 332},
      {"bus poll", kFakeKindBus, 0xAABB2980, {}, 0},
      {"bus poll with frame", kFakeKindBus, 0xAABB2980, tune, 0},
      {"bus read back", kFakeKindBus, 0xAABB2A00, tune, 332},
      {"bus long write", kFakeKindBus, 0xAABB2A04, longFrame, 0},
      {"bus long read", kFakeKindBus, 0xAABB2A08, {}, 256},
      {"bus stop", kFakeKindBus, 0xDDFF2C40, {}, 0},
  };
  uint32_t seed = 7;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes reply(c.outSize);
    for (uint8_t& byte : reply) byte = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 16);
    ASSERT_TRUE(driver.SetReply(c.code, reply));
    const DeviceHandle handle = Open(c.kind);
    ASSERT_NE(handle, kInvalidDeviceHandle);
    Bytes out(c.outSize + 8, 0x5A);
    uint32_t returned = 99;
    ASSERT_TRUE(SendDeviceIoControl(handle, c.code, c.in.empty() ? nullptr : c.in.data(),
                                    static_cast<uint32_t>(c.in.size()), out.data(), c.outSize, &returned, 5000))
        << GetLastDeviceError();
    EXPECT_EQ(returned, c.outSize);
    EXPECT_TRUE(std::equal(reply.begin(), reply.end(), out.begin()));
    EXPECT_EQ(out[c.outSize], 0x5A) << "written past the reply";
    const std::vector<FakeLogEntry> log = driver.TakeLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].kind, c.kind);
    EXPECT_EQ(log[0].code, c.code);
    EXPECT_EQ(log[0].inSize, c.in.size());
    EXPECT_EQ(log[0].outSize, c.outSize);
    EXPECT_EQ(Bytes(log[0].in, log[0].in + c.in.size()), c.in);
  }
}

// The stream ring. The driver cannot map its pages into this process under
// wine, so it writes a named section that the test maps and whose address
// it hands back as the stream-address reply, as the boxes' drivers do.
TEST_F(DriverTest, TheStreamAddressAndPositionLeadToTheRingTheDriverWrites) {
  const HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, FAKE_RING_BYTES,
                                            FAKE_RING_SECTION_USER);
  ASSERT_NE(mapping, nullptr) << GetLastError();
  const auto* view = static_cast<const uint8_t*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
  ASSERT_NE(view, nullptr);
  const uint32_t token = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(view));
  const FakeRing ring{token, FAKE_RING_BYTES};
  ASSERT_TRUE(driver.Call(FAKE_CTL_RING, &ring, sizeof ring));
  uint32_t written = 0, packets = 10;
  ASSERT_TRUE(driver.Call(FAKE_CTL_FEED, &packets, 4, &written, 4));
  EXPECT_EQ(written, 1880u);

  struct Case {
    uint32_t kind, addressCode, positionCode;
  };
  for (const Case& c : {Case{kFakeKindT, 0x222334, 0x22233C}, Case{kFakeKindA, 0x222334, 0x22233C},
                        Case{kFakeKindS, 0x222334, 0x22233C}, Case{kFakeKindBusStream, 0xDDFF2C00, 0xDDFF2C80}}) {
    SCOPED_TRACE(c.kind);
    const DeviceHandle handle = Open(c.kind);
    ASSERT_NE(handle, kInvalidDeviceHandle);
    uint32_t address = 0, position = 0, returned = 0;
    ASSERT_TRUE(SendDeviceIoControl(handle, c.addressCode, nullptr, 0, &address, 4, &returned, 5000));
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(address, token);
    ASSERT_TRUE(SendDeviceIoControl(handle, c.positionCode, nullptr, 0, &position, 4, &returned, 5000));
    EXPECT_EQ(position, written);
    const uint8_t* mapped = MapStreamRing(handle, address, nullptr);
    if (sizeof(void*) == 4) {
      ASSERT_EQ(mapped, view);
      EXPECT_EQ(MapStreamRing(handle, address, nullptr), mapped) << "the same token maps to the same base";
    } else {
      EXPECT_EQ(mapped, nullptr) << "a 4-byte address is of no use to a 64-bit process";
      mapped = view;  // what the ring holds, read where the test mapped it
    }
    for (uint32_t packet = 0; packet < 10; ++packet) {
      EXPECT_EQ(mapped[packet * 188], 0x47) << packet;
      EXPECT_EQ(mapped[packet * 188 + 2], packet) << packet;
    }
  }
  UnmapViewOfFile(view);
  CloseHandle(mapping);
}

TEST_F(DriverTest, RequestsOutsideTheBoxsSetFailAsRefused) {
  struct Case {
    uint32_t kind, code, inSize, outSize;
  };
  const Case cases[] = {
      {kFakeKindT, 0x222328, 8, 0},        // short tuning frame
      {kFakeKindT, 0x222358, 0, 0},        // the T-path has no start request
      {kFakeKindBus, 0xAABB2880, 9, 4},    // reply of a size no command has
      {kFakeKindBusStream, 0xDDFF2C40, 0, 0},  // stop goes to the bus handle
      {kFakeKindA, 0xAABB2880, 9, 9},      // a bus request on a direct box
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    const DeviceHandle handle = Open(c.kind);
    ASSERT_NE(handle, kInvalidDeviceHandle);
    uint8_t in[16] = {}, out[16] = {};
    EXPECT_FALSE(SendDeviceIoControl(handle, c.code, in, c.inSize, out, c.outSize, nullptr, 5000));
    EXPECT_EQ(GetLastDeviceError(), kErrorGenFailure);
    uint8_t word[4];
    EXPECT_TRUE(SendDeviceIoControl(handle, c.kind == kFakeKindBus ? 0xDDFF2C40 : c.kind == kFakeKindBusStream
                                                                                     ? 0xDDFF2C80
                                                                                     : 0x22233C,
                                    nullptr, 0, word, c.kind == kFakeKindBus ? 0 : 4, nullptr, 5000))
        << "a refused request leaves the handle usable";
  }
}

// How the driver's failure statuses reach the caller, and which of them
// leave the handle failing.
TEST_F(DriverTest, DriverFailuresBecomeTheLayersErrors) {
  struct Case {
    const char* what;
    uint32_t status;
    uint32_t error;
    bool sticks;
  };
  const Case cases[] = {
      {"device does not exist", 0xC00000C0, kErrorDeviceGone, true},
      {"device not connected", 0xC000009D, kErrorDeviceGone, true},
      {"no such device", 0xC000000E, kErrorDeviceGone, true},
      {"device removed", 0xC00002B6, kErrorDeviceGone, true},
      {"delete pending", 0xC0000056, kErrorDeviceGone, true},
      {"busy", 0x80000011, kErrorBusy, false},
      {"not ready", 0xC00000A3, kErrorGenFailure, false},
      {"unsuccessful", 0xC0000001, kErrorGenFailure, false},
      {"cancelled", 0xC0000120, kErrorCancelled, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const DeviceHandle handle = Open(kFakeKindBus);
    ASSERT_NE(handle, kInvalidDeviceHandle);
    ASSERT_TRUE(driver.Behave(FAKE_KIND_BIT(kFakeKindBus), kFakeFail, 0, static_cast<int32_t>(c.status), 0, 1));
    const uint8_t frame[9] = {0xAA, 0x00, 0x06, 0, 0, 0, 0, 0, 0xFA};
    uint8_t out[9] = {};
    uint32_t returned = 7;
    EXPECT_FALSE(SendDeviceIoControl(handle, 0xAABB2880, frame, 9, out, 9, &returned, 5000));
    EXPECT_EQ(GetLastDeviceError(), c.error);
    EXPECT_EQ(returned, 0u);
    const bool again = SendDeviceIoControl(handle, 0xAABB2880, frame, 9, out, 9, nullptr, 5000);
    EXPECT_EQ(again, !c.sticks);
    if (c.sticks) {
      EXPECT_EQ(GetLastDeviceError(), kErrorDeviceGone);
      EXPECT_EQ(driver.TakeLog().size(), 1u) << "a gone device is not asked again";
    }
    driver.TakeLog();
  }
}

TEST_F(DriverTest, ShortRepliesReportTheBytesTheDriverReturned) {
  for (uint32_t shortBy : {0u, 1u, 3u, 8u}) {
    SCOPED_TRACE(shortBy);
    const DeviceHandle handle = Open(kFakeKindBus);
    ASSERT_NE(handle, kInvalidDeviceHandle);
    const Bytes reply = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    ASSERT_TRUE(driver.SetReply(0xAABB2880, reply));
    ASSERT_TRUE(driver.Behave(FAKE_KIND_BIT(kFakeKindBus), kFakeShort, 0, 0, 9 - shortBy, 1));
    const uint8_t frame[9] = {0xAA, 0x00, 0x05, 0, 0, 0, 0, 0, 0xFB};
    uint8_t out[9];
    std::memset(out, 0xEE, sizeof out);
    uint32_t returned = 99;
    ASSERT_TRUE(SendDeviceIoControl(handle, 0xAABB2880, frame, 9, out, 9, &returned, 5000));
    EXPECT_EQ(returned, 9 - shortBy);
    for (uint32_t i = 0; i < 9 - shortBy; ++i) EXPECT_EQ(out[i], reply[i]) << i;
    for (uint32_t i = 9 - shortBy; i < 9; ++i) EXPECT_EQ(out[i], 0xEE) << "byte " << i << " was not returned";
  }
}

TEST_F(DriverTest, ALateReplyWithinTheLimitArrives) {
  const DeviceHandle handle = Open(kFakeKindT);
  ASSERT_NE(handle, kInvalidDeviceHandle);
  ASSERT_TRUE(driver.SetReply(0x22234C, {0x11, 0x22, 0x33}));
  ASSERT_TRUE(driver.Behave(FAKE_KIND_BIT(kFakeKindT), kFakeLate, 400, 0, 0, 1));
  const uint8_t input[9] = {0x0A, 0x0A, 0x0B, 0x0C, 0x09, 0, 0, 0, 0};
  uint8_t out[3] = {};
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(SendDeviceIoControl(handle, 0x22234C, input, 9, out, 3, nullptr, 10000)) << GetLastDeviceError();
  EXPECT_GE(ElapsedMs(start), 350u);
  EXPECT_EQ(out[0], 0x11);
  EXPECT_EQ(out[2], 0x33);
}

TEST_F(DriverTest, AReplyAfterTheLimitTimesOutAndTheBoxStaysSilent) {
  const DeviceHandle handle = Open(kFakeKindT);
  ASSERT_NE(handle, kInvalidDeviceHandle);
  ASSERT_TRUE(driver.SetReply(0x22234C, {0x11, 0x22, 0x33}));
  ASSERT_TRUE(driver.Behave(FAKE_KIND_BIT(kFakeKindT), kFakeLate, 2000, 0, 0, 1));
  const uint8_t input[9] = {0x0A, 0x0A, 0x0B, 0x0C, 0x09, 0, 0, 0, 0};
  uint8_t out[3] = {0xC1, 0xC2, 0xC3};
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(SendDeviceIoControl(handle, 0x22234C, input, 9, out, 3, nullptr, 300));
  EXPECT_EQ(GetLastDeviceError(), kErrorTimeout);
  EXPECT_GE(ElapsedMs(start), 250u);
  EXPECT_LT(ElapsedMs(start), 5000u);
  EXPECT_EQ(driver.Held(), 0u) << "the timed-out request was cancelled in the driver";
  EXPECT_EQ(out[0], 0xC1) << "the caller's buffer is untouched";
  const auto again = std::chrono::steady_clock::now();
  EXPECT_FALSE(SendDeviceIoControl(handle, 0x22234C, input, 9, out, 3, nullptr, 5000));
  EXPECT_EQ(GetLastDeviceError(), kErrorTimeout);
  EXPECT_LT(ElapsedMs(again), 1000u) << "a box that did not answer fails at once";
}

// A request the driver holds is released by each way of giving up on it;
// the driver's cancel routine completes it, and it holds nothing after.
TEST_F(DriverTest, AHeldRequestIsCancelledInTheDriver) {
  enum How { kCancelCall, kClose, kTimeLimit };
  struct Case {
    const char* what;
    How how;
    uint32_t error;
  };
  const Case cases[] = {{"CancelDeviceIo", kCancelCall, kErrorCancelled},
                        {"CloseDevice", kClose, kErrorCancelled},
                        {"time limit", kTimeLimit, kErrorTimeout}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const DeviceHandle handle = OpenDevice(PathOf(kFakeKindA));
    ASSERT_NE(handle, kInvalidDeviceHandle);
    const DeviceHandle other = Open(kFakeKindBus);
    ASSERT_NE(other, kInvalidDeviceHandle);
    ASSERT_TRUE(driver.Behave(FAKE_KIND_BIT(kFakeKindA), kFakeHold));
    std::thread giveUp([&] {
      for (int i = 0; i < 200 && driver.Held() == 0; ++i) Sleep(10);
      // Another handle is served while this one waits.
      EXPECT_TRUE(SendDeviceIoControl(other, 0xDDFF2C40, nullptr, 0, nullptr, 0, nullptr, 5000));
      if (c.how == kCancelCall) CancelDeviceIo(handle);
      if (c.how == kClose) CloseDevice(handle);
    });
    const uint8_t start[1] = {0x02};
    const auto begun = std::chrono::steady_clock::now();
    EXPECT_FALSE(SendDeviceIoControl(handle, 0x222358, start, 1, nullptr, 0, nullptr,
                                     c.how == kTimeLimit ? 500 : 20000));
    const uint32_t error = GetLastDeviceError();
    giveUp.join();
    EXPECT_EQ(error, c.error);
    EXPECT_LT(ElapsedMs(begun), 10000u);
    for (int i = 0; i < 100 && driver.Held() != 0; ++i) Sleep(10);
    EXPECT_EQ(driver.Held(), 0u);
    ASSERT_TRUE(driver.Behave(0, kFakeNormal));
    if (c.how == kCancelCall) {
      EXPECT_TRUE(SendDeviceIoControl(handle, 0x222358, start, 1, nullptr, 0, nullptr, 5000))
          << "a cancelled request leaves the handle usable";
    }
    if (c.how != kClose) CloseDevice(handle);
  }
}

// A second request on a handle waits for the first: the driver never sees
// it while the first is held, and it goes out once the first is cancelled.
TEST_F(DriverTest, RequestsOnOneHandleAreServedOneAtATime) {
  const DeviceHandle handle = Open(kFakeKindBus);
  ASSERT_NE(handle, kInvalidDeviceHandle);
  ASSERT_TRUE(driver.Behave(FAKE_KIND_BIT(kFakeKindBus), kFakeHold, 0, 0, 0, 1));
  bool firstOk = true;
  uint32_t firstError = 0;
  std::thread first([&] {
    firstOk = SendDeviceIoControl(handle, 0xDDFF2C40, nullptr, 0, nullptr, 0, nullptr, 20000);
    firstError = GetLastDeviceError();
  });
  for (int i = 0; i < 200 && driver.Held() == 0; ++i) Sleep(10);
  ASSERT_EQ(driver.Held(), 1u);
  bool secondOk = false;
  std::thread second([&] { secondOk = SendDeviceIoControl(handle, 0xDDFF2C40, nullptr, 0, nullptr, 0, nullptr, 20000); });
  Sleep(300);
  EXPECT_EQ(driver.TakeLog().size(), 1u) << "the second request reached the driver while the first was held";
  CancelDeviceIo(handle);
  first.join();
  second.join();
  EXPECT_FALSE(firstOk);
  EXPECT_EQ(firstError, kErrorCancelled);
  EXPECT_TRUE(secondOk) << "the cancel was meant for the first request only";
  EXPECT_EQ(driver.TakeLog().size(), 1u);
}

// Unplugging: the request waiting in the driver fails as gone, the handle
// stays gone, the box is no longer found, and found again when plugged.
TEST_F(DriverTest, AnUnpluggedBoxFailsItsRequestsAndIsNoLongerFound) {
  for (uint32_t kind : {uint32_t{kFakeKindT}, uint32_t{kFakeKindS}, uint32_t{kFakeKindA}, uint32_t{kFakeKindBus},
                        uint32_t{kFakeKindBusStream}}) {
    SCOPED_TRACE(kind);
    const std::string path = PathOf(kind);
    const DeviceHandle handle = Open(kind);
    ASSERT_NE(handle, kInvalidDeviceHandle);
    ASSERT_TRUE(driver.Behave(FAKE_KIND_BIT(kind), kFakeHold));
    std::thread unplug([&] {
      for (int i = 0; i < 200 && driver.Held() == 0; ++i) Sleep(10);
      driver.Unplug(FAKE_KIND_BIT(kind), kStatusDeviceDoesNotExist);
    });
    const uint32_t code = kind == kFakeKindBus ? 0xDDFF2C40 : kind == kFakeKindBusStream ? 0xDDFF2C80 : 0x22233C;
    const uint32_t outSize = kind == kFakeKindBus ? 0 : 4;
    uint8_t word[4];
    EXPECT_FALSE(SendDeviceIoControl(handle, code, nullptr, 0, word, outSize, nullptr, 20000));
    unplug.join();
    EXPECT_EQ(GetLastDeviceError(), kErrorDeviceGone);
    EXPECT_FALSE(SendDeviceIoControl(handle, code, nullptr, 0, word, outSize, nullptr, 5000));
    EXPECT_EQ(GetLastDeviceError(), kErrorDeviceGone);
    if (kind >= kFakeKindA) {
      EXPECT_EQ(PathOf(kind), "") << "an unplugged interface is not present";
    } else {
      const DeviceHandle reopened = OpenDevice(path);
      EXPECT_EQ(reopened, kInvalidDeviceHandle);
      if (reopened != kInvalidDeviceHandle) CloseDevice(reopened);
    }
    ASSERT_TRUE(driver.Behave(0, kFakeNormal));
    ASSERT_TRUE(driver.Plug(FAKE_KIND_BIT(kind)));
    const DeviceHandle back = Open(kind);
    ASSERT_NE(back, kInvalidDeviceHandle) << "plugged in again";
    EXPECT_TRUE(SendDeviceIoControl(back, code, nullptr, 0, word, outSize, nullptr, 5000)) << GetLastDeviceError();
  }
}

}  // namespace
