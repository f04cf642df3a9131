// `vantrel-cli device`, `tune`, `signal` and `lnb`: the tuner box without the
// dialogs. tune and signal fill the channel as the family's settings dialog
// does; lnb edits the LNB sections as the LNB Setup dialog's OK does.
#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>
#include <optional>
#include <string>

#include "capture/capture_settings.h"
#include "cli/channel_options.h"
#include "cli/command.h"
#include "device/tuner_family_name.h"
#include "platform/profile.h"
#include "platform/sync.h"

namespace {

constexpr uint32_t kTuneRetryMs = 200;  // as the Antenna Tuning Utility retries

const char* OpenKindName() {
  if (hTunerT) return "T";
  if (hTunerA) return "A";
  if (hTunerS) return "S";
  return "BUS";
}

// Closes the box on every way out of a command.
struct OpenBox {
  int model = OpenTunerBoxForCli();
  ~OpenBox() {
    if (model >= 0) CloseTunerDevice();
  }
};

int RunDevice() {
  OpenBox box;
  if (box.model < 0) return OpenBoxExitCode();
  std::printf("model %d family %s kind %s\n", box.model, TunerFamilyShortName(box.model), OpenKindName());
  return kExitOk;
}

struct TuneRecords {
  ChannelSettings channel{};
  CaptureSettings capture{};
};

bool BuildRecords(const ChannelOptions& options, int model, TuneRecords* records) {
  std::string error;
  if (BuildChannelRecords(options, model, &records->channel, &records->capture, &error)) return true;
  std::fprintf(stderr, "vantrel-cli: %s\n", error.c_str());
  return false;
}

struct TuneOptions {
  ChannelOptions channel;
  std::optional<int64_t> lockSeconds;
};

// Tuned means locked: a box whose tune needs no ready poll accepts any
// channel at once and locks (or not) afterwards.
int RunTune(const TuneOptions& options) {
  OpenBox box;
  if (box.model < 0) return OpenBoxExitCode();
  TuneRecords records;
  if (!BuildRecords(options.channel, box.model, &records)) return kExitUsage;
  if (!CheckBoxIsFree()) {
    std::puts("not tuned");
    return ReportBoxProblem("the box cannot say who streams");
  }
  const uint32_t lockMs = LockTimeoutMs(options.lockSeconds, box.model);
  const TuneOutcome tuned = TuneChannelUntil(-1, records.channel, records.capture, lockMs);
  if (tuned == TuneOutcome::Refused) {
    std::puts("not tuned");
    return ReportBoxProblem("the box did not accept the channel");
  }
  switch (tuned == TuneOutcome::NotReady ? LockWait::NoLock : WaitForTunerLock(lockMs)) {
    case LockWait::Locked:
      std::puts("tuned");
      return kExitOk;
    case LockWait::NoLock:
      std::puts("not tuned");
      std::fprintf(stderr, "vantrel-cli: the tuner did not lock within %u s\n", lockMs / 1000);
      return kExitFailure;
    case LockWait::Failed:
      break;
  }
  std::puts("not tuned");
  return ReportBoxProblem("the box did not say whether it locked");
}

struct SignalOptions {
  ChannelOptions channel;
  int64_t count = 10;
  int64_t intervalMs = 500;
  int64_t timeoutSeconds = 10;
};

// Cancels the device requests still running when `timeoutMs` has passed, so
// that a box that never answers cannot hold the command; requests work again
// once the deadline is destroyed.
class RequestDeadline {
public:
  explicit RequestDeadline(uint32_t timeoutMs)
      : start_(GetTickCountMs()), timeoutMs_(timeoutMs), watcher_([this] {
          if (WaitForEvent(ended_, timeoutMs_) != WaitResult::Timeout) return;
          expired_.store(true);
          CancelTunerRequests();
        }) {}
  ~RequestDeadline() {
    ended_.Set();
    watcher_.join();
    if (expired_.load()) ResumeTunerRequests();
  }
  RequestDeadline(const RequestDeadline&) = delete;
  RequestDeadline& operator=(const RequestDeadline&) = delete;

  bool Expired() const { return expired_.load(); }
  // Whether `ms` more fit before the deadline.
  bool Allows(uint32_t ms) const { return GetTickCountMs() - start_ + ms < timeoutMs_; }

private:
  const uint32_t start_;
  const uint32_t timeoutMs_;
  SyncEvent ended_{true};
  std::atomic<bool> expired_{false};
  std::thread watcher_;
};

// Why a tune that kept failing did not succeed, as far as this side can tell.
std::string WhyNotTuned(int model, const TuneRecords& records, uint32_t timeoutMs) {
  if (GetTunerFamily(model) == TunerFamily::Satellite &&
      GetSatelliteTuneLo(records.channel, records.capture) == 0) {
    return "not tuned: no LO of the LNB brings " + std::to_string(records.channel.words[0]) +
           " MHz into the tuner's range (see vantrel-cli lnb)";
  }
  return "not tuned: the box did not accept the channel within " +
         std::to_string(timeoutMs / 1000) + " s";
}

int RunSignal(const SignalOptions& options) {
  OpenBox box;
  if (box.model < 0) return OpenBoxExitCode();
  TuneRecords records;
  if (!BuildRecords(options.channel, box.model, &records)) return kExitUsage;
  // The tune of a box another program streams from is refused: say so, not
  // that the channel was.
  if (!CheckBoxIsFree()) {
    std::puts("not tuned");
    return ReportBoxProblem("the box cannot say who streams");
  }
  const uint32_t timeoutMs = static_cast<uint32_t>(options.timeoutSeconds) * 1000;
  bool tuned = false;
  {
    RequestDeadline deadline(timeoutMs);
    while (!(tuned = TuneChannel(-1, records.channel, records.capture) != 0) &&
           !deadline.Expired() && deadline.Allows(kTuneRetryMs))
      SleepMs(kTuneRetryMs);
  }
  if (!tuned) {
    std::printf("%s\n", WhyNotTuned(box.model, records, timeoutMs).c_str());
    return kExitFailure;
  }
  bool allRead = true;
  bool everRead = false;
  bool everLocked = false;
  for (int64_t line = 0; options.count == 0 || line < options.count; ++line) {
    // Also before the first reading: a box locks some time after a tune that
    // needs no ready poll, as the dialogs see at their next step.
    SleepMs(static_cast<uint32_t>(options.intervalMs));
    int strength = 0, quality = 0, locked = 0;
    bool read;
    {
      RequestDeadline deadline(timeoutMs);
      read = GetSignalStatus(&strength, &quality, &locked) != 0;
    }
    if (read) {
      std::printf("strength %02d%% quality %02d%% %s\n", strength, quality,
                  locked ? "locked" : "unlocked");
      everRead = true;
      everLocked = everLocked || locked != 0;
    } else {
      std::fputs("signal query failed\n", stderr);
      allRead = false;
    }
    std::fflush(stdout);
  }
  if (everRead && !everLocked) {
    std::puts("not locked");
    return kExitFailure;
  }
  return allRead ? kExitOk : kExitFailure;
}

// lnb: option words and the values the LNB Setup lists store (list indexes).
const char* const kOnOff[] = {"off", "on"};
const char* const kLnbTypes[] = {"normal", "universal", "custom"};
const char* const kDiseqcInputs[] = {"none", "A", "B", "C", "D"};

template <size_t N>
std::string NameOf(const char* const (&names)[N], int value) {
  return value >= 0 && static_cast<size_t>(value) < N ? names[value] : std::to_string(value);
}

template <size_t N>
int IndexOf(const char* const (&names)[N], const std::string& word) {
  for (size_t i = 0; i < N; ++i)
    if (word == names[i]) return static_cast<int>(i);
  return -1;
}

struct LnbOptions {
  std::optional<std::string> power, type, tone, toneBurst, dataBurst, diseqc;
  std::optional<int64_t> lo1, lo2;
  bool Any() const {
    return power || type || tone || toneBurst || dataBurst || diseqc || lo1 || lo2;
  }
};

// As the LNB Setup dialog shows them: fixed LO pairs for Normal and Universal.
void PrintLnb(LnbSettings lnb) {
  uint32_t lo1, lo2;
  if (FixedLnbLoPair(lnb.lnbType, &lo1, &lo2)) {
    lnb.custom1 = static_cast<int32_t>(lo1);
    lnb.custom2 = static_cast<int32_t>(lo2);
  }
  std::printf("power %s\ntype %s\nlo1 %d\nlo2 %d\ntone %s\ntone-burst %s\ndata-burst %s\ndiseqc %s\n",
              NameOf(kOnOff, lnb.lnbEnable).c_str(), NameOf(kLnbTypes, lnb.lnbType).c_str(),
              lnb.custom1, lnb.custom2, NameOf(kOnOff, lnb.tone22kHz).c_str(),
              NameOf(kOnOff, lnb.toneBurst).c_str(), NameOf(kOnOff, lnb.dataBurst).c_str(),
              NameOf(kDiseqcInputs, lnb.diseqc).c_str());
}

int RunLnb(const LnbOptions& options) {
  // The dialog opens on LNB1 and writes what it shows to all four sections.
  LnbSettings lnb = LoadLnbSettings(1);
  if (!options.Any()) {
    PrintLnb(lnb);
    return kExitOk;
  }
  const int storedType = lnb.lnbType;
  if (options.power) lnb.lnbEnable = IndexOf(kOnOff, *options.power);
  if (options.type) lnb.lnbType = IndexOf(kLnbTypes, *options.type);
  if (options.tone) lnb.tone22kHz = IndexOf(kOnOff, *options.tone);
  if (options.toneBurst) lnb.toneBurst = IndexOf(kOnOff, *options.toneBurst);
  if (options.dataBurst) lnb.dataBurst = IndexOf(kOnOff, *options.dataBurst);
  if (options.diseqc) lnb.diseqc = IndexOf(kDiseqcInputs, *options.diseqc);
  uint32_t lo1, lo2;
  if (FixedLnbLoPair(lnb.lnbType, &lo1, &lo2)) {
    if (options.lo1 || options.lo2) {
      std::fputs("vantrel-cli: --lo1 and --lo2 apply to custom LNBs only\n", stderr);
      return kExitUsage;
    }
    lnb.custom1 = static_cast<int32_t>(lo1);
    lnb.custom2 = static_cast<int32_t>(lo2);
  } else {
    if (lnb.lnbType != storedType) {  // switched to Custom: the dialog's starting pair
      lnb.custom1 = static_cast<int32_t>(kCustomLoStart1);
      lnb.custom2 = static_cast<int32_t>(kCustomLoStart2);
    }
    if (options.lo1) lnb.custom1 = static_cast<int32_t>(*options.lo1);
    if (options.lo2) lnb.custom2 = static_cast<int32_t>(*options.lo2);
  }
  if (!StoreLnbSetup(lnb)) {
    std::fprintf(stderr, "vantrel-cli: could not write the LNB settings to %s\n",
                 GetProfilePath().c_str());
    return kExitFailure;
  }
  PrintLnb(lnb);
  return kExitOk;
}

CliCommandRegistration deviceCommand(
    "device", "Open the tuner box and print its model number, family and kind",
    [](CLI::App& command) -> std::function<int()> {
      command.footer("Prints: model N family DST|DCT|DTT|none kind T|A|S|BUS");
      return [] { return RunDevice(); };
    });

CliCommandRegistration tuneCommand(
    "tune", "Tune the tuner box once to a channel",
    [](CLI::App& command) -> std::function<int()> {
      auto options = std::make_shared<TuneOptions>();
      AddChannelOptions(command, options->channel);
      AddLockTimeoutOption(command, options->lockSeconds);
      command.footer(
          "Options not given keep the values of the family's settings dialog (its profile "
          "section). Prints 'tuned' (exit 0) once the tuner has locked, or 'not tuned' (exit 1) "
          "with the reason on standard error: the box refused the channel or did not lock within "
          "--lock-timeout; exit 6 when the box streams for another program, 7 when it did not "
          "answer in time.");
      return [options] { return RunTune(*options); };
    });

CliCommandRegistration signalCommand(
    "signal", "Tune the tuner box (retrying up to --timeout), then print signal readings",
    [](CLI::App& command) -> std::function<int()> {
      auto options = std::make_shared<SignalOptions>();
      AddChannelOptions(command, options->channel);
      command.add_option("--count", options->count, "Readings to print; 0 for no end (default 10)")
          ->check(CliNumber(0, INT32_MAX));
      command.add_option("--interval-ms", options->intervalMs,
                         "Milliseconds before each reading (default 500)")
          ->check(CliNumber(0, 3600000));
      command.add_option("--timeout", options->timeoutSeconds,
                         "Seconds to keep trying the tune, and the longest wait for one reading "
                         "(default 10)")
          ->check(CliNumber(1, 3600));
      command.footer(
          "Each reading: strength NN% quality NN% locked|unlocked. Ends with 'not locked' "
          "(exit 1) when no reading was locked, and with 'not tuned: REASON' (exit 1) when the "
          "box did not accept the channel within the timeout; 'not tuned' (exit 6) when the box "
          "streams for another program, the reason on standard error.");
      return [options] { return RunSignal(*options); };
    });

CliCommandRegistration lnbCommand(
    "lnb", "Show or set the satellite LNB settings (all four LNB sections at once)",
    [](CLI::App& command) -> std::function<int()> {
      auto options = std::make_shared<LnbOptions>();
      command.add_option("--power", options->power, "LNB supply")->check(CLI::IsMember({"on", "off"}));
      command.add_option("--type", options->type, "LNB type")
          ->check(CLI::IsMember({"normal", "universal", "custom"}));
      command.add_option("--lo1", options->lo1, "First LO of a custom LNB, MHz")
          ->check(CliNumber(0, kMaxLnbLoMHz));
      command.add_option("--lo2", options->lo2, "Second LO of a custom LNB, MHz")
          ->check(CliNumber(0, kMaxLnbLoMHz));
      command.add_option("--tone", options->tone, "22 kHz tone")->check(CLI::IsMember({"on", "off"}));
      command.add_option("--tone-burst", options->toneBurst, "Tone burst")
          ->check(CLI::IsMember({"on", "off"}));
      command.add_option("--data-burst", options->dataBurst, "Data burst")
          ->check(CLI::IsMember({"on", "off"}));
      command.add_option("--diseqc", options->diseqc, "DiSEqC switch input")
          ->check(CLI::IsMember({"none", "A", "B", "C", "D"}));
      command.footer(
          "Without options prints the LNB1 settings. Options not given keep their LNB1 value. "
          "Normal and universal LNBs store their fixed LO pairs (5150/5750, 10600/9750); "
          "switching to custom starts from 11300/0.");
      return [options] { return RunLnb(*options); };
    });

}  // namespace
