#include <windows.h>

#include <commctrl.h>

#include <climits>

#include "Win32Views.h"
#include "resource.h"

namespace vlmwin {

static_assert(IDC_PROGRESS_DOWNLOAD == vlmapp::IDC_PROGRESS && IDC_STATIC_STATUS == vlmapp::IDC_STATUS_TEXT &&
                  IDCANCEL == vlmapp::IDC_CLOSE,
              "template ids");

INT_PTR Win32ProgressDialog::Run(HWND owner) {
  return DialogBoxParamA(mInstance, MAKEINTRESOURCEA(IDD_DOWNLOAD_PROGRESS), owner, &DialogProc,
                         reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK Win32ProgressDialog::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<Win32ProgressDialog*>(GetWindowLongPtrA(window, DWLP_USER));
  if (message == WM_INITDIALOG) {
    self = reinterpret_cast<Win32ProgressDialog*>(lParam);
    SetWindowLongPtrA(window, DWLP_USER, lParam);
    self->mWindow = window;
  }
  if (self == nullptr) return FALSE;
  return self->HandleMessage(message, wParam, lParam);
}

INT_PTR Win32ProgressDialog::HandleMessage(UINT message, WPARAM wParam, LPARAM /*lParam*/) {
  switch (message) {
    case WM_INITDIALOG:
      CentreOverOwner(mWindow);
      mLogic.OnInitDialog(*this);
      return TRUE;
    case WM_TIMER:
      return mLogic.OnTimer(*this, static_cast<uintptr_t>(wParam)) ? TRUE : FALSE;
    case kPollMessage:
      // The pause ends early when input arrives, so the dialog stays responsive.
      MsgWaitForMultipleObjects(0, nullptr, FALSE, vlmapp::kPostedPollPauseMs, QS_ALLINPUT);
      mLogic.OnPollEvent(*this);
      return TRUE;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDOK:  // Enter: nothing
          return TRUE;
        case IDCANCEL:  // "Close", Escape, Alt+F4: only once the download has its final status
          if (mLogic.CanClose()) ::EndDialog(mWindow, IDCANCEL);
          return TRUE;
        default:
          return FALSE;
      }
    case WM_DESTROY:
      if (mLogic.TimerId() != 0) KillTimer(mWindow, mLogic.TimerId());
      return FALSE;
    default:
      return FALSE;
  }
}

void Win32ProgressDialog::SetStatusText(const std::string& text) {
  SetDlgItemTextA(mWindow, IDC_STATIC_STATUS, text.c_str());
}

void Win32ProgressDialog::SetProgressRange(uint32_t low, uint32_t high) {
  mScaleShift = 0;
  while ((high >> mScaleShift) > static_cast<uint32_t>(INT_MAX)) ++mScaleShift;
  SendDlgItemMessageA(mWindow, IDC_PROGRESS_DOWNLOAD, PBM_SETRANGE32, static_cast<WPARAM>(low >> mScaleShift),
                      static_cast<LPARAM>(high >> mScaleShift));
}

void Win32ProgressDialog::SetProgressPosition(uint32_t position) {
  SendDlgItemMessageA(mWindow, IDC_PROGRESS_DOWNLOAD, PBM_SETPOS, static_cast<WPARAM>(position >> mScaleShift), 0);
}

void Win32ProgressDialog::EnableCloseButton(bool enabled) {
  HWND button = GetDlgItem(mWindow, IDCANCEL);
  EnableWindow(button, enabled ? TRUE : FALSE);
  if (enabled) SendMessageA(mWindow, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(button), TRUE);
}

bool Win32ProgressDialog::StartTimer(uintptr_t id, uint32_t periodMs) {
  return SetTimer(mWindow, id, periodMs, nullptr) != 0;
}

void Win32ProgressDialog::StopTimer(uintptr_t id) { KillTimer(mWindow, id); }

void Win32ProgressDialog::PostPoll() { PostMessageA(mWindow, kPollMessage, 0, 0); }

}  // namespace vlmwin
