#include "analysis/si/si_output.h"

#include <cmath>
#include <cstdio>

#include "analysis/health/health_report.h"

namespace {

template <typename... Args>
std::string Format(const char* format, Args... args) {
  char text[512];
  std::snprintf(text, sizeof text, format, args...);
  return text;
}

std::string Hex4(int value) { return Format("0x%04X", value); }

template <typename T>
SiJson Optional(const std::optional<T>& value) {
  return value ? SiJson(*value) : SiJson(nullptr);
}

SiJson IntOrNull(int value) { return value >= 0 ? SiJson(value) : SiJson(nullptr); }

// A document, with any byte that is no UTF-8 (a file name's, on Linux) as
// U+FFFD: the names decoded from the stream are UTF-8 already.
std::string Document(const SiJson& j) { return j.dump(2, ' ', false, SiJson::error_handler_t::replace) + "\n"; }

SiJson Header(const SiReport& report, const SiOutputSource& source) {
  const SiTimeSpan& time = report.Time();
  return {{"input", source.input},
          {"partial", source.partial},
          {"si", SiKindName(report.Kind())},
          {"utc_first", time.firstUtc ? SiJson(UtcText(*time.firstUtc)) : SiJson(nullptr)},
          {"utc_last", time.lastUtc ? SiJson(UtcText(*time.lastUtc)) : SiJson(nullptr)},
          {"time_source", time.source.empty() ? SiJson(nullptr) : SiJson(time.source)}};
}

std::string Rate(double bps) {
  if (bps >= 1e6) return Format("%.2f Mbit/s", bps / 1e6);
  return Format("%.1f kbit/s", bps / 1e3);
}

std::string HeaderText(const SiReport& report, const SiOutputSource& source) {
  std::string text = "Input: " + (source.input == "-" ? std::string("standard input") : source.input);
  if (source.partial) text += " (not read to its end)";
  text += "\nService information: ";
  text += report.Kind() == SiKind::Dvb ? "DVB" : report.Kind() == SiKind::Atsc ? "ATSC PSIP" : "none";
  text += "\n";
  const SiTimeSpan& time = report.Time();
  if (time.firstUtc)
    text += "Stream time (" + time.source + "): " + UtcText(*time.firstUtc) +
            (time.lastUtc && *time.lastUtc != *time.firstUtc ? " to " + UtcText(*time.lastUtc) : "") + "\n";
  return text;
}

std::string EsSummary(const SiStream& s) {
  const EsInfo& e = s.es;
  if (!e.found) return {};
  std::string text = e.codec;
  if (!e.profile.empty()) text += " " + e.profile;
  if (!e.level.empty()) text += " @ " + e.level;
  if (e.width > 0) {
    text += Format(", %dx%d%s", e.width, e.height, e.interlaced ? "i" : "p");
    if (e.frameRate > 0) text += Format(" %.4g fps", e.frameRate);  // 29.97, 23.98
    if (!e.aspectRatio.empty()) text += ", " + e.aspectRatio;
  }
  if (e.channels > 0) text += ", " + (e.channelLayout.empty() ? std::to_string(e.channels) + " channels" : e.channelLayout);
  if (e.sampleRate > 0) text += Format(", %g kHz", e.sampleRate / 1000.0);
  if (e.bitRate > 0) text += ", " + Rate(e.bitRate);
  return text;
}

// Generic text for decoded fields: one "key: value" a line, nested indented.
void FieldsText(const SiJson& value, int indent, std::string& out) {
  const std::string pad(static_cast<size_t>(indent), ' ');
  if (value.is_object()) {
    for (auto it = value.begin(); it != value.end(); ++it) {
      if (it->is_structured()) {
        if (it->empty()) continue;
        out += pad + it.key() + ":\n";
        FieldsText(*it, indent + 2, out);
      } else {
        out += pad + it.key() + ": " + (it->is_string() ? it->get<std::string>() : it->dump()) + "\n";
      }
    }
  } else if (value.is_array()) {
    for (const SiJson& item : value) {
      if (item.is_structured()) {
        std::string inner;
        FieldsText(item, indent + 2, inner);
        if (inner.size() > static_cast<size_t>(indent) + 2) inner.replace(static_cast<size_t>(indent), 2, "- ");
        out += inner;
      } else {
        out += pad + "- " + (item.is_string() ? item.get<std::string>() : item.dump()) + "\n";
      }
    }
  }
}

std::string IntervalText(const SiJson& r) {
  std::string text = Format("%llu times, first at byte %llu", static_cast<unsigned long long>(r["count"].get<uint64_t>()),
                            static_cast<unsigned long long>(r["first_byte_offset"].get<uint64_t>()));
  if (r["min_s"].is_number())
    text += Format(", every %.3f s (%.3f-%.3f s)", r["mean_s"].get<double>(), r["min_s"].get<double>(), r["max_s"].get<double>());
  else if (r["min_bytes"].is_number())
    text += Format(", every %.0f bytes (%llu-%llu)", r["mean_bytes"].get<double>(),
                   static_cast<unsigned long long>(r["min_bytes"].get<uint64_t>()),
                   static_cast<unsigned long long>(r["max_bytes"].get<uint64_t>()));
  return text;
}

std::string XmlEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    // Nor U+FFFE and U+FFFF (UTF-8 EF BF BE, EF BF BF): U+FFFD instead.
    if (c == 0xEF && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0xBF &&
        (static_cast<unsigned char>(text[i + 2]) & 0xFE) == 0xBE) {
      out += "\xEF\xBF\xBD";
      i += 2;
      continue;
    }
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default:
        // XML 1.0 allows no other C0 controls.
        if (c < 0x20 && c != '\n' && c != '\t') out += ' ';
        else out += static_cast<char>(c);
    }
  }
  return out;
}

std::string XmltvTime(int64_t t) {
  const std::string iso = UtcText(t);  // 2026-12-07T21:00:00Z
  return iso.substr(0, 4) + iso.substr(5, 2) + iso.substr(8, 2) + iso.substr(11, 2) + iso.substr(14, 2) + iso.substr(17, 2) +
         " +0000";
}

std::string LangAttribute(const std::string& language) {
  return language.empty() || language.find('?') != std::string::npos ? "" : " lang=\"" + XmlEscape(language) + "\"";
}

}  // namespace

SiJson SiNetworkJson(const SiReport& report) {
  return {{"network_id", Optional(report.NetworkId())}, {"name", Optional(report.NetworkName())}};
}

SiJson SiServicesArrayJson(const SiReport& report) {
  SiJson services = SiJson::array();
  for (const SiService& s : report.Services()) {
    SiJson streams = SiJson::array();
    for (const SiStream& st : s.streams) {
      const EsInfo& e = st.es;
      streams.push_back({{"pid", st.pid},
                         {"stream_type", st.streamType},
                         {"kind", st.kind},
                         {"codec", e.found ? SiJson(e.codec) : SiJson(nullptr)},
                         {"profile", e.profile.empty() ? SiJson(nullptr) : SiJson(e.profile)},
                         {"level", e.level.empty() ? SiJson(nullptr) : SiJson(e.level)},
                         {"width", e.width > 0 ? SiJson(e.width) : SiJson(nullptr)},
                         {"height", e.height > 0 ? SiJson(e.height) : SiJson(nullptr)},
                         {"frame_rate", e.frameRate > 0 ? SiJson(e.frameRate) : SiJson(nullptr)},
                         {"interlaced", e.width > 0 ? SiJson(e.interlaced) : SiJson(nullptr)},
                         {"aspect_ratio", e.aspectRatio.empty() ? SiJson(nullptr) : SiJson(e.aspectRatio)},
                         {"channels", e.channels > 0 ? SiJson(e.channels) : SiJson(nullptr)},
                         {"channel_layout", e.channelLayout.empty() ? SiJson(nullptr) : SiJson(e.channelLayout)},
                         {"sample_rate", e.sampleRate > 0 ? SiJson(e.sampleRate) : SiJson(nullptr)},
                         {"bit_rate", e.bitRate > 0 ? SiJson(e.bitRate) : SiJson(nullptr)},
                         {"languages", st.languages},
                         {"bitrate_bps", Optional(st.bitrateBps)}});
    }
    SiJson ca = SiJson::array();
    for (const auto& [system, pid] : s.caSystems) ca.push_back({{"ca_system_id", system}, {"ca_pid", pid}});
    services.push_back({{"service_id", s.serviceId},
                        {"name", s.name},
                        {"provider", s.provider},
                        {"service_type", IntOrNull(s.serviceType)},
                        {"transport_stream_id", IntOrNull(s.transportStreamId)},
                        {"original_network_id", IntOrNull(s.originalNetworkId)},
                        {"logical_channel_number", Optional(s.logicalChannel)},
                        {"logical_channel_visible", Optional(s.logicalChannelVisible)},
                        {"major_channel_number", Optional(s.majorChannel)},
                        {"minor_channel_number", Optional(s.minorChannel)},
                        {"source_id", Optional(s.sourceId)},
                        {"pmt_pid", IntOrNull(s.pmtPid)},
                        {"pcr_pid", IntOrNull(s.pcrPid)},
                        {"in_pat", s.inPat},
                        {"scrambled", s.scrambled},
                        {"ca_systems", ca},
                        {"bitrate_bps", Optional(s.bitrateBps)},
                        {"streams", streams}});
  }
  return services;
}

std::string SiServicesJson(const SiReport& report, const SiOutputSource& source) {
  SiJson j = Header(report, source);
  j["network"] = SiNetworkJson(report);
  j["services"] = SiServicesArrayJson(report);
  return Document(j);
}

std::string SiServicesText(const SiReport& report, const SiOutputSource& source) {
  return HeaderText(report, source) + SiServicesListText(report);
}

std::string SiServicesListText(const SiReport& report) {
  std::string text;
  if (report.NetworkName() || report.NetworkId())
    text += "Network: " + report.NetworkName().value_or("") +
            (report.NetworkId() ? Format(" (network_id %d)", *report.NetworkId()) : "") + "\n";
  text += Format("%zu services\n", report.Services().size());
  for (const SiService& s : report.Services()) {
    text += "\nService " + std::to_string(s.serviceId);
    if (s.majorChannel) text += Format(" (channel %d.%d)", *s.majorChannel, s.minorChannel.value_or(0));
    if (s.logicalChannel) text += Format(" (LCN %d%s)", *s.logicalChannel, s.logicalChannelVisible.value_or(true) ? "" : ", hidden");
    text += ": \"" + s.name + "\"";
    if (!s.provider.empty()) text += " from \"" + s.provider + "\"";
    if (s.serviceType >= 0) text += Format(", service_type 0x%02X", s.serviceType);
    text += "\n  ";
    if (s.pmtPid >= 0) text += "PMT " + Hex4(s.pmtPid);
    else text += "not in the PAT";
    if (s.pcrPid >= 0) text += ", PCR " + Hex4(s.pcrPid);
    if (s.bitrateBps) text += ", " + Rate(*s.bitrateBps);
    if (s.scrambled) {
      text += ", scrambled";
      for (const auto& [system, pid] : s.caSystems) text += Format(" (CA system 0x%04X on PID 0x%04X)", system, pid);
    }
    text += "\n";
    for (const SiStream& st : s.streams) {
      text += Format("  %s %-9s stream_type 0x%02X", Hex4(st.pid).c_str(), st.kind.c_str(), st.streamType);
      const std::string es = EsSummary(st);
      if (!es.empty()) text += "  " + es;
      if (!st.languages.empty()) {
        text += "  [";
        for (size_t i = 0; i < st.languages.size(); ++i) text += (i ? ", " : "") + st.languages[i];
        text += "]";
      }
      if (st.bitrateBps) text += "  " + Rate(*st.bitrateBps);
      text += "\n";
    }
  }
  return text;
}

std::string SiTablesJson(const SiReport& report, const SiOutputSource& source, int pid, int tableId) {
  SiJson j = Header(report, source);
  j["tables"] = report.TablesJson(pid, tableId);
  return Document(j);
}

std::string SiTablesText(const SiReport& report, const SiOutputSource& source, int pid, int tableId) {
  std::string text = HeaderText(report, source);
  const SiJson tables = report.TablesJson(pid, tableId);
  text += Format("%zu tables\n", tables.size());
  for (const SiJson& t : tables) {
    text += Format("\nPID 0x%04X, table_id 0x%02X %s", t["pid"].get<int>(), t["table_id"].get<int>(),
                   t["table"].get<std::string>().c_str());
    if (t["table_id_extension"].is_number()) text += Format(", table_id_extension 0x%04X", t["table_id_extension"].get<int>());
    if (t.contains("transport_stream_id")) text += Format(", transport_stream_id 0x%04X", t["transport_stream_id"].get<int>());
    if (t.contains("original_network_id")) text += Format(", original_network_id 0x%04X", t["original_network_id"].get<int>());
    text += ": " + IntervalText(t["repetition"]) + "\n";
    for (const SiJson& s : t["sections"]) {
      text += "  ";
      if (s["version"].is_number())
        text += Format("version %d, section %d of %d%s: ", s["version"].get<int>(), s["section_number"].get<int>(),
                       s["last_section_number"].get<int>(), s["current"].get<bool>() ? "" : " (next)");
      text += IntervalText(s["repetition"]);
      if (s["content_changes"].get<uint64_t>() > 0)
        text += Format(", %llu times with other content under the same version",
                       static_cast<unsigned long long>(s["content_changes"].get<uint64_t>()));
      text += "\n";
      FieldsText(s["fields"], 4, text);
    }
  }
  return text;
}

std::string SiEpgJson(const SiReport& report, const SiOutputSource& source) {
  SiJson j = Header(report, source);
  SiJson channels = SiJson::array();
  for (const SiGuideChannel& c : report.Guide()) {
    SiJson events = SiJson::array();
    for (const SiEvent& e : c.events)
      events.push_back({{"event_id", e.eventId},
                        {"start_utc", UtcText(e.startUtc)},
                        {"stop_utc", e.durationS ? SiJson(UtcText(e.startUtc + *e.durationS)) : SiJson(nullptr)},
                        {"duration_s", Optional(e.durationS)},
                        {"title", e.title},
                        {"short_text", e.shortText},
                        {"description", e.description},
                        {"language", e.language},
                        {"genres", e.genres},
                        {"minimum_age", Optional(e.minimumAge)},
                        {"running_status", e.runningStatus}});
    channels.push_back({{"id", c.id},
                        {"name", c.name},
                        {"service_id", IntOrNull(c.serviceId)},
                        {"source_id", IntOrNull(c.sourceId)},
                        {"transport_stream_id", IntOrNull(c.transportStreamId)},
                        {"original_network_id", IntOrNull(c.originalNetworkId)},
                        {"events", events}});
  }
  j["channels"] = channels;
  return Document(j);
}

std::string SiEpgText(const SiReport& report, const SiOutputSource& source) {
  std::string text = HeaderText(report, source);
  const std::vector<SiGuideChannel> guide = report.Guide();
  size_t events = 0;
  for (const SiGuideChannel& c : guide) events += c.events.size();
  text += Format("%zu channels, %zu events (times in UTC)\n", guide.size(), events);
  for (const SiGuideChannel& c : guide) {
    text += "\n" + c.id + (c.name.empty() ? "" : " \"" + c.name + "\"") + "\n";
    for (const SiEvent& e : c.events) {
      const std::string start = UtcText(e.startUtc);
      text += "  " + start.substr(0, 10) + " " + start.substr(11, 5) +
              (e.durationS ? Format(" %4lld min  ", static_cast<long long>((*e.durationS + 30) / 60)) : std::string("    ? min  ")) +
              e.title;
      if (!e.genres.empty()) text += "  [" + e.genres.front() + "]";
      if (e.minimumAge) text += Format("  (%d+)", *e.minimumAge);
      text += "\n";
      // One line each, under the event.
      for (std::string line : {e.shortText, e.description}) {
        if (line.empty()) continue;
        for (char& ch : line)
          if (ch == '\n') ch = ' ';
        text += "      " + line + "\n";
      }
    }
  }
  return text;
}

std::string SiEpgXmltv(const SiReport& report) {
  std::string x = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE tv SYSTEM \"xmltv.dtd\">\n"
                  "<tv generator-info-name=\"vantrel-cli\">\n";
  const std::vector<SiGuideChannel> guide = report.Guide();
  for (const SiGuideChannel& c : guide) {
    x += "  <channel id=\"" + XmlEscape(c.id) + "\">\n";
    x += "    <display-name>" + XmlEscape(c.name.empty() ? c.id : c.name) + "</display-name>\n";
    x += "  </channel>\n";
  }
  for (const SiGuideChannel& c : guide) {
    for (const SiEvent& e : c.events) {
      const std::string lang = LangAttribute(e.language);
      x += "  <programme start=\"" + XmltvTime(e.startUtc) +
           (e.durationS ? "\" stop=\"" + XmltvTime(e.startUtc + *e.durationS) : std::string()) +
           "\" channel=\"" + XmlEscape(c.id) + "\">\n";
      x += "    <title" + lang + ">" + XmlEscape(e.title) + "</title>\n";
      if (!e.shortText.empty()) x += "    <sub-title" + lang + ">" + XmlEscape(e.shortText) + "</sub-title>\n";
      if (!e.description.empty()) x += "    <desc" + lang + ">" + XmlEscape(e.description) + "</desc>\n";
      for (const std::string& genre : e.genres) x += "    <category lang=\"en\">" + XmlEscape(genre) + "</category>\n";
      if (e.minimumAge) x += Format("    <rating system=\"DVB\">\n      <value>%d</value>\n    </rating>\n", *e.minimumAge);
      x += "  </programme>\n";
    }
  }
  x += "</tv>\n";
  return x;
}

std::string SiAnalyzeJson(const HealthResult& result, const SiReport& report) {
  nlohmann::ordered_json j = nlohmann::ordered_json::parse(HealthJson(result));
  j["network"] = SiNetworkJson(report);
  j["services"] = SiServicesArrayJson(report);
  return Document(j);
}

std::string SiAnalyzeText(const HealthResult& result, const SiReport& report) {
  return HealthText(result) + SiRepetitionText(result) + "\nServices: " + SiServicesListText(report);
}
