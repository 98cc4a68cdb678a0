#include "launcher/error_dialog.h"

#include <windows.h>

#include "launcher/failure_text.h"

namespace qvs {

std::wstring ErrorDialogText(std::string_view failure_text) {
  return kErrorDialogIntro + DecodeFailureText(failure_text);
}

// The dialog has no owner window: without MB_SETFOREGROUND it would open behind the browser or
// Explorer window the user started the launcher from.
constexpr UINT kDialogStyle = MB_OK | MB_ICONERROR | MB_SETFOREGROUND;

void ShowErrorDialog(std::string_view failure_text) noexcept {
  try {
    const std::wstring text = ErrorDialogText(failure_text);
    ::MessageBoxW(nullptr, text.c_str(), kErrorDialogCaption, kDialogStyle);
  } catch (...) {
    // Out of memory while composing the text: still tell the user that the start failed.
    ::MessageBoxW(nullptr, kErrorDialogIntro, kErrorDialogCaption, kDialogStyle);
  }
}

}  // namespace qvs
