// Resource ids of the Win32 upgrade program (VelmoraFlashTool.rc and the view
// code). Control ids equal those of app/core/DialogViews.h, which the view
// checks at compile time; the names differ so that both can be seen at once.
#pragma once

#define IDD_ABOUTBOX 100
#define IDD_VLMFWUPGRADE_DIALOG 102
#define IDR_MAINFRAME 128
#define IDD_DOWNLOAD_PROGRESS 129

#define IDC_EDIT_VLD_FILE 1003
#define IDC_BUTTON_OPEN 1004
#define IDC_LIST_DEVICES 1006
#define IDC_PROGRESS_DOWNLOAD 1008
#define IDC_STATIC_STATUS 1009
#define IDC_STATIC_ABOUT 1010
#define IDC_EDIT_MODEL_ID 1017
#define IDC_EDIT_SW_VERSION 1021
#define IDC_EDIT_HW_ID 1023
#define IDC_EDIT_SW_DATE_TIME 1024
#define IDC_EDIT_INFO_TEXT 1025
#define IDC_EDIT_VENDOR_ID 1029

// String table ids (the texts are those of app/core/StringTable.cpp).
#define IDS_RC_ABOUTBOX 101
#define IDP_RC_CONFIRM_UPGRADE 102
#define IDS_RC_COLUMN_VENDOR_PRODUCT 134
#define IDS_RC_COLUMN_SERIAL_NUMBER 135
#define IDS_RC_PREPARING_DOWNLOAD 136
#define IDS_RC_BYTES_DOWNLOADED 137
#define IDS_RC_DOWNLOAD_FINISHED 139
#define IDS_RC_DOWNLOAD_FAILED 140
#define IDS_RC_WINDOW_TITLE 141
#define IDS_RC_NO_DEVICES 142
#define IDS_RC_ERROR_CAPTION 143
#define IDS_RC_ERROR_GENERIC 144
#define IDS_RC_FILE_OPEN_FAILED 145
#define IDS_RC_FILE_INVALID 146
#define IDS_RC_FILE_READ_FAILED 147
#define IDS_RC_STARTING_FIRMWARE 149
#define IDS_RC_WRONG_API_VERSION 152
#define IDS_RC_DEVICE_LIST_CHANGED 156

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
