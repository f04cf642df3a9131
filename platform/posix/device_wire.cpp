#include "platform/device_wire.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

bool CheckDeviceDirectory(const std::string& directory, std::string* error) {
  struct stat info;
  if (lstat(directory.c_str(), &info) != 0) {
    *error = directory + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISDIR(info.st_mode)) {
    *error = directory + " is not a directory";
    return false;
  }
  if (info.st_uid != geteuid()) {
    *error = directory + " belongs to another user";
    return false;
  }
  return true;
}

bool PrepareDeviceDirectory(const std::string& directory, std::string* error) {
  if (directory.empty()) {
    *error = "empty device directory";
    return false;
  }
  // Parents first (ordinary permissions), then the directory itself, private.
  for (size_t slash = directory.find('/', 1); slash != std::string::npos;
       slash = directory.find('/', slash + 1)) {
    std::string parent = directory.substr(0, slash);
    if (mkdir(parent.c_str(), 0755) != 0 && errno != EEXIST) {
      *error = parent + ": " + std::strerror(errno);
      return false;
    }
  }
  if (mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
    *error = directory + ": " + std::strerror(errno);
    return false;
  }
  return CheckDeviceDirectory(directory, error);
}

bool IsOwnSocket(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode) && info.st_uid == geteuid();
}
