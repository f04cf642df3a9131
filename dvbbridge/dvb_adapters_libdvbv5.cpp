// DvbDevice over libdvbv5: discovery (udev), the frontend (delivery system,
// properties, statistics, SEC: voltage, tone, burst, DiSEqC), the demux's
// PES filter and reads of the DVR device. Every libdvbv5 call of the bridge
// is in this file.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

// dvb-dev.h declares its functions without C linkage for C++.
extern "C" {
#include <libdvbv5/dvb-dev.h>
}
#include <libdvbv5/dvb-fe.h>
#include <libdvbv5/dvb-v5-std.h>

#include "dvbbridge/dvb_adapters.h"

namespace {

// libdvbv5's messages go to stderr after our name; its debug chatter does not.
// A satellite tune without an LNB object makes it complain that it needs one
// and then pass the frequency on unchanged, which is what the bridge wants:
// the box protocol hands it the intermediate frequency the program chose.
void LogFromLibrary(int level, const char* format, ...) {
  if (level > LOG_WARNING) return;
  if (std::strcmp(format, "Need a LNBf to work") == 0) return;
  std::fputs("vantrel-dvbbridge: libdvbv5: ", stderr);
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(stderr, format, arguments);
  va_end(arguments);
  size_t length = std::strlen(format);
  if (length == 0 || format[length - 1] != '\n') std::fputc('\n', stderr);
}

DeliverySystem FromKernel(uint32_t system) {
  switch (system) {
    case SYS_DVBS: return DeliverySystem::DVBS;
    case SYS_DVBS2: return DeliverySystem::DVBS2;
    case SYS_DVBC_ANNEX_A: return DeliverySystem::DVBC_ANNEX_A;
    case SYS_DVBC_ANNEX_B: return DeliverySystem::DVBC_ANNEX_B;
    case SYS_DVBT: return DeliverySystem::DVBT;
    case SYS_DVBT2: return DeliverySystem::DVBT2;
    case SYS_ATSC: return DeliverySystem::ATSC;
    default: return DeliverySystem::Other;
  }
}

fe_delivery_system_t ToKernel(DeliverySystem system) {
  switch (system) {
    case DeliverySystem::DVBS: return SYS_DVBS;
    case DeliverySystem::DVBS2: return SYS_DVBS2;
    case DeliverySystem::DVBC_ANNEX_A: return SYS_DVBC_ANNEX_A;
    case DeliverySystem::DVBC_ANNEX_B: return SYS_DVBC_ANNEX_B;
    case DeliverySystem::DVBT: return SYS_DVBT;
    case DeliverySystem::DVBT2: return SYS_DVBT2;
    case DeliverySystem::ATSC: return SYS_ATSC;
    case DeliverySystem::Other: break;
  }
  return SYS_UNDEFINED;
}

uint32_t ToKernel(Modulation modulation) {
  switch (modulation) {
    case Modulation::Auto: return QAM_AUTO;
    case Modulation::QPSK: return QPSK;
    case Modulation::QAM_16: return QAM_16;
    case Modulation::QAM_32: return QAM_32;
    case Modulation::QAM_64: return QAM_64;
    case Modulation::QAM_128: return QAM_128;
    case Modulation::QAM_256: return QAM_256;
    case Modulation::VSB_8: return VSB_8;
  }
  return QAM_AUTO;
}

void ReadStat(dvb_v5_fe_parms* parms, unsigned command, StatScale* scale, int64_t* value) {
  *scale = StatScale::None;
  dtv_stats* stats = dvb_fe_retrieve_stats_layer(parms, command, 0);
  if (!stats) return;
  if (stats->scale == FE_SCALE_DECIBEL) {
    *scale = StatScale::Decibel;
    *value = stats->svalue;
  } else if (stats->scale == FE_SCALE_RELATIVE) {
    *scale = StatScale::Relative;
    *value = static_cast<int64_t>(stats->uvalue);
  }
}

// Adapter and device number from a sysname such as "dvb0.frontend1".
bool ParseSysname(const char* sysname, const char* kind, unsigned* adapter, unsigned* number) {
  char pattern[48];
  std::snprintf(pattern, sizeof pattern, "dvb%%u.%s%%u", kind);
  return std::sscanf(sysname, pattern, adapter, number) == 2;
}

struct DeviceList {
  dvb_device* dvb = nullptr;
  DeviceList() {
    dvb = dvb_dev_alloc();
    if (!dvb) return;
    dvb_dev_set_log(dvb, 0, LogFromLibrary);
    if (dvb_dev_find(dvb, nullptr, nullptr) != 0) {
      dvb_dev_free(dvb);
      dvb = nullptr;
    }
  }
  ~DeviceList() {
    if (dvb) dvb_dev_free(dvb);
  }
  DeviceList(const DeviceList&) = delete;
  DeviceList& operator=(const DeviceList&) = delete;
};

class LibDvbDevice : public DvbDevice {
public:
  LibDvbDevice(std::unique_ptr<DeviceList> list, dvb_open_descriptor* frontend, std::string frontendPath,
               std::string demuxName, std::string dvrName, DvbFrontendInfo info)
      : list_(std::move(list)), frontend_(frontend), frontendPath_(std::move(frontendPath)),
        demuxName_(std::move(demuxName)), dvrName_(std::move(dvrName)), info_(std::move(info)) {}
  ~LibDvbDevice() override {
    StopStream();
    dvb_dev_close(frontend_);  // also switches a satellite LNB's supply off
  }

  const DvbFrontendInfo& Info() const override { return info_; }

  bool Tune(const DvbTuning& tuning) override {
    dvb_v5_fe_parms* parms = list_->dvb->fe_parms;
    if (dvb_set_sys(parms, ToKernel(tuning.system)) != 0) return Failed("delivery system");
    dvb_fe_store_parm(parms, DTV_FREQUENCY, tuning.frequency);
    if (tuning.symbolRate) dvb_fe_store_parm(parms, DTV_SYMBOL_RATE, tuning.symbolRate);
    if (tuning.bandwidthHz) dvb_fe_store_parm(parms, DTV_BANDWIDTH_HZ, tuning.bandwidthHz);
    if (tuning.setModulation) dvb_fe_store_parm(parms, DTV_MODULATION, ToKernel(tuning.modulation));
    dvb_fe_store_parm(parms, DTV_INVERSION,
                      tuning.inversion == Inversion::On    ? INVERSION_ON
                      : tuning.inversion == Inversion::Off ? INVERSION_OFF
                                                           : INVERSION_AUTO);
    if (dvb_fe_set_parms(parms) != 0) return Failed("tune");
    return true;
  }

  bool ReadStatistics(DvbStatistics* statistics) override {
    dvb_v5_fe_parms* parms = list_->dvb->fe_parms;
    if (dvb_fe_get_stats(parms) != 0) return Failed("statistics");
    uint32_t status = 0;
    dvb_fe_retrieve_stats(parms, DTV_STATUS, &status);
    statistics->locked = (status & FE_HAS_LOCK) != 0;
    ReadStat(parms, DTV_STAT_SIGNAL_STRENGTH, &statistics->strengthScale, &statistics->strength);
    ReadStat(parms, DTV_STAT_CNR, &statistics->cnrScale, &statistics->cnr);
    return true;
  }

  bool SetVoltage(Voltage voltage) override {
    return dvb_fe_sec_voltage(list_->dvb->fe_parms, voltage != Voltage::Off, voltage == Voltage::V18) == 0 ||
           Failed("LNB voltage");
  }
  bool SetTone(bool on) override {
    return dvb_fe_sec_tone(list_->dvb->fe_parms, on ? SEC_TONE_ON : SEC_TONE_OFF) == 0 || Failed("22 kHz tone");
  }
  bool SendBurst(bool dataBurst) override {
    return dvb_fe_diseqc_burst(list_->dvb->fe_parms, dataBurst ? 1 : 0) == 0 || Failed("tone burst");
  }
  bool SendDiseqc(const std::vector<uint8_t>& message) override {
    return dvb_fe_diseqc_cmd(list_->dvb->fe_parms, static_cast<unsigned>(message.size()), message.data()) == 0 ||
           Failed("DiSEqC message");
  }

  bool StartStream(uint16_t pid, size_t bufferBytes) override {
    StopStream();
    demux_ = dvb_dev_open(list_->dvb, demuxName_.c_str(), O_RDWR);
    dvr_ = demux_ ? dvb_dev_open(list_->dvb, dvrName_.c_str(), O_RDONLY | O_NONBLOCK) : nullptr;
    if (!demux_ || !dvr_) {
      StopStream();
      return Failed("open the demux and DVR devices");
    }
    // Failing to grow the buffer is not fatal: the driver's default may do.
    dvb_dev_set_bufsize(dvr_, static_cast<int>(bufferBytes));
    if (dvb_dev_dmx_set_pesfilter(demux_, pid, DMX_PES_OTHER, DMX_OUT_TS_TAP, 0) != 0) {
      StopStream();
      return Failed("PES filter");
    }
    return true;
  }

  void StopStream() override {
    if (demux_) dvb_dev_close(demux_);  // stops the filter
    if (dvr_) dvb_dev_close(dvr_);
    demux_ = dvr_ = nullptr;
  }

  ReadResult ReadStream(uint8_t* buffer, size_t size, int timeoutMs) override {
    dvb_open_descriptor* dvr = dvr_;
    if (!dvr) return {ReadOutcome::Timeout};
    pollfd fd{dvb_dev_get_fd(dvr), POLLIN, 0};
    int ready = poll(&fd, 1, timeoutMs);
    if (ready == 0 || (ready < 0 && errno == EINTR)) return {ReadOutcome::Timeout};
    ssize_t got = dvb_dev_read(dvr, buffer, size);
    if (got > 0) return {ReadOutcome::Data, static_cast<size_t>(got)};
    if (got == -EOVERFLOW) return {ReadOutcome::Overflow};
    if (got == -EAGAIN || got == -EINTR) return {ReadOutcome::Timeout};
    vanished_ = true;
    return {ReadOutcome::Gone};
  }

  bool Vanished() const override { return vanished_; }

private:
  // A failed call: the adapter has gone when its frontend node has.
  bool Failed(const char* what) {
    struct stat info;
    if (stat(frontendPath_.c_str(), &info) != 0) vanished_ = true;
    std::fprintf(stderr, "vantrel-dvbbridge: %s failed%s\n", what, vanished_ ? ": the adapter has gone" : "");
    return false;
  }

  std::unique_ptr<DeviceList> list_;
  dvb_open_descriptor* frontend_;
  const std::string frontendPath_, demuxName_, dvrName_;
  const DvbFrontendInfo info_;
  // Opened and closed by the server thread while no reader runs (the box
  // starts its reader after StartStream and joins it before StopStream).
  dvb_open_descriptor* demux_ = nullptr;
  dvb_open_descriptor* dvr_ = nullptr;
  std::atomic<bool> vanished_{false};
};

DvbFrontendInfo InfoOf(unsigned adapter, unsigned frontend, const dvb_v5_fe_parms* parms) {
  DvbFrontendInfo info;
  info.adapter = adapter;
  info.frontend = frontend;
  info.name = parms->info.name;
  info.symbolRateMax = parms->info.symbol_rate_max;
  for (int i = 0; i < parms->num_systems; ++i) info.systems.push_back(FromKernel(parms->systems[i]));
  return info;
}

}  // namespace

std::vector<DvbFrontendInfo> ListDvbFrontends(std::string* error) {
  std::vector<DvbFrontendInfo> found;
  DeviceList list;
  if (!list.dvb) {
    *error = "cannot list the DVB devices";
    return found;
  }
  for (int i = 0; i < list.dvb->num_devices; ++i) {
    const dvb_dev_list& device = list.dvb->devices[i];
    unsigned adapter = 0, number = 0;
    if (device.dvb_type != DVB_DEVICE_FRONTEND ||
        !ParseSysname(device.sysname, "frontend", &adapter, &number)) {
      continue;
    }
    dvb_open_descriptor* open = dvb_dev_open(list.dvb, device.sysname, O_RDONLY);
    if (!open) continue;
    found.push_back(InfoOf(adapter, number, list.dvb->fe_parms));
    dvb_dev_close(open);
  }
  std::sort(found.begin(), found.end(), [](const DvbFrontendInfo& a, const DvbFrontendInfo& b) {
    return a.adapter != b.adapter ? a.adapter < b.adapter : a.frontend < b.frontend;
  });
  return found;
}

std::unique_ptr<DvbDevice> OpenDvbFrontend(unsigned adapter, unsigned frontend, std::string* error) {
  auto list = std::make_unique<DeviceList>();
  if (!list->dvb) {
    *error = "cannot list the DVB devices";
    return nullptr;
  }
  auto seek = [&](dvb_dev_type type) { return dvb_dev_seek_by_adapter(list->dvb, adapter, frontend, type); };
  dvb_dev_list* frontendDevice = seek(DVB_DEVICE_FRONTEND);
  // The demux and DVR of a frontend share its number; adapters with one demux use number 0.
  dvb_dev_list* demux = seek(DVB_DEVICE_DEMUX);
  if (!demux) demux = dvb_dev_seek_by_adapter(list->dvb, adapter, 0, DVB_DEVICE_DEMUX);
  dvb_dev_list* dvr = seek(DVB_DEVICE_DVR);
  if (!dvr) dvr = dvb_dev_seek_by_adapter(list->dvb, adapter, 0, DVB_DEVICE_DVR);
  char name[64];
  std::snprintf(name, sizeof name, "%s/adapter%u/frontend%u", kDvbDeviceRoot, adapter, frontend);
  if (!frontendDevice || !demux || !dvr) {
    *error = std::string("no DVB frontend ") + name + (frontendDevice ? " with a demux and DVR device" : "");
    return nullptr;
  }
  std::string frontendPath = frontendDevice->path, demuxName = demux->sysname, dvrName = dvr->sysname;
  dvb_open_descriptor* open = dvb_dev_open(list->dvb, frontendDevice->sysname, O_RDWR);
  if (!open) {
    *error = std::string("cannot open ") + frontendPath + ": " + std::strerror(errno) +
             (errno == EACCES ? " (is this user in the video group?)" : "");
    return nullptr;
  }
  DvbFrontendInfo info = InfoOf(adapter, frontend, list->dvb->fe_parms);
  return std::make_unique<LibDvbDevice>(std::move(list), open, std::move(frontendPath), std::move(demuxName),
                                        std::move(dvrName), std::move(info));
}
