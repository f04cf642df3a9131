// The capture settings block (channel, limits, LNB table, file path), the
// profile sections it persists in, and the storing and loading that the DST,
// DCT and DTT settings dialogs, the LNB Setup dialog, the Antenna Tuning
// Utility and the command line share. No user interface here.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "device/tuner_device.h"

// PID for the box's PID filter, set when the DST and DTT settings are stored;
// only its low 13 bits reach the box.
extern std::atomic<int> nCapturePid;

constexpr size_t kCaptureFileSize = 260;  // characters, terminator included

// All zero at program start. Read and written through the functions below,
// which keep it consistent between the interface thread and the workers.
struct CaptureSettingsBlock {
  ChannelSettings channel;
  CaptureSettings capture;
  char szCaptureFile[kCaptureFileSize];
};

// A consistent copy of the block, for a worker about to tune or capture.
CaptureSettingsBlock GetSettingsBlock();
// Back to all zero, as at program start.
void ClearSettingsBlock();

// Profile sections and keys.
inline constexpr char kSectionDst[] = "DSTSETTINGP";
inline constexpr char kSectionDstKept[] = "DSTSETTINGT";  // kept while LNB Setup is visited
inline constexpr char kSectionDct[] = "DCTSETTINGP";
inline constexpr char kSectionDtt[] = "DTTSETTINGP";
inline constexpr char kKeyFrequency[] = "FREQ";
inline constexpr char kKeySymbolRate[] = "SYMR";
inline constexpr char kKeyQam[] = "QAM";
inline constexpr char kKeyBandwidth[] = "BWID";
inline constexpr char kKeyIq[] = "IQ";
inline constexpr char kKeyPolarisation[] = "POLA";
inline constexpr char kKeyRecordMode[] = "RECM";
inline constexpr char kKeySeconds[] = "SECC";
inline constexpr char kKeySize[] = "SIZE";
inline constexpr char kKeyName[] = "NAME";
inline constexpr char kKeyLnbEnable[] = "LNB Enable";
inline constexpr char kKeyLnbType[] = "LNB Type";
inline constexpr char kKeyTone22kHz[] = "22KHz Tone";
inline constexpr char kKeyToneBurst[] = "Tone Burst";
inline constexpr char kKeyDataBurst[] = "Data Burst";
inline constexpr char kKeyDiseqc[] = "DiSEqC";
inline constexpr char kKeyCustom1[] = "Custom1";
inline constexpr char kKeyCustom2[] = "Custom2";

// Defaults of the family sections ("DSTSETTINGT" defaults every key to 0 and
// NAME to empty).
constexpr int kDctDefaultFrequency = 0;
constexpr int kDctDefaultSymbolRate = 6875;
constexpr int kDctDefaultQamIndex = 2;
constexpr int kDctDefaultSize = 50;
constexpr int kDttDefaultFrequency = 12308;
constexpr int kDttDefaultBandwidth = 6;
constexpr int kDttDefaultSize = 600;
constexpr int kDstDefaultFrequency = 12308;
constexpr int kDstDefaultSymbolRate = 22425;
constexpr int kDstDefaultIq = 0;
constexpr int kDstDefaultPolarisation = 0;
constexpr int kDstDefaultSize = 600;
constexpr int kDefaultRecordMode = 1;
constexpr int kDefaultSeconds = 0;
inline constexpr char kDefaultCaptureFile[] = "NONAME.DAT";

// First entry of the Antenna Tuning Utility's bandwidth list ("6", "7", "8"):
// the bandwidth is the list index + 6.
constexpr int kFirstBandwidthMHz = 6;

// The inversion flag of the satellite channel (the IQ field) is 0 or 1.
constexpr uint32_t kMaxIq = 1;
// LNB oscillator frequencies (MHz) are kept as signed 32-bit profile values.
constexpr uint32_t kMaxLnbLoMHz = INT32_MAX;

// The largest value channel word `word` (0..3) can carry on `model` (see
// GetChannelFieldRange); for a model outside `family` (none open yet), the
// widest any box of the family carries. 0 for a word the family does not use.
uint32_t ChannelWordMax(int model, TunerFamily family, int word);

// "LNB1" .. "LNB4".
std::string LnbSectionName(int lnbNumber);

// The capture limits every settings dialog carries.
struct CaptureLimitFields {
  int recordMode = kDefaultRecordMode;  // 0 by time, 1 by size, -1 none chosen
  uint32_t seconds = 0;
  uint32_t megabytes = 0;
  std::string captureFile = kDefaultCaptureFile;
};

struct DstFields {
  uint32_t frequencyMHz = 0;
  uint32_t symbolRate = 0;     // ksymbol/s
  int polarisationIndex = 0;   // 0 "V", 1 "H", -1 none selected
  uint32_t iq = 0;
  int16_t pid = 0;
  CaptureLimitFields limits;
};

struct DctFields {
  uint32_t frequencyKHz = 0;
  uint32_t symbolRate = 0;  // ksymbol/s
  int qamIndex = 0;         // 0..4 for 16, 32, 64, 128, 256; -1 none selected
  CaptureLimitFields limits;
};

struct DttFields {
  uint32_t frequencyKHz = 0;
  uint32_t bandwidthMHz = 0;
  int16_t pid = 0;
  CaptureLimitFields limits;
};

// QAM order of a QAM list index: 16 << index; 16 for no (or no valid) selection.
int QamOrderFromIndex(int index);

// Fill the records exactly as the family's dialog stores them (83 words
// cleared, words 0..3 set, limits copied; DST also sets nLnbNumber 1 and loads
// the LNB table from LNB1..LNB4), without touching the block or writing the
// profile. The CaptureSettings fields a family does not store stay as passed.
void FillDstRecords(const DstFields& fields, ChannelSettings* channel, CaptureSettings* capture);
void FillDctRecords(const DctFields& fields, ChannelSettings* channel, CaptureSettings* capture);
void FillDttRecords(const DttFields& fields, ChannelSettings* channel, CaptureSettings* capture);

// What "Apply" and "Capture" do: fill the settings block and szCaptureFile,
// set nCapturePid (DST, DTT), write the family's section. false when a
// profile write failed (the block is stored either way).
bool StoreDstSettings(const DstFields& fields);
bool StoreDctSettings(const DctFields& fields);
bool StoreDttSettings(const DttFields& fields);
// "LNB setting...": the DST fields into "DSTSETTINGT" only.
bool SaveDstSettingsForLnbSetup(const DstFields& fields);

// The family's section with its defaults, as the dialog starts. A stored value
// outside what its field can hold (no box of the family carries it, or no
// entry of its list) reads as the key's default. DST reads
// "DSTSETTINGT" (defaults 0, file name from NAME) when reopened after LNB Setup.
// The PID is not persisted and comes back 0.
DstFields LoadDstSettings(bool backFromLnbSetup);
DctFields LoadDctSettings();
DttFields LoadDttSettings();

// Antenna Tuning Utility "Tuning": clears the channel record, stores
// frequency and bandwidth (index + 6) and writes FREQ and BWID to "DTTSETTINGP".
bool StoreAntennaTuningChannel(uint32_t frequencyKHz, int bandwidthIndex);

// The tuner box the user chose last (vantrel-cli --box, vantrel --box): the
// text of ParseTunerBoxChoice, or empty when none was chosen.
std::string LoadTunerBoxChoice();
bool StoreTunerBoxChoice(const std::string& text);

// One LNB section (keys default 0, also for a value outside the key's list or
// a negative LO); lnbNumber 1..4, else all zero.
LnbSettings LoadLnbSettings(int lnbNumber);
// LNB Setup "OK": the same eight values into LNB1 to LNB4.
bool StoreLnbSetup(const LnbSettings& lnb);
// The LO pair the LNB Setup dialog shows for a type: the fixed pair for Normal
// (5150, 5750) and Universal (10600, 9750), true; false for the others.
bool FixedLnbLoPair(int lnbType, uint32_t* lo1, uint32_t* lo2);
// The pair the dialog proposes when Custom is chosen in its type list.
constexpr uint32_t kCustomLoStart1 = 11300;
constexpr uint32_t kCustomLoStart2 = 0;
