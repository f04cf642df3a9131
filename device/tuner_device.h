// Tuner box access: discovery and handles, the I/O-control protocol, tuning
// and signal status, LNB and DiSEqC control. Plain global functions over
// process-wide state; int results are non-zero for success.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/device_io.h"

// One LNB: supply, type, tone, bursts, DiSEqC input, two custom LOs (MHz).
struct LnbSettings {
  int32_t lnbEnable;
  int32_t lnbType;     // 0 Normal, 1 Universal, 2 Custom
  int32_t tone22kHz;
  int32_t toneBurst;
  int32_t dataBurst;
  int32_t diseqc;      // 0 none, 1..4 LNB A..D
  int32_t custom1;
  int32_t custom2;
};

// 83 words; words 0..3 carry the channel by family.
struct ChannelSettings {
  int32_t words[83];
};

struct CaptureSettings {
  int32_t nRecordMode;        // 0 by time, 1 by size
  int32_t nCaptureSeconds;
  int32_t nCaptureMegabytes;  // units of 1,048,576 bytes
  int32_t nLnbNumber;         // 1..4; 0 is read as 1
  LnbSettings lnb[4];
};

static_assert(sizeof(LnbSettings) == 8 * 4);
static_assert(sizeof(ChannelSettings) == 83 * 4);
static_assert(sizeof(CaptureSettings) == 36 * 4);

extern DeviceHandle hTunerT, hTunerA, hTunerS, hTunerBus, hTunerBusStream;
extern int bDeviceOpen;
extern std::atomic<int> nTunerModel;   // 255: none yet
extern int nSignalFormat;
extern int bCiTuneFrame;

inline const char* const kTunerPathT = "\\\\.\\QVUSB-T-000";
inline const char* const kTunerPathS = "\\\\.\\QVUSB-S-000";
inline const char* const kInterfaceClassA = "{FCB41FCF-AB28-4E01-AB0E-E7FA22B753C0}";
inline const char* const kInterfaceClassBus = "{7377DB61-E3CD-11D2-8A3F-0000F8784422}";
inline const char* const kInterfaceClassBusStream = "{E18D1721-70B5-4DE7-83B3-35436E3954ED}";

// Whether this build talks to tuner boxes. The drivers hand the stream ring
// back as a 4-byte address in the caller's address space, which only a
// 32-bit process can use: a 64-bit Windows build serves file analysis, and
// OpenTunerDevice finds no box there.
#if defined(_WIN64)
constexpr bool kBuildTalksToBoxes = false;
#else
constexpr bool kBuildTalksToBoxes = true;
#endif

// Discovery and handles.
int OpenTunerDevice();
void CloseTunerDevice();
int ProbeTunerDevices();
void CloseDeviceHandles();
DeviceHandle OpenDeviceInterface(const std::string& interfaceGuid, char* errorText /* 128 bytes */);
int GetTunerModel();

// Choosing among several boxes. Without a choice OpenTunerDevice takes the
// first box present in the order T, A, S, bus.
enum class TunerBoxKind { Any, T, A, S, Bus };
struct TunerBoxChoice {
  TunerBoxKind kind = TunerBoxKind::Any;
  unsigned interfaceIndex = 0;  // A and bus: which box of the interface class
  std::string directory;        // the device folder a socket path named; empty: the usual one
};
// "t", "a", "s", "bus" (any case), or the path of a box's socket in a device
// folder (QVUSB-T-000, QVUSB-S-000, {class}#N of the A or the bus class).
// false, with the reason, for anything else.
bool ParseTunerBoxChoice(const std::string& text, TunerBoxChoice* choice, std::string* error);
// The text that parses back to the choice: "t", "a", "s", "bus" or the socket's path.
std::string TunerBoxChoiceText(const TunerBoxChoice& choice);
// From now on OpenTunerDevice opens the chosen box; with onlyThisBox false it
// takes the first other box present when the chosen one is not. A choice
// with a folder makes that folder the device folder (VANTREL_DEVICE_DIR):
// call it before other threads start.
void SelectTunerBox(const TunerBoxChoice& choice, bool onlyThisBox);
// "T", "A", "S", "BUS" (empty for Any).
std::string TunerBoxKindName(TunerBoxKind kind);
// Whether the open box is still there and the same one: the socket it was
// opened through is still in the device folder, it is not a new socket (a
// box that went and came back), and something listens on it. Sends no
// request; false when no box is open.
bool TunerBoxStillThere();

// Control protocol.
// *ringBase receives the mapped ring; the overload also gives its mapped
// length. Fails when the mapping is shorter than the kind's ring length, so a
// reader sized by the model never runs past it.
int StartStream(uint8_t** ringBase);
int StartStream(uint8_t** ringBase, size_t* ringSize);
int GetStreamWritePosition(uint32_t* writeOffset);
int StopStream();
int SetPidFilter(int pid);
uint8_t BuildCommandFrame(const uint8_t command[7], uint8_t frame[9]);

// Tuning and signal status.
int TuneChannel(int model, ChannelSettings channel, CaptureSettings capture);
// TuneChannel with the bus sequences' ready poll lasting `lockMs` instead of
// their own 6 s (2 s satellite): a bus box gets ready only once locked, so a
// tuner slower than that is given the time to lock the user allows, and one
// that does not get ready within it is told apart from a refused channel.
enum class TuneOutcome { Tuned, Refused, NotReady };
TuneOutcome TuneChannelUntil(int model, ChannelSettings channel, CaptureSettings capture, uint32_t lockMs);
int GetSignalStatus(int* strength, int* quality, int* locked);

// The sequences TuneChannel dispatches to (called only through it).
int TuneCableBus(uint32_t frequencyKHz, uint32_t symbolRate, uint32_t qamOrder);
// Variant A (models 10, 15) passes `record` as the 332-byte answer buffer;
// variant B (11, 16) polls with the frame as input.
int TuneTerrestrialBus(int model, uint32_t frequencyKHz, uint32_t bandwidthMHz,
                       ChannelSettings record);
int TuneDirect(DeviceHandle handle, uint8_t leadByte, uint32_t frequencyKHz, uint32_t bandwidthMHz);
int TuneSatelliteBus(const ChannelSettings& channel, const CaptureSettings& capture);
int TuneSatelliteSPath(const ChannelSettings& channel, const CaptureSettings& capture);

// How the dialogs and the tuning dispatch group model numbers; 13 and
// unknown numbers belong to no family.
enum class TunerFamily { None, Satellite, Cable, Terrestrial };
TunerFamily GetTunerFamily(int model);

// The values the tuning request of `model` can carry in channel word `word`
// (0..3): name and unit for messages, and the inclusive range. false when the
// model's family does not use the word. Settings dialogs and the command line
// check their fields with these before anything is sent.
struct ChannelFieldRange {
  const char* name;  // "frequency", "symbol rate", "bandwidth", "QAM order", ...
  const char* unit;  // "MHz", "kHz", "ksymbol/s" or ""
  int64_t min;
  int64_t max;
};
bool GetChannelFieldRange(int model, int word, ChannelFieldRange* range);
// Whether `value` fits channel word `word` of `model` (the QAM order must also
// be one of 16, 32, 64, 128, 256); true for words the family does not use.
bool IsChannelFieldValid(int model, int word, int64_t value);
// The first channel word that does not fit, or -1 when all do.
int FindChannelFieldOutOfRange(int model, const ChannelSettings& channel);
// PIDs are 13 bits.
constexpr int kMaxPid = 0x1FFF;

// Releasing a worker that is inside a device request or a tuning sequence:
// CancelTunerRequests makes the request blocked on any open handle fail at
// once, and from then on every device request fails without being sent and
// every wait and poll loop of the tuning sequences ends at once, until
// ResumeTunerRequests. Typical use when a dialog stops its worker: signal the
// worker, CancelTunerRequests, join it, ResumeTunerRequests.
void CancelTunerRequests();
void ResumeTunerRequests();
bool TunerRequestsCancelled();

// Time limits of the requests to the box. A box that does not answer one
// within its limit counts as not answering: the request fails, and so does
// every later request on that handle. Tuning requests (and the LNB and
// DiSEqC commands before them) may take a real frontend a while.
constexpr uint32_t kTunerRequestTimeoutMs = 3000;
constexpr uint32_t kTunerTuneRequestTimeoutMs = 10000;

// What made a request to the box fail, beyond the box refusing it. The first
// such problem since ClearTunerProblem is kept; the later are dropped.
enum class TunerProblem {
  None,
  InUse,         // the box streams for another program (ownerPid)
  NotAnswering,  // a request got no answer within its time limit
  Gone,          // the box went away (unplugged, or its program ended)
};
struct TunerProblemReport {
  TunerProblem problem = TunerProblem::None;
  uint32_t ownerPid = 0;      // InUse
  uint32_t timeoutMs = 0;     // NotAnswering: the limit that ran out
};
TunerProblemReport GetTunerProblem();
void ClearTunerProblem();

// The process id of another program the open box streams for, 0 when it
// streams for nobody else, -1 when the box cannot tell (or does not answer).
// Also recorded as an InUse problem.
int64_t GetBoxStreamOwner();

// How long a tuner of the family of `model` may take to lock after a tune:
// 10 s for satellite boxes (LNB and DiSEqC switching first), 6 s otherwise.
uint32_t GetDefaultLockTimeoutMs(int model);

// Waits up to timeoutMs for the tuner to lock on the channel just tuned:
// signal status where the box has it; the A-interface, which has none, shows
// lock by the stream it delivers (started and stopped again here).
enum class LockWait { Locked, NoLock, Failed };  // Failed: requests failed or were cancelled
LockWait WaitForTunerLock(uint32_t timeoutMs);

// LNB and DiSEqC. These two return 0 when the last request sent succeeded
// and 1 when it failed or no satellite handle is open.
int SetLnbControl(int tone, int toneBurst, int dataBurst, int supply);
int SendDiseqcCommand(uint8_t framing, uint8_t address, uint8_t command, uint8_t data);
// The LO a satellite tune of `channel` would use with the LNB `capture`
// selects, in MHz; 0 when no LO brings the frequency into the tuner's IF
// range (or the LNB number is damaged): such a tune fails before sending.
uint32_t GetSatelliteTuneLo(const ChannelSettings& channel, const CaptureSettings& capture);
// Fills block[9] and returns the chosen LO in MHz, or 0 when no LO gives a usable IF.
uint32_t BuildSatelliteTuneFrame(uint32_t frequencyMHz, uint32_t symbolRate, int horizontal,
                                 int inversion, uint32_t lo1, uint32_t lo2, uint8_t block[9]);
