#include "monitoring/monitor_events.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include <nlohmann/json.hpp>

using Json = nlohmann::ordered_json;

std::string UtcTimeText(std::chrono::system_clock::time_point time) {
  const auto since = time.time_since_epoch();
  const time_t seconds = static_cast<time_t>(std::chrono::duration_cast<std::chrono::seconds>(since).count());
  const int millis = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count() % 1000);
  std::tm utc{};
  ::gmtime_r(&seconds, &utc);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, millis);
  return text;
}

std::vector<std::string> ErrorEvents(const std::string& input, const std::string& time, const HealthResult& before,
                                     const HealthResult& after) {
  std::vector<std::string> lines;
  for (size_t c = 0; c < kHealthCheckCount; ++c) {
    const HealthCheckResult& was = before.checks[c];
    const HealthCheckResult& now = after.checks[c];
    if (now.count <= was.count) continue;
    const HealthCheckInfo& info = GetHealthCheckInfo(static_cast<HealthCheck>(c));
    const auto base = [&] {
      return Json{{"time", time},       {"input", input},          {"event", "error"},
                  {"check", info.key}, {"number", info.number}, {"priority", info.priority}};
    };
    // The occurrences kept are the first ones: new ones follow those seen before.
    const size_t kept = std::min<size_t>(now.first.size(), static_cast<size_t>(now.count));
    size_t from = std::min(was.first.size(), kept);
    for (size_t i = from; i < kept; ++i) {
      const HealthOccurrence& o = now.first[i];
      Json line = base();
      line["pid"] = o.pid >= 0 ? Json(o.pid) : Json(nullptr);
      line["packet"] = o.packetIndex;
      line["byte_offset"] = o.byteOffset;
      line["stream_time_s"] = o.timeS ? Json(*o.timeS) : Json(nullptr);
      line["description"] = o.description;
      lines.push_back(line.dump());
    }
    const uint64_t detailed = kept - from;
    const uint64_t added = now.count - was.count;
    if (added > detailed) {
      Json line = base();
      line["occurrences"] = added - detailed;
      line["description"] = "further occurrences (only the first " + std::to_string(now.first.size()) +
                            " of a check are kept in detail)";
      lines.push_back(line.dump());
    }
  }
  return lines;
}

std::string StateEvent(const std::string& input, const std::string& time, InputState state, const std::string& reason) {
  Json line{{"time", time}, {"input", input}, {"event", "state"}, {"state", InputStateName(state)}};
  if (!reason.empty()) line["reason"] = reason;
  return line.dump();
}

std::string NetworkLossEvent(const std::string& input, const std::string& time, uint64_t newlyLost, uint64_t totalLost) {
  return Json{{"time", time},
              {"input", input},
              {"event", "network_loss"},
              {"lost_datagrams", newlyLost},
              {"total_lost_datagrams", totalLost}}
      .dump();
}

bool EventLog::Open(const std::string& path, std::string* error) {
  file_ = std::fopen(path.c_str(), "ae");
  if (file_ == nullptr) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  path_ = path;
  return true;
}

EventLog::~EventLog() {
  if (file_ != nullptr) std::fclose(file_);
}

void EventLog::Write(const std::vector<std::string>& lines) {
  if (file_ == nullptr || lines.empty()) return;
  for (const std::string& line : lines) {
    std::fputs(line.c_str(), file_);
    std::fputc('\n', file_);
  }
  if (std::fflush(file_) != 0 && !failed_) {
    failed_ = true;
    std::fprintf(stderr, "vantrel-cli: cannot write the events to %s: %s\n", path_.c_str(), std::strerror(errno));
  }
}
