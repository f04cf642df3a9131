#include "capture/scan/scan_json.h"

namespace {

using Json = nlohmann::ordered_json;

template <typename T>
Json OrNull(const std::optional<T>& value) {
  return value ? Json(*value) : Json(nullptr);
}

Json IdOrNull(int value) { return value >= 0 ? Json(value) : Json(nullptr); }

Json TextOrNull(const std::string& text) { return text.empty() ? Json(nullptr) : Json(text); }

Json ServiceJson(const ScanService& s) {
  Json ca = Json::array();
  for (const auto& [system, pid] : s.caSystems) ca.push_back({{"ca_system_id", system}, {"ca_pid", pid}});
  Json streams = Json::array();
  for (const ScanStream& stream : s.streams)
    streams.push_back({{"pid", stream.pid},
                       {"stream_type", stream.streamType},
                       {"kind", stream.kind},
                       {"language", TextOrNull(stream.language)}});
  return {{"service_id", s.serviceId},
          {"name", s.name},
          {"provider", s.provider},
          {"service_type", IdOrNull(s.serviceType)},
          {"lcn", OrNull(s.logicalChannel)},
          {"major_channel", OrNull(s.majorChannel)},
          {"minor_channel", OrNull(s.minorChannel)},
          {"pmt_pid", IdOrNull(s.pmtPid)},
          {"pcr_pid", IdOrNull(s.pcrPid)},
          {"scrambled", s.scrambled},
          {"ca_systems", ca},
          {"streams", streams}};
}

Json TransponderJson(const ScanTransponder& t) {
  const ScanTuning& tuning = t.tuning;
  const bool satellite = tuning.family == TunerFamily::Satellite;
  const bool cable = tuning.family == TunerFamily::Cable;
  Json services = Json::array();
  for (const ScanService& s : t.services) services.push_back(ServiceJson(s));
  return {{"source", ScanSourceName(tuning.source)},
          {"frequency", tuning.frequency},
          {"frequency_unit", satellite ? "MHz" : "kHz"},
          {"bandwidth_mhz", !satellite && !cable ? Json(tuning.bandwidthMHz) : Json(nullptr)},
          {"symbol_rate_ksps", satellite || cable ? Json(tuning.symbolRateK) : Json(nullptr)},
          {"qam", cable ? Json(tuning.qamOrder) : Json(nullptr)},
          {"polarization", satellite ? Json(tuning.horizontal ? "H" : "V") : Json(nullptr)},
          {"inversion", satellite ? Json(tuning.inversion) : Json(nullptr)},
          {"outcome", ScanOutcomeName(t.outcome)},
          {"reason", TextOrNull(t.reason)},
          {"locked", t.locked},
          {"strength", OrNull(t.strength)},
          {"quality", OrNull(t.quality)},
          {"transport_stream_id", IdOrNull(t.transportStreamId)},
          {"original_network_id", IdOrNull(t.originalNetworkId)},
          {"network_id", IdOrNull(t.networkId)},
          {"network_name", TextOrNull(t.networkName)},
          {"si", t.outcome == ScanOutcome::Found ? Json(t.atsc ? "atsc" : "dvb") : Json(nullptr)},
          {"lock_ms", t.lockMs},
          {"tables_ms", t.tablesMs},
          {"services", services}};
}

}  // namespace

const char* TunerFamilyName(TunerFamily family) {
  switch (family) {
    case TunerFamily::Satellite: return "satellite";
    case TunerFamily::Cable: return "cable";
    case TunerFamily::Terrestrial: return "terrestrial";
    case TunerFamily::None: break;
  }
  return "none";
}

nlohmann::ordered_json ScanResultJson(const ScanResult& result, TunerFamily family) {
  Json transponders = Json::array();
  for (const ScanTransponder& t : result.transponders) transponders.push_back(TransponderJson(t));
  return {{"family", TunerFamilyName(family)},
          {"elapsed_ms", result.elapsedMs},
          {"cancelled", result.cancelled},
          {"box_failed", result.boxFailed},
          {"transponder_count", result.transponders.size()},
          {"service_count", result.ServiceCount()},
          {"transponders", transponders}};
}

std::string ScanJsonSchemaText() {
  return "JSON layout (--json), every key always present, null where unknown or not applicable:\n"
         "{ \"family\": \"satellite\"|\"cable\"|\"terrestrial\", \"elapsed_ms\": N, \"cancelled\": BOOL,\n"
         "  \"box_failed\": BOOL, \"transponder_count\": N, \"service_count\": N,\n"
         "  \"transponders\": [ { \"source\": \"plan\"|\"list\"|\"range\"|\"network\",\n"
         "    \"frequency\": N, \"frequency_unit\": \"MHz\" (satellite) | \"kHz\",\n"
         "    \"bandwidth_mhz\": N|null, \"symbol_rate_ksps\": N|null, \"qam\": N|null,\n"
         "    \"polarization\": \"H\"|\"V\"|null, \"inversion\": BOOL|null,\n"
         "    \"outcome\": \"found\"|\"no_lock\"|\"no_tables\"|\"tune_failed\"|\"box_failed\"|\"cancelled\",\n"
         "    \"reason\": TEXT|null (what failed, or which tables did not come in time),\n"
         "    \"locked\": BOOL, \"strength\": PERCENT|null, \"quality\": PERCENT|null,\n"
         "    \"transport_stream_id\": N|null, \"original_network_id\": N|null, \"network_id\": N|null,\n"
         "    \"network_name\": TEXT|null, \"si\": \"dvb\"|\"atsc\"|null,\n"
         "    \"lock_ms\": N (tune and lock wait), \"tables_ms\": N (table wait),\n"
         "    \"services\": [ { \"service_id\": N, \"name\": TEXT, \"provider\": TEXT,\n"
         "      \"service_type\": N|null, \"lcn\": N|null, \"major_channel\": N|null, \"minor_channel\": N|null,\n"
         "      \"pmt_pid\": N|null, \"pcr_pid\": N|null, \"scrambled\": BOOL,\n"
         "      \"ca_systems\": [ { \"ca_system_id\": N, \"ca_pid\": N } ],\n"
         "      \"streams\": [ { \"pid\": N, \"stream_type\": N, \"kind\": TEXT, \"language\": TEXT|null } ] } ] } ] }\n";
}
