#include "analysis/si/si_report.h"

#include <algorithm>
#include <set>
#include <tuple>

#include "platform/utc_time.h"

namespace {

constexpr int kAtscBasePid = 0x1FFB;

// A member that is an array or object, or an empty array when missing.
const SiJson& Field(const SiJson& j, const char* key) {
  static const SiJson kEmpty = SiJson::array();
  if (!j.is_object()) return kEmpty;
  auto it = j.find(key);
  return it != j.end() ? *it : kEmpty;
}

// The descriptors of `list` with `tag`.
std::vector<const SiJson*> WithTag(const SiJson& list, int tag) {
  std::vector<const SiJson*> out;
  if (!list.is_array()) return out;
  for (const SiJson& d : list)
    if (d.value("tag", -1) == tag && !d.contains("hex")) out.push_back(&d);
  return out;
}

void AddLanguage(std::vector<std::string>& languages, const std::string& language) {
  if (!language.empty() && std::find(languages.begin(), languages.end(), language) == languages.end())
    languages.push_back(language);
}

std::string StreamKind(int type, const SiJson& descriptors) {
  if (IsVideoStreamType(type)) return "video";
  if (IsAudioStreamType(type)) return "audio";
  if (type == 0x86) return "splice";
  if (type == 0x06) {
    // AC-3, E-AC-3, AAC, DTS (whose fields are not decoded: its tag says
    // enough); AC-4, DTS-HD and DTS-UHD in extension descriptors.
    for (int tag : {0x6A, 0x7A, 0x7C})
      if (!WithTag(descriptors, tag).empty()) return "audio";
    if (descriptors.is_array())
      for (const SiJson& d : descriptors)
        if (d.value("tag", -1) == 0x7B) return "audio";
    for (const SiJson* d : WithTag(descriptors, 0x7F))
      for (int extension : {0x0E, 0x15, 0x21})
        if (d->value("tag_extension", -1) == extension) return "audio";
    if (!WithTag(descriptors, 0x59).empty()) return "subtitles";
    if (!WithTag(descriptors, 0x56).empty() || !WithTag(descriptors, 0x46).empty()) return "teletext";
    return "data";
  }
  if (type == 0x05 || (type >= 0x0A && type <= 0x0D) || type == 0x15) return "data";
  return "other";
}

// Seconds on the stream clock, as the engine timed each occurrence.
SiJson Intervals(const SiIntervals& i) {
  SiJson j = {{"count", i.count}, {"first_byte_offset", i.firstOffset}};
  if (i.count >= 2) {
    j["min_bytes"] = i.minBytes;
    j["mean_bytes"] = i.MeanBytes();
    j["max_bytes"] = i.maxBytes;
  } else {
    for (const char* key : {"min_bytes", "mean_bytes", "max_bytes"}) j[key] = nullptr;
  }
  const bool timed = i.timedIntervals > 0;
  j["min_s"] = timed ? SiJson(i.minS) : SiJson(nullptr);
  j["mean_s"] = timed ? SiJson(i.MeanS()) : SiJson(nullptr);
  j["max_s"] = timed ? SiJson(i.maxS) : SiJson(nullptr);
  return j;
}

std::optional<int64_t> TimeOf(const SiJson& decoded, const char* key) {
  if (!decoded.contains(key) || !decoded[key].is_string()) return std::nullopt;
  // "YYYY-MM-DDTHH:MM:SSZ" back to seconds.
  const std::string text = decoded[key].get<std::string>();
  return ParseUtcText(text);
}

}  // namespace

const char* SiKindName(SiKind kind) {
  switch (kind) {
    case SiKind::Dvb: return "dvb";
    case SiKind::Atsc: return "atsc";
    case SiKind::None: break;
  }
  return "none";
}

SiReport::SiReport(const SiCollector& collector, const HealthResult& health) : collector_(collector), health_(health) {
  sections_ = collector.Sections();
  bool atsc = false, dvb = false;
  for (const auto& [pid, tables] : collector.TablesPerPid()) {
    for (int tableId : tables) {
      if (pid == kAtscBasePid && tableId >= 0xC7 && tableId <= 0xCD) atsc = true;
      if (pid >= 0x10 && pid <= 0x14 && tableId >= 0x40 && tableId <= 0x7F) dvb = true;
    }
  }
  kind_ = atsc ? SiKind::Atsc : dvb ? SiKind::Dvb : SiKind::None;
  context_.atsc = atsc;
  // The STT's offset applies to the ATSC times.
  for (const SiSection* s : Latest(0xCD, 0xCD, kAtscBasePid)) {
    const SiJson& stt = Decoded(s);
    context_.gpsUtcOffsetS = stt.value("gps_utc_offset", 0);
  }
  decoded_.clear();  // decoded again with the right context

  // The stream's clock: TDT, else TOT, else STT.
  for (auto [tableId, name] : {std::pair{0x70, "TDT"}, std::pair{0x73, "TOT"}, std::pair{0xCD, "STT"}}) {
    for (const SiSection* s : sections_) {
      if (s->tableId != tableId || s->bytes.empty()) continue;
      SiSection first = *s;
      if (!s->firstBytes.empty()) first.bytes = s->firstBytes;
      const auto from = TimeOf(DecodeSiSection(first, context_), "utc");
      const auto to = TimeOf(Decoded(s), "utc");
      if (!from && !to) continue;
      if (from && (!time_.firstUtc || *from < *time_.firstUtc)) time_.firstUtc = from;
      if (to && (!time_.lastUtc || *to > *time_.lastUtc)) time_.lastUtc = to;
      time_.source = name;
    }
    if (!time_.source.empty()) break;
  }
  BuildServices();
}

const SiJson& SiReport::Decoded(const SiSection* section) const {
  auto it = decoded_.find(section);
  if (it == decoded_.end()) it = decoded_.emplace(section, DecodeSiSection(*section, context_)).first;
  return it->second;
}

std::vector<const SiSection*> SiReport::Latest(int from, int to, int pid) const {
  // Per table, the sections of one version: a new version replaces the whole
  // table, and a receiver takes it once all its sections came. So the latest
  // version complete in the stream, else the latest seen. An EIT schedule
  // is sent in segments over minutes, its sections numbered with gaps: of
  // each section, the latest copy of any version.
  struct Version {
    uint64_t lastOffset = 0;
    int lastSection = -1;
    std::map<int, const SiSection*> sections;  // by section_number
    bool Complete() const {
      return lastSection < 0 || (static_cast<int>(sections.size()) == lastSection + 1 &&
                                 sections.begin()->first == 0 && sections.rbegin()->first == lastSection);
    }
  };
  std::map<std::tuple<int, int, int, int64_t>, std::map<int, Version>> tables;
  for (const SiSection* s : sections_) {
    if (s->tableId < from || s->tableId > to || (pid >= 0 && s->pid != pid) || !s->current || s->bytes.empty()) continue;
    const bool schedule = s->tableId >= 0x50 && s->tableId <= 0x6F;
    Version& v = tables[std::make_tuple(s->pid, s->tableId, s->extension, s->network)][schedule ? 0 : s->version];
    v.lastOffset = std::max(v.lastOffset, s->repeats.lastOffset);
    v.lastSection = std::max(v.lastSection, s->lastSectionNumber);
    const SiSection*& kept = v.sections[s->sectionNumber];
    if (!kept || s->repeats.lastOffset > kept->repeats.lastOffset) kept = s;
  }
  std::vector<const SiSection*> out;
  for (const auto& [key, versions] : tables) {
    const Version* chosen = nullptr;
    for (const bool complete : {true, false}) {
      for (const auto& [number, v] : versions)
        if ((!complete || v.Complete()) && (!chosen || v.lastOffset > chosen->lastOffset)) chosen = &v;
      if (chosen) break;
    }
    for (const auto& [number, s] : chosen->sections) out.push_back(s);
  }
  return out;
}

void SiReport::BuildServices() {
  std::map<int, SiService> services;
  int patTsid = -1;
  for (const SiSection* s : Latest(0x00, 0x00, 0)) {
    const SiJson& pat = Decoded(s);
    patTsid = pat.value("transport_stream_id", -1);
    for (const SiJson& p : Field(pat, "programs")) {
      const int number = p.value("program_number", 0);
      if (number == 0) continue;
      SiService& service = services[number];
      service.serviceId = number;
      service.pmtPid = p.value("pid", -1);
      service.inPat = true;
      service.transportStreamId = patTsid;
    }
  }
  const std::map<int, EsInfo> es = collector_.Streams().Results();
  std::map<int, double> pidBitrate;
  for (const PidStats& p : health_.pids)
    if (p.bitrateBps) pidBitrate[p.pid] = *p.bitrateBps;

  for (const SiSection* s : Latest(0x02, 0x02)) {
    auto it = services.find(s->extension);
    if (it == services.end() || it->second.pmtPid != s->pid) continue;
    SiService& service = it->second;
    const SiJson& pmt = Decoded(s);
    service.pcrPid = pmt.value("pcr_pid", -1);
    auto addCa = [&](const SiJson& descriptors) {
      for (const SiJson* ca : WithTag(descriptors, 0x09)) {
        const std::pair<int, int> system{ca->value("ca_system_id", 0), ca->value("ca_pid", 0)};
        if (std::find(service.caSystems.begin(), service.caSystems.end(), system) == service.caSystems.end())
          service.caSystems.push_back(system);
        service.scrambled = true;
      }
    };
    addCa(Field(pmt, "descriptors"));
    service.streams.clear();
    for (const SiJson& e : Field(pmt, "streams")) {
      SiStream stream;
      stream.pid = e.value("pid", 0);
      stream.streamType = e.value("stream_type", 0);
      const SiJson descriptors = Field(e, "descriptors");
      stream.kind = StreamKind(stream.streamType, descriptors);
      auto found = es.find(stream.pid);
      if (found != es.end()) stream.es = found->second;
      if (stream.es.found && stream.kind != "video" && stream.kind != "audio")
        stream.kind = stream.es.width > 0 ? "video" : "audio";
      for (const SiJson* d : WithTag(descriptors, 0x0A))
        for (const SiJson& l : Field(*d, "languages")) AddLanguage(stream.languages, l.value("language", ""));
      for (const SiJson* d : WithTag(descriptors, 0x59))
        for (const SiJson& l : Field(*d, "subtitles")) AddLanguage(stream.languages, l.value("language", ""));
      for (const SiJson* d : WithTag(descriptors, 0x56))
        for (const SiJson& l : Field(*d, "pages")) AddLanguage(stream.languages, l.value("language", ""));
      for (const SiJson* d : WithTag(descriptors, 0x81)) AddLanguage(stream.languages, d->value("language", ""));
      for (const SiJson* d : WithTag(descriptors, 0x86))
        for (const SiJson& l : Field(*d, "services")) AddLanguage(stream.languages, l.value("language", ""));
      addCa(descriptors);
      auto rate = pidBitrate.find(stream.pid);
      if (rate != pidBitrate.end()) stream.bitrateBps = rate->second;
      service.streams.push_back(std::move(stream));
    }
  }

  // SDT actual of this transport stream.
  for (const SiSection* s : Latest(0x42, 0x42, 0x11)) {
    const SiJson& sdt = Decoded(s);
    const int tsid = sdt.value("transport_stream_id", -1);
    if (patTsid >= 0 && tsid != patTsid) continue;
    for (const SiJson& e : Field(sdt, "services")) {
      const int id = e.value("service_id", 0);
      SiService& service = services[id];
      service.serviceId = id;
      service.transportStreamId = tsid;
      service.originalNetworkId = sdt.value("original_network_id", -1);
      if (e.value("free_ca_mode", false)) service.scrambled = true;
      for (const SiJson* d : WithTag(Field(e, "descriptors"), 0x48)) {
        service.name = d->value("service_name", "");
        service.provider = d->value("provider_name", "");
        service.serviceType = d->value("service_type", -1);
      }
    }
  }

  // NIT actual: the network, and logical channel numbers.
  for (const SiSection* s : Latest(0x40, 0x40, 0x10)) {
    const SiJson& nit = Decoded(s);
    networkId_ = nit.value("network_id", -1);
    for (const SiJson* d : WithTag(Field(nit, "descriptors"), 0x40)) networkName_ = d->value("network_name", "");
    for (const SiJson& ts : Field(nit, "transport_streams")) {
      const int tsid = ts.value("transport_stream_id", -1);
      if (patTsid >= 0 && tsid != patTsid) continue;
      // A transport stream is named by its transport_stream_id and
      // original_network_id together: another network's may share the id.
      const int onid = ts.value("original_network_id", -1);
      auto ours = [&](int serviceId) {
        auto it = services.find(serviceId);
        if (it == services.end() || (it->second.originalNetworkId >= 0 && it->second.originalNetworkId != onid))
          return services.end();
        return it;
      };
      for (const SiJson* d : WithTag(Field(ts, "descriptors"), 0x83))
        for (const SiJson& c : Field(*d, "channels")) {
          auto it = ours(c.value("service_id", -1));
          if (it == services.end()) continue;
          it->second.logicalChannel = c.value("logical_channel_number", 0);
          it->second.logicalChannelVisible = c.value("visible", true);
        }
      for (const SiJson* d : WithTag(Field(ts, "descriptors"), 0x41))
        for (const SiJson& e : Field(*d, "services")) {
          auto it = ours(e.value("service_id", -1));
          if (it != services.end() && it->second.serviceType < 0) it->second.serviceType = e.value("service_type", -1);
        }
    }
  }

  // ATSC virtual channels.
  for (const SiSection* s : Latest(0xC8, 0xC9, kAtscBasePid)) {
    const SiJson& vct = Decoded(s);
    for (const SiJson& c : Field(vct, "channels")) {
      const int program = c.value("program_number", 0);
      if (program == 0 || program == 0xFFFF) continue;
      // A channel of another transport stream: its program_number is that stream's.
      if (patTsid >= 0 && c.value("channel_tsid", -1) != patTsid) continue;
      SiService& service = services[program];
      service.serviceId = program;
      service.name = c.value("short_name", "");
      for (const SiJson* d : WithTag(Field(c, "descriptors"), 0xA0)) {
        const SiJson& names = Field(*d, "long_channel_name");
        if (!names.empty() && !names[0].value("text", "").empty()) service.name = names[0].value("text", "");
      }
      service.majorChannel = c.value("major_channel_number", 0);
      service.minorChannel = c.value("minor_channel_number", 0);
      service.sourceId = c.value("source_id", 0);
      service.serviceType = c.value("service_type", -1);
      if (c.value("access_controlled", false)) service.scrambled = true;
      if (service.transportStreamId < 0) service.transportStreamId = c.value("channel_tsid", -1);
    }
  }

  for (auto& [id, service] : services) {
    std::set<int> pids;
    if (service.pmtPid >= 0) pids.insert(service.pmtPid);
    if (service.pcrPid >= 0 && service.pcrPid != 0x1FFF) pids.insert(service.pcrPid);
    for (const SiStream& stream : service.streams) pids.insert(stream.pid);
    double total = 0;
    bool any = false;
    for (int pid : pids) {
      auto rate = pidBitrate.find(pid);
      if (rate == pidBitrate.end()) continue;
      total += rate->second;
      any = true;
    }
    if (any) service.bitrateBps = total;
    services_.push_back(std::move(service));
  }
  if (kind_ == SiKind::Atsc)
    std::stable_sort(services_.begin(), services_.end(), [](const SiService& a, const SiService& b) {
      return std::make_pair(a.majorChannel.value_or(1 << 20), a.minorChannel.value_or(0)) <
             std::make_pair(b.majorChannel.value_or(1 << 20), b.minorChannel.value_or(0));
    });
}

std::vector<SiGuideChannel> SiReport::Guide() const {
  std::map<std::string, SiGuideChannel> channels;
  BuildDvbGuide(channels);
  BuildAtscGuide(channels);
  std::vector<SiGuideChannel> out;
  for (auto& [key, channel] : channels) {
    std::sort(channel.events.begin(), channel.events.end(), [](const SiEvent& a, const SiEvent& b) {
      return std::make_pair(a.startUtc, a.eventId) < std::make_pair(b.startUtc, b.eventId);
    });
    out.push_back(std::move(channel));
  }
  return out;
}

void SiReport::BuildDvbGuide(std::map<std::string, SiGuideChannel>& channels) const {
  // Names of every service an SDT (actual or other) describes.
  std::map<std::tuple<int, int, int>, std::string> names;
  for (const SiSection* s : Latest(0x42, 0x46, 0x11)) {
    if (s->tableId != 0x42 && s->tableId != 0x46) continue;
    const SiJson& sdt = Decoded(s);
    for (const SiJson& e : Field(sdt, "services"))
      for (const SiJson* d : WithTag(Field(e, "descriptors"), 0x48))
        names[{sdt.value("original_network_id", -1), sdt.value("transport_stream_id", -1), e.value("service_id", -1)}] =
            d->value("service_name", "");
  }
  for (const SiSection* s : Latest(0x4E, 0x6F, 0x12)) {
    const SiJson& eit = Decoded(s);
    const int onid = eit.value("original_network_id", -1);
    const int tsid = eit.value("transport_stream_id", -1);
    const int sid = eit.value("service_id", -1);
    const std::string id = std::to_string(onid) + "." + std::to_string(tsid) + "." + std::to_string(sid) + ".dvb";
    SiGuideChannel& channel = channels[id];
    if (channel.id.empty()) {
      channel.id = id;
      channel.serviceId = sid;
      channel.transportStreamId = tsid;
      channel.originalNetworkId = onid;
      auto name = names.find({onid, tsid, sid});
      if (name != names.end()) channel.name = name->second;
    }
    for (const SiJson& e : Field(eit, "events")) {
      const auto start = TimeOf(e, "start_utc");
      if (!start) continue;  // NVOD references and undefined times have no place in a guide
      SiEvent event;
      event.eventId = e.value("event_id", 0);
      event.startUtc = *start;
      if (e["duration_s"].is_number()) event.durationS = e["duration_s"].get<int64_t>();
      event.runningStatus = e.value("running_status", 0);
      const SiJson& descriptors = Field(e, "descriptors");
      for (const SiJson* d : WithTag(descriptors, 0x4D)) {
        if (!event.title.empty()) break;
        event.title = d->value("event_name", "");
        event.shortText = d->value("text", "");
        event.language = d->value("language", "");
      }
      std::vector<const SiJson*> extended = WithTag(descriptors, 0x4E);
      std::stable_sort(extended.begin(), extended.end(), [](const SiJson* a, const SiJson* b) {
        return a->value("descriptor_number", 0) < b->value("descriptor_number", 0);
      });
      std::string items;
      for (const SiJson* d : extended) {
        event.description += d->value("text", "");
        for (const SiJson& item : Field(*d, "items"))
          items += (items.empty() ? "" : "\n") + item.value("description", "") + ": " + item.value("item", "");
      }
      if (!items.empty()) event.description += (event.description.empty() ? "" : "\n") + items;
      for (const SiJson* d : WithTag(descriptors, 0x54))
        for (const SiJson& c : Field(*d, "contents")) {
          const std::string genre = c.value("genre", "");
          if (!genre.empty() && std::find(event.genres.begin(), event.genres.end(), genre) == event.genres.end())
            event.genres.push_back(genre);
        }
      for (const SiJson* d : WithTag(descriptors, 0x55))
        for (const SiJson& r : Field(*d, "ratings"))
          if (!event.minimumAge && r.contains("minimum_age")) event.minimumAge = r["minimum_age"].get<int>();
      // The same event comes in present/following and in schedule sections.
      auto same = std::find_if(channel.events.begin(), channel.events.end(), [&](const SiEvent& other) {
        return other.eventId == event.eventId && other.startUtc == event.startUtc;
      });
      if (same == channel.events.end()) {
        channel.events.push_back(std::move(event));
      } else {
        if (same->title.empty()) same->title = event.title;
        if (same->shortText.empty()) same->shortText = event.shortText;
        if (same->description.empty()) same->description = event.description;
        if (same->genres.empty()) same->genres = event.genres;
        if (!same->minimumAge) same->minimumAge = event.minimumAge;
      }
    }
  }
}

void SiReport::BuildAtscGuide(std::map<std::string, SiGuideChannel>& channels) const {
  if (kind_ != SiKind::Atsc) return;
  std::map<int, const SiService*> bySource;
  for (const SiService& service : services_)
    if (service.sourceId) bySource[*service.sourceId] = &service;
  std::map<uint32_t, std::string> texts;
  for (const SiSection* s : Latest(0xCC, 0xCC)) {
    const SiJson& ett = Decoded(s);
    const SiJson& text = Field(ett, "text");
    if (text.is_array() && !text.empty()) texts[ett.value("etm_id", 0u)] = text[0].value("text", "");
  }
  for (const SiSection* s : Latest(0xCB, 0xCB)) {
    const SiJson& eit = Decoded(s);
    const int source = eit.value("source_id", -1);
    auto service = bySource.find(source);
    std::string id = "source-" + std::to_string(source) + ".atsc";
    if (service != bySource.end())
      id = std::to_string(service->second->majorChannel.value_or(0)) + "-" +
           std::to_string(service->second->minorChannel.value_or(0)) + ".atsc";
    SiGuideChannel& channel = channels[id];
    if (channel.id.empty()) {
      channel.id = id;
      channel.sourceId = source;
      if (service != bySource.end()) {
        channel.name = service->second->name;
        channel.serviceId = service->second->serviceId;
        channel.transportStreamId = service->second->transportStreamId;
      }
    }
    for (const SiJson& e : Field(eit, "events")) {
      SiEvent event;
      event.eventId = e.value("event_id", 0);
      const auto start = TimeOf(e, "start_utc");
      if (!start) continue;
      event.startUtc = *start;
      if (e.contains("duration_s") && e["duration_s"].is_number()) event.durationS = e["duration_s"].get<int64_t>();
      const SiJson& title = Field(e, "title");
      if (title.is_array() && !title.empty()) {
        event.title = title[0].value("text", "");
        event.language = title[0].value("language", "");
      }
      const uint32_t etm = (static_cast<uint32_t>(source) << 16) | (static_cast<uint32_t>(event.eventId) << 2) | 0x2;
      auto text = texts.find(etm);
      if (text != texts.end()) event.description = text->second;
      const bool seen = std::any_of(channel.events.begin(), channel.events.end(), [&](const SiEvent& other) {
        return other.eventId == event.eventId && other.startUtc == event.startUtc;
      });
      if (!seen) channel.events.push_back(std::move(event));
    }
  }
}

SiJson SiReport::TablesJson(int pid, int tableId) const {
  std::map<SiTableKey, std::vector<const SiSection*>> byTable;
  for (const SiSection* s : sections_) byTable[SiTableKey{s->pid, s->tableId, s->extension, s->network}].push_back(s);
  SiJson tables = SiJson::array();
  for (const auto& [key, intervals] : collector_.Tables()) {
    if ((pid >= 0 && key.pid != pid) || (tableId >= 0 && key.tableId != tableId)) continue;
    SiJson t = {{"pid", key.pid}, {"table_id", key.tableId}, {"table", SiTableName(key.pid, key.tableId)}};
    t["table_id_extension"] = key.extension >= 0 ? SiJson(key.extension) : SiJson(nullptr);
    // EIT and SDT of several transport streams share table_id_extensions.
    if (key.network >= 0 && key.tableId >= 0x4E) {
      t["transport_stream_id"] = key.network >> 16;
      t["original_network_id"] = key.network & 0xFFFF;
    } else if (key.network >= 0) {
      t["original_network_id"] = key.network;
    }
    t["repetition"] = Intervals(intervals);
    SiJson sections = SiJson::array();
    for (const SiSection* s : byTable[key]) {
      SiJson j;
      j["version"] = s->version >= 0 ? SiJson(s->version) : SiJson(nullptr);
      j["section_number"] = s->sectionNumber >= 0 ? SiJson(s->sectionNumber) : SiJson(nullptr);
      j["last_section_number"] = s->lastSectionNumber >= 0 ? SiJson(s->lastSectionNumber) : SiJson(nullptr);
      j["current"] = s->current;
      j["size"] = s->bytes.size();
      j["repetition"] = Intervals(s->repeats);
      j["content_changes"] = s->contentChanges;
      j["fields"] = Decoded(s);
      sections.push_back(std::move(j));
    }
    t["sections"] = std::move(sections);
    tables.push_back(std::move(t));
  }
  return tables;
}
