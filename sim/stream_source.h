// The bytes a simulated box plays into its ring, in a loop.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A stream file is read whole into memory; larger ones are refused.
constexpr size_t kMaxStreamFileBytes = 512u * 1024 * 1024;

// Reads the file; false with *error when it cannot be read, is empty or is
// larger than kMaxStreamFileBytes.
bool LoadStreamFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error);

// A small valid transport stream for boxes given no file: PAT (program 1 on
// PMT PID 0x0100), PMT (one MPEG-2 video stream on PID 0x0101, also the PCR
// PID) and video packets whose payload counts up; 1,600 packets whose
// continuity counters run on seamlessly when the stream loops.
std::vector<uint8_t> GenerateDefaultStream();

// Replaces every byte 0x47 by 0xB8 so that no sync byte can be found.
void RemoveSyncBytes(std::vector<uint8_t>* bytes);
