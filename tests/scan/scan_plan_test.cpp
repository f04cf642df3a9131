// Scan plans (plan files through libdvbv5, frequency lists, ranges), the
// transponders a NIT names, and channel files written and read back.
#include <gtest/gtest.h>

#include <fstream>

#include "analysis/health/stream_health.h"
#include "analysis/si/si_collector.h"
#include "analysis/si/si_report.h"
#include "capture/scan/channel_file.h"
#include "capture/scan/channel_scan.h"
#include "tests/scan/sample_network.h"
#include "tests/support/test_env.h"

namespace {

ScanTuning Defaults(TunerFamily family) {
  ScanTuning d;
  d.family = family;
  d.bandwidthMHz = 7;
  d.symbolRateK = 6875;
  d.qamOrder = 256;
  return d;
}

std::string WriteText(const TempDir& dir, const std::string& name, const std::string& text) {
  const std::string path = dir.File(name);
  std::ofstream(path) << text;
  return path;
}

TEST(ScanPlan, PlanFilesGiveTheFamilysEntries) {
  struct Case {
    const char* what;
    TunerFamily family;
    std::string text;
    std::vector<std::string> entries;  // ScanTuning::Text of each
    int skipped;
  };
  const Case cases[] = {
      {"DVBv5 terrestrial, a cable entry left out", TunerFamily::Terrestrial,
       "[A]\n\tDELIVERY_SYSTEM = DVBT\n\tFREQUENCY = 474000000\n\tBANDWIDTH_HZ = 8000000\n"
       "[B]\n\tDELIVERY_SYSTEM = DVBC/ANNEX_A\n\tFREQUENCY = 346000000\n\tSYMBOL_RATE = 6900000\n"
       "[C]\n\tDELIVERY_SYSTEM = DVBT2\n\tFREQUENCY = 482000000\n",
       {"474000 kHz, 8 MHz", "482000 kHz, 7 MHz"}, 1},
      {"ATSC: 6 MHz channels", TunerFamily::Terrestrial,
       "[CHANNEL]\n\tDELIVERY_SYSTEM = ATSC\n\tFREQUENCY = 57028615\n\tMODULATION = VSB/8\n", {"57029 kHz, 6 MHz"}, 0},
      {"DVBv5 cable with its modulation", TunerFamily::Cable,
       "[A]\n\tDELIVERY_SYSTEM = DVBC/ANNEX_A\n\tFREQUENCY = 346000000\n\tSYMBOL_RATE = 6900000\n\tMODULATION = QAM/64\n",
       {"346000 kHz, 6900 ksymbol/s, QAM 64"}, 0},
      {"one-line satellite format", TunerFamily::Satellite, "# comment\nS 11494000 H 22000000 2/3\nS 12188000 V 27500000 3/4\n",
       {"11494 MHz H, 22000 ksymbol/s", "12188 MHz V, 27500 ksymbol/s"}, 0},
      {"the same transponder twice is scanned once", TunerFamily::Terrestrial,
       "[A]\n\tDELIVERY_SYSTEM = DVBT\n\tFREQUENCY = 474000000\n[B]\n\tDELIVERY_SYSTEM = DVBT\n\tFREQUENCY = 474000000\n",
       {"474000 kHz, 7 MHz"}, 0},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<ScanTuning> plan;
    int skipped = -1;
    std::string error;
    ASSERT_TRUE(ReadScanPlanFile(WriteText(dir, "plan", c.text), Defaults(c.family), &plan, &skipped, &error)) << error;
    std::vector<std::string> texts;
    for (const ScanTuning& t : plan) {
      texts.push_back(t.Text());
      EXPECT_EQ(t.source, ScanSource::Plan);
    }
    EXPECT_EQ(texts, c.entries);
    EXPECT_EQ(skipped, c.skipped);
  }
}

TEST(ScanPlan, UnusablePlanFilesAreRefusedWithTheReason) {
  struct Case {
    std::string text;
    const char* reasonPart;
  };
  const Case cases[] = {
      {"", "holds no transponder"},
      {"[B]\n\tDELIVERY_SYSTEM = DVBC/ANNEX_A\n\tFREQUENCY = 346000000\n", "no transponder this box can tune"},
      {std::string("\x00\x01\x02garbage\n", 11), "holds no transponder"},
  };
  TempDir dir;
  for (const Case& c : cases) {
    std::vector<ScanTuning> plan;
    int skipped = 0;
    std::string error;
    EXPECT_FALSE(ReadScanPlanFile(WriteText(dir, "bad", c.text), Defaults(TunerFamily::Terrestrial), &plan, &skipped, &error));
    EXPECT_NE(error.find(c.reasonPart), std::string::npos) << error;
  }
  std::vector<ScanTuning> plan;
  int skipped = 0;
  std::string error;
  EXPECT_FALSE(ReadScanPlanFile(dir.path(), Defaults(TunerFamily::Terrestrial), &plan, &skipped, &error));
  EXPECT_FALSE(ReadScanPlanFile(dir.File("missing"), Defaults(TunerFamily::Terrestrial), &plan, &skipped, &error));
}

TEST(ScanPlan, FrequencyListsAndRanges) {
  struct Case {
    bool range;
    const char* text;
    std::vector<uint32_t> frequencies;  // empty: refused
  };
  const Case cases[] = {
      {false, "474000,482000", {474000, 482000}},
      {false, "474000", {474000}},
      {false, "474000,,482000", {}},
      {false, "474000,474000", {}},
      {false, "474 MHz", {}},
      {false, "0", {}},
      {false, "99999999999", {}},
      {true, "474000:490000:8000", {474000, 482000, 490000}},
      {true, "474000:489999:8000", {474000, 482000}},
      {true, "474000:474000:1", {474000}},
      {true, "490000:474000:8000", {}},
      {true, "474000:490000:0", {}},
      {true, "474000:490000", {}},
      {true, "1:100000:1", {}},  // more than kMaxScanEntries
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<ScanTuning> plan;
    std::string error;
    const ScanTuning defaults = Defaults(TunerFamily::Terrestrial);
    const bool ok = c.range ? ParseScanRange(c.text, defaults, &plan, &error) : ParseScanFrequencyList(c.text, defaults, &plan, &error);
    EXPECT_EQ(ok, !c.frequencies.empty()) << error;
    if (!ok) {
      EXPECT_FALSE(error.empty());
      continue;
    }
    std::vector<uint32_t> frequencies;
    for (const ScanTuning& t : plan) {
      frequencies.push_back(t.frequency);
      EXPECT_EQ(t.bandwidthMHz, 7u);
      EXPECT_EQ(t.source, c.range ? ScanSource::Range : ScanSource::List);
    }
    EXPECT_EQ(frequencies, c.frequencies);
  }
}

TEST(ScanPlan, TheNitNamesTheTransponderesOfTheNetworkThatCarryServices) {
  const std::vector<scantest::SampleTransponder> network = scantest::SampleTransponders();
  const tsbuild::Bytes stream = scantest::MakeTransponderStream(network[0], network, 0.6);
  StreamHealth health;
  SiCollector collector([&health](int pid) { health.AssembleSectionsOn(pid); });
  health.SetObserver(&collector);
  health.Feed(stream.data(), stream.size());
  health.Finish();
  const HealthResult result = health.Snapshot();
  const SiReport report(collector, result);
  const std::vector<ScanTuning> found = TuningsFromNitTables(report.TablesJson(0x10, -1), Defaults(TunerFamily::Terrestrial));
  std::vector<std::string> texts;
  for (const ScanTuning& t : found) {
    texts.push_back(t.Text());
    EXPECT_EQ(t.source, ScanSource::Network);
  }
  // 490 MHz does not lock and 498 MHz carries no SI: the network's NIT leaves them out.
  EXPECT_EQ(texts, (std::vector<std::string>{"474000 kHz, 8 MHz", "482000 kHz, 8 MHz", "506000 kHz, 8 MHz"}));
  // A satellite box finds none of these terrestrial descriptors.
  EXPECT_TRUE(TuningsFromNitTables(report.TablesJson(0x10, -1), Defaults(TunerFamily::Satellite)).empty());
}

ScanResult SampleResult() {
  ScanResult result;
  ScanTransponder t;
  t.tuning = Defaults(TunerFamily::Terrestrial);
  t.tuning.frequency = 474000;
  t.tuning.bandwidthMHz = 8;
  t.outcome = ScanOutcome::Found;
  t.transportStreamId = 1;
  t.originalNetworkId = 0x2100;
  ScanService tv;
  tv.serviceId = 101;
  tv.name = "Vantrel Eins";
  tv.provider = "Vantrel";
  tv.serviceType = 1;
  tv.logicalChannel = 1;
  tv.pmtPid = 0x100;
  tv.pcrPid = 0x101;
  tv.streams = {{0x101, 2, "video", ""}, {0x102, 3, "audio", "deu"}, {0x103, 6, "subtitles", "eng"}};
  ScanService radio;
  radio.serviceId = 102;
  radio.name = "Vantrel, Radio";
  radio.serviceType = 2;
  radio.streams = {{0x202, 3, "audio", ""}};
  ScanService twin;
  twin.serviceId = 103;
  twin.name = "Vantrel Eins";
  t.services = {tv, radio, twin};
  result.transponders.push_back(t);
  ScanTransponder failed;
  failed.tuning = t.tuning;
  failed.tuning.frequency = 490000;
  failed.outcome = ScanOutcome::NoLock;
  result.transponders.push_back(failed);
  return result;
}

TEST(ChannelFile, WrittenByLibdvbv5AndReadBack) {
  TempDir dir;
  const std::string path = dir.File("channels.conf");
  std::string error;
  ASSERT_TRUE(WriteScanChannelFile(path, SampleResult(), &error)) << error;
  std::vector<ChannelFileService> services;
  ASSERT_TRUE(ReadScanChannelFile(path, Defaults(TunerFamily::Terrestrial), &services, &error)) << error;
  ASSERT_EQ(services.size(), 3u);
  EXPECT_EQ(services[0].name, "Vantrel Eins");
  EXPECT_EQ(services[0].serviceId, 101);
  EXPECT_EQ(services[0].channelNumber, "1");
  EXPECT_EQ(services[0].tuning.Text(), "474000 kHz, 8 MHz");
  EXPECT_EQ(services[0].videoPids, std::vector<int>{0x101});
  EXPECT_EQ(services[0].audioPids, std::vector<int>{0x102});
  EXPECT_EQ(services[0].otherPids, std::vector<int>{0x103});
  EXPECT_EQ(services[0].transportStreamId, 1);
  EXPECT_EQ(services[0].originalNetworkId, 0x2100);
  EXPECT_EQ(services[1].name, "Vantrel, Radio");
  // Another family's box finds nothing it can tune there.
  EXPECT_FALSE(ReadScanChannelFile(path, Defaults(TunerFamily::Cable), &services, &error));
  // Nothing found, nothing written.
  EXPECT_FALSE(WriteScanChannelFile(dir.File("empty.conf"), ScanResult{}, &error));

  struct Find {
    const char* wanted;
    int serviceId;  // 0: none
    bool ambiguous;
  };
  ASSERT_TRUE(ReadScanChannelFile(path, Defaults(TunerFamily::Terrestrial), &services, &error));
  for (const Find& f : {Find{"vantrel, RADIO", 102, false}, Find{"101", 101, false}, Find{"0x66", 102, false},
                        Find{"Vantrel Eins", 0, true}, Find{"Nobody", 0, false}, Find{"999", 0, false}, Find{"", 0, false}}) {
    SCOPED_TRACE(f.wanted);
    bool ambiguous = false;
    const ChannelFileService* found = FindChannelFileService(services, f.wanted, &ambiguous);
    EXPECT_EQ(found ? found->serviceId : 0, f.serviceId);
    EXPECT_EQ(ambiguous, f.ambiguous);
  }
}

TEST(ChannelFile, M3uListsEveryServiceWithItsTransponder) {
  const std::string m3u = ScanM3u(SampleResult());
  EXPECT_EQ(m3u.rfind("#EXTM3U\n", 0), 0u);
  EXPECT_NE(m3u.find("#EXTINF:-1 tvg-chno=\"1\",Vantrel Eins\n#EXTVLCOPT:program=101\n"
                     "dvb-t://frequency=474000000:bandwidth=8\n"),
            std::string::npos)
      << m3u;
  EXPECT_NE(m3u.find("#EXTINF:-1,Vantrel, Radio\n#EXTVLCOPT:program=102\n"), std::string::npos) << m3u;
}

}  // namespace
