#pragma once

#include <string>
#include <string_view>

namespace qvs {

// One line of "starts.log": the module path, the full command line and the working directory,
// each as UTF-8 with "%", TAB, CR and LF written as %25, %09, %0D and %0A, separated by TAB and
// ended by LF. Unpaired UTF-16 surrogates become U+FFFD.
std::string FormatStartRecord(std::wstring_view module_path, std::wstring_view command_line,
                              std::wstring_view working_directory);

}  // namespace qvs
