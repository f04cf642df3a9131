// The simulator as a driver: which requests each kind answers, the journal,
// tune decoding, lock timing, start-up and shut-down.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "tests/sim/sim_test_util.h"
#include "tests/support/boxsim_process.h"
#include "tests/support/test_env.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

enum class On { T, A, S, Bus, BusStream };

struct Case {
  On handle;
  uint32_t code;
  std::string inHex;
  uint32_t outSize;
  bool succeeds;
};

const std::string kModelQuery = "AA00060000000000FA";
const std::string kStatusQuery = "AA00050000000000FB";
const std::string kDirectSignalInput = "0A0A0B0C0900000000";
const std::string kCableFrame = "00073B901ADB0040F9";         // 474000 kHz, 6875 ks/s, QAM 64
const std::string kTerrestrialBusFrame = "00073B900008000026";  // 474000 kHz, 8 MHz
const std::string kSatelliteBlock = "00049A01500000" "64AD";  // IF 1178, 27500 ks/s, horizontal

std::string Long(const std::string& firstElevenHex) {
  return firstElevenHex + std::string((256 - 11) * 2, '0');
}
// Long frames: cable 474000 kHz, 6875 ks/s, QAM 256 (sent as 0); satellite IF 1178.
const std::string kCableLongFrame = Long("AA09" "00" "073B90" "001ADB" "00" "30");
const std::string kSatelliteLongFrame = Long("AA09" "00" "049A01" "00" "6B6C" "64" "1D");

class Boxes {
public:
  explicit Boxes(const std::vector<std::string>& arguments) : sim(arguments) {}
  DeviceHandle Open(On on) {
    DeviceHandle& handle = handles[static_cast<int>(on)];
    if (handle == kInvalidDeviceHandle) {
      switch (on) {
        case On::T: handle = OpenDevice(kTunerPathT); break;
        case On::S: handle = OpenDevice(kTunerPathS); break;
        case On::A: handle = OpenInterface(kInterfaceClassA); break;
        case On::Bus: handle = OpenInterface(kInterfaceClassBus); break;
        case On::BusStream: handle = OpenInterface(kInterfaceClassBusStream); break;
      }
    }
    return handle;
  }
  void Check(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
      DeviceHandle handle = Open(c.handle);
      ASSERT_NE(handle, kInvalidDeviceHandle);
      Bytes reply;
      EXPECT_EQ(Request(handle, c.code, FromHex(c.inHex), c.outSize, &reply), c.succeeds)
          << std::hex << c.code << " in=" << c.inHex << " out=" << std::dec << c.outSize;
    }
  }
  ~Boxes() {
    for (DeviceHandle handle : handles) {
      if (handle != kInvalidDeviceHandle) CloseDevice(handle);
    }
  }
  BoxSimProcess sim;
  DeviceHandle handles[5] = {kInvalidDeviceHandle, kInvalidDeviceHandle, kInvalidDeviceHandle,
                             kInvalidDeviceHandle, kInvalidDeviceHandle};
};

TEST(RequestTable, TPathAnswersItsRequestsWithExactSizes) {
  Boxes boxes({"--kind", "t", "--lock-ms", "0"});
  boxes.Check({
      {On::T, 0x222328, "09073B900008000026", 0, true},
      {On::T, 0x222328, "00073B900008000026", 0, false},  // lead byte of the A interface
      {On::T, 0x222328, "09073B900008000027", 0, false},  // checksum
      {On::T, 0x222328, "09073B900008000026", 10, false},
      {On::T, 0x222334, "", 4, true},
      {On::T, 0x222334, "", 8, false},
      {On::T, 0x22233C, "", 4, true},
      {On::T, 0x22233C, "00", 4, false},
      {On::T, 0x22234C, kDirectSignalInput, 3, true},
      {On::T, 0x22234C, "0A0A0B0C0900000001", 3, false},
      {On::T, 0x22234C, kDirectSignalInput, 4, false},
      {On::T, 0x222338, "", 0, true},
      {On::T, 0x222344, std::string(36, '0'), 0, false},  // no PID filter on the T path
      {On::T, 0x222358, "02", 0, false},
      {On::T, 0x222374, "", 10, false},
      {On::T, 0x222320, "AA000902FF010000F5", 10, false},
      {On::T, 0xAABB2880, kModelQuery, 9, false},
      {On::T, 0x12345678, "", 0, false},
  });
}

TEST(RequestTable, AInterfaceAnswersItsRequestsWithExactSizes) {
  Boxes boxes({"--kind", "a", "--lock-ms", "0"});
  boxes.Check({
      {On::A, 0x222358, "02", 0, true},
      {On::A, 0x222358, "01", 0, false},
      {On::A, 0x222358, "", 0, false},
      {On::A, 0x222328, "00073B900008000026", 0, true},
      {On::A, 0x222328, "09073B900008000026", 0, false},
      {On::A, 0x222334, "", 4, true},
      {On::A, 0x22233C, "", 4, true},
      {On::A, 0x222344, "FF1F" + std::string(28, '0') + "0100", 0, true},
      {On::A, 0x222344, "FF1F", 0, false},
      {On::A, 0x22234C, kDirectSignalInput, 3, false},  // the A interface reports no signal
      {On::A, 0x222338, "", 0, true},
      {On::A, 0x222374, "", 10, false},
  });
}

TEST(RequestTable, SPathAnswersItsRequestsWithExactSizes) {
  Boxes boxes({"--kind", "s", "--lock-ms", "0"});
  boxes.Check({
      {On::S, 0x222374, "", 10, true},
      {On::S, 0x222374, "", 4, false},
      {On::S, 0x222320, "AA0009FF000100" "00F7", 10, true},  // tone burst, supply on
      {On::S, 0x222320, "AA000804E01038F3D9", 10, true},     // DiSEqC port A, horizontal, high band
      {On::S, 0x222320, "AA0009020000" "0000F5", 0, false},
      {On::S, 0x222320, kModelQuery, 10, false},           // the S path knows no model query
      {On::S, 0x222320, "AA0009FF000100" "00F8", 10, false},  // checksum
      {On::S, 0x222328, kSatelliteBlock, 10, true},
      {On::S, 0x222328, kSatelliteBlock, 0, false},
      {On::S, 0x222358, "", 0, true},
      {On::S, 0x222358, "02", 0, false},
      {On::S, 0x222334, "", 4, true},
      {On::S, 0x22233C, "", 4, true},
      {On::S, 0x222344, std::string(32, '0') + "0100", 0, true},
      {On::S, 0x22234C, kDirectSignalInput, 3, true},
      {On::S, 0x222338, "", 0, true},
  });
}

TEST(RequestTable, BusCableBoxWithPlainFrames) {
  Boxes boxes({"--kind", "bus", "--model-code", "HVLPX5", "--lock-ms", "0"});
  boxes.Check({
      {On::Bus, 0xAABB2880, kModelQuery, 9, true},
      {On::Bus, 0xAABB2880, kModelQuery, 0, false},
      {On::Bus, 0xAABB2880, kStatusQuery, 9, true},
      {On::Bus, 0xAABB2880, kStatusQuery, 8, false},
      {On::Bus, 0xAABB2880, "AA000902FF010000F5", 0, false},  // LNB commands: satellite boxes only
      {On::Bus, 0xAABB2880, "AA00070000000000F9", 9, false},  // no command 0x07
      {On::Bus, 0xAABB2900, kCableFrame, 9, true},
      {On::Bus, 0xAABB2900, kCableFrame, 332, false},
      {On::Bus, 0xAABB2980, "", 0, true},
      {On::Bus, 0xAABB2980, kCableFrame, 0, false},
      {On::Bus, 0xAABB2A00, kCableFrame, 9, true},
      {On::Bus, 0xAABB2A04, kCableLongFrame, 0, false},  // model 5 takes plain frames
      {On::Bus, 0xAABB2A08, "", 256, false},
      {On::Bus, 0xDDFF2C00, "", 4, false},  // stream requests belong to the stream handle
      {On::Bus, 0xDDFF2C80, "", 4, false},
      {On::Bus, 0xDDFF2C40, "", 0, true},
      {On::Bus, 0x222334, "", 4, false},
      {On::BusStream, 0xDDFF2C00, "", 4, true},
      {On::BusStream, 0xDDFF2C80, "", 4, true},
      {On::BusStream, 0xDDFF2C80, "", 2, false},
      {On::BusStream, 0xDDFF2C40, "", 0, false},  // stop goes to the bus handle
      {On::BusStream, 0xAABB2880, kModelQuery, 9, false},
  });
}

TEST(RequestTable, BusTerrestrialVariantsTakeTheirBufferSizes) {
  {
    Boxes boxes({"--kind", "bus", "--model-code", "ZUMEFA", "--lock-ms", "0"});  // model 15, variant A
    boxes.Check({
        {On::Bus, 0xAABB2900, kTerrestrialBusFrame, 332, true},
        {On::Bus, 0xAABB2900, kTerrestrialBusFrame, 9, false},
        {On::Bus, 0xAABB2980, "", 0, true},
        {On::Bus, 0xAABB2980, kTerrestrialBusFrame, 0, false},
        {On::Bus, 0xAABB2A00, kTerrestrialBusFrame, 332, true},
    });
  }
  {
    Boxes boxes({"--kind", "bus", "--model-code", "KJNYB9", "--lock-ms", "0"});  // model 11, variant B
    boxes.Check({
        {On::Bus, 0xAABB2900, kTerrestrialBusFrame, 9, true},
        {On::Bus, 0xAABB2900, kTerrestrialBusFrame, 332, false},
        {On::Bus, 0xAABB2980, kTerrestrialBusFrame, 0, true},
        {On::Bus, 0xAABB2980, "", 0, false},
        {On::Bus, 0xAABB2A00, kTerrestrialBusFrame, 9, true},
    });
  }
}

TEST(RequestTable, LongFrameReadBackCarriesWhatTheProgramChecks) {
  {
    Boxes boxes({"--kind", "bus", "--model-code", "HVL-A6"});  // model 6: cable, long frame
    DeviceHandle bus = boxes.Open(On::Bus);
    ASSERT_NE(bus, kInvalidDeviceHandle);
    EXPECT_FALSE(Request(bus, 0xAABB2A08, {}, 256));  // nothing written yet
    EXPECT_FALSE(Request(bus, 0xAABB2900, FromHex(kCableFrame), 9));
    Bytes malformed = FromHex(kCableLongFrame);
    malformed[200] = 1;
    EXPECT_FALSE(Request(bus, 0xAABB2A04, malformed, 0));
    ASSERT_TRUE(Request(bus, 0xAABB2A04, FromHex(kCableLongFrame), 0));
    Bytes answer;
    ASSERT_TRUE(Request(bus, 0xAABB2A08, {}, 256, &answer));
    ASSERT_EQ(answer.size(), 256u);
    EXPECT_EQ(ToHex({answer.begin() + 1, answer.begin() + 4}), "073B90");  // the frequency bytes
    EXPECT_NE(boxes.sim.StderrText().find("tuned cable 474000 kHz, 6875 ksymbol/s, QAM 256"),
              std::string::npos)
        << boxes.sim.StderrText();
  }
  {
    Boxes boxes({"--kind", "bus", "--model-code", "RZKMA2"});  // model 1: satellite, long frame
    DeviceHandle bus = boxes.Open(On::Bus);
    ASSERT_NE(bus, kInvalidDeviceHandle);
    ASSERT_TRUE(Request(bus, 0xAABB2880, FromHex("AA000902FF010000F5"), 0));  // tone on
    ASSERT_TRUE(Request(bus, 0xAABB2A04, FromHex(kSatelliteLongFrame), 0));
    Bytes answer;
    ASSERT_TRUE(Request(bus, 0xAABB2A08, {}, 256, &answer));
    EXPECT_EQ(ToHex({answer.begin() + 1, answer.begin() + 3}), "049A");  // the IF divider
    EXPECT_NE(boxes.sim.StderrText().find("IF 1178 MHz, 27500 ksymbol/s, horizontal; tone on, LO "
                                          "10600 MHz: transponder 11778 MHz"),
              std::string::npos)
        << boxes.sim.StderrText();
  }
}

TEST(Journal, OneExactLinePerRequestReceived) {
  BoxSimProcess sim({"--kind", "t,bus", "--model-code", "KJNRG8"});
  ASSERT_TRUE(sim.IsRunning());
  ScopedDevice t(OpenDevice(kTunerPathT));
  ScopedDevice bus(OpenInterface(kInterfaceClassBus));
  ScopedDevice stream(OpenInterface(kInterfaceClassBusStream));
  ASSERT_TRUE(t.valid() && bus.valid() && stream.valid());
  Bytes reply;
  EXPECT_TRUE(Request(bus.get(), 0xAABB2880, FromHex(kModelQuery), 9, &reply));
  EXPECT_EQ(ToHex(reply), "AA004B4A4E524738" + ToHex({static_cast<uint8_t>(
                                                      0x100 - ((0x4B + 0x4A + 0x4E + 0x52 + 0x47 + 0x38) & 0xFF))}));
  EXPECT_TRUE(Request(bus.get(), 0xAABB2900, FromHex(kTerrestrialBusFrame), 332));
  EXPECT_FALSE(Request(bus.get(), 0xAABB2900, FromHex(kTerrestrialBusFrame), 9));
  EXPECT_TRUE(Request(stream.get(), 0xDDFF2C00, {}, 4));
  EXPECT_TRUE(Request(stream.get(), 0xDDFF2C80, {}, 4));
  EXPECT_TRUE(Request(bus.get(), 0xDDFF2C40, {}, 0));
  EXPECT_FALSE(Request(t.get(), 0x00000001, FromHex("00ff"), 7));
  EXPECT_TRUE(Request(t.get(), 0x22234C, FromHex(kDirectSignalInput), 3));
  EXPECT_EQ(sim.JournalLines(), (std::vector<std::string>{
                                    "BUS AABB2880 in=AA00060000000000FA out=9",
                                    "BUS AABB2900 in=00073B900008000026 out=332",
                                    "BUS AABB2900 in=00073B900008000026 out=9",
                                    "BUSSTREAM DDFF2C00 in= out=4",
                                    "BUSSTREAM DDFF2C80 in= out=4",
                                    "BUS DDFF2C40 in= out=0",
                                    "T 00000001 in=00FF out=7",
                                    "T 0022234C in=0A0A0B0C0900000000 out=3",
                                }));
  EXPECT_EQ(ReadFileBytes(sim.JournalPath()).back(), '\n');
  sim.ClearJournal();
  EXPECT_TRUE(Request(t.get(), 0x22233C, {}, 4));
  EXPECT_EQ(sim.JournalLines(), std::vector<std::string>{"T 0022233C in= out=4"});
}

TEST(Faults, FailListedCodesAndNeverAnswerHungOnes) {
  Boxes boxes({"--kind", "bus", "--model-code", "HVLPX5", "--lock-ms", "0", "--fail",
               "0xAABB2980,ddff2c00"});
  boxes.Check({
      {On::Bus, 0xAABB2880, kModelQuery, 9, true},
      {On::Bus, 0xAABB2900, kCableFrame, 9, true},
      {On::Bus, 0xAABB2980, "", 0, false},
      {On::Bus, 0xAABB2A00, kCableFrame, 9, true},
      {On::BusStream, 0xDDFF2C00, "", 4, false},
      {On::BusStream, 0xDDFF2C80, "", 4, true},
  });
  EXPECT_EQ(boxes.sim.JournalLines().size(), 6u);  // failed requests are journalled too
}

// Polls the ready request until it succeeds; the time it took, or -1 ms.
std::chrono::milliseconds TimeUntilReady(DeviceHandle bus, std::chrono::milliseconds limit) {
  auto start = Clock::now();
  while (Clock::now() - start < limit) {
    if (Request(bus, 0xAABB2980, {}, 0)) {
      return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    }
    std::this_thread::sleep_for(5ms);
  }
  return -1ms;
}

TEST(Lock, ReadyAfterTheLockTimeOnListedChannelsOnly) {
  BoxSimProcess sim({"--kind", "bus", "--model-code", "HVLPX5", "--lock-ms", "400", "--channels",
                     "474000,0x75F30"});  // 474000 and 483120 kHz
  ASSERT_TRUE(sim.IsRunning());
  ScopedDevice bus(OpenInterface(kInterfaceClassBus));
  ASSERT_TRUE(bus.valid());
  EXPECT_EQ(TimeUntilReady(bus.get(), 200ms), -1ms) << "not tuned yet";
  ASSERT_TRUE(Request(bus.get(), 0xAABB2900, FromHex(kCableFrame), 9));
  auto waited = TimeUntilReady(bus.get(), 5000ms);
  EXPECT_GE(waited, 380ms);
  EXPECT_LT(waited, 3000ms);

  // Another listed channel: a new tune starts the lock time again.
  ASSERT_TRUE(Request(bus.get(), 0xAABB2900, TuneFrame(0x00, {0x07, 0x5F, 0x30, 0x1A, 0xDB, 0x00, 0x40}), 9));
  EXPECT_FALSE(Request(bus.get(), 0xAABB2980, {}, 0));
  EXPECT_GE(TimeUntilReady(bus.get(), 5000ms), 300ms);

  // 482000 kHz is not listed.
  ASSERT_TRUE(Request(bus.get(), 0xAABB2900, TuneFrame(0x00, {0x07, 0x5A, 0xD0, 0x1A, 0xDB, 0x00, 0x40}), 9));
  EXPECT_EQ(TimeUntilReady(bus.get(), 1000ms), -1ms);
  Bytes status;
  ASSERT_TRUE(Request(bus.get(), 0xAABB2880, FromHex(kStatusQuery), 9, &status));
  EXPECT_TRUE(status[7] & 0x10) << "unlocked flag";
  EXPECT_NE(sim.StderrText().find("tuned cable 482000 kHz, 6875 ksymbol/s, QAM 64 (not a listed channel"),
            std::string::npos);
}

TEST(Lock, NeverReadyBoxNeverLocks) {
  BoxSimProcess sim({"--kind", "t,bus", "--model-code", "KJNRG8", "--lock-ms", "0", "--never-ready"});
  ASSERT_TRUE(sim.IsRunning());
  ScopedDevice t(OpenDevice(kTunerPathT));
  ScopedDevice bus(OpenInterface(kInterfaceClassBus));
  ASSERT_TRUE(Request(bus.get(), 0xAABB2900, FromHex(kTerrestrialBusFrame), 332));
  ASSERT_TRUE(Request(t.get(), 0x222328, FromHex("09073B900008000026"), 0));
  EXPECT_EQ(TimeUntilReady(bus.get(), 800ms), -1ms);
  Bytes status;
  ASSERT_TRUE(Request(t.get(), 0x22234C, FromHex(kDirectSignalInput), 3, &status));
  EXPECT_EQ(status[2], 0);
}

TEST(Tuning, SatelliteTuneIsReportedWithTheLnbCommandsBeforeIt) {
  Boxes boxes({"--kind", "bus,s", "--model-code", "WQ-B3R", "--channels", "11778", "--lock-ms", "0"});
  DeviceHandle bus = boxes.Open(On::Bus);
  ASSERT_NE(bus, kInvalidDeviceHandle);
  // The bus sequence: tone off with tone burst, DiSEqC, tone on, tune.
  ASSERT_TRUE(Request(bus, 0xAABB2880, FromHex("AA0009FF00010000F7"), 0));
  ASSERT_TRUE(Request(bus, 0xAABB2880, FromHex("AA000804E01038F3D9"), 0));
  ASSERT_TRUE(Request(bus, 0xAABB2880, FromHex("AA000902FF010000F5"), 0));
  ASSERT_TRUE(Request(bus, 0xAABB2900, FromHex(kSatelliteBlock), 9));
  EXPECT_GE(TimeUntilReady(bus, 2000ms), 0ms) << "11778 MHz is listed";
  EXPECT_NE(boxes.sim.StderrText().find(
                "tuned satellite IF 1178 MHz, 27500 ksymbol/s, horizontal; tone on, LO 10600 MHz: "
                "transponder 11778 MHz; DiSEqC port A, tone burst; LNB supply on"),
            std::string::npos)
      << boxes.sim.StderrText();

  // The S path: DiSEqC port D, vertical, low band (F0 + C), tone off.
  DeviceHandle s = boxes.Open(On::S);
  ASSERT_NE(s, kInvalidDeviceHandle);
  ASSERT_TRUE(Request(s, 0x222320, CommandFrame({0x00, 0x08, 0x04, 0xE0, 0x10, 0x38, 0xFC}), 10));
  ASSERT_TRUE(Request(s, 0x222320, CommandFrame({0x00, 0x09, 0x00, 0xFF, 0x00, 0x00, 0x00}), 10));
  // IF 1250 MHz, vertical, 27500 ks/s, bit 2 (IF below 1530) and bit 5 set.
  ASSERT_TRUE(Request(s, 0x222328, TuneFrame(0x00, {0x04, 0xE2, 0x01, 0x50, 0x00, 0x00, 0x24}), 10));
  EXPECT_NE(boxes.sim.StderrText().find(
                "tuned satellite IF 1250 MHz, 27500 ksymbol/s, vertical; tone off, LO 9750 MHz: "
                "transponder 11000 MHz; DiSEqC port D; LNB supply off (not a listed channel"),
            std::string::npos)
      << boxes.sim.StderrText();
}

TEST(Tuning, TerrestrialTuneIsReported) {
  Boxes boxes({"--kind", "t"});
  ASSERT_TRUE(Request(boxes.Open(On::T), 0x222328, FromHex("09073B900008000026"), 0));
  EXPECT_NE(boxes.sim.StderrText().find("tuned terrestrial 474000 kHz, 8 MHz"), std::string::npos);
}

TEST(Lifecycle, SecondSimulatorInTheSameDirectoryIsRefused) {
  BoxSimProcess first({"--kind", "t"});
  ASSERT_TRUE(first.IsRunning());
  BoxSimProcess second;
  EXPECT_FALSE(second.Start({"--kind", "s", "--device-dir", first.DeviceDirectory()}));
  EXPECT_EQ(second.ExitStatus(), 1);
  EXPECT_NE(second.StderrText().find("another box server (pid " + std::to_string(first.pid()) +
                                     ") is already running in " + first.DeviceDirectory()),
            std::string::npos)
      << second.StderrText();
  // The first one is untouched and still serving.
  ScopedEnv dir("VANTREL_DEVICE_DIR", first.DeviceDirectory().c_str());
  ScopedDevice t(OpenDevice(kTunerPathT));
  EXPECT_TRUE(t.valid());
  EXPECT_TRUE(Request(t.get(), 0x22233C, {}, 4));
  EXPECT_EQ(OpenDevice(kTunerPathS), kInvalidDeviceHandle);
}

TEST(Lifecycle, SigtermRemovesItsSocketsAndAKilledOnesAreReplaced) {
  BoxSimProcess sim({"--kind", "t,a,s,bus"});
  ASSERT_TRUE(sim.IsRunning());
  auto names = [&]() {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(sim.DeviceDirectory())) {
      found.push_back(entry.path().filename().string());
    }
    std::sort(found.begin(), found.end());
    return found;
  };
  std::vector<std::string> published = {".boxsim.lock", "QVUSB-S-000", "QVUSB-T-000",
                                        std::string(kInterfaceClassBus) + "#0",
                                        std::string(kInterfaceClassBusStream) + "#0",
                                        std::string(kInterfaceClassA) + "#0"};
  std::sort(published.begin(), published.end());
  EXPECT_EQ(names(), published);

  sim.Kill();
  EXPECT_EQ(names(), published);  // left behind
  ASSERT_TRUE(sim.Start({"--kind", "s"}));
  EXPECT_EQ(names(), (std::vector<std::string>{".boxsim.lock", "QVUSB-S-000"}));
  EXPECT_EQ(OpenDevice(kTunerPathT), kInvalidDeviceHandle);

  EXPECT_EQ(sim.Stop(), 0);
  EXPECT_TRUE(names().empty());

  // SIGINT too, even when the simulator was started with SIGINT ignored, as
  // a shell starts background jobs.
  struct sigaction ignore {}, previous {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGINT, &ignore, &previous);
  bool started = sim.Start({"--kind", "t"});
  sigaction(SIGINT, &previous, nullptr);
  ASSERT_TRUE(started);
  ASSERT_EQ(kill(sim.pid(), SIGINT), 0);
  auto deadline = Clock::now() + 10s;
  while (!names().empty() && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(names().empty());
  EXPECT_EQ(sim.Stop(), 0);
}

TEST(Lifecycle, AFolderGivenAsStreamIsNamedAsOne) {
  TempDir dir;
  BoxSimProcess sim;
  EXPECT_FALSE(sim.Start({"--kind", "t", "--stream", dir.path()}));
  EXPECT_EQ(sim.ExitStatus(), 1);
  EXPECT_NE(sim.StderrText().find("vantrel-boxsim: stream file " + dir.path() + " is a folder"),
            std::string::npos)
      << sim.StderrText();
}

TEST(Lifecycle, BadCommandLinesAreRefused) {
  for (std::vector<std::string> arguments : std::vector<std::vector<std::string>>{
           {},
           {"--kind", "x"},
           {"--kind", "t,t"},
           {"--kind", "bus", "--model-code", "ABCDEFG"},
           {"--kind", "t", "--model-code", "HVLPX5"},
           {"--kind", "t", "--strength", "101"},
           {"--kind", "t", "--lock-ms", "-1"},
           {"--kind", "t", "--bitrate", "fast"},
           {"--kind", "t", "--fail", "XYZ"},
           {"--kind", "t", "--stream", "/nonexistent/file.ts"},
           {"--kind", "t", "--unknown"},
       }) {
    BoxSimProcess sim;
    EXPECT_FALSE(sim.Start(arguments)) << ::testing::PrintToString(arguments);
    EXPECT_NE(sim.ExitStatus(), 0);
    EXPECT_NE(sim.StderrText().find("vantrel-boxsim: "), std::string::npos);
  }
}

}  // namespace
