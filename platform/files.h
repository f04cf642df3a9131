// Files as the engine, the profile and the command line use them, through the
// system's own calls: always binary (no byte ends a read early, no line end is
// translated), 64-bit sizes, paths in UTF-8 (UTF-16 only at the Windows API
// edge). Errors are errno values, for SystemErrorText.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

enum class PathKind { Missing, File, Folder, Other };  // Other: a pipe, a device, a socket

PathKind GetPathKind(const std::string& path);

// std::fopen with a UTF-8 path, always in binary. A folder is not opened
// (errno EISDIR).
FILE* OpenFileStream(const std::string& path, const char* mode);
// Whether the stream can go back to its start (false for a pipe).
bool CanRewindStream(FILE* file);
// Standard input and output carry bytes unchanged from here on, and the
// console shows UTF-8.
void SetStandardStreamsBinary();
// The program's arguments in UTF-8 (Windows passes main() the ANSI code
// page's, which cannot hold most names). Stays valid for the process.
char** Utf8Arguments(int argc, char** argv);
bool StandardErrorIsTerminal();

// A file or standard input ("-") read in blocks. Regular files are read
// sequentially; pipes and devices are waited on in steps, so that a reader
// can look at a cancel flag between them.
class BinaryInput {
public:
  BinaryInput() = default;
  ~BinaryInput();
  BinaryInput(const BinaryInput&) = delete;
  BinaryInput& operator=(const BinaryInput&) = delete;

  // 0, or the errno value (EISDIR for a folder). A named pipe without a
  // writer opens at once.
  int Open(const std::string& path);
  // Size of a regular file, else -1.
  int64_t Size() const { return size_; }

  static constexpr long long kNothingYet = -2;
  // Up to `capacity` bytes: the count read, 0 at the end of the input,
  // kNothingYet when a pipe or device had nothing within waitMs, or -1 with
  // the errno value in *error.
  long long Read(void* buffer, size_t capacity, int waitMs, int* error);

private:
  void Close();

  int fd_ = -1;
  bool ownsFd_ = false;
  bool streaming_ = false;
  int64_t size_ = -1;
};

// A regular file read at any offset, for views that read only what is on
// screen. Nothing but a regular file opens (a pipe's writer is never waited
// for).
class PositionedFile {
public:
  PositionedFile() = default;
  ~PositionedFile() { Close(); }
  PositionedFile(const PositionedFile&) = delete;
  PositionedFile& operator=(const PositionedFile&) = delete;

  bool Open(const std::string& path);
  void Close();
  bool IsOpen() const { return fd_ >= 0; }
  uint64_t Size() const { return size_; }
  // Up to `size` bytes at `offset`; fewer at the end or on an error.
  size_t ReadAt(uint64_t offset, void* out, size_t size);

private:
  int fd_ = -1;
  uint64_t size_ = 0;
};

// The whole file; false with the errno value in *error (ENOENT when absent).
bool ReadWholeFile(const std::string& path, std::string* text, int* error);

// Replaces `path` by `text` through a temporary file beside it, flushed to
// the disk and renamed over the old one (also when it exists), so a crash
// never leaves it half-written. The file keeps its mode, and its owner where
// this process may give it. false with the errno value in *error.
bool ReplaceFileAtomically(const std::string& path, const std::string& text, int* error);

// Creates the folder and its missing parents (new levels private to the user).
bool MakeFolders(const std::string& path, int* error);

// Where a rewrite of `path` must go: a symbolic link is followed to the file
// it names, so the link stays. Empty for a loop of links.
std::string FileToRewrite(const std::string& path);

// The folder for per-user settings: $XDG_CONFIG_HOME (absolute) or
// ~/.config on Linux, %APPDATA% on Windows.
std::string UserSettingsFolder();

// An exclusive lock on a lock file (created when absent), held until
// destroyed; other processes locking the same file wait.
class ExclusiveFileLock {
public:
  // Check Locked(): false with the errno value in Error().
  explicit ExclusiveFileLock(const std::string& lockPath);
  ~ExclusiveFileLock();
  ExclusiveFileLock(const ExclusiveFileLock&) = delete;
  ExclusiveFileLock& operator=(const ExclusiveFileLock&) = delete;
  bool Locked() const { return fd_ >= 0; }
  int Error() const { return error_; }

private:
  int fd_ = -1;
  int error_ = 0;
};

// The calling process's id.
uint32_t CurrentProcessId();
