// The scan's results in the formats users already have: the DVBv5 channel
// file (libdvbv5's writer, so dvbv5-zap reads it; read back here for capture
// by service) and an M3U playlist of the services with VLC's DVB addresses.
#pragma once

#include <string>
#include <vector>

#include "capture/scan/channel_scan.h"

// One service of a channel file.
struct ChannelFileService {
  std::string name;
  int serviceId = 0;
  std::string channelNumber;  // VCHANNEL: the logical channel number, or ATSC "major.minor"
  ScanTuning tuning;
  std::vector<int> videoPids;
  std::vector<int> audioPids;
  std::vector<int> otherPids;
  int transportStreamId = 0;
  int originalNetworkId = 0;
};

// Writes every service of every transponder found. false, with the reason,
// when the file cannot be written or there is no service.
bool WriteScanChannelFile(const std::string& path, const ScanResult& result, std::string* error);

// Reads a DVBv5 channel file; services of delivery systems the family of
// defaults cannot tune are left out. false with the reason when the file
// cannot be read or holds no service for the family.
bool ReadScanChannelFile(const std::string& path, const ScanTuning& defaults, std::vector<ChannelFileService>* services,
                         std::string* error);

// The service `wanted` names: its service_id (decimal or 0x-hex) when it is
// a number, else its name (case-insensitive); nullptr when none, or when a
// name fits several (*ambiguous set).
const ChannelFileService* FindChannelFileService(const std::vector<ChannelFileService>& services,
                                                 const std::string& wanted, bool* ambiguous);

// "#EXTM3U" and one entry per service: #EXTINF with tvg-chno (the channel
// number) and the name, #EXTVLCOPT:program=SERVICE_ID, and the DVB address
// of its transponder (dvb-t://, dvb-c://, dvb-s://, atsc://).
std::string ScanM3u(const ScanResult& result);
bool WriteTextFile(const std::string& path, const std::string& text, std::string* error);
