// The network file of vantrel-boxsim --network, and a box playing it: each
// tune reaches its transponder's stream, signal and lock.
#include <gtest/gtest.h>

#include "sim/sim_network.h"
#include "sim/simulated_box.h"

namespace {

TEST(SimNetwork, ParsesTheDocumentedKeys) {
  SimNetwork network;
  std::string error;
  ASSERT_TRUE(ParseSimNetwork("# network\n[transponder]\nfrequency = 474000 ; kHz\nbandwidth = 8\nstream = a.ts\n"
                              "strength = 22\nquality = 15\nlock_ms = 50\n"
                              "[transponder]\nfrequency = 11494\npolarisation = H\nsymbol_rate = 22000\nstream = /x/b.ts\n"
                              "lock = no\nsi = no\n",
                              "/net", &network, &error))
      << error;
  ASSERT_EQ(network.transponders.size(), 2u);
  const SimTransponder& a = network.transponders[0];
  EXPECT_EQ(a.frequency, 474000u);
  EXPECT_EQ(a.bandwidthMHz, 8u);
  EXPECT_EQ(a.streamPath, "/net/a.ts");
  EXPECT_EQ(a.strength, 22);
  EXPECT_EQ(a.quality, 15);
  EXPECT_EQ(a.lockMs, 50);
  EXPECT_TRUE(a.locks && a.carriesSi);
  const SimTransponder& b = network.transponders[1];
  EXPECT_EQ(b.streamPath, "/x/b.ts");
  EXPECT_EQ(b.horizontal, true);
  EXPECT_EQ(b.symbolRateK, 22000u);
  EXPECT_FALSE(b.locks || b.carriesSi);
  EXPECT_EQ(b.strength, 75);
}

TEST(SimNetwork, RefusesBadFilesSayingWhere) {
  struct Case {
    const char* text;
    const char* error;
  };
  const Case cases[] = {
      {"", "no [transponder] section"},
      {"frequency = 1\n", "line 1: a key before the first [transponder]"},
      {"[transponder]\nfrequency = 474000\n", "line 1: the transponder has no stream"},
      {"[transponder]\nstream = a.ts\n", "line 1: the transponder has no frequency"},
      {"[transponder]\nfrequency = 47x\n", "line 2: invalid value for frequency: 47x"},
      {"[transponder]\nqam = 63\n", "line 2: invalid value for qam"},
      {"[transponder]\nstrength = 101\n", "line 2: invalid value for strength"},
      {"[transponder]\nlock = maybe\n", "line 2: invalid value for lock"},
      {"[transponder]\ncolour = red\n", "line 2: unknown key colour"},
      {"[transponder]\nfrequency = 1\nfrequency = 2\n", "line 3: frequency given twice"},
      {"[network]\n", "line 1: unknown section [network]"},
      {"[transponder]\njust text\n", "line 2: expected KEY = VALUE"},
  };
  for (const Case& c : cases) {
    SimNetwork network;
    std::string error;
    EXPECT_FALSE(ParseSimNetwork(c.text, "", &network, &error)) << c.text;
    EXPECT_NE(error.find(c.error), std::string::npos) << c.text << " -> " << error;
  }
}

TEST(SimNetwork, WithoutSiLeavesOutThePsiAndSiPids) {
  std::vector<uint8_t> stream;
  for (int pid : {0x00, 0x100, 0x11, 0x1F, 0x20, 0x1FFF}) {
    std::vector<uint8_t> packet(188, 0xFF);
    packet[0] = 0x47;
    packet[1] = static_cast<uint8_t>(pid >> 8);
    packet[2] = static_cast<uint8_t>(pid);
    stream.insert(stream.end(), packet.begin(), packet.end());
  }
  const std::vector<uint8_t> kept = WithoutSiPackets(stream);
  std::vector<int> pids;
  for (size_t at = 0; at + 188 <= kept.size(); at += 188) pids.push_back(((kept[at + 1] & 0x1F) << 8) | kept[at + 2]);
  EXPECT_EQ(pids, (std::vector<int>{0x100, 0x20, 0x1FFF}));
}

TEST(SimNetwork, EachTuneReachesItsTransponder) {
  SimNetwork network;
  std::string error;
  ASSERT_TRUE(ParseSimNetwork("[transponder]\nfrequency = 474000\nbandwidth = 8\nstream = a\nstrength = 90\nlock_ms = 0\n"
                              "[transponder]\nfrequency = 482000\nstream = b\nstrength = 20\nquality = 10\nlock_ms = 0\n"
                              "[transponder]\nfrequency = 490000\nstream = c\nlock = no\nlock_ms = 0\n",
                              "", &network, &error));
  BoxSimOptions options;
  const std::vector<uint8_t> none;
  SimulatedBox box(BoxKind::T, options, none, &network);
  struct Case {
    uint32_t frequency;
    uint32_t bandwidth;
    bool locked;
    int strength;
  };
  for (const Case& c : {Case{474000, 8, true, 90}, Case{474000, 7, false, 10}, Case{482000, 6, true, 20},
                        Case{490000, 8, false, 10}, Case{498000, 8, false, 10}}) {
    SCOPED_TRACE(c.frequency);
    box.TuneTerrestrial({c.frequency, c.bandwidth});
    const SignalReading signal = box.Signal();
    EXPECT_EQ(signal.locked, c.locked);
    EXPECT_EQ(signal.strength, c.strength);
  }
}

}  // namespace
