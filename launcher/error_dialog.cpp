#include "launcher/error_dialog.h"

#include <windows.h>

#include "launcher/failure_text.h"

namespace qvs {

std::wstring ErrorDialogText(std::string_view failure_text) {
  return kErrorDialogIntro + DecodeFailureText(failure_text);
}

void ShowErrorDialog(std::string_view failure_text) noexcept {
  try {
    const std::wstring text = ErrorDialogText(failure_text);
    ::MessageBoxW(nullptr, text.c_str(), kErrorDialogCaption, MB_OK | MB_ICONERROR);
  } catch (...) {
    // Out of memory while composing the text: still tell the user that the start failed.
    ::MessageBoxW(nullptr, kErrorDialogIntro, kErrorDialogCaption, MB_OK | MB_ICONERROR);
  }
}

}  // namespace qvs
