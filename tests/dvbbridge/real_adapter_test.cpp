// vantrel-dvbbridge on a real adapter: only where /dev/dvb exists (the
// kernel's virtual test driver will do: modprobe dvb_vidtv_bridge). It
// tunes DVB-T at 474 MHz, must lock within 5 s, and a 2 s capture through
// vantrel-cli must hold a PAT, a PMT and an SDT and no continuity error.
#include <sys/stat.h>

#include <chrono>
#include <map>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "device/tuner_device.h"
#include "tests/support/boxsim_process.h"
#include "tests/support/run_cli.h"
#include "tests/support/test_env.h"

namespace {

using namespace std::chrono_literals;

constexpr size_t kPacket = 188;

struct StreamCheck {
  bool pat = false, pmt = false, sdt = false;
  size_t continuityErrors = 0;
  size_t packets = 0;
};

// Table ids of sections starting in packets of PID 0, the PMT PIDs the PAT
// names and PID 0x11; continuity per PID over packets with payload.
StreamCheck CheckStream(const std::string& bytes) {
  StreamCheck check;
  std::set<int> pmtPids;
  std::map<int, int> lastCounter;
  for (size_t offset = 0; offset + kPacket <= bytes.size(); offset += kPacket) {
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data() + offset);
    if (p[0] != 0x47) continue;
    ++check.packets;
    int pid = (p[1] & 0x1F) << 8 | p[2];
    int afc = p[3] >> 4 & 3;
    bool discontinuity = (afc & 2) && p[4] > 0 && (p[5] & 0x80);
    if ((afc & 1) && pid != 0x1FFF) {
      int counter = p[3] & 0x0F;
      auto last = lastCounter.find(pid);
      if (last != lastCounter.end() && !discontinuity && counter != (last->second + 1) % 16 &&
          counter != last->second) {
        ++check.continuityErrors;
      }
      lastCounter[pid] = counter;
    }
    if (!(p[1] & 0x40) || !(afc & 1)) continue;
    size_t start = 4 + ((afc & 2) ? 1 + p[4] : 0);
    if (start >= kPacket) continue;
    size_t section = start + 1 + p[start];
    if (section >= kPacket) continue;
    int tableId = p[section];
    if (pid == 0 && tableId == 0x00) {
      check.pat = true;
      size_t length = ((p[section + 1] & 0x0F) << 8 | p[section + 2]);
      for (size_t i = section + 8; i + 4 <= section + 3 + length - 4 && i + 4 <= kPacket; i += 4) {
        int program = p[i] << 8 | p[i + 1];
        if (program != 0) pmtPids.insert((p[i + 2] & 0x1F) << 8 | p[i + 3]);
      }
    } else if (tableId == 0x02 && pmtPids.count(pid)) {
      check.pmt = true;
    } else if (pid == 0x11 && tableId == 0x42) {
      check.sdt = true;
    }
  }
  return check;
}

TEST(RealAdapter, TunesLocksAndCapturesAWholeStream) {
  struct stat info;
  if (stat("/dev/dvb", &info) != 0) {
    GTEST_SKIP() << "no /dev/dvb on this machine: the real-adapter test needs a DVB adapter "
                    "(the kernel's test driver will do: modprobe dvb_vidtv_bridge)";
  }
  TempDir dir;
  ScopedEnv profile("XDG_CONFIG_HOME", dir.path().c_str());
  BoxSimProcess bridge;
  ASSERT_TRUE(bridge.StartDvbBridge({"--system", "dvbt"})) << bridge.StderrText();
  ASSERT_EQ(OpenTunerDevice(), 1);
  ChannelSettings channel{};
  channel.words[0] = 474000;
  channel.words[1] = 8;
  ASSERT_NE(TuneChannel(-1, channel, CaptureSettings{}), 0);
  int strength = 0, quality = 0, locked = 0;
  auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!locked && std::chrono::steady_clock::now() < deadline) {
    GetSignalStatus(&strength, &quality, &locked);
    if (!locked) std::this_thread::sleep_for(100ms);
  }
  EXPECT_EQ(locked, 1) << "no lock within 5 s";
  CloseTunerDevice();

  const std::string output = dir.File("real.ts");
  CliRun run = RunCli({"capture", "--freq", "474000", "--bw", "8", "--seconds", "2", "-o", output});
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  StreamCheck check = CheckStream(ReadFileBytes(output));
  EXPECT_GT(check.packets, 0u);
  EXPECT_TRUE(check.pat);
  EXPECT_TRUE(check.pmt);
  EXPECT_TRUE(check.sdt);
  EXPECT_EQ(check.continuityErrors, 0u);
  EXPECT_EQ(bridge.Stop(), 0) << bridge.StderrText();
}

}  // namespace
