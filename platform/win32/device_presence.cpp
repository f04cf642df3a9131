// Whether a driver's device is still there, told from the object manager's
// name for it without a request.
#include <windows.h>

#include <string>

#include "platform/device_io.h"
#include "platform/win32/wide_text.h"

std::string GetDeviceIdentity(const std::string& devicePath) {
  // "\\.\NAME" and "\\?\NAME" are links to the kernel's device object, which
  // a box gets afresh each time it is plugged in.
  if (devicePath.size() <= 4 || (devicePath.compare(0, 4, "\\\\.\\") != 0 && devicePath.compare(0, 4, "\\\\?\\") != 0))
    return {};
  wchar_t target[1024] = {};
  const DWORD length = QueryDosDeviceW(WideFromUtf8(devicePath.substr(4)).c_str(), target, 1023);
  if (length == 0) return {};
  return Utf8FromWide(target);
}

bool DeviceAnswers(const std::string& devicePath) { return !GetDeviceIdentity(devicePath).empty(); }

void SetDeviceDirectory(const std::string&) {}
