// Tables into named fields. DVB tables: libdvbpsi's section decoders, fed
// with the sections the collector kept (their CRC and versions are checked
// by the engine and the collector, not by libdvbpsi's gatherers). ATSC PSIP
// and splice_info: read here.
#include "analysis/si/si_tables.h"

#include "analysis/health/health_checks.h"

// libdvbpsi's headers need the C integer types before them.
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <dvbpsi/dvbpsi.h>
#include <dvbpsi/psi.h>
#include <dvbpsi/descriptor.h>
#include <dvbpsi/pat.h>
#include <dvbpsi/pmt.h>
#include <dvbpsi/cat.h>
#include <dvbpsi/nit.h>
#include <dvbpsi/sdt.h>
#include <dvbpsi/bat.h>
#include <dvbpsi/eit.h>
#include <dvbpsi/tot.h>
#include <dvbpsi/rst.h>

#include <cstring>
#include <map>
#include <ctime>
#include <memory>

#include "analysis/si/atsc_text.h"
#include "platform/utc_time.h"

// libdvbpsi's per-section decoders: exported by the library, declared only
// in its private headers.
extern "C" {
void dvbpsi_pat_sections_decode(dvbpsi_pat_t*, dvbpsi_psi_section_t*);
void dvbpsi_pmt_sections_decode(dvbpsi_pmt_t*, dvbpsi_psi_section_t*);
void dvbpsi_cat_sections_decode(dvbpsi_cat_t*, dvbpsi_psi_section_t*);
void dvbpsi_nit_sections_decode(dvbpsi_nit_t*, dvbpsi_psi_section_t*);
void dvbpsi_sdt_sections_decode(dvbpsi_sdt_t*, dvbpsi_psi_section_t*);
void dvbpsi_bat_sections_decode(dvbpsi_bat_t*, dvbpsi_psi_section_t*);
void dvbpsi_eit_sections_decode(dvbpsi_eit_t*, dvbpsi_psi_section_t*);
void dvbpsi_tot_sections_decode(dvbpsi_t*, dvbpsi_tot_t*, dvbpsi_psi_section_t*);
void dvbpsi_rst_sections_decode(dvbpsi_rst_t*, dvbpsi_psi_section_t*);
}

namespace {

constexpr int64_t kGpsEpochUnix = 315964800;  // 1980-01-06T00:00:00Z

// A libdvbpsi section holding a copy of the bytes.
struct PsiSection {
  explicit PsiSection(const std::vector<uint8_t>& bytes) {
    section = dvbpsi_NewPSISection(static_cast<int>(bytes.size()));
    if (!section) return;
    std::memcpy(section->p_data, bytes.data(), bytes.size());
    const uint8_t* b = bytes.data();
    section->i_table_id = b[0];
    section->b_syntax_indicator = (b[1] & 0x80) != 0;
    section->b_private_indicator = (b[1] & 0x40) != 0;
    section->i_length = static_cast<uint16_t>(((b[1] & 0x0F) << 8) | b[2]);
    section->p_next = nullptr;
    uint8_t* end = section->p_data + bytes.size();
    if (section->b_syntax_indicator) {
      section->i_extension = static_cast<uint16_t>((b[3] << 8) | b[4]);
      section->i_version = (b[5] >> 1) & 0x1F;
      section->b_current_next = (b[5] & 1) != 0;
      section->i_number = b[6];
      section->i_last_number = b[7];
      section->p_payload_start = section->p_data + 8;
      section->p_payload_end = end - 4;
    } else {
      section->p_payload_start = section->p_data + 3;
      section->p_payload_end = end;  // a TOT's CRC_32 counts as payload for libdvbpsi
    }
  }
  ~PsiSection() {
    if (section) dvbpsi_DeletePSISections(section);
  }
  PsiSection(const PsiSection&) = delete;
  PsiSection& operator=(const PsiSection&) = delete;
  dvbpsi_psi_section_t* section = nullptr;
};

// The descriptors of a libdvbpsi list, decoded again from their bytes.
SiJson Descriptors(const dvbpsi_descriptor_t* first, const SiDecodeContext& context, uint32_t specifier = 0) {
  std::vector<uint8_t> bytes;
  for (const dvbpsi_descriptor_t* d = first; d; d = d->p_next) {
    bytes.push_back(d->i_tag);
    bytes.push_back(d->i_length);
    bytes.insert(bytes.end(), d->p_data, d->p_data + d->i_length);
  }
  return DecodeSiDescriptors(bytes.data(), bytes.size(), context, specifier);
}

const char* StreamTypeName(int type) {
  switch (type) {
    case 0x01: return "MPEG-1 video";
    case 0x02: return "MPEG-2 video";
    case 0x03: return "MPEG-1 audio";
    case 0x04: return "MPEG-2 audio";
    case 0x05: return "private sections";
    case 0x06: return "private PES";
    case 0x0B: return "DSM-CC";
    case 0x0F: return "AAC (ADTS)";
    case 0x10: return "MPEG-4 video";
    case 0x11: return "AAC (LATM)";
    case 0x15: return "metadata";
    case 0x1B: return "H.264";
    case 0x24: return "HEVC";
    case 0x81: return "AC-3";
    case 0x86: return "SCTE-35";
    case 0x87: return "E-AC-3";
    default: return "";
  }
}

SiJson TimeOrNull(std::optional<int64_t> t) { return t ? SiJson(UtcText(*t)) : SiJson(nullptr); }

SiJson DecodePat(PsiSection& p) {
  dvbpsi_pat_t pat;
  dvbpsi_pat_init(&pat, p.section->i_extension, p.section->i_version, p.section->b_current_next);
  dvbpsi_pat_sections_decode(&pat, p.section);
  SiJson j = {{"transport_stream_id", pat.i_ts_id}};
  SiJson programs = SiJson::array();
  for (const dvbpsi_pat_program_t* program = pat.p_first_program; program; program = program->p_next)
    programs.push_back({{"program_number", program->i_number}, {"pid", program->i_pid}});
  j["programs"] = programs;
  dvbpsi_pat_empty(&pat);
  return j;
}

SiJson DecodePmt(PsiSection& p, const SiDecodeContext& context) {
  const uint8_t* b = p.section->p_data;
  dvbpsi_pmt_t pmt;
  dvbpsi_pmt_init(&pmt, p.section->i_extension, p.section->i_version, p.section->b_current_next,
                  static_cast<uint16_t>(((b[8] & 0x1F) << 8) | b[9]));
  dvbpsi_pmt_sections_decode(&pmt, p.section);
  SiJson j = {{"program_number", pmt.i_program_number}, {"pcr_pid", pmt.i_pcr_pid}};
  j["descriptors"] = Descriptors(pmt.p_first_descriptor, context);
  SiJson streams = SiJson::array();
  for (const dvbpsi_pmt_es_t* es = pmt.p_first_es; es; es = es->p_next)
    streams.push_back({{"stream_type", es->i_type},
                       {"stream_type_name", StreamTypeName(es->i_type)},
                       {"pid", es->i_pid},
                       {"descriptors", Descriptors(es->p_first_descriptor, context)}});
  j["streams"] = streams;
  dvbpsi_pmt_empty(&pmt);
  return j;
}

SiJson DecodeCat(PsiSection& p, const SiDecodeContext& context) {
  dvbpsi_cat_t cat;
  dvbpsi_cat_init(&cat, p.section->i_version, p.section->b_current_next);
  dvbpsi_cat_sections_decode(&cat, p.section);
  SiJson j = {{"descriptors", Descriptors(cat.p_first_descriptor, context)}};
  dvbpsi_cat_empty(&cat);
  return j;
}

// NIT and BAT share their layout; the network's private data specifier
// carries into the transport stream loops.
template <typename Table, typename Ts>
SiJson NetworkLoops(const Table& table, const Ts* first, const SiDecodeContext& context) {
  SiJson j;
  j["descriptors"] = Descriptors(table.p_first_descriptor, context);
  uint32_t specifier = 0;
  for (const SiJson& d : j["descriptors"])
    if (d.contains("private_data_specifier")) specifier = d["private_data_specifier"].get<uint32_t>();
  SiJson streams = SiJson::array();
  for (const Ts* ts = first; ts; ts = ts->p_next)
    streams.push_back({{"transport_stream_id", ts->i_ts_id},
                       {"original_network_id", ts->i_orig_network_id},
                       {"descriptors", Descriptors(ts->p_first_descriptor, context, specifier)}});
  j["transport_streams"] = streams;
  return j;
}

SiJson DecodeNit(PsiSection& p, const SiDecodeContext& context) {
  dvbpsi_nit_t nit;
  dvbpsi_nit_init(&nit, p.section->i_table_id, p.section->i_extension, p.section->i_extension, p.section->i_version,
                  p.section->b_current_next);
  dvbpsi_nit_sections_decode(&nit, p.section);
  SiJson j = {{"network_id", p.section->i_extension}};
  j.update(NetworkLoops(nit, nit.p_first_ts, context));
  dvbpsi_nit_empty(&nit);
  return j;
}

SiJson DecodeBat(PsiSection& p, const SiDecodeContext& context) {
  dvbpsi_bat_t bat;
  dvbpsi_bat_init(&bat, p.section->i_table_id, p.section->i_extension, p.section->i_version, p.section->b_current_next);
  dvbpsi_bat_sections_decode(&bat, p.section);
  SiJson j = {{"bouquet_id", p.section->i_extension}};
  j.update(NetworkLoops(bat, bat.p_first_ts, context));
  dvbpsi_bat_empty(&bat);
  return j;
}

SiJson DecodeSdt(PsiSection& p, const SiDecodeContext& context) {
  const uint8_t* b = p.section->p_data;
  if (p.section->p_payload_end - p.section->p_payload_start < 3) return {{"error", "section too short"}};
  dvbpsi_sdt_t sdt;
  dvbpsi_sdt_init(&sdt, p.section->i_table_id, p.section->i_extension, p.section->i_version, p.section->b_current_next,
                  static_cast<uint16_t>((b[8] << 8) | b[9]));
  dvbpsi_sdt_sections_decode(&sdt, p.section);
  SiJson j = {{"transport_stream_id", sdt.i_extension}, {"original_network_id", sdt.i_network_id}};
  SiJson services = SiJson::array();
  for (const dvbpsi_sdt_service_t* s = sdt.p_first_service; s; s = s->p_next)
    services.push_back({{"service_id", s->i_service_id},
                        {"eit_schedule", s->b_eit_schedule},
                        {"eit_present_following", s->b_eit_present},
                        {"running_status", s->i_running_status},
                        {"free_ca_mode", s->b_free_ca},
                        {"descriptors", Descriptors(s->p_first_descriptor, context)}});
  j["services"] = services;
  dvbpsi_sdt_empty(&sdt);
  return j;
}

SiJson DecodeEit(PsiSection& p, const SiDecodeContext& context) {
  const uint8_t* b = p.section->p_data;
  if (p.section->p_payload_end - p.section->p_payload_start < 6) return {{"error", "section too short"}};
  dvbpsi_eit_t eit;
  dvbpsi_eit_init(&eit, p.section->i_table_id, p.section->i_extension, p.section->i_version, p.section->b_current_next,
                  static_cast<uint16_t>((b[8] << 8) | b[9]), static_cast<uint16_t>((b[10] << 8) | b[11]), b[12], b[13]);
  dvbpsi_eit_sections_decode(&eit, p.section);
  SiJson j = {{"service_id", eit.i_extension},
              {"transport_stream_id", eit.i_ts_id},
              {"original_network_id", eit.i_network_id},
              {"segment_last_section_number", eit.i_segment_last_section_number},
              {"last_table_id", eit.i_last_table_id}};
  SiJson events = SiJson::array();
  for (const dvbpsi_eit_event_t* e = eit.p_first_event; e; e = e->p_next) {
    const auto duration = BcdDurationS(e->i_duration);
    events.push_back({{"event_id", e->i_event_id},
                      {"start_utc", TimeOrNull(DvbUtcTime(e->i_start_time))},
                      {"duration_s", duration ? SiJson(*duration) : SiJson(nullptr)},
                      {"running_status", e->i_running_status},
                      {"free_ca_mode", e->b_free_ca},
                      {"descriptors", Descriptors(e->p_first_descriptor, context)}});
  }
  j["events"] = events;
  dvbpsi_eit_empty(&eit);
  return j;
}

uint64_t Bits40(const uint8_t* b) {
  return (uint64_t{b[0]} << 32) | (uint64_t{b[1]} << 24) | (uint64_t{b[2]} << 16) | (uint64_t{b[3]} << 8) | b[4];
}

SiJson DecodeTdtTot(PsiSection& p, const SiDecodeContext& context) {
  const uint8_t* b = p.section->p_data;
  if (p.section->i_length < 5) return {{"error", "section too short"}};
  SiJson j = {{"utc", TimeOrNull(DvbUtcTime(Bits40(b + 3)))}};
  if (p.section->i_table_id == 0x73) {
    std::unique_ptr<dvbpsi_t, void (*)(dvbpsi_t*)> handle(dvbpsi_new(nullptr, DVBPSI_MSG_NONE), dvbpsi_delete);
    dvbpsi_tot_t tot;
    dvbpsi_tot_init(&tot, 0x73, 0, 0, true, 0);
    if (handle) dvbpsi_tot_sections_decode(handle.get(), &tot, p.section);
    j["descriptors"] = Descriptors(tot.p_first_descriptor, context);
    dvbpsi_tot_empty(&tot);
  }
  return j;
}

SiJson DecodeRst(PsiSection& p) {
  dvbpsi_rst_t rst;
  dvbpsi_rst_init(&rst);
  dvbpsi_rst_sections_decode(&rst, p.section);
  SiJson events = SiJson::array();
  for (const dvbpsi_rst_event_t* e = rst.p_first_event; e; e = e->p_next)
    events.push_back({{"transport_stream_id", e->i_ts_id},
                      {"original_network_id", e->i_orig_network_id},
                      {"service_id", e->i_service_id},
                      {"event_id", e->i_event_id},
                      {"running_status", e->i_running_status}});
  dvbpsi_rst_empty(&rst);
  return {{"events", events}};
}

// ---------------------------------------------------------------- ATSC

uint32_t Be32(const uint8_t* b) { return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3]; }
int Be16(const uint8_t* b) { return (b[0] << 8) | b[1]; }
int Length12(const uint8_t* b) { return ((b[0] & 0x0F) << 8) | b[1]; }

// Reads bounded by the section's end; `ok` turns false at the first overrun.
struct Cursor {
  const uint8_t* b;
  size_t end;
  size_t pos;
  bool ok = true;
  bool Need(size_t n) {
    if (pos + n > end) ok = false;
    return ok;
  }
};

SiJson AtscStringsJson(const uint8_t* data, size_t size) {
  SiJson list = SiJson::array();
  for (const AtscString& s : DecodeAtscMultipleString(data, size)) list.push_back({{"language", s.language}, {"text", s.text}});
  return list;
}

std::string MgtTableTypeName(int type) {
  if (type == 0x0000) return "TVCT current";
  if (type == 0x0001) return "TVCT next";
  if (type == 0x0002) return "CVCT current";
  if (type == 0x0003) return "CVCT next";
  if (type == 0x0004) return "channel ETT";
  if (type == 0x0005) return "DCCSCT";
  if (type >= 0x0100 && type <= 0x017F) return "EIT-" + std::to_string(type - 0x0100);
  if (type >= 0x0200 && type <= 0x027F) return "event ETT-" + std::to_string(type - 0x0200);
  if (type >= 0x0301 && type <= 0x03FF) return "RRT region " + std::to_string(type - 0x0300);
  if (type >= 0x1400 && type <= 0x14FF) return "DCCT";
  return "other";
}

SiJson DecodeMgt(const std::vector<uint8_t>& s, const SiDecodeContext& context) {
  Cursor c{s.data(), s.size() - 4, 8};
  if (!c.Need(3)) return {{"error", "section too short"}};
  SiJson j = {{"protocol_version", s[8]}};
  const int count = Be16(&s[9]);
  c.pos = 11;
  SiJson tables = SiJson::array();
  for (int i = 0; i < count && c.Need(11); ++i) {
    const uint8_t* t = &s[c.pos];
    const int type = Be16(t);
    const size_t dl = static_cast<size_t>(Length12(t + 9));
    c.pos += 11;
    if (!c.Need(dl)) break;
    tables.push_back({{"table_type", type},
                      {"table_type_name", MgtTableTypeName(type)},
                      {"pid", ((t[2] & 0x1F) << 8) | t[3]},
                      {"version", t[4] & 0x1F},
                      {"number_bytes", Be32(t + 5)},
                      {"descriptors", DecodeSiDescriptors(&s[c.pos], dl, context)}});
    c.pos += dl;
  }
  j["tables"] = tables;
  if (c.Need(2)) {
    const size_t dl = static_cast<size_t>(Length12(&s[c.pos]));
    c.pos += 2;
    if (c.Need(dl)) j["descriptors"] = DecodeSiDescriptors(&s[c.pos], dl, context);
  }
  if (!c.ok) j["error"] = "section ends inside a loop";
  return j;
}

SiJson DecodeVct(const std::vector<uint8_t>& s, const SiDecodeContext& context) {
  Cursor c{s.data(), s.size() - 4, 8};
  if (!c.Need(2)) return {{"error", "section too short"}};
  SiJson j = {{"transport_stream_id", Be16(&s[3])}, {"protocol_version", s[8]}};
  const int count = s[9];
  c.pos = 10;
  SiJson channels = SiJson::array();
  for (int i = 0; i < count && c.Need(32); ++i) {
    const uint8_t* ch = &s[c.pos];
    // short_name: seven UTF-16 code units, ended early by a zero one.
    size_t units = 0;
    while (units < 7 && Be16(ch + 2 * units) != 0) ++units;
    const std::string name = DecodeAtscUtf16(ch, 2 * units);
    const int major = ((ch[14] & 0x0F) << 6) | (ch[15] >> 2);
    const int minor = ((ch[15] & 0x03) << 8) | ch[16];
    const size_t dl = static_cast<size_t>(((ch[30] & 0x03) << 8) | ch[31]);
    c.pos += 32;
    if (!c.Need(dl)) break;
    channels.push_back({{"short_name", name},
                        {"major_channel_number", major},
                        {"minor_channel_number", minor},
                        {"modulation_mode", ch[17]},
                        {"carrier_frequency", Be32(ch + 18)},
                        {"channel_tsid", Be16(ch + 22)},
                        {"program_number", Be16(ch + 24)},
                        {"etm_location", ch[26] >> 6},
                        {"access_controlled", (ch[26] & 0x20) != 0},
                        {"hidden", (ch[26] & 0x10) != 0},
                        {"hide_guide", (ch[26] & 0x02) != 0},
                        {"service_type", ch[27] & 0x3F},
                        {"source_id", Be16(ch + 28)},
                        {"descriptors", DecodeSiDescriptors(&s[c.pos], dl, context)}});
    c.pos += dl;
  }
  j["channels"] = channels;
  if (!c.ok) j["error"] = "section ends inside a loop";
  return j;
}

SiJson DecodeAtscEit(const std::vector<uint8_t>& s, const SiDecodeContext& context) {
  Cursor c{s.data(), s.size() - 4, 8};
  if (!c.Need(2)) return {{"error", "section too short"}};
  SiJson j = {{"source_id", Be16(&s[3])}, {"protocol_version", s[8]}};
  const int count = s[9];
  c.pos = 10;
  SiJson events = SiJson::array();
  for (int i = 0; i < count && c.Need(10); ++i) {
    const uint8_t* e = &s[c.pos];
    const size_t titleLength = e[9];
    c.pos += 10;
    if (!c.Need(titleLength + 2)) break;
    SiJson title = AtscStringsJson(&s[c.pos], titleLength);
    c.pos += titleLength;
    const size_t dl = static_cast<size_t>(Length12(&s[c.pos]));
    c.pos += 2;
    if (!c.Need(dl)) break;
    events.push_back({{"event_id", Be16(e) & 0x3FFF},
                      {"start_utc", UtcText(GpsToUtc(Be32(e + 2), context.gpsUtcOffsetS))},
                      {"duration_s", ((e[6] & 0x0F) << 16) | (e[7] << 8) | e[8]},
                      {"etm_location", (e[6] >> 4) & 0x03},
                      {"title", title},
                      {"descriptors", DecodeSiDescriptors(&s[c.pos], dl, context)}});
    c.pos += dl;
  }
  j["events"] = events;
  if (!c.ok) j["error"] = "section ends inside a loop";
  return j;
}

SiJson DecodeEtt(const std::vector<uint8_t>& s) {
  if (s.size() < 17) return {{"error", "section too short"}};
  const uint32_t etm = Be32(&s[9]);
  SiJson j = {{"etm_id", etm}, {"source_id", etm >> 16}};
  if (etm & 0x2) j["event_id"] = (etm >> 2) & 0x3FFF;
  j["text"] = AtscStringsJson(&s[13], s.size() - 4 - 13);
  return j;
}

SiJson DecodeStt(const std::vector<uint8_t>& s, const SiDecodeContext& context) {
  if (s.size() < 20) return {{"error", "section too short"}};
  const uint32_t gps = Be32(&s[9]);
  const int offset = s[13];
  SiJson j = {{"system_time_gps", gps},
              {"gps_utc_offset", offset},
              {"utc", UtcText(GpsToUtc(gps, offset))},
              {"daylight_saving", (s[14] & 0x80) != 0},
              {"descriptors", DecodeSiDescriptors(&s[16], s.size() - 4 - 16, context)}};
  return j;
}

SiJson DecodeRrt(const std::vector<uint8_t>& s, const SiDecodeContext& context) {
  Cursor c{s.data(), s.size() - 4, 8};
  if (!c.Need(2)) return {{"error", "section too short"}};
  SiJson j = {{"rating_region", s[4]}, {"protocol_version", s[8]}};
  size_t length = s[9];
  c.pos = 10;
  if (!c.Need(length + 1)) return {{"error", "section too short"}};
  j["rating_region_name"] = AtscStringsJson(&s[c.pos], length);
  c.pos += length;
  const int dimensions = s[c.pos++];
  SiJson dims = SiJson::array();
  for (int d = 0; d < dimensions && c.Need(1); ++d) {
    length = s[c.pos++];
    if (!c.Need(length + 1)) break;
    SiJson dim = {{"name", AtscStringsJson(&s[c.pos], length)}};
    c.pos += length;
    dim["graduated_scale"] = (s[c.pos] & 0x10) != 0;
    const int values = s[c.pos++] & 0x0F;
    SiJson list = SiJson::array();
    for (int v = 0; v < values && c.Need(1); ++v) {
      length = s[c.pos++];
      if (!c.Need(length + 1)) break;
      SiJson value = {{"abbreviation", AtscStringsJson(&s[c.pos], length)}};
      c.pos += length;
      length = s[c.pos++];
      if (!c.Need(length)) break;
      value["value"] = AtscStringsJson(&s[c.pos], length);
      c.pos += length;
      list.push_back(value);
    }
    dim["values"] = list;
    dims.push_back(dim);
  }
  j["dimensions"] = dims;
  if (c.Need(2)) {
    const size_t dl = static_cast<size_t>(((s[c.pos] & 0x03) << 8) | s[c.pos + 1]);
    c.pos += 2;
    if (c.Need(dl)) j["descriptors"] = DecodeSiDescriptors(&s[c.pos], dl, context);
  }
  if (!c.ok) j["error"] = "section ends inside a loop";
  return j;
}

// ---------------------------------------------------------------- SCTE-35

uint64_t Pts33(const uint8_t* b) {
  return (uint64_t{b[0] & 1u} << 32) | Be32(b + 1);
}

SiJson SpliceTime(Cursor& c) {
  if (!c.Need(1)) return nullptr;
  const uint8_t* b = c.b + c.pos;
  if (b[0] & 0x80) {
    if (!c.Need(5)) return nullptr;
    c.pos += 5;
    return {{"pts_time", Pts33(b)}};
  }
  c.pos += 1;
  return {{"pts_time", nullptr}};
}

SiJson DecodeSpliceInfo(const std::vector<uint8_t>& s) {
  if (s.size() < 18) return {{"error", "section too short"}};
  Cursor c{s.data(), s.size() - 4, 3};
  SiJson j = {{"protocol_version", s[3]},
              {"encrypted_packet", (s[4] & 0x80) != 0},
              {"pts_adjustment", Pts33(&s[4])},
              {"cw_index", s[9]},
              {"tier", (Be16(&s[10]) >> 4) & 0x0FFF}};
  const int commandLength = ((s[11] & 0x0F) << 8) | s[12];
  const int type = s[13];
  static const std::map<int, const char*> kCommands = {{0x00, "splice_null"}, {0x04, "splice_schedule"},
                                                       {0x05, "splice_insert"}, {0x06, "time_signal"},
                                                       {0x07, "bandwidth_reservation"}, {0xFF, "private_command"}};
  auto name = kCommands.find(type);
  j["splice_command_type"] = type;
  j["splice_command"] = name != kCommands.end() ? name->second : "reserved";
  if (s[4] & 0x80) return j;  // the rest is encrypted
  c.pos = 14;
  const size_t commandStart = c.pos;
  SiJson command = SiJson::object();
  if (type == 0x05 && c.Need(5)) {
    const uint8_t* b = &s[c.pos];
    command["splice_event_id"] = Be32(b);
    const bool cancel = (b[4] & 0x80) != 0;
    command["cancel"] = cancel;
    c.pos += 5;
    if (!cancel && c.Need(1)) {
      const uint8_t flags = s[c.pos++];
      command["out_of_network"] = (flags & 0x80) != 0;
      const bool program = (flags & 0x40) != 0;
      const bool duration = (flags & 0x20) != 0;
      command["immediate"] = (flags & 0x10) != 0;
      if (program && !(flags & 0x10)) command["splice_time"] = SpliceTime(c);
      if (!program && c.Need(1)) {
        const int components = s[c.pos++];
        SiJson list = SiJson::array();
        for (int k = 0; k < components && c.Need(1); ++k) {
          SiJson entry = {{"component_tag", s[c.pos++]}};
          if (!(flags & 0x10)) entry["splice_time"] = SpliceTime(c);
          list.push_back(entry);
        }
        command["components"] = list;
      }
      if (duration && c.Need(5)) {
        command["auto_return"] = (s[c.pos] & 0x80) != 0;
        command["break_duration_90khz"] = Pts33(&s[c.pos]);
        c.pos += 5;
      }
      if (c.Need(4)) {
        command["unique_program_id"] = Be16(&s[c.pos]);
        command["avail_num"] = s[c.pos + 2];
        command["avails_expected"] = s[c.pos + 3];
      }
    }
  } else if (type == 0x06) {
    command["splice_time"] = SpliceTime(c);
  }
  j["command"] = command;
  // splice_command_length 0xFFF: the length is not given; the loop cannot be found.
  if (commandLength != 0xFFF) {
    c.pos = commandStart + static_cast<size_t>(commandLength);
    if (c.Need(2)) {
      const size_t loop = static_cast<size_t>(Be16(&s[c.pos]));
      c.pos += 2;
      if (c.Need(loop)) {
        SiJson descriptors = SiJson::array();
        for (size_t d = c.pos; d + 2 <= c.pos + loop;) {
          const size_t length = s[d + 1];
          if (d + 2 + length > c.pos + loop) break;
          SiJson entry = {{"tag", s[d]}};
          if (length >= 4) entry["identifier"] = Be32(&s[d + 2]);
          entry["hex"] = SiHex(&s[d + 2], length);
          descriptors.push_back(entry);
          d += 2 + length;
        }
        j["descriptors"] = descriptors;
      }
    }
  }
  return j;
}

// Whether every length inside a DVB section fits in it. libdvbpsi's
// decoders trust these lengths, and a section with a right CRC_32 can
// still lie, so nothing reaches them unchecked.
bool DescriptorLoopFits(const uint8_t* s, size_t from, size_t to) {
  while (from < to) {
    if (from + 2 > to || from + 2 + s[from + 1] > to) return false;
    from += 2 + s[from + 1];
  }
  return true;
}

// A 12-bit loop length at `pos` whose loop ends within `end`; the loop's end.
std::optional<size_t> LoopAt(const uint8_t* s, size_t pos, size_t end) {
  if (pos + 2 > end) return std::nullopt;
  const size_t loopEnd = pos + 2 + static_cast<size_t>(Length12(s + pos));
  if (loopEnd > end) return std::nullopt;
  return loopEnd;
}

bool DvbLengthsFit(const std::vector<uint8_t>& bytes) {
  const uint8_t* s = bytes.data();
  const int tableId = s[0];
  const bool longForm = (s[1] & 0x80) != 0;
  const size_t end = bytes.size() - ((longForm || tableId == 0x73) ? 4 : 0);
  size_t pos = longForm ? 8 : 3;
  // A loop of entries of `head` bytes each followed by a descriptor loop.
  auto entries = [&](size_t from, size_t to, size_t head) {
    while (from < to) {
      const auto loopEnd = LoopAt(s, from + head - 2, to);
      if (!loopEnd || !DescriptorLoopFits(s, from + head, *loopEnd)) return false;
      from = *loopEnd;
    }
    return true;
  };
  switch (tableId) {
    case 0x00: return (end - pos) % 4 == 0;
    case 0x01: return DescriptorLoopFits(s, pos, end);
    case 0x02: {
      const auto info = LoopAt(s, pos + 2, end);
      return info && DescriptorLoopFits(s, pos + 4, *info) && entries(*info, end, 5);
    }
    case 0x40: case 0x41: case 0x4A: {
      const auto first = LoopAt(s, pos, end);
      if (!first || !DescriptorLoopFits(s, pos + 2, *first)) return false;
      const auto streams = LoopAt(s, *first, end);
      return streams && entries(*first + 2, *streams, 6);
    }
    case 0x42: case 0x46: return pos + 3 <= end && entries(pos + 3, end, 5);
    case 0x70: return end - pos >= 5;
    case 0x71: return (end - pos) % 9 == 0;
    case 0x73: {
      const auto loop = LoopAt(s, pos + 5, end);
      return loop && DescriptorLoopFits(s, pos + 7, *loop);
    }
    default: break;
  }
  if (tableId >= 0x4E && tableId <= 0x6F) return pos + 6 <= end && entries(pos + 6, end, 12);
  return true;
}

}  // namespace

std::optional<int64_t> BcdDurationS(uint32_t bcd) {
  int digits[6];
  for (int i = 0; i < 6; ++i) {
    digits[i] = (bcd >> (20 - 4 * i)) & 0x0F;
    if (digits[i] > 9) return std::nullopt;
  }
  const int minutes = digits[2] * 10 + digits[3], seconds = digits[4] * 10 + digits[5];
  if (minutes > 59 || seconds > 59) return std::nullopt;
  return (digits[0] * 10 + digits[1]) * 3600 + minutes * 60 + seconds;
}

std::optional<int64_t> DvbUtcTime(uint64_t mjdBcd) {
  if (mjdBcd == 0xFFFFFFFFFFull) return std::nullopt;
  const int64_t mjd = static_cast<int64_t>(mjdBcd >> 24);
  const auto seconds = BcdDurationS(static_cast<uint32_t>(mjdBcd & 0xFFFFFF));
  if (!seconds || ((mjdBcd >> 16) & 0xFF) > 0x23) return std::nullopt;
  return (mjd - 40587) * 86400 + *seconds;
}

int64_t GpsToUtc(uint32_t gps, int offset) { return kGpsEpochUnix + static_cast<int64_t>(gps) - offset; }

std::string UtcText(int64_t t) {
  struct tm tm {};
  UtcCalendar(t, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

std::string SiTableName(int pid, int tableId) {
  (void)pid;
  // The engine names the tables it times; the others are private here.
  std::string name = health::TableName(tableId);
  return name.rfind("table_id ", 0) == 0 ? "private" : name;
}

SiJson DecodeSiSection(const SiSection& section, const SiDecodeContext& context) {
  const std::vector<uint8_t>& s = section.bytes;
  if (s.empty()) return {{"error", "not kept (the memory limit for sections was reached)"}};
  const int tableId = section.tableId;
  if (section.longForm && s.size() < 12) return {{"error", "section too short"}};
  switch (tableId) {
    case 0xC7: return DecodeMgt(s, context);
    case 0xC8:
    case 0xC9: return DecodeVct(s, context);
    case 0xCA: return DecodeRrt(s, context);
    case 0xCB: return DecodeAtscEit(s, context);
    case 0xCC: return DecodeEtt(s);
    case 0xCD: return DecodeStt(s, context);
    case 0xFC: return DecodeSpliceInfo(s);
    default: break;
  }
  if (!DvbLengthsFit(s)) return {{"error", "lengths inside the section do not fit it"}, {"hex", SiHex(s.data(), s.size())}};
  PsiSection p(s);
  if (!p.section) return {{"error", "out of memory"}};
  switch (tableId) {
    case 0x00: return DecodePat(p);
    case 0x01: return DecodeCat(p, context);
    case 0x02: return DecodePmt(p, context);
    case 0x40:
    case 0x41: return DecodeNit(p, context);
    case 0x42:
    case 0x46: return DecodeSdt(p, context);
    case 0x4A: return DecodeBat(p, context);
    case 0x70:
    case 0x73: return DecodeTdtTot(p, context);
    case 0x71: return DecodeRst(p);
    default: break;
  }
  if (tableId >= 0x4E && tableId <= 0x6F) return DecodeEit(p, context);
  return {{"hex", SiHex(s.data(), s.size())}};
}
