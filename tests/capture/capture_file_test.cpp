// The capture file as both systems write it: one writer at a time, any
// Unicode path, sizes past 4 GiB, and the free space of the folders a
// capture can go to.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "capture/capture_run.h"
#include "platform/files.h"
#include "tests/support/test_env.h"
#include "tests/support/ts_builder.h"

namespace {

constexpr uint64_t kGiB = 1024ull * 1024 * 1024;
constexpr uint32_t kRing = 3130380;  // bus-kind ring
constexpr uint32_t kChunk = 61380;

// Whole contents through the platform's own reading (UTF-8 paths on Windows too).
std::string Contents(const std::string& path) {
  PositionedFile file;
  if (!file.Open(path)) return "<cannot open>";
  std::string bytes(static_cast<size_t>(file.Size()), '\0');
  bytes.resize(file.ReadAt(0, bytes.data(), bytes.size()));
  return bytes;
}

void Write(SoleWriterFile& file, const std::string& bytes) {
  int error = 0;
  ASSERT_EQ(file.Write(bytes.data(), bytes.size(), &error), static_cast<long long>(bytes.size())) << error;
}

// A ring filled with numbered packets whose write offset moves ahead at each
// poll, and a clock that moves when the capture sleeps.
struct FilledRing {
  std::vector<uint8_t> ring;
  uint32_t write = 0;
  uint64_t clock = 1000;

  FilledRing() {
    tsbuild::TsStreamBuilder stream;
    stream.Numbered(static_cast<int>(kRing / 188 + 1));
    ring.assign(stream.bytes().begin(), stream.bytes().begin() + kRing);
  }
  StreamRingAccess Access() {
    StreamRingAccess access;
    access.ring = ring.data();
    access.layout = {kRing, kChunk};
    access.writeOffset = [this](uint32_t* offset) {
      write = std::min<uint32_t>(write + 200000, kRing - 1);
      *offset = write;
      return true;
    };
    access.nowMs = [this] { return clock; };
    access.sleepMs = [this](uint32_t milliseconds) { clock += milliseconds; };
    return access;
  }
};

CaptureSettings OneMegabyte() {
  CaptureSettings capture{};
  capture.nRecordMode = 1;
  capture.nCaptureMegabytes = 1;
  return capture;
}

class CaptureFileTest : public ::testing::Test {
protected:
  void SetUp() override {
    CaptureTimings timings;
    timings.pollIntervalMs = 10;
    SetCaptureTimingsForTesting(timings);
    bCaptureCancel.store(0);
  }
  void TearDown() override { SetCaptureTimingsForTesting(CaptureTimings{}); }

  TempDir dir_;
};

TEST_F(CaptureFileTest, ASecondWriterIsRefusedAndChangesNothing) {
  const std::string path = dir_.File("held.ts");
  SoleWriterFile first;
  int error = 0;
  ASSERT_EQ(first.Open(path, &error), SoleWriterFile::OpenResult::Opened) << error;
  EXPECT_TRUE(first.Created());
  EXPECT_TRUE(first.Regular());
  Write(first, "kept bytes");

  SoleWriterFile second;
  EXPECT_EQ(second.Open(path, &error), SoleWriterFile::OpenResult::InUse);
  EXPECT_FALSE(second.IsOpen());

  // The capture opens its file before it touches the box, and gives up.
  FilledRing ring;
  EXPECT_EQ(CopyStreamRingToFile(OneMegabyte(), ring.Access(), path.c_str()), 0);
  const CaptureReport report = GetLastCaptureReport();
  EXPECT_EQ(report.end, CaptureEnd::FileUnusable);
  EXPECT_NE(report.fileError.find("in use by another capture"), std::string::npos) << report.fileError;
  EXPECT_FALSE(report.fileCreated);

  bool removed = true;
  ASSERT_TRUE(first.Close(false, &removed, &error));
  EXPECT_FALSE(removed);
  EXPECT_EQ(Contents(path), "kept bytes");
  // Free again once the first writer is gone; the open does not empty it.
  ASSERT_EQ(second.Open(path, &error), SoleWriterFile::OpenResult::Opened);
  EXPECT_FALSE(second.Created());
  ASSERT_TRUE(second.Close(false, &removed, &error));
  EXPECT_EQ(Contents(path), "kept bytes");
}

TEST_F(CaptureFileTest, CapturesIntoAPathWithChineseCharacters) {
  const std::string folder = dir_.File("\xE6\x8D\x95\xE8\x8E\xB7");  // 捕获
  int error = 0;
  ASSERT_TRUE(MakeFolders(folder, &error)) << error;
  const std::string path = folder + "/\xE9\xA2\x91\xE9\x81\x93\xE4\xB8\x80.ts";  // 频道一.ts
  FilledRing ring;
  ASSERT_EQ(CopyStreamRingToFile(OneMegabyte(), ring.Access(), path.c_str()), 1)
      << GetLastCaptureReport().fileError;
  const CaptureReport report = GetLastCaptureReport();
  EXPECT_TRUE(report.fileCreated);
  EXPECT_EQ(report.bytesWritten, 1048576u);
  uint64_t size = 0;
  ASSERT_TRUE(GetFileSize64(path, &size));
  EXPECT_EQ(size, 1048576u);
  const std::string bytes = Contents(path);
  ASSERT_EQ(bytes.size(), 1048576u);
  EXPECT_EQ(std::memcmp(bytes.data(), ring.ring.data(), bytes.size()), 0) << "the ring from its first packet on";
  EXPECT_TRUE(IsNonEmptyFile(path));
  EXPECT_EQ(GetPathKind(folder), PathKind::Folder);
}

TEST_F(CaptureFileTest, ACreatedFileNeverWrittenIsRemovedAtTheClose) {
  const std::string path = dir_.File("\xE7\xA9\xBA.ts");  // 空.ts
  SoleWriterFile file;
  int error = 0;
  ASSERT_EQ(file.Open(path, &error), SoleWriterFile::OpenResult::Opened);
  bool removed = false;
  ASSERT_TRUE(file.Close(true, &removed, &error));
  EXPECT_TRUE(removed);
  EXPECT_EQ(GetPathKind(path), PathKind::Missing);
}

TEST_F(CaptureFileTest, SizesPastFourGigabytesKeepTheirHighBits) {
  const std::string path = dir_.File("large.ts");
  SoleWriterFile file;
  int error = 0;
  ASSERT_EQ(file.Open(path, &error), SoleWriterFile::OpenResult::Opened);
  // Cut to the size, not written: the file systems keep it sparse.
  for (uint64_t size : {5 * kGiB + 7, 4 * kGiB, 4 * kGiB + 188, 17 * kGiB}) {
    ASSERT_TRUE(file.Truncate(size, &error)) << size << ": " << error;
    uint64_t got = 0;
    bool exists = false;
    ASSERT_TRUE(GetFileSize64(path, &got, &exists));
    EXPECT_TRUE(exists);
    EXPECT_EQ(got, size);
    PositionedFile reader;
    ASSERT_TRUE(reader.Open(path));
    EXPECT_EQ(reader.Size(), size);
    char tail[16];
    EXPECT_EQ(reader.ReadAt(size - 5, tail, sizeof tail), 5u) << "reads stop at the end past 4 GiB";
  }
  ASSERT_TRUE(file.Truncate(100, &error));
  Write(file, "abc");
  bool removed = false;
  ASSERT_TRUE(file.Close(false, &removed, &error));
  uint64_t size = 0;
  ASSERT_TRUE(GetFileSize64(path, &size));
  EXPECT_EQ(size, 103u);
  EXPECT_EQ(Contents(path).substr(100), "abc");
}

TEST_F(CaptureFileTest, FreeSpaceOfAFolderAndOfTheFoldersACaptureCanGoTo) {
  FolderSpace space;
  int error = 0;
  ASSERT_TRUE(GetFolderSpace(dir_.path(), &space, &error)) << error;
  EXPECT_FALSE(space.readOnly);
  EXPECT_GT(space.freeBytes, 0u);
  EXPECT_FALSE(GetFolderSpace(dir_.File("missing"), &space, &error));
  EXPECT_EQ(error, ENOENT);

  // Every folder listed is writable and answers the query; each line names
  // one of them.
  const std::string listed = ListDriveFreeSpace();
  for (const std::string& folder : ListStorageFolders(kSystemMountTable)) {
    FolderSpace each;
    if (!GetFolderSpace(folder, &each, &error) || each.readOnly) continue;
    EXPECT_NE(listed.find(folder + "Free space:"), std::string::npos) << folder << " in\n" << listed;
  }
#ifdef _WIN32
  // The drive of the temporary folder, as "X:\".
  const std::string drive = AbsolutePath(dir_.path()).substr(0, 3);
  EXPECT_NE(listed.find(drive + "Free space:"), std::string::npos) << drive << " in\n" << listed;
#endif
}

}  // namespace
