// Bringing the open device from run-time mode into dfuIDLE and resetting it
// back into run-time mode afterwards.
#include "dfu/DfuDevice.h"
#include "log/DiagnosticLog.h"

uint32_t DfuDevice::DetachDevice() {
  VLOG(LOG_INFO, "DfuDevice::DetachDevice ...\n");
  const uint32_t st = DfuDetach(mDetachTimeout);
  if (st != 0) {
    VLOG(LOG_ERROR, "DetachDevice: DfuDetach failed with 0x%08X.\n", st);
    return st;
  }
  return 0;
}

uint32_t DfuDevice::ReadStateForSwitch(bool detached, uint8_t* state) {
  const uint32_t gst = DfuGetStatus();
  if (gst == 0) {
    *state = LastStatus().bState;
    return 0;
  }
  if (detached) {
    VLOG(LOG_ERROR, "DfuDevice::SwitchDeviceToDfu: DfuGetStatus failed with 0x%08X\n", gst);
    return gst;
  }
  VLOG(LOG_INFO, "DfuDevice::SwitchDeviceToDfu: DfuGetStatus returned 0x%08X. appIDLE assumed.\n", gst);
  *state = appIDLE;
  return 0;
}

DfuDevice::SwitchStep DfuDevice::SwitchStepFrom(uint8_t state, bool& detached) {
  switch (state) {
    case appIDLE: {
      VLOG(LOG_INFO, "DfuDevice::SwitchDeviceToDfu: appIDLE state detected.\n");
      if (detached) {
        VLOG(LOG_ERROR,
             "DfuDevice::SwitchDeviceToDfu: Reentered appIDLE after detach. Device doesn't enter "
             "DFU mode.\n");
        return SwitchStep::End(VLMUFWDL_STATUS_DFU_MODE_FAILED);
      }
      const uint32_t st = DetachDevice();
      if (st != 0) {
        VLOG(LOG_ERROR, "DfuDevice::SwitchDeviceToDfu: DetachDevice failed with 0x%08X\n", st);
        return SwitchStep::End(st);
      }
      detached = true;
      // A device that detaches by itself leaves the bus now; the others
      // report appDETACH and wait for the host's reset.
      return SwitchStep::Next((mDfuAttributes & DFU_DESC_bitWillDetach) != 0);
    }
    case appDETACH:
      if ((mDfuAttributes & DFU_DESC_bitWillDetach) == 0) {
        VLOG(LOG_INFO, "DfuDevice::SwitchDeviceToDfu: appDETATCH state detected.\n");
        const uint32_t st = CyclePort();
        if (st != 0) {
          VLOG(LOG_ERROR, "DfuDevice::SwitchDeviceToDfu: CyclePort failed with 0x%08X\n", st);
          return SwitchStep::End(VLMUFWDL_STATUS_REQUEST_FAILED);
        }
      }
      return SwitchStep::Next(true);
    case dfuIDLE:
      VLOG(LOG_INFO, "DfuDevice::SwitchDeviceToDfu: dfuIDLE state detected.\n");
      return SwitchStep::End(0);
    case dfuERROR: {
      VLOG(LOG_INFO, "DfuDevice::SwitchDeviceToDfu: dfuERROR state detected.\n");
      const uint32_t st = DfuClrStatus();
      if (st != 0) {
        VLOG(LOG_ERROR, "DfuDevice::SwitchDeviceToDfu: DfuClrStatus failed with 0x%08X\n", st);
        return SwitchStep::End(st);
      }
      VLOG(LOG_ERROR, "DfuDevice::SwitchDeviceToDfu: DfuClrStatus succeeded but DfuState is %u-%s\n",
           static_cast<unsigned>(state), DfuStateName(state));
      return SwitchStep::Next(false);
    }
    default:
      VLOG(LOG_ERROR, "DfuDevice::SwitchDeviceToDfu: unexpected DFU state %u-%s.\n", static_cast<unsigned>(state),
           DfuStateName(state));
      return SwitchStep::End(VLMUFWDL_STATUS_UNEXPECTED_DFU_STATE);
  }
}

uint32_t DfuDevice::SwitchDeviceToDfu(uint8_t* lastState) {
  uint8_t localState = 0;
  uint8_t& stateOut = lastState != nullptr ? *lastState : localState;
  bool detached = false;

  // Every pass reads the device state once. A device that answers dfuERROR
  // after every clear, or comes back from every reopen in appDETACH, would
  // keep the loop going; the number of passes is therefore bounded.
  for (uint32_t pass = 0; pass < kMaxSwitchPasses; ++pass) {
    const uint32_t gst = ReadStateForSwitch(detached, &stateOut);
    if (gst != 0) return gst;
    const SwitchStep step = SwitchStepFrom(stateOut, detached);
    if (step.ends) return step.status;
    if (step.reopen) {
      const uint32_t st = CloseAndReopen(true, mTimeouts[kTimeoutReplug]);
      if (st != 0) {
        VLOG(LOG_ERROR, "DfuDevice::SwitchDeviceToDfu: CloseAndReopen device failed with 0x%08X\n", st);
        return st;
      }
    }
  }

  VLOG(LOG_ERROR, "DfuDevice::SwitchDeviceToDfu: device not in dfuIDLE after %u state reads, last state %u-%s.\n",
       kMaxSwitchPasses, static_cast<unsigned>(stateOut), DfuStateName(stateOut));
  return VLMUFWDL_STATUS_UNEXPECTED_DFU_STATE;
}

uint32_t DfuDevice::SwitchDeviceBackFromDfu(uint8_t* lastState) {
  uint8_t localState = 0;
  uint8_t& stateOut = lastState != nullptr ? *lastState : localState;

  // A failing port cycle is not fatal here: a device that is not
  // manifestation-tolerant may already be resetting by itself.
  const uint32_t cst = CyclePort();
  if (cst != 0) {
    VLOG(LOG_INFO, "DfuDevice::SwitchDeviceBackFromDfu: CyclePort returned with 0x%08X\n", cst);
  }

  const uint32_t rst = CloseAndReopen(true, mTimeouts[kTimeoutReplug]);
  if (rst != 0) {
    VLOG(LOG_ERROR, "DfuDevice::SwitchDeviceBackFromDfu: CloseAndReopen device failed with 0x%08X\n", rst);
    return rst;
  }

  uint8_t state = appIDLE;
  const uint32_t gst = DfuGetStatus();
  if (gst != 0) {
    // Run-time firmware without a DFU status request counts as started.
    VLOG(LOG_INFO, "DfuDevice::SwitchDeviceBackFromDfu: DfuGetStatus returned 0x%08X after final reset.\n", gst);
    state = appIDLE;
  } else {
    state = LastStatus().bState;
  }
  stateOut = state;

  if (state == appIDLE) {
    VLOG(LOG_INFO, "DfuDevice::SwitchDeviceBackFromDfu: Succeeded.\n");
    return 0;
  }
  if (state == dfuERROR) {
    VLOG(LOG_INFO, "DfuDevice::SwitchDeviceBackFromDfu: Firmware could not be started.\n");
    return VLMUFWDL_STATUS_DFU_MODE_FAILED;
  }
  VLOG(LOG_ERROR, "DfuDevice::SwitchDeviceBackFromDfu: Invalid DFU state %s after reset.\n", DfuStateName(state));
  return VLMUFWDL_STATUS_UNEXPECTED_DFU_STATE;
}
