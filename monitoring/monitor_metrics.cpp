#include "monitoring/monitor_metrics.h"

#include <cinttypes>
#include <cstdio>
#include <functional>

namespace {

std::string Number(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

class Exposition {
public:
  // Starts a metric family: its help and type once, then its samples.
  void Family(const char* name, const char* type, const char* help) {
    name_ = name;
    text_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
  }
  void Sample(const std::string& labels, double value) {
    text_ += name_ + "{" + labels + "} " + Number(value) + "\n";
  }
  void Sample(const std::string& labels, uint64_t value) {
    text_ += name_ + "{" + labels + "} " + std::to_string(value) + "\n";
  }
  std::string Take() { return std::move(text_); }

private:
  std::string name_;
  std::string text_;
};

std::string Label(const char* name, const std::string& value) {
  return std::string(name) + "=\"" + EscapeLabelValue(value) + "\"";
}

}  // namespace

std::string EscapeLabelValue(const std::string& value) {
  std::string escaped;
  escaped.reserve(value.size());
  for (char c : value) {
    if (c == '\\') escaped += "\\\\";
    else if (c == '"') escaped += "\\\"";
    else if (c == '\n') escaped += "\\n";
    else escaped += c;
  }
  return escaped;
}

std::string RenderMetrics(const std::vector<const MonitoredInput*>& inputs, MonitoredInput::Clock::time_point now) {
  Exposition out;
  using Each = std::function<void(const MonitoredInput&, const std::string& input)>;
  const auto forEach = [&inputs](const Each& each) {
    for (const MonitoredInput* in : inputs) each(*in, Label("input", in->name()));
  };
  out.Family("vantrel_input_up", "gauge", "1 while the input delivers stream bytes, 0 when it waits or has stopped.");
  forEach([&](const MonitoredInput& in, const std::string& l) {
    out.Sample(l, uint64_t{in.state() == InputState::Receiving});
  });
  out.Family("vantrel_input_seconds_since_last_packet", "gauge",
             "Seconds since the input last delivered stream bytes (since the monitor started, before any).");
  forEach([&](const MonitoredInput& in, const std::string& l) {
    out.Sample(l, in.SecondsSinceData(now).value_or(-1.0));
  });
  // Prometheus counts in bytes: the multiplex bit rate divided by 8.
  out.Family("vantrel_input_mux_bytes_per_second", "gauge",
             "Multiplex rate (bit rate / 8) over about the last second, on the stream's own clock (0 while unknown).");
  forEach([&](const MonitoredInput& in, const std::string& l) {
    out.Sample(l, in.latest().recentBitrateBps.value_or(0.0) / 8.0);
  });
  out.Family("vantrel_input_packets_total", "counter", "Transport stream packets analysed.");
  forEach([&](const MonitoredInput& in, const std::string& l) { out.Sample(l, in.latest().packets); });
  out.Family("vantrel_input_bytes_total", "counter", "Stream bytes received.");
  forEach([&](const MonitoredInput& in, const std::string& l) { out.Sample(l, in.latest().bytes); });
  out.Family("vantrel_input_overruns_total", "counter",
             "Times stream bytes were lost before they could be read (ring overruns, cut datagrams).");
  forEach([&](const MonitoredInput& in, const std::string& l) { out.Sample(l, in.source().Overruns()); });

  out.Family("vantrel_check_errors_total", "counter",
             "Errors counted by each TR 101 290 check (check: its key, number: its TR 101 290 number).");
  forEach([&](const MonitoredInput& in, const std::string& l) {
    for (size_t c = 0; c < kHealthCheckCount; ++c) {
      const HealthCheckInfo& info = GetHealthCheckInfo(static_cast<HealthCheck>(c));
      out.Sample(l + "," + Label("check", info.key) + "," + Label("number", info.number) + "," +
                     Label("priority", std::to_string(info.priority)),
                 in.latest().checks[c].count);
    }
  });
  out.Family("vantrel_check_evaluated", "gauge", "1 when the check could be evaluated on this stream, else 0.");
  forEach([&](const MonitoredInput& in, const std::string& l) {
    for (size_t c = 0; c < kHealthCheckCount; ++c) {
      const HealthCheckInfo& info = GetHealthCheckInfo(static_cast<HealthCheck>(c));
      out.Sample(l + "," + Label("check", info.key), uint64_t{in.latest().checks[c].evaluated});
    }
  });
  out.Family("vantrel_pid_continuity_errors_total", "counter", "Continuity counter errors per PID.");
  forEach([&](const MonitoredInput& in, const std::string& l) {
    for (const PidStats& pid : in.latest().pids) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "0x%04X", pid.pid);
      out.Sample(l + "," + Label("pid", hex), pid.ccErrors);
    }
  });

  out.Family("vantrel_network_datagrams_total", "counter", "Datagrams received (network inputs).");
  forEach([&](const MonitoredInput& in, const std::string& l) {
    if (const NetInputStats* net = in.source().Network()) out.Sample(l, net->datagrams);
  });
  out.Family("vantrel_network_lost_datagrams_total", "counter",
             "Datagrams missing from the RTP sequence numbers (network loss; 0 without RTP).");
  forEach([&](const MonitoredInput& in, const std::string& l) {
    if (const NetInputStats* net = in.source().Network()) out.Sample(l, net->rtpLost);
  });
  out.Family("vantrel_network_late_datagrams_total", "counter",
             "RTP datagrams that came after later ones or twice (dropped).");
  forEach([&](const MonitoredInput& in, const std::string& l) {
    if (const NetInputStats* net = in.source().Network()) out.Sample(l, net->rtpLate + net->rtpDuplicates);
  });
  out.Family("vantrel_network_jitter_seconds", "gauge", "RTP interarrival jitter (RFC 3550).");
  forEach([&](const MonitoredInput& in, const std::string& l) {
    if (const NetInputStats* net = in.source().Network(); net && net->rtpSeen) out.Sample(l, net->jitterS);
  });

  // Signal of tuner inputs, read once a second with the snapshot.
  std::vector<std::pair<const MonitoredInput*, SignalReading>> signals;
  for (const MonitoredInput* in : inputs)
    if (in->signal()) signals.emplace_back(in, *in->signal());
  if (!signals.empty()) {
    out.Family("vantrel_signal_locked", "gauge", "1 when the tuner is locked.");
    for (auto& [in, s] : signals) out.Sample(Label("input", in->name()), uint64_t{s.locked});
    out.Family("vantrel_signal_strength_percent", "gauge", "Signal strength reported by the tuner, 0 to 100.");
    for (auto& [in, s] : signals) out.Sample(Label("input", in->name()), static_cast<uint64_t>(s.strength));
    out.Family("vantrel_signal_quality_percent", "gauge", "Signal quality reported by the tuner, 0 to 100.");
    for (auto& [in, s] : signals) out.Sample(Label("input", in->name()), static_cast<uint64_t>(s.quality));
  }
  return out.Take();
}
