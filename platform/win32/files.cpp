#include "platform/files.h"

#include <windows.h>

#include <shellapi.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cwchar>

#include "platform/win32/wide_text.h"

namespace {

// errno for the Windows errors file calls commonly meet.
int ErrnoFromWindows(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE: return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return EACCES;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS: return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    case ERROR_WRITE_PROTECT: return EROFS;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: return ENOMEM;
    case ERROR_DIRECTORY: return ENOTDIR;
    case ERROR_BROKEN_PIPE: return EPIPE;
    default: return EIO;
  }
}

bool IsFolderPath(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

PathKind GetPathKind(const std::string& path) {
  const std::wstring wide = WideFromUtf8(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    // Named pipes and devices have no attributes of their own.
    return wide.rfind(L"\\\\.\\", 0) == 0 ? PathKind::Other : PathKind::Missing;
  }
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::Folder : PathKind::File;
}

bool IsNamedPipePath(const std::string& path) {
  std::string lower = path;
  for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return lower.rfind("\\\\.\\pipe\\", 0) == 0;
}

FILE* OpenFileStream(const std::string& path, const char* mode) {
  const std::wstring wide = WideFromUtf8(path);
  if (IsFolderPath(wide)) {
    errno = EISDIR;
    return nullptr;
  }
  std::wstring wideMode = WideFromUtf8(mode);
  if (wideMode.find(L'b') == std::wstring::npos) wideMode += L'b';
  return _wfopen(wide.c_str(), wideMode.c_str());
}

bool CanRewindStream(FILE* file) {
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  return handle != INVALID_HANDLE_VALUE && GetFileType(handle) == FILE_TYPE_DISK;
}

void SetStandardStreamsBinary() {
  // Without it a 0x1A byte ends standard input and every "\n" written to
  // standard output gains a "\r".
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  SetConsoleOutputCP(CP_UTF8);
}

char** Utf8Arguments(int argc, char** argv) {
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!wide || count != argc) return argv;
  static std::vector<std::string> texts;
  static std::vector<char*> pointers;
  for (int i = 0; i < count; ++i) texts.push_back(Utf8FromWide(wide[i]));
  LocalFree(wide);
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers.data();
}

bool StandardErrorIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

BinaryInput::~BinaryInput() { Close(); }

void BinaryInput::Close() {
  if (ownsFd_ && fd_ >= 0) _close(fd_);
  fd_ = -1;
  ownsFd_ = false;
}

int BinaryInput::Open(const std::string& path) {
  Close();
  const bool standardInput = path == "-";
  size_ = -1;
  streaming_ = false;
  if (standardInput) {
    _setmode(_fileno(stdin), _O_BINARY);
    fd_ = _fileno(stdin);
    // A pipe on standard input is looked at before each read too, so that a
    // stop is seen while it gives nothing.
    streaming_ = GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(fd_))) == FILE_TYPE_PIPE;
    return 0;
  }
  const std::wstring wide = WideFromUtf8(path);
  if (IsFolderPath(wide)) return EISDIR;
  const int fd = _wopen(wide.c_str(), _O_RDONLY | _O_BINARY | _O_SEQUENTIAL | _O_NOINHERIT);
  if (fd < 0) return errno;
  fd_ = fd;
  ownsFd_ = true;
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (GetFileType(handle) == FILE_TYPE_DISK) {
    LARGE_INTEGER size{};
    if (GetFileSizeEx(handle, &size)) size_ = size.QuadPart;
  } else {
    streaming_ = GetFileType(handle) == FILE_TYPE_PIPE;
  }
  return 0;
}

long long BinaryInput::Read(void* buffer, size_t capacity, int waitMs, int* error) {
  if (streaming_) {
    // A pipe is looked at before the read, so a reader can stop between waits.
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd_));
    DWORD available = 0;
    if (!PeekNamedPipe(handle, nullptr, 0, nullptr, &available, nullptr)) {
      const DWORD failure = GetLastError();
      if (failure == ERROR_BROKEN_PIPE) return 0;  // the writer closed its end
      // A pipe that cannot be looked at (as wine gives standard input) is
      // read as it comes, blocking.
      streaming_ = false;
    } else if (available == 0) {
      Sleep(static_cast<DWORD>(waitMs > 10 ? 10 : waitMs));
      return kNothingYet;
    }
  }
  const unsigned int want = capacity > 0x40000000u ? 0x40000000u : static_cast<unsigned int>(capacity);
  const int got = _read(fd_, buffer, want);
  if (got >= 0) return got;
  if (errno == EPIPE) return 0;  // a pipe whose writer has gone
  *error = errno;
  return -1;
}

bool PositionedFile::Open(const std::string& path) {
  Close();
  const std::wstring wide = WideFromUtf8(path);
  if (IsFolderPath(wide)) return false;
  fd_ = _wopen(wide.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
  if (fd_ < 0) return false;
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd_));
  LARGE_INTEGER size{};
  if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileSizeEx(handle, &size)) {
    Close();
    return false;
  }
  size_ = static_cast<uint64_t>(size.QuadPart);
  return true;
}

void PositionedFile::Close() {
  if (fd_ >= 0) _close(fd_);
  fd_ = -1;
  size_ = 0;
}

size_t PositionedFile::ReadAt(uint64_t offset, void* out, size_t size) {
  const HANDLE handle = fd_ >= 0 ? reinterpret_cast<HANDLE>(_get_osfhandle(fd_)) : INVALID_HANDLE_VALUE;
  size_t done = 0;
  while (handle != INVALID_HANDLE_VALUE && done < size) {
    // The offset travels with the read (as pread): no shared file position.
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset + done);
    at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 30));
    if (!ReadFile(handle, static_cast<uint8_t*>(out) + done, want, &got, &at) || got == 0) break;
    done += got;
  }
  return done;
}

bool ReadWholeFile(const std::string& path, std::string* text, int* error) {
  text->clear();
  const int fd = _wopen(WideFromUtf8(path).c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
  if (fd < 0) {
    *error = errno;
    return false;
  }
  char buffer[16384];
  for (;;) {
    const int n = _read(fd, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      *error = errno;
      _close(fd);
      return false;
    }
    text->append(buffer, static_cast<size_t>(n));
  }
  _close(fd);
  return true;
}

bool ReplaceFileAtomically(const std::string& target, const std::string& text, int* error) {
  const std::wstring wideTarget = WideFromUtf8(target);
  const std::wstring temp = wideTarget + L".tmp." + std::to_wstring(GetCurrentProcessId());
  const HANDLE file =
      CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = ErrnoFromWindows(GetLastError());
    return false;
  }
  bool ok = true;
  size_t done = 0;
  while (ok && done < text.size()) {
    const DWORD piece = static_cast<DWORD>(std::min<size_t>(text.size() - done, 1u << 20));
    DWORD written = 0;
    ok = WriteFile(file, text.data() + done, piece, &written, nullptr) && written > 0;
    done += written;
  }
  ok = ok && FlushFileBuffers(file);
  if (!ok) *error = ErrnoFromWindows(GetLastError());
  CloseHandle(file);
  // Replaces an existing file too, which rename() on Windows refuses.
  if (ok && !MoveFileExW(temp.c_str(), wideTarget.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    *error = ErrnoFromWindows(GetLastError());
    ok = false;
  }
  if (!ok) DeleteFileW(temp.c_str());
  return ok;
}

bool MakeFolders(const std::string& path, int* error) {
  std::wstring wide = WideFromUtf8(path);
  for (wchar_t& c : wide)
    if (c == L'/') c = L'\\';
  // Each level from the first separator after the root on.
  for (size_t at = wide.find(L'\\', wide.size() > 2 && wide[1] == L':' ? 3 : 1); ; at = wide.find(L'\\', at + 1)) {
    const std::wstring level = wide.substr(0, at);
    if (!level.empty() && !CreateDirectoryW(level.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS &&
        !IsFolderPath(level)) {
      *error = ErrnoFromWindows(GetLastError());
      return false;
    }
    if (at == std::wstring::npos) break;
  }
  return true;
}

std::string FileToRewrite(const std::string& path) { return path; }

std::string UserSettingsFolder() {
  const wchar_t* appData = _wgetenv(L"APPDATA");
  if (appData && *appData) return Utf8FromWide(appData);
  const wchar_t* profile = _wgetenv(L"USERPROFILE");
  return profile && *profile ? Utf8FromWide(profile) : std::string(".");
}

ExclusiveFileLock::ExclusiveFileLock(const std::string& lockPath) {
  fd_ = _wopen(WideFromUtf8(lockPath).c_str(), _O_RDWR | _O_CREAT | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
  if (fd_ < 0) {
    error_ = errno;
    return;
  }
  OVERLAPPED whole{};
  if (!LockFileEx(reinterpret_cast<HANDLE>(_get_osfhandle(fd_)), LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD,
                  &whole)) {
    error_ = ErrnoFromWindows(GetLastError());
    _close(fd_);
    fd_ = -1;
  }
}

ExclusiveFileLock::~ExclusiveFileLock() {
  if (fd_ < 0) return;
  OVERLAPPED whole{};
  UnlockFileEx(reinterpret_cast<HANDLE>(_get_osfhandle(fd_)), 0, MAXDWORD, MAXDWORD, &whole);
  _close(fd_);
}

uint32_t CurrentProcessId() { return GetCurrentProcessId(); }

std::string AbsolutePath(const std::string& path) {
  const std::wstring wide = WideFromUtf8(path);
  const DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (size == 0) return path;
  std::wstring absolute(size, L'\0');
  const DWORD length = GetFullPathNameW(wide.c_str(), size, absolute.data(), nullptr);
  if (length == 0 || length >= size) return path;
  absolute.resize(length);
  return Utf8FromWide(absolute);
}

bool GetFileSize64(const std::string& path, uint64_t* size, bool* exists) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  const bool found = GetFileAttributesExW(WideFromUtf8(path).c_str(), GetFileExInfoStandard, &data) != 0;
  if (exists) *exists = found;
  *size = found ? (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow : 0;
  return found;
}

bool IsStandardOutputFile(const std::string& path) {
  if (path == kStandardOutputPath) return true;
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  BY_HANDLE_FILE_INFORMATION outInfo{}, fileInfo{};
  if (out == INVALID_HANDLE_VALUE || !out || !GetFileInformationByHandle(out, &outInfo)) return false;
  // Opened for nothing but its identity, beside any writer.
  const HANDLE file = CreateFileW(WideFromUtf8(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool same = GetFileInformationByHandle(file, &fileInfo) &&
                    fileInfo.dwVolumeSerialNumber == outInfo.dwVolumeSerialNumber &&
                    fileInfo.nFileIndexHigh == outInfo.nFileIndexHigh && fileInfo.nFileIndexLow == outInfo.nFileIndexLow;
  CloseHandle(file);
  return same;
}

bool GetFolderSpace(const std::string& folder, FolderSpace* space, int* error) {
  const std::wstring wide = WideFromUtf8(folder);
  ULARGE_INTEGER available{}, total{}, free{};
  if (!GetDiskFreeSpaceExW(wide.c_str(), &available, &total, &free)) {
    *error = ErrnoFromWindows(GetLastError());
    return false;
  }
  space->freeBytes = available.QuadPart;
  // The volume's flags say whether it takes writes; its root comes from the
  // folder (a folder may be a mounted volume of its own).
  wchar_t root[MAX_PATH + 1] = {};
  DWORD flags = 0;
  space->readOnly = GetVolumePathNameW(wide.c_str(), root, MAX_PATH) &&
                    GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) &&
                    (flags & FILE_READ_ONLY_VOLUME) != 0;
  return true;
}

std::vector<std::string> ListStorageFolders(const std::string&) {
  std::vector<std::string> folders;
  wchar_t drives[512] = {};
  const DWORD length = GetLogicalDriveStringsW(511, drives);
  if (length == 0 || length > 511) return folders;
  // "C:\<nul>D:\<nul>...<nul>"
  for (const wchar_t* drive = drives; *drive && drive < drives + length; drive += wcslen(drive) + 1) {
    switch (GetDriveTypeW(drive)) {
      case DRIVE_FIXED:
      case DRIVE_REMOVABLE:
      case DRIVE_REMOTE:
      case DRIVE_RAMDISK: folders.push_back(Utf8FromWide(drive)); break;
      default: break;  // CD-ROMs, unknown and unmounted drives
    }
  }
  return folders;
}

SoleWriterFile::~SoleWriterFile() {
  bool removed = false;
  int error = 0;
  Close(false, &removed, &error);
}

bool SoleWriterFile::IsOpen() const { return handle_ != -1; }

SoleWriterFile::OpenResult SoleWriterFile::Open(const std::string& path, int* error) {
  if (IsOpen()) {
    *error = EBUSY;
    return OpenResult::Failed;
  }
  HANDLE file = INVALID_HANDLE_VALUE;
  bool existed = true;
  if (path == kStandardOutputPath) {
    // Standard output, wherever it goes (a pipe, a file, the console): a
    // handle of our own to it, closed without closing the process's.
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE ||
        !DuplicateHandle(GetCurrentProcess(), out, GetCurrentProcess(), &file, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
      *error = EBADF;
      return OpenResult::Failed;
    }
  } else {
    const std::wstring wide = WideFromUtf8(path);
    if (IsFolderPath(wide)) {
      *error = EISDIR;
      return OpenResult::Failed;
    }
    // Readers may share the file, a second writer may not: its open fails
    // with a sharing violation, and changes nothing.
    file = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      const DWORD failure = GetLastError();
      if (failure == ERROR_SHARING_VIOLATION || failure == ERROR_LOCK_VIOLATION) return OpenResult::InUse;
      *error = ErrnoFromWindows(failure);
      return OpenResult::Failed;
    }
    existed = GetLastError() == ERROR_ALREADY_EXISTS;
  }
  regular_ = GetFileType(file) == FILE_TYPE_DISK;
  created_ = !existed && regular_;
  if (GetFileType(file) == FILE_TYPE_PIPE) {
    // Without blocking, a reader that stops reading cannot hold the writer.
    DWORD mode = PIPE_NOWAIT;
    SetNamedPipeHandleState(file, &mode, nullptr, nullptr);
  }
  path_ = path;
  handle_ = reinterpret_cast<intptr_t>(file);
  return OpenResult::Opened;
}

long long SoleWriterFile::Write(const void* data, uint64_t size, int* error) {
  const DWORD piece = static_cast<DWORD>(std::min<uint64_t>(size, 1u << 30));
  DWORD written = 0;
  if (!WriteFile(reinterpret_cast<HANDLE>(handle_), data, piece, &written, nullptr)) {
    *error = ErrnoFromWindows(GetLastError());
    return -1;
  }
  // A pipe without waiting takes nothing when it is full.
  if (written == 0 && piece > 0 && regular_) {
    *error = ENOSPC;
    return -1;
  }
  return written;
}

bool SoleWriterFile::WaitWritable(int waitMs) {
  // A pipe says nothing about room for a write: look again after a while.
  Sleep(static_cast<DWORD>(waitMs > 10 ? 10 : waitMs < 0 ? 0 : waitMs));
  return true;
}

bool SoleWriterFile::Truncate(uint64_t size, int* error) {
  const HANDLE file = reinterpret_cast<HANDLE>(handle_);
  LARGE_INTEGER at{};
  at.QuadPart = static_cast<LONGLONG>(size);
  if (!SetFilePointerEx(file, at, nullptr, FILE_BEGIN) || !SetEndOfFile(file)) {
    *error = ErrnoFromWindows(GetLastError());
    return false;
  }
  return true;
}

bool SoleWriterFile::Close(bool remove, bool* removed, int* error) {
  *removed = false;
  if (handle_ == -1) return true;
  const HANDLE file = reinterpret_cast<HANDLE>(handle_);
  handle_ = -1;
  const bool closed = CloseHandle(file) != 0;
  const DWORD failure = closed ? 0 : GetLastError();
  // Windows deletes no file that is open: after the close.
  if (remove) *removed = DeleteFileW(WideFromUtf8(path_).c_str()) != 0;
  if (!closed) {
    *error = ErrnoFromWindows(failure);
    return false;
  }
  return true;
}
