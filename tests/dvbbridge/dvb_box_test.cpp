// The bridge's box against the recording fake, in process: family and
// buffer choice, the signal mapping at its ends and beyond, the LNB and
// DiSEqC calls, the reader thread filling the ring, overruns and an adapter
// that vanishes.
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "boxserver/box_protocol.h"
#include "device/device_protocol.h"
#include "dvbbridge/dvb_box.h"
#include "dvbbridge/fake_dvb_device.h"
#include "dvbbridge/signal_mapping.h"

namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

DvbFrontendInfo Frontend(std::vector<DeliverySystem> systems, uint32_t symbolRateMax = 0) {
  DvbFrontendInfo info;
  info.name = "test";
  info.systems = std::move(systems);
  info.symbolRateMax = symbolRateMax;
  return info;
}

DvbStatistics Statistics(bool locked, StatScale scale, int64_t strength, int64_t cnr) {
  DvbStatistics statistics;
  statistics.locked = locked;
  statistics.strengthScale = scale;
  statistics.strength = strength;
  statistics.cnrScale = scale;
  statistics.cnr = cnr;
  return statistics;
}

// Waits (bounded) until the ring has taken `count` bytes since its last reset.
bool WaitForBytes(const StreamRing& ring, uint64_t count) {
  auto deadline = std::chrono::steady_clock::now() + 20s;
  while (ring.BytesAppended() < count) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

TEST(SignalMapping, EndsOfEachRangeAndBeyond) {
  // Strength: -90 dBm and below 0 %, -30 dBm and above 100 %, linear between.
  EXPECT_EQ(StrengthPercent(StatScale::Decibel, -120000), 0);
  EXPECT_EQ(StrengthPercent(StatScale::Decibel, -90000), 0);
  EXPECT_EQ(StrengthPercent(StatScale::Decibel, -89700), 1);   // 0.5 % rounds up
  EXPECT_EQ(StrengthPercent(StatScale::Decibel, -89701), 0);
  EXPECT_EQ(StrengthPercent(StatScale::Decibel, -60000), 50);
  EXPECT_EQ(StrengthPercent(StatScale::Decibel, -45000), 75);
  EXPECT_EQ(StrengthPercent(StatScale::Decibel, -30000), 100);
  EXPECT_EQ(StrengthPercent(StatScale::Decibel, 10000), 100);
  // Quality from CNR: 0 dB and below 0 %, 30 dB and above 100 %.
  EXPECT_EQ(QualityPercent(StatScale::Decibel, -5000), 0);
  EXPECT_EQ(QualityPercent(StatScale::Decibel, 0), 0);
  EXPECT_EQ(QualityPercent(StatScale::Decibel, 18000), 60);
  EXPECT_EQ(QualityPercent(StatScale::Decibel, 29999), 100);
  EXPECT_EQ(QualityPercent(StatScale::Decibel, 30000), 100);
  EXPECT_EQ(QualityPercent(StatScale::Decibel, 45000), 100);
  // Relative scale, both statistics alike; unavailable ones read 0.
  for (auto percent : {StrengthPercent, QualityPercent}) {
    EXPECT_EQ(percent(StatScale::Relative, 0), 0);
    EXPECT_EQ(percent(StatScale::Relative, 32768), 50);
    EXPECT_EQ(percent(StatScale::Relative, 65535), 100);
    EXPECT_EQ(percent(StatScale::Relative, 70000), 100);
    EXPECT_EQ(percent(StatScale::None, 12345), 0);
  }
}

TEST(Family, FollowsTheFirstDeliverySystemThatHasOneUnlessOneIsWanted) {
  using DS = DeliverySystem;
  EXPECT_EQ(ChooseFamily({DS::DVBS, DS::DVBS2}, std::nullopt), BoxFamily::Satellite);
  EXPECT_EQ(ChooseFamily({DS::DVBC_ANNEX_A}, std::nullopt), BoxFamily::Cable);
  EXPECT_EQ(ChooseFamily({DS::Other, DS::DVBT2}, std::nullopt), BoxFamily::Terrestrial);
  EXPECT_EQ(ChooseFamily({DS::DVBC_ANNEX_B}, std::nullopt), BoxFamily::Atsc);
  EXPECT_EQ(ChooseFamily({DS::DVBT, DS::DVBT2, DS::DVBC_ANNEX_A}, BoxFamily::Cable), BoxFamily::Cable);
  EXPECT_EQ(ChooseFamily({DS::DVBT}, BoxFamily::Satellite), std::nullopt);
  EXPECT_EQ(ChooseFamily({DS::Other}, std::nullopt), std::nullopt);
  // Each family is a model the device layer knows, with its settings dialog.
  EXPECT_EQ(BoxProtocol(IdentityForFamily(BoxFamily::Satellite), nullptr, 0).ModelNumber(), 20);
  EXPECT_EQ(BoxProtocol(IdentityForFamily(BoxFamily::Terrestrial), nullptr, 0).ModelNumber(), 46);
  EXPECT_EQ(BoxProtocol(IdentityForFamily(BoxFamily::Cable), nullptr, 0).ModelNumber(), 6);
  EXPECT_EQ(BoxProtocol(IdentityForFamily(BoxFamily::Atsc), nullptr, 0).ModelNumber(), 15);
  EXPECT_EQ(GetTunerFamily(6), TunerFamily::Cable);
  EXPECT_EQ(GetTunerFamily(15), TunerFamily::Terrestrial);
}

TEST(Family, DvrBufferHoldsASecondAtTheHighestRateInWholePackets) {
  EXPECT_EQ(DvrBufferBytes(BoxFamily::Satellite, 45000000), 16875068u);  // 135 Mbit/s
  EXPECT_EQ(DvrBufferBytes(BoxFamily::Satellite, 0), 16875068u);
  EXPECT_EQ(DvrBufferBytes(BoxFamily::Cable, 7200000), 7200024u);        // 57.6 Mbit/s
  EXPECT_EQ(DvrBufferBytes(BoxFamily::Terrestrial, 0), 6300068u);
  EXPECT_EQ(DvrBufferBytes(BoxFamily::Atsc, 0), 4850024u);
  for (BoxFamily family : {BoxFamily::Satellite, BoxFamily::Cable, BoxFamily::Terrestrial, BoxFamily::Atsc})
    EXPECT_EQ(DvrBufferBytes(family, 0) % 188, 0u);
  EXPECT_EQ(DvrBufferBytes(BoxFamily::Satellite, 4000000000u), 67108856u);  // capped at 64 MiB
}

TEST(Signal, StatisticsReachTheBoxRepliesMappedAndUnlockedWhenTheFrontendIs) {
  FakeDvbDevice device(Frontend({DeliverySystem::DVBC_ANNEX_A}),
                       Statistics(true, StatScale::Decibel, -45000, 18000));
  DvbBox box(&device, BoxFamily::Cable);
  SignalReading reading = box.Signal();
  EXPECT_EQ(reading.strength, 75);
  EXPECT_EQ(reading.quality, 60);
  EXPECT_TRUE(reading.locked);
  EXPECT_TRUE(box.Ready());
  device.SetStatistics(Statistics(false, StatScale::Decibel, -95000, -1000));
  reading = box.Signal();
  EXPECT_EQ(reading.strength, 0);
  EXPECT_EQ(reading.quality, 0);
  EXPECT_FALSE(reading.locked);
  EXPECT_FALSE(box.Ready());
  EXPECT_TRUE(device.Calls().empty()) << "statistics are not journalled";
}

TEST(Lnb, BurstsTurnTheToneOffFirstAndTheVoltageFollowsThePolarisation) {
  FakeDvbDevice device(Frontend({DeliverySystem::DVBS}), {});
  DvbBox box(&device, BoxFamily::Satellite);
  // Tone on, then a data burst: the tone goes off before it.
  ASSERT_TRUE(box.LnbControl(ToneCommand::On, BurstCommand::None, true));
  ASSERT_TRUE(box.LnbControl(ToneCommand::Unchanged, BurstCommand::DataBurst, true));
  ASSERT_TRUE(box.LnbControl(ToneCommand::Unchanged, BurstCommand::ToneBurst, true));
  EXPECT_EQ(device.Calls(), (Lines{"SET_VOLTAGE 13\n", "SET_TONE ON\n", "SET_TONE OFF\n", "BURST B\n",
                                   "BURST A\n"}));
  device.ClearCalls();
  // A horizontal tune raises the voltage before it tunes; DVB-S without a
  // modulation; the inversion flag as the box got it.
  ASSERT_TRUE(box.TuneSatellite(SatelliteTune{1178, 27500, true, true}));
  EXPECT_EQ(device.Calls(), (Lines{"SET_VOLTAGE 18\n",
                                   "TUNE delsys=DVBS freq=1178000 sr=27500000 inversion=ON\n"}));
  device.ClearCalls();
  // Supply off takes the voltage off; a DiSEqC message powers the cable for itself.
  ASSERT_TRUE(box.LnbControl(ToneCommand::Off, BurstCommand::None, false));
  ASSERT_TRUE(box.Diseqc({0xE0, 0x10, 0x38, 0xF0}));
  EXPECT_EQ(device.Calls(), (Lines{"SET_VOLTAGE OFF\n", "SET_TONE OFF\n", "SET_VOLTAGE 13\n",
                                   "DISEQC E0 10 38 F0\n"}));
  // Not a satellite box: no LNB calls at all.
  FakeDvbDevice terrestrial(Frontend({DeliverySystem::DVBT}), {});
  DvbBox other(&terrestrial, BoxFamily::Terrestrial);
  EXPECT_FALSE(other.LnbControl(ToneCommand::On, BurstCommand::None, true));
  EXPECT_FALSE(other.Diseqc({0xE0, 0x10, 0x38, 0xF0}));
  EXPECT_TRUE(terrestrial.Calls().empty());
}

class Reader : public ::testing::Test {
protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(ring_.Create(kRingSizeDirect, 0, &error)) << error;
  }
  StreamRing ring_;
  FakeDvbDevice device_{Frontend({DeliverySystem::DVBT}), Statistics(true, StatScale::Relative, 1, 1)};
};

TEST_F(Reader, ReadsSplitAtOddSizesLandInTheRingInOrder) {
  DvbBox box(&device_, BoxFamily::Terrestrial);
  std::vector<uint8_t> stream(400000);
  for (size_t i = 0; i < stream.size(); ++i) stream[i] = static_cast<uint8_t>(i * 7 + i / 251);
  // Pieces of 1, 187, 189, 4093 ... bytes; a piece larger than one read is cut by the reader.
  const size_t sizes[] = {1, 187, 189, 4093, 65536, 100003, 1, 188};
  size_t offset = 0;
  for (size_t i = 0; offset < stream.size(); ++i) {
    size_t size = std::min(sizes[i % std::size(sizes)], stream.size() - offset);
    device_.QueueRead(std::vector<uint8_t>(stream.begin() + static_cast<long>(offset),
                                           stream.begin() + static_cast<long>(offset + size)));
    offset += size;
  }
  ASSERT_TRUE(box.StartStream(&ring_));
  ASSERT_TRUE(WaitForBytes(ring_, stream.size()));
  box.StopStream();
  EXPECT_EQ(ring_.WriteOffset(), stream.size());
  EXPECT_TRUE(std::equal(stream.begin(), stream.end(), ring_.data()));
  EXPECT_EQ(device_.Calls(), (Lines{"START_STREAM pid=0x2000 buffer=6300068\n", "STOP_STREAM\n"}));
}

TEST_F(Reader, AnOverrunIsCountedAndTheStreamGoesOn) {
  DvbBox box(&device_, BoxFamily::Terrestrial);
  std::vector<uint8_t> before(188 * 10, 0x11), after(188 * 20, 0x22);
  device_.QueueRead(before);
  device_.QueueOverflow();
  device_.QueueRead(after);
  device_.QueueOverflow();
  device_.QueueRead(after);
  ASSERT_TRUE(box.StartStream(&ring_));
  ASSERT_TRUE(WaitForBytes(ring_, before.size() + 2 * after.size()));
  EXPECT_EQ(box.Overruns(), 2u);
  EXPECT_FALSE(box.Gone());
  EXPECT_EQ(ring_.data()[before.size() - 1], 0x11);
  EXPECT_EQ(ring_.data()[before.size()], 0x22);
  EXPECT_EQ(ring_.data()[before.size() + 2 * after.size() - 1], 0x22);
  box.StopStream();
}

TEST_F(Reader, AVanishedAdapterFailsEveryRequestAsAnUnpluggedBoxDoes) {
  DvbBox box(&device_, BoxFamily::Terrestrial);
  BoxProtocol protocol(IdentityForFamily(BoxFamily::Terrestrial), &box, 0);
  std::string error;
  ASSERT_TRUE(protocol.CreateRing(&error));
  uint8_t frame[kFrameSize];
  BuildTerrestrialTuneFrame(kLeadByteTPath, 474000, 8, frame);
  EXPECT_TRUE(protocol.Handle(BoxInterface::T, kIoctlDirectTune, frame, kFrameSize, 0).success);
  EXPECT_TRUE(protocol.Handle(BoxInterface::T, kIoctlDirectStreamAddress, nullptr, 0, 4).success);
  device_.QueueRead(std::vector<uint8_t>(188, 0x47));
  ASSERT_TRUE(WaitForBytes(protocol.ring(), 188));
  // The reader meets the vanished adapter; from then on nothing answers.
  device_.Vanish();
  auto deadline = std::chrono::steady_clock::now() + 20s;
  while (!box.Gone() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
  EXPECT_TRUE(box.Gone());
  for (uint32_t code : {kIoctlDirectStreamPosition, kIoctlDirectStreamAddress}) {
    EXPECT_FALSE(protocol.Handle(BoxInterface::T, code, nullptr, 0, 4).success) << std::hex << code;
  }
  EXPECT_FALSE(protocol.Handle(BoxInterface::T, kIoctlDirectTune, frame, kFrameSize, 0).success);
  EXPECT_FALSE(protocol.Handle(BoxInterface::T, kIoctlDirectSignalStatus, kDirectSignalInput, kFrameSize, 3).success);
  box.StopStream();
}

TEST(Tuning, AFrequencyOrRateTooLargeForTheDvbFieldIsRefusedNotWrapped) {
  FakeDvbDevice device(Frontend({DeliverySystem::DVBC_ANNEX_A}), {});
  DvbBox box(&device, BoxFamily::Cable);
  // 24-bit box fields: 16,777,215 kHz is 16.8 GHz in Hz, beyond 32 bits.
  EXPECT_FALSE(box.TuneCable(CableTune{16777215, 6900, 64}));
  EXPECT_FALSE(box.TuneCable(CableTune{474000, 16777215, 64}));
  EXPECT_TRUE(device.Calls().empty()) << "nothing was tuned";
  EXPECT_TRUE(box.TuneCable(CableTune{474000, 6900, 64}));
  EXPECT_FALSE(device.Calls().empty());
}

TEST(Tuning, AFailedDvbCallFailsTheRequest) {
  FakeDvbDevice device(Frontend({DeliverySystem::DVBT}), {});
  DvbBox box(&device, BoxFamily::Terrestrial);
  device.Vanish();
  EXPECT_FALSE(box.TuneTerrestrial(TerrestrialTune{474000, 8}));
  SignalReading reading = box.Signal();
  EXPECT_EQ(reading.strength, 0);
  EXPECT_FALSE(reading.locked);
}

}  // namespace
