// Descriptors into named fields: libdvbpsi's decoders where it has one, the
// rest (private_data_specifier, AC-3, E-AC-3 and AAC of DVB, T2 delivery system,
// NorDig logical channels, ATSC content advisory) read here.
// libdvbpsi's headers need the C integer types before them.
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

// Some of the descriptor headers lack their C++ guard.
extern "C" {
#include <dvbpsi/dvbpsi.h>
#include <dvbpsi/descriptor.h>
#include <dvbpsi/dr.h>
}

#include <cstdio>
#include <functional>

#include "analysis/engine/dvb_text.h"
#include "analysis/si/atsc_text.h"
#include "analysis/si/si_tables.h"

namespace {

constexpr uint32_t kNorDigSpecifier = 0x00000029;

std::string Text(const uint8_t* bytes, size_t size) { return DecodeDvbText(bytes, size); }
// An event's text, which may break lines.
std::string Lines(const uint8_t* bytes, size_t size) { return DecodeDvbTextLines(bytes, size); }

std::string Language(const uint8_t* code) {
  std::string language;
  for (int i = 0; i < 3; ++i) language += code[i] >= 0x20 && code[i] < 0x7F ? static_cast<char>(code[i]) : '?';
  return language;
}

std::string CountryCode(uint32_t code) {
  const uint8_t bytes[3] = {static_cast<uint8_t>(code >> 16), static_cast<uint8_t>(code >> 8), static_cast<uint8_t>(code)};
  return Language(bytes);
}

uint32_t Bcd(uint32_t value) { return dvbpsi_Bcd8ToUint32(value); }

SiJson AtscStrings(const uint8_t* data, size_t size) {
  SiJson list = SiJson::array();
  for (const AtscString& s : DecodeAtscMultipleString(data, size)) list.push_back({{"language", s.language}, {"text", s.text}});
  return list;
}

// Whether the body has the size its layout needs. libdvbpsi's decoders
// trust the lengths inside a descriptor, so nothing reaches them unchecked.
bool PlausibleLength(int tag, const uint8_t* d, size_t n) {
  // Entries fixed in size: a whole number of them, no more than libdvbpsi's
  // arrays hold.
  auto entries = [n](size_t size, size_t most) { return n % size == 0 && n / size <= most; };
  switch (tag) {
    case 0x05: case 0x09: return n >= 4;
    case 0x0A: return entries(4, 64);
    case 0x41: return entries(3, 84);
    case 0x53: return entries(2, 127);
    case 0x54: return entries(2, 64);
    case 0x55: return entries(4, 64);
    case 0x56: return entries(5, 51);
    case 0x58: return entries(13, 19);
    case 0x59: return entries(8, 20);
    case 0x83: return entries(4, 64);
    case 0x43: case 0x44: case 0x5A: return n >= 11;
    case 0x48: {
      if (n < 3) return false;
      const size_t provider = d[1];
      return 2 + provider < n && 3 + provider + d[2 + provider] <= n;
    }
    case 0x4A: return n >= 7;
    case 0x4D: return n >= 5 && 4 + size_t{d[3]} < n && 5 + size_t{d[3]} + d[4 + d[3]] <= n;
    case 0x4E: {
      if (n < 6) return false;
      const size_t items = d[4];
      if (5 + items >= n) return false;
      for (size_t pos = 5; pos < 5 + items;) {
        if (pos + 1 > 5 + items) return false;
        pos += 1 + d[pos];  // item_description
        if (pos >= 5 + items) return false;
        pos += 1 + d[pos];  // item
        if (pos > 5 + items) return false;
      }
      return 6 + items + d[5 + items] <= n;
    }
    case 0x50: return n >= 6;
    case 0x52: case 0xA0: return n >= 1;
    case 0x62: return n >= 1 && (n - 1) % 4 == 0 && (n - 1) / 4 <= 63;
    case 0x66: return n >= 2;
    case 0x81: return n >= 3;
    case 0x86: return n >= 1 && n >= 1 + 6 * size_t{static_cast<uint8_t>(d[0] & 0x1F)};
    case 0xA1: return n >= 3 && n >= 3 + 6 * size_t{d[2]};
    default: return true;
  }
}

// Decodes with a libdvbpsi descriptor decoder; false when it refused.
template <typename Decoded, typename Fill>
bool WithDvbpsi(uint8_t tag, const uint8_t* data, size_t size, Decoded* (*decode)(dvbpsi_descriptor_t*), Fill fill) {
  if (!PlausibleLength(tag, data, size)) return false;
  dvbpsi_descriptor_t* d = dvbpsi_NewDescriptor(tag, static_cast<uint8_t>(size), const_cast<uint8_t*>(data));
  if (!d) return false;
  Decoded* decoded = decode(d);
  if (decoded) fill(*decoded);
  dvbpsi_DeleteDescriptors(d);
  return decoded != nullptr;
}

const char* kPolarizations[4] = {"horizontal", "vertical", "left", "right"};

bool DecodeKnown(int tag, const uint8_t* d, size_t n, const SiDecodeContext& context, uint32_t specifier, SiJson& j) {
  const uint8_t t = static_cast<uint8_t>(tag);
  switch (tag) {
    case 0x05:
      j["name"] = "registration";
      return WithDvbpsi(t, d, n, dvbpsi_DecodeRegistrationDr, [&](dvbpsi_registration_dr_t& r) {
        std::string id;
        for (int shift = 24; shift >= 0; shift -= 8) {
          const char c = static_cast<char>((r.i_format_identifier >> shift) & 0xFF);
          id += c >= 0x20 && c < 0x7F ? c : '?';
        }
        j["format_identifier"] = id;
      });
    case 0x09:
      j["name"] = "CA";
      return WithDvbpsi(t, d, n, dvbpsi_DecodeCADr, [&](dvbpsi_ca_dr_t& r) {
        j["ca_system_id"] = r.i_ca_system_id;
        j["ca_pid"] = r.i_ca_pid;
        j["private_data"] = SiHex(r.i_private_data, r.i_private_length);
      });
    case 0x0A:
      j["name"] = "ISO 639 language";
      return WithDvbpsi(t, d, n, dvbpsi_DecodeISO639Dr, [&](dvbpsi_iso639_dr_t& r) {
        SiJson list = SiJson::array();
        for (int i = 0; i < r.i_code_count; ++i)
          list.push_back({{"language", Language(r.code[i].iso_639_code)}, {"audio_type", r.code[i].i_audio_type}});
        j["languages"] = list;
      });
    case 0x40:
      j["name"] = "network name";
      return WithDvbpsi(t, d, n, dvbpsi_DecodeNetworkNameDr,
                        [&](dvbpsi_network_name_dr_t& r) { j["network_name"] = Text(r.i_name_byte, r.i_name_length); });
    case 0x41:
      j["name"] = "service list";
      return WithDvbpsi(t, d, n, dvbpsi_DecodeServiceListDr, [&](dvbpsi_service_list_dr_t& r) {
        SiJson list = SiJson::array();
        for (int i = 0; i < r.i_service_count; ++i)
          list.push_back({{"service_id", r.i_service[i].i_service_id}, {"service_type", r.i_service[i].i_service_type}});
        j["services"] = list;
      });
    case 0x43:
      j["name"] = "satellite delivery system";
      return WithDvbpsi(t, d, n, dvbpsi_DecodeSatDelivSysDr, [&](dvbpsi_sat_deliv_sys_dr_t& r) {
        const uint32_t position = Bcd(r.i_orbital_position);
        char orbit[16];
        std::snprintf(orbit, sizeof orbit, "%u.%u%c", position / 10, position % 10, r.i_west_east_flag ? 'E' : 'W');
        j["frequency_khz"] = static_cast<uint64_t>(Bcd(r.i_frequency)) * 10;
        j["orbital_position"] = orbit;
        j["polarization"] = kPolarizations[r.i_polarization & 3];
        j["modulation_system"] = r.i_modulation_system ? "DVB-S2" : "DVB-S";
        j["roll_off"] = r.i_roll_off;
        j["modulation_type"] = r.i_modulation_type;
        j["symbol_rate_ksps"] = Bcd(r.i_symbol_rate) / 10.0;
        j["fec_inner"] = r.i_fec_inner;
      });
    case 0x44:
      j["name"] = "cable delivery system";
      return WithDvbpsi(t, d, n, dvbpsi_DecodeCableDelivSysDr, [&](dvbpsi_cable_deliv_sys_dr_t& r) {
        static constexpr const char* kQam[6] = {"not defined", "16-QAM", "32-QAM", "64-QAM", "128-QAM", "256-QAM"};
        j["frequency_khz"] = Bcd(r.i_frequency) / 10.0;
        j["modulation"] = r.i_modulation < 6 ? kQam[r.i_modulation] : "reserved";
        j["symbol_rate_ksps"] = Bcd(r.i_symbol_rate) / 10.0;
        j["fec_outer"] = r.i_fec_outer;
        j["fec_inner"] = r.i_fec_inner;
      });
    case 0x48:
      j["name"] = "service";
      return WithDvbpsi(t, d, n, dvbpsi_DecodeServiceDr, [&](dvbpsi_service_dr_t& r) {
        j["service_type"] = r.i_service_type;
        j["provider_name"] = Text(r.i_service_provider_name, r.i_service_provider_name_length);
        j["service_name"] = Text(r.i_service_name, r.i_service_name_length);
      });
    case 0x4A:
      j["name"] = "linkage";
      return WithDvbpsi(t, d, n, dvbpsi_DecodeLinkageDr, [&](dvbpsi_linkage_dr_t& r) {
        j["transport_stream_id"] = r.i_transport_stream_id;
        j["original_network_id"] = r.i_original_network_id;
        j["service_id"] = r.i_service_id;
        j["linkage_type"] = r.i_linkage_type;
        j["private_data"] = SiHex(r.i_private_data, r.i_private_data_length);
      });
    case 0x4D:
      j["name"] = "short event";
      return WithDvbpsi(t, d, n, dvbpsi_DecodeShortEventDr, [&](dvbpsi_short_event_dr_t& r) {
        j["language"] = Language(r.i_iso_639_code);
        j["event_name"] = Text(r.i_event_name, static_cast<size_t>(r.i_event_name_length));
        j["text"] = Lines(r.i_text, static_cast<size_t>(r.i_text_length));
      });
    case 0x4E:
      j["name"] = "extended event";
      return WithDvbpsi(t, d, n, dvbpsi_DecodeExtendedEventDr, [&](dvbpsi_extended_event_dr_t& r) {
        j["descriptor_number"] = r.i_descriptor_number;
        j["last_descriptor_number"] = r.i_last_descriptor_number;
        j["language"] = Language(r.i_iso_639_code);
        SiJson items = SiJson::array();
        for (int i = 0; i < r.i_entry_count && i < 126; ++i)
          items.push_back({{"description", Text(r.i_item_description[i], r.i_item_description_length[i])},
                           {"item", Text(r.i_item[i], r.i_item_length[i])}});
        j["items"] = items;
        j["text"] = Lines(r.i_text, static_cast<size_t>(r.i_text_length));
      });
    case 0x50:
      j["name"] = "component";
      return WithDvbpsi(t, d, n, dvbpsi_DecodeComponentDr, [&](dvbpsi_component_dr_t& r) {
        j["stream_content"] = r.i_stream_content;
        j["component_type"] = r.i_component_type;
        j["component_tag"] = r.i_component_tag;
        j["language"] = Language(r.i_iso_639_code);
        j["text"] = Text(r.i_text, static_cast<size_t>(r.i_text_length));
      });
    case 0x52:
      j["name"] = "stream identifier";
      return WithDvbpsi(t, d, n, dvbpsi_DecodeStreamIdentifierDr,
                        [&](dvbpsi_stream_identifier_dr_t& r) { j["component_tag"] = r.i_component_tag; });
    case 0x53:
      j["name"] = "CA identifier";
      return WithDvbpsi(t, d, n, dvbpsi_DecodeCAIdentifierDr, [&](dvbpsi_ca_identifier_dr_t& r) {
        SiJson list = SiJson::array();
        for (int i = 0; i < r.i_number; ++i) list.push_back(r.p_system[i].i_ca_system_id);
        j["ca_system_ids"] = list;
      });
    case 0x54:
      j["name"] = "content";
      return WithDvbpsi(t, d, n, dvbpsi_DecodeContentDr, [&](dvbpsi_content_dr_t& r) {
        SiJson list = SiJson::array();
        for (int i = 0; i < r.i_contents_number; ++i) {
          const int type = r.p_content[i].i_type;
          list.push_back({{"level_1", type >> 4}, {"level_2", type & 0x0F}, {"user_byte", r.p_content[i].i_user_byte},
                          {"genre", DvbGenreName(type >> 4)}});
        }
        j["contents"] = list;
      });
    case 0x55:
      j["name"] = "parental rating";
      return WithDvbpsi(t, d, n, dvbpsi_DecodeParentalRatingDr, [&](dvbpsi_parental_rating_dr_t& r) {
        SiJson list = SiJson::array();
        for (int i = 0; i < r.i_ratings_number; ++i) {
          const int rating = r.p_parental_rating[i].i_rating;
          SiJson entry = {{"country", CountryCode(r.p_parental_rating[i].i_country_code)}, {"rating", rating}};
          if (rating >= 1 && rating <= 0x0F) entry["minimum_age"] = rating + 3;
          list.push_back(entry);
        }
        j["ratings"] = list;
      });
    case 0x56:
      j["name"] = "teletext";
      return WithDvbpsi(t, d, n, dvbpsi_DecodeTeletextDr, [&](dvbpsi_teletext_dr_t& r) {
        SiJson list = SiJson::array();
        for (int i = 0; i < r.i_pages_number; ++i) {
          const dvbpsi_teletextpage_t& p = r.p_pages[i];
          char page[8];
          const int magazine = p.i_teletext_magazine_number == 0 ? 8 : p.i_teletext_magazine_number;
          std::snprintf(page, sizeof page, "%d%02X", magazine, p.i_teletext_page_number);
          list.push_back({{"language", Language(p.i_iso6392_language_code)}, {"teletext_type", p.i_teletext_type}, {"page", page}});
        }
        j["pages"] = list;
      });
    case 0x58:
      j["name"] = "local time offset";
      return WithDvbpsi(t, d, n, dvbpsi_DecodeLocalTimeOffsetDr, [&](dvbpsi_local_time_offset_dr_t& r) {
        SiJson list = SiJson::array();
        auto offsetText = [](bool negative, uint16_t bcd) {
          char text[8];
          std::snprintf(text, sizeof text, "%c%02X:%02X", negative ? '-' : '+', bcd >> 8, bcd & 0xFF);
          return std::string(text);
        };
        for (int i = 0; i < r.i_local_time_offsets_number; ++i) {
          const dvbpsi_local_time_offset_t& o = r.p_local_time_offset[i];
          SiJson entry = {{"country", Language(o.i_country_code)},
                          {"region_id", o.i_country_region_id},
                          {"local_time_offset", offsetText(o.i_local_time_offset_polarity, o.i_local_time_offset)},
                          {"next_time_offset", offsetText(o.i_local_time_offset_polarity, o.i_next_time_offset)}};
          const auto change = DvbUtcTime(o.i_time_of_change);
          entry["time_of_change"] = change ? SiJson(UtcText(*change)) : SiJson(nullptr);
          list.push_back(entry);
        }
        j["offsets"] = list;
      });
    case 0x59:
      j["name"] = "subtitling";
      return WithDvbpsi(t, d, n, dvbpsi_DecodeSubtitlingDr, [&](dvbpsi_subtitling_dr_t& r) {
        SiJson list = SiJson::array();
        for (int i = 0; i < r.i_subtitles_number; ++i) {
          const dvbpsi_subtitle_t& s = r.p_subtitle[i];
          list.push_back({{"language", Language(s.i_iso6392_language_code)},
                          {"subtitling_type", s.i_subtitling_type},
                          {"composition_page_id", s.i_composition_page_id},
                          {"ancillary_page_id", s.i_ancillary_page_id}});
        }
        j["subtitles"] = list;
      });
    case 0x5A:
      j["name"] = "terrestrial delivery system";
      return WithDvbpsi(t, d, n, dvbpsi_DecodeTerrDelivSysDr, [&](dvbpsi_terr_deliv_sys_dr_t& r) {
        static constexpr int kBandwidths[4] = {8, 7, 6, 5};
        static constexpr const char* kConstellations[4] = {"QPSK", "16-QAM", "64-QAM", "reserved"};
        static constexpr const char* kGuards[4] = {"1/32", "1/16", "1/8", "1/4"};
        static constexpr const char* kModes[4] = {"2k", "8k", "4k", "reserved"};
        j["centre_frequency_hz"] = static_cast<uint64_t>(r.i_centre_frequency) * 10;
        if (r.i_bandwidth < 4) j["bandwidth_mhz"] = kBandwidths[r.i_bandwidth];
        j["constellation"] = kConstellations[r.i_constellation & 3];
        j["hierarchy_information"] = r.i_hierarchy_information;
        j["code_rate_hp"] = r.i_code_rate_hp_stream;
        j["code_rate_lp"] = r.i_code_rate_lp_stream;
        j["guard_interval"] = kGuards[r.i_guard_interval & 3];
        j["transmission_mode"] = kModes[r.i_transmission_mode & 3];
        j["other_frequency_flag"] = r.i_other_frequency_flag != 0;
      });
    case 0x5F:
      j["name"] = "private data specifier";
      if (n < 4) return false;
      j["private_data_specifier"] = (uint32_t{d[0]} << 24) | (uint32_t{d[1]} << 16) | (uint32_t{d[2]} << 8) | d[3];
      return true;
    case 0x62:
      j["name"] = "frequency list";
      return WithDvbpsi(t, d, n, dvbpsi_DecodeFrequencyListDr, [&](dvbpsi_frequency_list_dr_t& r) {
        SiJson list = SiJson::array();
        for (int i = 0; i < r.i_number_of_frequencies && i < 63; ++i) {
          const uint32_t f = r.p_center_frequencies[i];
          // Satellite: BCD in 10 kHz; cable: BCD in 100 Hz; terrestrial: 10 Hz.
          if (r.i_coding_type == 1) list.push_back(static_cast<uint64_t>(Bcd(f)) * 10'000);
          else if (r.i_coding_type == 2) list.push_back(static_cast<uint64_t>(Bcd(f)) * 100);
          else list.push_back(static_cast<uint64_t>(f) * 10);
        }
        j["coding_type"] = r.i_coding_type;
        j["frequencies_hz"] = list;
      });
    case 0x66:
      j["name"] = "data broadcast id";
      return WithDvbpsi(t, d, n, dvbpsi_DecodeDataBroadcastIdDr, [&](dvbpsi_data_broadcast_id_dr_t& r) {
        j["data_broadcast_id"] = r.i_data_broadcast_id;
        j["id_selector"] = SiHex(r.p_id_selector, r.i_id_selector_len);
      });
    case 0x6A:
    case 0x7A: {
      j["name"] = tag == 0x6A ? "AC-3" : "enhanced AC-3";
      if (n < 1) return false;
      const uint8_t flags = d[0];
      size_t pos = 1;
      const char* names[4] = {"component_type", "bsid", "mainid", "asvc"};
      for (int k = 0; k < 4; ++k)
        if ((flags & (0x80 >> k)) && pos < n) j[names[k]] = d[pos++];
      if (tag == 0x7A) {
        j["mixinfoexists"] = (flags & 0x08) != 0;
        const char* subs[3] = {"substream1", "substream2", "substream3"};
        for (int k = 0; k < 3; ++k)
          if ((flags & (0x04 >> k)) && pos < n) j[subs[k]] = d[pos++];
      }
      if (pos < n) j["additional_info"] = SiHex(d + pos, n - pos);
      return true;
    }
    case 0x7C: {
      // Read here: libdvbpsi's AAC decoder reads its buffer after reallocating it.
      j["name"] = "AAC";
      if (n < 1) return false;
      j["profile_and_level"] = d[0];
      size_t pos = 1;
      if (n >= 2) {
        const bool typed = (d[1] & 0x80) != 0;
        pos = 2;
        if (typed && pos < n) j["aac_type"] = d[pos++];
      }
      if (pos < n) j["additional_info"] = SiHex(d + pos, n - pos);
      return true;
    }
    case 0x7F: {
      j["name"] = "extension";
      if (n < 1) return false;
      j["tag_extension"] = d[0];
      if (d[0] != 0x04 || n < 4) {
        j["data"] = SiHex(d + 1, n - 1);
        return true;
      }
      j["name"] = "T2 delivery system";
      j["plp_id"] = d[1];
      j["t2_system_id"] = (d[2] << 8) | d[3];
      if (n >= 6) {
        static constexpr const char* kSiso[4] = {"SISO", "MISO", "reserved", "reserved"};
        static constexpr const char* kBandwidths[8] = {"8 MHz", "7 MHz", "6 MHz", "5 MHz", "10 MHz", "1.712 MHz", "reserved", "reserved"};
        static constexpr const char* kGuards[8] = {"1/32", "1/16", "1/8", "1/4", "1/128", "19/128", "19/256", "reserved"};
        static constexpr const char* kModes[8] = {"2k", "8k", "4k", "1k", "16k", "32k", "reserved", "reserved"};
        j["siso_miso"] = kSiso[d[4] >> 6];
        j["bandwidth"] = kBandwidths[(d[4] >> 2) & 0x0F & 7];
        j["guard_interval"] = kGuards[d[5] >> 5];
        j["transmission_mode"] = kModes[(d[5] >> 2) & 7];
        j["other_frequency_flag"] = (d[5] & 2) != 0;
        const bool tfs = (d[5] & 1) != 0;
        j["tfs_flag"] = tfs;
        SiJson cells = SiJson::array();
        size_t pos = 6;
        while (pos + 2 <= n && cells.size() < 64) {
          SiJson cell = {{"cell_id", (d[pos] << 8) | d[pos + 1]}};
          pos += 2;
          SiJson frequencies = SiJson::array();
          if (tfs) {
            const size_t length = pos < n ? d[pos++] : 0;
            for (size_t k = 0; k + 4 <= length && pos + 4 <= n; k += 4, pos += 4)
              frequencies.push_back(((uint64_t{d[pos]} << 24) | (uint64_t{d[pos + 1]} << 16) | (uint64_t{d[pos + 2]} << 8) | d[pos + 3]) * 10);
          } else if (pos + 4 <= n) {
            frequencies.push_back(((uint64_t{d[pos]} << 24) | (uint64_t{d[pos + 1]} << 16) | (uint64_t{d[pos + 2]} << 8) | d[pos + 3]) * 10);
            pos += 4;
          }
          cell["frequencies_hz"] = frequencies;
          // Subcells: cell_id_extension and transposer frequency.
          const size_t subLength = pos < n ? d[pos++] : 0;
          pos += std::min(subLength, n - std::min(n, pos));
          cells.push_back(cell);
        }
        j["cells"] = cells;
      }
      return true;
    }
    case 0x83:
      j["name"] = "logical channel number";
      if (specifier == kNorDigSpecifier) {
        // NorDig version 1: 14-bit channel numbers.
        j["kind"] = "NorDig";
        SiJson list = SiJson::array();
        for (size_t pos = 0; pos + 4 <= n; pos += 4)
          list.push_back({{"service_id", (d[pos] << 8) | d[pos + 1]},
                          {"visible", (d[pos + 2] & 0x80) != 0},
                          {"logical_channel_number", ((d[pos + 2] & 0x3F) << 8) | d[pos + 3]}});
        j["channels"] = list;
        return true;
      }
      if (context.atsc) {
        j.erase("name");
        return false;
      }
      j["kind"] = "EACEM";
      return WithDvbpsi(t, d, n, dvbpsi_DecodeLCNDr, [&](dvbpsi_lcn_dr_t& r) {
        SiJson list = SiJson::array();
        for (int i = 0; i < r.i_number_of_entries && i < 64; ++i)
          list.push_back({{"service_id", r.p_entries[i].i_service_id},
                          {"visible", r.p_entries[i].b_visible_service_flag != 0},
                          {"logical_channel_number", r.p_entries[i].i_logical_channel_number}});
        j["channels"] = list;
      });
    default: break;
  }
  if (!context.atsc) return false;
  switch (tag) {
    case 0x81:
      j["name"] = "ATSC AC-3 audio";
      return WithDvbpsi(t, d, n, dvbpsi_DecodeAc3AudioDr, [&](dvbpsi_ac3_audio_dr_t& r) {
        j["sample_rate_code"] = r.i_sample_rate_code;
        j["bsid"] = r.i_bsid;
        j["bit_rate_code"] = r.i_bit_rate_code;
        j["surround_mode"] = r.i_surround_mode;
        j["bsmod"] = r.i_bsmod;
        j["num_channels"] = r.i_num_channels;
        j["full_svc"] = r.b_full_svc != 0;
        if (r.b_language_flag) j["language"] = Language(r.language);
      });
    case 0x86:
      j["name"] = "caption service";
      return WithDvbpsi(t, d, n, dvbpsi_DecodeCaptionServiceDr, [&](dvbpsi_caption_service_dr_t& r) {
        SiJson list = SiJson::array();
        for (int i = 0; i < r.i_number_of_services && i < 0x1F; ++i) {
          const dvbpsi_caption_service_t& s = r.services[i];
          list.push_back({{"language", Language(reinterpret_cast<const uint8_t*>(s.i_iso_639_code))},
                          {"digital_cc", s.b_digital_cc != 0},
                          {"caption_service_number", s.i_caption_service_number},
                          {"line21_field", s.b_line21_field != 0},
                          {"easy_reader", s.b_easy_reader != 0},
                          {"wide_aspect_ratio", s.b_wide_aspect_ratio != 0}});
        }
        j["services"] = list;
      });
    case 0x87: {
      j["name"] = "content advisory";
      if (n < 1) return false;
      SiJson regions = SiJson::array();
      const int count = d[0] & 0x3F;
      size_t pos = 1;
      for (int i = 0; i < count && pos + 2 <= n; ++i) {
        SiJson region = {{"rating_region", d[pos]}};
        const int dimensions = d[pos + 1];
        pos += 2;
        SiJson values = SiJson::array();
        for (int k = 0; k < dimensions && pos + 2 <= n; ++k, pos += 2)
          values.push_back({{"dimension", d[pos]}, {"value", d[pos + 1] & 0x0F}});
        region["ratings"] = values;
        const size_t length = pos < n ? d[pos++] : 0;
        const size_t available = std::min(length, n - std::min(n, pos));
        region["description"] = AtscStrings(d + pos, available);
        pos += available;
        regions.push_back(region);
      }
      j["regions"] = regions;
      return true;
    }
    case 0xA0:
      j["name"] = "extended channel name";
      return WithDvbpsi(t, d, n, dvbpsi_ExtendedChannelNameDr, [&](dvbpsi_extended_channel_name_dr_t& r) {
        j["long_channel_name"] = AtscStrings(r.i_long_channel_name, r.i_long_channel_name_length);
      });
    case 0xA1:
      j["name"] = "service location";
      return WithDvbpsi(t, d, n, dvbpsi_DecodeServiceLocationDr, [&](dvbpsi_service_location_dr_t& r) {
        j["pcr_pid"] = r.i_pcr_pid;
        SiJson list = SiJson::array();
        for (int i = 0; i < r.i_number_elements; ++i)
          list.push_back({{"stream_type", r.elements[i].i_stream_type},
                          {"pid", r.elements[i].i_elementary_pid},
                          {"language", Language(reinterpret_cast<const uint8_t*>(r.elements[i].i_iso_639_code))}});
        j["elements"] = list;
      });
    default: break;
  }
  return false;
}

}  // namespace

std::string SiHex(const uint8_t* data, size_t size) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  hex.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    hex += kDigits[data[i] >> 4];
    hex += kDigits[data[i] & 0x0F];
  }
  return hex;
}

std::string DvbGenreName(int nibble) {
  static constexpr const char* kGenres[12] = {"",
                                              "Movie/Drama",
                                              "News/Current affairs",
                                              "Show/Game show",
                                              "Sports",
                                              "Children's/Youth programmes",
                                              "Music/Ballet/Dance",
                                              "Arts/Culture",
                                              "Social/Political issues/Economics",
                                              "Education/Science/Factual topics",
                                              "Leisure hobbies",
                                              "Special characteristics"};
  return nibble >= 0 && nibble < 12 ? kGenres[nibble] : "";
}

SiJson DecodeSiDescriptors(const uint8_t* data, size_t size, const SiDecodeContext& context, uint32_t specifier) {
  SiJson list = SiJson::array();
  size_t pos = 0;
  while (pos + 2 <= size) {
    const int tag = data[pos];
    const size_t length = data[pos + 1];
    SiJson j = {{"tag", tag}};
    if (pos + 2 + length > size) {
      j["name"] = "truncated";
      j["hex"] = SiHex(data + pos + 2, size - pos - 2);
      list.push_back(j);
      break;
    }
    const uint8_t* body = data + pos + 2;
    if (!DecodeKnown(tag, body, length, context, specifier, j)) {
      if (!j.contains("name")) j["name"] = "unknown";
      else j["malformed"] = true;
      j["hex"] = SiHex(body, length);
    }
    if (tag == 0x5F && j.contains("private_data_specifier")) specifier = j["private_data_specifier"].get<uint32_t>();
    list.push_back(j);
    pos += 2 + length;
  }
  return list;
}
