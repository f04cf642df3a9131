/* A kernel driver that plays the tuner boxes' drivers for the Win32 device
 * layer's tests, run by wine's winedevice.exe. It offers the two fixed
 * device paths and the three device-interface classes of the boxes, checks
 * each request's code and buffer sizes against the request set of the kind
 * it was sent to, records every request, and answers as a control device
 * tells it: at once, late, short, failed, held until cancelled, or as an
 * unplugged box. */
#include <ntddk.h>

#include "fake_tuner_control.h"

#ifndef STATUS_DEVICE_DOES_NOT_EXIST
#define STATUS_DEVICE_DOES_NOT_EXIST ((NTSTATUS)0xC00000C0L)
#endif

static const GUID kClassA = {0xFCB41FCF, 0xAB28, 0x4E01, {0xAB, 0x0E, 0xE7, 0xFA, 0x22, 0xB7, 0x53, 0xC0}};
static const GUID kClassBus = {0x7377DB61, 0xE3CD, 0x11D2, {0x8A, 0x3F, 0x00, 0x00, 0xF8, 0x78, 0x44, 0x22}};
static const GUID kClassBusStream = {0xE18D1721, 0x70B5, 0x4DE7, {0x83, 0xB3, 0x35, 0x43, 0x6E, 0x39, 0x54, 0xED}};

/* The request sets: which codes each kind takes, with which sizes. */
typedef struct RequestShape {
  uint32_t code;
  uint32_t inSize;
  uint32_t outSize;
} RequestShape;

static const RequestShape kShapesT[] = {
    {0x222328, 9, 0}, {0x222334, 0, 4}, {0x222338, 0, 0}, {0x22233C, 0, 4}, {0x22234C, 9, 3}, {0, 0, 0}};
static const RequestShape kShapesA[] = {{0x222328, 9, 0}, {0x222334, 0, 4},  {0x222338, 0, 0}, {0x22233C, 0, 4},
                                        {0x222344, 18, 0}, {0x222358, 1, 0}, {0, 0, 0}};
static const RequestShape kShapesS[] = {{0x222320, 9, 10}, {0x222328, 9, 10}, {0x222334, 0, 4},
                                        {0x222338, 0, 0},  {0x22233C, 0, 4},  {0x222344, 18, 0},
                                        {0x22234C, 9, 3},  {0x222358, 0, 0},  {0x222374, 0, 10},
                                        {0, 0, 0}};
static const RequestShape kShapesBus[] = {
    {0xAABB2880, 9, 9},   {0xAABB2880, 9, 0}, {0xAABB2900, 9, 9},   {0xAABB2900, 9, 332}, {0xAABB2980, 0, 0},
    {0xAABB2980, 9, 0},   {0xAABB2A00, 9, 9}, {0xAABB2A00, 9, 332}, {0xAABB2A04, 256, 0}, {0xAABB2A08, 0, 256},
    {0xDDFF2C40, 0, 0},   {0, 0, 0}};
static const RequestShape kShapesBusStream[] = {{0xDDFF2C00, 0, 4}, {0xDDFF2C80, 0, 4}, {0, 0, 0}};
static const RequestShape* const kShapes[kFakeKindCount] = {kShapesT, kShapesS, kShapesA, kShapesBus,
                                                            kShapesBusStream};

#define KIND_CONTROL 100
#define REPLY_SLOTS 24

typedef struct DeviceExtension {
  uint32_t kind;
  DEVICE_OBJECT* lower; /* PnP devices: the device below */
  DEVICE_OBJECT* pdo;
  UNICODE_STRING interfaceLink;
  BOOLEAN interfaceRegistered;
  BOOLEAN interfaceEnabled;
} DeviceExtension;

/* A request the driver owes an answer: held (remaining < 0) or late. */
typedef struct Owed {
  LIST_ENTRY link;
  IRP* irp;
  FILE_OBJECT* file;
  uint32_t kind;
  LONG remainingMs;
  ULONG_PTR information;
} Owed;

static struct {
  KSPIN_LOCK lock;
  LIST_ENTRY owed;
  FakeBehaviour behaviour;
  uint32_t behaviourLeft;
  FakeReply replies[REPLY_SLOTS];
  uint32_t replyCount;
  FakeLog log;
  uint32_t unplugged;
  NTSTATUS unplugStatus;
  HANDLE ringSection;
  uint8_t* ringView;
  uint32_t ringToken;
  uint32_t ringBytes;
  uint32_t writeOffset;
  uint32_t packetNumber;
  HANDLE worker;
  volatile LONG stopping;
  DEVICE_OBJECT* fixed[2]; /* T and S */
  DEVICE_OBJECT* control;
} g;

static const WCHAR* const kFixedDevice[2] = {L"\\Device\\VantrelFakeQvusbT", L"\\Device\\VantrelFakeQvusbS"};
static const WCHAR* const kFixedLink[2] = {L"\\DosDevices\\QVUSB-T-000", L"\\DosDevices\\QVUSB-S-000"};

static void CopyBytes(void* to, const void* from, size_t size) {
  uint8_t* t = (uint8_t*)to;
  const uint8_t* f = (const uint8_t*)from;
  while (size--) *t++ = *f++;
}

static void ZeroBytes(void* to, size_t size) {
  uint8_t* t = (uint8_t*)to;
  while (size--) *t++ = 0;
}

static NTSTATUS Complete(IRP* irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = NT_SUCCESS(status) ? information : 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

static void SetFixedLink(int which, BOOLEAN present) {
  UNICODE_STRING link, device;
  RtlInitUnicodeString(&link, kFixedLink[which]);
  RtlInitUnicodeString(&device, kFixedDevice[which]);
  if (present)
    IoCreateSymbolicLink(&link, &device);
  else
    IoDeleteSymbolicLink(&link);
}

/* ---- requests owed: held and late answers, cancelling ---- */

static void CancelOwed(DEVICE_OBJECT* device, IRP* irp) {
  KIRQL irql;
  LIST_ENTRY* entry;
  Owed* found = NULL;
  (void)device;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  KeAcquireSpinLock(&g.lock, &irql);
  for (entry = g.owed.Flink; entry != &g.owed; entry = entry->Flink) {
    Owed* owed = CONTAINING_RECORD(entry, Owed, link);
    if (owed->irp == irp) {
      RemoveEntryList(entry);
      found = owed;
      break;
    }
  }
  KeReleaseSpinLock(&g.lock, irql);
  /* Never expected: whoever took it out of the list completes it. */
  if (!found) return;
  ExFreePool(found);
  Complete(irp, STATUS_CANCELLED, 0);
}

/* Takes out of the owed list, under the lock, the entries `pick` selects
 * whose cancel routine could still be cleared; the caller completes them. */
typedef BOOLEAN (*OwedPick)(Owed* owed, ULONG_PTR argument);

static void TakeOwed(OwedPick pick, ULONG_PTR argument, LIST_ENTRY* taken) {
  KIRQL irql;
  LIST_ENTRY* entry;
  InitializeListHead(taken);
  KeAcquireSpinLock(&g.lock, &irql);
  for (entry = g.owed.Flink; entry != &g.owed;) {
    Owed* owed = CONTAINING_RECORD(entry, Owed, link);
    entry = entry->Flink;
    if (!pick(owed, argument)) continue;
    if (IoSetCancelRoutine(owed->irp, NULL) == NULL) continue; /* being cancelled */
    RemoveEntryList(&owed->link);
    InsertTailList(taken, &owed->link);
  }
  KeReleaseSpinLock(&g.lock, irql);
}

static void CompleteTaken(LIST_ENTRY* taken, BOOLEAN answer, NTSTATUS status) {
  while (!IsListEmpty(taken)) {
    Owed* owed = CONTAINING_RECORD(RemoveHeadList(taken), Owed, link);
    Complete(owed->irp, answer ? STATUS_SUCCESS : status, owed->information);
    ExFreePool(owed);
  }
}

static BOOLEAN PickDue(Owed* owed, ULONG_PTR elapsedMs) {
  if (owed->remainingMs < 0) return FALSE;
  owed->remainingMs -= (LONG)elapsedMs;
  return owed->remainingMs <= 0;
}

static BOOLEAN PickFile(Owed* owed, ULONG_PTR file) { return owed->file == (FILE_OBJECT*)file; }

static BOOLEAN PickKinds(Owed* owed, ULONG_PTR mask) { return (mask & FAKE_KIND_BIT(owed->kind)) != 0; }

static void WorkerThread(void* context) {
  LARGE_INTEGER step;
  LIST_ENTRY taken;
  (void)context;
  step.QuadPart = -5 * 10000; /* 5 ms */
  while (!g.stopping) {
    KeDelayExecutionThread(KernelMode, FALSE, &step);
    TakeOwed(PickDue, 5, &taken);
    CompleteTaken(&taken, TRUE, STATUS_SUCCESS);
  }
  PsTerminateSystemThread(STATUS_SUCCESS);
}

/* Queues the request as owed; a negative delay holds it until cancelled. */
static NTSTATUS Owe(IRP* irp, uint32_t kind, LONG delayMs, ULONG_PTR information) {
  KIRQL irql;
  Owed* owed = (Owed*)ExAllocatePool(NonPagedPool, sizeof(Owed));
  if (!owed) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  owed->irp = irp;
  owed->file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  owed->kind = kind;
  owed->remainingMs = delayMs;
  owed->information = information;
  IoMarkIrpPending(irp);
  KeAcquireSpinLock(&g.lock, &irql);
  InsertTailList(&g.owed, &owed->link);
  IoSetCancelRoutine(irp, CancelOwed);
  if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
    /* Cancelled before the routine was set: finish it here. */
    RemoveEntryList(&owed->link);
    KeReleaseSpinLock(&g.lock, irql);
    ExFreePool(owed);
    Complete(irp, STATUS_CANCELLED, 0);
    return STATUS_PENDING;
  }
  KeReleaseSpinLock(&g.lock, irql);
  return STATUS_PENDING;
}

/* ---- the boxes' requests ---- */

static const RequestShape* FindShape(uint32_t kind, uint32_t code, uint32_t inSize, uint32_t outSize,
                                     BOOLEAN* codeKnown) {
  const RequestShape* shape;
  *codeKnown = FALSE;
  for (shape = kShapes[kind]; shape->code; ++shape) {
    if (shape->code != code) continue;
    *codeKnown = TRUE;
    if (shape->inSize == inSize && shape->outSize == outSize) return shape;
  }
  return NULL;
}

static void Record(uint32_t kind, uint32_t code, const uint8_t* in, uint32_t inSize, uint32_t outSize) {
  FakeLogEntry* entry;
  if (g.log.count >= FAKE_LOG_CAPACITY) {
    ++g.log.dropped;
    return;
  }
  entry = &g.log.entries[g.log.count++];
  entry->kind = kind;
  entry->code = code;
  entry->inSize = inSize;
  entry->outSize = outSize;
  ZeroBytes(entry->in, sizeof entry->in);
  if (in) CopyBytes(entry->in, in, inSize < FAKE_MAX_LOGGED_INPUT ? inSize : FAKE_MAX_LOGGED_INPUT);
}

/* The reply bytes of a request: the stream address and position from the
 * ring, else what the test set for the code, else a pattern of the code. */
static void FillReply(uint32_t code, uint8_t* out, uint32_t outSize) {
  uint32_t i, slot;
  if ((code == 0x222334 || code == 0xDDFF2C00) && outSize == 4) {
    CopyBytes(out, &g.ringToken, 4);
    return;
  }
  if ((code == 0x22233C || code == 0xDDFF2C80) && outSize == 4) {
    CopyBytes(out, &g.writeOffset, 4);
    return;
  }
  for (slot = 0; slot < g.replyCount; ++slot) {
    if (g.replies[slot].code != code) continue;
    ZeroBytes(out, outSize);
    CopyBytes(out, g.replies[slot].bytes, g.replies[slot].size < outSize ? g.replies[slot].size : outSize);
    return;
  }
  for (i = 0; i < outSize; ++i) out[i] = (uint8_t)(code + i * 29u);
}

static NTSTATUS TunerRequest(uint32_t kind, IRP* irp, IO_STACK_LOCATION* stack) {
  const uint32_t code = stack->Parameters.DeviceIoControl.IoControlCode;
  const uint32_t inSize = stack->Parameters.DeviceIoControl.InputBufferLength;
  const uint32_t outSize = stack->Parameters.DeviceIoControl.OutputBufferLength;
  uint8_t* buffer = (uint8_t*)irp->AssociatedIrp.SystemBuffer;
  FakeBehaviour behaviour;
  BOOLEAN codeKnown;
  ULONG_PTR information;
  KIRQL irql;

  KeAcquireSpinLock(&g.lock, &irql);
  Record(kind, code, inSize ? buffer : NULL, inSize, outSize);
  if (g.unplugged & FAKE_KIND_BIT(kind)) {
    NTSTATUS status = g.unplugStatus;
    KeReleaseSpinLock(&g.lock, irql);
    return Complete(irp, status, 0);
  }
  behaviour = g.behaviour;
  if (!(behaviour.kindMask & FAKE_KIND_BIT(kind)) || behaviour.mode == kFakeNormal) {
    behaviour.mode = kFakeNormal;
  } else if (g.behaviourLeft && --g.behaviourLeft == 0) {
    g.behaviour.mode = kFakeNormal;
  }
  if (!FindShape(kind, code, inSize, outSize, &codeKnown)) {
    KeReleaseSpinLock(&g.lock, irql);
    return Complete(irp, codeKnown ? STATUS_INVALID_PARAMETER : STATUS_INVALID_DEVICE_REQUEST, 0);
  }
  if (outSize) FillReply(code, buffer, outSize);
  KeReleaseSpinLock(&g.lock, irql);

  information = outSize;
  switch (behaviour.mode) {
    case kFakeHold:
      return Owe(irp, kind, -1, information);
    case kFakeLate:
      return Owe(irp, kind, (LONG)behaviour.delayMs, information);
    case kFakeShort:
      return Complete(irp, STATUS_SUCCESS, behaviour.returned < outSize ? behaviour.returned : outSize);
    case kFakeFail:
      return Complete(irp, behaviour.status, 0);
    default:
      return Complete(irp, STATUS_SUCCESS, information);
  }
}

/* ---- the control device ---- */

static void SetInterfaces(uint32_t mask, BOOLEAN present);

static void FeedRing(uint32_t packets) {
  uint32_t p, i;
  if (!g.ringView || !g.ringBytes) return;
  for (p = 0; p < packets; ++p) {
    for (i = 0; i < 188; ++i) {
      uint8_t byte = (uint8_t)(g.packetNumber + i);
      if (i == 0) byte = 0x47;
      if (i == 1) byte = (uint8_t)((g.packetNumber >> 8) & 0x1F);
      if (i == 2) byte = (uint8_t)g.packetNumber;
      g.ringView[(g.writeOffset + i) % g.ringBytes] = byte;
    }
    g.writeOffset = (g.writeOffset + 188) % g.ringBytes;
    ++g.packetNumber;
  }
}

static NTSTATUS MakeRing(void) {
  UNICODE_STRING name;
  OBJECT_ATTRIBUTES attributes;
  LARGE_INTEGER size;
  SIZE_T viewSize = 0;
  void* view = NULL;
  NTSTATUS status;
  if (g.ringView) return STATUS_SUCCESS;
  RtlInitUnicodeString(&name, L"\\BaseNamedObjects\\VantrelFakeTunerRing");
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_OPENIF, NULL, NULL);
  size.QuadPart = FAKE_RING_BYTES;
  status = ZwCreateSection(&g.ringSection, SECTION_ALL_ACCESS, &attributes, &size, PAGE_READWRITE, SEC_COMMIT, NULL);
  if (!NT_SUCCESS(status)) return status;
  status = ZwMapViewOfSection(g.ringSection, NtCurrentProcess(), &view, 0, 0, NULL, &viewSize, ViewUnmap, 0,
                              PAGE_READWRITE);
  if (!NT_SUCCESS(status)) {
    ZwClose(g.ringSection);
    g.ringSection = NULL;
    return status;
  }
  g.ringView = (uint8_t*)view;
  return STATUS_SUCCESS;
}

static NTSTATUS ControlRequest(IRP* irp, IO_STACK_LOCATION* stack) {
  const uint32_t code = stack->Parameters.DeviceIoControl.IoControlCode;
  const uint32_t inSize = stack->Parameters.DeviceIoControl.InputBufferLength;
  const uint32_t outSize = stack->Parameters.DeviceIoControl.OutputBufferLength;
  uint8_t* buffer = (uint8_t*)irp->AssociatedIrp.SystemBuffer;
  LIST_ENTRY taken;
  KIRQL irql;
  uint32_t u32 = 0;

  if (inSize >= 4) CopyBytes(&u32, buffer, 4);
  switch (code) {
    case FAKE_CTL_RESET:
      KeAcquireSpinLock(&g.lock, &irql);
      ZeroBytes(&g.behaviour, sizeof g.behaviour);
      g.behaviourLeft = 0;
      g.replyCount = 0;
      g.log.count = g.log.dropped = 0;
      u32 = g.unplugged;
      g.unplugged = 0;
      g.writeOffset = 0;
      g.packetNumber = 0;
      KeReleaseSpinLock(&g.lock, irql);
      TakeOwed(PickKinds, FAKE_ALL_KINDS, &taken);
      CompleteTaken(&taken, FALSE, STATUS_CANCELLED);
      SetInterfaces(u32, TRUE);
      return Complete(irp, STATUS_SUCCESS, 0);
    case FAKE_CTL_BEHAVE:
      if (inSize != sizeof(FakeBehaviour)) break;
      KeAcquireSpinLock(&g.lock, &irql);
      CopyBytes(&g.behaviour, buffer, sizeof(FakeBehaviour));
      g.behaviourLeft = g.behaviour.count;
      KeReleaseSpinLock(&g.lock, irql);
      return Complete(irp, STATUS_SUCCESS, 0);
    case FAKE_CTL_SET_REPLY: {
      FakeReply reply;
      uint32_t slot;
      if (inSize != sizeof(FakeReply)) break;
      CopyBytes(&reply, buffer, sizeof reply);
      if (reply.size > FAKE_MAX_REPLY) break;
      KeAcquireSpinLock(&g.lock, &irql);
      for (slot = 0; slot < g.replyCount && g.replies[slot].code != reply.code; ++slot) {
      }
      if (slot < REPLY_SLOTS) {
        g.replies[slot] = reply;
        if (slot == g.replyCount) ++g.replyCount;
      }
      KeReleaseSpinLock(&g.lock, irql);
      return Complete(irp, slot < REPLY_SLOTS ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    case FAKE_CTL_TAKE_LOG:
      if (outSize != sizeof(FakeLog)) break;
      KeAcquireSpinLock(&g.lock, &irql);
      CopyBytes(buffer, &g.log, sizeof(FakeLog));
      g.log.count = g.log.dropped = 0;
      KeReleaseSpinLock(&g.lock, irql);
      return Complete(irp, STATUS_SUCCESS, sizeof(FakeLog));
    case FAKE_CTL_UNPLUG: {
      FakeUnplug unplug;
      if (inSize != sizeof(FakeUnplug)) break;
      CopyBytes(&unplug, buffer, sizeof unplug);
      KeAcquireSpinLock(&g.lock, &irql);
      g.unplugged |= unplug.kindMask & FAKE_ALL_KINDS;
      g.unplugStatus = unplug.status;
      KeReleaseSpinLock(&g.lock, irql);
      SetInterfaces(unplug.kindMask, FALSE);
      TakeOwed(PickKinds, unplug.kindMask, &taken);
      CompleteTaken(&taken, FALSE, unplug.status);
      return Complete(irp, STATUS_SUCCESS, 0);
    }
    case FAKE_CTL_PLUG:
      if (inSize != 4) break;
      KeAcquireSpinLock(&g.lock, &irql);
      g.unplugged &= ~u32;
      KeReleaseSpinLock(&g.lock, irql);
      SetInterfaces(u32, TRUE);
      return Complete(irp, STATUS_SUCCESS, 0);
    case FAKE_CTL_RING: {
      FakeRing ring;
      NTSTATUS status;
      if (inSize != sizeof(FakeRing) || outSize) break;
      CopyBytes(&ring, buffer, sizeof ring);
      if (ring.ringBytes == 0 || ring.ringBytes > FAKE_RING_BYTES) break;
      status = MakeRing();
      if (!NT_SUCCESS(status)) return Complete(irp, status, 0);
      KeAcquireSpinLock(&g.lock, &irql);
      g.ringToken = ring.token;
      g.ringBytes = ring.ringBytes;
      g.writeOffset = 0;
      g.packetNumber = 0;
      KeReleaseSpinLock(&g.lock, irql);
      return Complete(irp, STATUS_SUCCESS, 0);
    }
    case FAKE_CTL_FEED:
      if (inSize != 4 || outSize != 4 || u32 > 100000) break;
      KeAcquireSpinLock(&g.lock, &irql);
      FeedRing(u32);
      CopyBytes(buffer, &g.writeOffset, 4);
      KeReleaseSpinLock(&g.lock, irql);
      return Complete(irp, STATUS_SUCCESS, 4);
    case FAKE_CTL_HELD: {
      LIST_ENTRY* entry;
      uint32_t count = 0;
      if (outSize != 4) break;
      KeAcquireSpinLock(&g.lock, &irql);
      for (entry = g.owed.Flink; entry != &g.owed; entry = entry->Flink) ++count;
      KeReleaseSpinLock(&g.lock, irql);
      CopyBytes(buffer, &count, 4);
      return Complete(irp, STATUS_SUCCESS, 4);
    }
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
  return Complete(irp, STATUS_INVALID_PARAMETER, 0);
}

/* ---- dispatch ---- */

/* PnP devices of each kind, to show and hide their interfaces. */
static DEVICE_OBJECT* g_pnp[kFakeKindCount];

static void SetInterfaces(uint32_t mask, BOOLEAN present) {
  uint32_t kind;
  for (kind = 0; kind < kFakeKindCount; ++kind) {
    DeviceExtension* extension;
    if (!(mask & FAKE_KIND_BIT(kind))) continue;
    if (kind == kFakeKindT || kind == kFakeKindS) {
      SetFixedLink((int)kind, present);
      continue;
    }
    if (!g_pnp[kind]) continue;
    extension = (DeviceExtension*)g_pnp[kind]->DeviceExtension;
    if (!extension->interfaceRegistered || extension->interfaceEnabled == present) continue;
    if (NT_SUCCESS(IoSetDeviceInterfaceState(&extension->interfaceLink, present)))
      extension->interfaceEnabled = present;
  }
}

static NTSTATUS DispatchIoControl(DEVICE_OBJECT* device, IRP* irp) {
  DeviceExtension* extension = (DeviceExtension*)device->DeviceExtension;
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  if (extension->kind == KIND_CONTROL) return ControlRequest(irp, stack);
  return TunerRequest(extension->kind, irp, stack);
}

static NTSTATUS DispatchCreate(DEVICE_OBJECT* device, IRP* irp) {
  DeviceExtension* extension = (DeviceExtension*)device->DeviceExtension;
  if (extension->kind < kFakeKindCount && (g.unplugged & FAKE_KIND_BIT(extension->kind)))
    return Complete(irp, STATUS_NO_SUCH_DEVICE, 0);
  return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS DispatchClose(DEVICE_OBJECT* device, IRP* irp) {
  (void)device;
  return Complete(irp, STATUS_SUCCESS, 0);
}

/* A handle's last close: what the driver still owes on it is cancelled. */
static NTSTATUS DispatchCleanup(DEVICE_OBJECT* device, IRP* irp) {
  LIST_ENTRY taken;
  (void)device;
  TakeOwed(PickFile, (ULONG_PTR)IoGetCurrentIrpStackLocation(irp)->FileObject, &taken);
  CompleteTaken(&taken, FALSE, STATUS_CANCELLED);
  return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS DispatchPnp(DEVICE_OBJECT* device, IRP* irp) {
  DeviceExtension* extension = (DeviceExtension*)device->DeviceExtension;
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  DEVICE_OBJECT* lower = extension->lower;
  NTSTATUS status;
  if (!lower) return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      if (extension->interfaceRegistered && !extension->interfaceEnabled &&
          NT_SUCCESS(IoSetDeviceInterfaceState(&extension->interfaceLink, TRUE)))
        extension->interfaceEnabled = TRUE;
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE:
      if (extension->interfaceEnabled) IoSetDeviceInterfaceState(&extension->interfaceLink, FALSE);
      if (extension->interfaceRegistered) RtlFreeUnicodeString(&extension->interfaceLink);
      if (extension->kind < kFakeKindCount && g_pnp[extension->kind] == device) g_pnp[extension->kind] = NULL;
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(irp);
      status = IoCallDriver(lower, irp);
      IoDetachDevice(lower);
      IoDeleteDevice(device);
      return status;
    default:
      break;
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(lower, irp);
}

static NTSTATUS DispatchPower(DEVICE_OBJECT* device, IRP* irp) {
  DeviceExtension* extension = (DeviceExtension*)device->DeviceExtension;
  PoStartNextPowerIrp(irp);
  if (!extension->lower) return Complete(irp, STATUS_SUCCESS, 0);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(extension->lower, irp);
}

/* Which kind a root device plays, from its hardware id. */
static uint32_t KindOfDevice(DEVICE_OBJECT* pdo) {
  WCHAR id[128];
  ULONG needed = 0;
  const WCHAR* tail;
  ZeroBytes(id, sizeof id);
  if (!NT_SUCCESS(IoGetDeviceProperty(pdo, DevicePropertyHardwareID, sizeof id - 4, id, &needed)))
    return kFakeKindCount;
  for (tail = id; *tail && *tail != L'\\'; ++tail) {
  }
  if (!*tail) return kFakeKindCount;
  ++tail;
  if (tail[0] == L'A' && tail[1] == 0) return kFakeKindA;
  if (tail[0] == L'B' && tail[1] == L'u' && tail[2] == L's' && tail[3] == 0) return kFakeKindBus;
  if (tail[0] == L'B' && tail[1] == L'u' && tail[2] == L's' && tail[3] == L'S') return kFakeKindBusStream;
  return kFakeKindCount;
}

static NTSTATUS AddDevice(DRIVER_OBJECT* driver, DEVICE_OBJECT* pdo) {
  DEVICE_OBJECT* fdo;
  DeviceExtension* extension;
  const uint32_t kind = KindOfDevice(pdo);
  const GUID* interfaceClass;
  NTSTATUS status;
  if (kind == kFakeKindA)
    interfaceClass = &kClassA;
  else if (kind == kFakeKindBus)
    interfaceClass = &kClassBus;
  else if (kind == kFakeKindBusStream)
    interfaceClass = &kClassBusStream;
  else
    return STATUS_NOT_SUPPORTED;
  status = IoCreateDevice(driver, sizeof(DeviceExtension), NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  extension = (DeviceExtension*)fdo->DeviceExtension;
  ZeroBytes(extension, sizeof *extension);
  extension->kind = kind;
  extension->pdo = pdo;
  status = IoRegisterDeviceInterface(pdo, interfaceClass, NULL, &extension->interfaceLink);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(fdo);
    return status;
  }
  extension->interfaceRegistered = TRUE;
  extension->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  g_pnp[kind] = fdo;
  fdo->Flags |= DO_BUFFERED_IO;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

static NTSTATUS CreateNamedDevice(DRIVER_OBJECT* driver, const WCHAR* name, const WCHAR* linkName, uint32_t kind,
                                  DEVICE_OBJECT** created) {
  UNICODE_STRING deviceName, link;
  DeviceExtension* extension;
  NTSTATUS status;
  RtlInitUnicodeString(&deviceName, name);
  RtlInitUnicodeString(&link, linkName);
  status = IoCreateDevice(driver, sizeof(DeviceExtension), &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, created);
  if (!NT_SUCCESS(status)) return status;
  extension = (DeviceExtension*)(*created)->DeviceExtension;
  ZeroBytes(extension, sizeof *extension);
  extension->kind = kind;
  (*created)->Flags |= DO_BUFFERED_IO;
  (*created)->Flags &= ~DO_DEVICE_INITIALIZING;
  return IoCreateSymbolicLink(&link, &deviceName);
}

static void Unload(DRIVER_OBJECT* driver) {
  UNICODE_STRING link;
  LIST_ENTRY taken;
  int i;
  (void)driver;
  g.stopping = 1;
  if (g.worker) {
    void* thread = NULL;
    if (NT_SUCCESS(ObReferenceObjectByHandle(g.worker, SYNCHRONIZE, NULL, KernelMode, &thread, NULL))) {
      KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, NULL);
      ObDereferenceObject(thread);
    }
    ZwClose(g.worker);
  }
  TakeOwed(PickKinds, FAKE_ALL_KINDS, &taken);
  CompleteTaken(&taken, FALSE, STATUS_CANCELLED);
  for (i = 0; i < 2; ++i) {
    if (!g.fixed[i]) continue;
    SetFixedLink(i, FALSE);
    IoDeleteDevice(g.fixed[i]);
  }
  if (g.control) {
    RtlInitUnicodeString(&link, L"\\DosDevices\\VantrelFakeTunerControl");
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(g.control);
  }
  if (g.ringView) ZwUnmapViewOfSection(NtCurrentProcess(), g.ringView);
  if (g.ringSection) ZwClose(g.ringSection);
}

NTSTATUS DriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING* registry) {
  NTSTATUS status;
  int i;
  (void)registry;
  KeInitializeSpinLock(&g.lock);
  InitializeListHead(&g.owed);
  driver->DriverExtension->AddDevice = AddDevice;
  driver->DriverUnload = Unload;
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
  driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchIoControl;
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  for (i = 0; i < 2; ++i) {
    status = CreateNamedDevice(driver, kFixedDevice[i], kFixedLink[i], (uint32_t)i, &g.fixed[i]);
    if (!NT_SUCCESS(status)) return status;
  }
  status = CreateNamedDevice(driver, L"\\Device\\VantrelFakeTunerControl", L"\\DosDevices\\VantrelFakeTunerControl",
                             KIND_CONTROL, &g.control);
  if (!NT_SUCCESS(status)) return status;
  return PsCreateSystemThread(&g.worker, THREAD_ALL_ACCESS, NULL, NULL, NULL, WorkerThread, NULL);
}
