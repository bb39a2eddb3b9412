// The bus's child devices: one per interface path the driver service lists.
//
// A child's plug-and-play identity is made from the service's path so that
// the interface path Windows builds from it ("\\?\" + device id + "#" +
// instance id + "#" + class) is the service's path, up to case:
// "\\?\usb#vid_1234&pid_5678#SN0001#{49f4...}" gives the device id
// "usb\vid_1234&pid_5678" and the instance id "SN0001". A path of another
// shape gets "VLMUTESTBUS\DEVICE" and an instance id hashed from the path,
// which also stays the same when the device comes back. A device that leaves
// the bus and comes back is a new child with the same identity, so the
// library sees the removal and the arrival of the same path.
#include "InterfaceRecord.h"
#include "Kernel.h"

namespace testbus {

namespace {

constexpr const char kPathPrefix[] = "\\\\?\\";
constexpr const WCHAR kFallbackDeviceId[] = L"VLMUTESTBUS\\DEVICE";

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SamePath(const Child& child, const char* path, uint32_t length) {
  if (child.pathLength != length) return false;
  for (uint32_t i = 0; i < length; ++i) {
    if (Lower(child.path[i]) != Lower(path[i])) return false;
  }
  return true;
}

// Characters a device or instance id may hold.
bool IdCharacter(char c) { return c > ' ' && c < 0x7F && c != ',' && c != '\\'; }

void Widen(WCHAR* out, const char* text, uint32_t length) {
  for (uint32_t i = 0; i < length; ++i) out[i] = static_cast<WCHAR>(text[i]);
  out[length] = 0;
}

// "\\?\A#B#C#{class}" -> device id "A\B", instance id "C".
bool IdentityFromPath(Child& child) {
  const char* p = child.path;
  uint32_t n = child.pathLength;
  const uint32_t prefix = sizeof kPathPrefix - 1;
  if (n <= prefix || RtlCompareMemory(p, kPathPrefix, prefix) != prefix) return false;
  p += prefix;
  n -= prefix;
  uint32_t marks[3];
  uint32_t count = 0;
  for (uint32_t i = 0; i < n; ++i) {
    if (p[i] == '#') {
      if (count == 3) return false;
      marks[count++] = i;
    } else if (!IdCharacter(p[i])) {
      return false;
    }
  }
  if (count != 3 || marks[0] == 0 || marks[1] == marks[0] + 1 || marks[2] == marks[1] + 1) return false;
  const uint32_t deviceLength = marks[1];
  const uint32_t instanceLength = marks[2] - marks[1] - 1;
  if (deviceLength >= ARRAYSIZE(child.deviceId) || instanceLength >= ARRAYSIZE(child.instanceId)) return false;
  Widen(child.deviceId, p, deviceLength);
  child.deviceId[marks[0]] = L'\\';
  Widen(child.instanceId, p + marks[1] + 1, instanceLength);
  return true;
}

void FallbackIdentity(Child& child) {
  uint32_t hash = 2166136261u;  // FNV-1a of the lower-case path
  for (uint32_t i = 0; i < child.pathLength; ++i)
    hash = (hash ^ static_cast<uint8_t>(Lower(child.path[i]))) * 16777619u;
  RtlCopyMemory(child.deviceId, kFallbackDeviceId, sizeof kFallbackDeviceId);
  static const char kHex[] = "0123456789ABCDEF";
  child.instanceId[0] = L'H';
  for (int i = 0; i < 8; ++i) child.instanceId[1 + i] = static_cast<WCHAR>(kHex[(hash >> (28 - 4 * i)) & 0xF]);
  child.instanceId[9] = 0;
}

// Present child with this path; null when there is none. Under the lock.
Child* FindChild(Bus& bus, const char* path, uint32_t length) {
  for (LIST_ENTRY* e = bus.children.Flink; e != &bus.children; e = e->Flink) {
    Child* child = CONTAINING_RECORD(e, Child, entry);
    if (SamePath(*child, path, length)) return child;
  }
  return nullptr;
}

void Invalidate(Bus* bus) {
  if (bus != nullptr) IoInvalidateDeviceRelations(bus->physical, BusRelations);
}

// Waits until no child reported gone is still waiting for its deletion, so
// that a device coming back does not meet its former self (same identity).
void WaitForRemovals(Bus& bus) {
  LARGE_INTEGER step;
  step.QuadPart = -10000LL * 100;
  for (int i = 0; i < 50; ++i) {  // 5 s at most
    {
      Guard guard(TheDriver().lock);
      if (bus.removing == 0) return;
    }
    KeWaitForSingleObject(&bus.childDeleted, Executive, KernelMode, FALSE, &step);
  }
}

// Reports a child gone (under the lock): it leaves the relations, and its
// deletion follows the plug-and-play removal.
void Detach(Bus& bus, Child& child) {
  RemoveEntryList(&child.entry);
  InitializeListHead(&child.entry);
  child.present = false;
  ++bus.removing;
}

NTSTATUS QueryId(Child& child, IRP* irp, BUS_QUERY_ID_TYPE type) {
  const WCHAR* id = nullptr;
  switch (type) {
    case BusQueryDeviceID:
    case BusQueryHardwareIDs:
      id = child.deviceId;
      break;
    case BusQueryInstanceID:
      id = child.instanceId;
      break;
    case BusQueryCompatibleIDs:  // Wine's plug-and-play manager needs an answer: none
      id = L"";
      break;
    default:
      return irp->IoStatus.Status;
  }
  size_t length = 0;
  while (id[length] != 0) ++length;
  // Room for a second terminator: hardware and compatible ids are lists.
  const size_t bytes = (length + 2) * sizeof(WCHAR);
  auto* answer = static_cast<WCHAR*>(ExAllocatePool(PagedPool, bytes));
  if (answer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(answer, bytes);
  RtlCopyMemory(answer, id, length * sizeof(WCHAR));
  irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(answer);
  return STATUS_SUCCESS;
}

NTSTATUS Start(Child& child) {
  if (!child.interfaceRegistered) {
    const NTSTATUS status = IoRegisterDeviceInterface(child.device, &kInterfaceClass, nullptr, &child.symbolicLink);
    if (!NT_SUCCESS(status)) return status;
    child.interfaceRegistered = true;
  }
  // Enabling the interface is what the system announces as its arrival.
  return IoSetDeviceInterfaceState(&child.symbolicLink, TRUE);
}

InterfaceLink LinkOf(const Child& child) {
  return {child.symbolicLink.Buffer, static_cast<uint32_t>(child.symbolicLink.Length / sizeof(WCHAR))};
}

// Disabling the interface is what the system announces as its removal. A
// child that has left the bus is first hidden from the enumeration, so that
// whoever enumerates on that announcement no longer counts it.
void DisableInterface(Child& child) {
  if (!child.interfaceRegistered) return;
  bool gone = false;
  {
    Guard guard(TheDriver().lock);
    gone = !child.present;
  }
  if (gone) HideInterface(LinkOf(child));
  IoSetDeviceInterfaceState(&child.symbolicLink, FALSE);
}

NTSTATUS Remove(Child& child, IRP* irp) {
  DisableInterface(child);
  EndHandles(child);
  Driver& driver = TheDriver();
  bool gone = false;
  Bus* bus = nullptr;
  {
    Guard guard(driver.lock);
    gone = !child.present;
    bus = driver.bus;
  }
  if (!gone) return Complete(irp, STATUS_SUCCESS);  // still on the bus: may be started again
  Complete(irp, STATUS_SUCCESS);
  DEVICE_OBJECT* device = child.device;
  if (child.interfaceRegistered) {
    ForgetInterface(LinkOf(child));
    RtlFreeUnicodeString(&child.symbolicLink);
  }
  PoolFree(child.path);
  child.~Child();
  IoDeleteDevice(device);
  if (bus != nullptr) {
    Guard guard(driver.lock);
    --bus->removing;
  }
  if (bus != nullptr) KeSetEvent(&bus->childDeleted, IO_NO_INCREMENT, FALSE);
  return STATUS_SUCCESS;
}

}  // namespace

void AddChild(const char* path, uint32_t length) {
  Driver& driver = TheDriver();
  Bus* bus = nullptr;
  {
    Guard guard(driver.lock);
    bus = driver.bus;
    if (bus == nullptr || FindChild(*bus, path, length) != nullptr) return;
  }
  WaitForRemovals(*bus);
  DEVICE_OBJECT* device = nullptr;
  if (!NT_SUCCESS(IoCreateDevice(driver.object, sizeof(Child), nullptr, FILE_DEVICE_UNKNOWN,
                                 FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &device))) {
    return;
  }
  Child* child = ::new (device->DeviceExtension) Child();
  child->device = device;
  InitializeListHead(&child->entry);
  InitializeListHead(&child->handles);
  child->path = PoolCopy(path, length);
  child->pathLength = length;
  if (child->path == nullptr) {
    child->~Child();
    IoDeleteDevice(device);
    return;
  }
  if (!IdentityFromPath(*child)) FallbackIdentity(*child);
  device->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
  {
    Guard guard(driver.lock);
    child->present = true;
    InsertTailList(&bus->children, &child->entry);
  }
  Invalidate(bus);
}

void RemoveChild(const char* path, uint32_t length) {
  Driver& driver = TheDriver();
  Bus* bus = nullptr;
  {
    Guard guard(driver.lock);
    bus = driver.bus;
    Child* child = bus != nullptr ? FindChild(*bus, path, length) : nullptr;
    if (child == nullptr) return;
    Detach(*bus, *child);
  }
  Invalidate(bus);
}

// A list sync marks every child unseen, marks (or adds) each listed path,
// then removes the children the list did not confirm. Notifications that
// arrive while the list is under way are applied as they come.
void MarkChildrenUnseen() {
  Driver& driver = TheDriver();
  Guard guard(driver.lock);
  if (driver.bus == nullptr) return;
  for (LIST_ENTRY* e = driver.bus->children.Flink; e != &driver.bus->children; e = e->Flink) {
    CONTAINING_RECORD(e, Child, entry)->seen = false;
  }
}

void MarkChildSeen(const char* path, uint32_t length) {
  Driver& driver = TheDriver();
  {
    Guard guard(driver.lock);
    if (driver.bus == nullptr) return;
    if (Child* child = FindChild(*driver.bus, path, length)) {
      child->seen = true;
      return;
    }
  }
  AddChild(path, length);
  Guard guard(driver.lock);
  if (driver.bus != nullptr) {
    if (Child* child = FindChild(*driver.bus, path, length)) child->seen = true;
  }
}

void RemoveUnseenChildren(bool announce) {
  Driver& driver = TheDriver();
  Bus* bus = nullptr;
  bool changed = false;
  {
    Guard guard(driver.lock);
    bus = driver.bus;
    if (bus == nullptr) return;
    for (LIST_ENTRY* e = bus->children.Flink; e != &bus->children;) {
      Child* child = CONTAINING_RECORD(e, Child, entry);
      e = e->Flink;
      if (!child->seen) {
        Detach(*bus, *child);
        changed = true;
      }
    }
  }
  if (changed && announce) Invalidate(bus);
}

void RemoveAllChildren(bool announce) {
  MarkChildrenUnseen();
  RemoveUnseenChildren(announce);
}

NTSTATUS ReportChildren(Bus& bus, IRP* irp) {
  Guard guard(TheDriver().lock);
  ULONG count = 0;
  for (LIST_ENTRY* e = bus.children.Flink; e != &bus.children; e = e->Flink) ++count;
  const size_t bytes = sizeof(DEVICE_RELATIONS) + count * sizeof(DEVICE_OBJECT*);
  auto* relations = static_cast<DEVICE_RELATIONS*>(ExAllocatePool(PagedPool, bytes));
  if (relations == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  relations->Count = 0;
  for (LIST_ENTRY* e = bus.children.Flink; e != &bus.children; e = e->Flink) {
    DEVICE_OBJECT* device = CONTAINING_RECORD(e, Child, entry)->device;
    ObReferenceObject(device);
    relations->Objects[relations->Count++] = device;
  }
  irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
  irp->IoStatus.Status = STATUS_SUCCESS;
  return STATUS_SUCCESS;
}

NTSTATUS ChildPnp(Child& child, IRP* irp) {
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  switch (stack->MinorFunction) {
    case IRP_MN_QUERY_ID:
      status = QueryId(child, irp, stack->Parameters.QueryId.IdType);
      break;
    case IRP_MN_QUERY_CAPABILITIES: {
      DEVICE_CAPABILITIES* capabilities = stack->Parameters.DeviceCapabilities.Capabilities;
      capabilities->RawDeviceOK = 1;  // runs without a function driver
      capabilities->SurpriseRemovalOK = 1;
      capabilities->Removable = 1;
      capabilities->UniqueID = 1;
      status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_START_DEVICE:
      status = Start(child);
      break;
    case IRP_MN_SURPRISE_REMOVAL:
      DisableInterface(child);
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE:
      return Remove(child, irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
      status = STATUS_SUCCESS;
      break;
    default:
      break;
  }
  return Complete(irp, status, irp->IoStatus.Information);
}

}  // namespace testbus
