// Small helpers shared by the test suites: temporary folders, scoped
// environment variables, recorded UI hooks, sample paths.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/ui_hooks.h"

// A fresh folder under $TMPDIR (or /tmp), removed with its contents at the end.
class TempDir {
public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
  std::string path_;
};

// Sets (or with nullptr unsets) an environment variable for the scope.
class ScopedEnv {
public:
  ScopedEnv(const std::string& name, const char* value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
  std::string name_;
  bool hadValue_;
  std::string oldValue_;
};

// Installs hooks that record every message and answer file requests from a
// queue of prepared answers (an empty answer means "cancelled"). The previous
// hooks come back at the end of the scope.
class RecordingUiHooks {
public:
  RecordingUiHooks();
  ~RecordingUiHooks();
  RecordingUiHooks(const RecordingUiHooks&) = delete;
  RecordingUiHooks& operator=(const RecordingUiHooks&) = delete;

  void QueueOpenFileAnswer(const std::string& pathOrEmpty);
  std::vector<std::string> Messages() const;
  int FileRequests() const;
  std::string LastFilter() const;
  std::string LastDefaultExtension() const;

private:
  mutable std::mutex mutex_;
  std::vector<std::string> messages_;
  std::vector<std::string> answers_;
  int fileRequests_ = 0;
  std::string lastFilter_, lastExtension_;
  UiHooks previous_;
};

// Path of a bundled sample stream, e.g. SampleStream("test-018.ts").
std::string SampleStream(const std::string& name);

// Whole file contents; empty when it cannot be read.
std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
