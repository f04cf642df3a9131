// Signal status replies: the program's decoding of the reply bytes must give
// back the strength and quality the simulator was told, or the nearest value
// the box's format can express.
#include <cmath>
#include <chrono>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "boxserver/box_signal.h"
#include "device/device_protocol.h"
#include "tests/sim/sim_test_util.h"
#include "tests/support/boxsim_process.h"

namespace {

struct Decoded {
  int strength, quality, locked;
};

// What the program reads from a bus reply: the device layer's own decoding.
Decoded DecodeBus(int format, const Bytes& r) {
  Decoded d{-1, -1, -1};
  DecodeBusSignalStatus(r.data(), format, &d.strength, &d.quality, &d.locked);
  return d;
}

Decoded Status(const std::vector<std::string>& arguments, bool bus, int format) {
  std::vector<std::string> all = {"--kind", bus ? "bus" : "t", "--lock-ms", "0"};
  all.insert(all.end(), arguments.begin(), arguments.end());
  BoxSimProcess sim(all);
  if (!sim.IsRunning()) return {-1, -1, -1};
  Bytes reply;
  if (bus) {
    ScopedDevice handle(OpenInterface(kInterfaceClassBus));
    // Whichever tune request the model takes: plain frame (9 or 332 bytes
    // back) or long frame.
    Bytes longFrame = FromHex("AA0900073B90001ADB0030");
    longFrame.resize(256);
    EXPECT_TRUE(Request(handle.get(), 0xAABB2900, FromHex("00073B900008000026"), 9) ||
                Request(handle.get(), 0xAABB2900, FromHex("00073B900008000026"), 332) ||
                Request(handle.get(), 0xAABB2A04, longFrame, 0));
    EXPECT_TRUE(Request(handle.get(), 0xAABB2880, FromHex("AA00050000000000FB"), 9, &reply));
    if (reply.size() != 9) return {-1, -1, -1};
    unsigned sum = 0;
    for (int i = 1; i <= 8; ++i) sum += reply[i];
    EXPECT_EQ(sum & 0xFF, 0u) << "reply checksum";
    return DecodeBus(format, reply);
  }
  ScopedDevice handle(OpenDevice(kTunerPathT));
  EXPECT_TRUE(Request(handle.get(), 0x222328, FromHex("09073B900008000026"), 0));
  EXPECT_TRUE(Request(handle.get(), 0x22234C, FromHex("0A0A0B0C0900000000"), 3, &reply));
  if (reply.size() != 3) return {-1, -1, -1};
  return {static_cast<int8_t>(reply[1]), static_cast<int8_t>(reply[0]), static_cast<int8_t>(reply[2])};
}

struct FormatCase {
  const char* modelCode;  // null: the direct set of the T path
  int format;
  Decoded defaults;       // --strength 75 --quality 60
  Decoded highest;        // --strength 100 --quality 100
  Decoded lowest;         // --strength 0 --quality 0
};

TEST(SignalStatus, DecodesBackPerFormatOrToTheNearestValue) {
  const FormatCase cases[] = {
      // Unlisted code: format 0. Strength 75 lies between 76 (L 16) and 74 (L 17).
      {"ABCDEF", 0, {76, 60, 1}, {100, 100, 1}, {0, 0, 1}},
      {"RZK-A1", 1, {75, 60, 1}, {100, 98, 1}, {0, 0, 1}},
      // Quality 60 is out of reach in format 2: 59 is the nearest below 90.
      {"HVLPX5", 2, {75, 59, 1}, {90, 98, 1}, {8, 0, 1}},
      {"HVL-A6", 3, {75, 60, 1}, {100, 100, 1}, {0, 0, 1}},
      {"KJNRG8", 10, {75, 60, 1}, {100, 100, 1}, {0, 0, 1}},
      {"ZUMEQB", 10, {75, 60, 1}, {100, 100, 1}, {0, 0, 1}},
      {nullptr, -1, {75, 60, 1}, {100, 100, 1}, {0, 0, 1}},
  };
  for (const FormatCase& c : cases) {
    SCOPED_TRACE(c.modelCode ? c.modelCode : "T path");
    bool bus = c.modelCode != nullptr;
    std::vector<std::string> code;
    if (bus) code = {"--model-code", c.modelCode};
    auto check = [&](const Decoded& want, std::vector<std::string> extra) {
      extra.insert(extra.begin(), code.begin(), code.end());
      Decoded got = Status(extra, bus, c.format);
      EXPECT_EQ(got.strength, want.strength) << ::testing::PrintToString(extra);
      EXPECT_EQ(got.quality, want.quality) << ::testing::PrintToString(extra);
      EXPECT_EQ(got.locked, want.locked) << ::testing::PrintToString(extra);
    };
    check(c.defaults, {});
    check(c.highest, {"--strength", "100", "--quality", "100"});
    check(c.lowest, {"--strength", "0", "--quality", "0"});
    // Unlocked: low values and the unlocked flag.
    Decoded unlocked = Status(code.empty() ? std::vector<std::string>{"--never-ready"}
                                           : std::vector<std::string>{code[0], code[1], "--never-ready"},
                              bus, c.format);
    EXPECT_EQ(unlocked.locked, 0);
    EXPECT_LE(unlocked.strength, 20);
    EXPECT_LE(unlocked.quality, 20);
  }
}

TEST(SignalStatus, WobbleDriftsAroundTheGivenValues) {
  BoxSimProcess sim({"--kind", "t", "--lock-ms", "0", "--wobble", "--strength", "50", "--quality", "40"});
  ScopedDevice t(OpenDevice(kTunerPathT));
  ASSERT_TRUE(Request(t.get(), 0x222328, FromHex("09073B900008000026"), 0));
  std::set<int> strengths, qualities;
  for (int i = 0; i < 26; ++i) {
    Bytes reply;
    ASSERT_TRUE(Request(t.get(), 0x22234C, FromHex("0A0A0B0C0900000000"), 3, &reply));
    qualities.insert(reply[0]);
    strengths.insert(reply[1]);
    EXPECT_EQ(reply[2], 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  // Half a period of each drift: it moves, but stays close.
  EXPECT_GE(*strengths.rbegin() - *strengths.begin(), 2);
  EXPECT_GE(*qualities.rbegin() - *qualities.begin(), 2);
  EXPECT_GE(*strengths.begin(), 44);
  EXPECT_LE(*strengths.rbegin(), 56);
  EXPECT_GE(*qualities.begin(), 35);
  EXPECT_LE(*qualities.rbegin(), 45);
}

// Every value a format can show, over all reply bytes that matter.
std::set<int> Representable(int format, bool locked, bool strength) {
  std::set<int> values;
  Bytes r(9, 0);
  r[7] = locked ? 0x00 : 0x10;
  for (unsigned s : {0x00u, 0x04u, 0x05u, 0x06u, 0x07u, 0x80u, 0x84u, 0x85u, 0x86u, 0x87u}) {
    r[5] = static_cast<uint8_t>(s);
    for (unsigned m = 0; m < 0x10000; m += strength ? 0x10000 : 1) {
      r[3] = static_cast<uint8_t>(m >> 8);
      r[4] = static_cast<uint8_t>(m);
      for (unsigned l = 0; l < 256; l += strength ? 1 : 256) {
        r[6] = static_cast<uint8_t>(l);
        Decoded d = DecodeBus(format, r);
        values.insert(strength ? d.strength : d.quality);
      }
    }
  }
  if (format == 10 && strength) {  // strength is the whole byte S
    for (int v = 0; v < 256; ++v) values.insert(v);
  }
  return values;
}

TEST(SignalStatus, EveryPercentEncodesToTheNearestRepresentableValue) {
  for (int format : {0, 1, 2, 3, 10}) {
    for (bool locked : {true, false}) {
      std::set<int> strengths = Representable(format, locked, true);
      std::set<int> qualities = Representable(format, locked, false);
      auto distance = [](const std::set<int>& values, int target) {
        int best = 1000;
        for (int v : values) best = std::min(best, std::abs(v - target));
        return best;
      };
      for (int target = 0; target <= 100; ++target) {
        SCOPED_TRACE(::testing::Message() << "format " << format << " locked " << locked << " target "
                                          << target);
        auto reply = EncodeBusSignalStatus(format, SignalReading{target, target, locked});
        Decoded d = DecodeBus(format, Bytes(reply.begin(), reply.end()));
        EXPECT_EQ(d.locked, locked ? 1 : 0);
        EXPECT_EQ(std::abs(d.strength - target), distance(strengths, target));
        EXPECT_EQ(std::abs(d.quality - target), distance(qualities, target));
      }
    }
  }
}

}  // namespace
