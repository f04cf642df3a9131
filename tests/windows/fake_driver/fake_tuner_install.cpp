// Installs the fake tuner driver into the running wine prefix: one
// root-enumerated device per interface class, the driver on them from the
// INF beside it, and the driver's service started. Runs again at no cost:
// what is there already is kept.
// Usage: vantrel_fake_tuner_install DIRECTORY_WITH_INF_AND_SYS
#include <windows.h>

#include <newdev.h>
#include <setupapi.h>

#include <cstdio>
#include <string>
#include <vector>

#include "fake_tuner_control.h"

namespace {

const wchar_t* const kHardwareIds[] = {FAKE_HWID_A, FAKE_HWID_BUS, FAKE_HWID_BUS_STREAM};
const wchar_t* const kInstanceIds[] = {L"ROOT\\VANTRELFAKETUNER\\A", L"ROOT\\VANTRELFAKETUNER\\BUS",
                                       L"ROOT\\VANTRELFAKETUNER\\BUSSTREAM"};
const GUID kNoClass = {};
const GUID kClassA = {0xFCB41FCF, 0xAB28, 0x4E01, {0xAB, 0x0E, 0xE7, 0xFA, 0x22, 0xB7, 0x53, 0xC0}};
const GUID kClassBus = {0x7377DB61, 0xE3CD, 0x11D2, {0x8A, 0x3F, 0x00, 0x00, 0xF8, 0x78, 0x44, 0x22}};
const GUID kClassBusStream = {0xE18D1721, 0x70B5, 0x4DE7, {0x83, 0xB3, 0x35, 0x43, 0x6E, 0x39, 0x54, 0xED}};

bool DeviceExists(const wchar_t* hardwareId) {
  HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
  if (set == INVALID_HANDLE_VALUE) return false;
  bool found = false;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD index = 0; !found && index < 4096 && SetupDiEnumDeviceInfo(set, index, &device); ++index) {
    wchar_t ids[256] = {};
    if (SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, nullptr, reinterpret_cast<BYTE*>(ids),
                                          sizeof ids - 4, nullptr))
      found = _wcsicmp(ids, hardwareId) == 0;
  }
  SetupDiDestroyDeviceInfoList(set);
  return found;
}

bool CreateRootDevice(const wchar_t* instanceId, const wchar_t* hardwareId) {
  HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  if (set == INVALID_HANDLE_VALUE) return false;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  std::wstring ids = hardwareId;
  ids.push_back(L'\0');  // a list of strings, ended by an empty one
  bool ok = SetupDiCreateDeviceInfoW(set, instanceId, &kNoClass, nullptr, nullptr, 0, &device) &&
            SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, reinterpret_cast<const BYTE*>(ids.c_str()),
                                              static_cast<DWORD>((ids.size() + 1) * sizeof(wchar_t))) &&
            SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device);
  if (!ok) std::fprintf(stderr, "creating %ls failed: error %lu\n", instanceId, GetLastError());
  SetupDiDestroyDeviceInfoList(set);
  return ok;
}

bool InterfacePresent(const GUID& interfaceClass) {
  HDEVINFO set = SetupDiGetClassDevsW(&interfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return false;
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  const bool found = SetupDiEnumDeviceInterfaces(set, nullptr, &interfaceClass, 0, &data);
  SetupDiDestroyDeviceInfoList(set);
  return found;
}

bool DriverRunning() {
  const HANDLE control = CreateFileA(FAKE_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                     nullptr);
  if (control == INVALID_HANDLE_VALUE) return false;
  CloseHandle(control);
  return InterfacePresent(kClassA) && InterfacePresent(kClassBus) && InterfacePresent(kClassBusStream);
}

std::vector<char> ReadAll(const std::wstring& path) {
  std::vector<char> bytes;
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return bytes;
  LARGE_INTEGER size{};
  if (GetFileSizeEx(file, &size) && size.QuadPart < (16 << 20)) {
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD got = 0;
    if (!ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) || got != bytes.size())
      bytes.clear();
  }
  CloseHandle(file);
  return bytes;
}

// The image path of the driver's service, empty when there is no service.
std::wstring ServiceImage() {
  std::wstring image;
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) return image;
  if (SC_HANDLE service = OpenServiceW(manager, FAKE_SERVICE_NAME, SERVICE_QUERY_CONFIG)) {
    std::vector<uint8_t> buffer(8192);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    DWORD needed = 0;
    if (QueryServiceConfigW(service, config, static_cast<DWORD>(buffer.size()), &needed) && config->lpBinaryPathName)
      image = config->lpBinaryPathName;
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  return image;
}

bool PointServiceAt(const std::wstring& image) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) return false;
  bool ok = false;
  if (SC_HANDLE service = OpenServiceW(manager, FAKE_SERVICE_NAME, SERVICE_CHANGE_CONFIG)) {
    ok = ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, image.c_str(), nullptr,
                              nullptr, nullptr, nullptr, nullptr, nullptr);
    if (!ok) std::fprintf(stderr, "pointing the service at %ls failed: error %lu\n", image.c_str(), GetLastError());
    CloseServiceHandle(service);
  } else {
    std::fprintf(stderr, "the driver's service is missing: error %lu\n", GetLastError());
  }
  CloseServiceHandle(manager);
  return ok;
}

void StartService() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) return;
  if (SC_HANDLE service = OpenServiceW(manager, FAKE_SERVICE_NAME, SERVICE_START)) {
    StartServiceW(service, 0, nullptr);
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: vantrel_fake_tuner_install DIRECTORY_WITH_INF_AND_SYS\n");
    return 2;
  }
  std::wstring directory = argv[1];
  for (wchar_t& c : directory)
    if (c == L'/') c = L'\\';
  if (!directory.empty() && directory.back() != L'\\') directory += L'\\';
  const std::wstring inf = directory + L"vantrel_fake_tuner.inf";
  if (GetFileAttributesW((directory + L"vantrel_fake_tuner.sys").c_str()) == INVALID_FILE_ATTRIBUTES) {
    std::fprintf(stderr, "no driver at %ls\n", directory.c_str());
    return 1;
  }
  const bool runningBefore = DriverRunning();
  for (int i = 0; i < 3 && !runningBefore; ++i) {
    if (!DeviceExists(kHardwareIds[i]) && !CreateRootDevice(kInstanceIds[i], kHardwareIds[i])) return 1;
    BOOL reboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, kHardwareIds[i], inf.c_str(), INSTALLFLAG_FORCE, &reboot)) {
      std::fprintf(stderr, "installing the driver for %ls failed: error %lu\n", kHardwareIds[i], GetLastError());
      return 1;
    }
  }
  // The service loads the driver from where it was built, so that a rebuilt
  // driver is the one the next wine session runs (a copy in the system
  // folder is held open by the driver running from it). A build of the other
  // width has the same driver: one that runs from there is as good.
  const std::wstring built = directory + L"vantrel_fake_tuner.sys";
  const std::wstring image = L"\\??\\" + built;
  const std::wstring loaded = ServiceImage();
  const bool same = loaded == image || (loaded.rfind(L"\\??\\", 0) == 0 && !ReadAll(built).empty() &&
                                        ReadAll(loaded.substr(4)) == ReadAll(built));
  if (!same && !PointServiceAt(image)) return 1;
  if (runningBefore && !same) {
    std::fprintf(stderr, "another driver runs: end the wine session (wineserver -k) and run again\n");
    return 1;
  }
  for (int waited = 0; waited < 200; ++waited) {
    if (DriverRunning()) {
      std::printf("fake tuner driver running\n");
      return 0;
    }
    if (waited % 20 == 0) StartService();
    Sleep(50);
  }
  std::fprintf(stderr, "the fake tuner driver did not come up (control device or interfaces missing)\n");
  return 1;
}
