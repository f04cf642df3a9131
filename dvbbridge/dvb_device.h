// The DVB calls the bridge makes, behind one small interface of our own: a
// Linux DVB adapter's frontend, demux and DVR device as libdvbv5 reaches
// them (dvb_device_libdvbv5.cpp), or a recording fake (fake_dvb_device.h)
// for the tests and for --dry-run.
//
// Journal lines. Every call that changes the adapter is written to the
// journal as one line, in this stable format (fields in this order, numbers
// decimal unless shown with 0x, names as the kernel's DVB API spells them
// without their prefix):
//
//   SET_VOLTAGE 13 | 18 | OFF
//   SET_TONE ON | OFF
//   BURST A | B                      (A: unmodulated tone burst, B: data burst)
//   DISEQC E0 10 38 F3               (the message bytes, hexadecimal)
//   TUNE delsys=DVBS2 freq=1178000 sr=27500000 modulation=AUTO inversion=OFF
//   TUNE delsys=DVBC_ANNEX_A freq=474000000 sr=6875000 modulation=QAM_64 inversion=AUTO
//   TUNE delsys=DVBT freq=474000000 bandwidth=8000000 inversion=AUTO
//   TUNE delsys=ATSC freq=474000000 modulation=VSB_8 inversion=AUTO
//   START_STREAM pid=0x2000 buffer=10000000   (demux filter to the DVR, its buffer in bytes)
//   STOP_STREAM
//
// freq is in kHz for the satellite systems (the intermediate frequency) and
// in Hz otherwise, as the kernel takes it; sr in symbols per second.
// Statistics and stream reads are not journalled: they are polled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class DeliverySystem { DVBS, DVBS2, DVBC_ANNEX_A, DVBC_ANNEX_B, DVBT, DVBT2, ATSC, Other };
enum class Modulation { Auto, QPSK, QAM_16, QAM_32, QAM_64, QAM_128, QAM_256, VSB_8 };
enum class Inversion { Off, On, Auto };
enum class Voltage { Off, V13, V18 };
enum class StatScale { None, Decibel, Relative };  // Decibel: 0.001 dB (dBm for strength)

const char* DeliverySystemName(DeliverySystem system);
const char* ModulationName(Modulation modulation);
bool IsSatelliteSystem(DeliverySystem system);

struct DvbTuning {
  DeliverySystem system = DeliverySystem::Other;
  uint32_t frequency = 0;      // kHz (satellite IF) or Hz
  uint32_t symbolRate = 0;     // symbols per second; 0: not set
  uint32_t bandwidthHz = 0;    // 0: not set
  Modulation modulation = Modulation::Auto;
  bool setModulation = false;
  Inversion inversion = Inversion::Auto;
};

struct DvbStatistics {
  bool locked = false;
  StatScale strengthScale = StatScale::None;
  int64_t strength = 0;  // 0.001 dBm, or 0..65535
  StatScale cnrScale = StatScale::None;
  int64_t cnr = 0;       // 0.001 dB, or 0..65535
};

struct DvbFrontendInfo {
  unsigned adapter = 0, frontend = 0;
  std::string name;
  std::vector<DeliverySystem> systems;  // in the driver's order
  uint32_t symbolRateMax = 0;           // symbols per second; 0: unknown
};

enum class ReadOutcome { Data, Overflow, Timeout, Gone };

struct ReadResult {
  ReadOutcome outcome;
  size_t bytes = 0;  // with Data
};

class DvbDevice {
public:
  virtual ~DvbDevice() = default;
  virtual const DvbFrontendInfo& Info() const = 0;

  // Each returns false when the call failed (the error went to stderr).
  virtual bool Tune(const DvbTuning& tuning) = 0;
  virtual bool ReadStatistics(DvbStatistics* statistics) = 0;
  virtual bool SetVoltage(Voltage voltage) = 0;
  virtual bool SetTone(bool on) = 0;
  virtual bool SendBurst(bool dataBurst) = 0;
  virtual bool SendDiseqc(const std::vector<uint8_t>& message) = 0;

  // Demux filter for `pid` (0x2000: the whole transport stream) into the
  // DVR device, whose buffer is set to `bufferBytes`.
  virtual bool StartStream(uint16_t pid, size_t bufferBytes) = 0;
  virtual void StopStream() = 0;
  // Waits up to timeoutMs for stream bytes and reads what is there, at most
  // `size`. Overflow: the kernel's buffer overran and bytes were lost (the
  // stream goes on). Gone: the adapter has vanished.
  virtual ReadResult ReadStream(uint8_t* buffer, size_t size, int timeoutMs) = 0;
  // The adapter has gone (unplugged, driver removed): nothing will work again.
  virtual bool Vanished() const = 0;
};

// The journal line of each call (with its '\n').
std::string DescribeTune(const DvbTuning& tuning);
std::string DescribeVoltage(Voltage voltage);
std::string DescribeTone(bool on);
std::string DescribeBurst(bool dataBurst);
std::string DescribeDiseqc(const std::vector<uint8_t>& message);
std::string DescribeStartStream(uint16_t pid, size_t bufferBytes);
std::string DescribeStopStream();

// Writes the journal line of each call that changes the adapter, then makes
// the call on `inner`.
class JournalingDvbDevice : public DvbDevice {
public:
  // `inner` must outlive this; journalFd below 0: no journal.
  JournalingDvbDevice(DvbDevice* inner, int journalFd) : inner_(inner), journalFd_(journalFd) {}
  const DvbFrontendInfo& Info() const override { return inner_->Info(); }
  bool Tune(const DvbTuning& tuning) override;
  bool ReadStatistics(DvbStatistics* statistics) override { return inner_->ReadStatistics(statistics); }
  bool SetVoltage(Voltage voltage) override;
  bool SetTone(bool on) override;
  bool SendBurst(bool dataBurst) override;
  bool SendDiseqc(const std::vector<uint8_t>& message) override;
  bool StartStream(uint16_t pid, size_t bufferBytes) override;
  void StopStream() override;
  ReadResult ReadStream(uint8_t* buffer, size_t size, int timeoutMs) override {
    return inner_->ReadStream(buffer, size, timeoutMs);
  }
  bool Vanished() const override { return inner_->Vanished(); }

private:
  DvbDevice* const inner_;
  const int journalFd_;
};
