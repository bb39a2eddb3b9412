// vlmutestbus.sys: a root-enumerated bus driver for the Wine test fixture.
// It mirrors the devices of a running driver service (velmora-driverd): one
// child device per interface the service lists, each exposing a device
// interface of the vendor driver's class, so that the unmodified library
// finds, opens and drives them through the SetupAPI, CreateFileA and
// DeviceIoControl, and sees them arrive and leave. Test code only: never
// installed by the package.
//
// This file: the driver's entry points, the bus device and the dispatch.
#include "Kernel.h"

namespace testbus {

namespace {

constinit Driver gDriver;  // set up by DriverEntry; no constructor runs in a driver

void ThreadMain(void* start);

struct ThreadStart {
  void (*routine)(void*);
  void* context;
};

void TraceLine(const char* text) { DbgPrint("vlmutestbus: %s\n", text); }

NTSTATUS PassDown(Bus& bus, IRP* irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(bus.lower, irp);
}

NTSTATUS BusPnp(Bus& bus, IRP* irp) {
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      const NTSTATUS status = StartMirror(bus);
      if (!NT_SUCCESS(status)) return Complete(irp, status);
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(bus, irp);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (stack->Parameters.QueryDeviceRelations.Type != BusRelations) return PassDown(bus, irp);
      {
        const NTSTATUS status = ReportChildren(bus, irp);
        if (!NT_SUCCESS(status)) return Complete(irp, status);
      }
      return PassDown(bus, irp);
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(bus, irp);
    case IRP_MN_REMOVE_DEVICE: {
      // The fixture uninstalls the bus: the mirror stops and every child goes.
      StopMirror(bus);
      RemoveAllChildren(false);
      irp->IoStatus.Status = STATUS_SUCCESS;
      const NTSTATUS status = PassDown(bus, irp);
      DEVICE_OBJECT* self = bus.device;
      IoDetachDevice(bus.lower);
      {
        Guard guard(gDriver.lock);
        gDriver.bus = nullptr;
      }
      bus.~Bus();
      IoDeleteDevice(self);
      TraceLine("bus removed");
      return status;
    }
    default:
      return PassDown(bus, irp);
  }
}

// What a dispatch routine is called for: the bus FDO or one of its children.
Kind KindOf(DEVICE_OBJECT* device) { return *static_cast<Kind*>(device->DeviceExtension); }

NTSTATUS NTAPI DispatchPnp(DEVICE_OBJECT* device, IRP* irp) {
  if (KindOf(device) == Kind::Bus) return BusPnp(*static_cast<Bus*>(device->DeviceExtension), irp);
  return ChildPnp(*static_cast<Child*>(device->DeviceExtension), irp);
}

NTSTATUS NTAPI DispatchPower(DEVICE_OBJECT* device, IRP* irp) {
  PoStartNextPowerIrp(irp);
  if (KindOf(device) == Kind::Bus) {
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(static_cast<Bus*>(device->DeviceExtension)->lower, irp);
  }
  return Complete(irp, STATUS_SUCCESS);
}

// Files are opened on the children only; the bus itself has nothing to open.
NTSTATUS NTAPI DispatchFile(DEVICE_OBJECT* device, IRP* irp) {
  if (KindOf(device) != Kind::Child) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  Child& child = *static_cast<Child*>(device->DeviceExtension);
  switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_CREATE:
      return HandleCreate(child, irp);
    case IRP_MJ_CLEANUP:
      return HandleCleanup(child, irp);
    case IRP_MJ_CLOSE:
      return HandleClose(child, irp);
    case IRP_MJ_DEVICE_CONTROL:
      return HandleIoControl(child, irp);
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

NTSTATUS NTAPI AddDevice(DRIVER_OBJECT* driver, DEVICE_OBJECT* physical) {
  {
    Guard guard(gDriver.lock);
    if (gDriver.bus != nullptr) return STATUS_DEVICE_ALREADY_ATTACHED;  // one bus
  }
  DEVICE_OBJECT* device = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(Bus), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  Bus* bus = ::new (device->DeviceExtension) Bus();
  bus->device = device;
  bus->physical = physical;
  InitializeListHead(&bus->children);
  KeInitializeEvent(&bus->childDeleted, SynchronizationEvent, FALSE);
  KeInitializeEvent(&bus->stopMirror, NotificationEvent, FALSE);
  bus->lower = IoAttachDeviceToDeviceStack(device, physical);
  if (bus->lower == nullptr) {
    bus->~Bus();
    IoDeleteDevice(device);
    return STATUS_NO_SUCH_DEVICE;
  }
  device->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
  Guard guard(gDriver.lock);
  gDriver.bus = bus;
  return STATUS_SUCCESS;
}

VOID NTAPI Unload(DRIVER_OBJECT*) {
  // Handle workers end once their handles are gone; give the last ones time
  // to leave this module's code.
  LARGE_INTEGER timeout;
  timeout.QuadPart = -10000LL * 10000;  // 10 s
  if (gDriver.threads != 0) KeWaitForSingleObject(&gDriver.threadsEnded, Executive, KernelMode, FALSE, &timeout);
  TraceLine("unloaded");
}

void ThreadMain(void* start) {
  const ThreadStart copy = *static_cast<ThreadStart*>(start);
  PoolDelete(static_cast<ThreadStart*>(start));
  copy.routine(copy.context);
  ThreadEnded();
  PsTerminateSystemThread(STATUS_SUCCESS);
}

VOID NTAPI ThreadEntry(void* start) { ThreadMain(start); }

}  // namespace

Driver& TheDriver() { return gDriver; }

NTSTATUS StartThread(void (*routine)(void*), void* context, HANDLE* handle) {
  auto* start = PoolNew<ThreadStart>();
  if (start == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  start->routine = routine;
  start->context = context;
  if (InterlockedIncrement(&gDriver.threads) == 1) KeClearEvent(&gDriver.threadsEnded);
  HANDLE thread = nullptr;
  const NTSTATUS status =
      PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, &ThreadEntry, start);
  if (!NT_SUCCESS(status)) {
    PoolDelete(start);
    ThreadEnded();
    return status;
  }
  if (handle != nullptr)
    *handle = thread;
  else
    ZwClose(thread);
  return STATUS_SUCCESS;
}

void ThreadEnded() {
  if (InterlockedDecrement(&gDriver.threads) == 0) KeSetEvent(&gDriver.threadsEnded, IO_NO_INCREMENT, FALSE);
}

void JoinThread(HANDLE& handle, uint32_t timeoutMs) {
  if (handle == nullptr) return;
  LARGE_INTEGER timeout;
  timeout.QuadPart = -10000LL * timeoutMs;
  ZwWaitForSingleObject(handle, FALSE, &timeout);
  ZwClose(handle);
  handle = nullptr;
}

}  // namespace testbus

extern "C" NTSTATUS NTAPI DriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING* /*registryPath*/) {
  using namespace testbus;
  Driver& state = TheDriver();
  state.object = driver;
  state.lock.Init();
  KeInitializeEvent(&state.threadsEnded, NotificationEvent, TRUE);
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchFile;
  driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchFile;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchFile;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchFile;
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  driver->DriverExtension->AddDevice = AddDevice;
  driver->DriverUnload = Unload;
  return STATUS_SUCCESS;
}
