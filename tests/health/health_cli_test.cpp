// `vantrel-cli analyze` and `vantrel-cli monitor` run as programs.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>

#include <gtest/gtest.h>
#include <thread>
#include <nlohmann/json.hpp>

#include "tests/health/cbr_stream.h"
#include "tests/support/boxsim_process.h"
#include "tests/support/run_cli.h"
#include "tests/support/test_env.h"

extern char** environ;

namespace {

using namespace healthtest;
using namespace tsbuild;
using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

std::string Cli() { return std::string(VANTREL_BINARY_DIR) + "/cli/vantrel-cli"; }

// vantrel-cli with stdin from `input` (a file) and stdout read through a pipe.
class CliProcess {
public:
  CliProcess(const std::vector<std::string>& args, const std::string& input = "/dev/null") {
    int out[2];
    if (pipe(out) != 0) return;
    std::string program = Cli();
    std::vector<std::string> copies = args;
    std::vector<char*> argv{program.data()};
    for (std::string& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addopen(&actions, 2, err_.File("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    fd_ = out[0];
  }
  ~CliProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (fd_ >= 0) close(fd_);
  }

  // Reads stdout until it holds `lines` lines or `timeout` passes.
  bool WaitForLines(size_t lines, std::chrono::seconds timeout) {
    const Clock::time_point end = Clock::now() + timeout;
    while (LineCount() < lines && Clock::now() < end) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 200) > 0 && !ReadSome()) break;
    }
    return LineCount() >= lines;
  }
  void Signal(int number) { kill(pid_, number); }
  // Reads to the end and waits; the exit code, or -1.
  int Wait() {
    while (ReadSome()) {
    }
    int status = 0;
    const pid_t pid = pid_;
    pid_ = -1;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
  }
  const std::string& out() const { return out_; }
  std::string err() const { return ReadFileBytes(err_.File("err")); }

private:
  size_t LineCount() const { return static_cast<size_t>(std::count(out_.begin(), out_.end(), '\n')); }
  bool ReadSome() {
    char buffer[65536];
    const ssize_t n = read(fd_, buffer, sizeof buffer);
    if (n <= 0) return false;
    out_.append(buffer, static_cast<size_t>(n));
    return true;
  }

  TempDir err_;
  pid_t pid_ = -1;
  int fd_ = -1;
  std::string out_;
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class AnalyzeCli : public ::testing::Test {
protected:
  std::string StreamWithOneContinuityError() {
    Bytes ts = CbrStream(Slot(1.2)).StandardProgram().Build();
    // One audio packet lost, its slot taken by a null packet.
    for (size_t at = 188 * 5000; at < ts.size(); at += 188) {
      if ((((ts[at + 1] & 0x1F) << 8) | ts[at + 2]) == kAudioPid) {
        const Bytes null = NullPacket();
        std::copy(null.begin(), null.end(), ts.begin() + static_cast<std::ptrdiff_t>(at));
        break;
      }
    }
    const std::string path = dir_.File("cc.ts");
    EXPECT_TRUE(WriteTsFile(path, ts));
    return path;
  }
  TempDir dir_;
};

TEST_F(AnalyzeCli, JsonHasTheAgreedShape) {
  const std::string path = StreamWithOneContinuityError();
  CliRun run = RunCli({"analyze", path, "--json"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.err, "");
  const Json j = Json::parse(run.out);
  EXPECT_EQ(j["packet_size"], 188);
  EXPECT_EQ(j["bytes"].get<uint64_t>(), j["packets"].get<uint64_t>() * 188);
  EXPECT_NEAR(j["bitrate_bps"].get<double>(), kCbrBitrate, kCbrBitrate * 0.001);
  EXPECT_NEAR(j["duration_s"].get<double>(), 1.2, 0.001);
  EXPECT_EQ(j["verdict"], "errors");
  for (const char* key : {"sync_loss", "sync_byte", "pat", "continuity", "pmt", "pid", "transport", "crc",
                          "pcr_repetition", "pcr_discontinuity", "pcr_accuracy", "pts", "cat"}) {
    ASSERT_TRUE(j["errors"].contains(key)) << key;
    EXPECT_EQ(j["errors"][key], std::string(key) == "continuity" ? 1 : 0) << key;
  }
  ASSERT_TRUE(j["pids"].is_array());
  bool audioSeen = false;
  for (const Json& pid : j["pids"]) {
    for (const char* key : {"pid", "packets", "cc_errors", "tei_packets", "scrambled_packets", "pcr_count",
                            "bitrate_bps", "carries"})
      EXPECT_TRUE(pid.contains(key)) << key;
    if (pid["pid"] == kAudioPid) {
      audioSeen = true;
      EXPECT_EQ(pid["cc_errors"], 1);
      EXPECT_EQ(pid["carries"], "audio of program 1 (stream_type 0x03)");
    }
  }
  EXPECT_TRUE(audioSeen);
}

TEST_F(AnalyzeCli, StandardInputGivesTheSameResultAsTheFile) {
  const std::string path = StreamWithOneContinuityError();
  CliRun file = RunCli({"analyze", path, "--json"});
  CliProcess pipe({"analyze", "-", "--json"}, path);
  EXPECT_EQ(pipe.Wait(), 0) << pipe.err();
  EXPECT_EQ(pipe.out(), file.out);
  // --max-bytes stops early.
  CliRun limited = RunCli({"analyze", path, "--json", "--max-bytes", "188000"});
  EXPECT_EQ(Json::parse(limited.out)["packets"], 1000);
}

TEST_F(AnalyzeCli, TextListsSummaryPidsAndChecksInOrder) {
  CliRun run = RunCli({"analyze", StreamWithOneContinuityError()});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const std::vector<std::string> order = {"Packet size:  188 bytes", "Bitrate:", "Duration:", "Programs:     1",
                                          "0x0101 ( 257)", "1.1  TS_sync_loss", "1.2  Sync_byte_error",
                                          "1.3  PAT_error", "1.4  Continuity_count_error", "1.5  PMT_error",
                                          "1.6  PID_error", "2.1  Transport_error", "2.2  CRC_error",
                                          "2.3a PCR_repetition_error", "2.3b PCR_discontinuity_indicator_error",
                                          "2.4  PCR_accuracy_error", "2.5  PTS_error", "2.6  CAT_error",
                                          "1 error in 1 check"};
  size_t at = 0;
  for (const std::string& text : order) {
    const size_t found = run.out.find(text, at);
    ASSERT_NE(found, std::string::npos) << text << "\n" << run.out;
    at = found;
  }
  EXPECT_NE(run.out.find("PID 0x0101: continuity_counter"), std::string::npos);
}

TEST_F(AnalyzeCli, WithoutPcrsTheTimingFieldsAreNull) {
  TsStreamBuilder b;
  for (int i = 0; i < 20; ++i) b.Section(0, StandardPat()).NullPackets(5);
  const std::string path = dir_.File("nopcr.ts");
  ASSERT_TRUE(b.WriteTo(path));
  CliRun run = RunCli({"analyze", path, "--json"});
  ASSERT_EQ(run.exitCode, 0);
  const Json j = Json::parse(run.out);
  EXPECT_TRUE(j["bitrate_bps"].is_null());
  EXPECT_TRUE(j["duration_s"].is_null());
  EXPECT_TRUE(j["errors"]["pat"].is_null());
  EXPECT_TRUE(j["errors"]["pcr_accuracy"].is_null());
  EXPECT_EQ(j["errors"]["continuity"], 0);
  // Never "no errors" when checks could not be made: which and why.
  EXPECT_EQ(j["verdict"], "not_evaluated");
  EXPECT_EQ(j["checks"][2]["evaluated"], false);
  EXPECT_EQ(j["checks"][2]["not_evaluated_reason"], "no PMT names a PCR_PID: the stream has no clock");
  const std::string text = RunCli({"analyze", path}).out;
  EXPECT_EQ(text.find("No errors\n"), std::string::npos) << text;
  EXPECT_NE(text.find("1.3  PAT_error: no PMT names a PCR_PID: the stream has no clock"), std::string::npos) << text;
}

TEST_F(AnalyzeCli, Priority3StandsApartAndFollowsTheSiOption) {
  // An encoder's output (no SI): no priority 3 verdict, the earlier fields as they were.
  const std::string path = StreamWithOneContinuityError();
  const Json plain = Json::parse(RunCli({"analyze", path, "--json"}).out);
  EXPECT_EQ(plain["verdict"], "errors");
  EXPECT_EQ(plain["errors"].size(), 13u);
  EXPECT_EQ(plain["si_standard"], "none");
  EXPECT_EQ(plain["si_verdict"], "not_evaluated");
  ASSERT_EQ(plain["checks"].size(), 20u);
  EXPECT_EQ(plain["checks"][13]["key"], "nit");
  EXPECT_EQ(plain["checks"][13]["priority"], 3);
  EXPECT_EQ(plain["checks"][13]["evaluated"], false);
  EXPECT_TRUE(plain["si_errors"]["nit"].is_null());
  ASSERT_EQ(plain["services"].size(), 1u);
  EXPECT_EQ(plain["services"][0]["service_id"], 1);
  // Asked to be DVB: the SDT (limit 1 s) and EIT p/f are missing from the 1.2 s stream.
  const Json dvb = Json::parse(RunCli({"analyze", path, "--json", "--si", "dvb", "--sdt-interval-s", "1"}).out);
  EXPECT_EQ(dvb["si_standard"], "dvb");
  EXPECT_EQ(dvb["si_errors"]["sdt"], 1);
  EXPECT_EQ(dvb["si_errors"]["eit"], 0);
  EXPECT_EQ(dvb["si_verdict"], "errors");
  EXPECT_EQ(dvb["verdict"], "errors");  // priorities 1 and 2 alone
  EXPECT_EQ(dvb["errors"], plain["errors"]);
  const std::string text = RunCli({"analyze", path, "--si", "dvb", "--sdt-interval-s", "1"}).out;
  const size_t apart = text.find("Service information (priority 3, judged apart): DVB SI");
  ASSERT_NE(apart, std::string::npos) << text;
  EXPECT_GT(text.find("3.5  SDT_error"), apart);
  EXPECT_LT(text.find("1 error in 1 check"), apart);
  EXPECT_NE(text.find("1 priority 3 errors in 1 checks"), std::string::npos) << text;
  EXPECT_NE(text.find("SI repetition (stream clock)"), std::string::npos);
  EXPECT_EQ(RunCli({"analyze", path, "--si", "isdb"}).exitCode, 2);
}

TEST_F(AnalyzeCli, LimitsComeFromTheOptions) {
  // PCRs every 41 ms; a teletext PID the PMT names that never comes.
  const Bytes teletext = Descriptor(0x56, {'e', 'n', 'g', 0x09, 0x00});
  const Bytes pmt = PmtSection(1, kVideoPid, {{0x02, kVideoPid}, {0x06, 0x102, teletext}});
  Bytes ts = CbrStream(Slot(1.5))
                 .PcrEvery(kVideoPid, 0.041)
                 .SectionEvery(0, StandardPat(), 0.1)
                 .SectionEvery(kPmtPid, pmt, 0.1, 0.001)
                 .Build();
  const std::string path = dir_.File("pcr41.ts");
  ASSERT_TRUE(WriteTsFile(path, ts));
  const Json plain = Json::parse(RunCli({"analyze", path, "--json"}).out);
  EXPECT_GT(plain["errors"]["pcr_repetition"], 0);
  EXPECT_EQ(plain["errors"]["pid"], 0);
  EXPECT_EQ(Json::parse(RunCli({"analyze", path, "--json", "--pcr-interval-ms", "45"}).out)["errors"]["pcr_repetition"], 0);
  EXPECT_EQ(Json::parse(RunCli({"analyze", path, "--json", "--data-pid-timeout-s", "1"}).out)["errors"]["pid"], 1);
  CliRun forced = RunCli({"analyze", path, "--json", "--packet-size", "204"});
  EXPECT_EQ(forced.exitCode, 1);
}

TEST_F(AnalyzeCli, ExitCodes) {
  CliRun missing = RunCli({"analyze", dir_.File("none.ts")});
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_NE(missing.err.find("cannot open"), std::string::npos);
  EXPECT_EQ(Lines(missing.err).size(), 1u);
  const std::string text = dir_.File("text.ts");
  ASSERT_TRUE(WriteTsFile(text, TextBytes(std::string(5000, 'x'))));
  CliRun notTs = RunCli({"analyze", text});
  EXPECT_EQ(notTs.exitCode, 1);
  EXPECT_NE(notTs.err.find("holds no transport stream"), std::string::npos);
  EXPECT_EQ(notTs.out, "");
  EXPECT_EQ(RunCli({"analyze", text, "--packet-size", "100"}).exitCode, 2);
  EXPECT_EQ(RunCli({"analyze"}).exitCode, 2);
  EXPECT_EQ(RunCli({"analyze", text, "--pid-timeout-s", "0"}).exitCode, 2);
}

// A pipe from a tuner or a network tool has no end of its own: Ctrl-C ends
// the analysis of standard input with the report of what came, also while
// the pipe gives nothing.
TEST_F(AnalyzeCli, CtrlCOnAnEndlessPipeReportsWhatCame) {
  const std::string fifo = dir_.File("in.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // A reader that reads nothing, to see what is still unread; with it the
  // writer opens at once, and then the program's own open.
  const int peek = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  const int writer = open(fifo.c_str(), O_WRONLY);
  ASSERT_GE(peek, 0);
  ASSERT_GE(writer, 0);
  CliProcess analyze({"analyze", "-"}, fifo);
  const Bytes ts = CbrStream(Slot(0.5)).StandardProgram().Build();
  ASSERT_EQ(write(writer, ts.data(), ts.size()), static_cast<ssize_t>(ts.size()));
  int unread = 1;
  for (int i = 0; i < 300 && unread > 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(ioctl(peek, FIONREAD, &unread), 0);
  }
  ASSERT_EQ(unread, 0);
  analyze.Signal(SIGINT);
  const bool ended = analyze.WaitForLines(3, std::chrono::seconds(20));
  close(writer);  // the pipe's end, should the stop have gone unheard
  close(peek);
  ASSERT_TRUE(ended) << "no report after Ctrl-C: " << analyze.err();
  EXPECT_EQ(analyze.Wait(), 0);
  EXPECT_NE(analyze.out().find("Partial:"), std::string::npos) << analyze.out();
  EXPECT_NE(analyze.out().find("Packets:      " + std::to_string(ts.size() / 188)), std::string::npos) << analyze.out();
  EXPECT_NE(analyze.err().find("stopped"), std::string::npos) << analyze.err();
}

class MonitorCli : public ::testing::Test {
protected:
  TempDir dir_;
  ScopedEnv profileHome_{"XDG_CONFIG_HOME", dir_.path().c_str()};
  BoxSimProcess box_;
};

// The rate it keeps up with is measured in bench/health_monitor.sh; here a
// rate a busy machine sustains without doubt.
TEST_F(MonitorCli, OneJsonObjectASecondWithoutLosingRingData) {
  ASSERT_TRUE(box_.Start({"--kind", "t", "--lock-ms", "0", "--bitrate", "40000000"}));
  CliProcess monitor({"monitor", "--freq", "474000", "--bw", "8", "--seconds", "3", "--json"});
  ASSERT_EQ(monitor.Wait(), 0) << monitor.err();
  const std::vector<std::string> lines = Lines(monitor.out());
  ASSERT_EQ(lines.size(), 4u) << monitor.out();
  for (size_t i = 0; i < 3; ++i) {
    const Json second = Json::parse(lines[i]);
    EXPECT_EQ(second["locked"], true);
    EXPECT_EQ(second["strength"], 75);
    EXPECT_EQ(second["ring_overruns"], 0) << lines[i];
    EXPECT_EQ(second["new_cc_errors"], 0) << lines[i];
    EXPECT_EQ(second["synced"], true);
    if (i > 0) {
      EXPECT_GT(second["packets"].get<uint64_t>(), Json::parse(lines[i - 1])["packets"].get<uint64_t>());
    }
  }
  const Json summary = Json::parse(lines[3]);
  EXPECT_EQ(summary["summary"], true);
  EXPECT_EQ(summary["ring_overruns"], 0);
  EXPECT_EQ(summary["errors"]["continuity"], 0);
  EXPECT_EQ(summary["packet_size"], 188);
  // About three seconds at 40 Mbit/s arrived (generous bounds: a busy machine).
  EXPECT_GT(summary["bytes"].get<double>(), 0.5 * 3 * 5e6);
  EXPECT_LT(summary["bytes"].get<double>(), 1.5 * 4 * 5e6);
}

TEST_F(MonitorCli, CtrlCEndsWithASummary) {
  ASSERT_TRUE(box_.Start({"--kind", "t", "--lock-ms", "0", "--bitrate", "20000000"}));
  CliProcess monitor({"monitor", "--freq", "474000", "--bw", "8"});
  ASSERT_TRUE(monitor.WaitForLines(1, std::chrono::seconds(30))) << monitor.err();
  EXPECT_NE(monitor.out().find("locked  strength 75  quality 60"), std::string::npos) << monitor.out();
  monitor.Signal(SIGINT);
  EXPECT_EQ(monitor.Wait(), 0);
  EXPECT_NE(monitor.out().find("Monitored for"), std::string::npos) << monitor.out();
  EXPECT_NE(monitor.out().find("1.4  Continuity_count_error"), std::string::npos);
}

// A box that never answers one request: a stop signal still ends the monitor
// at once, with the usual summary once streaming.
TEST_F(MonitorCli, StopSignalsEndItWhileARequestHangs) {
  struct Hang {
    const char* code;  // the request the box never answers
    int signal;
    int exitCode;
  };
  // No packet ever came in either case: the monitor fails.
  for (const Hang& hang : {Hang{"222328", SIGTERM, 1}, Hang{"22233C", SIGHUP, 1}}) {
    SCOPED_TRACE(hang.code);
    BoxSimProcess box;
    ASSERT_TRUE(box.Start({"--kind", "t", "--lock-ms", "0", "--hang", hang.code}));
    CliProcess monitor({"monitor", "--freq", "474000", "--bw", "8"});
    const std::string awaited = std::string("00") + hang.code;
    const auto hangs = [&] {
      for (const std::string& line : box.JournalLines())
        if (line.find(" " + awaited + " ") != std::string::npos) return true;
      return false;
    };
    const auto start = std::chrono::steady_clock::now();
    while (!hangs() && std::chrono::steady_clock::now() - start < std::chrono::seconds(30))
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(hangs());
    const auto signalled = std::chrono::steady_clock::now();
    monitor.Signal(hang.signal);
    EXPECT_EQ(monitor.Wait(), hang.exitCode) << monitor.err();
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, std::chrono::seconds(20));
    if (std::string(hang.code) == "22233C") EXPECT_NE(monitor.out().find("Monitored for"), std::string::npos) << monitor.out();
    else EXPECT_NE(monitor.err().find("stopped while tuning"), std::string::npos) << monitor.err();
  }
}

TEST_F(MonitorCli, WithoutABoxItFails) {
  ScopedEnv noDevices("VANTREL_DEVICE_DIR", dir_.File("nothing").c_str());
  CliRun run = RunCli({"monitor", "--seconds", "1"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.err, "No tuner box found.\n");
}

}  // namespace
