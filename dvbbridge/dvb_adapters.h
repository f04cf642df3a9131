// The machine's DVB adapters, reached through libdvbv5.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "dvbbridge/dvb_device.h"

// Where the kernel publishes DVB adapters; named in messages.
inline constexpr const char* kDvbDeviceRoot = "/dev/dvb";

// Every frontend of every adapter, adapter by adapter; empty when there is
// none (or the device list cannot be read: then *error says why).
std::vector<DvbFrontendInfo> ListDvbFrontends(std::string* error);

// Opens a frontend with its demux and DVR device; null with *error on failure.
std::unique_ptr<DvbDevice> OpenDvbFrontend(unsigned adapter, unsigned frontend, std::string* error);
