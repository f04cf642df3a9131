#include "platform/profile.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <strings.h>
#include <vector>

#include "platform/files.h"

namespace {

constexpr const char* kRegistryKey = "CAPTURE";

// A key line, or (empty key) a comment line kept as it was written.
struct Entry {
  std::string key;
  std::string value;
  std::string comment;
};
// A section; the first one of a file may be unnamed: the comments and key
// lines before any section header, kept but never read.
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

std::string ProfileDirectory() { return UserSettingsFolder() + "/" + kRegistryKey; }

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string TrimBlanks(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

// Values are kept on one line: backslash, CR and LF are escaped. Blanks
// around "=" and at the line end are not part of a value (people write
// "key = value"), so a value's own leading and trailing blanks are escaped.
std::string Escape(const std::string& value) {
  size_t first = 0;
  size_t last = value.size();
  while (first < last && IsBlank(value[first])) ++first;
  while (last > first && IsBlank(value[last - 1])) --last;
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else if (IsBlank(c) && (i < first || i >= last)) out += c == ' ' ? "\\s" : "\\t";
    else out += c;
  }
  return out;
}

std::string Unescape(const std::string& value) {
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\\' && i + 1 < value.size()) {
      const char next = value[++i];
      out += next == 'n' ? '\n' : next == 'r' ? '\r' : next == 's' ? ' ' : next == 't' ? '\t' : next;
    } else {
      out += value[i];
    }
  }
  return out;
}

// Hand-edited files are read as people write them: CR LF or LF line ends,
// blanks around names and "=", comments (";" or "#") and blank lines. Lines
// before the first section header and lines that are neither a header nor
// "key=value" are kept in place on rewrite but never read; blank lines are
// not kept (the writer puts one after each section).
Document Parse(std::istream& in) {
  Document doc;
  std::string line;
  auto current = [&doc]() -> Section& {
    if (doc.empty()) doc.push_back({});
    return doc.back();
  };
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::string trimmed = TrimBlanks(line);
    if (trimmed.empty()) continue;
    if (trimmed[0] == '[') {
      const size_t close = trimmed.find(']');
      const std::string name = close == std::string::npos ? "" : TrimBlanks(trimmed.substr(1, close - 1));
      if (!name.empty()) {
        doc.push_back({name, {}});
        continue;
      }
    }
    const size_t eq = trimmed.find('=');
    const bool comment = trimmed[0] == ';' || trimmed[0] == '#';
    const std::string key = comment || eq == std::string::npos ? "" : TrimBlanks(trimmed.substr(0, eq));
    if (key.empty()) {
      current().entries.push_back({"", "", line});
      continue;
    }
    current().entries.push_back({key, Unescape(TrimBlanks(trimmed.substr(eq + 1))), ""});
  }
  return doc;
}

// Why the last write of this thread failed; empty after a success.
thread_local std::string lastWriteProblem;

// The profile as a document; a file that does not exist yet is an empty one.
// false, with the system's reason, when it exists but cannot be read: then
// it must not be rewritten, or every section this program did not touch
// would be lost.
bool Load(const std::string& path, Document* doc, std::string* problem) {
  doc->clear();
  std::string text;
  int error = 0;
  if (!ReadWholeFile(path, &text, &error)) {
    if (error == ENOENT) return true;
    *problem = std::strerror(error);
    return false;
  }
  std::istringstream in(text);
  *doc = Parse(in);
  return true;
}

Document LoadForReading() {
  Document doc;
  std::string problem;
  Load(GetProfilePath(), &doc, &problem);
  return doc;
}

// A section written twice is read as one: its keys are looked for in each
// copy in file order, the first one found counts.
Entry* FindEntry(Document& doc, const std::string& section, const std::string& key) {
  for (Section& s : doc) {
    if (s.name.empty() || !SameName(s.name, section)) continue;
    for (Entry& e : s.entries)
      if (!e.key.empty() && SameName(e.key, key)) return &e;
  }
  return nullptr;
}

const std::string* Find(Document& doc, const std::string& section, const std::string& key) {
  const Entry* entry = FindEntry(doc, section, key);
  return entry ? &entry->value : nullptr;
}

// Replaces the value that is read; a new key goes to the section's first copy.
void Set(Document& doc, const std::string& section, const std::string& key, const std::string& value) {
  if (Entry* entry = FindEntry(doc, section, key)) {
    entry->value = value;
    return;
  }
  for (Section& s : doc) {
    if (!s.name.empty() && SameName(s.name, section)) {
      s.entries.push_back({key, value, ""});
      return;
    }
  }
  doc.push_back({section, {{key, value, ""}}});
}

// Names and keys cannot hold the characters that structure the file.
bool ValidName(const std::string& name, bool isKey) {
  if (name.empty() || name != TrimBlanks(name)) return false;
  for (char c : name) {
    if (c == '\n' || c == '\r' || c == ']' || c == '[') return false;
    if (isKey && c == '=') return false;
  }
  return !(isKey && (name[0] == ';' || name[0] == '#'));
}

// The document as the file holds it.
std::string Render(const Document& doc) {
  std::string text;
  for (const Section& s : doc) {
    if (!s.name.empty()) text += "[" + s.name + "]\n";
    for (const Entry& e : s.entries) text += e.key.empty() ? e.comment + "\n" : e.key + "=" + Escape(e.value) + "\n";
    text += "\n";
  }
  return text;
}

bool Store(const std::string& section, const std::string& key, const std::string& value, std::string* problem) {
  if (!ValidName(section, false) || !ValidName(key, true)) {
    *problem = "\"" + section + "\" / \"" + key + "\" is not a section and key name";
    return false;
  }
  std::lock_guard<std::mutex> guard(WriteMutex());
  const std::string dir = ProfileDirectory();
  if (int error = 0; !MakeFolders(dir, &error)) {
    *problem = dir + ": " + std::strerror(error);
    return false;
  }
  const std::string path = GetProfilePath();

  ExclusiveFileLock lock(path + ".lock");
  if (!lock.Locked()) {
    *problem = path + ".lock: " + std::strerror(lock.Error());
    return false;
  }

  Document doc;
  bool ok = false;
  if (!Load(path, &doc, problem)) {
    *problem = "it cannot be read (" + *problem + "), so it is left as it is";
  } else if (const std::string target = FileToRewrite(path); target.empty()) {
    *problem = std::strerror(ELOOP);
  } else {
    Set(doc, section, key, value);
    int error = 0;
    ok = ReplaceFileAtomically(target, Render(doc), &error);
    if (!ok) *problem = std::strerror(error);
  }
  return ok;
}

bool StoreAndRemember(const std::string& section, const std::string& key, const std::string& value) {
  std::string problem;
  const bool ok = Store(section, key, value, &problem);
  lastWriteProblem = ok ? std::string() : problem;
  return ok;
}

}  // namespace

std::string GetProfilePath() { return ProfileDirectory() + "/VANTREL.ini"; }

std::string ProfileReadProblem() {
  Document doc;
  std::string problem;
  return Load(GetProfilePath(), &doc, &problem) ? std::string() : problem;
}

std::string LastProfileWriteProblem() { return lastWriteProblem; }

int ReadProfileIntInRange(const std::string& section, const std::string& key, int defaultValue, int minimum,
                         int maximum) {
  const int value = ReadProfileInt(section, key, defaultValue);
  return value < minimum || value > maximum ? defaultValue : value;
}

int ReadProfileInt(const std::string& section, const std::string& key, int defaultValue) {
  Document doc = LoadForReading();
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

std::string ReadProfileText(const std::string& section, const std::string& key,
                             const std::string& defaultValue) {
  Document doc = LoadForReading();
  const std::string* value = Find(doc, section, key);
  return value ? *value : defaultValue;
}

bool WriteProfileInt(const std::string& section, const std::string& key, int value) {
  return StoreAndRemember(section, key, std::to_string(value));
}

bool WriteProfileText(const std::string& section, const std::string& key, const std::string& value) {
  return StoreAndRemember(section, key, value);
}
