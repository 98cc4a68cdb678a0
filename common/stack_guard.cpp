// The stack protector's guard and its failure for the Windows builds (-fstack-protector-strong),
// as Windows' own binaries have them from /GS. GCC's libssp would provide both, but it seeds its
// guard from CryptGenRandom in a static constructor, before the entry point restricts DLL loading
// to System32: the cryptographic provider it loads then loads bcrypt.dll through the application
// folder (measured under Wine: a bcrypt.dll planted beside a downloaded launcher was loaded, and
// the start deadlocked). This file seeds the guard as the /GS runtime does, from values that
// differ per process and start, without loading anything. It is compiled without the protector
// itself: the seeding function must not check the guard it changes.
#include <windows.h>

#include <cstdint>
#include <cstdlib>

extern "C" {

// Replaced before any of the program's own constructors run; never left at this value.
std::uintptr_t __stack_chk_guard = 0x2B992DDFA23249D6u;

[[noreturn]] void __stack_chk_fail() {
  // A smashed stack is not worth a report: the process ends at once with the status Windows uses
  // for it, as a /GS failure does.
  ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(STATUS_STACK_BUFFER_OVERRUN));
  std::abort();
}

}  // extern "C"

namespace {

__attribute__((constructor(101))) void SeedStackGuard() {
  FILETIME now{};
  ::GetSystemTimeAsFileTime(&now);
  LARGE_INTEGER counter{};
  ::QueryPerformanceCounter(&counter);
  std::uint64_t seed = (std::uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
  seed ^= static_cast<std::uint64_t>(counter.QuadPart) * 0x9E3779B97F4A7C15u;
  seed ^= (std::uint64_t{::GetCurrentProcessId()} << 32) ^ ::GetCurrentThreadId();
  seed ^= ::GetTickCount64() << 17;
  // Where the stack and the image were placed: high-entropy ASLR makes both differ per start.
  seed ^= reinterpret_cast<std::uintptr_t>(&now) ^ (reinterpret_cast<std::uintptr_t>(&__stack_chk_guard) << 7);
  // A zero low byte stops a string overflow from copying the guard out or in.
  __stack_chk_guard = static_cast<std::uintptr_t>(seed) & ~std::uintptr_t{0xFF};
}

}  // namespace
