#include "host/start_record.h"

#include "common/utf8.h"

namespace qvs {
namespace {

void AppendField(std::wstring_view text, std::string& out) {
  for (const char c : ToUtf8(text)) {
    switch (c) {
      case '%':
        out += "%25";
        break;
      case '\t':
        out += "%09";
        break;
      case '\r':
        out += "%0D";
        break;
      case '\n':
        out += "%0A";
        break;
      default:
        out += c;
    }
  }
}

}  // namespace

std::string FormatStartRecord(std::wstring_view module_path, std::wstring_view command_line,
                              std::wstring_view working_directory) {
  std::string line;
  AppendField(module_path, line);
  line += '\t';
  AppendField(command_line, line);
  line += '\t';
  AppendField(working_directory, line);
  line += '\n';
  return line;
}

}  // namespace qvs
