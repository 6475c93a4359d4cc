#include <windows.h>
// After windows.h, which it builds on.
#include <io.h>

#include <memory>
#include <vector>

#include "platform/game_folder.h"
#include "platform/running_program.h"

namespace {

struct HandleCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using HandlePtr = std::unique_ptr<void, HandleCloser>;

FileIdentity identityOf(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info)) return FileIdentity();
  FileIdentity identity;
  identity.known = true;
  identity.volume = info.dwVolumeSerialNumber;
  identity.index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return identity;
}

// The program's path in full: a game folder deep in a long path would not
// fit MAX_PATH. Windows XP fills the buffer without saying it cut the path,
// so a path that fills it (later ones say so too) is asked for again with
// twice the room.
std::wstring programPath() {
  // The longest path Windows knows.
  constexpr std::size_t kMost = 32768;
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    DWORD got = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (got == 0) return std::wstring();
    if (got < buffer.size()) return std::wstring(buffer.data(), got);
    if (buffer.size() >= kMost) return std::wstring();
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace

FileIdentity runningProgramFile() {
  std::wstring path = programPath();
  if (path.empty()) return FileIdentity();
  // Attributes only, sharing everything: the running program's file opens
  // so, and nothing else is kept from it meanwhile.
  HANDLE opened = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  if (opened == INVALID_HANDLE_VALUE) return FileIdentity();
  HandlePtr file(opened);
  return identityOf(file.get());
}

FileIdentity gameFileIdentity(const std::string& name) {
  FilePtr file(openRegularFile(name));
  if (!file) return FileIdentity();
  return identityOf(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file.get()))));
}
