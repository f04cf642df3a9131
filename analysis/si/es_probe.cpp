#include "analysis/si/es_probe.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

// Bits of a byte string, most significant first; reading past the end
// yields zeros and sets `overrun`, so a cut header is recognised, never read
// out of bounds.
class BitReader {
public:
  BitReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint32_t Bits(int n) {
    uint32_t value = 0;
    for (int i = 0; i < n; ++i) {
      const size_t byte = pos_ >> 3;
      uint32_t bit = 0;
      if (byte < size_) bit = (data_[byte] >> (7 - (pos_ & 7))) & 1;
      else overrun = true;
      value = (value << 1) | bit;
      ++pos_;
    }
    return value;
  }
  void Skip(size_t n) {
    pos_ += n;
    if ((pos_ + 7) / 8 > size_) overrun = true;
  }
  // Exp-Golomb codes; at most 31 leading zeros.
  uint32_t Ue() {
    int zeros = 0;
    while (Bits(1) == 0) {
      if (++zeros > 31 || overrun) {
        overrun = true;
        return 0;
      }
    }
    if (zeros == 0) return 0;
    return ((1u << zeros) - 1) + Bits(zeros);
  }
  int32_t Se() {
    const uint32_t k = Ue();
    return (k & 1) ? static_cast<int32_t>((k + 1) / 2) : -static_cast<int32_t>(k / 2);
  }
  bool overrun = false;

private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// A NAL unit's payload with the emulation prevention bytes removed.
std::vector<uint8_t> Unescape(const uint8_t* data, size_t size) {
  std::vector<uint8_t> out;
  out.reserve(size);
  int zeros = 0;
  for (size_t i = 0; i < size; ++i) {
    if (zeros >= 2 && data[i] == 0x03) {
      zeros = 0;
      continue;
    }
    zeros = data[i] == 0 ? zeros + 1 : 0;
    out.push_back(data[i]);
  }
  return out;
}

// Start code prefix 00 00 01 at or after `from`; size when none.
size_t FindStartCode(const uint8_t* d, size_t size, size_t from) {
  for (size_t i = from; i + 3 <= size; ++i)
    if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1) return i;
  return size;
}

std::string Format(const char* format, double a, double b = 0) {
  char text[64];
  std::snprintf(text, sizeof text, format, a, b);
  return text;
}

// The display aspect ratio by name when it is a usual one.
std::string AspectName(double ratio) {
  struct Named {
    double value;
    const char* name;
  };
  static constexpr Named kNamed[] = {{4.0 / 3, "4:3"}, {16.0 / 9, "16:9"}, {1.0, "1:1"}, {1.25, "5:4"}, {2.21, "2.21:1"},
                                     {1.85, "1.85:1"}, {2.35, "2.35:1"}, {2.39, "2.39:1"}};
  if (!(ratio > 0) || !std::isfinite(ratio)) return {};
  for (const Named& n : kNamed)
    if (std::fabs(ratio - n.value) < 0.02) return n.name;
  return Format("%.2f:1", ratio);
}

// Sample aspect ratios of H.264 and HEVC by aspect_ratio_idc.
constexpr int kSar[17][2] = {{0, 0},   {1, 1},   {12, 11}, {10, 11}, {16, 11}, {40, 33},
                             {24, 11}, {20, 11}, {32, 11}, {80, 33}, {18, 11}, {15, 11},
                             {64, 33}, {160, 99}, {4, 3},  {3, 2},   {2, 1}};

void ReadSar(BitReader& b, int& sarW, int& sarH) {
  if (!b.Bits(1)) return;  // aspect_ratio_info_present_flag
  const uint32_t idc = b.Bits(8);
  if (idc == 255) {
    sarW = static_cast<int>(b.Bits(16));
    sarH = static_cast<int>(b.Bits(16));
  } else if (idc < 17) {
    sarW = kSar[idc][0];
    sarH = kSar[idc][1];
  }
}

// A cropping or conformance window: left, right, top, bottom.
struct Window {
  uint32_t left = 0, right = 0, top = 0, bottom = 0;
};

Window ReadWindowIfPresent(BitReader& b) {
  Window w;
  if (b.Bits(1)) {
    w.left = b.Ue();
    w.right = b.Ue();
    w.top = b.Ue();
    w.bottom = b.Ue();
  }
  return w;
}

// The start of the VUI both codecs share: the sample aspect ratio, then
// overscan, video signal type and chroma location, skipped.
void ReadVuiStart(BitReader& b, int& sarW, int& sarH) {
  ReadSar(b, sarW, sarH);
  if (b.Bits(1)) b.Bits(1);  // overscan
  if (b.Bits(1)) {           // video_signal_type
    b.Bits(4);
    if (b.Bits(1)) b.Bits(24);
  }
  if (b.Bits(1)) {  // chroma_loc_info
    b.Ue();
    b.Ue();
  }
}

void SetVideoAspect(EsInfo& info, int sarW, int sarH) {
  if (sarW > 0 && sarH > 0 && info.width > 0 && info.height > 0)
    info.aspectRatio = AspectName(static_cast<double>(info.width) * sarW / (static_cast<double>(info.height) * sarH));
}

std::string H264Profile(int idc, int constraints) {
  switch (idc) {
    case 66: return (constraints & 0x40) ? "Constrained Baseline" : "Baseline";
    case 77: return "Main";
    case 88: return "Extended";
    case 100: return "High";
    case 110: return "High 10";
    case 122: return "High 4:2:2";
    case 244: return "High 4:4:4 Predictive";
    case 44: return "CAVLC 4:4:4 Intra";
    default: return "profile_idc " + std::to_string(idc);
  }
}

void SkipScalingList(BitReader& b, int size) {
  int last = 8, next = 8;
  for (int j = 0; j < size && !b.overrun; ++j) {
    if (next != 0) next = (last + b.Se() + 256) % 256;
    last = next == 0 ? last : next;
  }
}

bool ReadH264Sps(const uint8_t* nal, size_t size, EsInfo& info) {
  const std::vector<uint8_t> rbsp = Unescape(nal + 1, size - 1);
  BitReader b(rbsp.data(), rbsp.size());
  const int profile = static_cast<int>(b.Bits(8));
  const int constraints = static_cast<int>(b.Bits(8));
  const int level = static_cast<int>(b.Bits(8));
  b.Ue();  // seq_parameter_set_id
  uint32_t chroma = 1;
  if (profile == 100 || profile == 110 || profile == 122 || profile == 244 || profile == 44 || profile == 83 ||
      profile == 86 || profile == 118 || profile == 128 || profile == 138 || profile == 139 || profile == 134 ||
      profile == 135) {
    chroma = b.Ue();
    if (chroma == 3) b.Bits(1);
    b.Ue();
    b.Ue();
    b.Bits(1);
    if (b.Bits(1)) {
      for (int i = 0; i < (chroma != 3 ? 8 : 12); ++i)
        if (b.Bits(1)) SkipScalingList(b, i < 6 ? 16 : 64);
    }
  }
  b.Ue();  // log2_max_frame_num_minus4
  const uint32_t pocType = b.Ue();
  if (pocType == 0) {
    b.Ue();
  } else if (pocType == 1) {
    b.Bits(1);
    b.Se();
    b.Se();
    const uint32_t cycle = b.Ue();
    if (cycle > 255) return false;
    for (uint32_t i = 0; i < cycle; ++i) b.Se();
  }
  b.Ue();      // max_num_ref_frames
  b.Bits(1);   // gaps_in_frame_num_value_allowed_flag
  const uint32_t widthMbs = b.Ue() + 1;
  const uint32_t heightUnits = b.Ue() + 1;
  const bool frameMbsOnly = b.Bits(1) != 0;
  if (!frameMbsOnly) b.Bits(1);
  b.Bits(1);  // direct_8x8_inference_flag
  const Window crop = ReadWindowIfPresent(b);
  if (b.overrun || widthMbs > 1024 || heightUnits > 1024 || chroma > 3) return false;
  const int subW = chroma == 1 || chroma == 2 ? 2 : 1;
  const int subH = chroma == 1 ? 2 : 1;
  const int cropUnitX = chroma == 0 ? 1 : subW;
  const int cropUnitY = (chroma == 0 ? 1 : subH) * (frameMbsOnly ? 1 : 2);
  info.width = static_cast<int>(widthMbs * 16) - cropUnitX * static_cast<int>(crop.left + crop.right);
  info.height = static_cast<int>(heightUnits * 16 * (frameMbsOnly ? 1 : 2)) - cropUnitY * static_cast<int>(crop.top + crop.bottom);
  if (info.width <= 0 || info.height <= 0) return false;
  info.interlaced = !frameMbsOnly;
  int sarW = 1, sarH = 1;
  if (b.Bits(1)) {  // vui_parameters_present_flag
    ReadVuiStart(b, sarW, sarH);
    if (b.Bits(1)) {  // timing_info_present_flag
      const uint32_t units = b.Bits(32);
      const uint32_t scale = b.Bits(32);
      if (!b.overrun && units > 0) info.frameRate = static_cast<double>(scale) / (2.0 * units);
    }
  }
  info.codec = "H.264";
  info.profile = H264Profile(profile, constraints);
  info.level = Format("%.1f", level / 10.0);
  SetVideoAspect(info, sarW, sarH);
  return true;
}

std::string HevcProfile(int idc) {
  switch (idc) {
    case 1: return "Main";
    case 2: return "Main 10";
    case 3: return "Main Still Picture";
    case 4: return "Range Extensions";
    default: return "profile_idc " + std::to_string(idc);
  }
}

bool ReadHevcSps(const uint8_t* nal, size_t size, EsInfo& info) {
  if (size < 3) return false;
  const std::vector<uint8_t> rbsp = Unescape(nal + 2, size - 2);
  BitReader b(rbsp.data(), rbsp.size());
  b.Bits(4);  // sps_video_parameter_set_id
  const uint32_t subLayers = b.Bits(3);
  b.Bits(1);
  // profile_tier_level
  b.Bits(2);
  const bool highTier = b.Bits(1) != 0;
  const int profile = static_cast<int>(b.Bits(5));
  b.Bits(32);
  b.Bits(1);  // progressive_source_flag
  const bool interlacedSource = b.Bits(1) != 0;
  b.Skip(46);
  const int level = static_cast<int>(b.Bits(8));
  std::vector<bool> profilePresent(subLayers), levelPresent(subLayers);
  for (uint32_t i = 0; i < subLayers; ++i) {
    profilePresent[i] = b.Bits(1) != 0;
    levelPresent[i] = b.Bits(1) != 0;
  }
  if (subLayers > 0)
    for (uint32_t i = subLayers; i < 8; ++i) b.Bits(2);
  for (uint32_t i = 0; i < subLayers; ++i) {
    if (profilePresent[i]) b.Skip(88);
    if (levelPresent[i]) b.Skip(8);
  }
  b.Ue();  // sps_seq_parameter_set_id
  const uint32_t chroma = b.Ue();
  if (chroma == 3) b.Bits(1);
  const uint32_t width = b.Ue();
  const uint32_t height = b.Ue();
  const Window conformance = ReadWindowIfPresent(b);
  if (b.overrun || chroma > 3 || width == 0 || height == 0 || width > 16384 || height > 16384) return false;
  const int subW = chroma == 1 || chroma == 2 ? 2 : 1;
  const int subH = chroma == 1 ? 2 : 1;
  info.width = static_cast<int>(width) - subW * static_cast<int>(conformance.left + conformance.right);
  info.height = static_cast<int>(height) - subH * static_cast<int>(conformance.top + conformance.bottom);
  info.codec = "HEVC";
  info.profile = HevcProfile(profile) + (highTier ? " (High tier)" : "");
  info.level = Format("%.1f", level / 30.0);
  info.interlaced = interlacedSource;
  // What follows up to the VUI: enough to reach the frame rate and aspect.
  b.Ue();
  b.Ue();
  const uint32_t log2PocLsb = b.Ue() + 4;
  const bool orderingAll = b.Bits(1) != 0;
  for (uint32_t i = orderingAll ? 0 : subLayers; i <= subLayers; ++i) {
    b.Ue();
    b.Ue();
    b.Ue();
  }
  for (int i = 0; i < 6; ++i) b.Ue();
  if (b.Bits(1) && b.Bits(1)) {  // scaling_list_enabled, sps_scaling_list_data_present
    for (int sizeId = 0; sizeId < 4; ++sizeId)
      for (int matrixId = 0; matrixId < 6; matrixId += sizeId == 3 ? 3 : 1) {
        if (!b.Bits(1)) {
          b.Ue();
        } else {
          const int coefs = std::min(64, 1 << (4 + (sizeId << 1)));
          if (sizeId > 1) b.Se();
          for (int k = 0; k < coefs && !b.overrun; ++k) b.Se();
        }
      }
  }
  b.Bits(1);
  b.Bits(1);
  if (b.Bits(1)) {  // pcm_enabled_flag
    b.Bits(8);
    b.Ue();
    b.Ue();
    b.Bits(1);
  }
  const uint32_t sets = b.Ue();
  if (sets > 64 || b.overrun) return true;
  std::vector<uint32_t> deltaPocs(sets, 0);
  for (uint32_t idx = 0; idx < sets && !b.overrun; ++idx) {
    if (idx != 0 && b.Bits(1)) {  // inter_ref_pic_set_prediction_flag
      b.Bits(1);
      b.Ue();
      uint32_t count = 0;
      for (uint32_t j = 0; j <= deltaPocs[idx - 1]; ++j) {
        const bool used = b.Bits(1) != 0;
        const bool useDelta = used ? true : b.Bits(1) != 0;
        if (used || useDelta) ++count;
      }
      deltaPocs[idx] = count;
    } else {
      const uint32_t negative = b.Ue();
      const uint32_t positive = b.Ue();
      if (negative > 16 || positive > 16) return true;
      for (uint32_t k = 0; k < negative + positive; ++k) {
        b.Ue();
        b.Bits(1);
      }
      deltaPocs[idx] = negative + positive;
    }
  }
  if (b.Bits(1)) {  // long_term_ref_pics_present_flag
    const uint32_t longTerm = b.Ue();
    if (longTerm > 32) return true;
    for (uint32_t k = 0; k < longTerm; ++k) {
      b.Bits(static_cast<int>(std::min<uint32_t>(log2PocLsb, 16)));
      b.Bits(1);
    }
  }
  b.Bits(1);
  b.Bits(1);
  int sarW = 1, sarH = 1;
  if (b.Bits(1) && !b.overrun) {  // vui_parameters_present_flag
    ReadVuiStart(b, sarW, sarH);
    b.Bits(1);
    if (b.Bits(1)) info.interlaced = true;  // field_seq_flag
    b.Bits(1);
    ReadWindowIfPresent(b);  // default display window
    if (b.Bits(1)) {  // vui_timing_info_present_flag
      const uint32_t units = b.Bits(32);
      const uint32_t scale = b.Bits(32);
      if (!b.overrun && units > 0) info.frameRate = static_cast<double>(scale) / units;
    }
  }
  if (!b.overrun) SetVideoAspect(info, sarW, sarH);
  return true;
}

// A NAL unit of `type` whose end (the next start code) is in the buffer.
bool FindNal(const uint8_t* d, size_t size, bool hevc, int type, const uint8_t** nal, size_t* nalSize) {
  size_t pos = FindStartCode(d, size, 0);
  while (pos < size) {
    const size_t start = pos + 3;
    const size_t next = FindStartCode(d, size, start);
    if (start < size) {
      const int t = hevc ? (d[start] >> 1) & 0x3F : d[start] & 0x1F;
      if (t == type) {
        if (next >= size) return false;  // not whole yet
        size_t end = next;
        while (end > start && d[end - 1] == 0) --end;  // trailing zero of a 4-byte start code
        *nal = d + start;
        *nalSize = end - start;
        return true;
      }
    }
    pos = next;
  }
  return false;
}

bool ReadMpeg2Video(const uint8_t* d, size_t size, EsInfo& info) {
  size_t pos = FindStartCode(d, size, 0);
  while (pos < size && !(pos + 3 < size && d[pos + 3] == 0xB3)) pos = FindStartCode(d, size, pos + 3);
  if (pos + 12 > size) return false;
  const uint8_t* h = d + pos + 4;
  // The sequence extension follows the header (and its quantiser matrices).
  size_t next = FindStartCode(d, size, pos + 12);
  if (next + 10 > size) return false;
  info.width = (h[0] << 4) | (h[1] >> 4);
  info.height = ((h[1] & 0x0F) << 8) | h[2];
  const int aspect = h[3] >> 4;
  const int rateCode = h[3] & 0x0F;
  const int bitRate = (h[4] << 10) | (h[5] << 2) | (h[6] >> 6);
  static constexpr double kRates[9] = {0, 24000.0 / 1001, 24, 25, 30000.0 / 1001, 30, 50, 60000.0 / 1001, 60};
  if (info.width == 0 || info.height == 0) return false;
  info.frameRate = rateCode >= 1 && rateCode <= 8 ? kRates[rateCode] : 0;
  info.bitRate = bitRate != 0x3FFFF ? bitRate * 400 : 0;
  const uint8_t* e = d + next + 4;
  if (d[next + 3] == 0xB5 && (e[0] >> 4) == 1) {
    const int profileLevel = ((e[0] & 0x0F) << 4) | (e[1] >> 4);
    info.interlaced = (e[1] & 0x08) == 0;
    info.width |= ((e[1] & 0x01) << 13) | ((e[2] >> 7) << 12);
    info.height |= ((e[2] >> 5) & 0x03) << 12;
    static constexpr const char* kProfiles[8] = {"", "High", "Spatially Scalable", "SNR Scalable", "Main", "Simple", "", ""};
    const int profile = (profileLevel >> 4) & 0x07;
    const int level = profileLevel & 0x0F;
    info.profile = (profileLevel & 0x80) ? "4:2:2 or multi-view" : kProfiles[profile];
    info.level = level == 10 ? "Low" : level == 8 ? "Main" : level == 6 ? "High 1440" : level == 4 ? "High" : "";
    const int extN = (e[5] >> 5) & 0x03;
    const int extD = e[5] & 0x1F;
    info.frameRate = info.frameRate * (extN + 1) / (extD + 1);
    info.codec = "MPEG-2 video";
    // aspect_ratio_information: square samples (1), or the display aspect ratio.
    static constexpr const char* kAspects[5] = {"", "", "4:3", "16:9", "2.21:1"};
    info.aspectRatio = aspect == 1 ? AspectName(static_cast<double>(info.width) / info.height)
                                   : aspect >= 2 && aspect <= 4 ? kAspects[aspect] : "";
  } else {
    info.codec = "MPEG-1 video";
    if (aspect == 1) info.aspectRatio = AspectName(static_cast<double>(info.width) / info.height);
  }
  return true;
}

// An MPEG audio frame header at d; its frame length in bytes, 0 when none.
int MpegAudioHeader(const uint8_t* d, EsInfo* info) {
  if (d[0] != 0xFF || (d[1] & 0xE0) != 0xE0) return 0;
  const int version = (d[1] >> 3) & 3;  // 0: 2.5, 2: 2, 3: 1
  const int layer = 4 - ((d[1] >> 1) & 3);
  const int rateIndex = d[2] >> 4;
  const int srIndex = (d[2] >> 2) & 3;
  if (version == 1 || layer == 4 || rateIndex == 0 || rateIndex == 15 || srIndex == 3) return 0;
  static constexpr int kV1[3][15] = {
      {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
      {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
      {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}};
  static constexpr int kV2[3][15] = {
      {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
      {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
      {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}};
  static constexpr int kRates[3] = {44100, 48000, 32000};
  const int kbps = version == 3 ? kV1[layer - 1][rateIndex] : kV2[layer - 1][rateIndex];
  int sampleRate = kRates[srIndex];
  if (version == 2) sampleRate /= 2;
  if (version == 0) sampleRate /= 4;
  const int padding = (d[2] >> 1) & 1;
  int length = 0;
  if (layer == 1) length = (12 * kbps * 1000 / sampleRate + padding) * 4;
  else if (layer == 3 && version != 3) length = 72 * kbps * 1000 / sampleRate + padding;
  else length = 144 * kbps * 1000 / sampleRate + padding;
  if (info) {
    const bool mono = (d[3] >> 6) == 3;
    info->codec = std::string(version == 3 ? "MPEG-1" : version == 2 ? "MPEG-2" : "MPEG-2.5") + " audio layer " +
                  std::to_string(layer);
    info->sampleRate = sampleRate;
    info->bitRate = kbps * 1000;
    info->channels = mono ? 1 : 2;
    info->channelLayout = mono ? "mono" : "2.0";
  }
  return length;
}

constexpr int kAacRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350};

void SetAacChannels(EsInfo& info, int config) {
  static constexpr int kChannels[8] = {0, 1, 2, 3, 4, 5, 6, 8};
  static constexpr const char* kLayouts[8] = {"", "mono", "2.0", "3.0", "4.0", "5.0", "5.1", "7.1"};
  info.channels = config >= 0 && config < 8 ? kChannels[config] : 0;
  info.channelLayout = config >= 0 && config < 8 ? kLayouts[config] : "";
}

std::string AacObjectName(int type) {
  switch (type) {
    case 1: return "Main";
    case 2: return "LC";
    case 3: return "SSR";
    case 4: return "LTP";
    case 5: return "HE-AAC (SBR)";
    case 29: return "HE-AAC v2 (PS)";
    default: return "audio object type " + std::to_string(type);
  }
}

// An ADTS header at d; its frame length, 0 when none.
int AdtsHeader(const uint8_t* d, EsInfo* info) {
  if (d[0] != 0xFF || (d[1] & 0xF6) != 0xF0) return 0;
  const int object = (d[2] >> 6) + 1;
  const int sr = (d[2] >> 2) & 0x0F;
  const int config = ((d[2] & 1) << 2) | (d[3] >> 6);
  const int length = ((d[3] & 3) << 11) | (d[4] << 3) | (d[5] >> 5);
  if (sr >= 13 || length < 7) return 0;
  if (info) {
    info->codec = "AAC";
    info->profile = AacObjectName(object);
    info->sampleRate = kAacRates[sr];
    SetAacChannels(*info, config);
  }
  return length;
}

uint32_t LatmValue(BitReader& b) {
  const uint32_t bytes = b.Bits(2);
  uint32_t value = 0;
  for (uint32_t i = 0; i <= bytes; ++i) value = (value << 8) | b.Bits(8);
  return value;
}

bool ReadAudioSpecificConfig(BitReader& b, EsInfo& info) {
  int object = static_cast<int>(b.Bits(5));
  if (object == 31) object = 32 + static_cast<int>(b.Bits(6));
  const uint32_t srIndex = b.Bits(4);
  int rate = 0;
  if (srIndex == 15) rate = static_cast<int>(b.Bits(24));
  else if (srIndex < 13) rate = kAacRates[srIndex];
  const int config = static_cast<int>(b.Bits(4));
  if (b.overrun || rate == 0) return false;
  info.codec = "AAC";
  info.profile = AacObjectName(object);
  info.sampleRate = rate;
  SetAacChannels(info, config);
  return true;
}

bool ReadLatm(const uint8_t* d, size_t size, EsInfo& info) {
  for (size_t i = 0; i + 8 <= size; ++i) {
    if (d[i] != 0x56 || (d[i + 1] & 0xE0) != 0xE0) continue;  // syncword 0x2B7
    BitReader b(d + i + 3, size - i - 3);
    if (b.Bits(1)) continue;  // useSameStreamMux: the configuration comes later
    const uint32_t version = b.Bits(1);
    if (version && b.Bits(1)) continue;  // audioMuxVersionA
    if (version) LatmValue(b);           // taraBufferFullness
    b.Bits(1);                           // allStreamsSameTimeFraming
    b.Bits(6);
    if (b.Bits(4) != 0 || b.Bits(3) != 0) continue;  // one program, one layer
    if (version) LatmValue(b);                       // AudioSpecificConfig length
    if (ReadAudioSpecificConfig(b, info)) return true;
  }
  return false;
}

std::string Ac3Layout(int acmod, bool lfe) {
  static constexpr const char* kLayouts[8] = {"1+1", "mono", "2.0", "3.0", "2.1", "3.1", "2.2", "3.2"};
  static constexpr const char* kLfeLayouts[8] = {"1+1+LFE", "1.1", "2.1", "3.1", "2.1.1", "4.1", "4.1", "5.1"};
  return lfe ? kLfeLayouts[acmod] : kLayouts[acmod];
}

constexpr int kAc3Channels[8] = {2, 1, 2, 3, 3, 4, 4, 5};

// An AC-3 or E-AC-3 sync frame at d (size bytes available); its length.
int Ac3Header(const uint8_t* d, size_t size, EsInfo* info) {
  if (size < 8 || d[0] != 0x0B || d[1] != 0x77) return 0;
  const int bsid = d[5] >> 3;
  if (bsid <= 10) {
    const int fscod = d[4] >> 6;
    const int frmsizecod = d[4] & 0x3F;
    if (fscod == 3 || frmsizecod >= 38) return 0;
    static constexpr int kRates[19] = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 448, 512, 576, 640};
    static constexpr int kSampleRates[3] = {48000, 44100, 32000};
    const int kbps = kRates[frmsizecod >> 1];
    int words = 0;
    if (fscod == 0) words = kbps * 2;
    else if (fscod == 2) words = kbps * 3;
    else words = (320 * kbps / 147 + (frmsizecod & 1));  // 44.1 kHz: 1393/1392 words at 640 kbit/s
    if (info) {
      BitReader b(d + 5, size - 5);
      b.Bits(5);
      b.Bits(3);
      const int acmod = static_cast<int>(b.Bits(3));
      if ((acmod & 1) && acmod != 1) b.Bits(2);
      if (acmod & 4) b.Bits(2);
      if (acmod == 2) b.Bits(2);
      const bool lfe = b.Bits(1) != 0;
      info->codec = "AC-3";
      info->sampleRate = kSampleRates[fscod];
      info->bitRate = kbps * 1000;
      info->channels = kAc3Channels[acmod] + (lfe ? 1 : 0);
      info->channelLayout = Ac3Layout(acmod, lfe);
    }
    return words * 2;
  }
  if (bsid > 16) return 0;
  BitReader b(d + 2, size - 2);
  b.Bits(2);  // strmtyp
  b.Bits(3);
  const int frameBytes = (static_cast<int>(b.Bits(11)) + 1) * 2;
  const int fscod = static_cast<int>(b.Bits(2));
  int sampleRate = 0;
  int blocks = 6;
  static constexpr int kSampleRates[3] = {48000, 44100, 32000};
  if (fscod == 3) {
    const int fscod2 = static_cast<int>(b.Bits(2));
    if (fscod2 == 3) return 0;
    sampleRate = kSampleRates[fscod2] / 2;
  } else {
    sampleRate = kSampleRates[fscod];
    static constexpr int kBlocks[4] = {1, 2, 3, 6};
    blocks = kBlocks[b.Bits(2)];
  }
  const int acmod = static_cast<int>(b.Bits(3));
  const bool lfe = b.Bits(1) != 0;
  if (info) {
    info->codec = "E-AC-3";
    info->sampleRate = sampleRate;
    info->bitRate = static_cast<int>(static_cast<int64_t>(frameBytes) * 8 * sampleRate / (blocks * 256));
    info->channels = kAc3Channels[acmod] + (lfe ? 1 : 0);
    info->channelLayout = Ac3Layout(acmod, lfe);
  }
  return frameBytes;
}

// A frame header found at i is believed when the next frame's header
// follows it (or the data ends first).
template <typename Header>
bool ReadFramed(const uint8_t* d, size_t size, size_t minHeader, Header header, EsInfo& info) {
  for (size_t i = 0; i + minHeader <= size; ++i) {
    const int length = header(d + i, size - i, nullptr);
    if (length <= 0) continue;
    const size_t next = i + static_cast<size_t>(length);
    if (next + minHeader > size) return false;  // wait for more
    if (header(d + next, size - next, nullptr) <= 0) continue;
    header(d + i, size - i, &info);
    return true;
  }
  return false;
}

}  // namespace

EsFormat EsFormatFor(int streamType, const std::vector<int>& tags, uint32_t registration) {
  auto has = [&](int tag) { return std::find(tags.begin(), tags.end(), tag) != tags.end(); };
  switch (streamType) {
    case 0x01: case 0x02: return EsFormat::Mpeg2Video;
    case 0x1B: return EsFormat::H264;
    case 0x24: return EsFormat::Hevc;
    case 0x03: case 0x04: return EsFormat::MpegAudio;
    case 0x0F: return EsFormat::AacAdts;
    case 0x11: return EsFormat::AacLatm;
    case 0x81: return EsFormat::Ac3;
    case 0x87: return EsFormat::Eac3;
    default: break;
  }
  if (streamType == 0x06 || streamType >= 0x80) {
    if (has(0x7A) || registration == 0x45414333) return EsFormat::Eac3;  // "EAC3"
    if (has(0x6A) || registration == 0x41432D33) return EsFormat::Ac3;   // "AC-3"
    if (has(0x7C)) return EsFormat::AacAdts;
    if (registration == 0x48455643) return EsFormat::Hevc;  // "HEVC"
  }
  return EsFormat::Unknown;
}

bool ReadEsHeader(EsFormat format, const uint8_t* d, size_t size, EsInfo& info) {
  switch (format) {
    case EsFormat::Mpeg2Video: return ReadMpeg2Video(d, size, info);
    case EsFormat::H264: {
      const uint8_t* nal = nullptr;
      size_t n = 0;
      return FindNal(d, size, false, 7, &nal, &n) && n > 4 && ReadH264Sps(nal, n, info);
    }
    case EsFormat::Hevc: {
      const uint8_t* nal = nullptr;
      size_t n = 0;
      return FindNal(d, size, true, 33, &nal, &n) && n > 4 && ReadHevcSps(nal, n, info);
    }
    case EsFormat::MpegAudio:
      return ReadFramed(d, size, 4, [](const uint8_t* p, size_t, EsInfo* i) { return MpegAudioHeader(p, i); }, info);
    case EsFormat::AacAdts:
      return ReadFramed(d, size, 7, [](const uint8_t* p, size_t, EsInfo* i) { return AdtsHeader(p, i); }, info);
    case EsFormat::AacLatm: return ReadLatm(d, size, info);
    case EsFormat::Ac3:
    case EsFormat::Eac3:
      return ReadFramed(d, size, 8, [](const uint8_t* p, size_t n, EsInfo* i) { return Ac3Header(p, n, i); }, info);
    case EsFormat::Unknown: break;
  }
  return false;
}

void EsProbe::SetFormat(int pid, EsFormat format) {
  if (pid < 0 || pid >= static_cast<int>(reading_.size())) return;
  Pid& p = pids_[pid];
  if (p.format == format) return;
  p = Pid{};
  p.format = format;
  ++revision_;
  reading_.set(static_cast<size_t>(pid), format != EsFormat::Unknown);
}

void EsProbe::Payload(int pid, const uint8_t* payload, size_t size, bool unitStart) {
  if (pid < 0 || pid >= static_cast<int>(reading_.size()) || !reading_.test(static_cast<size_t>(pid))) return;
  auto it = pids_.find(pid);
  if (it == pids_.end()) return;
  Pid& p = it->second;
  if (p.done || p.format == EsFormat::Unknown) return;
  size_t skip = 0;
  if (unitStart) {
    p.started = true;
    p.pesHeaderLeft = 0;
    if (size >= 9 && payload[0] == 0 && payload[1] == 0 && payload[2] == 1) p.pesHeaderLeft = 9 + payload[8];
  }
  if (!p.started) return;
  skip = std::min(size, p.pesHeaderLeft);
  p.pesHeaderLeft -= skip;
  Append(p, payload + skip, size - skip);
  if (p.done) reading_.reset(static_cast<size_t>(pid));
}

void EsProbe::Append(Pid& p, const uint8_t* data, size_t size) {
  constexpr size_t kWindow = 256 * 1024;
  constexpr size_t kKeep = 4096;  // a header cut by the window's end is read again whole
  p.buffer.insert(p.buffer.end(), data, data + size);
  p.scanned += size;
  // Reading is tried every few kilobytes, not at every packet.
  if (p.buffer.size() % 4096 >= size && p.buffer.size() < kWindow) return;
  EsInfo info;
  if (ReadEsHeader(p.format, p.buffer.data(), p.buffer.size(), info)) {
    info.found = true;
    p.info = info;
    p.done = true;
    ++revision_;
    std::vector<uint8_t>().swap(p.buffer);
    return;
  }
  if (p.scanned >= kEsProbeMaxBytes) {
    p.done = true;
    ++revision_;
    std::vector<uint8_t>().swap(p.buffer);
    return;
  }
  if (p.buffer.size() >= kWindow) p.buffer.erase(p.buffer.begin(), p.buffer.end() - kKeep);
}

std::map<int, EsInfo> EsProbe::Results() const {
  std::map<int, EsInfo> out;
  for (const auto& [pid, p] : pids_) {
    if (p.format == EsFormat::Unknown) continue;
    EsInfo info = p.info;
    // A stream that ended before a try: read what there is.
    if (!p.done && !p.buffer.empty() && ReadEsHeader(p.format, p.buffer.data(), p.buffer.size(), info)) info.found = true;
    out[pid] = info;
  }
  return out;
}
