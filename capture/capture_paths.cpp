// Where a capture can go: the proposed file name and the free space of the
// file systems a user could capture to.
#include <cstdio>

#include "capture/capture_run.h"
#include "platform/files.h"
#include "platform/utc_time.h"
#include "platform/ui_hooks.h"

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
  LocalCalendar(now, &local);
  return FormatCaptureFileName(local);
}

std::string ListDriveFreeSpace(const std::string& mountTablePath) {
  std::string text;
  for (const std::string& folder : ListStorageFolders(mountTablePath)) {
    FolderSpace space;
    int error = 0;
    if (!GetFolderSpace(folder, &space, &error) || space.readOnly) continue;
    text += folder + TranslateAndFill("Free space:%u(MB)", {std::to_string(space.freeBytes / 1048576)}) + "\r\n";
  }
  return text;
}

std::string ListDriveFreeSpace() { return ListDriveFreeSpace(kSystemMountTable); }
