// The device layer end to end against vantrel-boxsim: what reaches the box
// (its journal), in which order, on which handle, with which buffer sizes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include "device/device_protocol.h"
#include "platform/sync.h"
#include "tests/support/boxsim_process.h"

namespace {

using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;

int64_t MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

const char kModelQuery[] = "BUS AABB2880 in=AA00060000000000FA out=9";
const char kBusPoll[] = "BUS AABB2980 in= out=0";

std::string Zeros(size_t bytes) { return std::string(bytes * 2, '0'); }

ChannelSettings Channel(int32_t word0, int32_t word1, int32_t word2 = 0, int32_t word3 = 0) {
  ChannelSettings channel{};
  channel.words[0] = word0;
  channel.words[1] = word1;
  channel.words[2] = word2;
  channel.words[3] = word3;
  return channel;
}

// LNB 1 a Universal LNB, supply on, on DiSEqC input `diseqc`.
CaptureSettings UniversalLnb(int diseqc, int toneBurst = 0) {
  CaptureSettings capture{};
  capture.nLnbNumber = 1;
  LnbSettings& lnb = capture.lnb[0];
  lnb.lnbEnable = 1;
  lnb.lnbType = 1;
  lnb.diseqc = diseqc;
  lnb.toneBurst = toneBurst;
  return capture;
}

// 11778 MHz horizontal, 27500 ksymbol/s: LO 10600, IF 1178.
const ChannelSettings kAstraChannel = Channel(11778, 27500, 1, 0);
const char kAstraBlock[] = "00049A0150000064AD";
const char kBurstsOffSupplyOn[] = "AA000900FF010000F7";
const char kToneOnSupplyOn[] = "AA000902FF010000F5";
const char kDiseqcLnbA[] = "AA000804E01038F3D9";

// Consumes lines[*at..] equal to `poll`; true when there was at least one.
bool SkipPolls(const Lines& lines, size_t* at, const std::string& poll) {
  size_t start = *at;
  while (*at < lines.size() && lines[*at] == poll) ++*at;
  return *at > start;
}

class DeviceSimTest : public ::testing::Test {
protected:
  void TearDown() override {
    ResumeTunerRequests();
    CloseTunerDevice();
  }

  // Starts the simulator, opens the box and empties the journal.
  void OpenBox(const std::vector<std::string>& arguments) {
    ASSERT_TRUE(box.Start(arguments)) << box.StderrText();
    ASSERT_EQ(OpenTunerDevice(), 1);
    box.ClearJournal();
  }

  Lines Journal() const { return box.JournalLines(); }

  // Waits (bounded generously) until the journal has a line starting with `prefix`.
  bool WaitForJournalLine(const std::string& prefix) {
    for (int i = 0; i < 3000; ++i) {
      for (const std::string& line : Journal())
        if (line.rfind(prefix, 0) == 0) return true;
      SleepMs(10);
    }
    return false;
  }

  BoxSimProcess box;
};

// --- Discovery and handles -------------------------------------------------

TEST_F(DeviceSimTest, TPathWinsOverSPath) {
  ASSERT_TRUE(box.Start({"--kind", "t,s"})) << box.StderrText();
  EXPECT_EQ(OpenTunerDevice(), 1);
  EXPECT_EQ(bDeviceOpen, 1);
  EXPECT_NE(hTunerT, 0);
  EXPECT_EQ(hTunerS, 0);
  EXPECT_EQ(hTunerA, 0);
  EXPECT_EQ(hTunerBus, 0);
  EXPECT_EQ(GetTunerModel(), 46);
  EXPECT_TRUE(Journal().empty());  // the S-path open-time query is not sent
}

TEST_F(DeviceSimTest, InterfaceAComesBeforeSPathAndBus) {
  ASSERT_TRUE(box.Start({"--kind", "a,s,bus"})) << box.StderrText();
  EXPECT_EQ(OpenTunerDevice(), 1);
  EXPECT_NE(hTunerA, 0);
  EXPECT_EQ(hTunerS, 0);
  EXPECT_EQ(hTunerBus, 0);
  EXPECT_EQ(GetTunerModel(), 12);
  EXPECT_TRUE(Journal().empty());
}

TEST_F(DeviceSimTest, SPathComesBeforeBusAndSendsItsOpenQuery) {
  ASSERT_TRUE(box.Start({"--kind", "s,bus"})) << box.StderrText();
  EXPECT_EQ(OpenTunerDevice(), 1);
  EXPECT_NE(hTunerS, 0);
  EXPECT_EQ(hTunerBus, 0);
  EXPECT_EQ(hTunerBusStream, 0);
  EXPECT_EQ(Journal(), Lines{"S 00222374 in= out=10"});
  EXPECT_EQ(GetTunerModel(), 20);
  EXPECT_EQ(Journal().size(), 1u);
}

TEST_F(DeviceSimTest, BusBoxOpensBothInterfacesAndReportsItsModel) {
  ASSERT_TRUE(box.Start({"--kind", "bus", "--model-code", "HVLPX5"})) << box.StderrText();
  EXPECT_EQ(OpenTunerDevice(), 1);
  EXPECT_NE(hTunerBus, 0);
  EXPECT_NE(hTunerBusStream, 0);
  EXPECT_NE(hTunerBus, hTunerBusStream);
  EXPECT_TRUE(Journal().empty());
  EXPECT_EQ(GetTunerModel(), 5);
  EXPECT_EQ(nSignalFormat, 2);
  // The bus kind asks the box every time.
  EXPECT_EQ(GetTunerModel(), 5);
  EXPECT_EQ(Journal(), (Lines{kModelQuery, kModelQuery}));
}

TEST_F(DeviceSimTest, ClosingEveryKindZeroesAndReleasesItsHandles) {
  for (const char* kind : {"t", "a", "s", "bus"}) {
    SCOPED_TRACE(kind);
    BoxSimProcess sim({"--kind", kind});
    ASSERT_TRUE(sim.IsRunning()) << sim.StderrText();
    ASSERT_EQ(OpenTunerDevice(), 1);
    const DeviceHandle handles[] = {hTunerT, hTunerA, hTunerS, hTunerBus, hTunerBusStream};
    CloseTunerDevice();
    EXPECT_EQ(bDeviceOpen, 0);
    EXPECT_EQ(hTunerT | hTunerA | hTunerS | hTunerBus | hTunerBusStream, 0);
    for (DeviceHandle old : handles) {
      uint32_t offset;
      if (old) {
        EXPECT_FALSE(SendDeviceIoControl(old, kIoctlDirectStreamPosition, nullptr, 0, &offset, 4, nullptr));
      }
    }
    EXPECT_TRUE(sim.JournalLines().size() <= 1u);  // at most the S-path open query
  }
}

TEST_F(DeviceSimTest, MissingStreamInterfaceFailsTheOpenAndCloseReleasesTheBusHandle) {
  ASSERT_TRUE(box.Start({"--kind", "bus", "--no-stream-interface"})) << box.StderrText();
  EXPECT_EQ(OpenTunerDevice(), 0);
  EXPECT_EQ(bDeviceOpen, 0);
  const DeviceHandle bus = hTunerBus;
  EXPECT_NE(bus, 0);
  EXPECT_EQ(hTunerBusStream, 0);
  CloseTunerDevice();
  EXPECT_EQ(hTunerBus, 0);
  uint8_t frame[9];
  BuildSimpleCommandFrame(kCommandModelCode, frame);
  EXPECT_FALSE(SendDeviceIoControl(bus, kIoctlBusCommand, frame, 9, frame, 9, nullptr));
  EXPECT_TRUE(Journal().empty());
}

TEST_F(DeviceSimTest, NoBoxOpensNothing) {
  TempDir empty;
  ScopedEnv dir("VANTREL_DEVICE_DIR", empty.path().c_str());
  EXPECT_EQ(OpenTunerDevice(), 0);
  EXPECT_EQ(bDeviceOpen, 0);
  EXPECT_EQ(hTunerT | hTunerA | hTunerS | hTunerBus | hTunerBusStream, 0);
  EXPECT_EQ(GetTunerModel(), 1);  // no bus handle: a satellite model, not an error
  CloseTunerDevice();
  EXPECT_EQ(bDeviceOpen, 0);
  // With nothing open nothing is sent and the stream calls fail (stop "succeeds").
  uint8_t* ring = nullptr;
  uint32_t offset = 7;
  int strength = -1, quality = -1, locked = -1;
  EXPECT_EQ(StartStream(&ring), 0);
  EXPECT_EQ(GetStreamWritePosition(&offset), 0);
  EXPECT_EQ(offset, 7u);
  EXPECT_EQ(StopStream(), 1);
  EXPECT_EQ(GetSignalStatus(&strength, &quality, &locked), 0);
  EXPECT_EQ(strength, -1);
  EXPECT_EQ(SetLnbControl(1, 0, 0, 1), 1);
  EXPECT_EQ(TuneChannel(46, Channel(474000, 8), CaptureSettings{}), 0);
}

TEST_F(DeviceSimTest, InterfaceDiagnosticTexts) {
  ASSERT_TRUE(box.Start({"--kind", "t"})) << box.StderrText();
  char text[128] = "";
  EXPECT_EQ(OpenDeviceInterface(kInterfaceClassA, text), kInvalidDeviceHandle);
  EXPECT_STREQ(text, "Device path not found.\n");
  EXPECT_EQ(OpenDeviceInterface("not a guid", text), kInvalidDeviceHandle);
  EXPECT_STREQ(text, "SetupDiGetClassDevs failed: 57\n");

  // A device directory that is a symbolic link is not trusted.
  TempDir other;
  const std::string link = other.File("link");
  ASSERT_EQ(symlink(box.DeviceDirectory().c_str(), link.c_str()), 0);
  ScopedEnv dir("VANTREL_DEVICE_DIR", link.c_str());
  EXPECT_EQ(OpenDeviceInterface(kInterfaceClassBus, text), kInvalidDeviceHandle);
  EXPECT_STREQ(text, "SetupDiGetClassDevs failed: 5\n");
}

TEST_F(DeviceSimTest, ModelCodesOutsideTheTable) {
  {
    BoxSimProcess sim({"--kind", "bus", "--model-code", "XYZ123"});
    ASSERT_EQ(OpenTunerDevice(), 1);
    nSignalFormat = 10;
    EXPECT_EQ(GetTunerModel(), 3);
    EXPECT_EQ(nSignalFormat, 10);  // unchanged
    CloseTunerDevice();
  }
  {
    BoxSimProcess sim({"--kind", "bus", "--model-code", "KJN-A3"});
    ASSERT_EQ(OpenTunerDevice(), 1);
    sim.ClearJournal();
    EXPECT_EQ(GetTunerModel(), 13);
    EXPECT_EQ(nSignalFormat, 3);
    // Nobody serves model 13: nothing but the model query reaches the box.
    EXPECT_EQ(TuneChannel(-1, Channel(474000, 8), CaptureSettings{}), 0);
    EXPECT_EQ(sim.JournalLines(), (Lines{kModelQuery, kModelQuery}));
    CloseTunerDevice();
  }
  {
    BoxSimProcess sim({"--kind", "bus", "--model-code", "HVLPX5", "--fail", "AABB2880"});
    ASSERT_EQ(OpenTunerDevice(), 1);
    EXPECT_EQ(GetTunerModel(), 1);  // a failed query reads as a satellite model
    CloseTunerDevice();
  }
}

// --- Stream requests ---------------------------------------------------------

TEST_F(DeviceSimTest, StreamRequestsOfTheDirectKinds) {
  struct Case {
    const char* kind;
    Lines start;
    const char* position;
    const char* stop;
    bool pidFilter;
  };
  const Case cases[] = {
      {"t", {"T 00222334 in= out=4"}, "T 0022233C in= out=4", "T 00222338 in= out=0", false},
      {"a", {"A 00222358 in=02 out=0", "A 00222334 in= out=4"}, "A 0022233C in= out=4",
       "A 00222338 in= out=0", true},
      {"s", {"S 00222358 in= out=0", "S 00222334 in= out=4"}, "S 0022233C in= out=4",
       "S 00222338 in= out=0", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    BoxSimProcess sim({"--kind", c.kind});
    ASSERT_EQ(OpenTunerDevice(), 1);
    sim.ClearJournal();
    uint8_t* ring = nullptr;
    size_t ringSize = 0;
    ASSERT_EQ(StartStream(&ring, &ringSize), 1);
    EXPECT_NE(ring, nullptr);
    EXPECT_GE(ringSize, kRingSizeDirect);
    EXPECT_EQ(sim.JournalLines(), c.start);
    sim.ClearJournal();
    uint32_t offset = 0xFFFFFFFF;
    EXPECT_EQ(GetStreamWritePosition(&offset), 1);
    EXPECT_LT(offset, kRingSizeDirect);
    SetPidFilter(0x2000);
    EXPECT_EQ(StopStream(), 1);
    Lines expected = {c.position};
    if (c.pidFilter)
      expected.push_back(std::string(1, c.start[0][0]) + " 00222344 in=" + Zeros(16) + "0100 out=0");
    expected.push_back(c.stop);
    EXPECT_EQ(sim.JournalLines(), expected);
    CloseTunerDevice();
  }
}

TEST_F(DeviceSimTest, BusStreamUsesTheStreamHandleButStopsOnTheBusHandle) {
  OpenBox({"--kind", "bus", "--model-code", "KJNRG8"});
  uint8_t* ring = nullptr;
  size_t ringSize = 0;
  ASSERT_EQ(StartStream(&ring, &ringSize), 1);
  EXPECT_NE(ring, nullptr);
  EXPECT_GE(ringSize, kRingSizeBus);
  uint32_t offset = 0;
  EXPECT_EQ(GetStreamWritePosition(&offset), 1);
  SetPidFilter(0x1FFF);  // no PID filter on this kind
  EXPECT_EQ(StopStream(), 1);
  EXPECT_EQ(Journal(), (Lines{"BUSSTREAM DDFF2C00 in= out=4", "BUSSTREAM DDFF2C80 in= out=4",
                              "BUS DDFF2C40 in= out=0"}));
}

TEST_F(DeviceSimTest, PidFilterRecordOnTheWire) {
  OpenBox({"--kind", "a"});
  SetPidFilter(0x1FFF);
  SetPidFilter(0x2000);
  EXPECT_EQ(Journal(), (Lines{"A 00222344 in=FF1F" + Zeros(14) + "0100 out=0",
                              "A 00222344 in=0000" + Zeros(14) + "0100 out=0"}));
}

TEST_F(DeviceSimTest, FailedStartRequestSendsNoAddressRequest) {
  OpenBox({"--kind", "s", "--fail", "222358"});
  uint8_t* ring = nullptr;
  EXPECT_EQ(StartStream(&ring), 0);
  EXPECT_EQ(ring, nullptr);
  EXPECT_EQ(Journal(), Lines{"S 00222358 in= out=0"});
}

// --- Tuning sequences ----------------------------------------------------------

TEST_F(DeviceSimTest, CableBusPlainFramePollsThenReadsBack) {
  OpenBox({"--kind", "bus", "--model-code", "HVLPX5", "--lock-ms", "30"});
  EXPECT_EQ(TuneChannel(-1, Channel(474000, 6875, 64), CaptureSettings{}), 1);
  EXPECT_EQ(bCiTuneFrame, 0);
  const Lines lines = Journal();
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0], kModelQuery);
  EXPECT_EQ(lines[1], "BUS AABB2900 in=00073B901ADB0040F9 out=9");
  size_t at = 2;
  EXPECT_TRUE(SkipPolls(lines, &at, kBusPoll));
  ASSERT_EQ(at + 1, lines.size());
  // The read-back sends the buffer as the box left it: 9 bytes in, 9 out.
  EXPECT_EQ(lines[at].substr(0, 16), "BUS AABB2A00 in=");
  EXPECT_EQ(lines[at].size(), std::string("BUS AABB2A00 in= out=9").size() + 18);
  EXPECT_EQ(lines[at].substr(lines[at].size() - 6), " out=9");
}

TEST_F(DeviceSimTest, CableBusQam256PlainFrame) {
  OpenBox({"--kind", "bus", "--model-code", "HVLPX5", "--lock-ms", "5"});
  EXPECT_EQ(TuneChannel(5, Channel(474000, 6875, 256), CaptureSettings{}), 1);
  EXPECT_EQ(Journal().at(0), "BUS AABB2900 in=00073B901ADB00FF3A out=9");
}

TEST_F(DeviceSimTest, CableLongFrameForModelSix) {
  OpenBox({"--kind", "bus", "--model-code", "HVL-A6"});
  EXPECT_EQ(TuneChannel(-1, Channel(474000, 6875, 256), CaptureSettings{}), 1);
  EXPECT_EQ(bCiTuneFrame, 1);
  EXPECT_EQ(Journal(), (Lines{kModelQuery,
                              "BUS AABB2A04 in=AA0900073B90001ADB0030" + Zeros(245) + " out=0",
                              "BUS AABB2A08 in= out=256"}));
}

TEST_F(DeviceSimTest, TerrestrialVariantAAnswersIntoTheChannelRecord) {
  OpenBox({"--kind", "bus", "--model-code", "KJNRG8", "--lock-ms", "30"});
  EXPECT_EQ(TuneChannel(-1, Channel(474000, 8), CaptureSettings{}), 1);
  const Lines lines = Journal();
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0], kModelQuery);
  EXPECT_EQ(lines[1], "BUS AABB2900 in=00073B900008000026 out=332");
  size_t at = 2;
  EXPECT_TRUE(SkipPolls(lines, &at, kBusPoll));
  ASSERT_EQ(at + 1, lines.size());
  EXPECT_EQ(lines[at], "BUS AABB2A00 in=00073B900008000026 out=332");
}

TEST_F(DeviceSimTest, TerrestrialVariantBPollsWithTheFrame) {
  OpenBox({"--kind", "bus", "--model-code", "ZUMEQB", "--lock-ms", "30"});
  EXPECT_EQ(TuneChannel(-1, Channel(474000, 6), CaptureSettings{}), 1);
  const Lines lines = Journal();
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0], kModelQuery);
  EXPECT_EQ(lines[1], "BUS AABB2900 in=00073B900006000028 out=9");
  // Every poll carries the 9 bytes the box left in the frame; the read-back sends them on.
  const std::string& poll = lines[2];
  ASSERT_EQ(poll.substr(0, 16), "BUS AABB2980 in=");
  EXPECT_EQ(poll.size(), std::string("BUS AABB2980 in= out=0").size() + 18);
  size_t at = 2;
  EXPECT_TRUE(SkipPolls(lines, &at, poll));
  ASSERT_EQ(at + 1, lines.size());
  EXPECT_EQ(lines[at], "BUS AABB2A00 in=" + poll.substr(16, 18) + " out=9");
}

TEST_F(DeviceSimTest, DirectTuneOnTPathAndInterfaceA) {
  {
    BoxSimProcess sim({"--kind", "t"});
    ASSERT_EQ(OpenTunerDevice(), 1);
    EXPECT_EQ(TuneChannel(-1, Channel(474000, 8), CaptureSettings{}), 1);
    EXPECT_EQ(sim.JournalLines(), Lines{"T 00222328 in=09073B900008000026 out=0"});
    CloseTunerDevice();
  }
  {
    BoxSimProcess sim({"--kind", "a"});
    ASSERT_EQ(OpenTunerDevice(), 1);
    EXPECT_EQ(TuneChannel(-1, Channel(474000, 8), CaptureSettings{}), 1);
    EXPECT_EQ(sim.JournalLines(), Lines{"A 00222328 in=00073B900008000026 out=0"});
    CloseTunerDevice();
  }
  {
    BoxSimProcess sim({"--kind", "t", "--fail", "222328"});
    ASSERT_EQ(OpenTunerDevice(), 1);
    EXPECT_EQ(TuneChannel(-1, Channel(474000, 8), CaptureSettings{}), 0);
    CloseTunerDevice();
  }
}

TEST_F(DeviceSimTest, SatelliteBusBurstThenDiseqcThenToneThenTune) {
  OpenBox({"--kind", "bus", "--model-code", "WQ-B3R", "--lock-ms", "30"});
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(TuneChannel(-1, kAstraChannel, UniversalLnb(1)), 1);
  EXPECT_GE(MillisecondsSince(start), 300);  // three settling waits of 100 ms
  EXPECT_EQ(bCiTuneFrame, 0);
  const Lines lines = Journal();
  ASSERT_GE(lines.size(), 7u);
  EXPECT_EQ(lines[0], kModelQuery);
  EXPECT_EQ(lines[1], std::string("BUS AABB2880 in=") + kBurstsOffSupplyOn + " out=0");
  EXPECT_EQ(lines[2], std::string("BUS AABB2880 in=") + kDiseqcLnbA + " out=0");
  EXPECT_EQ(lines[3], std::string("BUS AABB2880 in=") + kToneOnSupplyOn + " out=0");
  EXPECT_EQ(lines[4], std::string("BUS AABB2900 in=") + kAstraBlock + " out=9");
  size_t at = 5;
  EXPECT_TRUE(SkipPolls(lines, &at, kBusPoll));
  ASSERT_EQ(at + 1, lines.size());
  EXPECT_EQ(lines[at], std::string("BUS AABB2A00 in=") + kAstraBlock + " out=9");
}

TEST_F(DeviceSimTest, SatelliteBusWithoutDiseqcAndWithToneBurst) {
  OpenBox({"--kind", "bus", "--model-code", "WQ-47H", "--lock-ms", "5"});
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(TuneChannel(4, kAstraChannel, UniversalLnb(0, 1)), 1);
  EXPECT_GE(MillisecondsSince(start), 200);
  const Lines lines = Journal();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], "BUS AABB2880 in=AA0009FF00010000F7 out=0");
  EXPECT_EQ(lines[1], std::string("BUS AABB2880 in=") + kToneOnSupplyOn + " out=0");
  EXPECT_EQ(lines[2], std::string("BUS AABB2900 in=") + kAstraBlock + " out=9");
}

TEST_F(DeviceSimTest, SatelliteBusLongFrameForModelZero) {
  OpenBox({"--kind", "bus", "--model-code", "RZK-A1"});
  EXPECT_EQ(TuneChannel(-1, kAstraChannel, UniversalLnb(1)), 1);
  EXPECT_EQ(bCiTuneFrame, 1);
  const Lines lines = Journal();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[3], std::string("BUS AABB2880 in=") + kToneOnSupplyOn + " out=0");
  EXPECT_EQ(lines[4], "BUS AABB2A04 in=AA0900049A01006B6C641D" + Zeros(245) + " out=0");
  EXPECT_EQ(lines[5], "BUS AABB2A08 in= out=256");
}

TEST_F(DeviceSimTest, SPathSwitchesDiseqcBeforeTheBurst) {
  OpenBox({"--kind", "s"});
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(TuneChannel(-1, kAstraChannel, UniversalLnb(1)), 1);
  EXPECT_GE(MillisecondsSince(start), 300);
  EXPECT_EQ(Journal(), (Lines{std::string("S 00222320 in=") + kDiseqcLnbA + " out=10",
                              std::string("S 00222320 in=") + kBurstsOffSupplyOn + " out=10",
                              std::string("S 00222320 in=") + kToneOnSupplyOn + " out=10",
                              std::string("S 00222328 in=") + kAstraBlock + " out=10"}));
}

TEST_F(DeviceSimTest, SatelliteWithoutUsableOscillatorSendsNothing) {
  OpenBox({"--kind", "s"});
  EXPECT_EQ(TuneChannel(20, Channel(12750, 27500, 1, 0), UniversalLnb(1)), 0);
  EXPECT_TRUE(Journal().empty());
}

TEST_F(DeviceSimTest, LnbNumberZeroMeansOneAndOutOfRangeIsRefused) {
  OpenBox({"--kind", "s"});
  CaptureSettings capture = UniversalLnb(2);
  capture.lnb[1] = capture.lnb[0];
  capture.lnb[1].diseqc = 4;
  capture.nLnbNumber = 0;
  EXPECT_EQ(TuneChannel(20, kAstraChannel, capture), 1);
  ASSERT_FALSE(Journal().empty());
  EXPECT_EQ(Journal()[0], "S 00222320 in=AA000804E01038F7D5 out=10");  // LNB 1, input B
  box.ClearJournal();
  capture.nLnbNumber = 2;
  EXPECT_EQ(TuneChannel(20, kAstraChannel, capture), 1);
  ASSERT_FALSE(Journal().empty());
  EXPECT_EQ(Journal()[0], "S 00222320 in=AA000804E01038FFCD out=10");  // LNB 2, input D
  box.ClearJournal();
  for (int bad : {5, -1, 1 << 30}) {
    capture.nLnbNumber = bad;
    EXPECT_EQ(TuneChannel(20, kAstraChannel, capture), 0) << bad;
  }
  EXPECT_TRUE(Journal().empty());
}

TEST_F(DeviceSimTest, LnbCommandsGoToTheOpenSatelliteHandle) {
  OpenBox({"--kind", "s"});
  EXPECT_EQ(SetLnbControl(1, 0, 0, 1), 0);  // 0: the last request succeeded
  EXPECT_EQ(SendDiseqcCommand(0xE0, 0x31, 0x38, 0x00), 0);  // address always 0x10
  EXPECT_EQ(Journal(), (Lines{std::string("S 00222320 in=") + kToneOnSupplyOn + " out=10",
                              "S 00222320 in=AA000803E0103800CD out=10"}));
  CloseTunerDevice();
  BoxSimProcess failing({"--kind", "bus", "--model-code", "WQ-B3R", "--fail", "AABB2880"});
  ASSERT_EQ(OpenTunerDevice(), 1);
  EXPECT_EQ(SetLnbControl(0, 0, 0, 0), 1);
  EXPECT_EQ(failing.JournalLines(), Lines{"BUS AABB2880 in=AA000900FF000000F8 out=0"});
}

// --- Signal status ---------------------------------------------------------------

TEST_F(DeviceSimTest, SignalStatusOnTheBusDecodesTheBoxFormat) {
  struct Case {
    const char* code;
    int tolerance;  // formats 1 and 2 cannot express every percentage
  };
  for (const Case& c : {Case{"KJNRG8", 0}, Case{"HVL-A6", 0}, Case{"WQ-B3R", 2}, Case{"HVLPX5", 3}}) {
    SCOPED_TRACE(c.code);
    BoxSimProcess sim({"--kind", "bus", "--model-code", c.code, "--lock-ms", "5", "--strength",
                       "71", "--quality", "33"});
    ASSERT_EQ(OpenTunerDevice(), 1);
    ChannelSettings channel = Channel(474000, 6875, 64);
    if (std::strcmp(c.code, "WQ-B3R") == 0) channel = kAstraChannel;
    ASSERT_EQ(TuneChannel(-1, channel, UniversalLnb(0)), 1);
    SleepMs(50);
    sim.ClearJournal();
    int strength = -1, quality = -1, locked = -1;
    ASSERT_EQ(GetSignalStatus(&strength, &quality, &locked), 1);
    EXPECT_EQ(sim.JournalLines(), Lines{"BUS AABB2880 in=AA00050000000000FB out=9"});
    EXPECT_EQ(locked, 1);
    EXPECT_NEAR(strength, 71, c.tolerance);
    EXPECT_NEAR(quality, 33, c.tolerance);
    CloseTunerDevice();
  }
}

TEST_F(DeviceSimTest, SignalStatusOnTheDirectKinds) {
  for (const char* kind : {"t", "s"}) {
    SCOPED_TRACE(kind);
    BoxSimProcess sim({"--kind", kind, "--lock-ms", "5", "--strength", "64", "--quality", "52"});
    ASSERT_EQ(OpenTunerDevice(), 1);
    const ChannelSettings channel = *kind == 't' ? Channel(474000, 8) : kAstraChannel;
    ASSERT_EQ(TuneChannel(-1, channel, UniversalLnb(0)), 1);
    SleepMs(50);
    sim.ClearJournal();
    int strength = -1, quality = -1, locked = -1;
    ASSERT_EQ(GetSignalStatus(&strength, &quality, &locked), 1);
    const std::string handle = *kind == 't' ? "T" : "S";
    EXPECT_EQ(sim.JournalLines(), Lines{handle + " 0022234C in=0A0A0B0C0900000000 out=3"});
    EXPECT_EQ(strength, 64);
    EXPECT_EQ(quality, 52);
    EXPECT_EQ(locked, 1);
    CloseTunerDevice();
  }
}

TEST_F(DeviceSimTest, ModelTwelveHasNoSignalStatus) {
  OpenBox({"--kind", "a"});
  int strength = -1, quality = -1, locked = -1;
  EXPECT_EQ(GetSignalStatus(&strength, &quality, &locked), 0);
  EXPECT_EQ(strength, -1);
  EXPECT_TRUE(Journal().empty());
}

TEST_F(DeviceSimTest, UnlockedBoxReportsTheUnlockedFlag) {
  OpenBox({"--kind", "bus", "--model-code", "KJNRG8", "--never-ready"});
  int strength = -1, quality = -1, locked = -1;
  ASSERT_EQ(GetSignalStatus(&strength, &quality, &locked), 1);
  EXPECT_EQ(locked, 0);
}

// --- Time-outs, unplugging and cancelling -----------------------------------------

TEST_F(DeviceSimTest, CableNeverReadyGivesUpAfterSixSeconds) {
  OpenBox({"--kind", "bus", "--model-code", "HVLPX5", "--never-ready"});
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(TuneChannel(5, Channel(474000, 6875, 64), CaptureSettings{}), 0);
  const int64_t elapsed = MillisecondsSince(start);
  EXPECT_GE(elapsed, 6000);
  EXPECT_LT(elapsed, 9000);
  const Lines lines = Journal();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), kBusPoll);  // no read-back
}

TEST_F(DeviceSimTest, TerrestrialNeverReadyGivesUpAfterSixSeconds) {
  OpenBox({"--kind", "bus", "--model-code", "ZUMEFA", "--never-ready"});
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(TuneChannel(15, Channel(474000, 6), CaptureSettings{}), 0);
  const int64_t elapsed = MillisecondsSince(start);
  EXPECT_GE(elapsed, 6000);
  EXPECT_LT(elapsed, 9000);
  EXPECT_EQ(Journal().back(), kBusPoll);
}

TEST_F(DeviceSimTest, SatelliteBusNeverReadyGivesUpAfterTwoSeconds) {
  OpenBox({"--kind", "bus", "--model-code", "WQ-B3R", "--never-ready"});
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(TuneChannel(2, kAstraChannel, UniversalLnb(1)), 0);
  const int64_t elapsed = MillisecondsSince(start);
  EXPECT_GE(elapsed, 2300);  // three waits and the poll limit
  EXPECT_LT(elapsed, 5000);
  EXPECT_EQ(Journal().back(), kBusPoll);
}

TEST_F(DeviceSimTest, UnpluggedMidSequenceFailsInsteadOfHanging) {
  // The ready poll never answers: only noticing the unplug ends the tune.
  OpenBox({"--kind", "bus", "--model-code", "WQ-B3R", "--hang", "AABB2980"});
  auto tune = std::async(std::launch::async, [] { return TuneChannel(2, kAstraChannel, UniversalLnb(1)); });
  ASSERT_TRUE(WaitForJournalLine(kBusPoll));
  box.Kill();
  ASSERT_EQ(tune.wait_for(std::chrono::seconds(30)), std::future_status::ready)
      << "the unplug was not noticed";
  EXPECT_EQ(tune.get(), 0);
  // Everything after the unplug fails at once.
  int strength, quality, locked;
  uint32_t offset;
  EXPECT_EQ(GetSignalStatus(&strength, &quality, &locked), 0);
  EXPECT_EQ(GetStreamWritePosition(&offset), 0);
  EXPECT_EQ(GetTunerModel(), 1);
}

TEST_F(DeviceSimTest, CancelReleasesABlockedRequestAndTheNextCallsUntilResumed) {
  OpenBox({"--kind", "bus", "--model-code", "HVLPX5", "--hang", "AABB2900"});
  auto tune = std::async(std::launch::async, [] {
    return TuneChannel(5, Channel(474000, 6875, 64), CaptureSettings{});
  });
  ASSERT_TRUE(WaitForJournalLine("BUS AABB2900"));
  CancelTunerRequests();
  if (tune.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
    box.Kill();  // release it anyway so that the test ends
    FAIL() << "the blocked request was not released";
  }
  EXPECT_EQ(tune.get(), 0);  // the hung request never ends by itself: released by the cancel
  EXPECT_TRUE(TunerRequestsCancelled());
  box.ClearJournal();
  int strength, quality, locked;
  EXPECT_EQ(GetSignalStatus(&strength, &quality, &locked), 0);
  EXPECT_TRUE(Journal().empty());  // not even sent
  ResumeTunerRequests();
  EXPECT_EQ(GetTunerModel(), 5);
  EXPECT_EQ(Journal(), Lines{kModelQuery});
}

struct PollLoopCase {
  const char* code;
  const char* awaited;  // the journal line that shows the sequence is inside its loop or waits
};

class CancelInsideASequence : public DeviceSimTest, public ::testing::WithParamInterface<PollLoopCase> {};

TEST_P(CancelInsideASequence, EndsItWithoutAnotherRequest) {
  const bool satellite = GetParam().code[0] == 'W';
  OpenBox({"--kind", "bus", "--model-code", GetParam().code, "--never-ready"});
  auto tune = std::async(std::launch::async, [satellite] {
    return satellite ? TuneChannel(2, kAstraChannel, UniversalLnb(1))
                     : TuneChannel(11, Channel(474000, 8), CaptureSettings{});
  });
  ASSERT_TRUE(WaitForJournalLine(GetParam().awaited));
  CancelTunerRequests();
  const size_t sentBefore = Journal().size();
  ASSERT_EQ(tune.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(tune.get(), 0);
  // At most the request in flight when the cancel came; the sequence's
  // further steps (tone, tune, more polls for seconds) are never sent.
  EXPECT_LE(Journal().size(), sentBefore + 1);
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, CancelInsideASequence,
    ::testing::Values(PollLoopCase{"KJNYB9", "BUS AABB2980"},   // terrestrial: inside the poll loop
                      PollLoopCase{"WQ-B3R", "BUS AABB2880"}),  // satellite: inside the settling waits
    [](const ::testing::TestParamInfo<PollLoopCase>& info) {
      return std::string(info.param.code[0] == 'W' ? "SatelliteSettlingWait" : "TerrestrialPollLoop");
    });

}  // namespace
