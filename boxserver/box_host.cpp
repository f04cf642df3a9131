#include "boxserver/box_host.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "boxserver/device_server.h"
#include "platform/device_io.h"
#include "platform/device_wire.h"

namespace {

const char kLockName[] = "/.boxsim.lock";

sigset_t StopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  return signals;
}

// One server per directory, held by an exclusive lock on this file.
bool AcquireDirectoryLock(const std::string& directory, int* lockFd, std::string* error) {
  const std::string path = directory + kLockName;
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
        *error = "another box server (pid " + pid + ") is already running in " + directory;
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

// Sockets left by a server that was killed: nobody serves them any more.
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

}  // namespace

BoxHost::BoxHost(const char* programName) { BoxProtocol::SetProgramName(programName); }

BoxHost::~BoxHost() {
  if (journalFd_ >= 0) close(journalFd_);
  if (lockFd_ >= 0) {
    unlink((directory_ + kLockName).c_str());
    close(lockFd_);
  }
}

bool BoxHost::Prepare(const std::string& deviceDirectory, const std::string& journalPath,
                      std::string* error) {
  signal(SIGPIPE, SIG_IGN);
  // Blocked before any other thread starts, so that only the signalfd sees
  // them; blocked signals are queued even where the parent left them ignored.
  sigset_t signals = StopSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  directory_ = deviceDirectory.empty() ? GetDeviceDirectory() : deviceDirectory;
  if (!PrepareDeviceDirectory(directory_, error)) return false;
  if (!AcquireDirectoryLock(directory_, &lockFd_, error)) return false;
  RemoveStaleSockets(directory_);
  if (!journalPath.empty()) {
    journalFd_ = open(journalPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (journalFd_ < 0) {
      *error = journalPath + ": " + std::strerror(errno);
      return false;
    }
  }
  return true;
}

bool BoxHost::Serve(const std::vector<BoxProtocol*>& boxes, std::string* error) {
  DeviceServer server(directory_, journalFd_);
  std::string description;
  for (BoxProtocol* box : boxes) {
    // The stream interface goes first, so a client that finds the bus
    // interface finds the stream interface too.
    std::vector<BoxInterface> interfaces = box->Interfaces();
    for (auto it = interfaces.rbegin(); it != interfaces.rend(); ++it) {
      if (!server.Add(SocketName(*it), *it, box, error)) return false;
    }
    if (!description.empty()) description += ", ";
    description += box->Description();
  }
  sigset_t signals = StopSignals();
  int signalFd = signalfd(-1, &signals, SFD_CLOEXEC);
  if (signalFd < 0) {
    *error = std::string("signalfd: ") + std::strerror(errno);
    return false;
  }
  bool ok = server.Publish(error);
  if (ok) {
    std::printf("ready: %s in %s\n", description.c_str(), directory_.c_str());
    std::fflush(stdout);
    server.Run(signalFd);
  }
  server.RemoveSockets();
  close(signalFd);
  return ok;
}
