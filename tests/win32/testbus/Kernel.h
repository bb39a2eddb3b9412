#pragma once
// Kernel-side pieces shared by the test bus driver's files: the device
// extensions, a lock guard, pool objects and system threads. The driver has
// no C++ run-time: no exceptions, no global constructors, no operator new;
// objects live in pool memory and are built with placement new.
// wdm.h defines its own InterlockedBitTestAndSet/Reset, which collide with
// the compiler intrinsics' declarations in C++: its copies get other names.
#include <intrin.h>
#define InterlockedBitTestAndSet WdmInterlockedBitTestAndSet
#define InterlockedBitTestAndReset WdmInterlockedBitTestAndReset
#include <ddk/wdm.h>
#undef InterlockedBitTestAndSet
#undef InterlockedBitTestAndReset

#include <cstdint>
#include <new>

// Declared in ntifs.h, which does not go with wdm.h.
extern "C" NTSYSAPI NTSTATUS NTAPI ZwWaitForSingleObject(HANDLE handle, BOOLEAN alertable, PLARGE_INTEGER timeout);

namespace testbus {

class ServiceLink;

inline constexpr ULONG kPoolTag = 0x4254564C;  // "LVTB"

// Interface class of the vendor driver's device interfaces (the library's
// VLMUFWDL_INTERFACE_GUID_STR).
inline constexpr GUID kInterfaceClass = {0x49F4A1FF, 0x55DD, 0x4d45, {0x97, 0x43, 0x7B, 0x62, 0x3E, 0xFF, 0x03, 0x61}};

// Serialises everything the driver shares between its threads (Wine's
// dispatch thread, the plug-and-play calls, the mirror and the handle
// workers). Held only for short bookkeeping, never across a call out.
class Lock {
 public:
  void Init() { ExInitializeFastMutex(&mMutex); }
  void Enter() { ExAcquireFastMutex(&mMutex); }
  void Leave() { ExReleaseFastMutex(&mMutex); }

 private:
  FAST_MUTEX mMutex{};
};

class Guard {
 public:
  explicit Guard(Lock& lock) : mLock(lock) { mLock.Enter(); }
  ~Guard() { mLock.Leave(); }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;

 private:
  Lock& mLock;
};

// Pool objects: zeroed memory, constructed in place; null when the pool is
// exhausted.
template <class T>
T* PoolNew() {
  void* memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(T), kPoolTag);
  if (memory == nullptr) return nullptr;
  RtlZeroMemory(memory, sizeof(T));
  return ::new (memory) T();
}

template <class T>
void PoolDelete(T* object) {
  if (object == nullptr) return;
  object->~T();
  ExFreePoolWithTag(object, kPoolTag);
}

inline char* PoolCopy(const char* text, uint32_t length) {
  auto* copy = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, length + 1u, kPoolTag));
  if (copy == nullptr) return nullptr;
  RtlCopyMemory(copy, text, length);
  copy[length] = '\0';
  return copy;
}

inline void PoolFree(void* memory) {
  if (memory != nullptr) ExFreePoolWithTag(memory, kPoolTag);
}

// Kind of a device object, the first member of every extension.
enum class Kind : uint32_t { Bus = 1, Child = 2 };

// The path of one interface the service lists, and the plug-and-play
// identity made from it (see Children.cpp).
struct Child {
  Kind kind = Kind::Child;
  DEVICE_OBJECT* device = nullptr;  // the child's PDO
  LIST_ENTRY entry{};               // in the bus's list while reported present
  char* path = nullptr;             // the service's interface path
  uint32_t pathLength = 0;
  WCHAR deviceId[128] = {};    // "USB\VID_1234&PID_5678" (enumerator\device)
  WCHAR instanceId[128] = {};  // "SN0001"
  bool present = false;        // reported in the bus relations
  bool seen = false;           // confirmed by the service's latest list
  bool interfaceRegistered = false;
  UNICODE_STRING symbolicLink{};
  LIST_ENTRY handles{};  // open handles (Handles.cpp), under the bus lock
};

struct Bus {
  Kind kind = Kind::Bus;
  DEVICE_OBJECT* device = nullptr;    // this FDO
  DEVICE_OBJECT* physical = nullptr;  // the root-enumerated PDO below it
  DEVICE_OBJECT* lower = nullptr;     // top of the stack it attached to
  LIST_ENTRY children{};              // present children
  uint32_t removing = 0;              // children reported gone, not yet deleted
  KEVENT childDeleted{};              // a removed child was deleted
  // The mirror of the service's devices (Mirror.cpp).
  HANDLE mirrorThread = nullptr;
  KEVENT stopMirror{};
  ServiceLink* mirrorLink = nullptr;  // aborted to wake the mirror
  bool stopping = false;
};

// The driver's one bus and the lock of everything it shares.
struct Driver {
  DRIVER_OBJECT* object = nullptr;
  Bus* bus = nullptr;
  Lock lock;
  volatile LONG threads = 0;  // handle workers and the mirror still running
  KEVENT threadsEnded{};      // set when `threads` drops to 0
};
Driver& TheDriver();

// Starts a system thread; counts it in TheDriver().threads, which the thread
// gives back with ThreadEnded() as its last step. The thread's handle is
// returned when `handle` is given, else closed.
NTSTATUS StartThread(void (*routine)(void*), void* context, HANDLE* handle);
void ThreadEnded();
// Waits up to timeoutMs for a thread started with a handle, then closes it.
void JoinThread(HANDLE& handle, uint32_t timeoutMs);

// Completes an IRP with a status and a byte count.
inline NTSTATUS Complete(IRP* irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// Children.cpp: the bus's children, kept equal to the service's interfaces.
void AddChild(const char* path, uint32_t length);
void RemoveChild(const char* path, uint32_t length);
void MarkChildrenUnseen();
void MarkChildSeen(const char* path, uint32_t length);
// Children leave the relations; `announce` has the plug-and-play manager
// told (not while the bus itself is being removed).
void RemoveUnseenChildren(bool announce = true);
void RemoveAllChildren(bool announce = true);
NTSTATUS ChildPnp(Child& child, IRP* irp);
// Answers the bus relations query with the present children.
NTSTATUS ReportChildren(Bus& bus, IRP* irp);

// Handles.cpp: open handles of a child, each with its own service connection.
NTSTATUS HandleCreate(Child& child, IRP* irp);
NTSTATUS HandleCleanup(Child& child, IRP* irp);
NTSTATUS HandleClose(Child& child, IRP* irp);
NTSTATUS HandleIoControl(Child& child, IRP* irp);
// Ends every handle of a child that left the bus: requests still queued or
// in flight fail with STATUS_DEVICE_NOT_CONNECTED.
void EndHandles(Child& child);

// Mirror.cpp: the thread that follows the service's devices.
NTSTATUS StartMirror(Bus& bus);
void StopMirror(Bus& bus);

}  // namespace testbus
