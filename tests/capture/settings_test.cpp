// The settings block and the profile sections, as the settings dialogs,
// the LNB Setup dialog and the Antenna Tuning Utility store and load them.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "capture/capture_settings.h"
#include "platform/profile.h"
#include "tests/support/test_env.h"

namespace {

class CaptureSettingsTest : public ::testing::Test {
protected:
  void SetUp() override {
    ClearSettingsBlock();
    nCapturePid.store(0);
  }
  void TearDown() override { ClearSettingsBlock(); }
  TempDir dir;
  ScopedEnv env{"XDG_CONFIG_HOME", dir.path().c_str()};
  ScopedEnv appData{"APPDATA", dir.path().c_str()};  // where Windows keeps the profile
};

void ExpectUnusedWordsZero(const ChannelSettings& channel, int firstUnused) {
  for (int i = firstUnused; i < 83; ++i) ASSERT_EQ(channel.words[i], 0) << "word " << i;
}

TEST_F(CaptureSettingsTest, BlockIsZeroAtStart) {
  const CaptureSettingsBlock block = GetSettingsBlock();
  ExpectUnusedWordsZero(block.channel, 0);
  EXPECT_EQ(block.capture.nLnbNumber, 0);
  EXPECT_EQ(block.capture.nRecordMode, 0);
  EXPECT_EQ(block.szCaptureFile[0], '\0');
}

TEST_F(CaptureSettingsTest, EmptyProfileGivesEachFamilysDefaults) {
  const DctFields dct = LoadDctSettings();
  EXPECT_EQ(dct.frequencyKHz, 0u);
  EXPECT_EQ(dct.symbolRate, 6875u);
  EXPECT_EQ(dct.qamIndex, 2);
  EXPECT_EQ(dct.limits.recordMode, 1);
  EXPECT_EQ(dct.limits.seconds, 0u);
  EXPECT_EQ(dct.limits.megabytes, 50u);
  EXPECT_EQ(dct.limits.captureFile, "NONAME.DAT");

  const DttFields dtt = LoadDttSettings();
  EXPECT_EQ(dtt.frequencyKHz, 12308u);
  EXPECT_EQ(dtt.bandwidthMHz, 6u);
  EXPECT_EQ(dtt.limits.recordMode, 1);
  EXPECT_EQ(dtt.limits.megabytes, 600u);
  EXPECT_EQ(dtt.pid, 0);

  const DstFields dst = LoadDstSettings(false);
  EXPECT_EQ(dst.frequencyMHz, 12308u);
  EXPECT_EQ(dst.symbolRate, 22425u);
  EXPECT_EQ(dst.iq, 0u);
  EXPECT_EQ(dst.polarisationIndex, 0);
  EXPECT_EQ(dst.limits.recordMode, 1);
  EXPECT_EQ(dst.limits.megabytes, 600u);
  EXPECT_EQ(dst.limits.captureFile, "NONAME.DAT");

  const DstFields kept = LoadDstSettings(true);
  EXPECT_EQ(kept.frequencyMHz, 0u);
  EXPECT_EQ(kept.symbolRate, 0u);
  EXPECT_EQ(kept.limits.recordMode, 0);
  EXPECT_EQ(kept.limits.megabytes, 0u);
  EXPECT_EQ(kept.limits.captureFile, "");
}

TEST_F(CaptureSettingsTest, CableStoreFillsBlockAndSectionAndKeepsLnbTable) {
  // Earlier satellite values in the capture record must survive a cable store.
  ASSERT_TRUE(WriteProfileInt("LNB1", "Custom1", 9999));
  DstFields dst;
  dst.frequencyMHz = 11778;
  ASSERT_TRUE(StoreDstSettings(dst));
  nCapturePid.store(77);

  DctFields dct;
  dct.frequencyKHz = 474000;
  dct.symbolRate = 6875;
  dct.qamIndex = 4;
  dct.limits = {0, 30, 12, "/data/cable.ts"};
  ASSERT_TRUE(StoreDctSettings(dct));
  const CaptureSettingsBlock block = GetSettingsBlock();
  EXPECT_EQ(block.channel.words[0], 474000);
  EXPECT_EQ(block.channel.words[1], 6875);
  EXPECT_EQ(block.channel.words[2], 256);
  ExpectUnusedWordsZero(block.channel, 3);
  EXPECT_EQ(block.capture.nRecordMode, 0);
  EXPECT_EQ(block.capture.nCaptureSeconds, 30);
  EXPECT_EQ(block.capture.nCaptureMegabytes, 12);
  EXPECT_EQ(block.capture.nLnbNumber, 1);
  EXPECT_EQ(block.capture.lnb[0].custom1, 9999);
  EXPECT_STREQ(block.szCaptureFile, "/data/cable.ts");
  EXPECT_EQ(nCapturePid.load(), 77);  // cable has no PID field

  EXPECT_EQ(ReadProfileInt("DCTSETTINGP", "FREQ", -1), 474000);
  EXPECT_EQ(ReadProfileInt("DCTSETTINGP", "SYMR", -1), 6875);
  EXPECT_EQ(ReadProfileInt("DCTSETTINGP", "QAM", -1), 4);
  EXPECT_EQ(ReadProfileInt("DCTSETTINGP", "RECM", -1), 0);
  EXPECT_EQ(ReadProfileInt("DCTSETTINGP", "SECC", -1), 30);
  EXPECT_EQ(ReadProfileInt("DCTSETTINGP", "SIZE", -1), 12);
  const DctFields loaded = LoadDctSettings();
  EXPECT_EQ(loaded.frequencyKHz, 474000u);
  EXPECT_EQ(loaded.qamIndex, 4);
  EXPECT_EQ(loaded.limits.recordMode, 0);
}

TEST_F(CaptureSettingsTest, QamOrderFromListIndex) {
  const int expected[] = {16, 32, 64, 128, 256};
  for (int index = 0; index < 5; ++index) EXPECT_EQ(QamOrderFromIndex(index), expected[index]);
  EXPECT_EQ(QamOrderFromIndex(-1), 16);
  EXPECT_EQ(QamOrderFromIndex(5), 16);
  // Nothing selected: the record gets 16 and the profile keeps -1.
  DctFields dct;
  dct.qamIndex = -1;
  StoreDctSettings(dct);
  EXPECT_EQ(GetSettingsBlock().channel.words[2], 16);
  EXPECT_EQ(ReadProfileInt("DCTSETTINGP", "QAM", 0), -1);
}

TEST_F(CaptureSettingsTest, TerrestrialStoreSetsPidAndLeavesLnbAlone) {
  DttFields dtt;
  dtt.frequencyKHz = 474000;
  dtt.bandwidthMHz = 8;
  dtt.pid = -2;
  dtt.limits = {1, 0, 600, "NONAME.DAT"};
  ASSERT_TRUE(StoreDttSettings(dtt));
  const CaptureSettingsBlock block = GetSettingsBlock();
  EXPECT_EQ(block.channel.words[0], 474000);
  EXPECT_EQ(block.channel.words[1], 8);
  ExpectUnusedWordsZero(block.channel, 2);
  EXPECT_EQ(block.capture.nLnbNumber, 0);
  EXPECT_EQ(nCapturePid.load(), -2);  // sign-extended
  EXPECT_EQ(ReadProfileInt("DTTSETTINGP", "FREQ", -1), 474000);
  EXPECT_EQ(ReadProfileInt("DTTSETTINGP", "BWID", -1), 8);
  EXPECT_EQ(ReadProfileInt("DTTSETTINGP", "SIZE", -1), 600);
  EXPECT_EQ(ReadProfileText("DTTSETTINGP", "NAME", "none"), "none");
}

TEST_F(CaptureSettingsTest, SatelliteStoreLoadsAllFourLnbsAndWritesName) {
  for (int number = 1; number <= 4; ++number) {
    const std::string section = LnbSectionName(number);
    WriteProfileInt(section, "LNB Enable", 1);
    WriteProfileInt(section, "LNB Type", number % 3);
    WriteProfileInt(section, "22KHz Tone", number == 2);
    WriteProfileInt(section, "Tone Burst", number == 3);
    WriteProfileInt(section, "Data Burst", number == 4);
    WriteProfileInt(section, "DiSEqC", number);
    WriteProfileInt(section, "Custom1", 10000 + number);
    WriteProfileInt(section, "Custom2", 9000 + number);
  }
  DstFields dst;
  dst.frequencyMHz = 11778;
  dst.symbolRate = 27500;
  dst.polarisationIndex = 1;
  dst.iq = 1;
  dst.pid = 0x100;
  dst.limits = {1, 5, 40, "/tmp/sat.DAT"};
  ASSERT_TRUE(StoreDstSettings(dst));
  const CaptureSettingsBlock block = GetSettingsBlock();
  EXPECT_EQ(block.channel.words[0], 11778);
  EXPECT_EQ(block.channel.words[1], 27500);
  EXPECT_EQ(block.channel.words[2], 1);
  EXPECT_EQ(block.channel.words[3], 1);
  ExpectUnusedWordsZero(block.channel, 4);
  EXPECT_EQ(block.capture.nLnbNumber, 1);
  for (int number = 1; number <= 4; ++number) {
    const LnbSettings& lnb = block.capture.lnb[number - 1];
    EXPECT_EQ(lnb.lnbEnable, 1);
    EXPECT_EQ(lnb.lnbType, number % 3);
    EXPECT_EQ(lnb.tone22kHz, number == 2 ? 1 : 0);
    EXPECT_EQ(lnb.toneBurst, number == 3 ? 1 : 0);
    EXPECT_EQ(lnb.dataBurst, number == 4 ? 1 : 0);
    EXPECT_EQ(lnb.diseqc, number);
    EXPECT_EQ(lnb.custom1, 10000 + number);
    EXPECT_EQ(lnb.custom2, 9000 + number);
  }
  EXPECT_EQ(nCapturePid.load(), 0x100);
  EXPECT_EQ(ReadProfileInt("DSTSETTINGP", "POLA", -1), 1);
  EXPECT_EQ(ReadProfileInt("DSTSETTINGP", "IQ", -1), 1);
  EXPECT_EQ(ReadProfileInt("DSTSETTINGP", "SECC", -1), 5);
  EXPECT_EQ(ReadProfileText("DSTSETTINGP", "NAME"), "/tmp/sat.DAT");
  // The file name is written but not read back: the dialog starts with NONAME.DAT.
  EXPECT_EQ(LoadDstSettings(false).limits.captureFile, "NONAME.DAT");
  EXPECT_EQ(LoadDstSettings(false).polarisationIndex, 1);
}

TEST_F(CaptureSettingsTest, NoPolarisationSelectedIsKeptAsMinusOne) {
  DstFields dst;
  dst.polarisationIndex = -1;
  StoreDstSettings(dst);
  EXPECT_EQ(GetSettingsBlock().channel.words[2], -1);
  EXPECT_EQ(ReadProfileInt("DSTSETTINGP", "POLA", 0), -1);
}

TEST_F(CaptureSettingsTest, LnbSetupVisitKeepsTheDialogValuesApart) {
  DstFields dst;
  dst.frequencyMHz = 12000;
  dst.symbolRate = 30000;
  dst.polarisationIndex = 1;
  dst.limits = {0, 90, 7, "/chosen/by/files.DAT"};
  ASSERT_TRUE(SaveDstSettingsForLnbSetup(dst));
  EXPECT_EQ(ReadProfileInt("DSTSETTINGP", "FREQ", -1), -1);  // the P section is untouched
  const CaptureSettingsBlock block = GetSettingsBlock();
  EXPECT_EQ(block.channel.words[0], 0);  // so is the block
  const DstFields back = LoadDstSettings(true);
  EXPECT_EQ(back.frequencyMHz, 12000u);
  EXPECT_EQ(back.symbolRate, 30000u);
  EXPECT_EQ(back.polarisationIndex, 1);
  EXPECT_EQ(back.limits.recordMode, 0);
  EXPECT_EQ(back.limits.seconds, 90u);
  EXPECT_EQ(back.limits.megabytes, 7u);
  EXPECT_EQ(back.limits.captureFile, "/chosen/by/files.DAT");
}

TEST_F(CaptureSettingsTest, CaptureFileIsCutTo259Characters) {
  DttFields dtt;
  dtt.limits.captureFile = std::string(300, 'x');
  StoreDttSettings(dtt);
  EXPECT_EQ(std::string(GetSettingsBlock().szCaptureFile), std::string(259, 'x'));
  DstFields dst;
  dst.limits.captureFile = std::string(300, 'y');
  StoreDstSettings(dst);
  EXPECT_EQ(ReadProfileText("DSTSETTINGP", "NAME"), std::string(259, 'y'));
}

TEST_F(CaptureSettingsTest, LargeValuesReachTheBlockButLoadAsTheirDefaults) {
  DctFields dct;
  dct.frequencyKHz = 4000000000u;
  dct.limits.megabytes = 3000000000u;
  StoreDctSettings(dct);
  EXPECT_EQ(static_cast<uint32_t>(GetSettingsBlock().capture.nCaptureMegabytes), 3000000000u);
  // Written as signed words, read back outside every range: the defaults.
  const DctFields loaded = LoadDctSettings();
  EXPECT_EQ(loaded.frequencyKHz, static_cast<uint32_t>(kDctDefaultFrequency));
  EXPECT_EQ(loaded.limits.megabytes, static_cast<uint32_t>(kDctDefaultSize));
  // The largest values the fields hold come back as they are.
  dct.frequencyKHz = 0xFFFFFF;
  dct.limits.megabytes = 16777215;
  StoreDctSettings(dct);
  EXPECT_EQ(LoadDctSettings().frequencyKHz, 0xFFFFFFu);
  EXPECT_EQ(LoadDctSettings().limits.megabytes, 16777215u);
}

TEST_F(CaptureSettingsTest, FillWithoutStoringTouchesNeitherBlockNorProfile) {
  ChannelSettings channel;
  for (int32_t& word : channel.words) word = 5;
  CaptureSettings capture{};
  capture.nLnbNumber = 3;
  DctFields dct;
  dct.frequencyKHz = 306000;
  dct.qamIndex = 1;
  FillDctRecords(dct, &channel, &capture);
  EXPECT_EQ(channel.words[0], 306000);
  EXPECT_EQ(channel.words[2], 32);
  ExpectUnusedWordsZero(channel, 3);
  EXPECT_EQ(capture.nLnbNumber, 3);
  EXPECT_EQ(GetSettingsBlock().channel.words[0], 0);
  EXPECT_EQ(ReadProfileInt("DCTSETTINGP", "FREQ", -1), -1);
}

TEST_F(CaptureSettingsTest, AntennaTuningStoresChannelOnly) {
  DctFields dct;
  dct.frequencyKHz = 1;
  dct.symbolRate = 2;
  dct.qamIndex = 3;
  dct.limits.recordMode = 0;
  StoreDctSettings(dct);
  ASSERT_TRUE(StoreAntennaTuningChannel(474000, -1));
  const CaptureSettingsBlock block = GetSettingsBlock();
  EXPECT_EQ(block.channel.words[0], 474000);
  EXPECT_EQ(block.channel.words[1], 5);  // nothing selected: index -1 + 6
  EXPECT_EQ(block.channel.words[2], 0);
  EXPECT_EQ(block.capture.nRecordMode, 0);
  EXPECT_EQ(ReadProfileInt("DTTSETTINGP", "BWID", -1), 5);
  EXPECT_EQ(ReadProfileInt("DTTSETTINGP", "FREQ", -1), 474000);
}

TEST_F(CaptureSettingsTest, LnbSetupWritesTheSameEightKeysToAllFourSections) {
  LnbSettings lnb{1, 2, 1, 0, 1, 3, 11300, 0};
  ASSERT_TRUE(StoreLnbSetup(lnb));
  const char* keys[8] = {"LNB Enable", "LNB Type", "22KHz Tone", "Tone Burst",
                         "Data Burst", "DiSEqC",   "Custom1",    "Custom2"};
  const int values[8] = {1, 2, 1, 0, 1, 3, 11300, 0};
  for (int number = 1; number <= 4; ++number) {
    for (int k = 0; k < 8; ++k)
      EXPECT_EQ(ReadProfileInt(LnbSectionName(number), keys[k], -9), values[k])
          << number << " " << keys[k];
    const LnbSettings loaded = LoadLnbSettings(number);
    EXPECT_EQ(loaded.custom1, 11300);
    EXPECT_EQ(loaded.diseqc, 3);
    EXPECT_EQ(loaded.dataBurst, 1);
  }
  EXPECT_EQ(LnbSectionName(3), "LNB3");
  const LnbSettings outside = LoadLnbSettings(5);
  EXPECT_EQ(outside.custom1, 0);
}

// The LNB table a satellite tune reads and the settings the command line
// stores and loads take a hand-edited profile as the dialogs show it: every
// value outside what its key can hold reads as the key's default.
TEST_F(CaptureSettingsTest, HostileProfileValuesReadAsTheirDefaults) {
  const std::filesystem::path profile = GetProfilePath();
  std::filesystem::create_directories(profile.parent_path());
  std::filesystem::copy_file(std::string(VANTREL_TEST_DATA_DIR) + "/profiles/hostile_profile.ini", profile);
  DstFields dst = LoadDstSettings(false);
  EXPECT_EQ(dst.frequencyMHz, 12308u);       // FREQ=-5
  EXPECT_EQ(dst.symbolRate, 22425u);         // SYMR=abc
  EXPECT_EQ(dst.iq, 0u);                     // IQ=9
  EXPECT_EQ(dst.polarisationIndex, 0);       // POLA=-7
  EXPECT_EQ(dst.limits.recordMode, 1);       // RECM=5
  EXPECT_EQ(dst.limits.seconds, 0u);         // SECC=-1
  EXPECT_EQ(dst.limits.megabytes, 600u);     // SIZE beyond 32 bits
  ChannelSettings channel{};
  CaptureSettings capture{};
  FillDstRecords(dst, &channel, &capture);
  const LnbSettings& lnb = capture.lnb[0];
  EXPECT_EQ(lnb.lnbEnable, 0);   // 7
  EXPECT_EQ(lnb.lnbType, 0);     // -3
  EXPECT_EQ(lnb.tone22kHz, 0);   // 99
  EXPECT_EQ(lnb.toneBurst, 0);   // -1
  EXPECT_EQ(lnb.dataBurst, 0);   // 5
  EXPECT_EQ(lnb.diseqc, 0);      // 1000
  EXPECT_EQ(lnb.custom1, 0);     // -10600
  EXPECT_EQ(lnb.custom2, 0);     // beyond 32 bits
  // A value some box of the family carries stays: the model's own range is
  // checked when the channel is used.
  ASSERT_TRUE(WriteProfileInt(kSectionDct, kKeySymbolRate, 70000));
  EXPECT_EQ(LoadDctSettings().symbolRate, 70000u);
  ASSERT_TRUE(WriteProfileInt(kSectionDct, kKeySymbolRate, 16777216));
  EXPECT_EQ(LoadDctSettings().symbolRate, static_cast<uint32_t>(kDctDefaultSymbolRate));
  ASSERT_TRUE(WriteProfileInt(kSectionDct, kKeyQam, 5));
  EXPECT_EQ(LoadDctSettings().qamIndex, kDctDefaultQamIndex);
  ASSERT_TRUE(WriteProfileInt(kSectionDtt, kKeySize, 16777216));
  EXPECT_EQ(LoadDttSettings().limits.megabytes, static_cast<uint32_t>(kDttDefaultSize));
}

TEST_F(CaptureSettingsTest, EmptyLnbProfileAndFixedPairs) {
  const LnbSettings empty = LoadLnbSettings(1);
  EXPECT_EQ(empty.lnbEnable, 0);
  EXPECT_EQ(empty.lnbType, 0);
  EXPECT_EQ(empty.custom2, 0);
  uint32_t lo1 = 1, lo2 = 1;
  ASSERT_TRUE(FixedLnbLoPair(0, &lo1, &lo2));
  EXPECT_EQ(lo1, 5150u);
  EXPECT_EQ(lo2, 5750u);
  ASSERT_TRUE(FixedLnbLoPair(1, &lo1, &lo2));
  EXPECT_EQ(lo1, 10600u);
  EXPECT_EQ(lo2, 9750u);
  EXPECT_FALSE(FixedLnbLoPair(2, &lo1, &lo2));
  EXPECT_FALSE(FixedLnbLoPair(-1, &lo1, &lo2));
}

TEST_F(CaptureSettingsTest, ProfileWriteFailureIsReportedButBlockStillStored) {
  // A file where the profile folder should be makes every write fail.
  WriteFileBytes(dir.File("CAPTURE"), "not a folder");
  DttFields dtt;
  dtt.frequencyKHz = 500000;
  EXPECT_FALSE(StoreDttSettings(dtt));
  EXPECT_EQ(GetSettingsBlock().channel.words[0], 500000);
  EXPECT_FALSE(StoreLnbSetup(LnbSettings{}));
}

}  // namespace
