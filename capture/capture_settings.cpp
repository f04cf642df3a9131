#include "capture/capture_settings.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "capture/capture_run.h"
#include "device/device_protocol.h"
#include "platform/profile.h"

std::atomic<int> nCapturePid{0};

namespace {

std::mutex blockMutex;
CaptureSettingsBlock settingsBlock{};  // static storage: all zero at start

constexpr int kLnbCount = 4;

void ClearChannel(ChannelSettings* channel) { std::memset(channel->words, 0, sizeof channel->words); }

void CopyLimits(const CaptureLimitFields& limits, CaptureSettings* capture) {
  capture->nRecordMode = limits.recordMode;
  capture->nCaptureSeconds = static_cast<int32_t>(limits.seconds);
  capture->nCaptureMegabytes = static_cast<int32_t>(limits.megabytes);
}

// Up to 259 characters and the terminator, as the "Save as" field gives them.
std::string TruncatedCaptureFile(const std::string& path) {
  return path.substr(0, kCaptureFileSize - 1);
}

void CopyCaptureFile(const std::string& path, char* target) {
  const std::string kept = TruncatedCaptureFile(path);
  std::memcpy(target, kept.c_str(), kept.size() + 1);
}

// Profile writes of one store; remembers whether every one succeeded.
class SectionWriter {
public:
  explicit SectionWriter(const char* section) : section_(section) {}
  void Int(const char* key, int64_t value) {
    ok_ = WriteProfileInt(section_, key, static_cast<int32_t>(value)) && ok_;
  }
  void String(const char* key, const std::string& value) {
    ok_ = WriteProfileText(section_, key, value) && ok_;
  }
  bool ok() const { return ok_; }

private:
  std::string section_;
  bool ok_ = true;
};

void WriteLimits(SectionWriter& writer, const CaptureLimitFields& limits) {
  writer.Int(kKeyRecordMode, limits.recordMode);
  writer.Int(kKeySeconds, limits.seconds);
  writer.Int(kKeySize, limits.megabytes);
}

// Profile values are read with the ranges their fields can hold: a damaged or
// hand-edited value outside them reads as the key's default, as a value that
// is not a number does, so the dialogs, the command line and tuning see the
// same settings.
uint32_t ProfileUnsigned(const char* section, const char* key, int defaultValue, uint32_t maximum) {
  const int top = static_cast<int>(std::min<uint32_t>(maximum, INT32_MAX));
  return static_cast<uint32_t>(ReadProfileIntInRange(section, key, defaultValue, 0, top));
}

// Entries of the dialogs' drop-down lists.
constexpr int kPolarisationCount = 2;  // V, H
constexpr int kQamCount = 5;           // 16 .. 256
constexpr int kLnbTypeCount = 3;       // Normal, Universal, Custom
constexpr int kDiseqcCount = 5;        // Disable, LNB A .. LNB D

int ProfileListIndex(const char* section, const char* key, int defaultValue, int count) {
  return ReadProfileIntInRange(section, key, defaultValue, 0, count - 1);
}

CaptureLimitFields LoadLimits(const char* section, int sizeDefault, int recordModeDefault) {
  CaptureLimitFields limits;
  limits.recordMode = ReadProfileIntInRange(section, kKeyRecordMode, recordModeDefault, 0, 1);
  limits.seconds = ProfileUnsigned(section, kKeySeconds, kDefaultSeconds, kMaxCaptureSeconds);
  limits.megabytes = ProfileUnsigned(section, kKeySize, sizeDefault, kMaxCaptureMegabytes);
  return limits;
}

void WriteDstSection(const DstFields& fields, SectionWriter& writer) {
  writer.Int(kKeyFrequency, fields.frequencyMHz);
  writer.Int(kKeySymbolRate, fields.symbolRate);
  writer.Int(kKeyIq, fields.iq);
  writer.Int(kKeyPolarisation, fields.polarisationIndex);
  WriteLimits(writer, fields.limits);
  writer.String(kKeyName, TruncatedCaptureFile(fields.limits.captureFile));
}

// Fills block and file path under the lock; the fill itself may read the profile.
template <typename Fields, typename Fill>
void StoreInBlock(const Fields& fields, Fill fill) {
  std::lock_guard<std::mutex> lock(blockMutex);
  fill(fields, &settingsBlock.channel, &settingsBlock.capture);
  CopyCaptureFile(fields.limits.captureFile, settingsBlock.szCaptureFile);
}

}  // namespace

CaptureSettingsBlock GetSettingsBlock() {
  std::lock_guard<std::mutex> lock(blockMutex);
  return settingsBlock;
}

void ClearSettingsBlock() {
  std::lock_guard<std::mutex> lock(blockMutex);
  settingsBlock = CaptureSettingsBlock{};
}

std::string LnbSectionName(int lnbNumber) { return "LNB" + std::to_string(lnbNumber); }

int QamOrderFromIndex(int index) { return index >= 0 && index <= 4 ? 16 << index : 16; }

void FillDstRecords(const DstFields& fields, ChannelSettings* channel, CaptureSettings* capture) {
  ClearChannel(channel);
  channel->words[0] = static_cast<int32_t>(fields.frequencyMHz);
  channel->words[1] = static_cast<int32_t>(fields.symbolRate);
  channel->words[2] = fields.polarisationIndex;
  channel->words[3] = static_cast<int32_t>(fields.iq);
  CopyLimits(fields.limits, capture);
  capture->nLnbNumber = 1;
  for (int number = 1; number <= kLnbCount; ++number)
    capture->lnb[number - 1] = LoadLnbSettings(number);
}

void FillDctRecords(const DctFields& fields, ChannelSettings* channel, CaptureSettings* capture) {
  ClearChannel(channel);
  channel->words[0] = static_cast<int32_t>(fields.frequencyKHz);
  channel->words[1] = static_cast<int32_t>(fields.symbolRate);
  channel->words[2] = QamOrderFromIndex(fields.qamIndex);
  CopyLimits(fields.limits, capture);
}

void FillDttRecords(const DttFields& fields, ChannelSettings* channel, CaptureSettings* capture) {
  ClearChannel(channel);
  channel->words[0] = static_cast<int32_t>(fields.frequencyKHz);
  channel->words[1] = static_cast<int32_t>(fields.bandwidthMHz);
  CopyLimits(fields.limits, capture);
}

bool StoreDstSettings(const DstFields& fields) {
  StoreInBlock(fields, FillDstRecords);
  nCapturePid.store(fields.pid);
  SectionWriter writer(kSectionDst);
  WriteDstSection(fields, writer);
  return writer.ok();
}

bool StoreDctSettings(const DctFields& fields) {
  StoreInBlock(fields, FillDctRecords);
  SectionWriter writer(kSectionDct);
  writer.Int(kKeyFrequency, fields.frequencyKHz);
  writer.Int(kKeySymbolRate, fields.symbolRate);
  WriteLimits(writer, fields.limits);
  writer.Int(kKeyQam, fields.qamIndex);
  return writer.ok();
}

bool StoreDttSettings(const DttFields& fields) {
  StoreInBlock(fields, FillDttRecords);
  nCapturePid.store(fields.pid);
  SectionWriter writer(kSectionDtt);
  writer.Int(kKeyFrequency, fields.frequencyKHz);
  writer.Int(kKeyBandwidth, fields.bandwidthMHz);
  WriteLimits(writer, fields.limits);
  return writer.ok();
}

bool SaveDstSettingsForLnbSetup(const DstFields& fields) {
  SectionWriter writer(kSectionDstKept);
  WriteDstSection(fields, writer);
  return writer.ok();
}

DstFields LoadDstSettings(bool backFromLnbSetup) {
  // The kept section has no defaults of its own: every key defaults to 0.
  const bool kept = backFromLnbSetup;
  const char* section = kept ? kSectionDstKept : kSectionDst;
  const auto orDefault = [kept](int defaultValue) { return kept ? 0 : defaultValue; };
  DstFields fields;
  constexpr TunerFamily kFamily = TunerFamily::Satellite;
  fields.frequencyMHz = ProfileUnsigned(section, kKeyFrequency, orDefault(kDstDefaultFrequency),
                                        ChannelWordMax(-1, kFamily, 0));
  fields.symbolRate = ProfileUnsigned(section, kKeySymbolRate, orDefault(kDstDefaultSymbolRate),
                                      ChannelWordMax(-1, kFamily, 1));
  fields.iq = ProfileUnsigned(section, kKeyIq, orDefault(kDstDefaultIq), kMaxIq);
  fields.polarisationIndex =
      ProfileListIndex(section, kKeyPolarisation, orDefault(kDstDefaultPolarisation), kPolarisationCount);
  fields.limits = LoadLimits(section, orDefault(kDstDefaultSize), orDefault(kDefaultRecordMode));
  if (kept) fields.limits.captureFile = ReadProfileText(section, kKeyName, "");
  return fields;
}

DctFields LoadDctSettings() {
  DctFields fields;
  constexpr TunerFamily kFamily = TunerFamily::Cable;
  fields.frequencyKHz =
      ProfileUnsigned(kSectionDct, kKeyFrequency, kDctDefaultFrequency, ChannelWordMax(-1, kFamily, 0));
  fields.symbolRate =
      ProfileUnsigned(kSectionDct, kKeySymbolRate, kDctDefaultSymbolRate, ChannelWordMax(-1, kFamily, 1));
  fields.qamIndex = ProfileListIndex(kSectionDct, kKeyQam, kDctDefaultQamIndex, kQamCount);
  fields.limits = LoadLimits(kSectionDct, kDctDefaultSize, kDefaultRecordMode);
  return fields;
}

DttFields LoadDttSettings() {
  DttFields fields;
  constexpr TunerFamily kFamily = TunerFamily::Terrestrial;
  fields.frequencyKHz =
      ProfileUnsigned(kSectionDtt, kKeyFrequency, kDttDefaultFrequency, ChannelWordMax(-1, kFamily, 0));
  fields.bandwidthMHz =
      ProfileUnsigned(kSectionDtt, kKeyBandwidth, kDttDefaultBandwidth, ChannelWordMax(-1, kFamily, 1));
  fields.limits = LoadLimits(kSectionDtt, kDttDefaultSize, kDefaultRecordMode);
  return fields;
}

bool StoreAntennaTuningChannel(uint32_t frequencyKHz, int bandwidthIndex) {
  const int bandwidth = bandwidthIndex + kFirstBandwidthMHz;
  {
    std::lock_guard<std::mutex> lock(blockMutex);
    ClearChannel(&settingsBlock.channel);
    settingsBlock.channel.words[0] = static_cast<int32_t>(frequencyKHz);
    settingsBlock.channel.words[1] = bandwidth;
  }
  SectionWriter writer(kSectionDtt);
  writer.Int(kKeyFrequency, frequencyKHz);
  writer.Int(kKeyBandwidth, bandwidth);
  return writer.ok();
}

namespace {
inline constexpr char kSectionDevice[] = "Device";
inline constexpr char kKeyBox[] = "Box";
}  // namespace

std::string LoadTunerBoxChoice() { return ReadProfileText(kSectionDevice, kKeyBox); }

bool StoreTunerBoxChoice(const std::string& text) { return WriteProfileText(kSectionDevice, kKeyBox, text); }

LnbSettings LoadLnbSettings(int lnbNumber) {
  LnbSettings lnb{};
  if (lnbNumber < 1 || lnbNumber > kLnbCount) return lnb;
  const std::string section = LnbSectionName(lnbNumber);
  const char* name = section.c_str();
  lnb.lnbEnable = ReadProfileIntInRange(name, kKeyLnbEnable, 0, 0, 1);
  lnb.lnbType = ProfileListIndex(name, kKeyLnbType, 0, kLnbTypeCount);
  lnb.tone22kHz = ReadProfileIntInRange(name, kKeyTone22kHz, 0, 0, 1);
  lnb.toneBurst = ReadProfileIntInRange(name, kKeyToneBurst, 0, 0, 1);
  lnb.dataBurst = ReadProfileIntInRange(name, kKeyDataBurst, 0, 0, 1);
  lnb.diseqc = ProfileListIndex(name, kKeyDiseqc, 0, kDiseqcCount);
  lnb.custom1 = ReadProfileIntInRange(name, kKeyCustom1, 0, 0, static_cast<int>(kMaxLnbLoMHz));
  lnb.custom2 = ReadProfileIntInRange(name, kKeyCustom2, 0, 0, static_cast<int>(kMaxLnbLoMHz));
  return lnb;
}

bool StoreLnbSetup(const LnbSettings& lnb) {
  bool ok = true;
  for (int number = 1; number <= kLnbCount; ++number) {
    SectionWriter writer(LnbSectionName(number).c_str());
    writer.Int(kKeyLnbEnable, lnb.lnbEnable);
    writer.Int(kKeyLnbType, lnb.lnbType);
    writer.Int(kKeyTone22kHz, lnb.tone22kHz);
    writer.Int(kKeyToneBurst, lnb.toneBurst);
    writer.Int(kKeyDataBurst, lnb.dataBurst);
    writer.Int(kKeyDiseqc, lnb.diseqc);
    writer.Int(kKeyCustom1, lnb.custom1);
    writer.Int(kKeyCustom2, lnb.custom2);
    ok = writer.ok() && ok;
  }
  return ok;
}

uint32_t ChannelWordMax(int model, TunerFamily family, int word) {
  ChannelFieldRange range{};
  int64_t widest = 0;
  if (GetTunerFamily(model) == family && GetChannelFieldRange(model, word, &range)) {
    widest = range.max;
  } else {
    for (int each = 0; each <= 255; ++each)
      if (GetTunerFamily(each) == family && GetChannelFieldRange(each, word, &range))
        widest = std::max(widest, range.max);
  }
  return static_cast<uint32_t>(std::clamp<int64_t>(widest, 0, INT32_MAX));
}

bool FixedLnbLoPair(int lnbType, uint32_t* lo1, uint32_t* lo2) {
  if (lnbType != 0 && lnbType != 1) return false;
  // The same pairs the satellite tune uses for these types.
  LnbSettings lnb{};
  lnb.lnbType = lnbType;
  GetLnbLoPair(lnb, lo1, lo2);
  return true;
}
