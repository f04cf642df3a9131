#include "analysis/si/si_layout.h"

#include <algorithm>

namespace {

int Length12(const uint8_t* b) { return ((b[0] & 0x0F) << 8) | b[1]; }

// Walks a section's loops, recording each part it passes.
class Walker {
public:
  Walker(const std::vector<uint8_t>& s, SiSectionLayout& out) : s_(s), out_(out) {}

  void Part(const std::string& pointer, size_t offset, size_t size) {
    if (offset >= s_.size()) return;
    out_.parts[pointer] = SiByteRange{offset, std::min(size, s_.size() - offset)};
  }

  // A descriptor loop over [from, to): "<prefix>/descriptors/<i>".
  void Descriptors(size_t from, size_t to, const std::string& prefix) {
    to = std::min(to, End());
    size_t pos = from;
    for (int i = 0; pos + 2 <= to; ++i) {
      const size_t length = s_[pos + 1];
      Part(prefix + "/descriptors/" + std::to_string(i), pos, std::min(to, pos + 2 + length) - pos);
      pos += 2 + length;
    }
  }

  // Entries of `fixed` bytes, each followed by a descriptor loop whose
  // 12-bit length sits at `lengthAt` inside the entry: "/<name>/<i>".
  size_t Entries(const std::string& name, size_t pos, size_t to, size_t fixed, size_t lengthAt,
                 const std::vector<std::pair<std::string, SiByteRange>>& fields, int count = -1,
                 size_t lengthMask = 0xFFF) {
    to = std::min(to, End());
    for (int i = 0; pos + fixed <= to && (count < 0 || i < count); ++i) {
      const size_t length = static_cast<size_t>(Length12(&s_[pos + lengthAt])) & lengthMask;
      const std::string prefix = "/" + name + "/" + std::to_string(i);
      Part(prefix, pos, std::min(to, pos + fixed + length) - pos);
      for (const auto& [field, range] : fields) Part(prefix + "/" + field, pos + range.offset, range.size);
      Descriptors(pos + fixed, pos + fixed + length, prefix);
      pos += fixed + length;
    }
    return pos;
  }

  size_t End() const { return s_.size() >= 4 ? s_.size() - 4 : s_.size(); }  // before the CRC_32

private:
  const std::vector<uint8_t>& s_;
  SiSectionLayout& out_;
};

void Header(const std::vector<uint8_t>& s, SiSectionLayout& out) {
  const bool longForm = (s[1] & 0x80) != 0;
  out.header.push_back({"table_id", s[0], {0, 1}});
  out.header.push_back({"section_syntax_indicator", static_cast<uint64_t>(s[1] >> 7), {1, 1}});
  out.header.push_back({"section_length", static_cast<uint64_t>(Length12(&s[1])), {1, 2}});
  if (longForm && s.size() >= 12) {
    out.header.push_back({"table_id_extension", static_cast<uint64_t>((s[3] << 8) | s[4]), {3, 2}});
    out.header.push_back({"version_number", static_cast<uint64_t>((s[5] >> 1) & 0x1F), {5, 1}});
    out.header.push_back({"current_next_indicator", static_cast<uint64_t>(s[5] & 1), {5, 1}});
    out.header.push_back({"section_number", s[6], {6, 1}});
    out.header.push_back({"last_section_number", s[7], {7, 1}});
  }
  const int tableId = s[0];
  if ((longForm || tableId == 0x73 || tableId == 0xFC) && s.size() >= 7) {
    const size_t at = s.size() - 4;
    const uint64_t crc = (uint64_t{s[at]} << 24) | (uint64_t{s[at + 1]} << 16) | (uint64_t{s[at + 2]} << 8) | s[at + 3];
    out.header.push_back({"CRC_32", crc, {at, 4}});
  }
}

}  // namespace

SiSectionLayout LayoutSiSection(const std::vector<uint8_t>& s) {
  SiSectionLayout out;
  if (s.size() < 3) return out;
  Header(s, out);
  Walker w(s, out);
  const int tableId = s[0];
  const size_t end = w.End();
  if ((s[1] & 0x80) != 0 && s.size() < 12) return out;
  switch (tableId) {
    case 0x00:
      w.Part("/transport_stream_id", 3, 2);
      for (size_t pos = 8, i = 0; pos + 4 <= end; pos += 4, ++i) {
        const std::string prefix = "/programs/" + std::to_string(i);
        w.Part(prefix, pos, 4);
        w.Part(prefix + "/program_number", pos, 2);
        w.Part(prefix + "/pid", pos + 2, 2);
      }
      break;
    case 0x01: w.Descriptors(8, end, ""); break;
    case 0x02: {
      w.Part("/program_number", 3, 2);
      w.Part("/pcr_pid", 8, 2);
      const size_t info = static_cast<size_t>(Length12(&s[10]));
      w.Descriptors(12, 12 + info, "");
      w.Entries("streams", 12 + info, end, 5, 3, {{"stream_type", {0, 1}}, {"pid", {1, 2}}});
      break;
    }
    case 0x40:
    case 0x41:
    case 0x4A: {
      w.Part(tableId == 0x4A ? "/bouquet_id" : "/network_id", 3, 2);
      const size_t network = static_cast<size_t>(Length12(&s[8]));
      w.Descriptors(10, 10 + network, "");
      const size_t loop = 10 + network;
      if (loop + 2 > end) break;
      const size_t streams = static_cast<size_t>(Length12(&s[loop]));
      w.Entries("transport_streams", loop + 2, loop + 2 + streams, 6, 4,
                {{"transport_stream_id", {0, 2}}, {"original_network_id", {2, 2}}});
      break;
    }
    case 0x42:
    case 0x46:
      w.Part("/transport_stream_id", 3, 2);
      w.Part("/original_network_id", 8, 2);
      w.Entries("services", 11, end, 5, 3, {{"service_id", {0, 2}}, {"running_status", {3, 1}}, {"free_ca_mode", {3, 1}}});
      break;
    case 0x70:
    case 0x73:
      w.Part("/utc", 3, 5);
      if (tableId == 0x73 && s.size() >= 10) w.Descriptors(10, 10 + static_cast<size_t>(Length12(&s[8])), "");
      break;
    case 0xC8:
    case 0xC9: {
      // Channels of 32 bytes, their 10-bit descriptors_length at 30.
      w.Entries("channels", 10, end, 32, 30,
                {{"short_name", {0, 14}}, {"program_number", {24, 2}}, {"source_id", {28, 2}}}, s[9], 0x3FF);
      break;
    }
    case 0xCB: {
      size_t pos = 10;
      for (int i = 0; i < s[9] && pos + 10 <= end; ++i) {
        const size_t title = s[pos + 9];
        const size_t loop = pos + 10 + title;
        if (loop + 2 > end) break;
        const size_t length = static_cast<size_t>(Length12(&s[loop]));
        const std::string prefix = "/events/" + std::to_string(i);
        w.Part(prefix, pos, std::min(end, loop + 2 + length) - pos);
        w.Part(prefix + "/event_id", pos, 2);
        w.Part(prefix + "/start_utc", pos + 2, 4);
        w.Part(prefix + "/title", pos + 10, title);
        w.Descriptors(loop + 2, loop + 2 + length, prefix);
        pos = loop + 2 + length;
      }
      break;
    }
    default:
      if (tableId >= 0x4E && tableId <= 0x6F) {
        w.Part("/service_id", 3, 2);
        w.Part("/transport_stream_id", 8, 2);
        w.Part("/original_network_id", 10, 2);
        w.Entries("events", 14, end, 12, 10,
                  {{"event_id", {0, 2}}, {"start_utc", {2, 5}}, {"duration_s", {7, 3}}, {"running_status", {10, 1}}});
      }
      break;
  }
  return out;
}

const SiByteRange* FindSiPart(const SiSectionLayout& layout, const std::string& pointer) {
  std::string at = pointer;
  while (!at.empty()) {
    if (auto it = layout.parts.find(at); it != layout.parts.end()) return &it->second;
    at.erase(at.rfind('/'));
  }
  return nullptr;
}
