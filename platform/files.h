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
// A named pipe (FIFO): opening it to read waits for a writer.
bool IsNamedPipePath(const std::string& path);

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

// The absolute form of `path` (symbolic links resolved on Linux); `path`
// itself when it cannot be resolved.
std::string AbsolutePath(const std::string& path);

// Size of a file in 64 bits; false when it cannot be asked (*exists false
// when there is nothing at `path`).
bool GetFileSize64(const std::string& path, uint64_t* size, bool* exists = nullptr);

// Whether `path` names the same file as the process's standard output.
bool IsStandardOutputFile(const std::string& path);
// The path that names the process's standard output on either system
// (Windows has no such file: its writers take the standard handle for it).
constexpr const char* kStandardOutputPath = "/dev/stdout";

// The bytes the calling user may still write on the file system that holds
// `folder`, and whether that file system takes no writes (mounted read-only,
// a write-protected or read-only volume). false with the errno value in
// *error when it cannot be asked.
struct FolderSpace {
  uint64_t freeBytes = 0;
  bool readOnly = false;
};
bool GetFolderSpace(const std::string& folder, FolderSpace* space, int* error);

// The folders a user could store files under, each once and ending with the
// folder separator: on Linux the mount points of the table at
// `mountTablePath` (/proc/self/mounts format) that are real file systems
// (no kernel or virtual ones, none of /proc, /sys, /dev, /run), not mounted
// read-only, folders the user may write to, one per file system; on Windows
// the drives with a file system (fixed, removable, network, RAM disks), and
// the table is not read.
std::vector<std::string> ListStorageFolders(const std::string& mountTablePath);
constexpr const char* kSystemMountTable = "/proc/self/mounts";

// A file written by one writer at a time: opening it while another open (of
// this or another process) writes it is refused, and leaves it as it was
// (flock on Linux, the share mode on Windows). Opening neither empties nor
// shortens it. Pipes and devices are written without blocking.
class SoleWriterFile {
public:
  SoleWriterFile() = default;
  ~SoleWriterFile();
  SoleWriterFile(const SoleWriterFile&) = delete;
  SoleWriterFile& operator=(const SoleWriterFile&) = delete;

  enum class OpenResult { Opened, InUse, Failed };
  // Failed: the errno value in *error.
  OpenResult Open(const std::string& path, int* error);
  bool IsOpen() const;
  // Whether Open created the file, and whether it is a regular file (which
  // can be cut and is written blocking) rather than a pipe or a device.
  bool Created() const { return created_; }
  bool Regular() const { return regular_; }

  // Writes up to `size` bytes at the current position: the count written,
  // 0 when a pipe or device takes nothing now, or -1 with the errno value.
  long long Write(const void* data, uint64_t size, int* error);
  // Waits up to waitMs for a pipe or device to take more; false when the
  // time ran out.
  bool WaitWritable(int waitMs);
  // Cuts a regular file to `size` bytes and goes on writing there.
  bool Truncate(uint64_t size, int* error);
  // Closes the file; with `remove` it is deleted first (still held, on Linux).
  // false with the errno value when the close failed; *removed tells whether
  // the delete worked.
  bool Close(bool remove, bool* removed, int* error);

private:
  std::string path_;
  intptr_t handle_ = -1;  // a descriptor on Linux, a HANDLE on Windows
  bool created_ = false;
  bool regular_ = true;
};
