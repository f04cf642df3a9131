// Building small sections and transport streams for the service
// information tests.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "analysis/si/atsc_text.h"

using Bytes = std::vector<uint8_t>;

inline uint32_t SectionCrc(const uint8_t* data, size_t size) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) {
    crc ^= uint32_t{data[i]} << 24;
    for (int k = 0; k < 8; ++k) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
  }
  return crc;
}

inline void AppendCrc(Bytes& s) {
  const uint32_t crc = SectionCrc(s.data(), s.size());
  for (int shift = 24; shift >= 0; shift -= 8) s.push_back(static_cast<uint8_t>(crc >> shift));
}

inline Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline Bytes U16(int v) { return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)}; }
inline Bytes U32(uint32_t v) {
  return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}
inline Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

// A descriptor: tag, length, body.
inline Bytes Descriptor(int tag, const Bytes& body) {
  Bytes d = {static_cast<uint8_t>(tag), static_cast<uint8_t>(body.size())};
  d.insert(d.end(), body.begin(), body.end());
  return d;
}

// A loop of descriptors preceded by its 12-bit length (the 4 top bits set).
inline Bytes Loop(const Bytes& descriptors) {
  Bytes l = {static_cast<uint8_t>(0xF0 | (descriptors.size() >> 8)), static_cast<uint8_t>(descriptors.size())};
  l.insert(l.end(), descriptors.begin(), descriptors.end());
  return l;
}

// A long-form section with its CRC_32.
inline Bytes LongSection(int tableId, int extension, int version, int number, int last, const Bytes& body,
                         bool current = true) {
  const size_t length = 5 + body.size() + 4;
  Bytes s = {static_cast<uint8_t>(tableId), static_cast<uint8_t>(0xB0 | (length >> 8)), static_cast<uint8_t>(length),
             static_cast<uint8_t>(extension >> 8), static_cast<uint8_t>(extension),
             static_cast<uint8_t>(0xC0 | (version << 1) | (current ? 1 : 0)), static_cast<uint8_t>(number),
             static_cast<uint8_t>(last)};
  s.insert(s.end(), body.begin(), body.end());
  AppendCrc(s);
  return s;
}

// A short-form section (TDT, TOT with `crc`, splice_info).
inline Bytes ShortSection(int tableId, const Bytes& body, bool crc) {
  const size_t length = body.size() + (crc ? 4 : 0);
  Bytes s = {static_cast<uint8_t>(tableId), static_cast<uint8_t>(0x70 | (length >> 8)), static_cast<uint8_t>(length)};
  s.insert(s.end(), body.begin(), body.end());
  if (crc) AppendCrc(s);
  return s;
}

// MJD + BCD time of 2026-12-07 hh:mm:ss (MJD 61381).
inline Bytes DvbTime(int hh, int mm, int ss) {
  auto bcd = [](int v) { return static_cast<uint8_t>(((v / 10) << 4) | (v % 10)); };
  return {static_cast<uint8_t>(61381 >> 8), static_cast<uint8_t>(61381 & 0xFF), bcd(hh), bcd(mm), bcd(ss)};
}

// TS packets carrying `section` on `pid` (continuity counter `cc` goes on).
inline Bytes Packetize(int pid, const Bytes& section, int& cc) {
  Bytes out;
  size_t pos = 0;
  bool first = true;
  while (pos < section.size() || first) {
    Bytes p(188, 0xFF);
    p[0] = 0x47;
    p[1] = static_cast<uint8_t>((first ? 0x40 : 0) | (pid >> 8));
    p[2] = static_cast<uint8_t>(pid);
    p[3] = static_cast<uint8_t>(0x10 | (cc++ & 0x0F));
    size_t at = 4;
    if (first) p[at++] = 0;  // pointer_field
    const size_t n = std::min(section.size() - pos, p.size() - at);
    std::copy(section.begin() + static_cast<long>(pos), section.begin() + static_cast<long>(pos + n), p.begin() + static_cast<long>(at));
    pos += n;
    first = false;
    out.insert(out.end(), p.begin(), p.end());
  }
  return out;
}

inline Bytes NullPackets(int count) {
  Bytes out;
  for (int i = 0; i < count; ++i) {
    Bytes p(188, 0xFF);
    p[0] = 0x47;
    p[1] = 0x1F;
    p[2] = 0xFF;
    p[3] = 0x10;
    out.insert(out.end(), p.begin(), p.end());
  }
  return out;
}

// A PAT of one program and its PMT with the given elementary streams
// (stream_type, PID, ES descriptors).
struct EsEntry {
  int type;
  int pid;
  Bytes descriptors;
};

inline Bytes Pat(int tsid, int program, int pmtPid) {
  return LongSection(0x00, tsid, 0, 0, 0, Cat({U16(program), U16(0xE000 | pmtPid)}));
}

inline Bytes Pmt(int program, int pcrPid, const std::vector<EsEntry>& streams, const Bytes& programDescriptors = {}) {
  Bytes body = Cat({U16(0xE000 | pcrPid), Loop(programDescriptors)});
  for (const EsEntry& e : streams) body = Cat({body, {static_cast<uint8_t>(e.type)}, U16(0xE000 | e.pid), Loop(e.descriptors)});
  return LongSection(0x02, program, 0, 0, 0, body);
}

// A DVB stream with a guide: PAT, PMT (H.264, AC-3 audio in German,
// English subtitles), SDT, NIT with NorDig channel numbers, EIT
// present/following and schedule (events 10 and 11 in both; event 12,
// `lateTitle`, `lateDuration` BCD, in the schedule), TDT.
inline Bytes MakeDvbGuideStream(const std::string& lateTitle = "Nachtmagazin", const Bytes& lateDuration = {0x01, 0x00, 0x00}) {
  const Bytes pat = Pat(1, 1, 0x100);
  const Bytes pmt = Pmt(1, 0x101,
                        {{0x1B, 0x101, {}},
                         {0x06, 0x102, Cat({Descriptor(0x6A, {0x00}), Descriptor(0x0A, Cat({Text("deu"), {0}}))})},
                         {0x06, 0x103, Descriptor(0x59, Cat({Text("eng"), {0x10}, U16(1), U16(1)}))}});
  const Bytes sdt = LongSection(0x42, 1, 0, 0, 0,
                                Cat({U16(0x2000), {0xFF}, U16(1), {0xFC}, Loop(Descriptor(0x48, Cat({{0x01, 3}, Text("ARD"), {4}, Text("Eins")})))}));
  const Bytes nit = LongSection(
      0x40, 0x3000, 0, 0, 0,
      Cat({Loop(Descriptor(0x40, Text("Vantrel Net"))),
           Loop(Cat({U16(1), U16(0x2000), Loop(Cat({Descriptor(0x5F, U32(0x29)), Descriptor(0x83, Cat({U16(1), U16(0x8065)}))}))}))}));
  auto event = [](int id, int hh, const char* title, int genre, const Bytes& duration = {0x01, 0x00, 0x00}) {
    const std::string t = title;
    return Cat({U16(id), DvbTime(hh, 0, 0), duration,
                Loop(Cat({Descriptor(0x4D, Cat({Text("deu"), {static_cast<uint8_t>(t.size())}, Text(t), {4}, Text("Kurz")})),
                          Descriptor(0x4E, Cat({{0x00}, Text("deu"), {0}, {11}, Text("Lange Story")})),
                          Descriptor(0x54, {static_cast<uint8_t>(genre), 0}), Descriptor(0x55, Cat({Text("DEU"), {0x09}}))}))});
  };
  // running_status 4 (running) in the top bits of the loop length of the first event.
  const Bytes eitHeader = Cat({U16(1), U16(0x2000), {0, 0x4E}});
  const Bytes pf0 = LongSection(0x4E, 1, 0, 0, 1, Cat({eitHeader, event(10, 21, "Tagesschau", 0x20)}));
  const Bytes pf1 = LongSection(0x4E, 1, 0, 1, 1, Cat({eitHeader, event(11, 22, "Film", 0x10)}));
  const Bytes sched = LongSection(0x50, 1, 0, 0, 0,
                                  Cat({U16(1), U16(0x2000), {0, 0x50}, event(10, 21, "Tagesschau", 0x20),
                                       event(11, 22, "Film", 0x10), event(12, 23, lateTitle.c_str(), 0x20, lateDuration)}));
  Bytes stream;
  int cc[0x2000] = {};
  for (int round = 0; round < 3; ++round) {
    for (auto [pid, s] : {std::pair{0, &pat}, {0x100, &pmt}, {0x11, &sdt}, {0x10, &nit}, {0x12, &pf0}, {0x12, &pf1}, {0x12, &sched}})
      stream = Cat({stream, Packetize(pid, *s, cc[pid])});
    const Bytes tdt = ShortSection(0x70, DvbTime(21, 15, round * 5), false);
    stream = Cat({stream, Packetize(0x14, tdt, cc[0x14]), NullPackets(10)});
  }
  return stream;
}

// GPS seconds of 2026-12-07T20:00:00Z with 18 leap seconds.
constexpr uint32_t kAtscEventGps = 1796673600u - 315964800u + 18u;

// An ATSC stream: PAT and PMT, MGT naming a TVCT, EIT-0 on 0x1D00 and
// event ETT-0 on 0x1E00; the TVCT names channel 7.1 "KVTR Vantrel"
// (source 5); the EIT's title is Huffman-coded; STT with 18 leap seconds.
// `vctTableId` 0xC9: a cable VCT (CVCT) instead, with the same channel.
inline Bytes MakeAtscGuideStream(const std::string& title, int vctTableId = 0xC8) {
  const Bytes pat = Pat(0x0ABC, 3, 0x30);
  const Bytes pmt = Pmt(3, 0x31, {{0x02, 0x31, {}}, {0x81, 0x34, {}}});
  auto table = [](int type, int pid) { return Cat({U16(type), U16(0xE000 | pid), {0xE0}, U32(100), {0xF0, 0x00}}); };
  const Bytes mgt = LongSection(0xC7, 0, 0, 0, 0,
                                Cat({{0x00}, U16(3), table(vctTableId == 0xC9 ? 0x0002 : 0x0000, 0x1FFB), table(0x0100, 0x1D00), table(0x0200, 0x1E00), {0xF0, 0x00}}));
  Bytes shortName;
  for (char c : std::string("KVTR\0\0\0", 7)) shortName = Cat({shortName, U16(static_cast<uint8_t>(c))});
  const int major = 7, minor = 1;
  const Bytes longName = Descriptor(0xA0, Cat({{0x01}, Text("eng"), {0x01, 0x00, 0x00, 12}, Text("KVTR Vantrel")}));
  const Bytes channel = Cat({shortName,
                             {static_cast<uint8_t>(0xF0 | (major >> 6)), static_cast<uint8_t>(((major & 0x3F) << 2) | (minor >> 8)),
                              static_cast<uint8_t>(minor), 0x04},
                             U32(0), U16(0x0ABC), U16(3), {0x4D, 0xC2}, U16(5),
                             {static_cast<uint8_t>(0xFC | (longName.size() >> 8)), static_cast<uint8_t>(longName.size())}, longName});
  const Bytes tvct = LongSection(vctTableId, 0x0ABC, 0, 0, 0, Cat({{0x00, 0x01}, channel, {0xFC, 0x00}}));
  const Bytes stt = LongSection(0xCD, 0, 0, 0, 0, Cat({{0x00}, U32(kAtscEventGps + 600), {18}, U16(0x6000)}));
  const Bytes coded = EncodeAtscHuffman(1, title);
  const Bytes titleText = Cat({{0x01}, Text("eng"), {0x01, 0x01, 0x00, static_cast<uint8_t>(coded.size())}, coded});
  const Bytes eit = LongSection(
      0xCB, 5, 0, 0, 0,
      Cat({{0x00, 0x01}, U16(0xC000 | 7), U32(kAtscEventGps), {0xD0, 0x07, 0x08}, {static_cast<uint8_t>(titleText.size())},
           titleText, {0xF0, 0x00}}));
  const Bytes ett = LongSection(
      0xCC, 0, 0, 0, 0,
      Cat({{0x00}, U32((5u << 16) | (7u << 2) | 2u), {0x01}, Text("eng"), {0x01, 0x00, 0x00, 18}, Text("Weather and sports")}));
  Bytes stream;
  int cc[0x2000] = {};
  for (int round = 0; round < 2; ++round) {
    for (auto [pid, s] : {std::pair{0, &pat}, {0x30, &pmt}, {0x1FFB, &mgt}, {0x1FFB, &tvct}, {0x1FFB, &stt}, {0x1D00, &eit}, {0x1E00, &ett}})
      stream = Cat({stream, Packetize(pid, *s, cc[pid])});
    stream = Cat({stream, NullPackets(5)});
  }
  return stream;
}
