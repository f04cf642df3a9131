#include "sim/boxsim_options.h"

#include <cerrno>
#include <cstdlib>
#include <map>

namespace {

// Decimal, or hexadecimal with 0x.
bool ParseNumber(const std::string& text, uint64_t maximum, uint64_t* value) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || parsed > maximum) return false;
  // strtoull's base 0 reads a leading 0 as octal; accept plain decimal only.
  if (text.size() > 1 && text[0] == '0' && text[1] != 'x' && text[1] != 'X') return false;
  *value = parsed;
  return true;
}

// Request codes are hexadecimal, with or without 0x.
bool ParseCode(const std::string& text, uint32_t* code) {
  std::string digits = text;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    digits = digits.substr(2);
  }
  if (digits.empty() || digits.size() > 8) return false;
  uint32_t value = 0;
  for (char c : digits) {
    int digit;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    else return false;
    value = value << 4 | static_cast<uint32_t>(digit);
  }
  *code = value;
  return true;
}

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> items;
  size_t start = 0;
  for (;;) {
    size_t comma = text.find(',', start);
    items.push_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return items;
}

bool ParseKinds(const std::string& text, std::vector<BoxKind>* kinds) {
  static const std::map<std::string, BoxKind> kNames = {
      {"t", BoxKind::T}, {"a", BoxKind::A}, {"s", BoxKind::S}, {"bus", BoxKind::Bus}};
  kinds->clear();
  for (const std::string& item : SplitList(text)) {
    auto found = kNames.find(item);
    if (found == kNames.end()) return false;
    for (BoxKind known : *kinds) {
      if (known == found->second) return false;
    }
    kinds->push_back(found->second);
  }
  return !kinds->empty();
}

}  // namespace

const char* BoxSimUsage() {
  return "Usage: vantrel-boxsim --kind t|a|s|bus[,...] [options]\n"
         "Plays a USB tuner box (its driver) for Vantrel on this machine.\n"
         "\n"
         "  --kind KINDS            t (\\\\.\\QVUSB-T-000), a (interface class A),\n"
         "                          s (\\\\.\\QVUSB-S-000), bus (classes B and BS);\n"
         "                          a comma list plays several boxes at once\n"
         "  --model-code CODE       bus kind: six-character model code (default KJNRG8)\n"
         "  --no-stream-interface   bus kind: leave interface class BS out\n"
         "  --device-dir DIR        publish here instead of the default directory\n"
         "  --journal FILE          append one line per request received\n"
         "  --lock-ms N             ready and locked N ms after a tune (default 300)\n"
         "  --channels LIST         frequencies that lock: kHz; for satellite boxes MHz,\n"
         "                          the IF or the transponder frequency of a universal\n"
         "                          LNB (LO 10600 MHz with the tone or band bit, else 9750)\n"
         "  --never-ready           never ready, never locked\n"
         "  --strength N            signal strength in percent (default 75)\n"
         "  --quality N             signal quality in percent (default 60)\n"
         "  --wobble                let strength and quality drift slowly\n"
         "  --stream FILE           transport stream played in a loop into the ring\n"
         "  --network FILE          play a network: per transponder its frequency, tuning\n"
         "                          values, stream, signal, lock and SI (INI, described in\n"
         "                          sim/sim_network.h); replaces --stream and --channels\n"
         "  --bitrate BITS_PER_S    stream rate (default 20000000)\n"
         "  --no-sync               play bytes that contain no 0x47\n"
         "  --fail CODE[,CODE...]   fail these requests (hexadecimal codes)\n"
         "  --fail-after-ms N       fail every request N ms after the first stream start\n"
         "  --stall-after-ms N      freeze the write offset N ms after the first stream start\n"
         "  --hang CODE[,CODE...]   never answer these requests (for tests)\n"
         "  -h, --help              print this help and end\n"
         "  --version               print the version and end\n"
         "The A and S boxes apply the PID filter the program sets (PID 0 passes every\n"
         "packet); a filter set before the program first asks for the write offset\n"
         "applies from the start of the stream.\n"
         "Numbers are decimal or 0x hexadecimal. SIGINT or SIGTERM end it cleanly.\n";
}

bool ParseBoxSimOptions(int argc, char** argv, BoxSimOptions* options, bool* showHelp,
                        std::string* error) {
  *showHelp = false;
  bool haveKind = false;
  bool haveModelCode = false;
  bool haveNoStreamInterface = false;
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    if (name == "--help" || name == "-h") {
      *showHelp = true;
      return true;
    }
    if (name == "--version") {
      options->showVersion = true;
      return true;
    }
    if (name == "--never-ready" || name == "--wobble" || name == "--no-sync") {
      bool& target = name == "--never-ready" ? options->neverReady
                     : name == "--wobble"    ? options->wobble
                                             : options->noSync;
      target = true;
      continue;
    }
    if (name == "--no-stream-interface") {
      options->streamInterface = false;
      haveNoStreamInterface = true;
      continue;
    }
    if (i + 1 >= argc) {
      *error = name.rfind("--", 0) == 0 ? name + " needs a value" : "unexpected argument " + name;
      return false;
    }
    std::string value = argv[++i];
    auto bad = [&]() {
      *error = "invalid value for " + name + ": " + value;
      return false;
    };
    uint64_t number = 0;
    if (name == "--kind") {
      if (!ParseKinds(value, &options->kinds)) return bad();
      haveKind = true;
    } else if (name == "--model-code") {
      if (value.size() != 6) return bad();
      options->modelCode = value;
      haveModelCode = true;
    } else if (name == "--device-dir") {
      if (value.empty()) return bad();
      options->deviceDirectory = value;
    } else if (name == "--journal") {
      if (value.empty()) return bad();
      options->journalPath = value;
    } else if (name == "--lock-ms") {
      if (!ParseNumber(value, 3600000, &number)) return bad();
      options->lockMs = static_cast<int64_t>(number);
    } else if (name == "--channels") {
      options->channels.clear();
      for (const std::string& item : SplitList(value)) {
        if (!ParseNumber(item, 0xFFFFFF, &number)) return bad();
        options->channels.insert(static_cast<uint32_t>(number));
      }
      options->anyChannel = false;
    } else if (name == "--strength" || name == "--quality") {
      if (!ParseNumber(value, 100, &number)) return bad();
      (name == "--strength" ? options->strength : options->quality) = static_cast<int>(number);
    } else if (name == "--stream") {
      if (value.empty()) return bad();
      options->streamPath = value;
    } else if (name == "--network") {
      if (value.empty()) return bad();
      options->networkPath = value;
    } else if (name == "--bitrate") {
      if (!ParseNumber(value, 4000000000ull, &number) || number < 8) return bad();
      options->bitrate = number;
    } else if (name == "--fail" || name == "--hang") {
      std::set<uint32_t>& codes = name == "--fail" ? options->failCodes : options->hangCodes;
      for (const std::string& item : SplitList(value)) {
        uint32_t code;
        if (!ParseCode(item, &code)) return bad();
        codes.insert(code);
      }
    } else if (name == "--fail-after-ms" || name == "--stall-after-ms") {
      if (!ParseNumber(value, 86400000, &number)) return bad();
      (name == "--fail-after-ms" ? options->failAfterMs : options->stallAfterMs) =
          static_cast<int64_t>(number);
    } else {
      *error = "unknown option " + name;
      return false;
    }
  }
  if (!haveKind) {
    *error = "--kind is required";
    return false;
  }
  if (!options->networkPath.empty() && (!options->streamPath.empty() || !options->anyChannel)) {
    *error = "--network replaces --stream and --channels";
    return false;
  }
  bool bus = false;
  for (BoxKind kind : options->kinds) bus = bus || kind == BoxKind::Bus;
  if (!bus && (haveModelCode || haveNoStreamInterface)) {
    *error = "--model-code and --no-stream-interface apply to the bus kind only";
    return false;
  }
  return true;
}
