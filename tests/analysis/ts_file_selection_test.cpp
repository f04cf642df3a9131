// Choosing and opening the file through the UI hooks, and the engine reset.
#include "tests/analysis/ts_file_fixture.h"

#include <cstring>
#include <filesystem>

#include "analysis/engine/psi.h"

using namespace tsbuild;

namespace {

using TsFileSelection = TsFileTest;

const char* const kFilter =
    "Data Files (*.DAT)|*.DAT|Transmission Stream (*.TS)|*.TS|All Files (*.*)|*.*||";

// How many descriptors of this process are open on `path`.
int DescriptorsOpenOn(const std::string& path) {
  int count = 0;
  std::error_code error;
  const std::filesystem::path target = std::filesystem::weakly_canonical(path, error);
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
    std::error_code readError;
    if (std::filesystem::read_symlink(entry.path(), readError) == target) ++count;
  }
  return count;
}

std::string WriteSample(const TempDir& dir, const std::string& name, int packets) {
  std::string path = dir.File(name);
  EXPECT_TRUE(WriteTsFile(path, NumberedPackets(packets)));
  return path;
}

TEST_F(TsFileSelection, OpenWithoutAFileAsksForOne) {
  std::string path = WriteSample(dir_, "a.ts", 5);
  ui_.QueueOpenFileAnswer(path);
  ASSERT_EQ(OpenTsFile(), 1);
  EXPECT_EQ(ui_.Messages(), std::vector<std::string>{"Must select a valid file !"});
  EXPECT_EQ(ui_.FileRequests(), 1);
  EXPECT_EQ(ui_.LastFilter(), kFilter);
  EXPECT_EQ(ui_.LastDefaultExtension(), "*.DAT");
  std::string name;
  GetTsFileName(name);
  EXPECT_EQ(name, path);
  EXPECT_NE(pTsFile, nullptr);
  EXPECT_EQ(ReadTsBlock(), 1);
  EXPECT_EQ(ReadAllIndices(), Range(0, 5));
}

TEST_F(TsFileSelection, CancellingTheRequestChangesNothing) {
  ui_.QueueOpenFileAnswer("");
  EXPECT_EQ(OpenTsFile(), 0);
  EXPECT_EQ(ui_.Messages(), std::vector<std::string>{"Must select a valid file !"});
  EXPECT_EQ(ui_.FileRequests(), 1);
  EXPECT_EQ(pTsFile, nullptr);
  EXPECT_TRUE(strTsFileName.empty());

  // With a file selected and open, a cancelled selection keeps it and its
  // reading position.
  OpenPath(WriteSample(dir_, "b.ts", 20));
  ASSERT_EQ(RestartTsFile(), 1);
  for (int i = 0; i < 7; ++i) ASSERT_EQ(NextPacket(), 1);
  FILE* open = pTsFile;
  std::string selected = strTsFileName;
  ui_.QueueOpenFileAnswer("");
  EXPECT_EQ(SelectTsFile(), 0);
  EXPECT_EQ(pTsFile, open);
  EXPECT_EQ(strTsFileName, selected);
  ASSERT_EQ(NextPacket(), 1);
  EXPECT_EQ(PacketIndex(pbCurrentPacket), 7);
}

TEST_F(TsFileSelection, ChoosingAFileResetsTheAnalysis) {
  OpenPath(WriteSample(dir_, "old.ts", 3));
  ASSERT_EQ(RestartTsFile(), 1);
  bPatDone = bPmtDone = bSdtDone = bSdtExists = 1;
  nProgramCount = 4;
  PatSectionList = new std::vector<PatSectionText>(2);
  std::string next = WriteSample(dir_, "new.ts", 8);
  ui_.QueueOpenFileAnswer(next);
  ASSERT_EQ(SelectTsFile(), 1);
  EXPECT_EQ(strTsFileName, next);
  EXPECT_EQ(pTsFile, nullptr);  // selected, not yet opened
  EXPECT_EQ(pbCursor, nullptr);
  EXPECT_EQ(PatSectionList, nullptr);
  EXPECT_EQ(bPatDone + bPmtDone + bSdtDone + bSdtExists + nProgramCount, 0);
  // A stored name is opened without asking again.
  ASSERT_EQ(OpenTsFile(), 1);
  EXPECT_EQ(ui_.FileRequests(), 1);
  EXPECT_EQ(ReadAllIndices(), Range(0, 8));
  EXPECT_TRUE(ui_.Messages().empty());
}

TEST_F(TsFileSelection, OpenFailureKeepsTheName) {
  strTsFileName = dir_.File("missing.ts");
  EXPECT_EQ(OpenTsFile(), 0);
  EXPECT_EQ(ui_.Messages(), std::vector<std::string>{"Open file failure !"});
  EXPECT_EQ(ui_.FileRequests(), 0);
  EXPECT_EQ(pTsFile, nullptr);
  EXPECT_EQ(strTsFileName, dir_.File("missing.ts"));

  strTsFileName = dir_.path();  // a folder is not a stream
  EXPECT_EQ(OpenTsFile(), 0);
  EXPECT_EQ(ui_.Messages().size(), 2u);
  EXPECT_EQ(pTsFile, nullptr);
}

TEST_F(TsFileSelection, ReopeningClosesThePreviousStream) {
#ifdef _WIN32
  GTEST_SKIP() << "counts the open descriptors in /proc/self/fd, which Windows has not";
#endif
  const std::string path = WriteSample(dir_, "c.ts", 4);
  OpenPath(path);
  EXPECT_EQ(DescriptorsOpenOn(path), 1);
  ASSERT_EQ(OpenTsFile(), 1);
  ASSERT_EQ(OpenTsFile(), 1);
  EXPECT_EQ(DescriptorsOpenOn(path), 1) << "each reopening closed the stream before it";
  EXPECT_EQ(ReadAllIndices(), Range(0, 4));
  CloseTsFile();
  EXPECT_EQ(pTsFile, nullptr);
  EXPECT_EQ(DescriptorsOpenOn(path), 0);
  // Closing or rewinding with nothing open does nothing.
  CloseTsFile();
  RewindTsFile();
  EXPECT_EQ(DescriptorsOpenOn(path), 0);
}

TEST_F(TsFileSelection, ReopeningMidStreamDeliversNothingUntilABlockIsRead) {
  OpenPath(WriteSample(dir_, "d.ts", 6));
  ASSERT_EQ(OpenTsFile(), 1);
  ASSERT_EQ(ReadTsBlock(), 1);
  ASSERT_EQ(NextPacket(), 1);
  ASSERT_EQ(NextPacket(), 1);
  ASSERT_EQ(OpenTsFile(), 1);
  EXPECT_EQ(NextPacket(), 0);
  ASSERT_EQ(ReadTsBlock(), 1);
  EXPECT_EQ(ReadAllIndices(), Range(0, 6));
}

TEST_F(TsFileSelection, ResetForgetsTheFileAndTheAnalysis) {
  OpenPath(WriteSample(dir_, "d.ts", 10));
  ASSERT_EQ(RestartTsFile(), 1);
  ASSERT_EQ(NextPacket(), 1);
  std::memset(SectionBuffer, 0xAB, sizeof SectionBuffer);
  PacketFilter = PacketFilterRecord{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  bPatDone = bPmtDone = bSdtDone = bSdtExists = 1;
  nProgramCount = 2;
  ProgramTable[0].program_number = 77;
  PatSectionList = new std::vector<PatSectionText>(1);
  SetAnalysingFlag(1);
  uint8_t* lastPacket = pbCurrentPacket;

  ResetAnalysis();
  EXPECT_TRUE(strTsFileName.empty());
  EXPECT_EQ(pTsFile, nullptr);
  EXPECT_EQ(pbCursor, nullptr);
  EXPECT_EQ(nBlockOffset, 0);
  EXPECT_EQ(PatSectionList, nullptr);
  EXPECT_EQ(bPatDone + bPmtDone + bSdtDone + bSdtExists + nProgramCount, 0);
  for (uint8_t byte : SectionBuffer) ASSERT_EQ(byte, 0);
  const PacketFilterRecord zero{};
  EXPECT_EQ(std::memcmp(&PacketFilter, &zero, sizeof zero), 0);
  // Left as they were: the count, the end flag, the analysing flag, the last
  // packet and the program table's contents.
  EXPECT_EQ(nPacketCount.load(), 1);
  EXPECT_EQ(bEndOfFile, 0);
  EXPECT_EQ(GetAnalysingFlag(), 1);
  EXPECT_EQ(pbCurrentPacket, lastPacket);
  EXPECT_EQ(ProgramTable[0].program_number, 77);
  std::string name = "x";
  GetTsFileName(name);
  EXPECT_EQ(name, "");

  SetAnalysingFlag(0);
  EXPECT_EQ(GetAnalysingFlag(), 0);
  ProgramTable[0].program_number = 0;

  // After the reset the next open asks for a file again.
  ui_.QueueOpenFileAnswer("");
  EXPECT_EQ(OpenTsFile(), 0);
  EXPECT_EQ(ui_.Messages(), std::vector<std::string>{"Must select a valid file !"});
}

}  // namespace
