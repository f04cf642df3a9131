#include "platform/profile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <strings.h>
#include <vector>

namespace {

constexpr const char* kRegistryKey = "CAPTURE";

struct Entry {
  std::string key;
  std::string value;
};
struct Section {
  std::string name;
  std::vector<Entry> entries;
};
using Document = std::vector<Section>;

// Serialises writers inside this process; the file lock covers other processes.
std::mutex& WriteMutex() {
  static std::mutex mutex;
  return mutex;
}

bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

std::string ConfigHome() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && *xdg) return xdg;
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : ".") + "/.config";
}

std::string ProfileDirectory() { return ConfigHome() + "/" + kRegistryKey; }

bool MakeDirectories(const std::string& path) {
  std::string partial;
  std::stringstream parts(path);
  std::string part;
  if (!path.empty() && path[0] == '/') partial = "/";
  while (std::getline(parts, part, '/')) {
    if (part.empty()) continue;
    partial += part + "/";
    if (mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  return true;
}

// Values are kept on one line: backslash, CR and LF are escaped.
std::string Escape(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else out += c;
  }
  return out;
}

std::string Unescape(const std::string& value) {
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\\' && i + 1 < value.size()) {
      char next = value[++i];
      out += next == 'n' ? '\n' : next == 'r' ? '\r' : next;
    } else {
      out += value[i];
    }
  }
  return out;
}

Document Parse(std::istream& in) {
  Document doc;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line[0] == '[') {
      size_t close = line.find(']');
      if (close == std::string::npos) continue;
      doc.push_back({line.substr(1, close - 1), {}});
      continue;
    }
    size_t eq = line.find('=');
    if (eq == std::string::npos || doc.empty()) continue;
    doc.back().entries.push_back({line.substr(0, eq), Unescape(line.substr(eq + 1))});
  }
  return doc;
}

Document Load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  return Parse(in);
}

const std::string* Find(const Document& doc, const std::string& section, const std::string& key) {
  for (const Section& s : doc) {
    if (!SameName(s.name, section)) continue;
    for (const Entry& e : s.entries)
      if (SameName(e.key, key)) return &e.value;
  }
  return nullptr;
}

void Set(Document& doc, const std::string& section, const std::string& key, const std::string& value) {
  for (Section& s : doc) {
    if (!SameName(s.name, section)) continue;
    for (Entry& e : s.entries) {
      if (SameName(e.key, key)) {
        e.value = value;
        return;
      }
    }
    s.entries.push_back({key, value});
    return;
  }
  doc.push_back({section, {{key, value}}});
}

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// Names and keys cannot hold the characters that structure the file.
bool ValidName(const std::string& name, bool isKey) {
  if (name.empty()) return false;
  for (char c : name) {
    if (c == '\n' || c == '\r' || c == ']' || c == '[') return false;
    if (isKey && c == '=') return false;
  }
  return !(isKey && (name[0] == ';' || name[0] == '#'));
}

bool Store(const std::string& section, const std::string& key, const std::string& value) {
  if (!ValidName(section, false) || !ValidName(key, true)) return false;
  std::lock_guard<std::mutex> guard(WriteMutex());
  const std::string dir = ProfileDirectory();
  if (!MakeDirectories(dir)) return false;
  const std::string path = GetProfilePath();

  int lockFd = open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lockFd < 0) return false;
  while (flock(lockFd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      close(lockFd);
      return false;
    }
  }

  Document doc = Load(path);
  Set(doc, section, key, value);
  std::string text;
  for (const Section& s : doc) {
    text += "[" + s.name + "]\n";
    for (const Entry& e : s.entries) text += e.key + "=" + Escape(e.value) + "\n";
    text += "\n";
  }

  std::string temp = path + ".tmp." + std::to_string(getpid());
  bool ok = false;
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd >= 0) {
    ok = WriteAll(fd, text) && fsync(fd) == 0;
    ok = (close(fd) == 0) && ok;
    if (ok) ok = rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) unlink(temp.c_str());
  }
  flock(lockFd, LOCK_UN);
  close(lockFd);
  return ok;
}

}  // namespace

std::string GetProfilePath() { return ProfileDirectory() + "/VANTREL.ini"; }

int GetProfileInt(const std::string& section, const std::string& key, int defaultValue) {
  Document doc = Load(GetProfilePath());
  const std::string* value = Find(doc, section, key);
  if (!value) return defaultValue;
  const char* begin = value->c_str();
  while (*begin == ' ' || *begin == '\t') ++begin;
  if (*begin == '\0') return defaultValue;
  errno = 0;
  char* end = nullptr;
  long long parsed = std::strtoll(begin, &end, 10);
  while (*end == ' ' || *end == '\t') ++end;
  if (errno != 0 || *end != '\0' || parsed < INT_MIN || parsed > INT_MAX) return defaultValue;
  return static_cast<int>(parsed);
}

std::string GetProfileString(const std::string& section, const std::string& key,
                             const std::string& defaultValue) {
  Document doc = Load(GetProfilePath());
  const std::string* value = Find(doc, section, key);
  return value ? *value : defaultValue;
}

bool WriteProfileInt(const std::string& section, const std::string& key, int value) {
  return Store(section, key, std::to_string(value));
}

bool WriteProfileString(const std::string& section, const std::string& key, const std::string& value) {
  return Store(section, key, value);
}
