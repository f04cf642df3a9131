// analyze and play over loopback UDP and RTP: a stream sent live is analysed
// as the file itself is; dropped datagrams show as network loss and as the
// continuity errors they cause; silence is an error, not a hang.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <thread>

#include "netinput/ts_datagram.h"
#include "netinput/udp_socket.h"
#include "tests/net/net_test_support.h"
#include "tests/support/run_cli.h"

namespace {

using namespace nettest;
using Json = nlohmann::json;
using std::chrono::milliseconds;
using std::chrono::seconds;


Json FileAnalysis(const std::string& path) {
  const CliRun run = RunCli({"analyze", path, "--json"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  return Json::parse(run.out, nullptr, false);
}

// Starts `analyze ADDRESS --packets N --json` and waits until it listens.
std::unique_ptr<Background> StartAnalyze(const std::string& address, int port, uint64_t packets) {
  auto analyze = std::make_unique<Background>(
      Cli(), std::vector<std::string>{"analyze", address, "--packets", std::to_string(packets), "--json"});
  EXPECT_TRUE(WaitForPort(port, false, seconds(10))) << analyze->Err();
  return analyze;
}

TEST(NetCli, StreamSentWithPlayIsAnalysedAsTheFile) {
  const Json expected = FileAnalysis(kSample);
  ASSERT_FALSE(expected.is_discarded());
  struct Case {
    const char* listen;  // %d: the port
    const char* send;
    bool rtp;
  };
  const Case cases[] = {
      {"udp://127.0.0.1:%d", "udp://127.0.0.1:%d", false},
      {"rtp://127.0.0.1:%d", "rtp://127.0.0.1:%d", true},
      {"udp://[::1]:%d", "udp://[::1]:%d", false},
      {"rtp://[::1]:%d?timeout=10", "rtp://[::1]:%d", true},
      {"udp://239.255.12.34:%d?iface=lo", "udp://239.255.12.34:%d?iface=lo", false},
      {"rtp://127.0.0.1@232.1.2.3:%d?iface=lo", "rtp://127.0.0.1@232.1.2.3:%d?iface=lo", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.listen);
    const int port = FreePort(false);
    char listen[128], send[128];
    std::snprintf(listen, sizeof listen, c.listen, port);
    std::snprintf(send, sizeof send, c.send, port);
    auto analyze = StartAnalyze(listen, port, kSamplePackets);
    // Any rate gives the same result: the checks time the stream by its PCRs.
    const CliRun play = RunCli({"play", kSample, "--to", send, "--bitrate", "40000000", "-q"});
    EXPECT_EQ(play.exitCode, 0) << play.err;
    ExpectLiveAnalysisOfTheSample(*analyze, expected, c.rtp);
  }
}

TEST(NetCli, FfmpegUdpOutputIsAnalysedAsTheFile) {
  if (access("/usr/bin/ffmpeg", X_OK) != 0) GTEST_SKIP() << "ffmpeg is not installed";
  const Json expected = FileAnalysis(kSample);
  const int port = FreePort(false);
  auto analyze = StartAnalyze("udp://127.0.0.1:" + std::to_string(port), port, kSamplePackets);
  // The data muxer sends the file's bytes unchanged (cut into 1316-byte datagrams, not always on packet boundaries).
  Background ffmpeg("/usr/bin/ffmpeg", {"-hide_banner", "-loglevel", "error", "-f", "data", "-i", kSample, "-map",
                                        "0", "-c", "copy", "-f", "data",
                                        "udp://127.0.0.1:" + std::to_string(port) + "?pkt_size=1316"});
  EXPECT_EQ(ffmpeg.Wait(seconds(30)), 0) << ffmpeg.Err();
  ASSERT_EQ(analyze->Wait(seconds(30)), 0) << analyze->Err();
  Json live = Json::parse(analyze->Out(), nullptr, false);
  ASSERT_FALSE(live.is_discarded()) << analyze->Out();
  EXPECT_FALSE(live["network_input"]["rtp"].get<bool>());
  live.erase("network_input");
  EXPECT_EQ(live, expected);
}

TEST(NetCli, DroppedDatagramsAreNetworkLossAndTheirContinuityErrors) {
  const std::string file = ReadFileBytes(kSample);
  ASSERT_EQ(file.size(), kSamplePackets * 188);
  const size_t datagramBytes = 7 * 188;
  // Datagrams with packets of the busiest video PID (not only null packets) are dropped, two of them in a row.
  const auto carriesVideo = [&file, datagramBytes](size_t index) {
    for (size_t at = index * datagramBytes; at < std::min(file.size(), (index + 1) * datagramBytes); at += 188)
      if (((file[at + 1] & 0x1F) << 8 | static_cast<uint8_t>(file[at + 2])) == 0x300) return true;
    return false;
  };
  std::vector<size_t> dropped;
  for (size_t from : {200, 1200, 3200}) {
    size_t index = from;
    while (!carriesVideo(index) || !carriesVideo(index + 1)) ++index;
    dropped.push_back(index);
    if (from == 1200) dropped.push_back(index + 1);
  }
  TempDir dir;
  std::string withHoles;
  const int port = FreePort(false);
  auto analyze = StartAnalyze("rtp://127.0.0.1:" + std::to_string(port), port,
                              kSamplePackets - 7 * dropped.size());
  std::string error;
  auto sender = UdpSender::Open(*ParseNetAddress("rtp://127.0.0.1:" + std::to_string(port), &error), &error);
  ASSERT_TRUE(sender) << error;
  uint8_t datagram[kRtpFixedHeaderBytes + 7 * 188];
  size_t index = 0;
  for (size_t at = 0; at < file.size(); at += datagramBytes, ++index) {
    const size_t bytes = std::min(datagramBytes, file.size() - at);
    if (std::find(dropped.begin(), dropped.end(), index) != dropped.end()) continue;
    withHoles.append(file, at, bytes);
    WriteRtpHeader(datagram, kRtpPayloadTypeMp2t, static_cast<uint16_t>(index), static_cast<uint32_t>(index * 90), 7);
    std::memcpy(datagram + kRtpFixedHeaderBytes, file.data() + at, bytes);
    ASSERT_TRUE(sender->Send(datagram, kRtpFixedHeaderBytes + bytes, &error)) << error;
    if (index % 64 == 0) std::this_thread::sleep_for(milliseconds(2));
  }
  ASSERT_EQ(analyze->Wait(seconds(30)), 0) << analyze->Err();
  const Json live = Json::parse(analyze->Out(), nullptr, false);
  ASSERT_FALSE(live.is_discarded()) << analyze->Out();
  EXPECT_EQ(live["network_input"]["lost_datagrams"], dropped.size());
  // The continuity errors are those of the file with the same holes.
  WriteFileBytes(dir.File("holes.ts"), withHoles);
  const Json holes = FileAnalysis(dir.File("holes.ts"));
  const Json clean = FileAnalysis(kSample);
  EXPECT_EQ(live["pids"], holes["pids"]);
  EXPECT_EQ(live["errors"], holes["errors"]);
  EXPECT_GT(holes["errors"]["continuity"].get<int>(), clean["errors"]["continuity"].get<int>());
}

TEST(NetCli, ReorderedDatagramsArePutBackInSequence) {
  const std::string file = ReadFileBytes(kSample);
  const size_t datagramBytes = 7 * 188, count = (file.size() + datagramBytes - 1) / datagramBytes;
  // The sending order: every 100th datagram swapped with its successor, and
  // once three in reverse (two of them then arrive after a later one).
  std::vector<size_t> order(count);
  for (size_t i = 0; i < count; ++i) order[i] = i;
  size_t swapped = 0;
  for (size_t i = 50; i + 1 < count; i += 100, ++swapped) std::swap(order[i], order[i + 1]);
  std::reverse(order.begin() + 2000, order.begin() + 2003);
  const int port = FreePort(false);
  auto analyze = StartAnalyze("rtp://127.0.0.1:" + std::to_string(port), port, kSamplePackets);
  std::string error;
  auto sender = UdpSender::Open(*ParseNetAddress("rtp://127.0.0.1:" + std::to_string(port), &error), &error);
  ASSERT_TRUE(sender) << error;
  uint8_t datagram[kRtpFixedHeaderBytes + 7 * 188];
  for (size_t sent = 0; sent < count; ++sent) {
    const size_t index = order[sent], at = index * datagramBytes;
    const size_t bytes = std::min(datagramBytes, file.size() - at);
    WriteRtpHeader(datagram, kRtpPayloadTypeMp2t, static_cast<uint16_t>(index), static_cast<uint32_t>(index * 90), 7);
    std::memcpy(datagram + kRtpFixedHeaderBytes, file.data() + at, bytes);
    ASSERT_TRUE(sender->Send(datagram, kRtpFixedHeaderBytes + bytes, &error)) << error;
    if (sent % 64 == 0) std::this_thread::sleep_for(milliseconds(2));
  }
  ASSERT_EQ(analyze->Wait(seconds(30)), 0) << analyze->Err();
  Json live = Json::parse(analyze->Out(), nullptr, false);
  ASSERT_FALSE(live.is_discarded()) << analyze->Out();
  EXPECT_EQ(live["network_input"]["lost_datagrams"], 0);
  EXPECT_EQ(live["network_input"]["reordered_datagrams"], swapped + 2);
  live.erase("network_input");
  EXPECT_EQ(live, FileAnalysis(kSample));
}

TEST(NetCli, CaptureWritesTheStreamBytesSent) {
  TempDir dir;
  const int port = FreePort(false);
  const std::string address = "rtp://127.0.0.1:" + std::to_string(port);
  Background capture(Cli(), {"capture", "--input", address, "--megabytes", "3", "-o", dir.File("cap.ts")});
  ASSERT_TRUE(WaitForPort(port, false, seconds(10))) << capture.Err();
  const CliRun play = RunCli({"play", kSample, "--to", address, "--bitrate", "40000000", "-q"});
  EXPECT_EQ(play.exitCode, 0) << play.err;
  ASSERT_EQ(capture.Wait(seconds(30)), 0) << capture.Err();
  EXPECT_EQ(ReadFileBytes(dir.File("cap.ts")), ReadFileBytes(kSample).substr(0, 3 * 1048576));
  // Nothing comes: no file is made.
  const CliRun silent = RunCli({"capture", "--input", "udp://127.0.0.1:" + std::to_string(FreePort(false)) +
                                "?timeout=0.5", "--seconds", "5", "-o", dir.File("none.ts")});
  EXPECT_EQ(silent.exitCode, 1);
  EXPECT_NE(silent.err.find("no datagram arrived"), std::string::npos) << silent.err;
  EXPECT_NE(access(dir.File("none.ts").c_str(), F_OK), 0);
}

TEST(NetCli, SilenceAndBadInputEndWithAClearError) {
  struct Case {
    std::vector<std::string> args;  // %d in an argument: a free port
    int exitCode;
    const char* errPart;
  };
  const Case cases[] = {
      {{"analyze", "udp://127.0.0.1:%d?timeout=0.5", "--duration", "5"}, 1, "no datagram arrived"},
      {{"analyze", "rtp://[::1]:%d?timeout=0.5"}, 1, "until Ctrl-C"},
      {{"analyze", "udp://127.0.0.1:99999", "--duration", "1"}, 2, "port number"},
      {{"analyze", "udp://127.0.0.1:%d", "--max-bytes", "100"}, 2, "--packets or --duration"},
      {{"analyze", SampleStream("test-018.ts"), "--duration", "1"}, 2, "apply to network inputs"},
      {{"play", SampleStream("test-018.ts"), "--to", "udp://127.0.0.1"}, 2, "needs the form"},
      {{"play", "/nonexistent.ts", "--to", "udp://127.0.0.1:%d"}, 1, "cannot open"},
      {{"play", kSample, "--to", "udp://:%d"}, 1, "address to send to"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.args;
    const std::string port = std::to_string(FreePort(false));
    for (std::string& a : args)
      if (const size_t at = a.find("%d"); at != std::string::npos) a.replace(at, 2, port);
    SCOPED_TRACE(args[1]);
    const auto start = std::chrono::steady_clock::now();
    const CliRun run = RunCli(args);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    EXPECT_NE(run.err.find(c.errPart), std::string::npos) << run.err;
    EXPECT_LT(std::chrono::steady_clock::now() - start, seconds(10));
  }
}

TEST(NetCli, CtrlCEndsALiveAnalysisWithItsResult) {
  const int port = FreePort(false);
  Background analyze(Cli(), {"analyze", "udp://127.0.0.1:" + std::to_string(port), "--json"});
  ASSERT_TRUE(WaitForPort(port, false, seconds(10)));
  Background play(Cli(), {"play", kSample, "--to", "udp://127.0.0.1:" + std::to_string(port), "--loop", "-q"});
  // Long enough for well over 1,000 packets even when the player starts
  // slowly (a loaded machine, a sanitizer build).
  std::this_thread::sleep_for(milliseconds(4000));
  analyze.Signal(SIGINT);
  ASSERT_EQ(analyze.Wait(seconds(10)), 0) << analyze.Err();
  play.Signal(SIGINT);
  EXPECT_EQ(play.Wait(seconds(10)), 0) << play.Err();
  const Json result = Json::parse(analyze.Out(), nullptr, false);
  ASSERT_FALSE(result.is_discarded()) << analyze.Out();
  EXPECT_TRUE(result["partial"].get<bool>());
  EXPECT_GT(result["packets"].get<uint64_t>(), 1000u);
}

}  // namespace
