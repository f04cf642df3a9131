#include "dvbbridge/dvb_device.h"

#include <cstdio>

#include "boxserver/journal.h"

const char* DeliverySystemName(DeliverySystem system) {
  switch (system) {
    case DeliverySystem::DVBS: return "DVBS";
    case DeliverySystem::DVBS2: return "DVBS2";
    case DeliverySystem::DVBC_ANNEX_A: return "DVBC_ANNEX_A";
    case DeliverySystem::DVBC_ANNEX_B: return "DVBC_ANNEX_B";
    case DeliverySystem::DVBT: return "DVBT";
    case DeliverySystem::DVBT2: return "DVBT2";
    case DeliverySystem::ATSC: return "ATSC";
    case DeliverySystem::Other: break;
  }
  return "OTHER";
}

const char* ModulationName(Modulation modulation) {
  switch (modulation) {
    case Modulation::Auto: return "AUTO";
    case Modulation::QPSK: return "QPSK";
    case Modulation::QAM_16: return "QAM_16";
    case Modulation::QAM_32: return "QAM_32";
    case Modulation::QAM_64: return "QAM_64";
    case Modulation::QAM_128: return "QAM_128";
    case Modulation::QAM_256: return "QAM_256";
    case Modulation::VSB_8: return "VSB_8";
  }
  return "AUTO";
}

bool IsSatelliteSystem(DeliverySystem system) {
  return system == DeliverySystem::DVBS || system == DeliverySystem::DVBS2;
}

std::string DescribeTune(const DvbTuning& tuning) {
  std::string line = std::string("TUNE delsys=") + DeliverySystemName(tuning.system) +
                     " freq=" + std::to_string(tuning.frequency);
  if (tuning.symbolRate) line += " sr=" + std::to_string(tuning.symbolRate);
  if (tuning.bandwidthHz) line += " bandwidth=" + std::to_string(tuning.bandwidthHz);
  if (tuning.setModulation) line += std::string(" modulation=") + ModulationName(tuning.modulation);
  line += std::string(" inversion=") +
          (tuning.inversion == Inversion::On ? "ON" : tuning.inversion == Inversion::Off ? "OFF" : "AUTO");
  return line + "\n";
}

std::string DescribeVoltage(Voltage voltage) {
  return std::string("SET_VOLTAGE ") +
         (voltage == Voltage::V13 ? "13" : voltage == Voltage::V18 ? "18" : "OFF") + "\n";
}

std::string DescribeTone(bool on) { return std::string("SET_TONE ") + (on ? "ON" : "OFF") + "\n"; }

std::string DescribeBurst(bool dataBurst) { return std::string("BURST ") + (dataBurst ? "B" : "A") + "\n"; }

std::string DescribeDiseqc(const std::vector<uint8_t>& message) {
  std::string line = "DISEQC";
  for (uint8_t byte : message) {
    char hex[4];
    std::snprintf(hex, sizeof hex, " %02X", byte);
    line += hex;
  }
  return line + "\n";
}

std::string DescribeStartStream(uint16_t pid, size_t bufferBytes) {
  char text[64];
  std::snprintf(text, sizeof text, "START_STREAM pid=0x%04X buffer=%zu\n", pid, bufferBytes);
  return text;
}

std::string DescribeStopStream() { return "STOP_STREAM\n"; }

bool JournalingDvbDevice::Tune(const DvbTuning& tuning) {
  AppendJournalLine(journalFd_, DescribeTune(tuning));
  return inner_->Tune(tuning);
}

bool JournalingDvbDevice::SetVoltage(Voltage voltage) {
  AppendJournalLine(journalFd_, DescribeVoltage(voltage));
  return inner_->SetVoltage(voltage);
}

bool JournalingDvbDevice::SetTone(bool on) {
  AppendJournalLine(journalFd_, DescribeTone(on));
  return inner_->SetTone(on);
}

bool JournalingDvbDevice::SendBurst(bool dataBurst) {
  AppendJournalLine(journalFd_, DescribeBurst(dataBurst));
  return inner_->SendBurst(dataBurst);
}

bool JournalingDvbDevice::SendDiseqc(const std::vector<uint8_t>& message) {
  AppendJournalLine(journalFd_, DescribeDiseqc(message));
  return inner_->SendDiseqc(message);
}

bool JournalingDvbDevice::StartStream(uint16_t pid, size_t bufferBytes) {
  AppendJournalLine(journalFd_, DescribeStartStream(pid, bufferBytes));
  return inner_->StartStream(pid, bufferBytes);
}

void JournalingDvbDevice::StopStream() {
  AppendJournalLine(journalFd_, DescribeStopStream());
  inner_->StopStream();
}
