#include "capture/scan/channel_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include <libdvbv5/dvb-v5-std.h>

#include "capture/scan/dvb_entry_tuning.h"

namespace {

constexpr int64_t kMaxChannelFileBytes = 16 << 20;

uint32_t DeliverySystem(const ScanTransponder& t) {
  switch (t.tuning.family) {
    case TunerFamily::Satellite: return SYS_DVBS;
    case TunerFamily::Cable: return t.atsc ? SYS_DVBC_ANNEX_B : SYS_DVBC_ANNEX_A;
    default: return t.atsc ? SYS_ATSC : SYS_DVBT;
  }
}

uint32_t QamModulation(uint32_t order) {
  switch (order) {
    case 16: return QAM_16;
    case 32: return QAM_32;
    case 128: return QAM_128;
    case 256: return QAM_256;
    default: return QAM_64;
  }
}

std::string DisplayName(const ScanService& service) {
  return service.name.empty() ? "Service " + std::to_string(service.serviceId) : service.name;
}

uint16_t* PidArray(const std::vector<int>& pids) {
  if (pids.empty()) return nullptr;
  auto* array = static_cast<uint16_t*>(std::calloc(pids.size(), sizeof(uint16_t)));
  if (array == nullptr) return nullptr;
  for (size_t i = 0; i < pids.size(); ++i) array[i] = static_cast<uint16_t>(pids[i]);
  return array;
}

dvb_entry* NewEntry(const ScanTransponder& t, const ScanService& service) {
  auto* entry = static_cast<dvb_entry*>(std::calloc(1, sizeof(dvb_entry)));
  if (entry == nullptr) return nullptr;
  const uint32_t system = DeliverySystem(t);
  const ScanTuning& tuning = t.tuning;
  dvb_store_entry_prop(entry, DTV_DELIVERY_SYSTEM, system);
  entry->sat_number = -1;
  switch (tuning.family) {
    case TunerFamily::Satellite:
      dvb_store_entry_prop(entry, DTV_FREQUENCY, tuning.frequency * 1000);  // kHz
      dvb_store_entry_prop(entry, DTV_SYMBOL_RATE, tuning.symbolRateK * 1000);
      dvb_store_entry_prop(entry, DTV_POLARIZATION, tuning.horizontal ? POLARIZATION_H : POLARIZATION_V);
      dvb_store_entry_prop(entry, DTV_INVERSION, tuning.inversion ? INVERSION_ON : INVERSION_OFF);
      break;
    case TunerFamily::Cable:
      dvb_store_entry_prop(entry, DTV_FREQUENCY, tuning.frequency * 1000);  // Hz
      dvb_store_entry_prop(entry, DTV_SYMBOL_RATE, tuning.symbolRateK * 1000);
      dvb_store_entry_prop(entry, DTV_MODULATION, QamModulation(tuning.qamOrder));
      break;
    default:
      dvb_store_entry_prop(entry, DTV_FREQUENCY, tuning.frequency * 1000);
      if (system == SYS_ATSC) dvb_store_entry_prop(entry, DTV_MODULATION, VSB_8);
      else dvb_store_entry_prop(entry, DTV_BANDWIDTH_HZ, tuning.bandwidthMHz * 1000000);
      break;
  }
  entry->service_id = static_cast<uint16_t>(service.serviceId);
  entry->network_id = static_cast<uint16_t>(t.originalNetworkId >= 0 ? t.originalNetworkId : std::max(t.networkId, 0));
  entry->transport_id = static_cast<uint16_t>(std::max(t.transportStreamId, 0));
  entry->channel = strdup(DisplayName(service).c_str());
  const std::string number = ScanChannelNumber(service);
  if (!number.empty()) entry->vchannel = strdup(number.c_str());
  std::vector<int> video, audio;
  std::vector<const ScanStream*> other;
  for (const ScanStream& stream : service.streams) {
    if (stream.kind == "video") video.push_back(stream.pid);
    else if (stream.kind == "audio") audio.push_back(stream.pid);
    else other.push_back(&stream);
  }
  entry->video_pid = PidArray(video);
  entry->video_pid_len = entry->video_pid ? static_cast<unsigned>(video.size()) : 0;
  entry->audio_pid = PidArray(audio);
  entry->audio_pid_len = entry->audio_pid ? static_cast<unsigned>(audio.size()) : 0;
  if (!other.empty()) {
    entry->other_el_pid = static_cast<dvb_elementary_pid*>(std::calloc(other.size(), sizeof(dvb_elementary_pid)));
    if (entry->other_el_pid != nullptr) {
      for (size_t i = 0; i < other.size(); ++i) {
        entry->other_el_pid[i].type = static_cast<uint8_t>(other[i]->streamType);
        entry->other_el_pid[i].pid = static_cast<uint16_t>(other[i]->pid);
      }
      entry->other_el_pid_len = static_cast<unsigned>(other.size());
    }
  }
  return entry;
}

std::string Lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

// VLC's DVB address of a transponder.
std::string DvbAddress(const ScanTransponder& t) {
  const ScanTuning& tuning = t.tuning;
  char text[160];
  switch (tuning.family) {
    case TunerFamily::Satellite:
      std::snprintf(text, sizeof text, "dvb-s://frequency=%llu:srate=%llu:polarization=%c",
                    static_cast<unsigned long long>(tuning.frequency) * 1000,
                    static_cast<unsigned long long>(tuning.symbolRateK) * 1000, tuning.horizontal ? 'H' : 'V');
      break;
    case TunerFamily::Cable:
      std::snprintf(text, sizeof text, "dvb-c://frequency=%llu:srate=%llu:modulation=%uQAM",
                    static_cast<unsigned long long>(tuning.frequency) * 1000,
                    static_cast<unsigned long long>(tuning.symbolRateK) * 1000, tuning.qamOrder);
      break;
    default:
      if (t.atsc)
        std::snprintf(text, sizeof text, "atsc://frequency=%llu", static_cast<unsigned long long>(tuning.frequency) * 1000);
      else
        std::snprintf(text, sizeof text, "dvb-t://frequency=%llu:bandwidth=%u",
                      static_cast<unsigned long long>(tuning.frequency) * 1000, tuning.bandwidthMHz);
      break;
  }
  return text;
}

// Names in M3U lines: a line break or a comma inside would end the field.
std::string M3uText(std::string text) {
  for (char& c : text)
    if (c == '\n' || c == '\r') c = ' ';
  return text;
}

std::vector<int> PidList(const uint16_t* pids, unsigned count) {
  std::vector<int> list;
  for (unsigned i = 0; pids != nullptr && i < count && i < 8192; ++i) list.push_back(pids[i]);
  return list;
}

}  // namespace

bool WriteScanChannelFile(const std::string& path, const ScanResult& result, std::string* error) {
  auto* file = static_cast<dvb_file*>(std::calloc(1, sizeof(dvb_file)));
  if (file == nullptr) {
    *error = "out of memory";
    return false;
  }
  dvb_entry** tail = &file->first_entry;
  for (const ScanTransponder& t : result.transponders) {
    for (const ScanService& service : t.services) {
      dvb_entry* entry = NewEntry(t, service);
      if (entry == nullptr) continue;
      *tail = entry;
      tail = &entry->next;
      ++file->n_entries;
    }
  }
  if (file->n_entries == 0) {
    dvb_file_free(file);
    *error = "no service was found: no channel file written";
    return false;
  }
  errno = 0;
  const int written = dvb_write_file_format(path.c_str(), file, SYS_UNDEFINED, FILE_DVBV5);
  const int savedErrno = errno;
  dvb_file_free(file);
  if (written != 0) {
    *error = "cannot write " + path + (savedErrno ? std::string(": ") + std::strerror(savedErrno) : std::string());
    return false;
  }
  return true;
}

bool ReadScanChannelFile(const std::string& path, const ScanTuning& defaults, std::vector<ChannelFileService>* services,
                         std::string* error) {
  services->clear();
  if (!CheckScanInputFile(path, kMaxChannelFileBytes, "channel file", error)) return false;
  dvb_file* file = dvb_read_file_format(path.c_str(), SYS_UNDEFINED, FILE_DVBV5);
  if (file == nullptr) {
    *error = path + " is not a DVBv5 channel file";
    return false;
  }
  int entries = 0;
  for (dvb_entry* entry = file->first_entry; entry != nullptr && entries < 1000000; entry = entry->next, ++entries) {
    ChannelFileService service;
    if (!ScanTuningFromDvbEntry(entry, defaults, &service.tuning) || entry->service_id == 0) continue;
    service.name = entry->channel ? entry->channel : "";
    service.serviceId = entry->service_id;
    service.channelNumber = entry->vchannel ? entry->vchannel : "";
    service.videoPids = PidList(entry->video_pid, entry->video_pid_len);
    service.audioPids = PidList(entry->audio_pid, entry->audio_pid_len);
    for (unsigned i = 0; entry->other_el_pid != nullptr && i < entry->other_el_pid_len && i < 8192; ++i)
      service.otherPids.push_back(entry->other_el_pid[i].pid);
    service.transportStreamId = entry->transport_id;
    service.originalNetworkId = entry->network_id;
    services->push_back(std::move(service));
  }
  dvb_file_free(file);
  if (services->empty()) {
    *error = path + " holds no service this box can tune";
    return false;
  }
  return true;
}

const ChannelFileService* FindChannelFileService(const std::vector<ChannelFileService>& services,
                                                 const std::string& wanted, bool* ambiguous) {
  *ambiguous = false;
  char* end = nullptr;
  errno = 0;
  const long id = std::strtol(wanted.c_str(), &end, 0);
  const bool number = !wanted.empty() && end && *end == '\0' && errno == 0 && id > 0 && id <= 0xFFFF;
  const ChannelFileService* found = nullptr;
  for (const ChannelFileService& service : services) {
    const bool match = number ? service.serviceId == id : Lower(service.name) == Lower(wanted);
    if (!match) continue;
    if (found != nullptr) {
      *ambiguous = true;
      return nullptr;
    }
    found = &service;
  }
  return found;
}

std::string ScanM3u(const ScanResult& result) {
  std::string text = "#EXTM3U\n";
  for (const ScanTransponder& t : result.transponders) {
    for (const ScanService& service : t.services) {
      const std::string number = ScanChannelNumber(service);
      text += "#EXTINF:-1";
      if (!number.empty()) text += " tvg-chno=\"" + number + "\"";
      text += "," + M3uText(DisplayName(service)) + "\n";
      text += "#EXTVLCOPT:program=" + std::to_string(service.serviceId) + "\n";
      text += DvbAddress(t) + "\n";
    }
  }
  return text;
}

bool WriteTextFile(const std::string& path, const std::string& text, std::string* error) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  const bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  const int saved = errno;
  const bool closed = std::fclose(file) == 0;
  if (!ok || !closed) {
    *error = "cannot write " + path + ": " + std::strerror(ok ? errno : saved);
    return false;
  }
  return true;
}
