// What an elementary stream carries, read from its headers without decoding:
// the MPEG-2 video sequence header, the H.264 and HEVC sequence parameter
// sets, and the MPEG audio, AAC (ADTS, LATM), AC-3 and E-AC-3 frame headers.
// Each PID is read until its header is found, and never more than a bounded
// number of bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <bitset>
#include <map>
#include <string>
#include <vector>

// How a stream's headers are to be read, from its stream_type and
// descriptors.
enum class EsFormat { Unknown, Mpeg2Video, H264, Hevc, MpegAudio, AacAdts, AacLatm, Ac3, Eac3 };

struct EsInfo {
  bool found = false;       // the header was read
  std::string codec;        // "MPEG-2 video", "H.264", "HEVC", "MPEG-1 audio layer 2", "AAC", "AC-3", "E-AC-3"
  std::string profile;      // "Main", "High", "LC" ...
  std::string level;        // "4.0", "Main", "5.1" ...
  int width = 0;            // video, in pixels as displayed (cropping applied)
  int height = 0;
  double frameRate = 0;     // frames a second; 0 when the stream does not say
  bool interlaced = false;
  std::string aspectRatio;  // display aspect ratio ("16:9"), empty when unknown
  int channels = 0;         // audio, including the LFE channel
  std::string channelLayout;  // "2.0", "5.1", "mono" ...
  int sampleRate = 0;       // Hz
  int bitRate = 0;          // bit/s from the header; 0 when it does not say
};

// Bytes of one PID's payload looked at before giving up.
constexpr size_t kEsProbeMaxBytes = 4u << 20;

// The format to look for, from a PMT entry: stream_type, and the tags of
// its descriptors and its registration format_identifier (0 when none).
EsFormat EsFormatFor(int streamType, const std::vector<int>& descriptorTags, uint32_t registration);

// Reads one header from `data` (elementary stream bytes, starting anywhere).
// Fills `info` and returns true when a whole header was there.
bool ReadEsHeader(EsFormat format, const uint8_t* data, size_t size, EsInfo& info);

class EsProbe {
public:
  // Tells the format of `pid` (from its PMT). A PID of unknown format is not read.
  void SetFormat(int pid, EsFormat format);
  // A TS packet payload of `pid` (unitStart: a PES packet starts in it).
  void Payload(int pid, const uint8_t* payload, size_t size, bool unitStart);
  // The PIDs read so far, found or not.
  std::map<int, EsInfo> Results() const;
  // Goes up whenever what Results() says may have changed.
  uint64_t Revision() const { return revision_; }

private:
  struct Pid {
    EsFormat format = EsFormat::Unknown;
    bool started = false;  // a PES packet start was seen
    bool done = false;
    size_t pesHeaderLeft = 0;  // bytes of the PES header still to skip
    size_t scanned = 0;
    std::vector<uint8_t> buffer;
    EsInfo info;
  };
  void Append(Pid& p, const uint8_t* data, size_t size);
  std::map<int, Pid> pids_;
  uint64_t revision_ = 0;
  // The PIDs still being read: every payload of every stream is offered, so
  // the others are turned away without a look-up.
  std::bitset<8192> reading_;
};
