// vantrel-dvbbridge --dry-run end to end: the device layer's tune sequences
// of every family become the expected DVB calls in the journal, the signal
// reaches the program mapped, and vantrel-cli capture through the bridge
// records exactly the looped source bytes.
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "boxserver/stream_source.h"
#include "device/tuner_device.h"
#include "tests/support/boxsim_process.h"
#include "tests/support/run_cli.h"
#include "tests/support/test_env.h"

namespace {

using Lines = std::vector<std::string>;

const std::string kSample = std::string(VANTREL_TEST_DATA_DIR) + "/streams/mpts-3prog.ts";

ChannelSettings Channel(int32_t word0, int32_t word1, int32_t word2 = 0, int32_t word3 = 0) {
  ChannelSettings channel{};
  channel.words[0] = word0;
  channel.words[1] = word1;
  channel.words[2] = word2;
  channel.words[3] = word3;
  return channel;
}

LnbSettings Lnb(int type, int diseqc = 0, int tone = 0, int toneBurst = 0, int dataBurst = 0,
                int custom1 = 0, int custom2 = 0, int enable = 1) {
  return LnbSettings{enable, type, tone, toneBurst, dataBurst, diseqc, custom1, custom2};
}

CaptureSettings WithLnb(const LnbSettings& lnb) {
  CaptureSettings capture{};
  capture.nLnbNumber = 1;
  capture.lnb[0] = lnb;
  return capture;
}

class DryRun : public ::testing::Test {
protected:
  void TearDown() override { CloseTunerDevice(); }

  // Starts the bridge as a SYSTEM box and opens it as the program does.
  void Start(const std::string& system, int expectedModel) {
    ASSERT_TRUE(bridge_.StartDvbBridge({"--dry-run", system, "--stream", kSample})) << bridge_.StderrText();
    ASSERT_EQ(OpenTunerDevice(), 1);
    ASSERT_EQ(GetTunerModel(), expectedModel);
    bridge_.ClearJournal();
  }

  // The journal's DVB calls (its request lines left out), then a fresh journal.
  Lines TakeDvbCalls() {
    Lines calls;
    for (const std::string& line : bridge_.JournalLines()) {
      bool request = false;
      for (const char* prefix : {"T ", "A ", "S ", "BUS ", "BUSSTREAM "})
        request = request || line.rfind(prefix, 0) == 0;
      if (!request) calls.push_back(line);
    }
    bridge_.ClearJournal();
    return calls;
  }

  BoxSimProcess bridge_;
};

TEST_F(DryRun, SatelliteSequencesBecomeVoltageToneBurstDiseqcAndTune) {
  Start("dvbs", 20);
  // Universal LNB on DiSEqC input A, 11,778 MHz horizontal: high band (LO
  // 10,600 MHz), so the tone goes on; the committed switch byte F3.
  ASSERT_NE(TuneChannel(-1, Channel(11778, 27500, 1), WithLnb(Lnb(1, 1))), 0);
  EXPECT_EQ(TakeDvbCalls(), (Lines{"SET_VOLTAGE 18", "SET_TONE OFF", "DISEQC E0 10 38 F3", "SET_TONE OFF",
                                   "SET_TONE ON",
                                   "TUNE delsys=DVBS2 freq=1178000 sr=27500000 modulation=AUTO inversion=OFF"}));
  // Below 11,700 MHz, vertical, input D: low band (9,750 MHz), tone off, byte FC.
  ASSERT_NE(TuneChannel(-1, Channel(11000, 22000, 0, 1), WithLnb(Lnb(1, 4))), 0);
  EXPECT_EQ(TakeDvbCalls(), (Lines{"SET_VOLTAGE 13", "SET_TONE OFF", "DISEQC E0 10 38 FC", "SET_TONE OFF",
                                   "SET_TONE OFF",
                                   "TUNE delsys=DVBS2 freq=1250000 sr=22000000 modulation=AUTO inversion=ON"}));
  // Inputs B and C, horizontal, low band: bytes F6 and FA.
  ASSERT_NE(TuneChannel(-1, Channel(11000, 27500, 1), WithLnb(Lnb(1, 2))), 0);
  Lines calls = TakeDvbCalls();
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls[0], "SET_VOLTAGE 18");
  EXPECT_EQ(calls[1], "DISEQC E0 10 38 F6");
  ASSERT_NE(TuneChannel(-1, Channel(11000, 27500, 1), WithLnb(Lnb(1, 3))), 0);
  calls = TakeDvbCalls();
  ASSERT_GE(calls.size(), 1u);
  EXPECT_EQ(calls[0], "DISEQC E0 10 38 FA");
  // Normal LNB, no DiSEqC, tone from the setting, tone burst (A) then data
  // burst (B). Without a DiSEqC byte the vertical polarisation is known only
  // with the tune, which lowers the voltage just before it.
  ASSERT_NE(TuneChannel(-1, Channel(3800, 27500, 0), WithLnb(Lnb(0, 0, 1, 1))), 0);
  EXPECT_EQ(TakeDvbCalls(), (Lines{"BURST A", "SET_TONE ON", "SET_VOLTAGE 13",
                                   "TUNE delsys=DVBS2 freq=1350000 sr=27500000 modulation=AUTO inversion=OFF"}));
  ASSERT_NE(TuneChannel(-1, Channel(3800, 27500, 0), WithLnb(Lnb(0, 0, 0, 0, 1))), 0);
  EXPECT_EQ(TakeDvbCalls(), (Lines{"SET_TONE OFF", "BURST B", "SET_TONE OFF",
                                   "TUNE delsys=DVBS2 freq=1350000 sr=27500000 modulation=AUTO inversion=OFF"}));
  // Custom LNB with one oscillator of 10,000 MHz, supply off: IF 1,500 MHz.
  ASSERT_NE(TuneChannel(-1, Channel(11500, 30000, 1), WithLnb(Lnb(2, 0, 0, 0, 0, 10000, 0, 0))), 0);
  EXPECT_EQ(TakeDvbCalls(), (Lines{"SET_VOLTAGE OFF", "SET_TONE OFF", "SET_TONE OFF",
                                   "TUNE delsys=DVBS2 freq=1500000 sr=30000000 modulation=AUTO inversion=OFF"}));
  // No oscillator reaches the window: nothing at all reaches the adapter.
  EXPECT_EQ(TuneChannel(-1, Channel(12750, 27500, 1), WithLnb(Lnb(1, 1))), 0);
  EXPECT_TRUE(TakeDvbCalls().empty());
}

TEST_F(DryRun, CableQamOrdersIncluding256) {
  Start("dvbc", 6);
  const std::pair<int, const char*> orders[] = {
      {16, "QAM_16"}, {32, "QAM_32"}, {64, "QAM_64"}, {128, "QAM_128"}, {256, "QAM_256"}};
  for (const auto& [order, name] : orders) {
    ASSERT_NE(TuneChannel(-1, Channel(474000, 6875, order), CaptureSettings{}), 0) << order;
    EXPECT_EQ(TakeDvbCalls(), (Lines{std::string("TUNE delsys=DVBC_ANNEX_A freq=474000000 sr=6875000 modulation=") +
                                     name + " inversion=AUTO"}));
  }
}

TEST_F(DryRun, TerrestrialBandwidthsAndAtsc) {
  Start("dvbt", 46);
  for (int bandwidth : {6, 7, 8}) {
    ASSERT_NE(TuneChannel(-1, Channel(602000, bandwidth), CaptureSettings{}), 0);
    EXPECT_EQ(TakeDvbCalls(), (Lines{"TUNE delsys=DVBT freq=602000000 bandwidth=" +
                                     std::to_string(bandwidth * 1000000) + " inversion=AUTO"}));
  }
  CloseTunerDevice();
  ASSERT_EQ(bridge_.Stop(), 0);
  Start("atsc", 15);
  // The bus ATSC box polls until the frontend locks (the dry run always does).
  ASSERT_NE(TuneChannel(-1, Channel(473000, 6), CaptureSettings{}), 0);
  EXPECT_EQ(TakeDvbCalls(), (Lines{"TUNE delsys=ATSC freq=473000000 modulation=VSB_8 inversion=AUTO"}));
}

TEST_F(DryRun, SignalReachesTheProgramMappedInEveryFamily) {
  // -45 dBm and 18 dB CNR: 75 % and 60 %, through each family's reply format.
  for (const auto& [system, model] : std::vector<std::pair<std::string, int>>{
           {"dvbs", 20}, {"dvbc", 6}, {"dvbt", 46}, {"atsc", 15}}) {
    SCOPED_TRACE(system);
    Start(system, model);
    int strength = -1, quality = -1, locked = -1;
    ASSERT_NE(GetSignalStatus(&strength, &quality, &locked), 0);
    EXPECT_EQ(strength, 75);
    EXPECT_EQ(quality, 60);
    EXPECT_EQ(locked, 1);
    CloseTunerDevice();
    ASSERT_EQ(bridge_.Stop(), 0);
  }
}

TEST_F(DryRun, CliCaptureRecordsExactlyTheLoopedSourceBytes) {
  std::string error;
  std::vector<uint8_t> source;
  ASSERT_TRUE(LoadStreamFile(kSample, &source, &error)) << error;
  // The sample's first 3,000 packets (564,000 bytes, PCRs among them): a
  // 2 MB capture then holds the loop's seam three times.
  source.resize(3000 * 188);
  ASSERT_GT(EstimatePcrBitrate(source), 0u);
  TempDir dir;
  const std::string loop = dir.File("loop.ts");
  WriteFileBytes(loop, std::string(source.begin(), source.end()));
  ScopedEnv profile("XDG_CONFIG_HOME", dir.path().c_str());
  const std::pair<std::string, std::vector<std::string>> families[] = {
      {"dvbt", {"--freq", "474000", "--bw", "8"}},
      {"dvbs", {"--freq", "3800", "--symbol-rate", "27500", "--pol", "V"}},
      {"dvbc", {"--freq", "474000", "--symbol-rate", "6875", "--qam", "256"}},
      {"atsc", {"--freq", "473000", "--bw", "6"}},
  };
  for (const auto& [system, channel] : families) {
    SCOPED_TRACE(system);
    ASSERT_TRUE(bridge_.StartDvbBridge({"--dry-run", system, "--stream", loop})) << bridge_.StderrText();
    const std::string output = dir.File(system + ".ts");
    std::vector<std::string> arguments = {"capture", "--megabytes", "2", "-o", output};
    arguments.insert(arguments.end(), channel.begin(), channel.end());
    CliRun run = RunCli(arguments);
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    std::string captured = ReadFileBytes(output);
    ASSERT_EQ(captured.size(), 2u * 1048576);
    size_t differing = 0;
    for (size_t i = 0; i < captured.size(); ++i)
      differing += static_cast<uint8_t>(captured[i]) != source[i % source.size()];
    EXPECT_EQ(differing, 0u);
    ASSERT_EQ(bridge_.Stop(), 0);
    EXPECT_EQ(bridge_.StderrText().find("overran"), std::string::npos) << bridge_.StderrText();
  }
}

TEST_F(DryRun, AProgramStreamingFromTheBridgeKeepsItsBoxToItself) {
  Start("dvbt", 46);
  uint8_t* ring = nullptr;
  ASSERT_EQ(StartStream(&ring), 1);  // this test program streams
  TempDir dir;
  ScopedEnv profile("XDG_CONFIG_HOME", dir.path().c_str());
  const std::vector<std::string> capture = {"capture", "--seconds", "1", "--freq", "474000", "--bw", "8",
                                            "-o", dir.File("second.ts")};
  CliRun run = RunCli(capture);
  EXPECT_EQ(run.exitCode, 6) << run.err;
  EXPECT_NE(run.err.find("in use by another program (PID " + std::to_string(::getpid()) + ")"), std::string::npos)
      << run.err;
  for (const std::string& call : TakeDvbCalls()) EXPECT_EQ(call.rfind("TUNE", 0), std::string::npos) << call;
  StopStream();
  run = RunCli(capture);
  EXPECT_EQ(run.exitCode, 0) << run.err;
}

}  // namespace
