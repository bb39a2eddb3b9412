#pragma once
// Version data of the upgrade program (also used by the Windows version
// resource and the About box).
#define VLMAPP_VERSION_MAJOR 5
#define VLMAPP_VERSION_MINOR 22
#define VLMAPP_VERSION_PATCH 1
#define VLMAPP_VERSION_BUILD 0
#define VLMAPP_VERSION_TEXT "5.22.1.0"
#define VLMAPP_DESCRIPTION "Velmora USB Firmware Upgrade Application"
#define VLMAPP_COPYRIGHT "Copyright (C) 2026 Velmora Audio"
#define VLMAPP_DEFAULT_NAME "VelmoraFlashTool_x64"
