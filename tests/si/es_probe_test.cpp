// Elementary stream headers read from crafted bytes, whole or cut short,
// and the probe's bound on what it reads.
#include <gtest/gtest.h>

#include "analysis/si/es_probe.h"
#include "tests/si/si_test_support.h"

namespace {

Bytes Repeat(const Bytes& frame, size_t frameSize, int count) {
  Bytes out;
  for (int i = 0; i < count; ++i) {
    Bytes f = frame;
    f.resize(frameSize, 0);
    out = Cat({out, f});
  }
  return out;
}

TEST(EsProbe, HeadersIntoFields) {
  struct Case {
    const char* what;
    EsFormat format;
    Bytes data;
    const char* codec;
    int width, height;
    double frameRate;
    int channels, sampleRate, bitRate;
    const char* layout;
    const char* aspect = nullptr;  // nullptr: not looked at
  } cases[] = {
      {"MPEG-2 sequence header and extension", EsFormat::Mpeg2Video,
       {0x00, 0x00, 0x01, 0xB3, 0x2D, 0x02, 0x40, 0x23, 0xFF, 0xFF, 0xE0, 0x18, 0x00, 0x00, 0x01, 0xB5, 0x14, 0x82,
        0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00},
       "MPEG-2 video", 720, 576, 25, 0, 0, 0, ""},
      {"MPEG-2 CIF, square samples: 11:9 as ffprobe says", EsFormat::Mpeg2Video,
       {0x00, 0x00, 0x01, 0xB3, 0x16, 0x01, 0x20, 0x13, 0xFF, 0xFF, 0xE0, 0x18, 0x00, 0x00, 0x01, 0xB5, 0x14, 0x82,
        0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00},
       "MPEG-2 video", 352, 288, 25, 0, 0, 0, "", "11:9"},
      {"ADTS, two frames", EsFormat::AacAdts, Repeat({0xFF, 0xF1, 0x4C, 0x80, 0x02, 0x9F, 0xFC}, 20, 2), "AAC", 0, 0, 0,
       2, 48000, 0, "2.0"},
      {"AC-3 3/2 with LFE at 384 kbit/s", EsFormat::Ac3, Repeat({0x0B, 0x77, 0, 0, 0x1C, 0x40, 0xE1, 0}, 1536, 2), "AC-3",
       0, 0, 0, 6, 48000, 384000, "5.1"},
      {"E-AC-3 2/0", EsFormat::Eac3, Repeat({0x0B, 0x77, 0x02, 0xFF, 0x34, 0x80, 0, 0}, 1536, 2), "E-AC-3", 0, 0, 0, 2,
       48000, 384000, "2.0"},
      {"MPEG-1 layer 2 after some garbage", EsFormat::MpegAudio,
       Cat({{0x12, 0xFF, 0x00}, Repeat({0xFF, 0xFD, 0xA4, 0x00}, 576, 2)}), "MPEG-1 audio layer 2", 0, 0, 0, 2, 48000,
       192000, "2.0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EsInfo info;
    ASSERT_TRUE(ReadEsHeader(c.format, c.data.data(), c.data.size(), info));
    EXPECT_EQ(info.codec, c.codec);
    EXPECT_EQ(info.width, c.width);
    EXPECT_EQ(info.height, c.height);
    EXPECT_NEAR(info.frameRate, c.frameRate, 1e-6);
    EXPECT_EQ(info.channels, c.channels);
    EXPECT_EQ(info.sampleRate, c.sampleRate);
    EXPECT_EQ(info.bitRate, c.bitRate);
    EXPECT_EQ(info.channelLayout, c.layout);
    if (c.aspect) {
      EXPECT_EQ(info.aspectRatio, c.aspect);
    }
    // Cut anywhere before its end, a header is not believed half-read.
    for (size_t size = 0; size + 1 < c.data.size(); size += 7) {
      EsInfo cut;
      if (ReadEsHeader(c.format, c.data.data(), size, cut)) {
        EXPECT_EQ(cut.codec, c.codec);
      }
    }
  }
}

TEST(EsProbe, FormatFromStreamTypeAndDescriptors) {
  EXPECT_EQ(EsFormatFor(0x1B, {}, 0), EsFormat::H264);
  EXPECT_EQ(EsFormatFor(0x06, {0x0A, 0x6A}, 0), EsFormat::Ac3);
  EXPECT_EQ(EsFormatFor(0x06, {0x7A}, 0), EsFormat::Eac3);
  EXPECT_EQ(EsFormatFor(0x06, {}, 0x48455643), EsFormat::Hevc);
  EXPECT_EQ(EsFormatFor(0x06, {0x59}, 0), EsFormat::Unknown);  // subtitles: nothing to read
  EXPECT_EQ(EsFormatFor(0x81, {}, 0), EsFormat::Ac3);
}

TEST(EsProbe, ReadsFromPacketsAndStopsAtItsBound) {
  EsProbe probe;
  probe.SetFormat(0x100, EsFormat::Mpeg2Video);
  probe.SetFormat(0x200, EsFormat::AacAdts);
  // A PES header, then the sequence header split over two payloads.
  const Bytes pes = {0x00, 0x00, 0x01, 0xE0, 0x00, 0x00, 0x80, 0x00, 0x00};
  const Bytes es = {0x00, 0x00, 0x01, 0xB3, 0x2D, 0x02, 0x40, 0x23, 0xFF, 0xFF, 0xE0, 0x18, 0x00, 0x00, 0x01,
                    0xB5, 0x14, 0x82, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00};
  const Bytes first = Cat({pes, Bytes(es.begin(), es.begin() + 10)});
  const Bytes second(es.begin() + 10, es.end());
  probe.Payload(0x100, second.data(), second.size(), false);  // before any PES start: ignored
  probe.Payload(0x100, first.data(), first.size(), true);
  probe.Payload(0x100, second.data(), second.size(), false);
  const Bytes noise(184, 0x00);
  for (size_t n = 0; n < kEsProbeMaxBytes / noise.size() + 10; ++n) probe.Payload(0x200, noise.data(), noise.size(), n == 0);
  const std::map<int, EsInfo> results = probe.Results();
  ASSERT_EQ(results.size(), 2u);
  EXPECT_TRUE(results.at(0x100).found);
  EXPECT_EQ(results.at(0x100).width, 720);
  EXPECT_FALSE(results.at(0x200).found);
}

}  // namespace
