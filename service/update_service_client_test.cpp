#include "service/update_service_client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "common/launcher_failure.h"
#include "common/system_library.h"
#include "service/size_limit.h"
#include "tests/support/failure_sentence.h"

namespace qvs {
namespace {

// A stand-in for WinHTTP that records what the client asks of it and fails where told.
const HINTERNET kSession = reinterpret_cast<HINTERNET>(0x51);
const HINTERNET kConnection = reinterpret_cast<HINTERNET>(0x52);
const HINTERNET kRequest = reinterpret_cast<HINTERNET>(0x53);

enum class Step { kNone, kOpen, kConnect, kOpenRequest, kSend, kReceive, kQueryStatus, kQueryAvailable, kRead };

struct OptionSet {
  HINTERNET handle;
  DWORD option;
  DWORD value;
  DWORD length;
};

struct Fake {
  // What to do.
  Step fail_at = Step::kNone;
  int fail_on_call = 0;  // for the body steps: which call (0-based) fails
  DWORD status = 200;
  DWORD status_with_credentials = 200;  // after SetCredentials
  DWORD auth_schemes = 0;               // what a 407's proxy offers
  DWORD auth_target = WINHTTP_AUTH_TARGET_PROXY;
  std::vector<DWORD> chunks;  // announced counts; a 0 follows them
  DWORD short_read_by = 0;    // the first read of each chunk delivers this many bytes fewer
  bool ends_early = false;    // and the read after it delivers none

  // What was asked.
  std::wstring agent;
  DWORD access_type = 99;
  bool proxy_names_null = false;
  DWORD session_flags = 99;
  std::vector<int> timeouts;
  std::vector<OptionSet> options;
  std::wstring host;
  INTERNET_PORT port = 0;
  std::wstring verb, path;
  bool version_null = false, referrer_null = false, accept_null = false;
  DWORD request_flags = 0;
  bool send_empty = false;
  DWORD header_query = 0;
  int available_calls = 0, read_calls = 0;
  std::size_t bytes_delivered = 0;
  std::size_t chunk_index = 0;
  DWORD chunk_read = 0;  // of the current chunk
  std::vector<HINTERNET> closed;
  int sends = 0;
  std::vector<DWORD> credentials;  // the schemes credentials were set for, each with null names
};

Fake fake;

bool FailsHere(Step step, int call = 0) { return fake.fail_at == step && fake.fail_on_call == call; }

HINTERNET WINAPI FakeOpen(LPCWSTR agent, DWORD access, LPCWSTR proxy, LPCWSTR bypass, DWORD flags) {
  fake.agent = agent;
  fake.access_type = access;
  fake.proxy_names_null = proxy == nullptr && bypass == nullptr;
  fake.session_flags = flags;
  return FailsHere(Step::kOpen) ? nullptr : kSession;
}
WINBOOL WINAPI FakeSetTimeouts(HINTERNET handle, int resolve, int connect, int send, int receive) {
  EXPECT_EQ(handle, kSession);
  fake.timeouts = {resolve, connect, send, receive};
  return FALSE;  // not examined
}
WINBOOL WINAPI FakeSetOption(HINTERNET handle, DWORD option, LPVOID buffer, DWORD length) {
  fake.options.push_back({handle, option, length == sizeof(DWORD) ? *static_cast<DWORD*>(buffer) : 0xFFFFFFFF, length});
  return FALSE;  // not examined
}
HINTERNET WINAPI FakeConnect(HINTERNET session, LPCWSTR host, INTERNET_PORT port, DWORD) {
  EXPECT_EQ(session, kSession);
  fake.host = host;
  fake.port = port;
  return FailsHere(Step::kConnect) ? nullptr : kConnection;
}
HINTERNET WINAPI FakeOpenRequest(HINTERNET connection, LPCWSTR verb, LPCWSTR path, LPCWSTR version, LPCWSTR referrer,
                                 LPCWSTR* accept, DWORD flags) {
  EXPECT_EQ(connection, kConnection);
  fake.verb = verb;
  fake.path = path;
  fake.version_null = version == nullptr;
  fake.referrer_null = referrer == nullptr;
  fake.accept_null = accept == nullptr;
  fake.request_flags = flags;
  return FailsHere(Step::kOpenRequest) ? nullptr : kRequest;
}
WINBOOL WINAPI FakeSendRequest(HINTERNET request, LPCWSTR headers, DWORD headers_length, LPVOID body, DWORD body_length,
                               DWORD total_length, DWORD_PTR context) {
  EXPECT_EQ(request, kRequest);
  fake.send_empty = headers == nullptr && headers_length == 0 && body == nullptr && body_length == 0 &&
                    total_length == 0 && context == 0;
  return !FailsHere(Step::kSend, fake.sends++);
}
WINBOOL WINAPI FakeReceiveResponse(HINTERNET request, LPVOID reserved) {
  EXPECT_EQ(request, kRequest);
  EXPECT_EQ(reserved, nullptr);
  return !FailsHere(Step::kReceive);
}
WINBOOL WINAPI FakeQueryHeaders(HINTERNET, DWORD level, LPCWSTR name, LPVOID buffer, LPDWORD length, LPDWORD index) {
  fake.header_query = level;
  EXPECT_EQ(name, nullptr);
  EXPECT_EQ(index, nullptr);
  EXPECT_EQ(*length, sizeof(DWORD));
  if (FailsHere(Step::kQueryStatus)) {
    return FALSE;
  }
  *static_cast<DWORD*>(buffer) = fake.credentials.empty() ? fake.status : fake.status_with_credentials;
  return TRUE;
}
WINBOOL WINAPI FakeQueryAuthSchemes(HINTERNET request, LPDWORD supported, LPDWORD first, LPDWORD target) {
  EXPECT_EQ(request, kRequest);
  *supported = fake.auth_schemes;
  *first = fake.auth_schemes & (~fake.auth_schemes + 1);
  *target = fake.auth_target;
  return fake.auth_schemes != 0;
}
WINBOOL WINAPI FakeSetCredentials(HINTERNET request, DWORD target, DWORD scheme, LPCWSTR name, LPCWSTR password,
                                  LPVOID reserved) {
  EXPECT_EQ(request, kRequest);
  EXPECT_EQ(target, static_cast<DWORD>(WINHTTP_AUTH_TARGET_PROXY));
  if (name == nullptr && password == nullptr && reserved == nullptr) {
    fake.credentials.push_back(scheme);
  }
  return TRUE;
}
WINBOOL WINAPI FakeQueryDataAvailable(HINTERNET, LPDWORD available) {
  if (FailsHere(Step::kQueryAvailable, fake.available_calls++)) {
    return FALSE;
  }
  *available = fake.chunk_index < fake.chunks.size() ? fake.chunks[fake.chunk_index] : 0;
  return TRUE;
}
WINBOOL WINAPI FakeReadData(HINTERNET, LPVOID buffer, DWORD count, LPDWORD read) {
  const int call = fake.read_calls++;
  const DWORD chunk = fake.chunks.at(fake.chunk_index);
  EXPECT_EQ(count, chunk - fake.chunk_read);
  if (FailsHere(Step::kRead, call)) {
    return FALSE;
  }
  const DWORD delivered = fake.chunk_read == 0 ? count - std::min(count, fake.short_read_by)
                          : fake.ends_early    ? 0
                                               : count;
  for (DWORD i = 0; i < delivered; ++i) {
    static_cast<std::uint8_t*>(buffer)[i] = static_cast<std::uint8_t>((fake.bytes_delivered + i) % 251);
  }
  fake.bytes_delivered += delivered;
  fake.chunk_read += delivered;
  if (fake.chunk_read == chunk || delivered == 0) {
    ++fake.chunk_index;
    fake.chunk_read = 0;
  }
  *read = delivered;
  return TRUE;
}
WINBOOL WINAPI FakeCloseHandle(HINTERNET handle) {
  fake.closed.push_back(handle);
  return TRUE;
}

WinHttpApi FakeApi() {
  WinHttpApi api;
#define QVS_WINHTTP_FAKE(name) api.name = &Fake##name;
  QVS_WINHTTP_FUNCTIONS(QVS_WINHTTP_FAKE)
#undef QVS_WINHTTP_FAKE
  return api;
}

ByteBuffer Pattern(std::size_t size) {
  ByteBuffer bytes(size);
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<std::uint8_t>(i % 251);
  }
  return bytes;
}

ByteBuffer Copy(const ResponseBody& body) { return ByteBuffer(body.begin(), body.end()); }

// Bytes committed from the start of a body's region: the memory the body costs.
std::size_t CommittedBytes(const ResponseBody& body) {
  MEMORY_BASIC_INFORMATION info{};
  if (body.data() == nullptr || ::VirtualQuery(body.data(), &info, sizeof(info)) == 0) {
    return 0;
  }
  return info.State == MEM_COMMIT ? info.RegionSize : 0;
}

std::string FailureOf(const WinHttpApi& api, std::uint64_t limit) {
  return testing::SentenceOf(
      [&] { FetchUpdateResource(api, L"updates.example", L"/downloads/client/stable.manifest", limit); });
}

class UpdateServiceClient : public ::testing::Test {
 protected:
  void SetUp() override { fake = Fake{}; }
};

TEST_F(UpdateServiceClient, MakesTheRequestWithEveryBuiltInSetting) {
  fake.chunks = {3, 5};
  const ResponseBody body = FetchUpdateResource(FakeApi(), L"updates.example", L"/downloads/client/a b%20.exe", 4096);

  EXPECT_EQ(Copy(body), Pattern(8));
  EXPECT_EQ(fake.agent, L"Quorvantis Support Native Launcher/1.0");
  EXPECT_EQ(fake.access_type, 4u);
  EXPECT_TRUE(fake.proxy_names_null);
  EXPECT_EQ(fake.session_flags, 0u);
  EXPECT_EQ(fake.timeouts, (std::vector<int>{5000, 5000, 10000, 15000}));
  EXPECT_EQ(fake.host, L"updates.example");
  EXPECT_EQ(fake.port, 443);
  EXPECT_EQ(fake.verb, L"GET");
  EXPECT_EQ(fake.path, L"/downloads/client/a b%20.exe");  // handed over unchanged
  EXPECT_TRUE(fake.version_null);
  EXPECT_TRUE(fake.referrer_null);
  EXPECT_TRUE(fake.accept_null);
  EXPECT_EQ(fake.request_flags, 0x00800000u);
  EXPECT_TRUE(fake.send_empty);
  EXPECT_EQ(fake.header_query, 0x20000013u);

  ASSERT_EQ(fake.options.size(), 2u);
  EXPECT_EQ(fake.options[0].handle, kSession);
  EXPECT_EQ(fake.options[0].option, static_cast<DWORD>(WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT));
  EXPECT_EQ(fake.options[0].value, 15000u);
  EXPECT_EQ(fake.options[1].handle, kRequest);
  EXPECT_EQ(fake.options[1].option, 88u);
  EXPECT_EQ(fake.options[1].value, 0u);
  EXPECT_EQ(fake.options[1].length, 4u);

  EXPECT_EQ(fake.closed, (std::vector<HINTERNET>{kRequest, kConnection, kSession}));
}

TEST_F(UpdateServiceClient, EachFailingStepRaisesItsSentenceAndClosesWhatWasOpen) {
  const std::vector<HINTERNET> all = {kRequest, kConnection, kSession};
  struct Case {
    const char* name;
    Step step;
    int call;
    DWORD status;
    DWORD short_read_by;
    const char* sentence;
    std::vector<HINTERNET> closed;
  };
  const Case cases[] = {
      {"open", Step::kOpen, 0, 200, 0, "The Windows HTTP service is unavailable.", {}},
      {"connect", Step::kConnect, 0, 200, 0, "The support update service could not be reached.", {kSession}},
      {"open request",
       Step::kOpenRequest,
       0,
       200,
       0,
       "The support update request could not be created.",
       {kConnection, kSession}},
      {"send", Step::kSend, 0, 200, 0, "The support update request failed.", all},
      {"receive", Step::kReceive, 0, 200, 0, "The support update request failed.", all},
      {"status unreadable", Step::kQueryStatus, 0, 200, 0,
       "The support update service returned an unexpected response.", all},
      {"status 204", Step::kNone, 0, 204, 0, "The support update service returned an unexpected response.", all},
      {"status 301", Step::kNone, 0, 301, 0, "The support update service returned an unexpected response.", all},
      {"status 206", Step::kNone, 0, 206, 0, "The support update service returned an unexpected response.", all},
      {"status 404", Step::kNone, 0, 404, 0, "The support update service returned an unexpected response.", all},
      {"first availability query", Step::kQueryAvailable, 0, 200, 0, "The support update download was interrupted.",
       all},
      {"later availability query", Step::kQueryAvailable, 1, 200, 0, "The support update download was interrupted.",
       all},
      {"read", Step::kRead, 1, 200, 0, "The support update download was incomplete.", all},
      {"the rest of a short read", Step::kRead, 1, 200, 1, "The support update download was incomplete.", all},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake = Fake{};
    fake.fail_at = c.step;
    fake.fail_on_call = c.call;
    fake.status = c.status;
    fake.short_read_by = c.short_read_by;
    fake.chunks = {4, 4};
    EXPECT_EQ(FailureOf(FakeApi(), 4096), c.sentence);
    EXPECT_EQ(fake.closed, c.closed);
  }
}

TEST_F(UpdateServiceClient, RefusesAChunkCrossingTheLimitBeforeReadingIt) {
  struct Case {
    const char* name;
    std::vector<DWORD> chunks;
    std::uint64_t limit;
    bool accepted;
    int reads;  // reads made before the refusal, or in all when accepted
  };
  const Case cases[] = {
      {"empty body, limit 0", {}, 0, true, 0},
      {"one byte, limit 0", {1}, 0, false, 0},
      {"exactly the limit in one chunk", {64}, 64, true, 1},
      {"exactly the limit in chunks", {60, 3, 1}, 64, true, 3},
      {"one byte over in one chunk", {65}, 64, false, 0},
      {"one byte over in the last chunk", {60, 3, 2}, 64, false, 2},
      {"a huge announcement", {0xFFFFFFFF}, 16777216, false, 0},
      {"a small body under the package limit", {100}, 16777216, true, 1},
      {"the largest package in 16 KiB chunks", std::vector<DWORD>(1024, 16384), 16777216, true, 1024},
      {"the largest package and one byte",
       [] {
         std::vector<DWORD> chunks(1024, 16384);
         chunks.push_back(1);
         return chunks;
       }(),
       16777216, false, 1024},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake = Fake{};
    fake.chunks = c.chunks;
    if (c.accepted) {
      std::size_t total = 0;
      for (DWORD chunk : c.chunks) {
        total += chunk;
      }
      const ResponseBody body = FetchUpdateResource(FakeApi(), L"h", L"/p", c.limit);
      EXPECT_EQ(Copy(body), Pattern(total));
      // The memory follows the body, not the limit, and never passes the limit's pages.
      constexpr std::size_t kPage = 4096;
      EXPECT_LE(CommittedBytes(body), std::max<std::size_t>(64 * 1024, 2 * total));
      EXPECT_LE(CommittedBytes(body), (c.limit + kPage - 1) / kPage * kPage);
    } else {
      EXPECT_EQ(FailureOf(FakeApi(), c.limit), "The support update exceeded its safe size limit.");
    }
    EXPECT_EQ(fake.read_calls, c.reads);
    EXPECT_EQ(fake.closed, (std::vector<HINTERNET>{kRequest, kConnection, kSession}));
  }
}

// A proxy asking for authentication gets one more request with the user's own logon, for a scheme
// that can carry it; anything else ends as an unexpected response, as before.
TEST_F(UpdateServiceClient, AnswersAProxysAuthenticationRequestOnceWithTheDefaultCredentials) {
  constexpr DWORD kNegotiate = WINHTTP_AUTH_SCHEME_NEGOTIATE, kNtlm = WINHTTP_AUTH_SCHEME_NTLM,
                  kBasic = WINHTTP_AUTH_SCHEME_BASIC, kDigest = WINHTTP_AUTH_SCHEME_DIGEST;
  struct Case {
    const char* name;
    DWORD status, offered, target, status_with_credentials;
    std::vector<DWORD> credentials;
    int sends;
    bool fetched;
  };
  const Case cases[] = {
      {"negotiate, then accepted",
       407,
       kNegotiate | kNtlm | kBasic,
       WINHTTP_AUTH_TARGET_PROXY,
       200,
       {kNegotiate},
       2,
       true},
      {"ntlm, then accepted", 407, kNtlm | kBasic, WINHTTP_AUTH_TARGET_PROXY, 200, {kNtlm}, 2, true},
      {"ntlm, refused again", 407, kNtlm, WINHTTP_AUTH_TARGET_PROXY, 407, {kNtlm}, 2, false},
      {"basic and digest only", 407, kBasic | kDigest, WINHTTP_AUTH_TARGET_PROXY, 200, {}, 1, false},
      {"no scheme offered", 407, 0, WINHTTP_AUTH_TARGET_PROXY, 200, {}, 1, false},
      {"a server's 401", 401, kNtlm, WINHTTP_AUTH_TARGET_SERVER, 200, {}, 1, false},
      {"the server, not a proxy", 407, kNtlm, WINHTTP_AUTH_TARGET_SERVER, 200, {}, 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake = Fake{};
    fake.chunks = {4};
    fake.status = c.status;
    fake.auth_schemes = c.offered;
    fake.auth_target = c.target;
    fake.status_with_credentials = c.status_with_credentials;
    if (c.fetched) {
      EXPECT_EQ(Copy(FetchUpdateResource(FakeApi(), L"h", L"/p", 4096)), Pattern(4));
    } else {
      EXPECT_EQ(FailureOf(FakeApi(), 4096), "The support update service returned an unexpected response.");
    }
    EXPECT_EQ(fake.credentials, c.credentials);
    EXPECT_EQ(fake.sends, c.sends);
  }
  // The second send's failure keeps the send's sentence.
  fake = Fake{};
  fake.status = 407;
  fake.auth_schemes = kNtlm;
  fake.fail_at = Step::kSend;
  fake.fail_on_call = 1;
  EXPECT_EQ(FailureOf(FakeApi(), 4096), "The support update request failed.");
}

// WinHTTP may deliver the bytes it announced over several reads; a read of none ends the body.
TEST_F(UpdateServiceClient, ReadsUntilTheAnnouncedBytesOrNoneArrive) {
  struct Case {
    const char* name;
    DWORD short_read_by;
    bool ends_early;
    std::size_t size;
    int reads;
  };
  const Case cases[] = {
      {"whole reads", 0, false, 8, 2},
      {"each chunk over two reads", 1, false, 8, 4},
      {"a first read of none ends each chunk", 4, false, 0, 2},
      {"each chunk ends a byte early", 1, true, 6, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake = Fake{};
    fake.chunks = {4, 4};
    fake.short_read_by = c.short_read_by;
    fake.ends_early = c.ends_early;
    const ResponseBody body = FetchUpdateResource(FakeApi(), L"h", L"/p", 4096);
    EXPECT_EQ(Copy(body), Pattern(c.size));
    EXPECT_EQ(fake.read_calls, c.reads);
  }
}

// The system libraries stay loaded to the process's end: a FreeLibrary that does not balance a
// load (as static destruction at exit does) cannot unload them under WinHTTP's threads.
TEST(SystemLibrary, StaysLoadedForTheRestOfTheProcess) {
  // A System32 library that nothing in this test has loaded yet.
  const wchar_t* name = nullptr;
  for (const wchar_t* candidate : {L"msimg32.dll", L"hid.dll", L"cabinet.dll", L"dbghelp.dll"}) {
    if (::GetModuleHandleW(candidate) == nullptr) {
      name = candidate;
      break;
    }
  }
  ASSERT_NE(name, nullptr);
  { const SystemLibrary library(name); }
  const HMODULE module = ::GetModuleHandleW(name);
  ASSERT_NE(module, nullptr);
  ::FreeLibrary(module);
  ::FreeLibrary(module);
  EXPECT_NE(::GetModuleHandleW(name), nullptr);
}

TEST_F(UpdateServiceClient, AMissingFunctionMeansNoHttpService) {
  WinHttpApi api = FakeApi();
  api.QueryDataAvailable = nullptr;
  EXPECT_EQ(FailureOf(api, 4096), "The Windows HTTP service is unavailable.");
  EXPECT_TRUE(fake.agent.empty());  // nothing was called
}

TEST(SizeLimit, IsInclusiveAndNeverWraps) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  struct Case {
    std::uint64_t current, announced, limit;
    bool exceeds;
  };
  const Case cases[] = {
      {0, 0, 0, false},           {0, 1, 0, true},       {4095, 1, 4096, false}, {4096, 1, 4096, true},
      {0, 4097, 4096, true},      {5000, 1, 4096, true}, {0, kMax, kMax, false}, {1, kMax, kMax, true},
      {kMax - 1, 1, kMax, false}, {kMax, 1, kMax, true}, {10, 5, 3, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ExceedsSizeLimit(c.current, c.announced, c.limit), c.exceeds)
        << c.current << " + " << c.announced << " vs " << c.limit;
  }
}

}  // namespace
}  // namespace qvs
