// file-scanner.exe [--hold MS] [--watch FOLDER]... [--hold-while-read-only FILE]...
//
// Stands in for the antivirus scanners, indexers and sync tools of users' machines: watches each
// FOLDER (not its subfolders of the moment) and every folder that appears in it later (one watch a folder: Wine's
// recursive watch misses folders created after it starts), and opens each file that is added, written or renamed there
// for reading, without delete sharing, for MS milliseconds (default 20).
//
// Windows refuses to replace a read-only file, Wine does not: each FILE given is held from the
// start for as long as it stays marked read-only, so the refusal is as real as on Windows.
//
// Prints "ready" once every watch is set, then "held PATH" for each hold (UTF-8, one line each),
// and runs until it is killed.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/kernel_handle.h"
#include "common/utf8.h"

namespace {

DWORD hold_milliseconds = 20;
std::mutex output;

void Say(const std::string& line) {
  const std::lock_guard<std::mutex> lock(output);
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

bool IsReadOnly(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

// Holds `path` for the hold time, and on while it is marked read-only when `while_read_only`. The
// file is opened at once, on the caller's thread: a scanner's hold begins as soon as it hears of
// the file; a thread of its own lets go.
bool Hold(const std::wstring& path, bool while_read_only) {
  qvs::ScopedFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    return false;
  }
  Say("held " + qvs::ToUtf8(path));
  std::thread([path, while_read_only, held = std::move(file)] {
    ::Sleep(hold_milliseconds);
    while (while_read_only && IsReadOnly(path)) {
      ::Sleep(5);
    }
  }).detach();
  return true;
}

void Watch(const std::wstring& folder, bool new_folder, std::vector<std::thread>* started);

// A folder that just appeared has its subfolders watched and its files held as well, as they may
// have been written before its watch was set.
void WatchContents(const std::wstring& folder, bool new_folder, std::vector<std::thread>* started) {
  if (!new_folder) {
    return;
  }
  WIN32_FIND_DATAW entry;
  const HANDLE search = ::FindFirstFileW((folder + L"\\*").c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) {
    return;
  }
  do {
    const std::wstring name = entry.cFileName;
    if (name == L"." || name == L"..") {
      continue;
    }
    const std::wstring path = folder + L"\\" + name;
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      Watch(path, true, started);
    } else {
      Hold(path, false);
    }
  } while (::FindNextFileW(search, &entry));
  ::FindClose(search);
}

void WatchLoop(std::wstring folder, qvs::ScopedFileHandle directory) {
  alignas(DWORD) static thread_local BYTE buffer[64 * 1024];
  DWORD returned = 0;
  while (::ReadDirectoryChangesW(directory.get(), buffer, sizeof buffer, FALSE,
                                 FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                                     FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_SIZE,
                                 &returned, nullptr, nullptr)) {
    for (DWORD offset = 0; returned != 0;) {
      const auto* change = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(buffer + offset);
      const std::wstring path =
          folder + L"\\" + std::wstring(change->FileName, change->FileNameLength / sizeof(wchar_t));
      if ((change->Action == FILE_ACTION_ADDED || change->Action == FILE_ACTION_MODIFIED ||
           change->Action == FILE_ACTION_RENAMED_NEW_NAME) &&
          !Hold(path, false) && change->Action != FILE_ACTION_MODIFIED) {
        const DWORD attributes = ::GetFileAttributesW(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
          std::vector<std::thread> nested;
          Watch(path, true, &nested);
          for (std::thread& thread : nested) {
            thread.detach();
          }
        }
      }
      if (change->NextEntryOffset == 0) {
        break;
      }
      offset += change->NextEntryOffset;
    }
  }
}

void Watch(const std::wstring& folder, bool new_folder, std::vector<std::thread>* started) {
  qvs::ScopedFileHandle directory(::CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!directory) {
    return;
  }
  // The watch is set by the first call to ReadDirectoryChangesW; changes between calls queue up.
  started->emplace_back(WatchLoop, folder, std::move(directory));
  ::Sleep(10);
  WatchContents(folder, new_folder, started);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::vector<std::wstring> folders;
  for (int i = 1; i < argc; ++i) {
    const std::wstring option = argv[i];
    if (i + 1 == argc) {
      std::fputs("usage: file-scanner [--hold MS] [--watch FOLDER]... [--hold-while-read-only FILE]...\n", stderr);
      return 2;
    }
    const std::wstring value = argv[++i];
    if (option == L"--hold") {
      hold_milliseconds = static_cast<DWORD>(std::wcstoul(value.c_str(), nullptr, 10));
    } else if (option == L"--watch") {
      folders.push_back(value);
    } else if (option == L"--hold-while-read-only") {
      if (!IsReadOnly(value)) {
        std::fputs("not marked read-only\n", stderr);
        return 1;
      }
      Hold(value, true);
    }
  }
  std::vector<std::thread> watches;
  for (const std::wstring& folder : folders) {
    Watch(folder, false, &watches);
  }
  Say("ready");
  for (std::thread& thread : watches) {
    thread.join();
  }
  ::Sleep(INFINITE);
  return 0;
}
