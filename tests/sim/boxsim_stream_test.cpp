// The stream ring: mapped from the simulator's shared memory, filled with the
// looped stream file at the bitrate while started and locked, and the faults
// that stall it or unplug the box.
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "boxserver/stream_ring.h"
#include "tests/sim/sim_test_util.h"
#include "tests/support/boxsim_process.h"
#include "tests/support/run_cli.h"
#include "tests/support/test_env.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr size_t kDirectRing = 3133440;
constexpr size_t kBusRing = 3130380;
constexpr size_t kPacket = 188;

// Packets that tell where they are: 47 1F FF 10, the packet index (32 bits,
// most significant first), then filler that depends on the index.
Bytes IndexedPackets(uint32_t count) {
  Bytes bytes;
  bytes.reserve(count * kPacket);
  for (uint32_t k = 0; k < count; ++k) {
    uint8_t packet[kPacket] = {0x47, 0x1F, 0xFF, 0x10, static_cast<uint8_t>(k >> 24),
                               static_cast<uint8_t>(k >> 16), static_cast<uint8_t>(k >> 8),
                               static_cast<uint8_t>(k)};
    for (size_t j = 8; j < kPacket; ++j) packet[j] = static_cast<uint8_t>(k * 7 + j);
    bytes.insert(bytes.end(), packet, packet + kPacket);
  }
  return bytes;
}

class StreamFile {
public:
  explicit StreamFile(uint32_t packets) : bytes(IndexedPackets(packets)) {
    WriteFileBytes(path(), std::string(bytes.begin(), bytes.end()));
  }
  std::string path() const { return dir_.File("stream.ts"); }
  Bytes bytes;

private:
  TempDir dir_;
};

uint32_t Position(DeviceHandle handle, uint32_t code) {
  Bytes reply;
  EXPECT_TRUE(Request(handle, code, {}, 4, &reply));
  return ReplyWord(reply);
}

// Polls the write offset until it reaches `least` (true) or 20 s pass: the
// writer is a thread of its own that a busy machine may hold back a while.
bool WaitForPosition(DeviceHandle handle, uint32_t code, uint32_t least, uint32_t* position) {
  auto deadline = Clock::now() + 20s;
  for (;;) {
    *position = Position(handle, code);
    if (*position >= least) return true;
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
}

// Starts the stream (the request that yields the ring) and maps the ring.
const uint8_t* StartAndMap(DeviceHandle handle, uint32_t code, size_t* size) {
  Bytes reply;
  if (!Request(handle, code, {}, 4, &reply) || reply.size() != 4) return nullptr;
  return MapStreamRing(handle, ReplyWord(reply), size);
}

// The first `count` ring bytes equal the looped file from its start.
::testing::AssertionResult RingHoldsFileFromStart(const uint8_t* ring, size_t count, const Bytes& file) {
  for (size_t i = 0; i < count; ++i) {
    if (ring[i] != file[i % file.size()]) {
      return ::testing::AssertionFailure() << "ring byte " << i << " differs";
    }
  }
  return ::testing::AssertionSuccess();
}

TEST(StreamRing, AdvancesAtTheBitrateWithTheFileBytesWhileOthersAsk) {
  StreamFile file(2000);  // 376,000 bytes: a second of stream loops it
  BoxSimProcess sim({"--kind", "t,s", "--lock-ms", "0", "--stream", file.path(), "--bitrate", "8000000"});
  ASSERT_TRUE(sim.IsRunning());
  ScopedDevice t(OpenDevice(kTunerPathT));
  ASSERT_TRUE(Request(t.get(), 0x222328, FromHex("09073B900008000026"), 0));
  size_t size = 0;
  const uint8_t* ring = StartAndMap(t.get(), 0x222334, &size);
  ASSERT_NE(ring, nullptr);
  EXPECT_EQ(size, kDirectRing);

  // Busy clients on the other box must not slow the writer down.
  std::atomic<bool> stop{false};
  std::vector<std::thread> clients;
  for (int c = 0; c < 4; ++c) {
    clients.emplace_back([&]() {
      ScopedDevice s(OpenDevice(kTunerPathS));
      while (!stop.load()) Request(s.get(), 0x22233C, {}, 4);
    });
  }
  std::this_thread::sleep_for(100ms);
  auto start = Clock::now();
  uint32_t first = Position(t.get(), 0x22233C);
  std::this_thread::sleep_for(2000ms);
  uint32_t last = Position(t.get(), 0x22233C);
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  stop.store(true);
  for (auto& client : clients) client.join();

  // Bytes per second; 1,000,000 asked for. The writer catches up by the
  // clock, so only the moments of the two answers blur the figure; the bounds
  // leave room for half a second of delay on a busy machine.
  double rate = (last - first) / seconds;
  EXPECT_GT(rate, 500000.0);
  EXPECT_LT(rate, 1500000.0);
  EXPECT_TRUE(RingHoldsFileFromStart(ring, last, file.bytes));
}

TEST(StreamRing, WrapsAtTheRingSizeAndStallFreezesTheOffset) {
  StreamFile file(5003);  // a length that is no divisor of the ring
  BoxSimProcess sim({"--kind", "bus", "--model-code", "HVLPX5", "--lock-ms", "0", "--stream",
                     file.path(), "--bitrate", "200000000", "--stall-after-ms", "500"});
  ASSERT_TRUE(sim.IsRunning());
  ScopedDevice bus(OpenInterface(kInterfaceClassBus));
  ScopedDevice stream(OpenInterface(kInterfaceClassBusStream));
  ASSERT_TRUE(Request(bus.get(), 0xAABB2900, FromHex("00073B901ADB0040F9"), 9));
  size_t size = 0;
  const uint8_t* ring = StartAndMap(stream.get(), 0xDDFF2C00, &size);
  ASSERT_NE(ring, nullptr);
  ASSERT_EQ(size, kBusRing);

  int wraps = 0;
  uint32_t previous = 0, w = 0;
  auto unchangedSince = Clock::now();
  auto start = Clock::now();
  while (Clock::now() - start < 5s) {
    w = Position(stream.get(), 0xDDFF2C80);
    ASSERT_LT(w, kBusRing);
    if (w < previous) ++wraps;
    if (w != previous) unchangedSince = Clock::now();
    previous = w;
    if (Clock::now() - start > 600ms && Clock::now() - unchangedSince > 400ms) break;
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_GE(wraps, 1) << "10 MB in 500 ms pass the 3 MB ring";
  EXPECT_GT(Clock::now() - unchangedSince, 400ms) << "the offset should be frozen";
  EXPECT_EQ(Position(stream.get(), 0xDDFF2C80), w);

  // The whole ring, read from the oldest byte at w round to the newest before
  // it, is one unbroken piece of the looped file. A packet header tells where
  // in the file one byte lies; every other byte follows from its distance.
  auto age = [&](size_t j) { return (w + kBusRing - j - 1) % kBusRing + 1; };  // 1 = newest
  size_t j0 = 0;
  while (j0 + 8 <= kBusRing && !(ring[j0] == 0x47 && ring[j0 + 1] == 0x1F && ring[j0 + 2] == 0xFF &&
                                 ring[j0 + 3] == 0x10))
    ++j0;
  ASSERT_LT(j0 + 8, kBusRing);
  uint32_t index = static_cast<uint32_t>(ring[j0 + 4]) << 24 | ring[j0 + 5] << 16 | ring[j0 + 6] << 8 | ring[j0 + 7];
  ASSERT_LT(index, 5003u);
  const size_t length = file.bytes.size();
  size_t mismatches = 0;
  for (size_t j = 0; j < kBusRing; ++j) {
    size_t filePosition = (index * kPacket + length * kBusRing + age(j0) - age(j)) % length;
    if (ring[j] != file.bytes[filePosition]) ++mismatches;
  }
  EXPECT_EQ(mismatches, 0u);
}

TEST(StreamRing, AWriterThatFellBehindMovesTheOffsetOnOverWhatItLost) {
  StreamRing ring;
  std::string error;
  ASSERT_TRUE(ring.Create(1000, 7, &error)) << error;
  std::vector<uint8_t> bytes(1000);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i % 251);
  ring.Append(bytes.data(), 300);
  ring.Skip(2 * 1000 + 150);  // two rings and 150 bytes lost
  EXPECT_EQ(ring.WriteOffset(), 300u) << "nothing shows before the bytes that follow the loss";
  ring.Append(bytes.data(), 1000);
  EXPECT_EQ(ring.WriteOffset(), (300u + 150 + 1000) % 1000);
  EXPECT_EQ(ring.BytesAppended(), 300u + 2150 + 1000);
  // The whole ring is the newest appended bytes, oldest at the write offset.
  EXPECT_EQ(std::memcmp(ring.data() + 450, bytes.data(), 550), 0);
  EXPECT_EQ(std::memcmp(ring.data(), bytes.data() + 550, 450), 0);
  ring.Skip(500);
  ring.Reset();
  ring.Append(bytes.data(), 10);
  EXPECT_EQ(ring.WriteOffset(), 10u) << "a reset forgets a skip";
}

TEST(StreamRing, NothingIsWrittenWhileUnlockedOrStopped) {
  {
    BoxSimProcess sim({"--kind", "a", "--never-ready"});
    ScopedDevice a(OpenInterface(kInterfaceClassA));
    ASSERT_TRUE(Request(a.get(), 0x222328, FromHex("00073B900008000026"), 0));
    ASSERT_TRUE(Request(a.get(), 0x222358, {0x02}, 0));
    size_t size = 0;
    ASSERT_NE(StartAndMap(a.get(), 0x222334, &size), nullptr);
    EXPECT_EQ(size, kDirectRing);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(Position(a.get(), 0x22233C), 0u);
  }
  StreamFile file(1000);
  BoxSimProcess sim({"--kind", "s", "--lock-ms", "0", "--stream", file.path()});
  ScopedDevice s(OpenDevice(kTunerPathS));
  ASSERT_TRUE(Request(s.get(), 0x222328, FromHex("00049A0150000064AD"), 10));
  size_t size = 0;
  const uint8_t* ring = StartAndMap(s.get(), 0x222334, &size);
  ASSERT_NE(ring, nullptr);
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(Position(s.get(), 0x22233C), 0u) << "the S path streams from its start request on";
  ASSERT_TRUE(Request(s.get(), 0x222358, {}, 0));
  uint32_t flowing = 0;
  ASSERT_TRUE(WaitForPosition(s.get(), 0x22233C, 2000000, &flowing));  // 2.5 MB/s
  ASSERT_TRUE(Request(s.get(), 0x222338, {}, 0));
  uint32_t stopped = Position(s.get(), 0x22233C);
  EXPECT_GE(stopped, flowing);
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(Position(s.get(), 0x22233C), stopped);
  // A new start plays the file from its beginning at the ring's start.
  ASSERT_TRUE(Request(s.get(), 0x222358, {}, 0));
  uint32_t restarted = Position(s.get(), 0x22233C);
  EXPECT_LT(restarted, stopped);
  std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(RingHoldsFileFromStart(ring, Position(s.get(), 0x22233C), file.bytes));
}

TEST(StreamRing, DefaultStreamStartsWithAPatAndNoSyncHasNoSyncByte) {
  {
    BoxSimProcess sim({"--kind", "t", "--lock-ms", "0"});
    ScopedDevice t(OpenDevice(kTunerPathT));
    ASSERT_TRUE(Request(t.get(), 0x222328, FromHex("09073B900008000026"), 0));
    size_t size = 0;
    const uint8_t* ring = StartAndMap(t.get(), 0x222334, &size);
    ASSERT_NE(ring, nullptr);
    uint32_t w = 0;
    ASSERT_TRUE(WaitForPosition(t.get(), 0x22233C, 2 * kPacket + 1, &w));
    EXPECT_EQ(ToHex(Bytes(ring, ring + 8)), "4740001000" "00B00D");  // PAT, PID 0, pointer 0
    EXPECT_EQ(ring[kPacket], 0x47);
  }
  BoxSimProcess sim({"--kind", "t", "--lock-ms", "0", "--no-sync"});
  ScopedDevice t(OpenDevice(kTunerPathT));
  ASSERT_TRUE(Request(t.get(), 0x222328, FromHex("09073B900008000026"), 0));
  size_t size = 0;
  const uint8_t* ring = StartAndMap(t.get(), 0x222334, &size);
  ASSERT_NE(ring, nullptr);
  uint32_t w = 0;
  ASSERT_TRUE(WaitForPosition(t.get(), 0x22233C, 100000, &w));
  EXPECT_EQ(std::memchr(ring, 0x47, w), nullptr);
}

TEST(StreamRing, TokensMapOnTheirHandleOnlyAndOutliveTheBox) {
  BoxSimProcess sim({"--kind", "bus", "--lock-ms", "0"});
  ScopedDevice bus(OpenInterface(kInterfaceClassBus));
  ScopedDevice stream(OpenInterface(kInterfaceClassBusStream));
  Bytes reply;
  ASSERT_TRUE(Request(stream.get(), 0xDDFF2C00, {}, 4, &reply));
  uint32_t token = ReplyWord(reply);
  EXPECT_NE(token, 0u);
  EXPECT_EQ(MapStreamRing(stream.get(), token + 1, nullptr), nullptr);
  EXPECT_EQ(MapStreamRing(bus.get(), token, nullptr), nullptr);
  size_t size = 0;
  const uint8_t* ring = MapStreamRing(stream.get(), token, &size);
  ASSERT_NE(ring, nullptr);
  EXPECT_EQ(MapStreamRing(stream.get(), token, nullptr), ring);
  // A second start hands the same ring again.
  ASSERT_TRUE(Request(stream.get(), 0xDDFF2C00, {}, 4, &reply));
  EXPECT_EQ(ReplyWord(reply), token);
  EXPECT_EQ(MapStreamRing(stream.get(), token, nullptr), ring);
  sim.Kill();
  volatile uint8_t last = ring[size - 1];  // still mapped: no fault
  (void)last;
}

// Packets of PIDs 0x10, 0x11 and 0x12 in turn, each counting its own packets.
Bytes ThreePidPackets(uint32_t count) {
  Bytes bytes;
  for (uint32_t k = 0; k < count; ++k) {
    uint8_t packet[kPacket];
    std::memset(packet, static_cast<int>(k), sizeof packet);
    packet[0] = 0x47;
    packet[1] = 0x00;
    packet[2] = static_cast<uint8_t>(0x10 + k % 3);
    packet[3] = static_cast<uint8_t>(0x10 | (k / 3) % 16);
    bytes.insert(bytes.end(), packet, packet + kPacket);
  }
  return bytes;
}

TEST(PidFilter, OnlyPacketsOfTheFilteredPidReachTheRingAndZeroPassesAll) {
  TempDir dir;
  Bytes file = ThreePidPackets(3000);
  WriteFileBytes(dir.File("three.ts"), std::string(file.begin(), file.end()));
  BoxSimProcess sim({"--kind", "a", "--lock-ms", "0", "--stream", dir.File("three.ts")});
  ScopedDevice a(OpenInterface(kInterfaceClassA));
  ASSERT_TRUE(Request(a.get(), 0x222328, FromHex("00073B900008000026"), 0));
  ASSERT_TRUE(Request(a.get(), 0x222358, {0x02}, 0));
  size_t size = 0;
  const uint8_t* ring = StartAndMap(a.get(), 0x222334, &size);
  ASSERT_NE(ring, nullptr);
  // PID 0x2011 goes out masked to 0x0011, as the program sends it.
  ASSERT_TRUE(Request(a.get(), 0x222344, FromHex("1120" + std::string(28, '0') + "0100"), 0));
  uint32_t w = 0;
  ASSERT_TRUE(WaitForPosition(a.get(), 0x22233C, 200 * kPacket, &w));
  ASSERT_LT(w, size);
  // Whole packets of PID 0x11 from the ring's start on, each the next of its PID.
  int previous = -1;
  for (size_t offset = 0; offset + kPacket <= w; offset += kPacket) {
    ASSERT_EQ(ring[offset], 0x47) << offset;
    ASSERT_EQ(ring[offset + 2], 0x11) << offset;
    int counter = ring[offset + 3] & 0x0F;
    if (previous >= 0) {
      EXPECT_EQ(counter, (previous + 1) % 16) << offset;
    }
    previous = counter;
  }
  // A zero PID passes every packet again (from the next start on).
  ASSERT_TRUE(Request(a.get(), 0x222344, FromHex(std::string(32, '0') + "0100"), 0));
  ASSERT_TRUE(Request(a.get(), 0x222358, {0x02}, 0));
  ASSERT_TRUE(WaitForPosition(a.get(), 0x22233C, 3 * kPacket, &w));
  EXPECT_EQ(ring[2], 0x10);
  EXPECT_EQ(ring[kPacket + 2], 0x11);
  EXPECT_EQ(ring[2 * kPacket + 2], 0x12);
}

TEST(PidFilter, CliCaptureOnTheSPathRecordsOnlyThatPid) {
  TempDir dir;
  Bytes file = ThreePidPackets(3000);
  WriteFileBytes(dir.File("three.ts"), std::string(file.begin(), file.end()));
  ScopedEnv profile("XDG_CONFIG_HOME", dir.path().c_str());
  BoxSimProcess sim({"--kind", "s", "--lock-ms", "0", "--stream", dir.File("three.ts")});
  ASSERT_TRUE(sim.IsRunning());
  const std::string output = dir.File("pid11.ts");
  // A normal LNB (the profile's default) takes 3,800 MHz to an IF of 1,350 MHz.
  CliRun run = RunCli({"capture", "--freq", "3800", "--symbol-rate", "27500", "--pol", "V", "--pid",
                       "0x11", "--megabytes", "1", "-o", output});
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  std::string bytes = ReadFileBytes(output);
  ASSERT_EQ(bytes.size(), 1048576u);
  size_t packets = 0;
  for (size_t offset = 0; offset + kPacket <= bytes.size(); offset += kPacket, ++packets) {
    ASSERT_EQ(static_cast<uint8_t>(bytes[offset]), 0x47) << offset;
    ASSERT_EQ(bytes[offset + 1], 0x00) << offset;
    ASSERT_EQ(bytes[offset + 2], 0x11) << offset;
  }
  EXPECT_EQ(packets, 1048576u / kPacket);
  bool filterSent = false;
  for (const std::string& line : sim.JournalLines())
    filterSent = filterSent || line == "S 00222344 in=1100" + std::string(28, '0') + "0100 out=0";
  EXPECT_TRUE(filterSent);
}

TEST(Faults, FailAfterUnplugsTheBoxFromTheFirstStreamStart) {
  BoxSimProcess sim({"--kind", "bus", "--model-code", "HVLPX5", "--lock-ms", "0", "--fail-after-ms", "300"});
  ScopedDevice bus(OpenInterface(kInterfaceClassBus));
  ScopedDevice stream(OpenInterface(kInterfaceClassBusStream));
  const Bytes modelQuery = FromHex("AA00060000000000FA");
  std::this_thread::sleep_for(400ms);
  EXPECT_TRUE(Request(bus.get(), 0xAABB2880, modelQuery, 9)) << "the clock starts with the stream";
  ASSERT_TRUE(Request(bus.get(), 0xAABB2900, FromHex("00073B901ADB0040F9"), 9));
  auto started = Clock::now();
  ASSERT_TRUE(Request(stream.get(), 0xDDFF2C00, {}, 4));
  bool answered = Request(stream.get(), 0xDDFF2C80, {}, 4);
  EXPECT_TRUE(answered || Clock::now() - started >= 300ms);
  std::this_thread::sleep_for(500ms);
  EXPECT_FALSE(Request(stream.get(), 0xDDFF2C80, {}, 4));
  EXPECT_FALSE(Request(bus.get(), 0xAABB2880, modelQuery, 9));
  EXPECT_FALSE(Request(bus.get(), 0xDDFF2C40, {}, 0));
  EXPECT_FALSE(Request(bus.get(), 0xAABB2980, {}, 0));
  // Requests still arrive (and are journalled); the box just fails them.
  EXPECT_EQ(sim.JournalLines().back(), "BUS AABB2980 in= out=0");
}

}  // namespace
