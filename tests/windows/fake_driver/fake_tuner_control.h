/* What the fake tuner driver and the tests that drive it agree on: the
 * kinds of box it plays, its control device and the control requests that
 * script it. Plain C: the driver includes it too. */
#ifndef VANTREL_FAKE_TUNER_CONTROL_H
#define VANTREL_FAKE_TUNER_CONTROL_H

#include <stdint.h>

/* The boxes' kinds, as bits of a kind mask. */
enum FakeTunerKind {
  kFakeKindT = 0,         /* fixed path \\.\QVUSB-T-000 */
  kFakeKindS = 1,         /* fixed path \\.\QVUSB-S-000 */
  kFakeKindA = 2,         /* interface class A */
  kFakeKindBus = 3,       /* interface class B (bus enumerator) */
  kFakeKindBusStream = 4, /* interface class BS (bus stream) */
  kFakeKindCount = 5
};
#define FAKE_KIND_BIT(kind) (1u << (kind))
#define FAKE_ALL_KINDS 0x1Fu

/* Hardware ids of the three root-enumerated devices the interfaces live on. */
#define FAKE_HWID_A L"VantrelFakeTuner\\A"
#define FAKE_HWID_BUS L"VantrelFakeTuner\\Bus"
#define FAKE_HWID_BUS_STREAM L"VantrelFakeTuner\\BusStream"

#define FAKE_SERVICE_NAME L"VantrelFakeTuner"
#define FAKE_CONTROL_PATH "\\\\.\\VantrelFakeTunerControl"
/* The stream ring: a named section the driver creates and writes, which the
 * test maps into its own address space (a driver under wine cannot map its
 * pages into a client). */
#define FAKE_RING_SECTION_USER "Global\\VantrelFakeTunerRing"
#define FAKE_RING_BYTES 0x2FD000u

/* Control requests (device type 0x8A00, buffered). */
#define FAKE_CTL(function) ((0x8A00u << 16) | ((function) << 2))
#define FAKE_CTL_RESET FAKE_CTL(0x900)     /* no input: normal behaviour, plugged, log and replies cleared */
#define FAKE_CTL_BEHAVE FAKE_CTL(0x901)    /* FakeBehaviour */
#define FAKE_CTL_SET_REPLY FAKE_CTL(0x902) /* FakeReply */
#define FAKE_CTL_TAKE_LOG FAKE_CTL(0x903)  /* out: FakeLog; the log is emptied */
#define FAKE_CTL_UNPLUG FAKE_CTL(0x904)    /* FakeUnplug */
#define FAKE_CTL_PLUG FAKE_CTL(0x905)      /* uint32_t kind mask */
#define FAKE_CTL_RING FAKE_CTL(0x906)      /* FakeRing */
#define FAKE_CTL_FEED FAKE_CTL(0x907)      /* uint32_t packet count; out: uint32_t write offset */
#define FAKE_CTL_HELD FAKE_CTL(0x908)      /* out: uint32_t count of requests held now */

/* How the next requests on the kinds of kindMask are answered. */
enum FakeMode {
  kFakeNormal = 0, /* at once, with the reply of its code */
  kFakeHold = 1,   /* pending until cancelled, unplugged or the handle closes */
  kFakeLate = 2,   /* the normal answer, delayMs later */
  kFakeShort = 3,  /* the reply, but only `returned` bytes of it */
  kFakeFail = 4    /* completed with `status` */
};

typedef struct FakeBehaviour {
  uint32_t kindMask;
  uint32_t mode;
  uint32_t delayMs;
  int32_t status;
  uint32_t returned;
  uint32_t count; /* requests it applies to; then back to normal. 0: until reset */
} FakeBehaviour;

#define FAKE_MAX_REPLY 512
typedef struct FakeReply {
  uint32_t code;
  uint32_t size;
  uint8_t bytes[FAKE_MAX_REPLY];
} FakeReply;

typedef struct FakeUnplug {
  uint32_t kindMask;
  int32_t status; /* what requests on the open handles fail with */
} FakeUnplug;

typedef struct FakeRing {
  uint32_t token; /* the stream-address reply: the ring's address in the test */
  uint32_t ringBytes;
} FakeRing;

/* One request as the driver received it. */
#define FAKE_MAX_LOGGED_INPUT 512
typedef struct FakeLogEntry {
  uint32_t kind;
  uint32_t code;
  uint32_t inSize;
  uint32_t outSize;
  uint8_t in[FAKE_MAX_LOGGED_INPUT];
} FakeLogEntry;

#define FAKE_LOG_CAPACITY 32
typedef struct FakeLog {
  uint32_t count;
  uint32_t dropped; /* requests that did not fit */
  FakeLogEntry entries[FAKE_LOG_CAPACITY];
} FakeLog;

#endif
