#include "tests/support/test_env.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/vantrel-test-XXXXXX";
#ifdef _WIN32
  // No mkdtemp: a random name, made only if it is new.
  std::random_device random;
  for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
    std::string name = pattern.substr(0, pattern.size() - 6) + std::to_string(random() % 1000000);
    if (std::filesystem::create_directory(name)) path_ = name;
  }
  if (path_.empty()) throw std::runtime_error("no temporary folder");
#else
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (!mkdtemp(buffer.data())) throw std::runtime_error("mkdtemp failed");
  path_ = buffer.data();
#endif
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

namespace {

void SetVariable(const std::string& name, const char* value) {
#ifdef _WIN32
  _putenv_s(name.c_str(), value ? value : "");  // "" removes it
#else
  if (value) setenv(name.c_str(), value, 1);
  else unsetenv(name.c_str());
#endif
}

}  // namespace

ScopedEnv::ScopedEnv(const std::string& name, const char* value) : name_(name) {
  const char* old = std::getenv(name.c_str());
  hadValue_ = old != nullptr;
  if (old) oldValue_ = old;
  SetVariable(name, value);
}

ScopedEnv::~ScopedEnv() { SetVariable(name_, hadValue_ ? oldValue_.c_str() : nullptr); }

RecordingUiHooks::RecordingUiHooks() {
  UiHooks hooks;
  hooks.showMessage = [this](const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back(text);
  };
  hooks.askOpenFile = [this](const std::string& filter, const std::string& extension,
                             std::string& chosen) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++fileRequests_;
    lastFilter_ = filter;
    lastExtension_ = extension;
    if (answers_.empty()) return false;
    std::string answer = answers_.front();
    answers_.erase(answers_.begin());
    if (answer.empty()) return false;
    chosen = answer;
    return true;
  };
  previous_ = InstallUiHooks(hooks);
}

RecordingUiHooks::~RecordingUiHooks() { InstallUiHooks(previous_); }

void RecordingUiHooks::QueueOpenFileAnswer(const std::string& pathOrEmpty) {
  std::lock_guard<std::mutex> lock(mutex_);
  answers_.push_back(pathOrEmpty);
}

std::vector<std::string> RecordingUiHooks::Messages() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_;
}

int RecordingUiHooks::FileRequests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return fileRequests_;
}

std::string RecordingUiHooks::LastFilter() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastFilter_;
}

std::string RecordingUiHooks::LastDefaultExtension() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastExtension_;
}

std::string SampleStream(const std::string& name) {
  return std::string(VANTREL_TEST_DATA_DIR) + "/streams/" + name;
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}
