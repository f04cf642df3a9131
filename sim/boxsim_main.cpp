// vantrel-boxsim: plays the driver of a USB tuner box. Publishes the box's
// device interfaces as sockets in the device directory, answers the program's
// requests, and plays a transport stream into a shared-memory ring.
//
// Prints one line starting with "ready" on stdout once every socket is in
// place, and nothing more there; its reports go to stderr.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "device/tuner_device.h"
#include "platform/device_io.h"
#include "platform/device_wire.h"
#include "platform/version.h"
#include "sim/boxsim_options.h"
#include "sim/device_server.h"
#include "sim/stream_source.h"
#include "sim/tuner_box.h"

namespace {

// How often the ring writer runs: small steps keep the readers' progress steady.
constexpr auto kWriterPeriod = std::chrono::milliseconds(5);

// One simulator per directory, held by an exclusive lock on this file.
bool AcquireDirectoryLock(const std::string& directory, int* lockFd, std::string* error) {
  const std::string path = directory + "/.boxsim.lock";
  for (int attempt = 0; attempt < 10; ++attempt) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
      *error = path + ": " + std::strerror(errno);
      return false;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      if (errno == EWOULDBLOCK) {
        char text[32] = {};
        ssize_t n = pread(fd, text, sizeof text - 1, 0);
        std::string pid = n > 0 ? std::string(text, static_cast<size_t>(n)) : "?";
        while (!pid.empty() && (pid.back() == '\n' || pid.back() == ' ')) pid.pop_back();
        *error = "another simulator (pid " + pid + ") is already running in " + directory;
      } else {
        *error = path + ": " + std::strerror(errno);
      }
      close(fd);
      return false;
    }
    // The previous owner may have removed the file between our open and lock.
    struct stat held, named;
    if (fstat(fd, &held) == 0 && stat(path.c_str(), &named) == 0 && held.st_ino == named.st_ino &&
        held.st_dev == named.st_dev) {
      std::string pid = std::to_string(getpid()) + "\n";
      if (ftruncate(fd, 0) != 0 || pwrite(fd, pid.data(), pid.size(), 0) < 0) {
        // The pid is only for the refusal message; the lock is what counts.
      }
      *lockFd = fd;
      return true;
    }
    close(fd);
  }
  *error = "cannot lock " + path;
  return false;
}

// Sockets left by a simulator that was killed: nobody serves them any more.
void RemoveStaleSockets(const std::string& directory) {
  DIR* dir = opendir(directory.c_str());
  if (!dir) return;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    bool ours = name.rfind("QVUSB-", 0) == 0 || name.rfind("{", 0) == 0 || name.rfind(".new-", 0) == 0;
    std::string path = directory + "/" + name;
    if (ours && IsOwnSocket(path)) unlink(path.c_str());
  }
  closedir(dir);
}

std::string SocketName(BoxInterface interface) {
  switch (interface) {
    case BoxInterface::T: return DeviceSocketNameForPath(kTunerPathT);
    case BoxInterface::S: return DeviceSocketNameForPath(kTunerPathS);
    case BoxInterface::A: return InterfaceSocketName(kInterfaceClassA, 0);
    case BoxInterface::Bus: return InterfaceSocketName(kInterfaceClassBus, 0);
    case BoxInterface::BusStream: return InterfaceSocketName(kInterfaceClassBusStream, 0);
  }
  return {};
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "vantrel-boxsim: %s\n", message.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  BoxSimOptions options;
  bool showHelp = false;
  std::string error;
  if (!ParseBoxSimOptions(argc, argv, &options, &showHelp, &error)) {
    std::fprintf(stderr, "vantrel-boxsim: %s\n%s", error.c_str(), BoxSimUsage());
    return 2;
  }
  if (showHelp) {
    std::fputs(BoxSimUsage(), stdout);
    return 0;
  }
  if (options.showVersion) {
    std::printf("vantrel-boxsim %s\n", kVantrelVersion);
    return 0;
  }
  signal(SIGPIPE, SIG_IGN);

  std::string directory =
      options.deviceDirectory.empty() ? GetDeviceDirectory() : options.deviceDirectory;
  if (!PrepareDeviceDirectory(directory, &error)) return Fail(error);
  int lockFd = -1;
  if (!AcquireDirectoryLock(directory, &lockFd, &error)) return Fail(error);
  const std::string lockPath = directory + "/.boxsim.lock";
  RemoveStaleSockets(directory);

  std::vector<uint8_t> source;
  if (options.streamPath.empty()) {
    source = GenerateDefaultStream();
  } else if (!LoadStreamFile(options.streamPath, &source, &error)) {
    unlink(lockPath.c_str());
    return Fail(error);
  }
  if (options.noSync) RemoveSyncBytes(&source);

  int journalFd = -1;
  if (!options.journalPath.empty()) {
    journalFd = open(options.journalPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (journalFd < 0) {
      unlink(lockPath.c_str());
      return Fail(options.journalPath + ": " + std::strerror(errno));
    }
  }

  std::vector<std::unique_ptr<TunerBox>> boxes;
  std::string description;
  int exitCode = 0;
  {
    DeviceServer server(directory, journalFd);
    bool ok = true;
    for (BoxKind kind : options.kinds) {
      auto box = std::make_unique<TunerBox>(kind, options, source, static_cast<unsigned>(boxes.size()));
      ok = box->CreateRing(&error);
      // The stream interface goes first, so a client that finds the bus
      // interface finds the stream interface too.
      std::vector<BoxInterface> interfaces = box->Interfaces();
      for (auto it = interfaces.rbegin(); ok && it != interfaces.rend(); ++it) {
        ok = server.Add(SocketName(*it), *it, box.get(), &error);
      }
      if (!ok) break;
      if (!description.empty()) description += ", ";
      description += kind == BoxKind::Bus ? "BUS model code " + options.modelCode + " (model " +
                                                std::to_string(box->ModelNumber()) + ")" +
                                                (options.streamInterface ? "" : " without BUSSTREAM")
                                          : std::string(JournalName(box->Interfaces()[0])) +
                                                " (model " + std::to_string(box->ModelNumber()) + ")";
      boxes.push_back(std::move(box));
    }

    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    // Blocked before the writer starts, so that only the signalfd sees them;
    // blocked signals are queued even where the parent left them ignored.
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    int signalFd = ok ? signalfd(-1, &stopSignals, SFD_CLOEXEC) : -1;
    if (ok && signalFd < 0) {
      ok = false;
      error = std::string("signalfd: ") + std::strerror(errno);
    }

    if (ok) {
      std::atomic<bool> stopWriter{false};
      std::thread writer([&]() {
        auto next = std::chrono::steady_clock::now();
        while (!stopWriter.load()) {
          next += kWriterPeriod;
          auto now = std::chrono::steady_clock::now();
          if (now > next + 20 * kWriterPeriod) next = now;  // after a long stop, do not race
          std::this_thread::sleep_until(next);
          for (auto& box : boxes) box->StreamTick();
        }
      });
      if (server.Publish(&error)) {
        std::printf("ready: %s in %s\n", description.c_str(), directory.c_str());
        std::fflush(stdout);
        server.Run(signalFd);
      } else {
        ok = false;
      }
      stopWriter.store(true);
      writer.join();
    }
    if (!ok) exitCode = Fail(error);
    if (signalFd >= 0) close(signalFd);
    server.RemoveSockets();
  }
  if (journalFd >= 0) close(journalFd);
  unlink(lockPath.c_str());
  close(lockFd);
  return exitCode;
}
