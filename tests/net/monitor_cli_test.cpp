// `monitor --input ... --metrics ... --events ...` run as a program against
// senders on loopback, and a real Prometheus scraping it.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "netinput/ts_datagram.h"
#include "netinput/udp_socket.h"
#include "tests/net/net_test_support.h"
#include "tests/support/boxsim_process.h"
#include "tests/support/run_cli.h"

namespace {

using namespace nettest;
using Json = nlohmann::json;
using std::chrono::milliseconds;
using std::chrono::seconds;


// Sends datagrams [first, first + count) of the sample as RTP, leaving out
// those in `dropped`, at about 2 datagrams a millisecond.
void SendRtp(UdpSender& sender, const std::string& file, size_t first, size_t count, const std::set<size_t>& dropped) {
  uint8_t datagram[kRtpFixedHeaderBytes + 7 * 188];
  for (size_t index = first; index < first + count; ++index) {
    const size_t at = index * 7 * 188 % (file.size() - 7 * 188);
    if (dropped.count(index) != 0) continue;
    WriteRtpHeader(datagram, kRtpPayloadTypeMp2t, static_cast<uint16_t>(index), static_cast<uint32_t>(index * 90), 9);
    std::memcpy(datagram + kRtpFixedHeaderBytes, file.data() + at, 7 * 188);
    std::string error;
    ASSERT_TRUE(sender.Send(datagram, sizeof datagram, &error)) << error;
    if (index % 32 == 0) std::this_thread::sleep_for(milliseconds(16));
  }
}

std::string MetricValueLine(const std::string& metrics, const std::string& series) {
  std::istringstream lines(metrics);
  std::string line;
  while (std::getline(lines, line))
    if (line.rfind(series + " ", 0) == 0) return line.substr(series.size() + 1);
  return "";
}

bool PromtoolAccepts(const std::string& metrics, std::string* output) {
  if (access("/usr/bin/promtool", X_OK) != 0) return true;
  TempDir dir;
  WriteFileBytes(dir.File("m.txt"), metrics);
  const std::string command = "/usr/bin/promtool check metrics < " + dir.File("m.txt") + " > " + dir.File("o") + " 2>&1";
  const int status = std::system(command.c_str());
  *output = ReadFileBytes(dir.File("o"));
  return status == 0;
}

TEST(NetMonitorCli, ManyInputsEachWithItsNameMetricsAndEvents) {
  const std::string file = ReadFileBytes(kSample);
  TempDir dir;
  const int portA = FreePort(false), portB = FreePort(false), metricsPort = FreePort(true);
  const std::string addressA = "udp://127.0.0.1:" + std::to_string(portA);
  const std::string addressB = "rtp://[::1]:" + std::to_string(portB);
  Background monitor(Cli(), {"monitor", "--json", "--seconds", "9", "--input", "alpha=" + addressA, "--input",
                             "beta=" + addressB + "?timeout=1", "--metrics", "127.0.0.1:" + std::to_string(metricsPort),
                             "--events", dir.File("events.jsonl")});
  ASSERT_TRUE(WaitForPort(metricsPort, true, seconds(10))) << monitor.Err();
  Background play(Cli(), {"play", kSample, "--to", addressA, "--bitrate", "20000000", "--loop", "-q"});
  std::string error;
  auto sender = UdpSender::Open(*ParseNetAddress(addressB, &error), &error);
  ASSERT_TRUE(sender) << error;
  // beta: about 1 s with 3 datagrams lost, 2.5 s of silence (stopped), then again.
  SendRtp(*sender, file, 0, 2000, {500, 501, 1500});
  const std::string early = HttpGet(metricsPort, "/metrics", seconds(5));
  std::this_thread::sleep_for(milliseconds(2500));
  SendRtp(*sender, file, 2000, 2000, {});
  std::this_thread::sleep_for(milliseconds(1200));
  const std::string late = HttpGet(metricsPort, "/metrics", seconds(5));
  // beta has stopped again by the end: the monitor says so and exits with 4.
  EXPECT_EQ(monitor.Wait(seconds(20)), 4) << monitor.Err();
  EXPECT_NE(monitor.Err().find("beta: stopped"), std::string::npos) << monitor.Err();
  EXPECT_EQ(monitor.Err().find("alpha:"), std::string::npos) << monitor.Err();
  play.Signal(SIGINT);
  play.Wait(seconds(5));

  // Scrapes: valid exposition, counters that grew, the loss of beta.
  for (const std::string* scrape : {&early, &late}) {
    ASSERT_NE(scrape->find("200 OK"), std::string::npos) << *scrape;
    const std::string body = scrape->substr(scrape->find("\r\n\r\n") + 4);
    std::string promtool;
    EXPECT_TRUE(PromtoolAccepts(body, &promtool)) << promtool;
  }
  const auto value = [](const std::string& scrape, const std::string& series) {
    const std::string text = MetricValueLine(scrape.substr(scrape.find("\r\n\r\n") + 4), series);
    return text.empty() ? -1.0 : std::stod(text);
  };
  for (const char* input : {"alpha", "beta"}) {
    const std::string series = std::string("vantrel_input_packets_total{input=\"") + input + "\"}";
    EXPECT_GT(value(late, series), value(early, series)) << series;
  }
  EXPECT_EQ(value(late, "vantrel_network_lost_datagrams_total{input=\"beta\"}"), 3);
  EXPECT_EQ(value(late, "vantrel_network_lost_datagrams_total{input=\"alpha\"}"), 0);
  EXPECT_GT(value(late, "vantrel_check_errors_total{input=\"beta\",check=\"continuity\",number=\"1.4\",priority=\"1\"}"), 0);
  EXPECT_EQ(value(late, "vantrel_input_up{input=\"alpha\"}"), 1);

  // Each second one object per input, with its name; beta shown stopped, then back.
  std::istringstream lines(monitor.Out());
  std::string line;
  std::map<std::string, int> perInput;
  std::vector<std::string> betaStates;
  int summaries = 0;
  while (std::getline(lines, line)) {
    const Json object = Json::parse(line, nullptr, false);
    ASSERT_FALSE(object.is_discarded()) << line;
    if (object.contains("summary")) {
      ++summaries;
      continue;
    }
    ++perInput[object["input"].get<std::string>()];
    if (object["input"] == "beta") betaStates.push_back(object["state"]);
  }
  EXPECT_EQ(summaries, 2);
  EXPECT_EQ(perInput["alpha"], 9);
  EXPECT_EQ(perInput["beta"], 9);
  const auto stopped = std::find(betaStates.begin(), betaStates.end(), "stopped");
  ASSERT_NE(stopped, betaStates.end());
  EXPECT_NE(std::find(stopped, betaStates.end(), "receiving"), betaStates.end());

  // Events: state changes and errors of beta, as JSON lines with UTC times.
  std::ifstream events(dir.File("events.jsonl"));
  std::vector<std::string> betaEvents;
  uint64_t lostInEvents = 0;
  while (std::getline(events, line)) {
    const Json event = Json::parse(line, nullptr, false);
    ASSERT_FALSE(event.is_discarded()) << line;
    EXPECT_EQ(event["time"].get<std::string>().back(), 'Z');
    if (event["input"] != "beta") continue;
    if (event["event"] == "state") betaEvents.push_back(event["state"]);
    if (event["event"] == "network_loss") lostInEvents += event["lost_datagrams"].get<uint64_t>();
    if (event["event"] == "error" && event["check"] == "continuity") betaEvents.push_back("cc");
  }
  EXPECT_EQ(lostInEvents, 3u);
  const std::vector<std::string> order = {"receiving", "cc", "stopped", "receiving"};
  auto at = betaEvents.begin();
  for (const std::string& wanted : order) {
    at = std::find(at, betaEvents.end(), wanted);
    ASSERT_NE(at, betaEvents.end()) << "no " << wanted << " in order";
  }
}

TEST(NetMonitorCli, TunerBoxAndNetworkInputsInOneMonitor) {
  TempDir dir;
  ScopedEnv profileHome("XDG_CONFIG_HOME", dir.path().c_str());
  BoxSimProcess box;
  ASSERT_TRUE(box.Start({"--kind", "t", "--lock-ms", "0", "--bitrate", "10000000"}));
  const int port = FreePort(false), metricsPort = FreePort(true);
  const std::string address = "udp://127.0.0.1:" + std::to_string(port);
  Background monitor(Cli(), {"monitor", "--freq", "474000", "--bw", "8", "--json", "--seconds", "3", "--input",
                             "box", "--input", "ip=" + address, "--metrics", "127.0.0.1:" + std::to_string(metricsPort)});
  ASSERT_TRUE(WaitForPort(port, false, seconds(10))) << monitor.Err();
  Background play(Cli(), {"play", kSample, "--to", address, "--bitrate", "10000000", "--loop", "-q"});
  std::this_thread::sleep_for(milliseconds(1500));
  const std::string scrape = HttpGet(metricsPort, "/metrics", seconds(5));
  const std::string body = scrape.substr(std::min(scrape.size(), scrape.find("\r\n\r\n") + 4));
  EXPECT_EQ(MetricValueLine(body, "vantrel_signal_strength_percent{input=\"box\"}"), "75") << scrape;
  EXPECT_EQ(MetricValueLine(body, "vantrel_signal_locked{input=\"box\"}"), "1");
  EXPECT_EQ(MetricValueLine(body, "vantrel_signal_locked{input=\"ip\"}"), "");
  std::string promtool;
  EXPECT_TRUE(PromtoolAccepts(body, &promtool)) << promtool;
  ASSERT_EQ(monitor.Wait(seconds(30)), 0) << monitor.Err();
  play.Signal(SIGINT);
  play.Wait(seconds(5));
  std::istringstream lines(monitor.Out());
  std::string line;
  std::map<std::string, int> seconds;
  while (std::getline(lines, line)) {
    const Json object = Json::parse(line, nullptr, false);
    ASSERT_FALSE(object.is_discarded()) << line;
    if (object.contains("summary")) continue;
    ++seconds[object["input"].get<std::string>()];
    EXPECT_EQ(object["state"], "receiving") << line;
    if (object["input"] == "box") {
      EXPECT_EQ(object["locked"], true);
      EXPECT_EQ(object["strength"], 75);
    } else {
      EXPECT_FALSE(object.contains("strength"));
      EXPECT_EQ(object["lost_datagrams"], 0);
    }
  }
  EXPECT_EQ(seconds["box"], 3);
  EXPECT_EQ(seconds["ip"], 3);
}

TEST(NetMonitorCli, BadInputsAreRefusedBeforeAnythingRuns) {
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    const char* errPart;
  };
  const Case cases[] = {
      {{"monitor", "--input", "a=udp://127.0.0.1:1", "--input", "a=udp://127.0.0.1:2"}, 2, "two inputs are named"},
      {{"monitor", "--input", "box", "--input", "x=box"}, 2, "one tuner box at a time"},
      {{"monitor", "--input", "ftp://x:1"}, 2, "or box for the tuner box"},
      {{"monitor", "--input", "udp://127.0.0.1:5000", "--metrics", "nonsense"}, 1, "ADDRESS:PORT"},
      {{"monitor", "--input", "udp://127.0.0.1:5000", "--events", "/nonexistent/dir/e.jsonl"}, 1, "cannot open"},
      {{"monitor", "--input", "udp://192.0.2.1:5000"}, 1, "cannot listen"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[2]);
    const CliRun run = RunCli(c.args);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    EXPECT_NE(run.err.find(c.errPart), std::string::npos) << run.err;
  }
}

TEST(NetMonitorCli, PrometheusScrapesTheMonitor) {
  if (access("/usr/bin/prometheus", X_OK) != 0) GTEST_SKIP() << "prometheus is not installed (scripts/setup-deps)";
  TempDir dir;
  const int port = FreePort(false), metricsPort = FreePort(true), prometheusPort = FreePort(true);
  const std::string address = "udp://127.0.0.1:" + std::to_string(port);
  Background monitor(Cli(), {"monitor", "--input", "lab=" + address, "--metrics",
                             "127.0.0.1:" + std::to_string(metricsPort)});
  ASSERT_TRUE(WaitForPort(metricsPort, true, seconds(10))) << monitor.Err();
  Background play(Cli(), {"play", kSample, "--to", address, "--loop", "-q"});
  WriteFileBytes(dir.File("prometheus.yml"), "global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: vantrel\n"
                                             "    static_configs:\n      - targets: ['127.0.0.1:" +
                                                 std::to_string(metricsPort) + "']\n");
  Background prometheus("/usr/bin/prometheus",
                        {"--config.file=" + dir.File("prometheus.yml"), "--storage.tsdb.path=" + dir.File("data"),
                         "--web.listen-address=127.0.0.1:" + std::to_string(prometheusPort), "--log.level=warn"});
  ASSERT_TRUE(WaitForPort(prometheusPort, true, seconds(30))) << prometheus.Err();
  double packets = 0;
  const auto end = std::chrono::steady_clock::now() + seconds(40);
  while (packets <= 0 && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(milliseconds(500));
    const std::string answer =
        HttpGet(prometheusPort, "/api/v1/query?query=vantrel_input_packets_total%7Binput%3D%22lab%22%7D", seconds(5));
    const size_t body = answer.find("\r\n\r\n");
    if (body == std::string::npos) continue;
    const Json json = Json::parse(answer.substr(body + 4), nullptr, false);
    if (json.is_discarded() || json["status"] != "success" || json["data"]["result"].empty()) continue;
    packets = std::stod(json["data"]["result"][0]["value"][1].get<std::string>());
  }
  EXPECT_GT(packets, 0) << prometheus.Err();
  prometheus.Signal(SIGTERM);
  EXPECT_EQ(prometheus.Wait(seconds(15)), 0);
  monitor.Signal(SIGINT);
  EXPECT_EQ(monitor.Wait(seconds(10)), 0) << monitor.Err();
  play.Signal(SIGINT);
  play.Wait(seconds(5));
}

}  // namespace
