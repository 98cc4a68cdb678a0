#pragma once

#include <string>
#include <string_view>

namespace qvs {

inline constexpr wchar_t kErrorDialogCaption[] = L"Quorvantis Support";
inline constexpr wchar_t kErrorDialogIntro[] = L"Quorvantis Support could not start securely.\n\n";

// The dialog's text: the fixed sentence, an empty line, then the failure's own text.
std::wstring ErrorDialogText(std::string_view failure_text);

// Shows the one error dialog (no owner, OK button, error icon) and returns when it is dismissed.
// Never throws: it runs inside the failure handler.
void ShowErrorDialog(std::string_view failure_text) noexcept;

}  // namespace qvs
