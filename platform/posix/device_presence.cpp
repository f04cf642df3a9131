// Whether a device is still there, told from its socket in the device
// directory without a request.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/device_io.h"
#include "platform/device_wire.h"

namespace {

std::string SocketPathOf(const std::string& devicePath) {
  return GetDeviceDirectory() + "/" + DeviceSocketNameForPath(devicePath);
}

}  // namespace

std::string GetDeviceIdentity(const std::string& devicePath) {
  struct stat info {};
  if (stat(SocketPathOf(devicePath).c_str(), &info) != 0) return {};
  // A new socket may get the inode number of the one it replaced: its change
  // time tells them apart.
  return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino) + ":" +
         std::to_string(info.st_ctim.tv_sec) + "." + std::to_string(info.st_ctim.tv_nsec);
}

bool DeviceAnswers(const std::string& devicePath) {
  const std::string path = SocketPathOf(devicePath);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  const bool answered = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return answered;
}

void SetDeviceDirectory(const std::string& directory) { setenv("VANTREL_DEVICE_DIR", directory.c_str(), 1); }
