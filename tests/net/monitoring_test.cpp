// The monitor's HTTP answers, error events and metric labels.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "monitoring/metrics_server.h"
#include "monitoring/monitor_events.h"
#include "monitoring/monitor_metrics.h"
#include "monitoring/multi_monitor.h"
#include "monitoring/network_source.h"
#include "netinput/udp_socket.h"
#include "tests/net/net_test_support.h"

#include <atomic>
#include <cstring>
#include <thread>

namespace {

TEST(MetricsServer, AnswersOnlyGetMetrics) {
  struct Case {
    const char* head;
    const char* status;
    const char* bodyPart;
  };
  const Case cases[] = {
      {"GET /metrics HTTP/1.1\r\nHost: x", "HTTP/1.1 200 OK", "vantrel_test 1"},
      {"GET /metrics?x=1 HTTP/1.0", "HTTP/1.1 200 OK", "vantrel_test 1"},
      {"GET / HTTP/1.1", "HTTP/1.1 200 OK", "href=\"/metrics\""},
      {"GET /other HTTP/1.1", "HTTP/1.1 404 Not Found", "/metrics"},
      {"POST /metrics HTTP/1.1", "HTTP/1.1 405 Method Not Allowed", "Allow: GET"},
      {"HEAD /metrics HTTP/1.1", "HTTP/1.1 405 Method Not Allowed", "only GET"},
      {"GARBAGE", "HTTP/1.1 400 Bad Request", "bad request"},
      {"GET /metrics SPDY/3", "HTTP/1.1 400 Bad Request", "bad request"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.head);
    const std::string answer = MetricsServer::Answer(c.head, [] { return std::string("vantrel_test 1\n"); });
    EXPECT_EQ(answer.rfind(c.status, 0), 0u) << answer;
    EXPECT_NE(answer.find(c.bodyPart), std::string::npos) << answer;
    const size_t bodyAt = answer.find("\r\n\r\n") + 4;
    EXPECT_NE(answer.find("Content-Length: " + std::to_string(answer.size() - bodyAt) + "\r\n"), std::string::npos);
  }
}

TEST(MonitorEvents, OneEventPerOccurrenceAndACountBeyondTheKeptOnes) {
  HealthResult before, after;
  HealthCheckResult& ccBefore = before.checks[static_cast<size_t>(HealthCheck::Continuity)];
  HealthCheckResult& ccAfter = after.checks[static_cast<size_t>(HealthCheck::Continuity)];
  HealthOccurrence first;
  first.pid = 0x100;
  first.description = "first";
  HealthOccurrence second = first;
  second.pid = 0x101;
  second.packetIndex = 77;
  second.description = "second";
  ccBefore.count = 1;
  ccBefore.first = {first};
  ccAfter.count = 5;  // 2 kept in detail, 3 more only counted
  ccAfter.first = {first, second};
  after.checks[static_cast<size_t>(HealthCheck::Pat)].count = 1;  // counted, none kept

  const auto lines = ErrorEvents("news \"hd\"", "2026-12-08T00:00:00.000Z", before, after);
  ASSERT_EQ(lines.size(), 3u);
  const auto pat = nlohmann::json::parse(lines[0]);
  EXPECT_EQ(pat["check"], "pat");
  EXPECT_EQ(pat["priority"], 1);
  EXPECT_EQ(pat["occurrences"], 1);
  const auto detailed = nlohmann::json::parse(lines[1]);
  EXPECT_EQ(detailed["input"], "news \"hd\"");
  EXPECT_EQ(detailed["event"], "error");
  EXPECT_EQ(detailed["check"], "continuity");
  EXPECT_EQ(detailed["pid"], 0x101);
  EXPECT_EQ(detailed["packet"], 77);
  EXPECT_EQ(detailed["description"], "second");
  const auto counted = nlohmann::json::parse(lines[2]);
  EXPECT_EQ(counted["occurrences"], 3);
  EXPECT_TRUE(ErrorEvents("x", "t", after, after).empty());
}

TEST(MonitorEvents, UtcTimeText) {
  const auto time = std::chrono::system_clock::time_point(std::chrono::milliseconds(1796688123456));
  EXPECT_EQ(UtcTimeText(time), "2026-12-08T00:02:03.456Z");
}

TEST(MonitorMetrics, LabelValuesAreEscaped) {
  const std::pair<const char*, const char*> cases[] = {
      {"plain", "plain"}, {"a\"b", "a\\\"b"}, {"back\\slash", "back\\\\slash"}, {"two\nlines", "two\\nlines"}};
  for (const auto& [value, escaped] : cases) EXPECT_EQ(EscapeLabelValue(value), escaped);
}

}  // namespace

namespace {

// The whole loop in one process: a network input, its metrics served while
// datagrams come (one of them lost), and a stop that ends the loop.
TEST(MultiMonitor, FollowsAnInputServesItsMetricsAndStops) {
  const int port = nettest::FreePort(false);
  std::string error;
  const auto address = ParseNetAddress("rtp://127.0.0.1:" + std::to_string(port), &error);
  ASSERT_TRUE(address) << error;
  auto source = NetworkSource::Open(*address, &error);
  ASSERT_TRUE(source) << error;
  MultiMonitor monitor;
  monitor.Add(std::make_unique<MonitoredInput>("in", std::move(source), HealthLimits{}));
  auto server = MetricsServer::Open("127.0.0.1:0", &error);
  ASSERT_TRUE(server) << error;
  std::atomic<bool> stop{false};
  std::atomic<int> ticks{0};
  MultiMonitorOptions options;
  options.metrics = server.get();
  options.onSecond = [&ticks](const MonitoredInput&, double) { ++ticks; };
  std::thread loop([&] { monitor.Run(stop, options); });

  const std::string file = ReadFileBytes(nettest::kSample);
  auto sender = UdpSender::Open(*address, &error);
  ASSERT_TRUE(sender) << error;
  uint8_t datagram[kRtpFixedHeaderBytes + 7 * 188];
  for (uint16_t index = 0; index < 400; ++index) {
    if (index == 123) continue;
    WriteRtpHeader(datagram, kRtpPayloadTypeMp2t, index, index * 90u, 1);
    std::memcpy(datagram + kRtpFixedHeaderBytes, file.data() + index * 7 * 188, 7 * 188);
    ASSERT_TRUE(sender->Send(datagram, sizeof datagram, &error)) << error;
    if (index % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::string metrics;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (ticks.load() < 2 && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  metrics = nettest::HttpGet(server->port(), "/metrics", std::chrono::seconds(5));
  stop.store(true);
  loop.join();
  EXPECT_GE(ticks.load(), 2);
  EXPECT_NE(metrics.find("vantrel_network_lost_datagrams_total{input=\"in\"} 1\n"), std::string::npos) << metrics;
  EXPECT_NE(metrics.find("vantrel_input_packets_total{input=\"in\"} " + std::to_string(399 * 7) + "\n"),
            std::string::npos)
      << metrics;
  EXPECT_EQ(monitor.inputs()[0]->state(), InputState::Receiving);
}

}  // namespace
