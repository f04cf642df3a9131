// Block reading, carry-over across block ends, sync search and the end of
// the stream.
#include "tests/analysis/ts_file_fixture.h"

#include <cstring>

using namespace tsbuild;

namespace {

using TsFileReader = TsFileTest;

// Garbage (never 0x47) in front of numbered packets, so that packet starts
// fall where a test needs them relative to the block end.
Bytes PacketsAfterGarbage(size_t garbage, int packets) {
  TsStreamBuilder stream;
  stream.Garbage(garbage, 0x00).Numbered(packets);
  return stream.bytes();
}

TEST_F(TsFileReader, FileShorterThanABlockDeliversEveryPacket) {
  OpenStream(NumberedPackets(1000));
  EXPECT_EQ(ReadAllIndices(), Range(0, 1000));
  EXPECT_EQ(nPacketCount.load(), 1000);
  EXPECT_EQ(bEndOfFile, 1);
  EXPECT_EQ(pbCursor, nullptr);
  EXPECT_TRUE(ui_.Messages().empty());
  // Asking again after the end changes nothing and says nothing.
  EXPECT_EQ(NextPacket(), 0);
  EXPECT_EQ(nPacketCount.load(), 1000);
  EXPECT_TRUE(ui_.Messages().empty());
}

TEST_F(TsFileReader, LastPacketsOfALongerFileAreDelivered) {
  // 4 MiB + 1000 bytes: 22,315 whole packets and 84 bytes of a cut one. The
  // packet at 4,194,280 straddles the block end and is carried over.
  Bytes bytes = NumberedPackets(22316);
  bytes.resize(static_cast<size_t>(kBlockSize) + 1000);
  OpenStream(bytes);
  ASSERT_EQ(RestartTsFile(), 1);
  int count = 0;
  bool sawCarried = false;
  while (NextPacket()) {
    ASSERT_EQ(PacketIndex(pbCurrentPacket), count);
    if (count == 22310) {
      sawCarried = true;
      EXPECT_EQ(pbCurrentPacket, BlockBuffer);
      EXPECT_EQ(0, std::memcmp(pbCurrentPacket, bytes.data() + 22310 * 188, 188));
    }
    ++count;
  }
  EXPECT_TRUE(sawCarried);
  EXPECT_EQ(count, 22315);
  EXPECT_EQ(nPacketCount.load(), 22315);
  EXPECT_EQ(bEndOfFile, 1);
  EXPECT_EQ(pbCursor, nullptr);
  EXPECT_TRUE(ui_.Messages().empty());
}

TEST_F(TsFileReader, PacketStraddlingTheBlockEndIsDeliveredFromTheBufferStart) {
  // 112 garbage bytes put a packet start 100 bytes before the block end.
  Bytes bytes = PacketsAfterGarbage(112, 22320);
  OpenStream(bytes);
  ASSERT_EQ(RestartTsFile(), 1);
  const int straddling = (kBlockSize - 100 - 112) / 188;
  for (int i = 0; i < straddling; ++i) ASSERT_EQ(NextPacket(), 1);
  EXPECT_EQ(nBlockOffset, kBlockSize - 100);
  ASSERT_EQ(NextPacket(), 1);
  EXPECT_EQ(pbCurrentPacket, BlockBuffer);
  EXPECT_EQ(PacketIndex(pbCurrentPacket), straddling);
  EXPECT_EQ(0, std::memcmp(pbCurrentPacket, bytes.data() + 112 + straddling * 188, 188));
  EXPECT_EQ(nBlockOffset, 188);
  ASSERT_EQ(NextPacket(), 1);
  EXPECT_EQ(PacketIndex(pbCurrentPacket), straddling + 1);
}

TEST_F(TsFileReader, PacketEndingAtTheBlockEndNeedsNoRefill) {
  // 24 garbage bytes make the 22,310th packet end exactly at 4 MiB.
  Bytes bytes = PacketsAfterGarbage(24, 22320);
  OpenStream(bytes);
  ASSERT_EQ(RestartTsFile(), 1);
  for (int i = 0; i < 22309; ++i) ASSERT_EQ(NextPacket(), 1);
  ASSERT_EQ(NextPacket(), 1);
  EXPECT_EQ(pbCurrentPacket, BlockBuffer + kBlockSize - 188);
  EXPECT_EQ(PacketIndex(pbCurrentPacket), 22309);
  EXPECT_EQ(nBlockOffset, kBlockSize);
  // The next packet comes from a whole new block with nothing carried.
  ASSERT_EQ(NextPacket(), 1);
  EXPECT_EQ(pbCurrentPacket, BlockBuffer);
  EXPECT_EQ(PacketIndex(pbCurrentPacket), 22310);
  int rest = 0;
  while (NextPacket()) ++rest;
  EXPECT_EQ(rest, 9);
  EXPECT_TRUE(ui_.Messages().empty());
}

TEST_F(TsFileReader, FileEndingAtABlockEndStopsSilently) {
  OpenStream(PacketsAfterGarbage(24, 22310));
  EXPECT_EQ(ReadAllIndices(), Range(0, 22310));
  EXPECT_EQ(bEndOfFile, 1);
  EXPECT_TRUE(ui_.Messages().empty());
}

TEST_F(TsFileReader, TooShortFilesYieldNothingWithoutAMessage) {
  for (size_t size : {size_t{0}, size_t{1}, size_t{187}}) {
    SCOPED_TRACE(size);
    Bytes bytes = NumberedPackets(1);
    bytes.resize(size);
    OpenStream(bytes);
    EXPECT_EQ(RestartTsFile(), 0);
    EXPECT_EQ(bEndOfFile, 1);
    EXPECT_EQ(pbCursor, nullptr);
    EXPECT_EQ(NextPacket(), 0);
  }
  EXPECT_TRUE(ui_.Messages().empty());
}

TEST_F(TsFileReader, PacketCutByTheEndOfFileIsNotDelivered) {
  Bytes bytes = NumberedPackets(11);
  bytes.resize(10 * 188 + 187);
  OpenStream(bytes);
  EXPECT_EQ(ReadAllIndices(), Range(0, 10));
  EXPECT_TRUE(ui_.Messages().empty());
}

TEST_F(TsFileReader, GarbageIsSkippedAndAStray47IsTakenAsAPacket) {
  TsStreamBuilder clean;
  clean.Numbered(1).Garbage(50, 0x00).Numbered(2).Garbage(1, 0x12).Numbered(1);
  OpenStream(clean.bytes());
  EXPECT_EQ(ReadAllIndices(), Range(0, 4));

  // A 0x47 ten bytes into 60 garbage bytes starts a 188-byte "packet" that
  // swallows the sync byte of packet 1; the scan resumes behind it and finds
  // packet 2.
  Bytes garbage(60, 0x00);
  garbage[10] = 0x47;
  garbage[11] = 0x01;
  garbage[12] = 0x23;
  TsStreamBuilder stray;
  stray.Garbage(5, 0x00).Numbered(1).Garbage(garbage).Numbered(2);
  OpenStream(stray.bytes(), "stray.ts");
  ASSERT_EQ(RestartTsFile(), 1);
  ASSERT_EQ(NextPacket(), 1);
  EXPECT_EQ(pbCurrentPacket, BlockBuffer + 5);
  ASSERT_EQ(NextPacket(), 1);
  EXPECT_EQ(pbCurrentPacket, BlockBuffer + 5 + 188 + 10);
  EXPECT_NE(PacketHeaderReport().find("291 0X123"), std::string::npos);
  ASSERT_EQ(NextPacket(), 1);
  EXPECT_EQ(PacketIndex(pbCurrentPacket), 2);
  EXPECT_EQ(NextPacket(), 0);
  EXPECT_EQ(nPacketCount.load(), 3);
}

TEST_F(TsFileReader, ABlockWithoutSyncBytesIsSkippedWhole) {
  TsStreamBuilder stream;
  stream.Garbage(static_cast<size_t>(kBlockSize) + 500, 0x00).Numbered(3);
  OpenStream(stream.bytes());
  EXPECT_EQ(ReadAllIndices(), Range(0, 3));
  EXPECT_TRUE(ui_.Messages().empty());
}

TEST_F(TsFileReader, ReadingAgainAfterTheEndIsReported) {
  OpenStream(NumberedPackets(3));
  EXPECT_EQ(ReadAllIndices().size(), 3u);
  EXPECT_TRUE(ui_.Messages().empty());
  // A stage that asks for more after the stream ended gets the message.
  EXPECT_EQ(FindSync(), 0);
  EXPECT_EQ(ui_.Messages(), std::vector<std::string>{"Already reaching end-of-file !"});
  EXPECT_EQ(bEndOfFile, 1);
  EXPECT_EQ(pbCursor, nullptr);
}

TEST_F(TsFileReader, RestartReadsFromTheBeginningAgain) {
  OpenStream(NumberedPackets(300));
  ASSERT_EQ(FirstPacket(), 1);
  EXPECT_EQ(PacketIndex(pbCurrentPacket), 0);
  EXPECT_EQ(nPacketCount.load(), 1);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(NextPacket(), 1);
  EXPECT_EQ(nPacketCount.load(), 101);

  ASSERT_EQ(RestartTsFile(), 1);
  EXPECT_EQ(nPacketCount.load(), 0);
  EXPECT_EQ(nBlockOffset, 0);
  EXPECT_EQ(pbCursor, BlockBuffer);
  EXPECT_EQ(ReadAllIndices(), Range(0, 300));
  // After the end, a restart starts over without any message.
  EXPECT_EQ(ReadAllIndices(), Range(0, 300));
  EXPECT_TRUE(ui_.Messages().empty());
}

TEST_F(TsFileReader, RestartWithoutAnOpenFileFailsQuietly) {
  EXPECT_EQ(RestartTsFile(), 0);
  EXPECT_EQ(bEndOfFile, 1);
  EXPECT_EQ(pbCursor, nullptr);
  EXPECT_EQ(FirstPacket(), 0);
  EXPECT_EQ(NextPacket(), 0);
  EXPECT_TRUE(ui_.Messages().empty());
}

TEST_F(TsFileReader, StagesSteppingByThemselvesSeeEveryPacket) {
  // The PSI stages take packets from FindSync and step over them by moving
  // the cursor themselves; they must see the same packets as NextPacket.
  Bytes bytes = PacketsAfterGarbage(112, 22400);
  OpenStream(bytes);
  ASSERT_EQ(RestartTsFile(), 1);
  std::vector<int> seen;
  while (FindSync()) {
    ASSERT_EQ(pbCursor, BlockBuffer + nBlockOffset);
    seen.push_back(PacketIndex(pbCursor));
    pbCursor += 188;
    nBlockOffset += 188;
  }
  EXPECT_EQ(seen, Range(0, 22400));
  EXPECT_EQ(nPacketCount.load(), 0);
  EXPECT_TRUE(ui_.Messages().empty());
}

TEST_F(TsFileReader, SampleStreamsDeliverAllTheirPackets) {
  const struct {
    const char* name;
    int packets;
  } samples[] = {{"test-018.ts", 100}, {"test-030.ts", 1145}, {"test-025.ts", 9751},
                 {"mpts-3prog.ts", 36659}};
  for (const auto& sample : samples) {
    SCOPED_TRACE(sample.name);
    OpenPath(SampleStream(sample.name));
    ASSERT_EQ(RestartTsFile(), 1);
    int pid0 = 0;
    while (NextPacket()) {
      ASSERT_EQ(pbCurrentPacket[0], 0x47);
      if (((pbCurrentPacket[1] & 0x1F) << 8 | pbCurrentPacket[2]) == 0) ++pid0;
    }
    EXPECT_EQ(nPacketCount.load(), sample.packets);
    EXPECT_GT(pid0, 0);
  }
  EXPECT_TRUE(ui_.Messages().empty());
}

}  // namespace
