// The mirror: a thread of the bus that keeps its children equal to the
// interfaces the driver service lists. It subscribes to the service's device
// notifications first and lists the present interfaces second, so that no
// change falls between the two; then every arrival adds a child and every
// removal takes one away. When the service or the relay goes away all
// children go too (no device can be reached), and the mirror tries again
// every half second until the bus stops.
#include "Kernel.h"
#include "ServiceLink.h"

namespace testbus {

namespace {

constexpr uint32_t kRetryMs = 500;
constexpr uint32_t kArrival = 0x8000;
constexpr uint32_t kRemoveComplete = 0x8004;

void OnNotification(void*, uint32_t event, const char* path, uint32_t length) {
  if (event == kArrival)
    AddChild(path, length);
  else if (event == kRemoveComplete)
    RemoveChild(path, length);
}

void OnListed(void*, const char* path, uint32_t length) { MarkChildSeen(path, length); }

// Follows the service over one link until it breaks or the bus stops.
void Follow(ServiceLink& link) {
  // The protocol carries a GUID in the system's memory layout.
  static_assert(sizeof(GUID) == 16, "GUID layout");
  uint8_t interfaceClass[16];
  RtlCopyMemory(interfaceClass, &kInterfaceClass, sizeof interfaceClass);
  uint32_t error = link.Subscribe(interfaceClass, &OnNotification, nullptr);
  if (error == 0) {
    MarkChildrenUnseen();
    error = link.List(interfaceClass, &OnListed, nullptr);
    if (error == 0) RemoveUnseenChildren();
  }
  while (error == 0) error = link.WaitNotification();
  DbgPrint("vlmutestbus: mirror lost the service (%u)\n", error);
}

void MirrorMain(void* context) {
  Bus& bus = *static_cast<Bus*>(context);
  LARGE_INTEGER retry;
  retry.QuadPart = -10000LL * kRetryMs;
  for (;;) {
    ServiceLink* link = nullptr;
    if (ServiceLink::Connect("vlmutestbus mirror", link) == 0) {
      bool stopping = false;
      {
        Guard guard(TheDriver().lock);
        stopping = bus.stopping;
        if (!stopping) bus.mirrorLink = link;
      }
      if (!stopping) Follow(*link);
      {
        Guard guard(TheDriver().lock);
        bus.mirrorLink = nullptr;
      }
      ServiceLink::Destroy(link);
      RemoveAllChildren();
    }
    if (KeWaitForSingleObject(&bus.stopMirror, Executive, KernelMode, FALSE, &retry) == STATUS_SUCCESS) return;
  }
}

}  // namespace

NTSTATUS StartMirror(Bus& bus) {
  if (bus.mirrorThread != nullptr) return STATUS_SUCCESS;
  return StartThread(&MirrorMain, &bus, &bus.mirrorThread);
}

void StopMirror(Bus& bus) {
  {
    Guard guard(TheDriver().lock);
    bus.stopping = true;
    if (bus.mirrorLink != nullptr) bus.mirrorLink->Abort();
  }
  KeSetEvent(&bus.stopMirror, IO_NO_INCREMENT, FALSE);
  JoinThread(bus.mirrorThread, 10000);
}

}  // namespace testbus
