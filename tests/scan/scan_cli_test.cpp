// `vantrel-cli scan` and `capture --service` run as programs against the
// simulator playing the sample network (and the DVB bridge's dry run).
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/scan/sample_network.h"
#include "tests/support/boxsim_process.h"
#include "tests/support/run_cli.h"
#include "tests/support/test_env.h"

extern char** environ;

namespace {

using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class ScanCli : public ::testing::Test {
protected:
  void SetUp() override {
    files_ = scantest::WriteSampleNetwork(dir_.path());
    ASSERT_TRUE(box_.Start({"--kind", "t", "--lock-ms", "200", "--bitrate", std::to_string(scantest::kStreamBitrate),
                            "--network", files_.network}))
        << box_.StderrText();
  }
  const Json* Transponder(const Json& scan, int frequency) {
    for (const Json& t : scan["transponders"])
      if (t["frequency"] == frequency) return &t;
    return nullptr;
  }

  TempDir dir_;
  ScopedEnv profileHome_{"XDG_CONFIG_HOME", dir_.path().c_str()};
  scantest::SampleNetworkFiles files_;
  BoxSimProcess box_;
};

TEST_F(ScanCli, APlanScanFindsEveryServiceAndMarksTheFailingTransponders) {
  const std::string channels = dir_.File("channels.conf");
  const std::string m3u = dir_.File("list.m3u");
  const CliRun run = RunCli({"scan", files_.plan, "--lock-timeout", "2", "--table-timeout", "3", "--json",
                             "--channels-out", channels, "--m3u", m3u});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const Json scan = Json::parse(run.out);
  EXPECT_EQ(scan["family"], "terrestrial");
  EXPECT_EQ(scan["transponder_count"], 4);  // the plan's DVB-C entry is left out, 506 MHz is not in it
  EXPECT_NE(run.err.find("1 entries of"), std::string::npos) << run.err;
  struct Expected {
    int frequency;
    const char* outcome;
    std::vector<std::tuple<int, std::string, int, int>> services;  // id, name, LCN, PMT PID
    const char* reasonPart;
  };
  const Expected expected[] = {
      {474000, "found", {{101, "Vantrel Eins", 1, 0x100}, {102, "Vantrel Radio", 10, 0x200}}, ""},
      {482000, "found", {{201, "Vantrel Zwei", 2, 0x300}, {202, "Vantrel Info", 3, 0x400}}, ""},
      {490000, "no_lock", {}, "no lock within 2 s"},
      {498000, "no_tables", {}, "no PAT within 3 s"},
  };
  for (const Expected& e : expected) {
    SCOPED_TRACE(e.frequency);
    const Json* t = Transponder(scan, e.frequency);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ((*t)["outcome"], e.outcome);
    EXPECT_EQ((*t)["source"], "plan");
    EXPECT_EQ((*t)["bandwidth_mhz"], 8);
    if (*e.reasonPart) {
      EXPECT_NE((*t)["reason"].get<std::string>().find(e.reasonPart), std::string::npos) << (*t)["reason"];
    } else {
      EXPECT_TRUE((*t)["reason"].is_null()) << (*t)["reason"];
    }
    ASSERT_EQ((*t)["services"].size(), e.services.size());
    for (size_t i = 0; i < e.services.size(); ++i) {
      const Json& s = (*t)["services"][i];
      const auto& [id, name, lcn, pmt] = e.services[i];
      EXPECT_EQ(s["service_id"], id);
      EXPECT_EQ(s["name"], name);
      EXPECT_EQ(s["provider"], "Vantrel");
      EXPECT_EQ(s["lcn"], lcn);
      EXPECT_EQ(s["pmt_pid"], pmt);
      EXPECT_EQ(s["streams"].back()["pid"], id % 100 == 2 && e.frequency == 474000 ? 0x202 : pmt + 2);
    }
    if (e.frequency == 474000) {
      EXPECT_EQ((*t)["transport_stream_id"], 1);
      EXPECT_EQ((*t)["network_id"], scantest::kNetworkId);
      EXPECT_EQ((*t)["network_name"], scantest::kNetworkName);
      EXPECT_EQ((*t)["strength"], 80);
      EXPECT_EQ((*t)["services"][0]["pcr_pid"], 0x101);
    }
  }
  EXPECT_EQ((*Transponder(scan, 482000))["services"][0]["scrambled"], true);
  EXPECT_EQ((*Transponder(scan, 482000))["services"][0]["ca_systems"][0]["ca_pid"], 0x1F0);
  // The channel file: libdvbv5's format, read back by capture --service below.
  const std::string conf = ReadAll(channels);
  EXPECT_NE(conf.find("[Vantrel Radio]"), std::string::npos) << conf;
  EXPECT_NE(conf.find("SERVICE_ID = 102"), std::string::npos) << conf;
  EXPECT_NE(conf.find("FREQUENCY = 474000000"), std::string::npos) << conf;
  EXPECT_NE(ReadAll(m3u).find("#EXTVLCOPT:program=202\ndvb-t://frequency=482000000:bandwidth=8\n"), std::string::npos);

  // Capture by service from that channel file: one program, no error.
  struct Capture {
    std::vector<std::string> extra;
    const char* pidsLine;
    std::vector<int> services;  // those the services command finds (the PAT's, and the SDT's when kept)
  };
  const Capture captures[] = {
      {{}, "PIDs 0,16,18,20,512,514", {102}},
      {{"--keep-si", "sdt"}, "PIDs 0,17,512,514", {101, 102}},
  };
  for (const Capture& c : captures) {
    const std::string out = dir_.File("radio.ts");
    std::vector<std::string> args = {"capture", "--service", "vantrel radio", "--channels", channels, "--seconds", "1",
                                     "-o", out, "--force"};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    const CliRun capture = RunCli(args);
    ASSERT_EQ(capture.exitCode, 0) << capture.err << capture.out;
    EXPECT_NE(capture.out.find(c.pidsLine), std::string::npos) << capture.out;
    const CliRun services = RunCli({"services", out, "--json"});
    ASSERT_EQ(services.exitCode, 0) << services.err;
    std::vector<int> ids, inPat;
    const Json listed = Json::parse(services.out);
    for (const Json& s : listed["services"]) {
      ids.push_back(s["service_id"]);
      if (s["in_pat"] == true) inPat.push_back(s["service_id"]);
    }
    EXPECT_EQ(ids, c.services);
    EXPECT_EQ(inPat, std::vector<int>{102});
    // No error; a stream filtered to one service has no constant bitrate to judge PCR accuracy by.
    const Json health = Json::parse(RunCli({"analyze", out, "--json"}).out);
    EXPECT_NE(health["verdict"], "errors");
    for (const Json& check : health["checks"]) {
      if (check["evaluated"] == true) EXPECT_EQ(check["count"], 0) << check;
      else EXPECT_NE(check["not_evaluated_reason"].get<std::string>().find("not constant"), std::string::npos) << check;
    }
  }
  // ffprobe, where ffmpeg is installed, sees one program.
  if (::access("/usr/bin/ffprobe", X_OK) == 0) {
    const CliRun capture = RunCli({"capture", "--service", "202", "--channels", channels, "--seconds", "1", "-o",
                                   dir_.File("info.ts")});
    ASSERT_EQ(capture.exitCode, 0) << capture.err;
    const std::string listing = dir_.File("programs.txt");
    const std::string command = "ffprobe -v error -show_entries program=program_num -of json '" +
                                dir_.File("info.ts") + "' > '" + listing + "' 2>/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const Json probed = Json::parse(ReadAll(listing));
    ASSERT_EQ(probed["programs"].size(), 1u) << probed;
    EXPECT_EQ(probed["programs"][0]["program_num"], 202);
  }
}

TEST_F(ScanCli, NetworkFollowsTheNitToTheWeakTransponderOnce) {
  const CliRun run = RunCli({"scan", "--frequencies", "474000", "--bw", "8", "--network", "--json", "--table-timeout", "3"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const Json scan = Json::parse(run.out);
  std::vector<int> frequencies;
  for (const Json& t : scan["transponders"]) frequencies.push_back(t["frequency"]);
  EXPECT_EQ(frequencies, (std::vector<int>{474000, 482000, 506000}));
  const Json* weak = Transponder(scan, 506000);
  ASSERT_NE(weak, nullptr);
  EXPECT_EQ((*weak)["source"], "network");
  EXPECT_EQ((*weak)["outcome"], "found");
  EXPECT_EQ((*weak)["strength"], 22);
  EXPECT_EQ((*weak)["quality"], 15);
  EXPECT_EQ((*weak)["services"][0]["name"], "Vantrel Fern");
  EXPECT_EQ(scan["service_count"], 5);
}

TEST_F(ScanCli, BadInputIsAUsageError) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const Case cases[] = {
      {{"scan"}, "exactly one of PLAN"},
      {{"scan", files_.plan, "--frequencies", "474000"}, "exactly one of PLAN"},
      {{"scan", "--range", "490000:474000:8000"}, "FROM <= TO"},
      {{"scan", "--frequencies", "474000", "--freq", "474000"}, "not --freq"},
      {{"scan", "--frequencies", "474000", "--qam", "64"}, "--qam does not apply"},
      {{"scan", dir_.File("missing.conf")}, "cannot read the plan file"},
      {{"capture", "--service", "Nobody", "--channels", files_.plan, "--seconds", "1"}, "holds no service"},
      {{"capture", "--service", "101", "--channels", dir_.File("missing"), "--seconds", "1"}, "cannot read the channel file"},
      {{"capture", "--service", "101", "--freq", "474000", "--seconds", "1"}, "leave out the channel options"},
      {{"capture", "--service", "101", "--keep-si", "sdt,xyz", "--seconds", "1"}, "unknown table 'xyz'"},
  };
  for (const Case& c : cases) {
    const CliRun run = RunCli(c.args);
    EXPECT_EQ(run.exitCode, 2) << c.args.back() << ": " << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
  }
}

TEST_F(ScanCli, CtrlCEndsTheScanWithinASecondAndKeepsWhatWasFound) {
  const std::string cli = std::string(VANTREL_BINARY_DIR) + "/cli/vantrel-cli";
  const std::string outPath = dir_.File("scan.json");
  const std::string errPath = dir_.File("scan.err");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  // 474 MHz is found, then the scan waits for a lock that never comes on 490 MHz.
  std::vector<std::string> args = {cli, "scan", "--frequencies", "474000,490000", "--bw", "8", "--lock-timeout", "60", "--json"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, cli.c_str(), &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  const Clock::time_point start = Clock::now();
  while (ReadAll(errPath).find("[1/2]") == std::string::npos && Clock::now() - start < std::chrono::seconds(30))
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ::kill(pid, SIGINT);
  const Clock::time_point stopped = Clock::now();
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  // Within a second as the user sees it; generous for a loaded machine.
  EXPECT_LT(Clock::now() - stopped, std::chrono::seconds(3));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  const Json scan = Json::parse(ReadAll(outPath));
  EXPECT_EQ(scan["cancelled"], true);
  EXPECT_EQ(scan["service_count"], 2);
  EXPECT_EQ(scan["transponders"][0]["outcome"], "found");
  EXPECT_EQ(scan["transponders"][1]["outcome"], "cancelled");
}

TEST(ScanCliBridge, AScanThroughTheDvbBridgesDryRunFindsItsStream) {
  TempDir dir;
  ScopedEnv profileHome{"XDG_CONFIG_HOME", dir.path().c_str()};
  const scantest::SampleNetworkFiles files = scantest::WriteSampleNetwork(dir.path(), 1.2);
  BoxSimProcess bridge;
  ASSERT_TRUE(bridge.StartDvbBridge({"--dry-run", "dvbt", "--stream", dir.File("mux-482.ts")})) << bridge.StderrText();
  const CliRun run = RunCli({"scan", files.plan, "--json", "--table-timeout", "4"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const Json scan = Json::parse(run.out);
  // The stand-in frontend locks on every frequency and plays the one stream.
  ASSERT_EQ(scan["transponders"].size(), 4u);
  for (const Json& t : scan["transponders"]) {
    EXPECT_EQ(t["outcome"], "found") << t;
    EXPECT_EQ(t["transport_stream_id"], 2);
    EXPECT_EQ(t["strength"], 75);
    EXPECT_EQ(t["services"].size(), 2u);
  }
  bool tuned = false;
  for (const std::string& line : bridge.JournalLines()) tuned = tuned || line.find("TUNE delsys=DVBT freq=498000000") != std::string::npos;
  EXPECT_TRUE(tuned);
}

}  // namespace
