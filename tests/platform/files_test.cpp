// The platform's file functions, the same on Linux and (under wine) Windows:
// bytes come back unchanged, replacing works over an existing file, UTF-8
// names reach the system intact, folders and missing files are told apart.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include "platform/files.h"
#include "tests/support/test_env.h"

namespace {

using namespace std::string_literals;

// Every byte value, with the ones text mode would change or stop at.
std::string AwkwardBytes() {
  std::string bytes = "\x1A\r\n\n\r\x00\x1A"s;
  for (int b = 0; b < 256; ++b) bytes += static_cast<char>(b);
  return bytes + "\x1A";
}

std::string ReadThroughInput(const std::string& path, int64_t* size) {
  BinaryInput input;
  EXPECT_EQ(input.Open(path), 0) << path;
  *size = input.Size();
  std::string bytes;
  char buffer[7];  // small, so reads end in the middle of the awkward bytes
  for (int rounds = 0; rounds < 10000; ++rounds) {
    int error = 0;
    const long long got = input.Read(buffer, sizeof buffer, 100, &error);
    EXPECT_GE(got, 0) << error;
    if (got <= 0) break;
    bytes.append(buffer, static_cast<size_t>(got));
  }
  return bytes;
}

std::string ReadThroughStream(const std::string& path, const char* mode) {
  FILE* file = OpenFileStream(path, mode);
  EXPECT_NE(file, nullptr) << path;
  if (!file) return {};
  std::string bytes;
  char buffer[64];
  for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) bytes.append(buffer, got);
  EXPECT_TRUE(CanRewindStream(file));
  std::fclose(file);
  return bytes;
}

TEST(PlatformFiles, BytesComeBackUnchangedThroughEveryReader) {
  TempDir dir;
  const std::string bytes = AwkwardBytes();
  for (const std::string name : {"plain.ts", "频道 测试.ts", "Ünïcödé name.ts"}) {
    SCOPED_TRACE(name);
    const std::string path = dir.File(name);
    int error = 0;
    ASSERT_TRUE(ReplaceFileAtomically(path, bytes, &error)) << error;
    EXPECT_EQ(GetPathKind(path), PathKind::File);
    std::string read;
    ASSERT_TRUE(ReadWholeFile(path, &read, &error)) << error;
    EXPECT_EQ(read, bytes);
    int64_t size = 0;
    EXPECT_EQ(ReadThroughInput(path, &size), bytes);
    EXPECT_EQ(size, static_cast<int64_t>(bytes.size()));
    EXPECT_EQ(ReadThroughStream(path, "r"), bytes);  // binary even when not asked
    EXPECT_EQ(ReadThroughStream(path, "rb"), bytes);
  }
}

TEST(PlatformFiles, PositionedReadsGiveTheBytesAtEachOffset) {
  TempDir dir;
  const std::string bytes = AwkwardBytes();
  const std::string path = dir.File("频道.ts");
  int error = 0;
  ASSERT_TRUE(ReplaceFileAtomically(path, bytes, &error));
  PositionedFile file;
  ASSERT_TRUE(file.Open(path));
  EXPECT_EQ(file.Size(), bytes.size());
  struct Case {
    uint64_t offset;
    size_t size;
    size_t expected;
  };
  const Case cases[] = {{0, 8, 8}, {5, 1, 1}, {200, 100, bytes.size() - 200}, {bytes.size(), 4, 0}, {1u << 31, 4, 0}};
  for (const Case& c : cases) {
    std::string out(c.size, '?');
    ASSERT_EQ(file.ReadAt(c.offset, out.data(), c.size), c.expected) << c.offset;
    EXPECT_EQ(out.substr(0, c.expected), bytes.substr(static_cast<size_t>(std::min<uint64_t>(c.offset, bytes.size())), c.expected));
  }
  PositionedFile folder;
  EXPECT_FALSE(folder.Open(dir.path()));
  EXPECT_FALSE(folder.IsOpen());
}

TEST(PlatformFiles, ReplacingAnExistingFileLeavesOnlyTheNewContents) {
  TempDir dir;
  const std::string path = dir.File("VANTREL.ini");
  int error = 0;
  ASSERT_TRUE(ReplaceFileAtomically(path, "[Old]\nKey=1\n", &error));
  ASSERT_TRUE(ReplaceFileAtomically(path, "[New]\n", &error)) << error;
  std::string read;
  ASSERT_TRUE(ReadWholeFile(path, &read, &error));
  EXPECT_EQ(read, "[New]\n");
  size_t files = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path())) ++files;
  EXPECT_EQ(files, 1u) << "a temporary file was left behind";
}

// Standard output sent to `path` while it lives.
class StandardOutputTo {
public:
  explicit StandardOutputTo(const std::string& path) {
#ifdef _WIN32
    saved_ = GetStdHandle(STD_OUTPUT_HANDLE);
    file_ = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    SetStdHandle(STD_OUTPUT_HANDLE, file_);
#else
    std::fflush(stdout);
    saved_ = ::dup(STDOUT_FILENO);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(fd, STDOUT_FILENO);
    ::close(fd);
#endif
  }
  ~StandardOutputTo() {
#ifdef _WIN32
    SetStdHandle(STD_OUTPUT_HANDLE, saved_);
    CloseHandle(file_);
#else
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
#endif
  }

private:
#ifdef _WIN32
  HANDLE saved_ = nullptr, file_ = nullptr;
#else
  int saved_ = -1;
#endif
};

TEST(PlatformFiles, TheStandardOutputPathWritesWhereStandardOutputGoes) {
  TempDir dir;
  const std::string path = dir.File("out.ts");
  const std::string bytes = AwkwardBytes();
  {
    StandardOutputTo redirect(path);
    EXPECT_TRUE(IsStandardOutputFile(kStandardOutputPath));
    SoleWriterFile file;
    int error = 0;
    ASSERT_EQ(file.Open(kStandardOutputPath, &error), SoleWriterFile::OpenResult::Opened) << error;
    for (size_t at = 0; at < bytes.size();) {
      const long long wrote = file.Write(bytes.data() + at, bytes.size() - at, &error);
      ASSERT_GT(wrote, 0) << error;
      at += static_cast<size_t>(wrote);
    }
    bool removed = false;
    EXPECT_TRUE(file.Close(false, &removed, &error)) << error;
  }
  std::string read;
  int error = 0;
  ASSERT_TRUE(ReadWholeFile(path, &read, &error)) << error;
  EXPECT_EQ(read, bytes);
}

TEST(PlatformFiles, FoldersAndMissingPathsAreToldApart) {
  TempDir dir;
  struct Case {
    std::string path;
    PathKind kind;
    int openError;
  };
  const Case cases[] = {
      {dir.path(), PathKind::Folder, EISDIR},
      {dir.File("absent.ts"), PathKind::Missing, ENOENT},
      {dir.File("no folder/absent.ts"), PathKind::Missing, ENOENT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(GetPathKind(c.path), c.kind);
    BinaryInput input;
    EXPECT_EQ(input.Open(c.path), c.openError);
    errno = 0;
    EXPECT_EQ(OpenFileStream(c.path, "rb"), nullptr);
    EXPECT_EQ(errno, c.openError);
    std::string text;
    int error = 0;
    EXPECT_FALSE(ReadWholeFile(c.path, &text, &error));
  }
}

TEST(PlatformFiles, MakeFoldersCreatesEveryMissingLevelOnce) {
  TempDir dir;
  const std::string nested = dir.File("a/设置/c");
  int error = 0;
  ASSERT_TRUE(MakeFolders(nested, &error)) << error;
  EXPECT_EQ(GetPathKind(nested), PathKind::Folder);
  EXPECT_TRUE(MakeFolders(nested, &error)) << "an existing folder is no error";
  int ignored = 0;
  ASSERT_TRUE(ReplaceFileAtomically(dir.File("file"), "x", &ignored));
  EXPECT_FALSE(MakeFolders(dir.File("file/below"), &error)) << "a file in the way";
}

TEST(PlatformFiles, ASecondLockWaitsForTheFirst) {
  TempDir dir;
  const std::string lockPath = dir.File("VANTREL.ini.lock");
  std::atomic<bool> firstReleased{false};
  std::atomic<bool> secondSawRelease{false};
  auto first = std::make_unique<ExclusiveFileLock>(lockPath);
  ASSERT_TRUE(first->Locked()) << first->Error();
  std::thread second([&] {
    ExclusiveFileLock lock(lockPath);
    secondSawRelease.store(lock.Locked() && firstReleased.load());
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  firstReleased.store(true);
  first.reset();
  second.join();
  EXPECT_TRUE(secondSawRelease.load());
}

}  // namespace
