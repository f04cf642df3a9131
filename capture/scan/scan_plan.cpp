#include "capture/scan/scan_plan.h"

#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <set>

#include <libdvbv5/dvb-v5-std.h>

#include "capture/scan/dvb_entry_tuning.h"

namespace {

// Plan files are a few kilobytes; anything far larger is not one.
constexpr int64_t kMaxPlanFileBytes = 4 << 20;

uint32_t Property(dvb_entry* entry, uint32_t command, uint32_t fallback) {
  uint32_t value = 0;
  return dvb_retrieve_entry_prop(entry, command, &value) == 0 ? value : fallback;
}

TunerFamily FamilyOfDeliverySystem(uint32_t system) {
  switch (system) {
    case SYS_DVBT: case SYS_DVBT2: case SYS_ATSC: case SYS_ATSCMH: case SYS_ISDBT: case SYS_DTMB:
      return TunerFamily::Terrestrial;
    case SYS_DVBC_ANNEX_A: case SYS_DVBC_ANNEX_B: case SYS_DVBC_ANNEX_C:
      return TunerFamily::Cable;
    case SYS_DVBS: case SYS_DVBS2: case SYS_TURBO: case SYS_ISDBS:
      return TunerFamily::Satellite;
    default:
      return TunerFamily::None;
  }
}

uint32_t QamOrderOf(uint32_t modulation, uint32_t fallback) {
  switch (modulation) {
    case QAM_16: return 16;
    case QAM_32: return 32;
    case QAM_64: return 64;
    case QAM_128: return 128;
    case QAM_256: return 256;
    default: return fallback;
  }
}

// The DVBv5 format has "[name]" sections; the one-line format a letter per line.
bool LooksLikeDvbv5(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  for (int lines = 0; lines < 1000 && std::getline(in, line); ++lines) {
    const size_t start = line.find_first_not_of(" \t\r");
    if (start == std::string::npos || line[start] == '#') continue;
    return line[start] == '[';
  }
  return true;
}

bool AddUnique(const ScanTuning& tuning, std::vector<ScanTuning>* plan) {
  for (const ScanTuning& known : *plan)
    if (known.SameTransponder(tuning)) return false;
  plan->push_back(tuning);
  return true;
}

}  // namespace

bool ScanTuningFromDvbEntry(dvb_entry* entry, const ScanTuning& defaults, ScanTuning* tuning) {
  const uint32_t system = Property(entry, DTV_DELIVERY_SYSTEM, SYS_UNDEFINED);
  if (FamilyOfDeliverySystem(system) != defaults.family) return false;
  *tuning = defaults;
  tuning->source = ScanSource::Plan;
  const uint32_t frequency = Property(entry, DTV_FREQUENCY, 0);
  switch (defaults.family) {
    case TunerFamily::Satellite:
      tuning->frequency = (frequency + 500) / 1000;  // kHz in the file
      tuning->symbolRateK = Property(entry, DTV_SYMBOL_RATE, defaults.symbolRateK * 1000) / 1000;
      if (uint32_t polarisation = Property(entry, DTV_POLARIZATION, POLARIZATION_OFF); polarisation != POLARIZATION_OFF)
        tuning->horizontal = polarisation == POLARIZATION_H || polarisation == POLARIZATION_L;
      tuning->inversion = Property(entry, DTV_INVERSION, INVERSION_OFF) == INVERSION_ON;
      break;
    case TunerFamily::Cable:
      tuning->frequency = (frequency + 500) / 1000;  // Hz in the file
      tuning->symbolRateK = Property(entry, DTV_SYMBOL_RATE, defaults.symbolRateK * 1000) / 1000;
      tuning->qamOrder = QamOrderOf(Property(entry, DTV_MODULATION, QAM_AUTO), defaults.qamOrder);
      break;
    default: {
      tuning->frequency = (frequency + 500) / 1000;
      const uint32_t fallbackHz = system == SYS_ATSC ? 6000000 : defaults.bandwidthMHz * 1000000;
      const uint32_t bandwidth = Property(entry, DTV_BANDWIDTH_HZ, fallbackHz);
      tuning->bandwidthMHz = (bandwidth == 0 ? fallbackHz : bandwidth) / 1000000;
      break;
    }
  }
  return tuning->frequency > 0;
}

const char* ScanSourceName(ScanSource source) {
  switch (source) {
    case ScanSource::Plan: return "plan";
    case ScanSource::List: return "list";
    case ScanSource::Range: return "range";
    case ScanSource::Network: return "network";
  }
  return "plan";
}

bool CheckScanInputFile(const std::string& path, int64_t maxBytes, const char* what, std::string* error) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    *error = std::string("cannot read the ") + what + " " + path;
    return false;
  }
  if (!S_ISREG(info.st_mode) || info.st_size > maxBytes) {
    *error = path + " is not a " + what + " (not a file, or larger than " + std::to_string(maxBytes >> 20) + " MB)";
    return false;
  }
  return true;
}

bool ScanTuning::SameTransponder(const ScanTuning& other) const {
  if (family != other.family || frequency != other.frequency) return false;
  return family != TunerFamily::Satellite || horizontal == other.horizontal;
}

std::string ScanTuning::Text() const {
  char text[128];
  switch (family) {
    case TunerFamily::Satellite:
      std::snprintf(text, sizeof text, "%u MHz %c, %u ksymbol/s", frequency, horizontal ? 'H' : 'V', symbolRateK);
      break;
    case TunerFamily::Cable:
      std::snprintf(text, sizeof text, "%u kHz, %u ksymbol/s, QAM %u", frequency, symbolRateK, qamOrder);
      break;
    default:
      std::snprintf(text, sizeof text, "%u kHz, %u MHz", frequency, bandwidthMHz);
      break;
  }
  return text;
}

ChannelSettings ChannelForTuning(const ScanTuning& tuning, const ChannelSettings& base) {
  ChannelSettings channel = base;
  channel.words[0] = static_cast<int32_t>(tuning.frequency);
  switch (tuning.family) {
    case TunerFamily::Satellite:
      channel.words[1] = static_cast<int32_t>(tuning.symbolRateK);
      channel.words[2] = tuning.horizontal ? 1 : 0;
      channel.words[3] = tuning.inversion ? 1 : 0;
      break;
    case TunerFamily::Cable:
      channel.words[1] = static_cast<int32_t>(tuning.symbolRateK);
      channel.words[2] = static_cast<int32_t>(tuning.qamOrder);
      break;
    default:
      channel.words[1] = static_cast<int32_t>(tuning.bandwidthMHz);
      break;
  }
  return channel;
}

ScanTuning TuningForChannel(TunerFamily family, const ChannelSettings& channel) {
  ScanTuning tuning;
  tuning.family = family;
  tuning.frequency = static_cast<uint32_t>(channel.words[0]);
  switch (family) {
    case TunerFamily::Satellite:
      tuning.symbolRateK = static_cast<uint32_t>(channel.words[1]);
      tuning.horizontal = channel.words[2] != 0;
      tuning.inversion = channel.words[3] != 0;
      break;
    case TunerFamily::Cable:
      tuning.symbolRateK = static_cast<uint32_t>(channel.words[1]);
      tuning.qamOrder = static_cast<uint32_t>(channel.words[2]);
      break;
    default:
      tuning.bandwidthMHz = static_cast<uint32_t>(channel.words[1]);
      break;
  }
  return tuning;
}

bool ReadScanPlanFile(const std::string& path, const ScanTuning& defaults, std::vector<ScanTuning>* plan,
                      int* skipped, std::string* error) {
  plan->clear();
  *skipped = 0;
  if (!CheckScanInputFile(path, kMaxPlanFileBytes, "plan file", error)) return false;
  const dvb_file_formats format = LooksLikeDvbv5(path) ? FILE_DVBV5 : FILE_CHANNEL;
  dvb_file* file = dvb_read_file_format(path.c_str(), SYS_UNDEFINED, format);
  if (file == nullptr) {
    *error = path + " is not a scan plan libdvbv5 can read";
    return false;
  }
  int entries = 0;
  for (dvb_entry* entry = file->first_entry; entry != nullptr && entries < 100000; entry = entry->next, ++entries) {
    ScanTuning tuning;
    if (!ScanTuningFromDvbEntry(entry, defaults, &tuning)) {
      ++*skipped;
      continue;
    }
    if (plan->size() >= kMaxScanEntries) break;
    AddUnique(tuning, plan);
  }
  dvb_file_free(file);
  if (plan->empty()) {
    *error = entries == 0 ? path + " holds no transponder"
                          : path + " holds no transponder this box can tune (" + std::to_string(entries) +
                                " for other delivery systems)";
    return false;
  }
  return true;
}

namespace {

bool ParseNumber(const std::string& text, uint32_t* value) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + static_cast<uint64_t>(c - '0');
  }
  if (number > UINT32_MAX) return false;
  *value = static_cast<uint32_t>(number);
  return true;
}

}  // namespace

bool ParseScanFrequencyList(const std::string& text, const ScanTuning& defaults, std::vector<ScanTuning>* plan,
                            std::string* error) {
  plan->clear();
  size_t start = 0;
  while (start <= text.size()) {
    const size_t comma = text.find(',', start);
    const std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    ScanTuning tuning = defaults;
    tuning.source = ScanSource::List;
    if (!ParseNumber(item, &tuning.frequency) || tuning.frequency == 0) {
      *error = "'" + item + "' is not a frequency";
      return false;
    }
    if (plan->size() >= kMaxScanEntries) {
      *error = "more than " + std::to_string(kMaxScanEntries) + " frequencies";
      return false;
    }
    if (!AddUnique(tuning, plan)) {
      *error = item + " is listed twice";
      return false;
    }
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return true;
}

bool ParseScanRange(const std::string& text, const ScanTuning& defaults, std::vector<ScanTuning>* plan,
                    std::string* error) {
  plan->clear();
  const size_t first = text.find(':');
  const size_t second = first == std::string::npos ? first : text.find(':', first + 1);
  uint32_t from = 0, to = 0, step = 0;
  if (second == std::string::npos || !ParseNumber(text.substr(0, first), &from) ||
      !ParseNumber(text.substr(first + 1, second - first - 1), &to) || !ParseNumber(text.substr(second + 1), &step)) {
    *error = "'" + text + "' is not a range FROM:TO:STEP";
    return false;
  }
  if (from == 0 || from > to || step == 0) {
    *error = "the range " + text + " needs 0 < FROM <= TO and STEP > 0";
    return false;
  }
  if ((uint64_t{to} - from) / step + 1 > kMaxScanEntries) {
    *error = "the range " + text + " has more than " + std::to_string(kMaxScanEntries) + " frequencies";
    return false;
  }
  for (uint64_t frequency = from; frequency <= to; frequency += step) {
    ScanTuning tuning = defaults;
    tuning.source = ScanSource::Range;
    tuning.frequency = static_cast<uint32_t>(frequency);
    plan->push_back(tuning);
  }
  return true;
}
