#include "boxserver/journal.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

bool AppendJournalLine(int journalFd, const std::string& line) {
  if (journalFd < 0) return true;
  size_t done = 0;
  while (done < line.size()) {
    ssize_t n = write(journalFd, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      std::fprintf(stderr, "journal write failed: %s\n", std::strerror(errno));
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}
