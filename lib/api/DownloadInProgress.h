#pragma once
// TEMPORARY: download detection arrives with DfuDevice. This function is
// replaced by TheDfuDevice().IsThreadRunning() when the global DfuDevice is
// built into the library.
bool DownloadInProgress();
