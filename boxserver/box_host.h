// What a program that serves boxes does around them: one server per device
// directory (held by a lock file), sockets left by a killed predecessor
// removed, the journal opened, and the boxes served until SIGINT or SIGTERM.
//
// Prints one line starting with "ready" on stdout once every socket is in
// place, and nothing more there; its reports go to stderr.
#pragma once

#include <string>
#include <vector>

#include "boxserver/box_protocol.h"

class BoxHost {
public:
  // `programName` starts every message on stderr.
  explicit BoxHost(const char* programName);
  ~BoxHost();
  BoxHost(const BoxHost&) = delete;
  BoxHost& operator=(const BoxHost&) = delete;

  // Blocks SIGINT and SIGTERM for every thread started from now on (Serve
  // takes them), prepares and locks the directory (empty: the default
  // directory), removes stale sockets and opens the journal (empty: none).
  bool Prepare(const std::string& deviceDirectory, const std::string& journalPath,
               std::string* error);
  const std::string& directory() const { return directory_; }
  int journalFd() const { return journalFd_; }

  // Publishes every box's interfaces, prints the ready line and serves until
  // SIGINT or SIGTERM; the sockets are removed again before it returns.
  bool Serve(const std::vector<BoxProtocol*>& boxes, std::string* error);

private:
  std::string directory_;
  int lockFd_ = -1;
  int journalFd_ = -1;
};
