// The device I/O calls over the simulator's sockets: finding devices,
// opening them, requests, cancellation and a device that goes away.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "platform/device_wire.h"
#include "tests/sim/sim_test_util.h"
#include "tests/support/boxsim_process.h"
#include "tests/support/test_env.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kPosition = 0x22233C;
constexpr uint32_t kOpenQuery = 0x222374;

// Waits until the journal holds `count` lines starting with `prefix`: the
// request has reached the box, so the client is blocked in it. A cancel sent
// before that would find nothing in flight.
bool WaitForJournalLines(const BoxSimProcess& box, const std::string& prefix, size_t count) {
  auto deadline = Clock::now() + 20s;
  for (;;) {
    size_t found = 0;
    for (const std::string& line : box.JournalLines()) found += line.rfind(prefix, 0) == 0;
    if (found >= count) return true;
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
}

TEST(DeviceDirectory, ComesFromTheEnvironmentInOrder) {
  ScopedEnv device("VANTREL_DEVICE_DIR", "/x/devices");
  ScopedEnv runtime("XDG_RUNTIME_DIR", "/run/user/7");
  EXPECT_EQ(GetDeviceDirectory(), "/x/devices");
  {
    ScopedEnv unsetDevice("VANTREL_DEVICE_DIR", nullptr);
    EXPECT_EQ(GetDeviceDirectory(), "/run/user/7/vantrel");
    ScopedEnv unsetRuntime("XDG_RUNTIME_DIR", "");
    EXPECT_EQ(GetDeviceDirectory(), "/tmp/vantrel-" + std::to_string(geteuid()));
  }
}

TEST(DeviceDirectory, SimulatorCreatesAPrivateDirectory) {
  BoxSimProcess box({"--kind", "t"});
  ASSERT_TRUE(box.IsRunning());
  struct stat info;
  ASSERT_EQ(stat(box.DeviceDirectory().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  EXPECT_EQ(info.st_uid, geteuid());
}

TEST(Enumeration, FindsTheInterfacesOfAClassByIndex) {
  BoxSimProcess box({"--kind", "bus,a"});
  ASSERT_TRUE(box.IsRunning());
  for (const char* guid : {kInterfaceClassBus, kInterfaceClassBusStream, kInterfaceClassA}) {
    SCOPED_TRACE(guid);
    uint32_t error = 0;
    DeviceInfoSet* set = GetPresentInterfaceDevices(guid, &error);
    ASSERT_NE(set, nullptr);
    EXPECT_TRUE(EnumDeviceInterface(set, 0, &error));
    std::string path;
    ASSERT_TRUE(GetDeviceInterfacePath(set, 0, &path));
    EXPECT_EQ(path, std::string("\\\\?\\") + guid + "#0");
    EXPECT_FALSE(EnumDeviceInterface(set, 1, &error));
    EXPECT_EQ(error, kErrorNoMoreItems);
    EXPECT_FALSE(GetDeviceInterfacePath(set, 1, &path));
    DestroyDeviceInfoSet(set);
    ScopedDevice device(OpenDevice(path));
    EXPECT_TRUE(device.valid());
  }
  // Lower-case GUID text names the same class.
  std::string lower = kInterfaceClassBus;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  ScopedDevice device(OpenInterface(lower));
  EXPECT_TRUE(device.valid());
}

TEST(Enumeration, AbsentClassesAndMissingDirectoryGiveEmptySets) {
  BoxSimProcess box({"--kind", "bus", "--no-stream-interface"});
  ASSERT_TRUE(box.IsRunning());
  uint32_t error = 0;
  for (const char* guid : {kInterfaceClassBusStream, kInterfaceClassA}) {
    DeviceInfoSet* set = GetPresentInterfaceDevices(guid, &error);
    ASSERT_NE(set, nullptr);
    EXPECT_FALSE(EnumDeviceInterface(set, 0, &error));
    EXPECT_EQ(error, kErrorNoMoreItems);
    DestroyDeviceInfoSet(set);
  }
  EXPECT_EQ(OpenDevice(kTunerPathT), kInvalidDeviceHandle);

  ScopedEnv missing("VANTREL_DEVICE_DIR", (box.DeviceDirectory() + "/none").c_str());
  DeviceInfoSet* set = GetPresentInterfaceDevices(kInterfaceClassBus, &error);
  ASSERT_NE(set, nullptr);
  EXPECT_FALSE(EnumDeviceInterface(set, 0, &error));
  EXPECT_EQ(error, kErrorNoMoreItems);
  DestroyDeviceInfoSet(set);
}

TEST(Enumeration, RejectsMalformedClassNames) {
  uint32_t error = 0;
  for (const char* guid : {"", "7377DB61-E3CD-11D2-8A3F-0000F8784422", "{7377DB61-E3CD-11D2-8A3F-0000F878442G}",
                           "{../../etc}"}) {
    EXPECT_EQ(GetPresentInterfaceDevices(guid, &error), nullptr) << guid;
    EXPECT_EQ(error, kErrorInvalidParameter);
  }
  EXPECT_FALSE(EnumDeviceInterface(nullptr, 0, &error));
}

TEST(OpenDevice, FixedPathsAndBadPaths) {
  BoxSimProcess box({"--kind", "t,s"});
  ASSERT_TRUE(box.IsRunning());
  ScopedDevice t(OpenDevice(kTunerPathT));
  ScopedDevice s(OpenDevice(kTunerPathS));
  EXPECT_TRUE(t.valid());
  EXPECT_TRUE(s.valid());
  EXPECT_NE(t.get(), s.get());
  for (const char* path : {"QVUSB-T-000", "\\\\.\\", "\\\\.\\..", "\\\\.\\../QVUSB-T-000",
                           "\\\\.\\QVUSB-X-000", "\\\\?\\.boxsim.lock", "/QVUSB-T-000"}) {
    EXPECT_EQ(OpenDevice(path), kInvalidDeviceHandle) << path;
  }
}

TEST(OpenDevice, RefusesSocketsAndDirectoriesOfAnotherUser) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give a socket to another user";
  BoxSimProcess box({"--kind", "t,bus"});
  ASSERT_TRUE(box.IsRunning());
  const uid_t stranger = 4321;
  std::string socketT = box.DeviceDirectory() + "/QVUSB-T-000";
  std::string socketBus = box.DeviceDirectory() + "/" + std::string(kInterfaceClassBus) + "#0";
  ASSERT_EQ(chown(socketT.c_str(), stranger, stranger), 0);
  ASSERT_EQ(chown(socketBus.c_str(), stranger, stranger), 0);
  EXPECT_EQ(OpenDevice(kTunerPathT), kInvalidDeviceHandle);
  uint32_t error = 0;
  DeviceInfoSet* set = GetPresentInterfaceDevices(kInterfaceClassBus, &error);
  ASSERT_NE(set, nullptr);
  EXPECT_FALSE(EnumDeviceInterface(set, 0, &error));  // not listed at all
  DestroyDeviceInfoSet(set);
  EXPECT_EQ(OpenDevice(std::string("\\\\?\\") + kInterfaceClassBus + "#0"), kInvalidDeviceHandle);

  ASSERT_EQ(chown(socketT.c_str(), 0, 0), 0);
  EXPECT_TRUE(ScopedDevice(OpenDevice(kTunerPathT)).valid());
  ASSERT_EQ(chown(box.DeviceDirectory().c_str(), stranger, stranger), 0);
  EXPECT_EQ(OpenDevice(kTunerPathT), kInvalidDeviceHandle);
  EXPECT_EQ(GetPresentInterfaceDevices(kInterfaceClassBusStream, &error), nullptr);
  EXPECT_EQ(error, kErrorAccessDenied);
  ASSERT_EQ(chown(box.DeviceDirectory().c_str(), 0, 0), 0);
}

TEST(SendDeviceIoControl, FailsOnUnknownHandlesAndOversizedBuffers) {
  BoxSimProcess box({"--kind", "s"});
  ASSERT_TRUE(box.IsRunning());
  DeviceHandle s = OpenDevice(kTunerPathS);
  ASSERT_NE(s, kInvalidDeviceHandle);
  EXPECT_FALSE(Request(0, kPosition, {}, 4));
  EXPECT_FALSE(Request(s + 1, kPosition, {}, 4));
  Bytes big(kMaxDeviceIoBytes + 1);
  EXPECT_FALSE(Request(s, kPosition, big, 4));
  uint32_t returned = 77;
  EXPECT_FALSE(SendDeviceIoControl(s, kPosition, nullptr, 0, nullptr, 4, &returned));
  EXPECT_EQ(returned, 0u);
  Bytes reply;
  EXPECT_TRUE(Request(s, kOpenQuery, {}, 10, &reply));
  EXPECT_EQ(reply.size(), 10u);
  CloseDevice(s);
  EXPECT_FALSE(Request(s, kOpenQuery, {}, 10));
  CloseDevice(s);  // a second close is harmless
  EXPECT_EQ(box.JournalLines().size(), 1u);  // the refused ones never left the program
}

TEST(CancelDeviceIo, ReleasesABlockedRequestAndTheHandleStaysUsable) {
  BoxSimProcess box({"--kind", "s", "--hang", "22233C"});
  ASSERT_TRUE(box.IsRunning());
  ScopedDevice s(OpenDevice(kTunerPathS));
  ASSERT_TRUE(s.valid());
  CancelDeviceIo(s.get());  // nothing in flight: no effect on what follows
  Bytes reply;
  ASSERT_TRUE(Request(s.get(), kOpenQuery, {}, 10, &reply));

  for (int round = 0; round < 3; ++round) {
    auto blocked = std::async(std::launch::async,
                              [&]() { return Request(s.get(), kPosition, {}, 4, nullptr, kWaitForCancel); });
    EXPECT_TRUE(WaitForJournalLines(box, "S 0022233C", static_cast<size_t>(round) + 1));
    EXPECT_EQ(blocked.wait_for(100ms), std::future_status::timeout) << "the request should hang";
    auto cancelledAt = Clock::now();
    CancelDeviceIo(s.get());
    ASSERT_EQ(blocked.wait_for(5s), std::future_status::ready);
    EXPECT_LT(Clock::now() - cancelledAt, 4s);
    EXPECT_FALSE(blocked.get());
    // The next request gets its own reply, not a late one.
    Bytes query;
    EXPECT_TRUE(Request(s.get(), kOpenQuery, {}, 10, &query));
    EXPECT_EQ(query, reply);
  }
}

TEST(SendDeviceIoControl, ARequestNotAnsweredInTimeFailsAndTheBoxCountsAsNotAnswering) {
  BoxSimProcess box({"--kind", "s", "--hang", "22233C"});
  ASSERT_TRUE(box.IsRunning());
  ScopedDevice s(OpenDevice(kTunerPathS));
  ASSERT_TRUE(s.valid());
  const auto start = Clock::now();
  EXPECT_FALSE(Request(s.get(), kPosition, {}, 4, nullptr, 300));
  EXPECT_EQ(GetLastDeviceError(), kErrorTimeout);
  // poll() counts whole milliseconds on a clock of its own: a little early is still the limit.
  EXPECT_GE(Clock::now() - start, 290ms);
  EXPECT_LT(Clock::now() - start, 5s);
  // From then on every request fails at once, without being sent.
  EXPECT_FALSE(Request(s.get(), kOpenQuery, {}, 10));
  EXPECT_EQ(GetLastDeviceError(), kErrorTimeout);
  EXPECT_EQ(box.JournalLines().size(), 1u);
}

TEST(CloseDevice, FromAnotherThreadReleasesABlockedRequest) {
  BoxSimProcess box({"--kind", "s", "--hang", "22233C"});
  ASSERT_TRUE(box.IsRunning());
  DeviceHandle s = OpenDevice(kTunerPathS);
  ASSERT_NE(s, kInvalidDeviceHandle);
  auto blocked = std::async(std::launch::async, [&]() { return Request(s, kPosition, {}, 4, nullptr, kWaitForCancel); });
  EXPECT_TRUE(WaitForJournalLines(box, "S 0022233C", 1));
  EXPECT_EQ(blocked.wait_for(100ms), std::future_status::timeout);
  CloseDevice(s);
  ASSERT_EQ(blocked.wait_for(5s), std::future_status::ready);
  EXPECT_FALSE(blocked.get());
  EXPECT_FALSE(Request(s, kOpenQuery, {}, 10));
}

TEST(SendDeviceIoControl, HandlesWorkConcurrently) {
  // One handle hangs; the other keeps answering meanwhile, from several threads.
  BoxSimProcess box({"--kind", "t,s", "--hang", "22233C"});
  ASSERT_TRUE(box.IsRunning());
  ScopedDevice t(OpenDevice(kTunerPathT));
  ScopedDevice s(OpenDevice(kTunerPathS));
  ASSERT_TRUE(t.valid() && s.valid());
  auto blocked =
      std::async(std::launch::async, [&]() { return Request(t.get(), kPosition, {}, 4, nullptr, kWaitForCancel); });
  std::atomic<int> answered{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < 4; ++w) {
    workers.emplace_back([&]() {
      for (int i = 0; i < 50; ++i) {
        Bytes reply;
        if (Request(s.get(), kOpenQuery, {}, 10, &reply) && reply.size() == 10) answered.fetch_add(1);
      }
    });
  }
  for (auto& worker : workers) worker.join();
  EXPECT_EQ(answered.load(), 200);
  EXPECT_TRUE(WaitForJournalLines(box, "T 0022233C", 1));
  EXPECT_EQ(blocked.wait_for(0s), std::future_status::timeout);
  CancelDeviceIo(t.get());
  EXPECT_FALSE(blocked.get());
}

TEST(DeviceGone, KilledSimulatorFailsPendingAndLaterRequests) {
  BoxSimProcess box({"--kind", "bus", "--hang", "AABB2980"});
  ASSERT_TRUE(box.IsRunning());
  ScopedDevice bus(OpenInterface(kInterfaceClassBus));
  ScopedDevice stream(OpenInterface(kInterfaceClassBusStream));
  ASSERT_TRUE(bus.valid() && stream.valid());
  auto pending =
      std::async(std::launch::async, [&]() { return Request(bus.get(), 0xAABB2980, {}, 0, nullptr, kWaitForCancel); });
  EXPECT_TRUE(WaitForJournalLines(box, "BUS AABB2980", 1));
  EXPECT_EQ(pending.wait_for(100ms), std::future_status::timeout);
  auto killedAt = Clock::now();
  box.Kill();
  ASSERT_EQ(pending.wait_for(5s), std::future_status::ready);
  EXPECT_LT(Clock::now() - killedAt, 4s);
  EXPECT_FALSE(pending.get());
  EXPECT_FALSE(Request(bus.get(), 0xAABB2880, CommandFrame({0x00, 0x06, 0, 0, 0, 0, 0}), 9));
  EXPECT_FALSE(Request(stream.get(), 0xDDFF2C80, {}, 4));
  // Its sockets stay behind, but nobody answers them.
  EXPECT_EQ(OpenInterface(kInterfaceClassBus), kInvalidDeviceHandle);
}

TEST(DeviceGone, StoppedSimulatorFailsLaterRequests) {
  BoxSimProcess box({"--kind", "t"});
  ASSERT_TRUE(box.IsRunning());
  ScopedDevice t(OpenDevice(kTunerPathT));
  ASSERT_TRUE(t.valid());
  ASSERT_TRUE(Request(t.get(), kPosition, {}, 4));
  EXPECT_EQ(box.Stop(), 0);
  EXPECT_FALSE(Request(t.get(), kPosition, {}, 4));
  EXPECT_EQ(OpenDevice(kTunerPathT), kInvalidDeviceHandle);
}

}  // namespace
