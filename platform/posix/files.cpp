#include "platform/files.h"

#include <fcntl.h>
#include <mntent.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string_view>
#include <vector>

PathKind GetPathKind(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return PathKind::Missing;
  if (S_ISREG(info.st_mode)) return PathKind::File;
  if (S_ISDIR(info.st_mode)) return PathKind::Folder;
  return PathKind::Other;
}

bool IsNamedPipePath(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode);
}

FILE* OpenFileStream(const std::string& path, const char* mode) {
  FILE* file = std::fopen(path.c_str(), mode);
  struct stat status {};
  if (file && fstat(fileno(file), &status) == 0 && S_ISDIR(status.st_mode)) {
    std::fclose(file);
    errno = EISDIR;
    return nullptr;
  }
  return file;
}

bool CanRewindStream(FILE* file) { return lseek(fileno(file), 0, SEEK_CUR) != -1; }

void SetStandardStreamsBinary() {}

char** Utf8Arguments(int, char** argv) { return argv; }

bool StandardErrorIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

BinaryInput::~BinaryInput() { Close(); }

void BinaryInput::Close() {
  if (ownsFd_ && fd_ >= 0) ::close(fd_);
  fd_ = -1;
  ownsFd_ = false;
}

int BinaryInput::Open(const std::string& path) {
  Close();
  const bool standardInput = path == "-";
  // Without O_NONBLOCK the open of a named pipe waits for a writer, beyond a cancel.
  const int fd = standardInput ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno;
  fd_ = fd;
  ownsFd_ = !standardInput;
  struct stat info {};
  streaming_ = false;
  size_ = -1;
  if (::fstat(fd, &info) == 0) {
    if (S_ISDIR(info.st_mode)) {
      Close();
      return EISDIR;
    }
    if (S_ISREG(info.st_mode)) {
      size_ = static_cast<int64_t>(info.st_size);
      ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    }
    // A pipe or a device is waited on with poll, standard input too (its
    // flags, shared with other programs, are left as they are): a stop
    // request is then seen while nothing comes.
    streaming_ = !S_ISREG(info.st_mode);
  }
  if (!standardInput && !streaming_) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return 0;
}

long long BinaryInput::Read(void* buffer, size_t capacity, int waitMs, int* error) {
  for (;;) {
    if (streaming_) {
      // A pipe that never had a writer polls as nothing to read (no hang-up):
      // the reader waits for one, and ends on the hang-up after the last writer.
      pollfd wait{fd_, POLLIN, 0};
      const int ready = ::poll(&wait, 1, waitMs);
      if (ready == 0) return kNothingYet;
      if (ready < 0) {
        if (errno == EINTR) continue;
        *error = errno;
        return -1;
      }
    }
    const ssize_t got = ::read(fd_, buffer, capacity);
    if (got >= 0) return got;
    if (errno == EINTR) continue;
    if (streaming_ && errno == EAGAIN) return kNothingYet;
    *error = errno;
    return -1;
  }
}

bool PositionedFile::Open(const std::string& path) {
  Close();
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd_ < 0) return false;
  struct stat info {};
  if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) {
    Close();
    return false;
  }
  size_ = static_cast<uint64_t>(info.st_size);
  return true;
}

void PositionedFile::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  size_ = 0;
}

size_t PositionedFile::ReadAt(uint64_t offset, void* out, size_t size) {
  size_t done = 0;
  while (fd_ >= 0 && done < size) {
    const ssize_t got = ::pread(fd_, static_cast<uint8_t*>(out) + done, size - done, static_cast<off_t>(offset + done));
    if (got <= 0) break;
    done += static_cast<size_t>(got);
  }
  return done;
}

bool ReadWholeFile(const std::string& path, std::string* text, int* error) {
  text->clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = errno;
    return false;
  }
  char buffer[16384];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      *error = errno;
      ::close(fd);
      return false;
    }
    text->append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return true;
}

namespace {

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool ReplaceFileAtomically(const std::string& target, const std::string& text, int* error) {
  struct stat old;
  const bool existed = ::stat(target.c_str(), &old) == 0;
  const std::string temp = target + ".tmp." + std::to_string(getpid());
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    *error = errno;
    return false;
  }
  if (existed) {
    if (fchmod(fd, old.st_mode & 07777) != 0) {}  // best effort: the contents matter more
    if (geteuid() == 0 && fchown(fd, old.st_uid, old.st_gid) != 0) {}
  }
  bool ok = WriteAll(fd, text) && fsync(fd) == 0;
  if (!ok) *error = errno;
  if (::close(fd) != 0 && ok) {
    *error = errno;
    ok = false;
  }
  if (ok && rename(temp.c_str(), target.c_str()) != 0) {
    *error = errno;
    ok = false;
  }
  if (!ok) unlink(temp.c_str());
  return ok;
}

bool MakeFolders(const std::string& path, int* error) {
  std::string partial;
  std::stringstream parts(path);
  std::string part;
  if (!path.empty() && path[0] == '/') partial = "/";
  while (std::getline(parts, part, '/')) {
    if (part.empty()) continue;
    partial += part + "/";
    if (mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
      *error = errno;
      return false;
    }
  }
  return true;
}

std::string FileToRewrite(const std::string& path) {
  std::string current = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat info;
    if (lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return current;
    std::vector<char> target(PATH_MAX);
    const ssize_t n = readlink(current.c_str(), target.data(), target.size());
    if (n <= 0 || static_cast<size_t>(n) >= target.size()) return {};
    std::string next(target.data(), static_cast<size_t>(n));
    if (next[0] != '/') next = current.substr(0, current.rfind('/') + 1) + next;
    current = next;
  }
  return {};
}

std::string UserSettingsFolder() {
  // A relative XDG_CONFIG_HOME is ignored, as the XDG base directories say.
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && *xdg == '/') return xdg;
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : ".") + "/.config";
}

ExclusiveFileLock::ExclusiveFileLock(const std::string& lockPath) {
  fd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ < 0) {
    error_ = errno;
    return;
  }
  while (flock(fd_, LOCK_EX) != 0) {
    if (errno != EINTR) {
      error_ = errno;
      ::close(fd_);
      fd_ = -1;
      return;
    }
  }
}

ExclusiveFileLock::~ExclusiveFileLock() {
  if (fd_ < 0) return;
  flock(fd_, LOCK_UN);
  ::close(fd_);
}

uint32_t CurrentProcessId() { return static_cast<uint32_t>(getpid()); }

std::string AbsolutePath(const std::string& path) {
  char* absolute = realpath(path.c_str(), nullptr);
  if (!absolute) return path;
  std::string result = absolute;
  std::free(absolute);
  return result;
}

bool GetFileSize64(const std::string& path, uint64_t* size, bool* exists) {
  struct stat info {};
  const bool found = ::stat(path.c_str(), &info) == 0;
  if (exists) *exists = found;
  *size = found ? static_cast<uint64_t>(info.st_size) : 0;
  return found;
}

bool IsStandardOutputFile(const std::string& path) {
  struct stat file {}, out {};
  return ::stat(path.c_str(), &file) == 0 && ::fstat(STDOUT_FILENO, &out) == 0 && file.st_dev == out.st_dev &&
         file.st_ino == out.st_ino;
}

bool GetFolderSpace(const std::string& folder, FolderSpace* space, int* error) {
  struct statvfs info {};
  if (::statvfs(folder.c_str(), &info) != 0) {
    *error = errno;
    return false;
  }
  space->freeBytes = static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
  space->readOnly = (info.f_flag & ST_RDONLY) != 0;
  return true;
}

namespace {

// Kernel and virtual file systems: nothing a file could be stored on.
bool IsPseudoFileSystem(std::string_view type) {
  static const std::set<std::string_view> kPseudo = {
      "autofs",  "binfmt_misc", "bpf",      "cgroup",    "cgroup2",    "configfs",
      "debugfs", "devpts",      "devtmpfs", "efivarfs",  "fusectl",    "hugetlbfs",
      "mqueue",  "nfsd",        "nsfs",     "proc",      "pstore",     "rpc_pipefs",
      "securityfs", "selinuxfs", "sysfs",   "tracefs"};
  return kPseudo.count(type) != 0;
}

// The system's own areas (run-time state, devices, kernel views), even when
// they are writable file systems such as tmpfs.
bool IsSystemArea(std::string_view mountPoint) {
  for (std::string_view area : {"/proc", "/sys", "/dev", "/run"}) {
    if (mountPoint.substr(0, area.size()) == area &&
        (mountPoint.size() == area.size() || mountPoint[area.size()] == '/'))
      return true;
  }
  return false;
}

}  // namespace

std::vector<std::string> ListStorageFolders(const std::string& mountTablePath) {
  std::vector<std::string> folders;
  FILE* table = setmntent(mountTablePath.c_str(), "r");
  if (table == nullptr) return folders;
  std::set<dev_t> listed;
  mntent entry{};
  char buffer[4096];
  while (getmntent_r(table, &entry, buffer, sizeof buffer) != nullptr) {
    std::string_view mountPoint = entry.mnt_dir;
    if (IsPseudoFileSystem(entry.mnt_type) || IsSystemArea(mountPoint)) continue;
    if (hasmntopt(&entry, "ro") != nullptr) continue;
    struct stat info {};
    // Bind-mounted single files (a container's /etc/hosts) are no place for a file.
    if (::stat(entry.mnt_dir, &info) != 0 || !S_ISDIR(info.st_mode)) continue;
    if (::access(entry.mnt_dir, W_OK) != 0) continue;
    if (!listed.insert(info.st_dev).second) continue;
    std::string folder = entry.mnt_dir;
    if (folder.back() != '/') folder += '/';
    folders.push_back(folder);
  }
  endmntent(table);
  return folders;
}

SoleWriterFile::~SoleWriterFile() {
  bool removed = false;
  int error = 0;
  Close(false, &removed, &error);
}

bool SoleWriterFile::IsOpen() const { return handle_ >= 0; }

SoleWriterFile::OpenResult SoleWriterFile::Open(const std::string& path, int* error) {
  if (IsOpen()) {
    *error = EBUSY;
    return OpenResult::Failed;
  }
  struct stat before {};
  const bool existed = ::stat(path.c_str(), &before) == 0;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    *error = errno;
    return OpenResult::Failed;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int failure = errno;
    ::close(fd);
    if (failure == EWOULDBLOCK) return OpenResult::InUse;
    *error = failure;
    return OpenResult::Failed;
  }
  struct stat info {};
  regular_ = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  created_ = !existed && regular_;
  // Without blocking, a reader that stops reading cannot hold the writer.
  if (!regular_) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  path_ = path;
  handle_ = fd;
  return OpenResult::Opened;
}

long long SoleWriterFile::Write(const void* data, uint64_t size, int* error) {
  const size_t piece = static_cast<size_t>(std::min<uint64_t>(size, 1u << 30));
  for (;;) {
    const ssize_t written = ::write(static_cast<int>(handle_), data, piece);
    if (written > 0) return written;
    if (written == 0) {
      *error = piece == 0 ? 0 : ENOSPC;
      return piece == 0 ? 0 : -1;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    *error = errno;
    return -1;
  }
}

bool SoleWriterFile::WaitWritable(int waitMs) {
  pollfd out{static_cast<int>(handle_), POLLOUT, 0};
  const int ready = ::poll(&out, 1, waitMs);
  // Writable, or an error the next write reports.
  return ready > 0 || (ready < 0 && errno != EINTR);
}

bool SoleWriterFile::Truncate(uint64_t size, int* error) {
  const int fd = static_cast<int>(handle_);
  if (::ftruncate(fd, static_cast<off_t>(size)) != 0 || ::lseek(fd, static_cast<off_t>(size), SEEK_SET) < 0) {
    *error = errno;
    return false;
  }
  return true;
}

bool SoleWriterFile::Close(bool remove, bool* removed, int* error) {
  *removed = false;
  if (handle_ < 0) return true;
  const int fd = static_cast<int>(handle_);
  handle_ = -1;
  // Removed while the lock is still held, so no other writer gets it first.
  if (remove) *removed = ::unlink(path_.c_str()) == 0;
  if (::close(fd) != 0 && errno != EINTR) {
    *error = errno;
    return false;
  }
  return true;
}
