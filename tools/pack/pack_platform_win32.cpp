#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <io.h>

#include <csignal>
#include <initializer_list>
#include <memory>

#include "pack_platform.h"

namespace {

struct LocalFreer {
  void operator()(LPWSTR* block) const { LocalFree(block); }
};

// `wide` in the ANSI code page, but only if it converts back to the same
// characters: a best-fit substitute ("a" for "ä") would name another file.
bool toAnsi(const std::wstring& wide, std::string* narrow) {
  narrow->clear();
  if (wide.empty()) return true;
  UINT codePage = GetACP();
  // The UTF-8 code page accepts no flags; the round trip below still catches
  // what it cannot carry.
  DWORD flags = codePage == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
  int length = static_cast<int>(wide.size());
  int bytes =
      WideCharToMultiByte(codePage, flags, wide.data(), length, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return false;
  std::string converted(static_cast<std::size_t>(bytes), '\0');
  if (WideCharToMultiByte(codePage, flags, wide.data(), length, converted.data(), bytes, nullptr,
                          nullptr) != bytes) {
    return false;
  }
  int chars = MultiByteToWideChar(codePage, 0, converted.data(), bytes, nullptr, 0);
  if (chars <= 0) return false;
  std::wstring back(static_cast<std::size_t>(chars), L'\0');
  MultiByteToWideChar(codePage, 0, converted.data(), bytes, back.data(), chars);
  if (back != wide) return false;
  *narrow = std::move(converted);
  return true;
}

std::wstring fromAnsi(const std::string& narrow) {
  if (narrow.empty()) return std::wstring();
  int length = static_cast<int>(narrow.size());
  int chars = MultiByteToWideChar(CP_ACP, 0, narrow.data(), length, nullptr, 0);
  if (chars <= 0) return std::wstring();
  std::wstring wide(static_cast<std::size_t>(chars), L'\0');
  MultiByteToWideChar(CP_ACP, 0, narrow.data(), length, wide.data(), chars);
  return wide;
}

struct HandleCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using ScopedHandle = std::unique_ptr<void, HandleCloser>;

// A handle on `path` that reads nothing and denies nobody anything; folders
// open only with backup semantics.
ScopedHandle openForInformation(const std::filesystem::path& path, DWORD access) {
  HANDLE handle =
      CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  return ScopedHandle(handle == INVALID_HANDLE_VALUE ? nullptr : handle);
}

}  // namespace

bool isTerminal(std::FILE* stream) {
  return _isatty(_fileno(stream)) != 0;
}

bool narrowPath(const std::filesystem::path& path, std::string* narrow) {
  return toAnsi(path.native(), narrow);
}

bool manifestNameOf(const std::filesystem::path& relative, std::string* name) {
  return toAnsi(relative.generic_wstring(), name);
}

std::filesystem::path manifestNamePath(const std::string& name) {
  return std::filesystem::path(fromAnsi(name));
}

std::string fileSystemKey(const std::string& name) {
  // NTFS compares names by upper-casing them character by character, as the
  // invariant locale does; separators are made alike too.
  std::wstring wide = std::filesystem::path(fromAnsi(name)).generic_wstring();
  if (wide.empty()) return name;
  int length = static_cast<int>(wide.size());
  std::wstring upper(wide.size(), L'\0');
  if (LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, wide.data(), length, upper.data(), length) !=
      length) {
    return name;
  }
  std::string key;
  if (!toAnsi(upper, &key)) {
    // Upper case outside the code page: the wide text itself, byte by byte,
    // still tells names apart.
    key.assign(reinterpret_cast<const char*>(upper.data()), upper.size() * sizeof(wchar_t));
  }
  return key;
}

std::filesystem::path pathArgument(int index, const char* narrow) {
  int count = 0;
  std::unique_ptr<LPWSTR, LocalFreer> args(CommandLineToArgvW(GetCommandLineW(), &count));
  if (!args || index < 0 || index >= count) return std::filesystem::path(narrow);
  return std::filesystem::path(args.get()[index]);
}

bool fileIdentity(const std::filesystem::path& path, FileIdentity* identity) {
  ScopedHandle handle = openForInformation(path, 0);
  BY_HANDLE_FILE_INFORMATION info;
  if (!handle || !GetFileInformationByHandle(handle.get(), &info)) return false;
  identity->volume = info.dwVolumeSerialNumber;
  identity->index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

bool syncToDisk(const std::filesystem::path& path) {
  std::error_code error;
  // Windows has no call that flushes a folder's entries alone; NTFS logs
  // each rename in its journal, so after a power cut it is there or not.
  if (std::filesystem::is_directory(path, error)) return true;
  ScopedHandle handle = openForInformation(path, GENERIC_WRITE);
  return handle && FlushFileBuffers(handle.get());
}

FilePtr openDiscard() {
  return FilePtr(std::fopen("NUL", "wb"));
}

void onInterruptRequest(void (*handler)(int)) {
  // The runtime maps Ctrl-C to SIGINT and Ctrl-Break to SIGBREAK.
  for (int number : {SIGINT, SIGTERM, SIGBREAK}) std::signal(number, handler);
}
