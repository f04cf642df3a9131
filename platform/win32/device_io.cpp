// Device I/O through the tuner drivers themselves: device interfaces found
// with SetupDi, handles opened with CreateFile for overlapped I/O, and each
// request a DeviceIoControl on an event of its own, waited with a time limit
// and cancelled with CancelIoEx. The driver writes into buffers the request
// block owns, never into the caller's: a reply that comes after the caller
// gave up lands in a block the connection still holds, and is dropped.
#include "platform/device_io.h"

#include <windows.h>

#include <setupapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/device_wire.h"
#include "platform/win32/wide_text.h"

struct DeviceInfoSet {
  HDEVINFO info = INVALID_HANDLE_VALUE;
  GUID interfaceClass{};
};

namespace {

thread_local uint32_t lastDeviceError = 0;

bool FailWith(uint32_t error) {
  lastDeviceError = error;
  return false;
}

// How long a cancelled request may take to come back before its block is
// left to the connection (the driver must still complete it).
constexpr DWORD kCancelGraceMs = 1000;

bool ParseGuid(const std::string& text, GUID* guid) {
  unsigned long data1 = 0;
  unsigned int data2 = 0, data3 = 0, bytes[8] = {};
  char close = 0;
  if (text.size() != 38 ||
      std::sscanf(text.c_str(), "{%8lx-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x%c", &data1, &data2, &data3, &bytes[0],
                  &bytes[1], &bytes[2], &bytes[3], &bytes[4], &bytes[5], &bytes[6], &bytes[7], &close) != 12 ||
      close != '}')
    return false;
  guid->Data1 = data1;
  guid->Data2 = static_cast<unsigned short>(data2);
  guid->Data3 = static_cast<unsigned short>(data3);
  for (int i = 0; i < 8; ++i) guid->Data4[i] = static_cast<unsigned char>(bytes[i]);
  return true;
}

constexpr DWORD kErrorNoSuchDevice = 433;  // ERROR_NO_SUCH_DEVICE, absent from some headers

// Errors that mean the box is no longer there.
bool MeansUnplugged(DWORD error) {
  switch (error) {
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
    case kErrorNoSuchDevice:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_BAD_COMMAND:
    case ERROR_INVALID_HANDLE:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_ACCESS_DENIED:  // STATUS_DELETE_PENDING: the box is being removed
    case ERROR_BROKEN_PIPE:  // a transport whose other end closed
    case ERROR_PIPE_NOT_CONNECTED:
      return true;
    default:
      return false;
  }
}

// One request in flight: its event, its OVERLAPPED and the buffers the
// driver reads and writes. Owned by the connection until the driver is done.
struct RequestBlock {
  OVERLAPPED overlapped{};
  std::vector<uint8_t> in;
  std::vector<uint8_t> out;
  RequestBlock() { overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
  ~RequestBlock() {
    if (overlapped.hEvent) CloseHandle(overlapped.hEvent);
  }
  RequestBlock(const RequestBlock&) = delete;
  RequestBlock& operator=(const RequestBlock&) = delete;
};

class DeviceConnection {
public:
  explicit DeviceConnection(HANDLE file) : file_(file) {}
  ~DeviceConnection() {
    CancelIoEx(file_, nullptr);
    // Blocks the driver still owes an answer are waited for briefly; the
    // handle's close ends what is left.
    for (auto& block : abandoned_) WaitForSingleObject(block->overlapped.hEvent, kCancelGraceMs);
    CloseHandle(file_);
  }
  DeviceConnection(const DeviceConnection&) = delete;
  DeviceConnection& operator=(const DeviceConnection&) = delete;

  bool Request(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize, uint32_t* returned,
               uint32_t timeoutMs);
  void Cancel();

private:
  HANDLE file_;
  std::mutex requestMutex_;  // one request at a time
  std::mutex currentMutex_;
  RequestBlock* current_ = nullptr;
  bool cancelled_ = false;
  std::atomic<bool> gone_{false};
  std::atomic<bool> silent_{false};
  std::vector<std::unique_ptr<RequestBlock>> abandoned_;
};

bool DeviceConnection::Request(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                               uint32_t* returned, uint32_t timeoutMs) {
  std::lock_guard<std::mutex> serial(requestMutex_);
  if (gone_.load()) return FailWith(kErrorDeviceGone);
  if (silent_.load()) return FailWith(kErrorTimeout);
  auto block = std::make_unique<RequestBlock>();
  if (!block->overlapped.hEvent) return FailWith(kErrorGenFailure);
  block->in.assign(static_cast<const uint8_t*>(in), static_cast<const uint8_t*>(in) + inSize);
  block->out.assign(outSize, 0);
  {
    std::lock_guard<std::mutex> lock(currentMutex_);
    current_ = block.get();
    cancelled_ = false;
  }
  DWORD got = 0;
  BOOL done = DeviceIoControl(file_, code, inSize ? block->in.data() : nullptr, inSize,
                              outSize ? block->out.data() : nullptr, outSize, nullptr, &block->overlapped);
  DWORD error = done ? ERROR_SUCCESS : GetLastError();
  bool timedOut = false;
  if (!done && error == ERROR_IO_PENDING) {
    const DWORD waited = WaitForSingleObject(block->overlapped.hEvent, timeoutMs);  // 0xFFFFFFFF: INFINITE
    if (waited != WAIT_OBJECT_0) {
      timedOut = true;
      CancelIoEx(file_, &block->overlapped);
    }
    // After a cancel the driver still completes the request: wait for that,
    // but not for ever.
    if (WaitForSingleObject(block->overlapped.hEvent, timedOut ? kCancelGraceMs : 0) == WAIT_OBJECT_0) {
      done = GetOverlappedResult(file_, &block->overlapped, &got, FALSE);
      error = done ? ERROR_SUCCESS : GetLastError();
    } else {
      done = FALSE;
      error = ERROR_OPERATION_ABORTED;
    }
  } else if (done) {
    GetOverlappedResult(file_, &block->overlapped, &got, FALSE);
  }
  bool cancelled;
  {
    std::lock_guard<std::mutex> lock(currentMutex_);
    current_ = nullptr;
    cancelled = cancelled_;
  }
  if (done && !timedOut) {
    const uint32_t count = std::min<uint32_t>(got, outSize);
    if (count) std::memcpy(out, block->out.data(), count);
    if (returned) *returned = count;
    lastDeviceError = 0;
    return true;
  }
  // Still with the driver: the block stays with the connection.
  if (WaitForSingleObject(block->overlapped.hEvent, 0) != WAIT_OBJECT_0) abandoned_.push_back(std::move(block));
  if (timedOut && !cancelled) {
    silent_.store(true);  // a box that does not answer stays so
    return FailWith(kErrorTimeout);
  }
  if (cancelled || error == ERROR_OPERATION_ABORTED) return FailWith(kErrorCancelled);
  if (MeansUnplugged(error)) {
    gone_.store(true);
    return FailWith(kErrorDeviceGone);
  }
  if (error == ERROR_BUSY) return FailWith(kErrorBusy);
  return FailWith(kErrorGenFailure);
}

void DeviceConnection::Cancel() {
  std::lock_guard<std::mutex> lock(currentMutex_);
  if (!current_) return;
  cancelled_ = true;
  CancelIoEx(file_, &current_->overlapped);
}

std::mutex connectionsMutex;
std::map<DeviceHandle, std::shared_ptr<DeviceConnection>> connections;
DeviceHandle nextHandle = 1;

std::shared_ptr<DeviceConnection> Find(DeviceHandle handle) {
  std::lock_guard<std::mutex> lock(connectionsMutex);
  auto it = connections.find(handle);
  return it == connections.end() ? nullptr : it->second;
}

}  // namespace

std::string GetDeviceDirectory() { return "\\\\.\\"; }

DeviceInfoSet* GetPresentInterfaceDevices(const std::string& interfaceGuid, uint32_t* error) {
  auto set = std::make_unique<DeviceInfoSet>();
  if (!ParseGuid(interfaceGuid, &set->interfaceClass)) {
    *error = kErrorInvalidParameter;
    return nullptr;
  }
  set->info = SetupDiGetClassDevsW(&set->interfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set->info == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
    return nullptr;
  }
  return set.release();
}

bool EnumDeviceInterface(DeviceInfoSet* set, uint32_t index, uint32_t* error) {
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  if (SetupDiEnumDeviceInterfaces(set->info, nullptr, &set->interfaceClass, index, &data)) return true;
  *error = GetLastError();
  return false;
}

bool GetDeviceInterfacePath(DeviceInfoSet* set, uint32_t index, std::string* path) {
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  if (!SetupDiEnumDeviceInterfaces(set->info, nullptr, &set->interfaceClass, index, &data)) return false;
  DWORD size = 0;
  SetupDiGetDeviceInterfaceDetailW(set->info, &data, nullptr, 0, &size, nullptr);
  if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) || size > 64 * 1024) return false;
  std::vector<uint8_t> record(size);
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(record.data());
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
  if (!SetupDiGetDeviceInterfaceDetailW(set->info, &data, detail, size, nullptr, nullptr)) return false;
  *path = Utf8FromWide(detail->DevicePath);
  return true;
}

void DestroyDeviceInfoSet(DeviceInfoSet* set) {
  if (!set) return;
  if (set->info != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set->info);
  delete set;
}

DeviceHandle OpenDevice(const std::string& path) {
  const HANDLE file = CreateFileW(WideFromUtf8(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED, nullptr);
  if (file == INVALID_HANDLE_VALUE) return kInvalidDeviceHandle;
  // A device published as a named pipe (a stand-in for a driver) carries one
  // reply per request, as messages.
  if (GetFileType(file) == FILE_TYPE_PIPE) {
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(file, &mode, nullptr, nullptr);
  }
  std::lock_guard<std::mutex> lock(connectionsMutex);
  const DeviceHandle handle = nextHandle++;
  connections[handle] = std::make_shared<DeviceConnection>(file);
  return handle;
}

void CloseDevice(DeviceHandle handle) {
  std::shared_ptr<DeviceConnection> connection;
  {
    std::lock_guard<std::mutex> lock(connectionsMutex);
    auto it = connections.find(handle);
    if (it == connections.end()) return;
    connection = std::move(it->second);
    connections.erase(it);
  }
  connection->Cancel();
}

bool SendDeviceIoControl(DeviceHandle handle, uint32_t code, const void* in, uint32_t inSize, void* out,
                         uint32_t outSize, uint32_t* returned, uint32_t timeoutMs) {
  if (returned) *returned = 0;
  if (inSize > kMaxDeviceIoBytes || outSize > kMaxDeviceIoBytes || (inSize && !in) || (outSize && !out))
    return FailWith(kErrorInvalidParameter);
  const std::shared_ptr<DeviceConnection> connection = Find(handle);
  if (!connection) return FailWith(kErrorInvalidParameter);
  return connection->Request(code, in, inSize, out, outSize, returned, timeoutMs);
}

uint32_t GetLastDeviceError(uint32_t* ownerPid) {
  if (ownerPid) *ownerPid = 0;  // the drivers do not name the other program
  return lastDeviceError;
}

void CancelDeviceIo(DeviceHandle handle) {
  if (const std::shared_ptr<DeviceConnection> connection = Find(handle)) connection->Cancel();
}

uint8_t* MapStreamRing(DeviceHandle handle, uint32_t ringToken, size_t* ringSize) {
  if (ringSize) *ringSize = 0;
  if (!Find(handle) || ringToken == 0) return nullptr;
#if defined(_WIN64)
  // The driver hands back a 4-byte address in the caller's address space:
  // only a 32-bit process can use it.
  return nullptr;
#else
  uint8_t* const base = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(ringToken));
  // The driver mapped the ring into this process: the committed region the
  // address lies in says how much of it can be read.
  MEMORY_BASIC_INFORMATION region{};
  if (VirtualQuery(base, &region, sizeof region) != sizeof region || region.State != MEM_COMMIT) return nullptr;
  if (ringSize) *ringSize = region.RegionSize - static_cast<size_t>(base - static_cast<uint8_t*>(region.BaseAddress));
  return base;
#endif
}
