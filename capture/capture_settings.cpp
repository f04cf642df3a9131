#include "capture/capture_settings.h"

#include <cstring>
#include <mutex>

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
    ok_ = WriteProfileString(section_, key, value) && ok_;
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

CaptureLimitFields LoadLimits(const char* section, int sizeDefault, int recordModeDefault) {
  CaptureLimitFields limits;
  limits.recordMode = GetProfileInt(section, kKeyRecordMode, recordModeDefault);
  limits.seconds = static_cast<uint32_t>(GetProfileInt(section, kKeySeconds, kDefaultSeconds));
  limits.megabytes = static_cast<uint32_t>(GetProfileInt(section, kKeySize, sizeDefault));
  return limits;
}

uint32_t ProfileUnsigned(const char* section, const char* key, int defaultValue) {
  return static_cast<uint32_t>(GetProfileInt(section, key, defaultValue));
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
  fields.frequencyMHz = ProfileUnsigned(section, kKeyFrequency, orDefault(kDstDefaultFrequency));
  fields.symbolRate = ProfileUnsigned(section, kKeySymbolRate, orDefault(kDstDefaultSymbolRate));
  fields.iq = ProfileUnsigned(section, kKeyIq, orDefault(kDstDefaultIq));
  fields.polarisationIndex = GetProfileInt(section, kKeyPolarisation, orDefault(kDstDefaultPolarisation));
  fields.limits = LoadLimits(section, orDefault(kDstDefaultSize), orDefault(kDefaultRecordMode));
  if (kept) fields.limits.captureFile = GetProfileString(section, kKeyName, "");
  return fields;
}

DctFields LoadDctSettings() {
  DctFields fields;
  fields.frequencyKHz = ProfileUnsigned(kSectionDct, kKeyFrequency, kDctDefaultFrequency);
  fields.symbolRate = ProfileUnsigned(kSectionDct, kKeySymbolRate, kDctDefaultSymbolRate);
  fields.qamIndex = GetProfileInt(kSectionDct, kKeyQam, kDctDefaultQamIndex);
  fields.limits = LoadLimits(kSectionDct, kDctDefaultSize, kDefaultRecordMode);
  return fields;
}

DttFields LoadDttSettings() {
  DttFields fields;
  fields.frequencyKHz = ProfileUnsigned(kSectionDtt, kKeyFrequency, kDttDefaultFrequency);
  fields.bandwidthMHz = ProfileUnsigned(kSectionDtt, kKeyBandwidth, kDttDefaultBandwidth);
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

LnbSettings LoadLnbSettings(int lnbNumber) {
  LnbSettings lnb{};
  if (lnbNumber < 1 || lnbNumber > kLnbCount) return lnb;
  const std::string section = LnbSectionName(lnbNumber);
  lnb.lnbEnable = GetProfileInt(section, kKeyLnbEnable, 0);
  lnb.lnbType = GetProfileInt(section, kKeyLnbType, 0);
  lnb.tone22kHz = GetProfileInt(section, kKeyTone22kHz, 0);
  lnb.toneBurst = GetProfileInt(section, kKeyToneBurst, 0);
  lnb.dataBurst = GetProfileInt(section, kKeyDataBurst, 0);
  lnb.diseqc = GetProfileInt(section, kKeyDiseqc, 0);
  lnb.custom1 = GetProfileInt(section, kKeyCustom1, 0);
  lnb.custom2 = GetProfileInt(section, kKeyCustom2, 0);
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

bool FixedLnbLoPair(int lnbType, uint32_t* lo1, uint32_t* lo2) {
  if (lnbType != 0 && lnbType != 1) return false;
  // The same pairs the satellite tune uses for these types.
  LnbSettings lnb{};
  lnb.lnbType = lnbType;
  GetLnbLoPair(lnb, lo1, lo2);
  return true;
}
