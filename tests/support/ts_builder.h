// Synthetic transport streams for the tests: 188-byte packets with chosen
// header fields, adaptation fields and payloads; long-form PSI sections with a
// correct or broken CRC-32; PAT, PMT and SDT section bodies; sections split
// into packets behind a pointer_field; null packets and garbage bytes.
//
// Bytes are std::vector<uint8_t> throughout. A typical stream:
//
//   using namespace tsbuild;
//   TsStreamBuilder stream;
//   stream.Section(0x0000, PatSection(1, {{1, 0x100}, {2, 0x101}}))
//         .Section(0x0100, PmtSection(1, 0x200, {{0x02, 0x200}, {0x03, 0x201}}))
//         .NullPackets(3)
//         .Garbage(Bytes{0x00, 0x47, 0x12})
//         .Packet({.pid = 0x200, .pusi = 1, .cc = 5}, Bytes(10, 0xAB));
//   stream.WriteTo(dir.File("a.ts"));
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tsbuild {

using Bytes = std::vector<uint8_t>;

constexpr int kTsPacketSize = 188;
constexpr int kNullPid = 0x1FFF;

// The raw bytes of a text, e.g. a service name (no character-set conversion).
Bytes TextBytes(const std::string& text);
// Appends `tail` to `to`.
void Append(Bytes& to, const Bytes& tail);

// ---- Packets ---------------------------------------------------------------

// Header fields of one packet. Values are masked to their field widths.
struct TsHeader {
  int pid = 0;
  int pusi = 0;          // payload_unit_start_indicator
  int priority = 0;      // transport_priority
  int tei = 0;           // transport_error_indicator
  int scrambling = 0;    // transport_scrambling_control, 0..3
  int afc = 1;           // adaptation_field_control: 1 payload, 2 adaptation, 3 both, 0 reserved
  int cc = 0;            // continuity_counter, 0..15
  // With afc 2 or 3: the adaptation_field_length byte written as is when
  // >= 0 (for malformed lengths); when -1 it is derived: 183 for afc 2,
  // adaptation.size() for afc 3.
  int adaptationLength = -1;
};

// One 188-byte packet: the 4 header bytes; with afc 2 or 3 the
// adaptation_field_length byte and `adaptation` (the bytes after the length
// byte); then `payload`. Everything behind is 0xFF stuffing. Content that does
// not fit is cut at 188 bytes.
Bytes TsPacket(const TsHeader& header, const Bytes& payload = {}, const Bytes& adaptation = {});

// A null packet (PID 0x1FFF, payload only, all payload bytes 0xFF).
Bytes NullPacket(int cc = 0);

// `count` back-to-back packets on `pid`, payload only, continuity counter
// index & 15; payload bytes 0..3 hold the packet's index (big-endian), the
// rest is 0xFF. Handy to check which packet a reader delivered.
Bytes NumberedPackets(int count, int pid = 0x100, int firstIndex = 0);
// The index NumberedPackets wrote into a packet.
int PacketIndex(const uint8_t* packet);

// ---- PSI sections ----------------------------------------------------------

// CRC-32 of ISO/IEC 13818-1 Annex A: polynomial 0x04C11DB7, initial value
// 0xFFFFFFFF, most significant bit first, no reflection, no final XOR. A
// whole section including its CRC_32 field gives 0.
uint32_t MpegCrc32(const uint8_t* data, size_t size);

struct SectionHeader {
  int tableId = 0;
  int tableIdExtension = 0;   // transport_stream_id (PAT, SDT) or program_number (PMT)
  int version = 0;
  int currentNext = 1;
  int sectionNumber = 0;
  int lastSectionNumber = 0;
  int syntaxIndicator = 1;
};

// A long-form section: 8 header bytes, `body`, CRC_32.
// section_length = 5 + body.size() + 4. With goodCrc false the CRC_32 field
// is wrong (its last byte inverted).
Bytes LongSection(const SectionHeader& header, const Bytes& body, bool goodCrc = true);

// The same section with its last byte (part of CRC_32) inverted.
Bytes WithBrokenCrc(Bytes section);

// A descriptor: tag, length, data.
Bytes Descriptor(int tag, const Bytes& data);

struct PatEntry {
  int programNumber;
  int pid;  // PMT PID (network PID when programNumber is 0)
};
// PAT body: 4-byte entries (program_number, 3 reserved bits, PID).
Bytes PatBody(const std::vector<PatEntry>& entries);
Bytes PatSection(int transportStreamId, const std::vector<PatEntry>& entries,
                 int sectionNumber = 0, int lastSectionNumber = 0, bool goodCrc = true);

struct PmtStream {
  int streamType;
  int pid;
  Bytes esInfo = {};  // concatenated descriptors, see Descriptor()
};
// PMT body: PCR_PID, program_info_length + programInfo, then the streams.
Bytes PmtBody(int pcrPid, const std::vector<PmtStream>& streams, const Bytes& programInfo = {});
Bytes PmtSection(int programNumber, int pcrPid, const std::vector<PmtStream>& streams,
                 bool goodCrc = true);

struct SdtService {
  int serviceId;
  int serviceType = 1;
  Bytes provider = {};
  Bytes name = {};
  bool withServiceDescriptor = true;  // false: only otherDescriptors
  Bytes otherDescriptors = {};        // placed before the service descriptor
};
// The service descriptor (tag 0x48): service_type, provider name, service name.
Bytes ServiceDescriptor(int serviceType, const Bytes& provider, const Bytes& name);
// SDT body: original_network_id, a reserved byte, then the service entries
// (service_id, flags byte, running_status/free_CA_mode and
// descriptors_loop_length, descriptors).
Bytes SdtBody(int originalNetworkId, const std::vector<SdtService>& services);
// tableId 0x42 (actual) or 0x4A etc.
Bytes SdtSection(int transportStreamId, int originalNetworkId,
                 const std::vector<SdtService>& services, int tableId = 0x42,
                 bool goodCrc = true);

// Splits `sections` (one or several sections back to back) into packets on
// `pid`: the first packet has payload_unit_start_indicator 1 and
// pointer_field `pointerField` followed by `tailOfPrevious` (its length must
// equal pointerField for a well-formed stream; it is written as given), then
// the sections; further packets carry the rest. Continuity counters run from
// `firstCc`. The last packet is filled with 0xFF stuffing.
Bytes SectionPackets(int pid, const Bytes& sections, int firstCc = 0, int pointerField = 0,
                     const Bytes& tailOfPrevious = {});

// ---- Timing fields ---------------------------------------------------------

// 27 MHz ticks per second, and the PCR period: PCR_base (33 bits) x 300.
constexpr uint64_t kPcrHz = 27000000;
constexpr uint64_t kPcrWrap = (uint64_t{1} << 33) * 300;

// Adaptation field bytes after adaptation_field_length (for TsPacket's
// `adaptation`): the flags byte, then the PCR when `pcr` is given (a 27 MHz
// value, taken modulo kPcrWrap and coded as base x 300 + extension).
Bytes AdaptationField(bool discontinuity, bool randomAccess = false, const uint64_t* pcr = nullptr);
Bytes PcrAdaptation(uint64_t pcr, bool discontinuity = false);

// A PES header with a PTS (90 kHz, 33 bits) for stream_id `streamId`
// (0xE0 video, 0xC0 audio); PES_packet_length 0.
Bytes PesHeaderWithPts(int streamId, uint64_t pts);

// The same 188-byte packets as `ts` in another framing: 192 puts a 4-byte
// prefix in front of each packet (`prefix` as big-endian, plus the packet's
// index); 204 and 208 append a trailer of `trailerFill` bytes.
Bytes Reframe(const Bytes& ts, int packetSize, uint32_t prefix = 0, uint8_t trailerFill = 0x00);

// ---- Whole streams ---------------------------------------------------------

// Appends packets and bytes in order; keeps a continuity counter per PID for
// the Section() and NullPackets() packets.
class TsStreamBuilder {
public:
  TsStreamBuilder& Packet(const TsHeader& header, const Bytes& payload = {},
                          const Bytes& adaptation = {});
  // `sections` split into packets as SectionPackets() does, pointer_field 0.
  TsStreamBuilder& Section(int pid, const Bytes& sections);
  TsStreamBuilder& NullPackets(int count);
  TsStreamBuilder& Numbered(int count, int pid = 0x100);
  // Raw bytes, e.g. garbage between packets.
  TsStreamBuilder& Garbage(const Bytes& bytes);
  // `count` garbage bytes of value `fill` (default 0x00, never a sync byte).
  TsStreamBuilder& Garbage(size_t count, uint8_t fill = 0x00);
  TsStreamBuilder& Raw(const Bytes& bytes) { return Garbage(bytes); }

  const Bytes& bytes() const { return bytes_; }
  size_t size() const { return bytes_.size(); }
  // Writes the stream to `path` (truncating); false on failure.
  bool WriteTo(const std::string& path) const;

private:
  int NextCc(int pid);
  Bytes bytes_;
  std::vector<int> cc_ = std::vector<int>(8192, 0);
  int numbered_ = 0;
};

// Writes `bytes` to `path` (truncating); false on failure.
bool WriteTsFile(const std::string& path, const Bytes& bytes);

}  // namespace tsbuild
