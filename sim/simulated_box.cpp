#include "sim/simulated_box.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>

#include "boxserver/stream_ring.h"

namespace {

constexpr size_t kPacket = 188;

}  // namespace

SimulatedBox::SimulatedBox(BoxKind kind, const BoxSimOptions& options,
                           const std::vector<uint8_t>& source, const SimNetwork* network)
    : kind_(kind), options_(options), source_(&source), network_(network) {}

SimulatedBox::Clock SimulatedBox::Now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool SimulatedBox::IsReady(Clock now) const {
  const int64_t lockMs = transponder_ && transponder_->lockMs ? *transponder_->lockMs : options_.lockMs;
  return tunedAt_ >= 0 && tunedChannelListed_ && !options_.neverReady && now - tunedAt_ >= lockMs * 1000000;
}

bool SimulatedBox::Unplugged(Clock now) const {
  return options_.failAfterMs >= 0 && firstStreamStart_ >= 0 &&
         now - firstStreamStart_ >= options_.failAfterMs * 1000000;
}

bool SimulatedBox::Stalled(Clock now) const {
  return options_.stallAfterMs >= 0 && firstStreamStart_ >= 0 &&
         now - firstStreamStart_ >= options_.stallAfterMs * 1000000;
}

RequestFate SimulatedBox::Screen(uint32_t code) {
  if (options_.hangCodes.count(code)) return RequestFate::NeverAnswer;
  std::lock_guard<std::mutex> lock(mutex_);
  if (Unplugged(Now()) || options_.failCodes.count(code)) return RequestFate::Fail;
  return RequestFate::Serve;
}

bool SimulatedBox::Ready() {
  std::lock_guard<std::mutex> lock(mutex_);
  return IsReady(Now());
}

SignalReading SimulatedBox::Signal() {
  std::lock_guard<std::mutex> lock(mutex_);
  Clock now = Now();
  if (!IsReady(now)) return SignalReading{10, 0, false};
  int strength = transponder_ ? transponder_->strength : options_.strength;
  int quality = transponder_ ? transponder_->quality : options_.quality;
  if (options_.wobble) {
    double seconds = static_cast<double>(now) / 1e9;
    // Periods of a few seconds: slow enough to read, quick enough to see.
    strength += static_cast<int>(std::lround(6 * std::sin(seconds * 2 * M_PI / 5)));
    quality += static_cast<int>(std::lround(5 * std::sin(seconds * 2 * M_PI / 7 + 1)));
    strength = strength < 0 ? 0 : strength > 100 ? 100 : strength;
    quality = quality < 0 ? 0 : quality > 100 ? 100 : quality;
  }
  return SignalReading{strength, quality, true};
}

void SimulatedBox::Tuned(bool listed, const char* text) {
  tunedAt_ = Now();
  tunedChannelListed_ = listed;
  std::fprintf(stderr, "vantrel-boxsim: tuned %s%s\n", text,
               options_.neverReady ? " (never ready)"
               : listed            ? ""
                                   : " (not a listed channel: no lock)");
}

const SimTransponder* SimulatedBox::FindTransponder(uint32_t frequency, uint32_t alternative,
                                                   const SimTransponder& tuned) const {
  const auto fits = [](const auto& wanted, const auto& given) { return !wanted || !given || *wanted == *given; };
  for (const SimTransponder& t : network_->transponders) {
    if (t.frequency != frequency && (alternative == 0 || t.frequency != alternative)) continue;
    if (fits(t.bandwidthMHz, tuned.bandwidthMHz) && fits(t.symbolRateK, tuned.symbolRateK) &&
        fits(t.qamOrder, tuned.qamOrder) && fits(t.horizontal, tuned.horizontal))
      return &t;
  }
  return nullptr;
}

void SimulatedBox::TunedInNetwork(const SimTransponder* found, const char* text) {
  static const std::vector<uint8_t> kNothing;
  transponder_ = found;
  source_ = found ? &found->stream : &kNothing;
  sourcePosition_ = 0;
  filtered_.clear();
  tunedAt_ = Now();
  tunedChannelListed_ = found != nullptr && found->locks;
  std::fprintf(stderr, "vantrel-boxsim: tuned %s%s\n", text,
               !found              ? " (not in the network: no lock)"
               : !found->locks     ? " (a transponder that does not lock)"
               : !found->carriesSi ? " (its SI never comes)"
                                   : "");
}

bool SimulatedBox::TuneTerrestrial(const TerrestrialTune& tune) {
  std::lock_guard<std::mutex> lock(mutex_);
  char text[160];
  std::snprintf(text, sizeof text, "terrestrial %u kHz, %u MHz", tune.frequencyKHz, tune.bandwidthMHz);
  if (network_) {
    SimTransponder tuned;
    tuned.bandwidthMHz = tune.bandwidthMHz;
    TunedInNetwork(FindTransponder(tune.frequencyKHz, 0, tuned), text);
    return true;
  }
  Tuned(options_.anyChannel || options_.channels.count(tune.frequencyKHz), text);
  return true;
}

bool SimulatedBox::TuneCable(const CableTune& tune) {
  std::lock_guard<std::mutex> lock(mutex_);
  char text[160];
  std::snprintf(text, sizeof text, "cable %u kHz, %u ksymbol/s, QAM %u", tune.frequencyKHz,
                tune.symbolRateK, tune.qamOrder);
  if (network_) {
    SimTransponder tuned;
    tuned.symbolRateK = tune.symbolRateK;
    tuned.qamOrder = tune.qamOrder;
    TunedInNetwork(FindTransponder(tune.frequencyKHz, 0, tuned), text);
    return true;
  }
  Tuned(options_.anyChannel || options_.channels.count(tune.frequencyKHz), text);
  return true;
}

bool SimulatedBox::TuneSatellite(const SatelliteTune& tune) {
  std::lock_guard<std::mutex> lock(mutex_);
  // The dish is taken to carry a universal LNB: the tone, or the band bit of
  // the committed-switch byte, selects the 10600 MHz oscillator.
  bool highBand = tone_ == 1 || (diseqcData_ >= 0 && (diseqcData_ & 1));
  uint32_t lo = highBand ? 10600 : 9750;
  uint32_t transponder = lo + tune.ifMHz;
  bool listed = options_.anyChannel || options_.channels.count(transponder) ||
                options_.channels.count(tune.ifMHz);
  std::string port = "no DiSEqC";
  if (diseqcData_ >= 0) {
    port = std::string("DiSEqC port ") + static_cast<char>('A' + ((diseqcData_ >> 2) & 3));
  }
  const char* burst = burst_ == 0 ? ", tone burst" : burst_ == 1 ? ", data burst" : "";
  char text[320];
  std::snprintf(text, sizeof text,
                "satellite IF %u MHz, %u ksymbol/s, %s%s; tone %s, LO %u MHz: transponder %u MHz; "
                "%s%s; LNB supply %s",
                tune.ifMHz, tune.symbolRateK, tune.horizontal ? "horizontal" : "vertical",
                tune.inversion ? ", inverted" : "", tone_ == 1 ? "on" : "off", lo, transponder,
                port.c_str(), burst, supply_ == 1 ? "on" : "off");
  if (network_) {
    SimTransponder tuned;
    tuned.symbolRateK = tune.symbolRateK;
    tuned.horizontal = tune.horizontal;
    TunedInNetwork(FindTransponder(transponder, tune.ifMHz, tuned), text);
    return true;
  }
  Tuned(listed, text);
  return true;
}

bool SimulatedBox::LnbControl(ToneCommand tone, BurstCommand burst, bool supply) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (tone != ToneCommand::Unchanged) tone_ = tone == ToneCommand::On ? 1 : 0;
  if (burst != BurstCommand::None) burst_ = burst == BurstCommand::ToneBurst ? 0 : 1;
  supply_ = supply ? 1 : 0;
  return true;
}

bool SimulatedBox::Diseqc(const std::vector<uint8_t>& message) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Committed switches: the data byte (0 when the message carries none).
  if (message.size() >= 3 && message[2] == 0x38) diseqcData_ = message.size() > 3 ? message[3] : 0;
  return true;
}

bool SimulatedBox::StartStream(StreamRing* ring) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Every start plays the stream file afresh from its beginning.
  ring_ = ring;
  sourcePosition_ = 0;
  flowingSince_ = -1;
  filtered_.clear();
  if (firstStreamStart_ < 0) firstStreamStart_ = Now();
  return true;
}

void SimulatedBox::StopStream() {
  std::lock_guard<std::mutex> lock(mutex_);
  ring_ = nullptr;
  flowingSince_ = -1;
}

bool SimulatedBox::SetPidFilter(uint16_t pid) {
  std::lock_guard<std::mutex> lock(mutex_);
  pidFilter_ = pid;
  filtered_.clear();
  if (pid != 0) std::fprintf(stderr, "vantrel-boxsim: PID filter 0x%04X\n", pid);
  return true;
}

// Plays `count` stream bytes. Through a PID filter only whole packets of
// that PID reach the ring; the filter finds packets by their sync byte.
void SimulatedBox::Play(uint64_t count) {
  while (count > 0) {
    size_t piece = static_cast<size_t>(std::min<uint64_t>(count, source_->size() - sourcePosition_));
    const uint8_t* bytes = source_->data() + sourcePosition_;
    if (pidFilter_ == 0) {
      ring_->Append(bytes, piece);
    } else {
      for (size_t i = 0; i < piece; ++i) {
        // A whole packet at hand is judged in place: the writer holds the
        // box's lock while it plays, and byte-wise copying of every packet
        // kept requests waiting on slow (instrumented) builds.
        if (filtered_.empty() && bytes[i] == 0x47 && piece - i >= kPacket) {
          if (((bytes[i + 1] & 0x1F) << 8 | bytes[i + 2]) == pidFilter_) ring_->Append(bytes + i, kPacket);
          i += kPacket - 1;
          continue;
        }
        if (filtered_.empty() && bytes[i] != 0x47) continue;
        filtered_.push_back(bytes[i]);
        if (filtered_.size() < kPacket) continue;
        if (((filtered_[1] & 0x1F) << 8 | filtered_[2]) == pidFilter_) {
          ring_->Append(filtered_.data(), kPacket);
        }
        filtered_.clear();
      }
    }
    count -= piece;
    sourcePosition_ = (sourcePosition_ + piece) % source_->size();
  }
}

void SimulatedBox::StreamTick() {
  std::lock_guard<std::mutex> lock(mutex_);
  Clock now = Now();
  bool flowing = ring_ && IsReady(now) && !Stalled(now) && !Unplugged(now) && !source_->empty();
  if (!flowing) {
    flowingSince_ = -1;
    return;
  }
  if (flowingSince_ < 0) {
    flowingSince_ = now;
    flowingBytes_ = 0;
    return;
  }
  unsigned __int128 dueTotal = static_cast<unsigned __int128>(options_.bitrate) *
                               static_cast<uint64_t>(now - flowingSince_) / 8000000000u;
  uint64_t due = static_cast<uint64_t>(dueTotal) - flowingBytes_;
  flowingBytes_ += due;
  if (due > ring_->size()) {
    // Fell behind by more than the ring: only the newest ring's worth of the
    // stream can still be in it, so only that much is played, and the write
    // offset moves on as a driver's would over what it wrote meanwhile.
    uint64_t skip = due - ring_->size();
    sourcePosition_ = static_cast<size_t>((sourcePosition_ + skip) % source_->size());
    filtered_.clear();
    if (pidFilter_ == 0) ring_->Skip(skip);
    due = ring_->size();
  }
  Play(due);
}
