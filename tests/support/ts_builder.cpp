#include "tests/support/ts_builder.h"

#include <algorithm>
#include <cstdio>

namespace tsbuild {

Bytes TextBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

void Append(Bytes& to, const Bytes& tail) { to.insert(to.end(), tail.begin(), tail.end()); }

Bytes TsPacket(const TsHeader& header, const Bytes& payload, const Bytes& adaptation) {
  Bytes packet;
  packet.reserve(kTsPacketSize);
  packet.push_back(0x47);
  packet.push_back(static_cast<uint8_t>(((header.tei & 1) << 7) | ((header.pusi & 1) << 6) |
                                        ((header.priority & 1) << 5) |
                                        ((header.pid >> 8) & 0x1F)));
  packet.push_back(static_cast<uint8_t>(header.pid & 0xFF));
  packet.push_back(static_cast<uint8_t>(((header.scrambling & 3) << 6) |
                                        ((header.afc & 3) << 4) | (header.cc & 0x0F)));
  if (header.afc & 2) {
    int length = header.adaptationLength;
    if (length < 0) length = (header.afc == 2) ? 183 : static_cast<int>(adaptation.size());
    packet.push_back(static_cast<uint8_t>(length));
    Append(packet, adaptation);
    // Pad the adaptation field with stuffing up to its declared length (all
    // of the packet for afc 2) before any payload is placed.
    size_t end = std::min<size_t>(5 + static_cast<size_t>(length), kTsPacketSize);
    if (packet.size() < end) packet.resize(end, 0xFF);
  }
  if (header.afc & 1) Append(packet, payload);
  packet.resize(kTsPacketSize, 0xFF);
  return packet;
}

Bytes NullPacket(int cc) { return TsPacket({.pid = kNullPid, .cc = cc}); }

Bytes NumberedPackets(int count, int pid, int firstIndex) {
  Bytes out;
  out.reserve(static_cast<size_t>(std::max(count, 0)) * kTsPacketSize);
  for (int i = 0; i < count; ++i) {
    uint32_t index = static_cast<uint32_t>(firstIndex + i);
    Bytes payload{static_cast<uint8_t>(index >> 24), static_cast<uint8_t>(index >> 16),
                  static_cast<uint8_t>(index >> 8), static_cast<uint8_t>(index)};
    Append(out, TsPacket({.pid = pid, .cc = static_cast<int>(index & 15)}, payload));
  }
  return out;
}

int PacketIndex(const uint8_t* packet) {
  return static_cast<int>((uint32_t{packet[4]} << 24) | (uint32_t{packet[5]} << 16) |
                          (uint32_t{packet[6]} << 8) | uint32_t{packet[7]});
}

uint32_t MpegCrc32(const uint8_t* data, size_t size) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) {
    crc ^= uint32_t{data[i]} << 24;
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : (crc << 1);
  }
  return crc;
}

Bytes LongSection(const SectionHeader& header, const Bytes& body, bool goodCrc) {
  int sectionLength = 5 + static_cast<int>(body.size()) + 4;
  Bytes section{
      static_cast<uint8_t>(header.tableId),
      static_cast<uint8_t>(((header.syntaxIndicator & 1) << 7) | 0x30 | ((sectionLength >> 8) & 0x0F)),
      static_cast<uint8_t>(sectionLength & 0xFF),
      static_cast<uint8_t>(header.tableIdExtension >> 8),
      static_cast<uint8_t>(header.tableIdExtension & 0xFF),
      static_cast<uint8_t>(0xC0 | ((header.version & 0x1F) << 1) | (header.currentNext & 1)),
      static_cast<uint8_t>(header.sectionNumber),
      static_cast<uint8_t>(header.lastSectionNumber)};
  Append(section, body);
  uint32_t crc = MpegCrc32(section.data(), section.size());
  for (int shift = 24; shift >= 0; shift -= 8) section.push_back(static_cast<uint8_t>(crc >> shift));
  return goodCrc ? section : WithBrokenCrc(std::move(section));
}

Bytes WithBrokenCrc(Bytes section) {
  if (!section.empty()) section.back() ^= 0xFF;
  return section;
}

Bytes Descriptor(int tag, const Bytes& data) {
  Bytes out{static_cast<uint8_t>(tag), static_cast<uint8_t>(data.size())};
  Append(out, data);
  return out;
}

Bytes PatBody(const std::vector<PatEntry>& entries) {
  Bytes body;
  for (const PatEntry& entry : entries) {
    body.push_back(static_cast<uint8_t>(entry.programNumber >> 8));
    body.push_back(static_cast<uint8_t>(entry.programNumber & 0xFF));
    body.push_back(static_cast<uint8_t>(0xE0 | ((entry.pid >> 8) & 0x1F)));
    body.push_back(static_cast<uint8_t>(entry.pid & 0xFF));
  }
  return body;
}

Bytes PatSection(int transportStreamId, const std::vector<PatEntry>& entries, int sectionNumber,
                 int lastSectionNumber, bool goodCrc) {
  return LongSection({.tableId = 0x00,
                      .tableIdExtension = transportStreamId,
                      .sectionNumber = sectionNumber,
                      .lastSectionNumber = lastSectionNumber},
                     PatBody(entries), goodCrc);
}

Bytes PmtBody(int pcrPid, const std::vector<PmtStream>& streams, const Bytes& programInfo) {
  Bytes body{static_cast<uint8_t>(0xE0 | ((pcrPid >> 8) & 0x1F)), static_cast<uint8_t>(pcrPid & 0xFF),
             static_cast<uint8_t>(0xF0 | ((programInfo.size() >> 8) & 0x0F)),
             static_cast<uint8_t>(programInfo.size() & 0xFF)};
  Append(body, programInfo);
  for (const PmtStream& stream : streams) {
    body.push_back(static_cast<uint8_t>(stream.streamType));
    body.push_back(static_cast<uint8_t>(0xE0 | ((stream.pid >> 8) & 0x1F)));
    body.push_back(static_cast<uint8_t>(stream.pid & 0xFF));
    body.push_back(static_cast<uint8_t>(0xF0 | ((stream.esInfo.size() >> 8) & 0x0F)));
    body.push_back(static_cast<uint8_t>(stream.esInfo.size() & 0xFF));
    Append(body, stream.esInfo);
  }
  return body;
}

Bytes PmtSection(int programNumber, int pcrPid, const std::vector<PmtStream>& streams,
                 bool goodCrc) {
  return LongSection({.tableId = 0x02, .tableIdExtension = programNumber},
                     PmtBody(pcrPid, streams), goodCrc);
}

Bytes ServiceDescriptor(int serviceType, const Bytes& provider, const Bytes& name) {
  Bytes data{static_cast<uint8_t>(serviceType), static_cast<uint8_t>(provider.size())};
  Append(data, provider);
  data.push_back(static_cast<uint8_t>(name.size()));
  Append(data, name);
  return Descriptor(0x48, data);
}

Bytes SdtBody(int originalNetworkId, const std::vector<SdtService>& services) {
  Bytes body{static_cast<uint8_t>(originalNetworkId >> 8),
             static_cast<uint8_t>(originalNetworkId & 0xFF), 0xFF};
  for (const SdtService& service : services) {
    Bytes descriptors = service.otherDescriptors;
    if (service.withServiceDescriptor)
      Append(descriptors, ServiceDescriptor(service.serviceType, service.provider, service.name));
    body.push_back(static_cast<uint8_t>(service.serviceId >> 8));
    body.push_back(static_cast<uint8_t>(service.serviceId & 0xFF));
    body.push_back(0xFC);  // reserved bits, no EIT flags
    // running_status 4 (running), free_CA_mode 0.
    body.push_back(static_cast<uint8_t>(0x80 | ((descriptors.size() >> 8) & 0x0F)));
    body.push_back(static_cast<uint8_t>(descriptors.size() & 0xFF));
    Append(body, descriptors);
  }
  return body;
}

Bytes SdtSection(int transportStreamId, int originalNetworkId,
                 const std::vector<SdtService>& services, int tableId, bool goodCrc) {
  return LongSection({.tableId = tableId, .tableIdExtension = transportStreamId},
                     SdtBody(originalNetworkId, services), goodCrc);
}

Bytes SectionPackets(int pid, const Bytes& sections, int firstCc, int pointerField,
                     const Bytes& tailOfPrevious) {
  Bytes payload{static_cast<uint8_t>(pointerField)};
  Append(payload, tailOfPrevious);
  Append(payload, sections);
  Bytes out;
  int cc = firstCc;
  constexpr size_t kPayloadSize = kTsPacketSize - 4;
  for (size_t offset = 0; offset < payload.size(); offset += kPayloadSize) {
    size_t count = std::min(kPayloadSize, payload.size() - offset);
    Bytes piece(payload.begin() + static_cast<std::ptrdiff_t>(offset),
                payload.begin() + static_cast<std::ptrdiff_t>(offset + count));
    Append(out, TsPacket({.pid = pid, .pusi = offset == 0 ? 1 : 0, .cc = cc}, piece));
    cc = (cc + 1) & 15;
  }
  return out;
}

TsStreamBuilder& TsStreamBuilder::Packet(const TsHeader& header, const Bytes& payload,
                                         const Bytes& adaptation) {
  Append(bytes_, TsPacket(header, payload, adaptation));
  return *this;
}

TsStreamBuilder& TsStreamBuilder::Section(int pid, const Bytes& sections) {
  Bytes packets = SectionPackets(pid, sections, cc_[pid & 0x1FFF]);
  cc_[pid & 0x1FFF] = (cc_[pid & 0x1FFF] + static_cast<int>(packets.size() / kTsPacketSize)) & 15;
  Append(bytes_, packets);
  return *this;
}

TsStreamBuilder& TsStreamBuilder::NullPackets(int count) {
  for (int i = 0; i < count; ++i) Append(bytes_, NullPacket(NextCc(kNullPid)));
  return *this;
}

TsStreamBuilder& TsStreamBuilder::Numbered(int count, int pid) {
  Append(bytes_, NumberedPackets(count, pid, numbered_));
  numbered_ += count;
  return *this;
}

TsStreamBuilder& TsStreamBuilder::Garbage(const Bytes& bytes) {
  Append(bytes_, bytes);
  return *this;
}

TsStreamBuilder& TsStreamBuilder::Garbage(size_t count, uint8_t fill) {
  bytes_.insert(bytes_.end(), count, fill);
  return *this;
}

bool TsStreamBuilder::WriteTo(const std::string& path) const { return WriteTsFile(path, bytes_); }

int TsStreamBuilder::NextCc(int pid) {
  int cc = cc_[pid & 0x1FFF];
  cc_[pid & 0x1FFF] = (cc + 1) & 15;
  return cc;
}

Bytes AdaptationField(bool discontinuity, bool randomAccess, const uint64_t* pcr) {
  Bytes field{static_cast<uint8_t>((discontinuity ? 0x80 : 0) | (randomAccess ? 0x40 : 0) |
                                   (pcr ? 0x10 : 0))};
  if (pcr) {
    const uint64_t value = *pcr % kPcrWrap;
    const uint64_t base = value / 300;
    const uint64_t extension = value % 300;
    field.push_back(static_cast<uint8_t>(base >> 25));
    field.push_back(static_cast<uint8_t>(base >> 17));
    field.push_back(static_cast<uint8_t>(base >> 9));
    field.push_back(static_cast<uint8_t>(base >> 1));
    field.push_back(static_cast<uint8_t>(((base & 1) << 7) | 0x7E | (extension >> 8)));
    field.push_back(static_cast<uint8_t>(extension & 0xFF));
  }
  return field;
}

Bytes PcrAdaptation(uint64_t pcr, bool discontinuity) {
  return AdaptationField(discontinuity, false, &pcr);
}

Bytes PesHeaderWithPts(int streamId, uint64_t pts) {
  pts &= (uint64_t{1} << 33) - 1;
  return Bytes{0x00, 0x00, 0x01, static_cast<uint8_t>(streamId), 0x00, 0x00, 0x80, 0x80, 0x05,
               static_cast<uint8_t>(0x21 | ((pts >> 29) & 0x0E)),
               static_cast<uint8_t>(pts >> 22),
               static_cast<uint8_t>(0x01 | ((pts >> 14) & 0xFE)),
               static_cast<uint8_t>(pts >> 7),
               static_cast<uint8_t>(0x01 | ((pts << 1) & 0xFE))};
}

Bytes Reframe(const Bytes& ts, int packetSize, uint32_t prefix, uint8_t trailerFill) {
  Bytes out;
  const size_t count = ts.size() / kTsPacketSize;
  out.reserve(count * static_cast<size_t>(packetSize));
  for (size_t i = 0; i < count; ++i) {
    if (packetSize == 192) {
      const uint32_t stamp = prefix + static_cast<uint32_t>(i);
      for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(stamp >> shift));
    }
    out.insert(out.end(), ts.begin() + static_cast<std::ptrdiff_t>(i * kTsPacketSize),
               ts.begin() + static_cast<std::ptrdiff_t>((i + 1) * kTsPacketSize));
    if (packetSize > 192) out.insert(out.end(), static_cast<size_t>(packetSize - kTsPacketSize), trailerFill);
  }
  return out;
}

bool WriteTsFile(const std::string& path, const Bytes& bytes) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  // An empty vector's data() may be null, which fwrite must not be given.
  bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && ok;
}

}  // namespace tsbuild
