// Where a capture can go: the proposed file name and the free space of the
// file systems a user could capture to.
#include <mntent.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <set>
#include <string_view>

#include "capture/capture_run.h"
#include "platform/ui_hooks.h"

namespace {

// Kernel and virtual file systems: nothing a capture could be stored on.
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

std::string FormatCaptureFileName(const std::tm& localTime) {
  char name[64];
  std::snprintf(name, sizeof name, "%04d_%02d_%02d_%02d_%02d_%02d", localTime.tm_year + 1900,
                localTime.tm_mon + 1, localTime.tm_mday, localTime.tm_hour, localTime.tm_min,
                localTime.tm_sec);
  return name;
}

std::string ProposeCaptureFileName() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return FormatCaptureFileName(local);
}

std::string ListDriveFreeSpace(const std::string& mountTablePath) {
  std::string text;
  FILE* table = setmntent(mountTablePath.c_str(), "r");
  if (table == nullptr) return text;
  std::set<dev_t> listed;
  mntent entry{};
  char buffer[4096];
  while (getmntent_r(table, &entry, buffer, sizeof buffer) != nullptr) {
    std::string_view mountPoint = entry.mnt_dir;
    if (IsPseudoFileSystem(entry.mnt_type) || IsSystemArea(mountPoint)) continue;
    if (hasmntopt(&entry, "ro") != nullptr) continue;
    struct stat info {};
    // Bind-mounted single files (a container's /etc/hosts) are no place for a capture.
    if (::stat(entry.mnt_dir, &info) != 0 || !S_ISDIR(info.st_mode)) continue;
    if (::access(entry.mnt_dir, W_OK) != 0) continue;
    if (!listed.insert(info.st_dev).second) continue;
    struct statvfs space {};
    if (::statvfs(entry.mnt_dir, &space) != 0 || (space.f_flag & ST_RDONLY) != 0) continue;
    uint64_t freeBytes = static_cast<uint64_t>(space.f_bavail) * space.f_frsize;
    text += entry.mnt_dir;
    if (text.back() != '/') text += '/';
    text += TranslateAndFill("Free space:%u(MB)", {std::to_string(freeBytes / 1048576)}) + "\r\n";
  }
  endmntent(table);
  return text;
}

std::string ListDriveFreeSpace() { return ListDriveFreeSpace("/proc/self/mounts"); }
