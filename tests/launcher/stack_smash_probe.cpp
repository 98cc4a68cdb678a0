// stack_smash_probe.exe TEXT: copies TEXT into a 16-character stack buffer without a bound, as a
// careless parser would. Built with the launcher's flags, a long TEXT must end the process with
// the stack protector's status instead of returning through the overwritten frame.
#include <cwchar>

namespace {

__attribute__((noinline)) int FirstOfCopy(const wchar_t* text) {
  wchar_t buffer[16];
  std::wcscpy(buffer, text);
  return buffer[0] == L'x' ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) { return argc == 2 ? FirstOfCopy(argv[1]) : 2; }
