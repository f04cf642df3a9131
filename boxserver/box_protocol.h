// The request side of one tuner box: which device interfaces it publishes,
// which requests each answers with which exact buffer sizes, the framed
// commands and tuning frames decoded and checked, the box's model code, and
// its stream ring. What a request does is left to the box's backend.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "boxserver/box_backend.h"
#include "boxserver/stream_ring.h"

// How the program reaches the box (each kind has its own request set).
enum class BoxKind { T, A, S, Bus };

// The device interfaces a box publishes; each has its own socket and journal name.
enum class BoxInterface { T, A, S, Bus, BusStream };

const char* JournalName(BoxInterface interface);
// Socket file name of an interface in the device directory.
std::string SocketName(BoxInterface interface);

struct BoxReply {
  bool answer = true;      // false: the request is never answered
  bool success = false;
  uint32_t inUseBy = 0;    // refused: the box streams for this other program (process id)
  std::vector<uint8_t> out;
  bool passRing = false;   // hand the ring's memory over with the reply
};

struct BoxIdentity {
  BoxKind kind = BoxKind::Bus;
  std::string modelCode = "KJNRG8";  // bus kind: six characters
  bool streamInterface = true;       // bus kind publishes class BS
};

class BoxProtocol {
public:
  // `backend` must outlive the protocol; `index` tells boxes of one process apart.
  BoxProtocol(const BoxIdentity& identity, BoxBackend* backend, unsigned index);
  // Stops a running stream first: nothing writes to the ring once it is gone.
  ~BoxProtocol();
  BoxProtocol(const BoxProtocol&) = delete;
  BoxProtocol& operator=(const BoxProtocol&) = delete;

  // Creates the ring's shared memory; false with *error on failure.
  bool CreateRing(std::string* error);
  StreamRing& ring() { return ring_; }

  BoxKind kind() const { return identity_.kind; }
  std::vector<BoxInterface> Interfaces() const;
  // Model number the program will see for this box.
  int ModelNumber() const;
  // "S (model 20)", "BUS model code HVL-A6 (model 6)".
  std::string Description() const;

  // Answers one request of the program with process id `clientPid`.
  // Refusals are explained on stderr after `program`. One program streams at
  // a time: while the box streams for one, the requests of any other that
  // would start, stop, filter or retune the stream are refused (inUseBy).
  BoxReply Handle(BoxInterface interface, uint32_t code, const uint8_t* in, uint32_t inSize,
                  uint32_t outSize, uint32_t clientPid = 0);
  // The process id of the program the box streams for when that is not
  // `clientPid`; 0 otherwise.
  uint32_t StreamOwnerOtherThan(uint32_t clientPid) const;
  // The program `clientPid` closed its last handle of this box: a stream it
  // left running stops, so that the box is free again.
  void ClientGone(uint32_t clientPid);

  // Name used in messages on stderr.
  static void SetProgramName(const char* name);

private:
  bool IsSatellite() const;
  bool UsesLongFrame() const;
  uint32_t TuneOutputSize() const;
  uint32_t PollInputSize() const;

  BoxReply HandleDirect(BoxInterface interface, uint32_t code, const uint8_t* in, uint32_t inSize,
                        uint32_t outSize);
  BoxReply HandleBus(uint32_t code, const uint8_t* in, uint32_t inSize, uint32_t outSize);
  BoxReply HandleBusStream(uint32_t code, uint32_t inSize, uint32_t outSize);
  BoxReply FramedCommand(const uint8_t* frame, uint32_t outSize);
  BoxReply RingAddress();
  BoxReply WritePosition();
  bool StartStream();
  void StopStream();
  bool SetPidFilter(uint16_t pid);
  bool TouchesStream(BoxInterface interface, uint32_t code, const uint8_t* in, uint32_t inSize) const;
  bool SizesAre(const char* name, uint32_t code, uint32_t inSize, uint32_t outSize,
                uint32_t wantIn, uint32_t wantOut);
  bool CheckPlainFrame(const uint8_t* frame, uint8_t lead);
  bool TuneTerrestrialFrame(const uint8_t* frame);
  bool TuneCableFrame(const uint8_t* frame);
  bool TuneSatelliteBlock(const uint8_t* block);

  const BoxIdentity identity_;
  BoxBackend* const backend_;
  const unsigned index_;
  char modelCode_[6] = {};
  StreamRing ring_;

  // Requests are handled one at a time, by the server's thread.
  bool streaming_ = false;
  uint32_t streamOwner_ = 0;   // process id of the program it streams for
  uint32_t client_ = 0;        // the program whose request is being handled
  bool positionReported_ = false;  // since the stream's start
  bool haveLongFrame_ = false;
  uint8_t longFrame_[11] = {};
};
