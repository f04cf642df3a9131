// What the service information says, joined: one row per service (PAT, PMT,
// SDT or VCT, NIT, and what each stream carries), the programme guide (EIT,
// ATSC EIT/ETT), every table version with its repetition, and the stream's
// UTC time (TDT/TOT or STT). Built once the stream was read.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "analysis/health/stream_health.h"
#include "analysis/si/es_probe.h"
#include "analysis/si/si_collector.h"
#include "analysis/si/si_tables.h"

enum class SiKind { None, Dvb, Atsc };
const char* SiKindName(SiKind kind);  // "none", "dvb", "atsc"

struct SiStream {
  int pid = 0;
  int streamType = 0;
  std::string kind;  // "video", "audio", "subtitles", "teletext", "captions", "splice", "data", "other"
  EsInfo es;         // es.found false: the header was not read
  std::vector<std::string> languages;
  std::optional<double> bitrateBps;
};

struct SiService {
  int serviceId = 0;                 // program_number
  int pmtPid = -1;
  int pcrPid = -1;
  int transportStreamId = -1;
  int originalNetworkId = -1;
  std::string name;                  // SDT service name, or the VCT's (extended) channel name
  std::string provider;
  int serviceType = -1;              // SDT service_type, or ATSC service_type
  std::optional<int> logicalChannel;  // from the NIT (EACEM or NorDig)
  std::optional<bool> logicalChannelVisible;
  std::optional<int> majorChannel;   // ATSC
  std::optional<int> minorChannel;
  std::optional<int> sourceId;       // ATSC, links the guide
  bool inPat = false;
  bool scrambled = false;            // free_CA_mode, access_controlled, or CA descriptors
  std::vector<std::pair<int, int>> caSystems;  // CA_system_id, CA_PID
  std::optional<double> bitrateBps;  // PMT, streams and PCR PIDs together
  std::vector<SiStream> streams;
};

struct SiEvent {
  int eventId = 0;
  int64_t startUtc = 0;
  std::optional<int64_t> durationS;  // none: undefined or not valid BCD
  std::string title;
  std::string shortText;    // DVB short event text
  std::string description;  // extended event text, or the ATSC ETT
  std::string language;
  std::vector<std::string> genres;
  std::optional<int> minimumAge;
  int runningStatus = 0;
};

struct SiGuideChannel {
  std::string id;       // "onid.tsid.sid.dvb" or "major-minor.atsc" (XMLTV channel id)
  int serviceId = -1;   // DVB service_id / ATSC program_number
  int sourceId = -1;    // ATSC
  int transportStreamId = -1;
  int originalNetworkId = -1;
  std::string name;
  std::vector<SiEvent> events;  // by start time, each event once
};

struct SiTimeSpan {
  std::optional<int64_t> firstUtc;  // the first and last time the stream told
  std::optional<int64_t> lastUtc;
  std::string source;               // "TDT", "TOT", "STT" or empty
};

class SiReport {
public:
  SiReport(const SiCollector& collector, const HealthResult& health);

  SiKind Kind() const { return kind_; }
  const SiDecodeContext& Context() const { return context_; }
  const SiTimeSpan& Time() const { return time_; }
  const std::vector<SiService>& Services() const { return services_; }
  std::optional<std::string> NetworkName() const { return networkName_; }
  std::optional<int> NetworkId() const { return networkId_; }
  std::vector<SiGuideChannel> Guide() const;
  // Every kept section version, decoded; pid / tableId < 0: all.
  SiJson TablesJson(int pid = -1, int tableId = -1) const;

private:
  // The decoded latest current version of each section, per table.
  const SiJson& Decoded(const SiSection* section) const;
  std::vector<const SiSection*> Latest(int tableIdFrom, int tableIdTo, int pid = -1) const;
  void BuildServices();
  void BuildDvbGuide(std::map<std::string, SiGuideChannel>& channels) const;
  void BuildAtscGuide(std::map<std::string, SiGuideChannel>& channels) const;

  const SiCollector& collector_;
  const HealthResult& health_;
  std::vector<const SiSection*> sections_;
  mutable std::map<const SiSection*, SiJson> decoded_;
  SiKind kind_ = SiKind::None;
  SiDecodeContext context_;
  SiTimeSpan time_;
  std::vector<SiService> services_;
  std::optional<std::string> networkName_;
  std::optional<int> networkId_;
};
