// What the device I/O transport and vantrel-boxsim agree on: how devices are
// named in the device directory, and the messages on a device socket.
//
// Naming. A fixed device path "\\.\NAME" is the socket file NAME (e.g.
// "QVUSB-T-000"). Interface number N of an interface class is the socket file
// "<GUID>#N", the GUID in upper case with its braces, N decimal; its device
// path is "\\?\<GUID>#N". Only sockets owned by the calling user count.
//
// Messages. Each device socket is a SOCK_SEQPACKET connection, so every
// request and every reply is one message. A request is a RequestHeader and
// inSize input bytes; a reply is a ReplyHeader and `returned` output bytes,
// with at most one file descriptor (the stream ring, as shared memory) passed
// alongside by SCM_RIGHTS. Replies echo the request's sequence number so that
// the reply to a cancelled request can be recognised and dropped.
//
// One program streams from a box at a time: a request that would start,
// stop, filter or retune the stream of a box that streams for another
// program is refused with the status kDeviceReplyInUse and the other
// program's process id as its 4 output bytes. The transport's own request
// kDeviceStreamOwnerQuery (no input, 4 output bytes) answers on any handle of
// a box with the process id of the other program it streams for, or 0.
#pragma once

#include <cstdint>
#include <string>

constexpr uint32_t kDeviceRequestMagic = 0x51494456;  // "VDIQ"
constexpr uint32_t kDeviceReplyMagic = 0x52494456;    // "VDIR"
// Largest input or output of one request; the protocol's largest is 332.
constexpr uint32_t kMaxDeviceIoBytes = 65536;

struct DeviceRequestHeader {
  uint32_t magic;
  uint32_t sequence;
  uint32_t code;
  uint32_t inSize;
  uint32_t outSize;
};

struct DeviceReplyHeader {
  uint32_t magic;
  uint32_t sequence;
  uint32_t success;   // 1 or 0, or kDeviceReplyInUse
  uint32_t returned;  // output bytes that follow
};

constexpr uint32_t kDeviceReplyInUse = 2;
// Not a request of any box: answered by the transport (never journalled).
constexpr uint32_t kDeviceStreamOwnerQuery = 0xFFFFFFF0;

// Socket file name for a device path ("\\.\NAME" or "\\?\NAME"); empty when
// the path has neither prefix or the name could leave the directory.
std::string DeviceSocketNameForPath(const std::string& devicePath);

// "<GUID>#<index>" for an interface class GUID "{XXXXXXXX-...}" (any case);
// empty when the GUID is malformed.
std::string InterfaceSocketName(const std::string& interfaceGuid, unsigned index);

// Index of an interface socket name of that class, or -1 when the name
// belongs to another class or is no interface name.
long ParseInterfaceSocketIndex(const std::string& socketName, const std::string& interfaceGuid);

// "\\?\" + socket name.
std::string InterfaceDevicePath(const std::string& socketName);

// The directory exists, is a real directory (no symlink) owned by the calling
// user. On failure *error gets a reason.
bool CheckDeviceDirectory(const std::string& directory, std::string* error);

// Creates the directory (and missing parents) when absent, the last level with
// mode 0700, then checks it as above.
bool PrepareDeviceDirectory(const std::string& directory, std::string* error);

// The path is a socket owned by the calling user.
bool IsOwnSocket(const std::string& path);
