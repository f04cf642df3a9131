// Chunk arithmetic, ring layout by model, the proposed file name and the
// free-space list: the parts of a capture that need no box.
#ifndef _WIN32
#include <sys/statvfs.h>
#endif

#include <filesystem>
#include <sstream>

#include <gtest/gtest.h>

#include "capture/capture_run.h"
#include "tests/capture/text_shape.h"
#include "tests/support/test_env.h"

namespace {

constexpr uint64_t kMegabyte = 1048576;

uint64_t PlannedBytes(const ChunkPlan& plan, uint32_t chunk) {
  return plan.count == 0 ? 0 : static_cast<uint64_t>(plan.count - 1) * chunk + plan.finalBytes;
}

TEST(CaptureChunkPlan, OneMegabyteIn61380ByteChunksEndsWithAPartialChunk) {
  ChunkPlan plan{};
  ASSERT_TRUE(PlanCaptureChunks(1 * kMegabyte, 61380, &plan));
  EXPECT_EQ(plan.count, 18u);
  EXPECT_EQ(plan.finalBytes, 5116u);
}

TEST(CaptureChunkPlan, SevenMegabytesRoundUpToTheNearestCount) {
  ChunkPlan plan{};
  ASSERT_TRUE(PlanCaptureChunks(7 * kMegabyte, 61380, &plan));
  EXPECT_EQ(plan.count, 120u);
  EXPECT_EQ(plan.finalBytes, 35812u);
}

TEST(CaptureChunkPlan, PlannedBytesAlwaysEqualTheSizeAsked) {
  for (uint32_t chunk : {4096u, 61380u}) {
    for (uint64_t megabytes : {1ull, 2ull, 3ull, 7ull, 50ull, 600ull, 4095ull, 65536ull}) {
      ChunkPlan plan{};
      ASSERT_TRUE(PlanCaptureChunks(megabytes * kMegabyte, chunk, &plan));
      EXPECT_EQ(PlannedBytes(plan, chunk), megabytes * kMegabyte) << megabytes << " MB";
      EXPECT_GT(plan.finalBytes, 0u);
      EXPECT_LE(plan.finalBytes, chunk);
      if (chunk == 4096) {
        EXPECT_EQ(plan.finalBytes, 4096u);
      }
    }
  }
}

TEST(CaptureChunkPlan, ZeroBytesMeansNoChunks) {
  ChunkPlan plan{};
  ASSERT_TRUE(PlanCaptureChunks(0, 61380, &plan));
  EXPECT_EQ(plan.count, 0u);
}

TEST(CaptureChunkPlan, CountsBeyond32BitsAreRefused) {
  ChunkPlan plan{};
  // The largest megabyte count a settings record can carry.
  EXPECT_FALSE(PlanCaptureChunks(static_cast<uint64_t>(UINT32_MAX) * kMegabyte, 4096, &plan));
  EXPECT_FALSE(PlanCaptureChunks(static_cast<uint64_t>(UINT32_MAX) * kMegabyte, 61380, &plan));
  EXPECT_FALSE(PlanCaptureChunks(kMegabyte, 0, &plan));
  // Just inside: 2^32 - 2 chunks of 4,096 bytes.
  ASSERT_TRUE(PlanCaptureChunks((static_cast<uint64_t>(UINT32_MAX) - 1) * 4096, 4096, &plan));
  EXPECT_EQ(plan.count, UINT32_MAX - 1);
}

TEST(CaptureChunkPlan, LargestSizeLimitFitsEveryChunkSize) {
  ChunkPlan plan{};
  for (uint32_t chunk : {4096u, 61380u})
    EXPECT_TRUE(PlanCaptureChunks(static_cast<uint64_t>(kMaxCaptureMegabytes) * kMegabyte, chunk, &plan));
  EXPECT_FALSE(PlanCaptureChunks((static_cast<uint64_t>(kMaxCaptureMegabytes) + 1) * kMegabyte, 4096, &plan));
}

TEST(CaptureOutputFile, OnlyAFileWithContentsCountsAsNonEmpty) {
  TempDir dir;
  const std::string full = dir.File("full.ts"), empty = dir.File("empty.ts");
  WriteFileBytes(full, "x");
  WriteFileBytes(empty, "");
  EXPECT_TRUE(IsNonEmptyFile(full));
  EXPECT_FALSE(IsNonEmptyFile(empty));
  EXPECT_FALSE(IsNonEmptyFile(dir.File("missing.ts")));
  EXPECT_FALSE(IsNonEmptyFile(dir.path())) << "a folder is not a file to replace";
#ifndef _WIN32
  EXPECT_FALSE(IsNonEmptyFile("/dev/zero"));
#endif
}

TEST(CaptureStreamLayout, RingAndChunkFollowTheModel) {
  for (int model : {12, 20}) {
    EXPECT_EQ(GetStreamLayout(model).ringSize, 3133440u);
    EXPECT_EQ(GetStreamLayout(model).chunkSize, 4096u);
  }
  EXPECT_EQ(GetStreamLayout(46).ringSize, 3133440u);
  EXPECT_EQ(GetStreamLayout(46).chunkSize, 61380u);
  for (int model : {0, 1, 3, 5, 6, 10, 11, 15, 16, 255}) {
    EXPECT_EQ(GetStreamLayout(model).ringSize, 3130380u);
    EXPECT_EQ(GetStreamLayout(model).chunkSize, 61380u);
  }
}

TEST(CaptureFileName, ProposalIsTheLocalTimeWithUnderscores) {
  std::tm time{};
  time.tm_year = 2005 - 1900;
  time.tm_mon = 2;
  time.tm_mday = 14;
  time.tm_hour = 9;
  time.tm_min = 5;
  time.tm_sec = 7;
  EXPECT_EQ(FormatCaptureFileName(time), "2005_03_14_09_05_07");
  EXPECT_TRUE(HasShape(ProposeCaptureFileName(), "####_##_##_##_##_##"));
}

#ifndef _WIN32
// Linux: the list over a mount table of the test's own.

// Free MB of the file system holding `path`, as the list computes it.
uint64_t FreeMegabytes(const std::string& path) {
  struct statvfs space {};
  if (statvfs(path.c_str(), &space) != 0) return 0;
  return static_cast<uint64_t>(space.f_bavail) * space.f_frsize / kMegabyte;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start) + "<no CRLF>");
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

TEST(DriveFreeSpace, ListsWritableFileSystemsOnceAndSkipsTheRest) {
  TempDir dir;
  std::string spaced = dir.File("with space");
  std::filesystem::create_directory(spaced);
  std::string plainFile = dir.File("bound-file");
  WriteFileBytes(plainFile, "x");
  std::ostringstream table;
  table << "/dev/vdb " << dir.path() << " ext4 rw,relatime 0 0\n"
        << "proc /proc proc rw 0 0\n"
        << "sysfs /sys sysfs rw 0 0\n"
        << "tmpfs /dev/shm tmpfs rw 0 0\n"
        << "cgroup2 " << dir.path() << " cgroup2 rw 0 0\n"          // pseudo type
        << "/dev/vdc " << dir.File("missing") << " ext4 rw 0 0\n"   // query fails
        << "/dev/vdd " << dir.path() << "/with\\040space ext4 rw 0 0\n"  // same file system again
        << "/dev/vde " << plainFile << " ext4 rw 0 0\n"             // a bound file
        << "/dev/vdf " << dir.path() << " ext4 ro 0 0\n";           // read-only
  std::string tablePath = dir.File("mounts");
  WriteFileBytes(tablePath, table.str());

  std::vector<std::string> lines = Lines(ListDriveFreeSpace(tablePath));
  ASSERT_EQ(lines.size(), 1u) << ListDriveFreeSpace(tablePath);
  std::string prefix = dir.path() + "/Free space:";
  ASSERT_EQ(lines[0].rfind(prefix, 0), 0u) << lines[0];
  std::string rest = lines[0].substr(prefix.size());
  ASSERT_TRUE(HasShape(rest, "+(MB)")) << lines[0];
  uint64_t listed = std::stoull(rest);
  uint64_t now = FreeMegabytes(dir.path());
  // Other writers may change the free space between the two queries.
  EXPECT_LE(listed > now ? listed - now : now - listed, 256u);
}

TEST(DriveFreeSpace, TheRealMountTableGivesWellFormedLinesOutsideSystemAreas) {
  std::string text = ListDriveFreeSpace();
  for (const std::string& line : Lines(text)) {
    size_t label = line.find("/Free space:");
    EXPECT_TRUE(line.rfind("/", 0) == 0 && label != std::string::npos &&
                HasShape(std::string_view(line).substr(label), "/Free space:+(MB)"))
        << line;
    for (const char* area : {"/proc/", "/sys/", "/dev/", "/run/"})
      EXPECT_NE(line.rfind(area, 0), 0u) << line;
  }
  EXPECT_EQ(ListDriveFreeSpace(TempDir().File("no-such-table")), "");
}
#endif

}  // namespace
