// qvs-floor.exe: the benchmark's floor. The launcher's normal mode written as straight-line
// platform calls with the launcher's settings and nothing else: no std::filesystem, no streams,
// no path canonicalisation, no exceptions on the way, every buffer sized once. Timing it beside
// the launcher shows what the launcher spends beyond the calls it cannot avoid. It must never
// be published: it shows no dialog and checks only what the benchmark needs to stay honest (the
// signature, the package's length and digest and, built with a log key, the release log's proof);
// any failure is exit code 1. The proof's parse and Merkle arithmetic are the launcher's own
// platform-free code: the floor differs from the launcher in how it calls the platform, not in
// what it checks.
#include <windows.h>
#include <bcrypt.h>
#include <knownfolders.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>
#include <winhttp.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "build_config.h"
#include "common/com_ptr.h"
#include "common/kernel_handle.h"
#include "common/scope_guard.h"
#include "common/update_service_layout.h"
#include "service/system_winhttp.h"
#include "trust/bcrypt_api.h"
#include "trust/log_proof.h"

namespace {

constexpr int kStarted = 0;
constexpr int kFailed = 1;
constexpr std::uint64_t kDescriptorLimit = qvs::kDescriptorSizeLimit;
constexpr std::uint64_t kSignatureLimit = qvs::kSignatureSizeLimit;
constexpr std::uint64_t kPackageLimit = qvs::kPackageSizeLimit;
constexpr qvs::WideText kUserAgent = qvs::Widen(qvs::kLauncherUserAgent);
constexpr qvs::WideText kDescriptorResource = qvs::Widen(qvs::kDescriptorResourcePath);
constexpr qvs::WideText kSignatureResource = qvs::Widen(qvs::kSignatureResourcePath);
constexpr std::uint64_t kProofLimit = qvs::kProofSizeLimit;
constexpr wchar_t kShortcutDescription[] = L"Start an attended Quorvantis Support session";

struct Failure {};

void Require(bool condition) {
  if (!condition) {
    throw Failure{};
  }
}

using Module = qvs::ScopedHandle<HMODULE, qvs::ReleaseWith<::FreeLibrary>>;
using File = qvs::ScopedFileHandle;

// A whole body or file in one region: address space for the limit, committed a mebibyte at a
// time as bytes arrive. Nothing is zero-filled by us and nothing is ever copied.
class Bytes {
 public:
  explicit Bytes(std::uint64_t limit)
      : limit_(static_cast<std::size_t>(limit ? limit : 1)),
        region_(static_cast<std::uint8_t*>(::VirtualAlloc(nullptr, limit_, MEM_RESERVE, PAGE_READWRITE))) {
    Require(static_cast<bool>(region_));
  }
  std::uint8_t* Grow(std::size_t count) {
    Require(count <= limit_ - size_);
    if (size_ + count > committed_) {
      constexpr std::size_t kStep = 1 << 20;
      const std::size_t wanted = (size_ + count + kStep - 1) / kStep * kStep;
      committed_ = wanted < limit_ ? wanted : limit_;
      Require(::VirtualAlloc(region_.get(), committed_, MEM_COMMIT, PAGE_READWRITE) != nullptr);
    }
    std::uint8_t* tail = region_.get() + size_;
    size_ += count;
    return tail;
  }
  const std::uint8_t* data() const { return region_.get(); }
  std::size_t size() const { return size_; }
  std::string_view text() const { return {reinterpret_cast<const char*>(data()), size_}; }

 private:
  std::size_t limit_;
  qvs::ScopedVirtualRegion region_;
  std::size_t size_ = 0;
  std::size_t committed_ = 0;
};

std::wstring KnownFolder(const KNOWNFOLDERID& id) {
  qvs::ScopedHandle<PWSTR, qvs::ReleaseWith<::CoTaskMemFree>> text;
  Require(SUCCEEDED(::SHGetKnownFolderPath(id, KF_FLAG_CREATE, nullptr, text.receive())) && text);
  return text.get();
}

void MakeFolder(const std::wstring& path) {
  Require(::CreateDirectoryW(path.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS);
}

// One GET in its own session, connection and request, with the launcher's settings.
void Fetch(const qvs::WinHttpApi& http, const wchar_t* resource, std::uint64_t limit, Bytes& body) {
  const auto close = [&http](HINTERNET handle) { http.CloseHandle(handle); };
  auto session = qvs::ScopedWith<HINTERNET>(close);
  auto connection = qvs::ScopedWith<HINTERNET>(close);
  auto request = qvs::ScopedWith<HINTERNET>(close);
  *session.receive() = http.Open(kUserAgent.text, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                                 WINHTTP_NO_PROXY_BYPASS, 0);
  Require(session.get() != nullptr);
  http.SetTimeouts(session.get(), 5000, 5000, 10000, 15000);
  DWORD response_timeout = 15000;
  http.SetOption(session.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &response_timeout, sizeof(response_timeout));
  *connection.receive() = http.Connect(session.get(), qvs::kUpdateServiceHost, 443, 0);
  Require(connection.get() != nullptr);
  *request.receive() = http.OpenRequest(connection.get(), L"GET", resource, nullptr, WINHTTP_NO_REFERER,
                                        WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE);
  Require(request.get() != nullptr);
  DWORD redirect_policy = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
  http.SetOption(request.get(), WINHTTP_OPTION_REDIRECT_POLICY, &redirect_policy, sizeof(redirect_policy));
  Require(http.SendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) &&
          http.ReceiveResponse(request.get(), nullptr));
  DWORD status = 0;
  DWORD status_length = sizeof(status);
  Require(http.QueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &status, &status_length, WINHTTP_NO_HEADER_INDEX) &&
          status == 200);
  for (;;) {
    DWORD available = 0;
    Require(http.QueryDataAvailable(request.get(), &available));
    if (available == 0) {
      return;
    }
    Require(available <= limit && body.size() <= limit - available);
    DWORD read = 0;
    Require(http.ReadData(request.get(), body.Grow(available), available, &read) && read == available);
  }
}

void ReadWhole(const std::wstring& path, std::uint64_t limit, Bytes& bytes) {
  const File file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  Require(static_cast<bool>(file));
  LARGE_INTEGER size{};
  Require(::GetFileSizeEx(file.get(), &size) && static_cast<std::uint64_t>(size.QuadPart) <= limit);
  const auto count = static_cast<DWORD>(size.QuadPart);
  DWORD read = 0;
  Require(count == 0 || (::ReadFile(file.get(), bytes.Grow(count), count, &read, nullptr) && read == count));
}

// Staging file beside the target, written and forced to disk on one handle, then renamed over it.
void WriteDurably(const std::wstring& path, const void* data, std::size_t size) {
  const std::wstring staging = path + L".new";
  {
    const File file(
        ::CreateFileW(staging.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    Require(static_cast<bool>(file));
    DWORD written = 0;
    Require(size == 0 ||
            (::WriteFile(file.get(), data, static_cast<DWORD>(size), &written, nullptr) && written == size));
    Require(::FlushFileBuffers(file.get()));
  }
  Require(::MoveFileExW(staging.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
}

using Digest = std::array<std::uint8_t, 32>;

Digest Sha256(const qvs::BCryptApi& crypt, const std::uint8_t* data, std::size_t size) {
  auto provider =
      qvs::ScopedWith<BCRYPT_ALG_HANDLE>([&](BCRYPT_ALG_HANDLE handle) { crypt.CloseAlgorithmProvider(handle, 0); });
  Require(crypt.OpenAlgorithmProvider(provider.receive(), BCRYPT_SHA256_ALGORITHM, nullptr, 0) >= 0);
  DWORD object_length = 0;
  ULONG written = 0;
  Require(crypt.GetProperty(provider.get(), BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&object_length),
                            sizeof(object_length), &written, 0) >= 0);
  std::string hash_object(object_length, '\0');
  auto hash = qvs::ScopedWith<BCRYPT_HASH_HANDLE>([&](BCRYPT_HASH_HANDLE handle) { crypt.DestroyHash(handle); });
  Require(crypt.CreateHash(provider.get(), hash.receive(), reinterpret_cast<PUCHAR>(hash_object.data()), object_length,
                           nullptr, 0, 0) >= 0);
  Require(size == 0 || crypt.HashData(hash.get(), const_cast<PUCHAR>(data), static_cast<ULONG>(size), 0) >= 0);
  Digest digest{};
  Require(crypt.FinishHash(hash.get(), digest.data(), static_cast<ULONG>(digest.size()), 0) >= 0);
  return digest;
}

std::string HexText(const Digest& digest) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (const std::uint8_t byte : digest) {
    text.push_back(kHex[byte >> 4]);
    text.push_back(kHex[byte & 0x0F]);
  }
  return text;
}

// One ECDSA P-256 check of a 64-byte r||s signature over the message's SHA-256.
template <std::size_t kBlobSize>
bool Verifies(const qvs::BCryptApi& crypt, const std::array<std::uint8_t, kBlobSize>& key_blob,
              const std::uint8_t* message, std::size_t size, const std::uint8_t* signature) {
  Digest digest = Sha256(crypt, message, size);
  auto provider =
      qvs::ScopedWith<BCRYPT_ALG_HANDLE>([&](BCRYPT_ALG_HANDLE handle) { crypt.CloseAlgorithmProvider(handle, 0); });
  Require(crypt.OpenAlgorithmProvider(provider.receive(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) >= 0);
  auto key = qvs::ScopedWith<BCRYPT_KEY_HANDLE>([&](BCRYPT_KEY_HANDLE handle) { crypt.DestroyKey(handle); });
  auto blob = key_blob;
  Require(crypt.ImportKeyPair(provider.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, key.receive(), blob.data(),
                              static_cast<ULONG>(blob.size()), 0) >= 0);
  std::uint8_t signature_bytes[64];
  std::memcpy(signature_bytes, signature, sizeof(signature_bytes));
  return crypt.VerifySignature(key.get(), nullptr, digest.data(), static_cast<ULONG>(digest.size()), signature_bytes,
                               sizeof(signature_bytes), 0) >= 0;
}

void VerifySignature(const qvs::BCryptApi& crypt, const Bytes& descriptor, const Bytes& signature) {
  Require(signature.size() == 64);
  Require(Verifies(crypt, qvs::kTrustedUpdateKey, descriptor.data(), descriptor.size(), signature.data()));
}

qvs::ByteView View(const Bytes& bytes) { return {bytes.data(), bytes.size()}; }

// The value of "name=" in a descriptor whose signature is proven; the benchmark's site writes it.
std::string Field(std::string_view descriptor, std::string_view name) {
  std::string key(1, '\n');
  key.append(name).push_back('=');
  const std::size_t start = descriptor.find(key);
  Require(start != std::string_view::npos);
  const std::size_t value = start + key.size();
  const std::size_t end = descriptor.find('\n', value);
  Require(end != std::string_view::npos);
  return std::string(descriptor.substr(value, end - value));
}

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// As the launcher: a link that already opens and shows the target is left alone.
bool IsLauncherShortcut(IShellLinkW* link, const std::wstring& target) {
  wchar_t text[MAX_PATH + 1] = {};
  int icon = -1;
  return SUCCEEDED(link->GetPath(text, MAX_PATH, nullptr, SLGP_RAWPATH)) && target == text &&
         SUCCEEDED(link->GetArguments(text, MAX_PATH)) && text[0] == L'\0' &&
         SUCCEEDED(link->GetWorkingDirectory(text, MAX_PATH)) && text[0] == L'\0' &&
         SUCCEEDED(link->GetDescription(text, MAX_PATH)) && std::wstring_view(kShortcutDescription) == text &&
         SUCCEEDED(link->GetIconLocation(text, MAX_PATH, &icon)) && target == text && icon == 0;
}

void WriteShortcut(const std::wstring& shortcut, const std::wstring& target) {
  qvs::ComPtr<IShellLinkW> link;
  if (FAILED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(link.receive())))) {
    return;
  }
  qvs::ComPtr<IPersistFile> file;
  if (FAILED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(file.receive())))) {
    return;
  }
  if (SUCCEEDED(file->Load(shortcut.c_str(), STGM_READ)) && IsLauncherShortcut(link.get(), target)) {
    return;
  }
  link->SetPath(target.c_str());
  link->SetDescription(kShortcutDescription);
  link->SetIconLocation(target.c_str(), 0);
  file->Save(shortcut.c_str(), TRUE);
}

void Start(const std::wstring& path) {
  const std::wstring folder = path.substr(0, path.rfind(L'\\'));
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof(info);
  info.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI | SEE_MASK_NOCLOSEPROCESS;
  info.lpFile = path.c_str();
  info.lpDirectory = folder.c_str();
  info.nShow = SW_SHOWNORMAL;
  Require(::ShellExecuteExW(&info));
  const qvs::ScopedKernelHandle process(info.hProcess);
  if (process) {
    ::AllowSetForegroundWindow(::GetProcessId(process.get()));
  }
}

bool SameAsciiFolded(const std::wstring& left, const std::wstring& right) {
  if (left.size() != right.size()) {
    return false;
  }
  for (std::size_t i = 0; i < left.size(); ++i) {
    const auto fold = [](wchar_t unit) { return (unit >= L'A' && unit <= L'Z') ? unit - L'A' + L'a' : unit; };
    if (fold(left[i]) != fold(right[i])) {
      return false;
    }
  }
  return true;
}

struct Release {
  std::string version;
  std::wstring host_path;
  std::uint64_t size;
  std::string sha256;
};

Release ReadRecord(const Bytes& descriptor, const std::wstring& data_folder) {
  const std::string_view text = descriptor.text();
  Release release;
  release.version = Field(text, "version");
  release.host_path = data_folder + L"\\versions\\" + Widen(release.version) + L"\\QuorvantisSupportHost.exe";
  release.size = std::stoull(Field(text, "size"));
  release.sha256 = Field(text, "sha256");
  return release;
}

bool Matches(const qvs::BCryptApi& crypt, const Bytes& package, const Release& release) {
  return package.size() == release.size && HexText(Sha256(crypt, package.data(), package.size())) == release.sha256;
}

// The release log as a launcher built with the log key checks it: the tree size a proof proves
// for the pair's leaf, or a failure.
std::uint64_t ProvenTreeSize(const qvs::BCryptApi& crypt, const Bytes& proof, const qvs::Sha256Digest& leaf) {
  const qvs::Sha256Function sha256 = [&crypt](qvs::ByteView bytes) {
    return Sha256(crypt, bytes.data(), bytes.size());
  };
  qvs::LogTrust trust;
  const Digest info = Sha256(crypt, qvs::kLogKeyInfo.data(), qvs::kLogKeyInfo.size());
  trust.origin = qvs::kLogOrigin;
  trust.keys.push_back({qvs::NoteKeyId(info.data()), [&crypt](qvs::ByteView message, qvs::ByteView signature) {
                          return signature.size() == 64 &&
                                 Verifies(crypt, qvs::kLogKey, message.data(), message.size(), signature.data());
                        }});
  try {
    return qvs::VerifyLogProof(View(proof), leaf, trust, sha256);
  } catch (const std::exception&) {
    throw Failure{};
  }
}

qvs::Sha256Digest Leaf(const qvs::BCryptApi& crypt, const Bytes& descriptor, const Bytes& signature) {
  return qvs::LogLeafHash(View(descriptor), View(signature),
                          [&crypt](qvs::ByteView bytes) { return Sha256(crypt, bytes.data(), bytes.size()); });
}

std::wstring ProofPath(const std::wstring& data_folder, const qvs::Sha256Digest& leaf) {
  return data_folder + L"\\proof\\" + Widen(HexText(leaf));
}

bool SameBytes(const Bytes& left, const Bytes& right) {
  return left.size() == right.size() && (left.size() == 0 || std::memcmp(left.data(), right.data(), left.size()) == 0);
}

// For a refresh: nothing when the stored pair is the served one and its stored proof holds;
// otherwise the served pair's proof is fetched, checked against the stored pair's tree and
// stored before the descriptor.
[[maybe_unused]] void ProveServedRelease(const qvs::WinHttpApi& http, const qvs::BCryptApi& crypt,
                                         const std::wstring& data_folder, const Bytes& descriptor,
                                         const Bytes& signature) {
  // A store without a pair whose proof holds has no tree to rise above.
  std::uint64_t seen = 0;
  const std::wstring stored_descriptor_path = data_folder + L"\\stable.manifest";
  if (::GetFileAttributesW(stored_descriptor_path.c_str()) != INVALID_FILE_ATTRIBUTES) {
    Bytes stored_descriptor(kDescriptorLimit);
    Bytes stored_signature(kSignatureLimit);
    Bytes stored_proof(kProofLimit);
    try {
      ReadWhole(stored_descriptor_path, kDescriptorLimit, stored_descriptor);
      ReadWhole(data_folder + L"\\stable.manifest.sig", kSignatureLimit, stored_signature);
      const qvs::Sha256Digest stored_leaf = Leaf(crypt, stored_descriptor, stored_signature);
      ReadWhole(ProofPath(data_folder, stored_leaf), kProofLimit, stored_proof);
      seen = ProvenTreeSize(crypt, stored_proof, stored_leaf);
    } catch (const Failure&) {
      seen = 0;
    }
    if (seen != 0 && SameBytes(stored_descriptor, descriptor) && SameBytes(stored_signature, signature)) {
      return;
    }
  }
  const qvs::Sha256Digest leaf = Leaf(crypt, descriptor, signature);
  Bytes proof(kProofLimit);
  Fetch(http, Widen(qvs::kProofResourcePath + HexText(leaf)).c_str(), kProofLimit, proof);
  Require(ProvenTreeSize(crypt, proof, leaf) > seen);
  MakeFolder(data_folder + L"\\proof");
  WriteDurably(ProofPath(data_folder, leaf), proof.data(), proof.size());
}

std::wstring Refresh(const qvs::WinHttpApi& http, const qvs::BCryptApi& crypt, const std::wstring& data_folder) {
  Bytes descriptor(kDescriptorLimit);
  Bytes signature(kSignatureLimit);
  Fetch(http, kDescriptorResource.text, kDescriptorLimit, descriptor);
  Fetch(http, kSignatureResource.text, kSignatureLimit, signature);
  VerifySignature(crypt, descriptor, signature);
  const Release release = ReadRecord(descriptor, data_folder);
  const std::string path = Field(descriptor.text(), "path");
  if constexpr (qvs::kChecksReleaseLog) {
    ProveServedRelease(http, crypt, data_folder, descriptor, signature);
  }

  bool reused = false;
  if (::GetFileAttributesW(release.host_path.c_str()) != INVALID_FILE_ATTRIBUTES) {
    Bytes stored(kPackageLimit);
    ReadWhole(release.host_path, kPackageLimit, stored);
    reused = Matches(crypt, stored, release);
  }
  if (!reused) {
    Bytes package(kPackageLimit);
    Fetch(http, Widen(path).c_str(), kPackageLimit, package);
    Require(Matches(crypt, package, release));
    MakeFolder(data_folder + L"\\versions");
    MakeFolder(data_folder + L"\\versions\\" + Widen(release.version));
    WriteDurably(release.host_path, package.data(), package.size());
  }
  WriteDurably(data_folder + L"\\stable.manifest", descriptor.data(), descriptor.size());
  WriteDurably(data_folder + L"\\stable.manifest.sig", signature.data(), signature.size());
  WriteDurably(data_folder + L"\\current.txt", release.version.data(), release.version.size());
  return release.host_path;
}

std::wstring SelectCached(const qvs::BCryptApi& crypt, const std::wstring& data_folder) {
  Bytes current(kDescriptorLimit);
  Bytes descriptor(kDescriptorLimit);
  Bytes signature(kSignatureLimit);
  ReadWhole(data_folder + L"\\current.txt", kDescriptorLimit, current);
  ReadWhole(data_folder + L"\\stable.manifest", kDescriptorLimit, descriptor);
  ReadWhole(data_folder + L"\\stable.manifest.sig", kSignatureLimit, signature);
  VerifySignature(crypt, descriptor, signature);
  const Release release = ReadRecord(descriptor, data_folder);
  Require(current.text() == release.version);
  if constexpr (qvs::kChecksReleaseLog) {
    const qvs::Sha256Digest leaf = Leaf(crypt, descriptor, signature);
    Bytes proof(kProofLimit);
    ReadWhole(ProofPath(data_folder, leaf), kProofLimit, proof);
    ProvenTreeSize(crypt, proof, leaf);
  }
  Bytes host(kPackageLimit);
  ReadWhole(release.host_path, kPackageLimit, host);
  Require(Matches(crypt, host, release));
  return release.host_path;
}

int RunNormalMode() {
  const std::wstring data_folder = KnownFolder(FOLDERID_LocalAppData) + L"\\Quorvantis Software\\QVS Support";
  MakeFolder(KnownFolder(FOLDERID_LocalAppData) + L"\\Quorvantis Software");
  MakeFolder(data_folder);
  const std::wstring installed = data_folder + L"\\QuorvantisSupport.exe";

  wchar_t module[32768];
  const DWORD length = ::GetModuleFileNameW(nullptr, module, 32768);
  Require(length != 0 && length < 32768);
  const bool is_installed = SameAsciiFolded(std::wstring(module, length), installed);
  if (!is_installed) {
    const std::wstring staging = installed + L".new";
    ::DeleteFileW(staging.c_str());
    Require(::CopyFileW(module, staging.c_str(), TRUE));
    {
      const File file(
          ::CreateFileW(staging.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
      Require(file && ::FlushFileBuffers(file.get()));
    }
    Require(::MoveFileExW(staging.c_str(), installed.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
  }
  WriteShortcut(KnownFolder(FOLDERID_Desktop) + L"\\Quorvantis Support.lnk", installed);
  const std::wstring programs = KnownFolder(FOLDERID_Programs) + L"\\Quorvantis Software";
  MakeFolder(programs);
  WriteShortcut(programs + L"\\Quorvantis Support.lnk", installed);
  if (!is_installed) {
    Start(installed);
    return kStarted;
  }

  // The launcher's own function tables, filled from System32 as the launcher fills them.
  const qvs::SystemWinHttp winhttp;
  const qvs::WinHttpApi& http = winhttp.api();
  const qvs::BCryptApi& crypt = qvs::SystemBCrypt();
  Require(http.complete() && crypt.complete());
  std::wstring host_path;
  try {
    host_path = Refresh(http, crypt, data_folder);
  } catch (const Failure&) {
    host_path = SelectCached(crypt, data_folder);
  }
  Start(host_path);
  return kStarted;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  const Module pinned_bcrypt(::LoadLibraryExW(L"bcrypt.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
  const Module pinned_crypt32(::LoadLibraryExW(L"crypt32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
  const Module pinned_winhttp(::LoadLibraryExW(L"winhttp.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
  ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  const qvs::ScopeExit uninitialize_com([] { ::CoUninitialize(); });
  int argc = 0;
  const qvs::ScopedHandle<LPWSTR*, qvs::ReleaseWith<::LocalFree>> argv(
      ::CommandLineToArgvW(::GetCommandLineW(), &argc));
  try {
    Require(static_cast<bool>(argv));
    return RunNormalMode();
  } catch (...) {
    return kFailed;
  }
}
