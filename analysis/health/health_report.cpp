#include "analysis/health/health_report.h"

#include <cinttypes>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "analysis/engine/dvb_text.h"
#include "analysis/health/health_checks.h"
#include "platform/ui_hooks.h"

namespace {

using Json = nlohmann::ordered_json;

template <typename T>
Json OrNull(const std::optional<T>& value) {
  return value ? Json(*value) : Json(nullptr);
}

template <typename... Args>
std::string Format(const char* format, Args... args) {
  char text[512];
  std::snprintf(text, sizeof text, format, args...);
  return text;
}

const char* VerdictKey(HealthVerdict verdict) {
  switch (verdict) {
    case HealthVerdict::NoStream: return "no_stream";
    case HealthVerdict::Errors: return "errors";
    case HealthVerdict::NotEvaluated: return "not_evaluated";
    case HealthVerdict::NoErrors: return "no_errors";
  }
  return "";
}

const char* SiStandardKey(SiStandard standard) {
  switch (standard) {
    case SiStandard::Dvb: return "dvb";
    case SiStandard::Atsc: return "atsc";
    case SiStandard::None: break;
    case SiStandard::Auto: break;
  }
  return "none";
}

bool IsPriority3(size_t c) { return GetHealthCheckInfo(static_cast<HealthCheck>(c)).priority == 3; }

std::string Reason(const HealthCheckResult& result) {
  return FillTemplate(result.notEvaluatedTemplate, result.notEvaluatedValues);
}

std::string Rate(const std::optional<double>& bps) {
  if (!bps) return "unknown";
  return Format("%.0f bit/s (%.3f Mbit/s)", *bps, *bps / 1e6);
}

// The check table's rows for priorities 1 and 2, or for priority 3.
std::string ChecksText(const HealthResult& r, bool priority3) {
  std::string t;
  for (size_t c = 0; c < kHealthCheckCount; ++c) {
    if (IsPriority3(c) != priority3) continue;
    const HealthCheckInfo& info = GetHealthCheckInfo(static_cast<HealthCheck>(c));
    const HealthCheckResult& result = r.checks[c];
    std::string name = Format("%-5s%s", info.number, info.name);
    if (!result.evaluated) {
      t += Format("%-40s  not evaluated: %s\n", name.c_str(), Reason(result).c_str());
      continue;
    }
    t += Format("%-40s %9" PRIu64, name.c_str(), result.count);
    if (!result.first.empty())
      t += Format("  %" PRIu64 "  %s", result.first.front().byteOffset, result.first.front().description.c_str());
    t += "\n";
  }
  return t;
}

}  // namespace

std::string HealthJson(const HealthResult& r, int indent) {
  Json pids = Json::array();
  for (const PidStats& p : r.pids) {
    pids.push_back({
        {"pid", p.pid},
        {"packets", p.packets},
        {"cc_errors", p.ccErrors},
        {"tei_packets", p.teiPackets},
        {"scrambled_packets", p.scrambledPackets},
        {"pcr_count", p.pcrCount},
        {"bitrate_bps", OrNull(p.bitrateBps)},
        {"carries", p.carries},
        {"share", p.share},
        {"duplicates", p.duplicates},
        {"discontinuities", p.discontinuities},
        {"max_pcr_interval_s", OrNull(p.maxPcrIntervalS)},
        {"program", p.program >= 0 ? Json(p.program) : Json(nullptr)},
        {"stream_type", p.streamType >= 0 ? Json(p.streamType) : Json(nullptr)},
    });
  }
  Json programs = Json::array();
  for (const ProgramInfo& program : r.programs) {
    Json streams = Json::array();
    for (const ProgramStreamInfo& s : program.streams)
      streams.push_back({{"pid", s.pid}, {"stream_type", s.streamType}});
    programs.push_back({
        {"program_number", program.programNumber},
        {"pmt_pid", program.pmtPid},
        {"pcr_pid", program.pcrPid >= 0 ? Json(program.pcrPid) : Json(nullptr)},
        {"service_name", DecodeDvbText(program.serviceNameBytes)},
        {"service_name_hex", DvbTextHex(program.serviceNameBytes)},
        {"provider_name", DecodeDvbText(program.providerNameBytes)},
        {"provider_name_hex", DvbTextHex(program.providerNameBytes)},
        {"streams", std::move(streams)},
        {"never_seen_pids", r.NeverSeenPids(program)},
    });
  }
  Json errors = Json::object();
  Json siErrors = Json::object();
  Json checks = Json::array();
  for (size_t c = 0; c < kHealthCheckCount; ++c) {
    const HealthCheckInfo& info = GetHealthCheckInfo(static_cast<HealthCheck>(c));
    const HealthCheckResult& result = r.checks[c];
    (IsPriority3(c) ? siErrors : errors)[info.key] = result.evaluated ? Json(result.count) : Json(nullptr);
    Json first = Json::array();
    if (result.evaluated) {
      for (const HealthOccurrence& o : result.first)
        first.push_back({
            {"packet", o.packetIndex},
            {"offset", o.byteOffset},
            {"pid", o.pid >= 0 ? Json(o.pid) : Json(nullptr)},
            {"time_s", OrNull(o.timeS)},
            {"description", o.description},
        });
    }
    checks.push_back({
        {"number", info.number},
        {"name", info.name},
        {"key", info.key},
        {"count", result.evaluated ? Json(result.count) : Json(nullptr)},
        {"first", std::move(first)},
        {"evaluated", result.evaluated},
        {"not_evaluated_reason", result.evaluated ? Json(nullptr) : Json(Reason(result))},
        {"priority", info.priority},
    });
  }
  Json siTables = Json::array();
  for (const SiTableRepetition& t : r.siTables) {
    const bool timed = t.intervals > 0;
    siTables.push_back({
        {"pid", t.pid},
        {"table_id", t.tableId},
        {"table", health::TableName(t.tableId)},
        {"table_id_extension", t.extension >= 0 ? Json(t.extension) : Json(nullptr)},
        {"count", t.count},
        {"first_offset", t.firstOffset},
        {"min_interval_s", timed ? Json(t.minS) : Json(nullptr)},
        {"mean_interval_s", timed ? Json(t.meanS) : Json(nullptr)},
        {"max_interval_s", timed ? Json(t.maxS) : Json(nullptr)},
    });
  }
  Json segments = Json::array();
  for (const SyncSegment& s : r.syncSegments)
    segments.push_back({{"offset", s.byteOffset}, {"first_packet", s.firstPacket}});
  Json root = {
      {"packet_size", r.packetSize},
      {"packets", r.packets},
      {"bytes", r.bytes},
      {"bitrate_bps", OrNull(r.bitrateBps)},
      {"duration_s", OrNull(r.durationS)},
      {"pids", std::move(pids)},
      {"errors", std::move(errors)},
      {"bytes_skipped", r.bytesSkipped},
      {"truncated_tail_bytes", r.truncatedTailBytes},
      {"pcr_pid", r.pcrPid >= 0 ? Json(r.pcrPid) : Json(nullptr)},
      {"timed_by_arrival_timestamps", r.timedByArrival},
      {"partial", r.partial},
      {"programs", std::move(programs)},
      {"checks", std::move(checks)},
      {"verdict", VerdictKey(r.Verdict())},
      {"sync_segments", std::move(segments)},
      {"si_standard", SiStandardKey(r.siStandard)},
      {"si_errors", std::move(siErrors)},
      {"si_verdict", VerdictKey(r.SiVerdict())},
      {"si_tables", std::move(siTables)},
  };
  return root.dump(indent, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string HealthText(const HealthResult& r) {
  std::string t;
  t += Format("Packet size:  %d bytes%s\n", r.packetSize, r.packetSizeForced ? " (given)" : "");
  t += Format("Packets:      %" PRIu64 "\n", r.packets);
  t += Format("Bytes:        %" PRIu64 " (%" PRIu64 " skipped", r.bytes, r.bytesSkipped);
  if (r.truncatedTailBytes > 0) t += Format(", last packet truncated: %" PRIu64 " bytes", r.truncatedTailBytes);
  t += ")\n";
  t += "Bitrate:      " + (r.bitrateBps ? Rate(r.bitrateBps) : std::string("unknown (no PCR)")) + "\n";
  t += "Duration:     " + (r.durationS ? Format("%.3f s", *r.durationS) : std::string("unknown (no PCR)")) + "\n";
  if (r.timedByArrival)
    t += "Timed by:     arrival timestamps of the 192-byte packets\n";
  else if (r.pcrPid >= 0)
    t += Format("Timed by:     PCRs of PID 0x%04X\n", r.pcrPid);
  t += Format("Programs:     %zu\n", r.programs.size());
  for (const ProgramInfo& p : r.programs) {
    t += Format("  %5d  PMT PID 0x%04X", p.programNumber, p.pmtPid);
    if (p.pcrPid >= 0) t += Format("  PCR PID 0x%04X", p.pcrPid);
    t += Format("  %zu streams", p.streams.size());
    if (!p.serviceNameBytes.empty()) t += "  \"" + DecodeDvbText(p.serviceNameBytes) + "\"";
    t += "\n";
  }
  if (r.partial) t += "Partial:      the input was not read to its end\n";
  t += "\nPID                Packets   Share        Bitrate  CC err   TEI  Scrambled  PCRs  Max PCR ms  Carries\n";
  for (const PidStats& p : r.pids) {
    t += Format("0x%04X (%4d) %12" PRIu64 " %6.2f%% %14s %7" PRIu64 " %5" PRIu64 " %10" PRIu64
                " %5" PRIu64 " %11s  %s\n",
                p.pid, p.pid, p.packets, p.share * 100.0,
                p.bitrateBps ? Format("%.0f", *p.bitrateBps).c_str() : "-", p.ccErrors,
                p.teiPackets, p.scrambledPackets, p.pcrCount,
                p.maxPcrIntervalS ? Format("%.3f", *p.maxPcrIntervalS * 1e3).c_str() : "-",
                p.carries.c_str());
  }
  t += "\nCheck                                        Count  First at offset\n";
  t += ChecksText(r, false);
  // The verdict: never "No errors" while a check could not say.
  std::string notEvaluated;
  for (size_t c = 0; c < kHealthCheckCount; ++c) {
    const HealthCheckResult& result = r.checks[c];
    if (result.evaluated || IsPriority3(c)) continue;
    const HealthCheckInfo& info = GetHealthCheckInfo(static_cast<HealthCheck>(c));
    notEvaluated += Format("  %-5s%s: ", info.number, info.name) + Reason(result) + "\n";
  }
  switch (r.Verdict()) {
    case HealthVerdict::NoStream:
      t += "\nNo packets: nothing was checked\n";
      break;
    case HealthVerdict::Errors:
      t += Format("\n%" PRIu64 " error%s in %d check%s\n", r.TotalErrors(), r.TotalErrors() == 1 ? "" : "s",
                  r.ChecksWithErrors(), r.ChecksWithErrors() == 1 ? "" : "s");
      if (!notEvaluated.empty()) t += "Not evaluated:\n" + notEvaluated;
      break;
    case HealthVerdict::NotEvaluated:
      t += "\nNo errors in the checks evaluated; not evaluated:\n" + notEvaluated;
      break;
    case HealthVerdict::NoErrors:
      t += "\nNo errors\n";
      break;
  }
  std::string neverSeen;
  size_t neverCount = 0;
  for (const ProgramInfo& p : r.programs)
    for (int pid : r.NeverSeenPids(p))
      if (++neverCount <= kNeverSeenListed)
        neverSeen += Format("%s0x%04X (program %d)", neverSeen.empty() ? "" : ", ", pid, p.programNumber);
  if (neverCount > kNeverSeenListed) neverSeen += Format(" and %zu more", neverCount - kNeverSeenListed);
  if (!neverSeen.empty()) t += "Named by a PMT but never seen: " + neverSeen + "\n";
  if (r.packets > 0) t += SiChecksText(r);
  return t;
}

std::string SiChecksText(const HealthResult& r) {
  std::string t = "\nService information (priority 3, judged apart): ";
  t += r.siStandard == SiStandard::Dvb ? "DVB SI" : r.siStandard == SiStandard::Atsc ? "ATSC PSIP" : "none";
  t += "\nCheck                                        Count  First at offset\n";
  t += ChecksText(r, true);
  switch (r.SiVerdict()) {
    case HealthVerdict::NoStream: break;
    case HealthVerdict::Errors:
      t += Format("%" PRIu64 " priority 3 errors in %d checks\n", r.SiTotalErrors(), r.SiChecksWithErrors());
      break;
    case HealthVerdict::NotEvaluated:
      t += "No priority 3 errors in the checks evaluated\n";
      break;
    case HealthVerdict::NoErrors:
      t += "No priority 3 errors\n";
      break;
  }
  return t;
}

std::string SiRepetitionText(const HealthResult& r) {
  std::string t = "\nSI repetition (stream clock)\nPID     Table                          Extension     Count   Min ms  Mean ms   Max ms\n";
  for (const SiTableRepetition& s : r.siTables) {
    const std::string extension = s.extension >= 0 ? Format("0x%04X", s.extension) : "-";
    t += Format("0x%04X  %-30s %-9s %9" PRIu64, s.pid, health::TableName(s.tableId).c_str(), extension.c_str(), s.count);
    if (s.intervals > 0)
      t += Format(" %8.1f %8.1f %8.1f", s.minS * 1e3, s.meanS * 1e3, s.maxS * 1e3);
    else
      t += Format(" %8s %8s %8s", "-", "-", "-");
    t += "\n";
  }
  return t;
}

const char* HealthVerdictKey(HealthVerdict verdict) { return VerdictKey(verdict); }
