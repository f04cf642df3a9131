// The bytes a box without a real tuner plays into its ring, in a loop.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A stream file is read whole into memory; larger ones are refused.
constexpr size_t kMaxStreamFileBytes = 512u * 1024 * 1024;

// Reads the file; false with *error when it cannot be read, is a folder, is
// empty or is larger than kMaxStreamFileBytes.
bool LoadStreamFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error);

// A small valid transport stream for boxes given no file: PAT (program 1 on
// PMT PID 0x0100), PMT (one MPEG-2 video stream on PID 0x0101, also the PCR
// PID) and video packets whose payload counts up; 1,600 packets whose
// continuity counters run on seamlessly when the stream loops.
std::vector<uint8_t> GenerateDefaultStream();

// The packet length of the stream: 188, 192, 204 or 208 when the first
// sync byte has four more at that spacing (188 first); 0 when none fits.
int DetectStreamPacketSize(const std::vector<uint8_t>& bytes);

// Replaces every byte 0x47 by 0xB8 so that no sync byte can be found.
void RemoveSyncBytes(std::vector<uint8_t>* bytes);

// The stream's rate in bits per second from its PCRs: the bytes between the
// first and the last PCR of the PID that carries the most PCRs, over the time
// between them (wraps of the 33-bit base allowed). 0 when the stream has fewer
// than two PCRs on one PID or they do not advance; only 188-byte packets
// aligned at the first sync byte are looked at.
uint64_t EstimatePcrBitrate(const std::vector<uint8_t>& bytes);
