#include "api/DownloadInProgress.h"

// TEMPORARY: download detection arrives with DfuDevice. Until the global
// DfuDevice and VLMUFWDL_StartDownload are part of the library no download
// worker can exist, so no download is in progress. Replace the body with
// `return TheDfuDevice().IsThreadRunning();`.
bool DownloadInProgress() { return false; }
