// Device access as the tuner drivers offer it: present devices of a
// device-interface class, device paths, synchronous I/O-control requests.
// On this platform the drivers are played by vantrel-boxsim, which publishes
// each device as a Unix-domain socket in the device directory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// 0 means "no handle" in the device layer; a failed open returns
// kInvalidDeviceHandle.
using DeviceHandle = intptr_t;
constexpr DeviceHandle kInvalidDeviceHandle = -1;

// Error codes reported by the enumeration calls.
constexpr uint32_t kErrorNoMoreItems = 259;   // no interface with that index
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorAccessDenied = 5;    // device directory of another user
constexpr uint32_t kErrorInvalidParameter = 87;
// Why the last DeviceIoControl of the calling thread failed.
constexpr uint32_t kErrorGenFailure = 31;       // the device refused the request
constexpr uint32_t kErrorBusy = 170;            // the box streams for another program
constexpr uint32_t kErrorDeviceGone = 1167;     // the device went away (unplugged)
constexpr uint32_t kErrorCancelled = 1223;      // CancelDeviceIo
constexpr uint32_t kErrorTimeout = 1460;        // no answer within the request's time limit

// Directory where devices are published: $VANTREL_DEVICE_DIR, else
// $XDG_RUNTIME_DIR/vantrel, else /tmp/vantrel-<uid>. Resolved at each call.
// How devices are named in it: platform/device_wire.h.
std::string GetDeviceDirectory();

// Stand-in for the device-information set of present devices that expose an
// interface class, identified by its GUID text "{XXXXXXXX-...}".
struct DeviceInfoSet;
// Null on failure, with the system error in *error.
DeviceInfoSet* GetPresentInterfaceDevices(const std::string& interfaceGuid, uint32_t* error);
// true when interface number `index` exists; else false with *error set
// (kErrorNoMoreItems when there is no such interface).
bool EnumDeviceInterface(DeviceInfoSet* set, uint32_t index, uint32_t* error);
// Device path of interface number `index`; false when it cannot be read.
bool GetDeviceInterfacePath(DeviceInfoSet* set, uint32_t index, std::string* path);
void DestroyDeviceInfoSet(DeviceInfoSet* set);

// Opens a device path for reading and writing, not shared: a fixed path such
// as "\\.\QVUSB-T-000" or one read from an interface. kInvalidDeviceHandle on
// failure, also when the device's socket or its server belongs to another
// user. Handles are never 0 and never reused.
DeviceHandle OpenDevice(const std::string& path);
void CloseDevice(DeviceHandle handle);

// Synchronous I/O-control request. Returns true on success; *returned gets
// the count of output bytes written (may be null; 0 on failure). Fails when
// the handle is unknown, a size exceeds kMaxDeviceIoBytes (64 KiB), the device
// has gone away (then every later request fails too), the request was
// cancelled, or no answer came within timeoutMs: then the device counts as
// not answering and every later request on the handle fails at once too.
// Requests on one handle are served one at a time; requests on different
// handles run concurrently. GetLastDeviceError tells why a request failed.
constexpr uint32_t kDefaultDeviceIoTimeoutMs = 3000;
bool SendDeviceIoControl(DeviceHandle handle, uint32_t code, const void* in, uint32_t inSize,
                     void* out, uint32_t outSize, uint32_t* returned,
                     uint32_t timeoutMs = kDefaultDeviceIoTimeoutMs);

// Why the calling thread's last DeviceIoControl failed (0 after a success):
// kErrorGenFailure, kErrorBusy (with the other program's process id in
// *ownerPid), kErrorDeviceGone, kErrorCancelled, kErrorTimeout, or
// kErrorInvalidParameter for a call that was never sent.
uint32_t GetLastDeviceError(uint32_t* ownerPid = nullptr);

// Makes the request currently blocked on `handle` (if any) fail at once, from
// any thread. Later requests on the handle work as before. CloseDevice also
// cancels the request in progress.
void CancelDeviceIo(DeviceHandle handle);

// The stream-address reply of a start request is a 4-byte ring token; this
// maps the ring it names (shared memory made by the driver) and returns its
// base, or null. The mapping is read-only and stays valid until the handle is
// closed; mapping the same token again returns the same base. ringSize may be
// null.
uint8_t* MapStreamRing(DeviceHandle handle, uint32_t ringToken, size_t* ringSize);

// What tells the device now at `devicePath` (a path a handle was opened
// with) from one that takes its place later: a box that went away and came
// back differs. Empty when nothing is there. Sends no request.
std::string GetDeviceIdentity(const std::string& devicePath);
// Whether something serves `devicePath` now: here a device socket that takes
// a connection (a box killed without clean-up leaves its socket file behind,
// with nothing listening). Sends no request.
bool DeviceAnswers(const std::string& devicePath);
// Makes `directory` the device directory of this process
// (VANTREL_DEVICE_DIR); call it before other threads start. Windows has one
// device namespace, and ignores it.
void SetDeviceDirectory(const std::string& directory);
