// Device I/O over the Unix-domain sockets that vantrel-boxsim publishes (see
// platform/device_wire.h for names and messages). One connection per handle.
// A request waits in poll() on its socket and on the handle's cancel eventfd,
// so another thread can release it at once; a peer that dies shows as hang-up
// and makes the handle fail for good.
#include "platform/device_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/device_wire.h"

struct DeviceInfoSet {
  std::vector<std::string> socketNames;  // interface 0 first
};

namespace {

thread_local uint32_t lastDeviceError = 0;
thread_local uint32_t lastBusyOwner = 0;

bool FailWith(uint32_t error) {
  lastDeviceError = error;
  return false;
}

// A ring larger than this is refused: no box has one, and mapping it could
// exhaust the address space of a 32-bit reader.
constexpr size_t kMaxRingBytes = 256u * 1024 * 1024;
// Distinct rings one handle may hold; a box has one.
constexpr size_t kMaxRingsPerHandle = 8;

struct RingMapping {
  uint8_t* base = nullptr;
  size_t size = 0;
};

class DeviceConnection {
public:
  DeviceConnection(int socketFd, int cancelFd) : socketFd_(socketFd), cancelFd_(cancelFd) {}
  ~DeviceConnection() {
    for (auto& [token, fd] : ringFds_) close(fd);
    for (auto& [token, ring] : rings_) munmap(ring.base, ring.size);
    close(cancelFd_);
    close(socketFd_);
  }
  DeviceConnection(const DeviceConnection&) = delete;
  DeviceConnection& operator=(const DeviceConnection&) = delete;

  bool Request(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
               uint32_t* returned, uint32_t timeoutMs);
  void Cancel();
  uint8_t* MapRing(uint32_t token, size_t* ringSize);

private:
  enum class WaitOutcome { Ready, Cancelled, TimedOut, Failed };
  // Waits until `deadline` (steady milliseconds).
  WaitOutcome WaitFor(short events, uint32_t sequence, uint64_t deadline);
  bool Waited(WaitOutcome outcome);
  bool IsCancelled(uint32_t sequence);
  bool Send(uint32_t sequence, uint32_t code, const void* in, uint32_t inSize, uint32_t outSize,
            uint64_t deadline);
  void KeepRingFd(uint32_t token, int fd);

  const int socketFd_;
  const int cancelFd_;

  std::mutex requestMutex_;  // one request at a time on this connection
  uint32_t nextSequence_ = 0;
  bool broken_ = false;      // peer gone or out of step: every request fails
  uint32_t brokenError_ = kErrorDeviceGone;  // and why
  std::vector<uint8_t> replyBuffer_;

  std::mutex cancelMutex_;
  uint32_t busySequence_ = 0;       // request in progress, 0 when none
  uint32_t cancelledSequence_ = 0;  // request that Cancel() released

  std::mutex ringMutex_;
  std::map<uint32_t, int> ringFds_;  // received, not yet mapped
  std::map<uint32_t, RingMapping> rings_;
};

bool DeviceConnection::IsCancelled(uint32_t sequence) {
  std::lock_guard<std::mutex> lock(cancelMutex_);
  return cancelledSequence_ == sequence;
}

uint64_t SteadyMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

DeviceConnection::WaitOutcome DeviceConnection::WaitFor(short events, uint32_t sequence,
                                                        uint64_t deadline) {
  for (;;) {
    pollfd fds[2] = {{socketFd_, events, 0}, {cancelFd_, POLLIN, 0}};
    const uint64_t now = SteadyMs();
    if (now >= deadline) return WaitOutcome::TimedOut;
    int n = poll(fds, 2, static_cast<int>(std::min<uint64_t>(deadline - now, 60000)));
    if (n == 0) continue;
    if (n < 0) {
      if (errno == EINTR) continue;
      return WaitOutcome::Failed;
    }
    if (fds[1].revents & POLLIN) {
      uint64_t count;
      ssize_t ignored = read(cancelFd_, &count, sizeof count);
      (void)ignored;
      if (IsCancelled(sequence)) return WaitOutcome::Cancelled;
    }
    // Hang-up and errors are reported by the read or write that follows.
    if (fds[0].revents) return WaitOutcome::Ready;
  }
}

// A wait that did not end in Ready fails the request. A box that did not
// answer in time counts as not answering from then on.
bool DeviceConnection::Waited(WaitOutcome outcome) {
  switch (outcome) {
    case WaitOutcome::Ready: return true;
    case WaitOutcome::Cancelled: return FailWith(kErrorCancelled);
    case WaitOutcome::TimedOut:
      broken_ = true;
      brokenError_ = kErrorTimeout;
      return FailWith(kErrorTimeout);
    case WaitOutcome::Failed: break;
  }
  return FailWith(kErrorGenFailure);
}

bool DeviceConnection::Send(uint32_t sequence, uint32_t code, const void* in, uint32_t inSize,
                            uint32_t outSize, uint64_t deadline) {
  DeviceRequestHeader header{kDeviceRequestMagic, sequence, code, inSize, outSize};
  iovec parts[2] = {{&header, sizeof header}, {const_cast<void*>(in), inSize}};
  msghdr message{};
  message.msg_iov = parts;
  message.msg_iovlen = inSize ? 2 : 1;
  for (;;) {
    ssize_t sent = sendmsg(socketFd_, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent == static_cast<ssize_t>(sizeof header + inSize)) return true;
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!Waited(WaitFor(POLLOUT, sequence, deadline))) return false;
      continue;
    }
    broken_ = true;
    return FailWith(kErrorDeviceGone);
  }
}

bool DeviceConnection::Request(uint32_t code, const void* in, uint32_t inSize, void* out,
                               uint32_t outSize, uint32_t* returned, uint32_t timeoutMs) {
  std::lock_guard<std::mutex> requestLock(requestMutex_);
  if (broken_) return FailWith(brokenError_);
  const uint64_t deadline = SteadyMs() + timeoutMs;
  uint32_t sequence = ++nextSequence_;
  if (sequence == 0) sequence = ++nextSequence_;
  {
    std::lock_guard<std::mutex> lock(cancelMutex_);
    busySequence_ = sequence;
  }
  struct BusyReset {
    DeviceConnection* self;
    ~BusyReset() {
      std::lock_guard<std::mutex> lock(self->cancelMutex_);
      self->busySequence_ = 0;
    }
  } busyReset{this};

  if (!Send(sequence, code, in, inSize, outSize, deadline)) return false;

  if (replyBuffer_.empty()) replyBuffer_.resize(sizeof(DeviceReplyHeader) + kMaxDeviceIoBytes);
  for (;;) {
    if (!Waited(WaitFor(POLLIN, sequence, deadline))) return false;

    iovec part{replyBuffer_.data(), replyBuffer_.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t got = recvmsg(socketFd_, &message, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
    if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (got <= 0) {  // 0: the device went away
      broken_ = true;
      return FailWith(kErrorDeviceGone);
    }
    int passedFd = -1;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS &&
          c->cmsg_len >= CMSG_LEN(sizeof(int))) {
        std::memcpy(&passedFd, CMSG_DATA(c), sizeof(int));
      }
    }
    DeviceReplyHeader header;
    bool wellFormed = static_cast<size_t>(got) >= sizeof header &&
                      !(message.msg_flags & (MSG_TRUNC | MSG_CTRUNC));
    if (wellFormed) {
      std::memcpy(&header, replyBuffer_.data(), sizeof header);
      wellFormed = header.magic == kDeviceReplyMagic &&
                   header.returned == static_cast<size_t>(got) - sizeof header;
    }
    if (!wellFormed) {
      if (passedFd >= 0) close(passedFd);
      broken_ = true;
      return FailWith(kErrorDeviceGone);
    }
    if (header.sequence != sequence) {  // late reply to a cancelled request
      if (passedFd >= 0) close(passedFd);
      continue;
    }
    if (header.success != 1) {
      if (passedFd >= 0) close(passedFd);
      if (header.success == kDeviceReplyInUse) {
        lastBusyOwner = 0;
        if (header.returned == sizeof lastBusyOwner)
          std::memcpy(&lastBusyOwner, replyBuffer_.data() + sizeof header, sizeof lastBusyOwner);
        return FailWith(kErrorBusy);
      }
      return FailWith(kErrorGenFailure);
    }
    uint32_t count = std::min(header.returned, outSize);
    if (count) std::memcpy(out, replyBuffer_.data() + sizeof header, count);
    if (passedFd >= 0) {
      uint32_t token;
      if (header.returned == sizeof token) {
        std::memcpy(&token, replyBuffer_.data() + sizeof header, sizeof token);
        KeepRingFd(token, passedFd);
      } else {
        close(passedFd);
      }
    }
    if (returned) *returned = count;
    lastDeviceError = 0;
    return true;
  }
}

void DeviceConnection::KeepRingFd(uint32_t token, int fd) {
  std::lock_guard<std::mutex> lock(ringMutex_);
  auto known = ringFds_.find(token);
  if (rings_.count(token) || (known == ringFds_.end() && ringFds_.size() >= kMaxRingsPerHandle)) {
    close(fd);  // already mapped, or a driver handing out rings without end
    return;
  }
  if (known != ringFds_.end()) {
    close(known->second);
    known->second = fd;
  } else {
    ringFds_[token] = fd;
  }
}

void DeviceConnection::Cancel() {
  std::lock_guard<std::mutex> lock(cancelMutex_);
  if (busySequence_ == 0) return;
  cancelledSequence_ = busySequence_;
  uint64_t one = 1;
  ssize_t ignored = write(cancelFd_, &one, sizeof one);
  (void)ignored;
}

uint8_t* DeviceConnection::MapRing(uint32_t token, size_t* ringSize) {
  std::lock_guard<std::mutex> lock(ringMutex_);
  auto mapped = rings_.find(token);
  if (mapped != rings_.end()) {
    if (ringSize) *ringSize = mapped->second.size;
    return mapped->second.base;
  }
  auto pending = ringFds_.find(token);
  if (pending == ringFds_.end() || rings_.size() >= kMaxRingsPerHandle) return nullptr;
  int fd = pending->second;
  ringFds_.erase(pending);
  // The memory must not shrink under us: a read past its end would be SIGBUS.
  int seals = fcntl(fd, F_GET_SEALS);
  struct stat info;
  void* base = MAP_FAILED;
  if (seals >= 0 && (seals & F_SEAL_SHRINK) && fstat(fd, &info) == 0 && info.st_size > 0 &&
      static_cast<uint64_t>(info.st_size) <= kMaxRingBytes) {
    base = mmap(nullptr, static_cast<size_t>(info.st_size), PROT_READ, MAP_SHARED, fd, 0);
  }
  close(fd);
  if (base == MAP_FAILED) return nullptr;
  RingMapping ring{static_cast<uint8_t*>(base), static_cast<size_t>(info.st_size)};
  rings_[token] = ring;
  if (ringSize) *ringSize = ring.size;
  return ring.base;
}

std::mutex& HandleTableMutex() {
  static std::mutex mutex;
  return mutex;
}
std::unordered_map<DeviceHandle, std::shared_ptr<DeviceConnection>>& HandleTable() {
  static std::unordered_map<DeviceHandle, std::shared_ptr<DeviceConnection>> table;
  return table;
}
std::atomic<DeviceHandle> nextHandle{0x100};

std::shared_ptr<DeviceConnection> FindConnection(DeviceHandle handle) {
  std::lock_guard<std::mutex> lock(HandleTableMutex());
  auto found = HandleTable().find(handle);
  return found == HandleTable().end() ? nullptr : found->second;
}

// Connects to the socket at `path` and checks that the server runs as us.
int ConnectOwnSocket(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return -1;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int rc;
  do {
    rc = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  } while (rc != 0 && errno == EINTR);
  ucred peer{};
  socklen_t peerSize = sizeof peer;
  if (rc != 0 || getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &peerSize) != 0 ||
      peer.uid != geteuid()) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

std::string GetDeviceDirectory() {
  const char* explicitDir = std::getenv("VANTREL_DEVICE_DIR");
  if (explicitDir && *explicitDir) return explicitDir;
  const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
  if (runtimeDir && *runtimeDir) return std::string(runtimeDir) + "/vantrel";
  return "/tmp/vantrel-" + std::to_string(geteuid());
}

DeviceInfoSet* GetPresentInterfaceDevices(const std::string& interfaceGuid, uint32_t* error) {
  if (InterfaceSocketName(interfaceGuid, 0).empty()) {
    if (error) *error = kErrorInvalidParameter;
    return nullptr;
  }
  auto* set = new DeviceInfoSet;
  std::string directory = GetDeviceDirectory();
  std::string problem;
  struct stat info;
  if (lstat(directory.c_str(), &info) != 0 && errno == ENOENT) return set;  // nothing present
  if (!CheckDeviceDirectory(directory, &problem)) {
    delete set;
    if (error) *error = kErrorAccessDenied;
    return nullptr;
  }
  DIR* dir = opendir(directory.c_str());
  if (!dir) {
    delete set;
    if (error) *error = kErrorAccessDenied;
    return nullptr;
  }
  std::vector<std::pair<long, std::string>> found;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    long index = ParseInterfaceSocketIndex(name, interfaceGuid);
    if (index >= 0 && IsOwnSocket(directory + "/" + name)) found.emplace_back(index, name);
  }
  closedir(dir);
  std::sort(found.begin(), found.end());
  for (auto& [index, name] : found) set->socketNames.push_back(name);
  return set;
}

bool EnumDeviceInterface(DeviceInfoSet* set, uint32_t index, uint32_t* error) {
  if (!set) {
    if (error) *error = kErrorInvalidParameter;
    return false;
  }
  if (index >= set->socketNames.size()) {
    if (error) *error = kErrorNoMoreItems;
    return false;
  }
  return true;
}

bool GetDeviceInterfacePath(DeviceInfoSet* set, uint32_t index, std::string* path) {
  if (!set || index >= set->socketNames.size() || !path) return false;
  *path = InterfaceDevicePath(set->socketNames[index]);
  return true;
}

void DestroyDeviceInfoSet(DeviceInfoSet* set) { delete set; }

DeviceHandle OpenDevice(const std::string& path) {
  std::string name = DeviceSocketNameForPath(path);
  if (name.empty()) return kInvalidDeviceHandle;
  std::string directory = GetDeviceDirectory();
  std::string problem;
  if (!CheckDeviceDirectory(directory, &problem)) return kInvalidDeviceHandle;
  std::string socketPath = directory + "/" + name;
  if (!IsOwnSocket(socketPath)) return kInvalidDeviceHandle;
  int socketFd = ConnectOwnSocket(socketPath);
  if (socketFd < 0) return kInvalidDeviceHandle;
  int cancelFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (cancelFd < 0) {
    close(socketFd);
    return kInvalidDeviceHandle;
  }
  auto connection = std::make_shared<DeviceConnection>(socketFd, cancelFd);
  DeviceHandle handle = nextHandle.fetch_add(4);
  std::lock_guard<std::mutex> lock(HandleTableMutex());
  HandleTable()[handle] = std::move(connection);
  return handle;
}

void CloseDevice(DeviceHandle handle) {
  std::shared_ptr<DeviceConnection> connection;
  {
    std::lock_guard<std::mutex> lock(HandleTableMutex());
    auto found = HandleTable().find(handle);
    if (found == HandleTable().end()) return;
    connection = std::move(found->second);
    HandleTable().erase(found);
  }
  // A request still running holds its own reference; the socket and the ring
  // mappings go when it has returned.
  connection->Cancel();
}

bool SendDeviceIoControl(DeviceHandle handle, uint32_t code, const void* in, uint32_t inSize,
                     void* out, uint32_t outSize, uint32_t* returned, uint32_t timeoutMs) {
  if (returned) *returned = 0;
  if (inSize > kMaxDeviceIoBytes || outSize > kMaxDeviceIoBytes) return FailWith(kErrorInvalidParameter);
  if ((inSize && !in) || (outSize && !out)) return FailWith(kErrorInvalidParameter);
  auto connection = FindConnection(handle);
  if (!connection) return FailWith(kErrorInvalidParameter);
  return connection->Request(code, in, inSize, out, outSize, returned, timeoutMs);
}

uint32_t GetLastDeviceError(uint32_t* ownerPid) {
  if (ownerPid) *ownerPid = lastDeviceError == kErrorBusy ? lastBusyOwner : 0;
  return lastDeviceError;
}

void CancelDeviceIo(DeviceHandle handle) {
  if (auto connection = FindConnection(handle)) connection->Cancel();
}

uint8_t* MapStreamRing(DeviceHandle handle, uint32_t ringToken, size_t* ringSize) {
  auto connection = FindConnection(handle);
  if (!connection) return nullptr;
  return connection->MapRing(ringToken, ringSize);
}
