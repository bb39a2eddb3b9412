// Open handles of a child device. Every handle gets a connection of its own
// to the driver service, as a handle of the Linux client is one connection,
// and a worker thread that carries its requests: the dispatch routines only
// queue the IRP and return STATUS_PENDING, so Wine's dispatch thread never
// waits for the service; the worker completes the IRP with the service's
// answer, turned into the status whose system error code the library sees.
#include "Kernel.h"
#include "ServiceLink.h"

namespace testbus {

namespace {

struct Handle {
  volatile LONG references = 2;  // the child's list and the worker
  LIST_ENTRY entry{};            // in Child::handles while listed
  Child* child = nullptr;        // valid while listed
  char* path = nullptr;          // the child's path (the worker's copy)
  uint32_t pathLength = 0;
  KEVENT wake{};
  LIST_ENTRY queue{};  // IRPs for the worker
  bool listed = false;
  bool ending = false;  // no new requests; queued ones end with endStatus
  NTSTATUS endStatus = STATUS_CANCELLED;
  ServiceLink* link = nullptr;  // written by the worker, aborted by the others
};

// The service's system error codes as I/O statuses: the system turns each of
// these back into the same code for the caller of DeviceIoControl.
NTSTATUS ToNtStatus(uint32_t error) {
  switch (error) {
    case 0:
      return STATUS_SUCCESS;
    case 1:  // ERROR_INVALID_FUNCTION: unknown control code
      return STATUS_INVALID_DEVICE_REQUEST;
    case 2:  // ERROR_FILE_NOT_FOUND: no such interface
      return STATUS_OBJECT_NAME_NOT_FOUND;
    case 6:  // ERROR_INVALID_HANDLE
      return STATUS_INVALID_HANDLE;
    case 31:  // ERROR_GEN_FAILURE: the device stalled the request
      return STATUS_UNSUCCESSFUL;
    case 87:  // ERROR_INVALID_PARAMETER: malformed request
      return STATUS_INVALID_PARAMETER;
    case 121:  // ERROR_SEM_TIMEOUT: no answer in time
      return STATUS_IO_TIMEOUT;
    case 1167:  // ERROR_DEVICE_NOT_CONNECTED: the device left the bus
      return STATUS_DEVICE_NOT_CONNECTED;
    default:  // any other system error code, carried as it is
      return static_cast<NTSTATUS>(0xC0070000u | (error & 0xFFFFu));
  }
}

void Release(Handle* handle) {
  if (InterlockedDecrement(&handle->references) != 0) return;
  PoolFree(handle->path);
  PoolDelete(handle);
}

// Takes the handle off its child's list (under the lock); true when it was
// listed, and the caller then owes Release and a wake-up.
bool Unlist(Handle& handle, NTSTATUS endStatus) {
  if (!handle.listed) return false;
  RemoveEntryList(&handle.entry);
  handle.listed = false;
  handle.child = nullptr;
  handle.ending = true;
  handle.endStatus = endStatus;
  if (handle.link != nullptr) handle.link->Abort();
  return true;
}

// The handle of a file object, when it is still one of the child's (under the lock).
Handle* Find(Child& child, IRP* irp) {
  void* context = IoGetCurrentIrpStackLocation(irp)->FileObject->FsContext;
  for (LIST_ENTRY* e = child.handles.Flink; e != &child.handles; e = e->Flink) {
    Handle* handle = CONTAINING_RECORD(e, Handle, entry);
    if (handle == context) return handle;
  }
  return nullptr;
}

NTSTATUS Queue(Handle& handle, IRP* irp) {
  IoMarkIrpPending(irp);
  InsertTailList(&handle.queue, &irp->Tail.Overlay.ListEntry);
  return STATUS_PENDING;
}

void OpenOnService(Handle& handle, IRP* irp) {
  ServiceLink* link = nullptr;
  uint32_t error = ServiceLink::Connect("vlmutestbus handle", link);
  if (error == 0) {
    {
      Guard guard(TheDriver().lock);
      handle.link = link;
      if (handle.ending) link->Abort();
    }
    error = link->Open(handle.path, handle.pathLength);
  }
  if (error != 0) {
    // A failed create leaves no handle behind.
    bool unlisted = false;
    {
      Guard guard(TheDriver().lock);
      unlisted = Unlist(handle, STATUS_CANCELLED);
    }
    if (unlisted) Release(&handle);
  }
  Complete(irp, ToNtStatus(error));
}

void ForwardIoControl(Handle& handle, IRP* irp) {
  const IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  const auto& request = stack->Parameters.DeviceIoControl;
  // METHOD_BUFFERED: the input arrives in the system buffer, the output
  // leaves from it; the link sends the input before it receives.
  void* buffer = irp->AssociatedIrp.SystemBuffer;
  uint32_t returned = 0;
  const uint32_t error = handle.link == nullptr
                             ? 1167u
                             : handle.link->IoControl(request.IoControlCode, buffer, request.InputBufferLength, buffer,
                                                      request.OutputBufferLength, returned);
  Complete(irp, ToNtStatus(error), error == 0 ? returned : 0);
}

void Worker(void* context) {
  Handle& handle = *static_cast<Handle*>(context);
  for (bool done = false; !done;) {
    KeWaitForSingleObject(&handle.wake, Executive, KernelMode, FALSE, nullptr);
    for (;;) {
      IRP* irp = nullptr;
      bool ending = false;
      NTSTATUS endStatus = STATUS_SUCCESS;
      {
        Guard guard(TheDriver().lock);
        if (!IsListEmpty(&handle.queue))
          irp = CONTAINING_RECORD(RemoveHeadList(&handle.queue), IRP, Tail.Overlay.ListEntry);
        ending = handle.ending;
        endStatus = handle.endStatus;
        done = ending && irp == nullptr;
      }
      if (irp == nullptr) break;
      if (ending) {
        Complete(irp, endStatus);
      } else if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CREATE) {
        OpenOnService(handle, irp);
      } else {
        ForwardIoControl(handle, irp);
      }
    }
  }
  ServiceLink* link = nullptr;
  {
    Guard guard(TheDriver().lock);
    link = handle.link;
    handle.link = nullptr;
  }
  ServiceLink::Destroy(link);
  Release(&handle);
}

// Wakes the worker. The caller took a reference under the lock (Hold), so
// that the handle outlives the call whatever the other threads do; it is
// given back here.
void Hold(Handle& handle) { InterlockedIncrement(&handle.references); }
void WakeAndRelease(Handle& handle) {
  KeSetEvent(&handle.wake, IO_NO_INCREMENT, FALSE);
  Release(&handle);
}

}  // namespace

NTSTATUS HandleCreate(Child& child, IRP* irp) {
  auto* handle = PoolNew<Handle>();
  char* path = handle != nullptr ? PoolCopy(child.path, child.pathLength) : nullptr;
  if (path == nullptr) {
    PoolDelete(handle);
    return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
  }
  handle->path = path;
  handle->pathLength = child.pathLength;
  handle->child = &child;
  InitializeListHead(&handle->queue);
  KeInitializeEvent(&handle->wake, SynchronizationEvent, FALSE);
  bool present = false;
  {
    Guard guard(TheDriver().lock);
    present = child.present;
    if (present) {
      InsertTailList(&child.handles, &handle->entry);
      handle->listed = true;
      IoGetCurrentIrpStackLocation(irp)->FileObject->FsContext = handle;
      Queue(*handle, irp);
      Hold(*handle);
    }
  }
  if (!present) {
    // Gone from the bus while its interface was still being looked up.
    PoolFree(path);
    PoolDelete(handle);
    return Complete(irp, STATUS_OBJECT_NAME_NOT_FOUND);
  }
  if (!NT_SUCCESS(StartThread(Worker, handle, nullptr))) {
    bool unlisted = false;
    {
      Guard guard(TheDriver().lock);
      unlisted = Unlist(*handle, STATUS_INSUFFICIENT_RESOURCES);
      RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    }
    Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
    if (unlisted) Release(handle);
    Release(handle);  // the worker's, which never ran
  }
  WakeAndRelease(*handle);
  return STATUS_PENDING;
}

NTSTATUS HandleIoControl(Child& child, IRP* irp) {
  const ULONG code = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
  // The vendor driver's requests are all METHOD_BUFFERED; the service
  // answers unknown codes itself.
  if (METHOD_FROM_CTL_CODE(code) != METHOD_BUFFERED) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  Handle* handle = nullptr;
  {
    Guard guard(TheDriver().lock);
    handle = Find(child, irp);
    if (handle != nullptr && handle->ending) handle = nullptr;
    if (handle != nullptr) {
      Queue(*handle, irp);
      Hold(*handle);
    }
  }
  if (handle == nullptr) return Complete(irp, STATUS_DEVICE_NOT_CONNECTED);
  WakeAndRelease(*handle);
  return STATUS_PENDING;
}

NTSTATUS HandleCleanup(Child& child, IRP* irp) {
  // The last user handle is closed: what is still queued is cancelled.
  Handle* handle = nullptr;
  {
    Guard guard(TheDriver().lock);
    handle = Find(child, irp);
    if (handle != nullptr) {
      handle->ending = true;
      if (handle->link != nullptr) handle->link->Abort();
      Hold(*handle);
    }
  }
  if (handle != nullptr) WakeAndRelease(*handle);
  return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS HandleClose(Child& child, IRP* irp) {
  Handle* handle = nullptr;
  {
    Guard guard(TheDriver().lock);
    handle = Find(child, irp);
    if (handle != nullptr && !Unlist(*handle, STATUS_CANCELLED)) handle = nullptr;
  }
  if (handle != nullptr) WakeAndRelease(*handle);  // the list's reference
  return Complete(irp, STATUS_SUCCESS);
}

void EndHandles(Child& child) {
  LIST_ENTRY ended;
  InitializeListHead(&ended);
  {
    Guard guard(TheDriver().lock);
    while (!IsListEmpty(&child.handles)) {
      Handle* handle = CONTAINING_RECORD(child.handles.Flink, Handle, entry);
      Unlist(*handle, STATUS_DEVICE_NOT_CONNECTED);
      InsertTailList(&ended, &handle->entry);  // the entry is free once unlisted
    }
  }
  while (!IsListEmpty(&ended)) {
    WakeAndRelease(*CONTAINING_RECORD(RemoveHeadList(&ended), Handle, entry));  // the list's reference
  }
}

}  // namespace testbus
