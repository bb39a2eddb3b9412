// DFU class requests, the vendor detach request, the poll wait and the state
// names of the DfuDevice.
#include <chrono>
#include <cstring>
#include <vector>

#include "dfu/ControlRequest.h"
#include "dfu/DfuDevice.h"
#include "log/DiagnosticLog.h"

using dfu::ControlSetup;
using dfu::kControlHeaderSize;

const char* DfuStateName(int state) {
  switch (state) {
    case appIDLE:
      return "appIDLE";
    case appDETACH:
      return "appDETATCH";
    case dfuIDLE:
      return "dfuIDLE";
    case dfuDNLOAD_SYNC:
      return "dfuDNLOAD_SYNC";
    case dfuDNBUSY:
      return "dfuDNBUSY";
    case dfuDNLOAD_IDLE:
      return "dfuDNLOAD_IDLE";
    case dfuMANIFEST_SYNC:
      return "dfuMANIFEST_SYNC";
    case dfuMANIFEST:
      return "dfuMANIFEST";
    case dfuMANIFEST_WAIT_RESET:
      return "dfuMANIFEST_WAIT_RESET";
    case dfuUPLOAD_IDLE:
      return "dfuUPLOAD_IDLE";
    case dfuERROR:
      return "dfuERROR";
    default:
      return "unknown DFU_STATE";
  }
}

uint32_t DfuDevice::DfuGetStatus() {
  uint8_t header[kControlHeaderSize] = {};
  dfu::WriteControlHeader(header, ControlSetup{dfu::kDirDeviceToHost, dfu::kTypeClass, dfu::kRecipientInterface,
                                               DFU_GETSTATUS, 0, mDfuInterfaceNumber, sizeof(mDfuStatus)});
  uint32_t received = 0;
  const uint32_t st = SendControlRequest(header, sizeof(header), mDfuStatus, sizeof(mDfuStatus), &received);
  if (st != 0) {
    VLOG(LOG_ERROR, "DfuGetStatus: st: 0x%08X\n", st);
    return VLMUFWDL_STATUS_DESCRIPTOR_REQUEST;
  }
  if (received != sizeof(mDfuStatus)) {
    VLOG(LOG_ERROR, "DfuGetStatus: invlaid length: %d\n", static_cast<int>(received));
    return VLMUFWDL_STATUS_INVALID_DESCRIPTOR;
  }
  mPollTimeout = LastStatus().bwPollTimeout;
  return 0;
}

uint32_t DfuDevice::DfuClrStatus() {
  VLOG(LOG_INFO, "DfuDevice::DfuClrStatus ...\n");
  uint8_t header[kControlHeaderSize] = {};
  dfu::WriteControlHeader(header, ControlSetup{dfu::kDirHostToDevice, dfu::kTypeClass, dfu::kRecipientInterface,
                                               DFU_CLRSTATUS, 0, mDfuInterfaceNumber, 0});
  const uint32_t st = SendControlRequest(header, sizeof(header), nullptr, 0, nullptr);
  if (st != 0) {
    VLOG(LOG_ERROR, "CDfuClrStatus: st: 0x%08X\n", st);
    return VLMUFWDL_STATUS_REQUEST_FAILED;
  }
  return 0;
}

uint32_t DfuDevice::DfuDetach(uint16_t detachTimeout) {
  VLOG(LOG_INFO, "DfuDevice::DfuDetach ...\n");
  uint8_t header[kControlHeaderSize] = {};
  dfu::WriteControlHeader(header, ControlSetup{dfu::kDirHostToDevice, dfu::kTypeVendor, dfu::kRecipientDevice,
                                               VENDOR_DFU_DETACH, detachTimeout, 0, 0});
  const uint32_t st = SendControlRequest(header, sizeof(header), nullptr, 0, nullptr);
  if (st != 0) {
    VLOG(LOG_ERROR, "DfuDevice::DfuDetach: st: 0x%08X\n", st);
    return VLMUFWDL_STATUS_REQUEST_FAILED;
  }
  return 0;
}

uint32_t DfuDevice::DfuDnload(const uint8_t* data, uint16_t length) {
  // Each block travels in a request buffer of its own: header, then the data.
  std::vector<uint8_t> request(kControlHeaderSize + length, 0);
  dfu::WriteControlHeader(request.data(), ControlSetup{dfu::kDirHostToDevice, dfu::kTypeClass, dfu::kRecipientInterface,
                                                       DFU_DNLOAD, mBlockNumber, 0, length});
  if (length != 0 && data != nullptr) {
    std::memcpy(request.data() + kControlHeaderSize, data, length);
  }
  // The block number advances whatever the outcome of the request.
  mBlockNumber = static_cast<uint16_t>(mBlockNumber + 1u);
  const uint32_t st = SendControlRequest(request.data(), static_cast<uint32_t>(request.size()), nullptr, 0, nullptr);
  if (st != 0) {
    VLOG(LOG_ERROR, "DfuDevice::DfuDnload: st: 0x%08X\n", st);
    return VLMUFWDL_STATUS_REQUEST_FAILED;
  }
  return 0;
}

bool DfuDevice::WaitPollTimeout() {
  if (mRemainingWait == 0) return false;
  // A wait that would use up the budget exactly, or overrun it, is refused whole.
  if (mRemainingWait <= mPollTimeout) return false;
  PollSleep(mPollTimeout);
  mRemainingWait -= mPollTimeout;
  return true;
}

void DfuDevice::PollSleep(uint32_t ms) {
  if (ms == 0) return;
  // Only teardown's stop request ends the wait early.
  std::unique_lock<std::mutex> lock(mAbortLock);
  mAbortSignal.wait_for(lock, std::chrono::milliseconds(ms), [this] { return mAbortRequested.load(); });
}
