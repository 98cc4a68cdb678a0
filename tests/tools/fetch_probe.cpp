// fetch-probe.exe PATH LIMIT OUTFILE: one FetchUpdateResource call. Writes the body to OUTFILE
// and exits 0, or prints the failure's sentence and exits 1; 2 for a usage or file error.
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <fstream>
#include <string>

#include "common/launcher_failure.h"
#include "service/update_service_client.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) {
    std::fputs("usage: fetch-probe PATH LIMIT OUTFILE\n", stderr);
    return 2;
  }
  wchar_t* end = nullptr;
  const std::uint64_t limit = std::wcstoull(argv[2], &end, 10);
  if (end == argv[2] || *end != L'\0') {
    std::fputs("fetch-probe: LIMIT is not a number\n", stderr);
    return 2;
  }
  qvs::ByteBuffer body;
  try {
    const qvs::ResponseBody fetched = qvs::FetchUpdateResource(argv[1], limit);
    body.assign(fetched.begin(), fetched.end());
  } catch (const qvs::LauncherFailure& failure) {
    std::fputs(failure.what(), stdout);
    std::fputs("\n", stdout);
    return 1;
  }
  std::ofstream out(argv[3], std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(body.data()), static_cast<std::streamsize>(body.size()));
  out.close();
  if (!out) {
    std::fputs("fetch-probe: cannot write OUTFILE\n", stderr);
    return 2;
  }
  return 0;
}
