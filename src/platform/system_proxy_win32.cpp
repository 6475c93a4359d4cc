#include <windows.h>
// After windows.h, which it builds on. Only its types are used: the
// functions come from winhttp.dll at run time.
#include <process.h>
#include <winhttp.h>

#include <memory>
#include <string>

#include "platform/system_proxy.h"

namespace {

// How long the run waits for automatic detection and the script together.
// WPAD's DHCP and DNS look-ups have no time-out of their own, and Wine's
// script download ignores the session's: the wait is what bounds them.
constexpr DWORD kAutomaticProxyWaitMs = 15000;
// Each step of a script's download, where WinHTTP honours it.
constexpr int kScriptStepTimeoutMs = 5000;

using GetIEProxyConfigFn = BOOL(WINAPI*)(WINHTTP_CURRENT_USER_IE_PROXY_CONFIG*);
using OpenFn = HINTERNET(WINAPI*)(LPCWSTR, DWORD, LPCWSTR, LPCWSTR, DWORD);
using SetTimeoutsFn = BOOL(WINAPI*)(HINTERNET, int, int, int, int);
using GetProxyForUrlFn = BOOL(WINAPI*)(HINTERNET, LPCWSTR, WINHTTP_AUTOPROXY_OPTIONS*,
                                       WINHTTP_PROXY_INFO*);
using CloseHandleFn = BOOL(WINAPI*)(HINTERNET);

// winhttp.dll, loaded for as long as this lives. Windows XP before SP1 has
// none: then nothing loads and every function is null.
class WinHttpLibrary {
 public:
  WinHttpLibrary() : module_(load()) {}
  ~WinHttpLibrary() {
    if (module_) FreeLibrary(module_);
  }
  WinHttpLibrary(const WinHttpLibrary&) = delete;
  WinHttpLibrary& operator=(const WinHttpLibrary&) = delete;

  template <typename Fn>
  Fn function(const char* name) const {
    if (!module_) return nullptr;
    // Through void(*)(), which GCC accepts as a cast between function types.
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module_, name)));
  }

 private:
  // From the system folder by its full path: a bare name would be looked
  // for in the game's folder first, where anyone could put a winhttp.dll.
  static HMODULE load() {
    UINT size = GetSystemDirectoryW(nullptr, 0);
    if (size == 0) return nullptr;
    std::wstring path(size, L'\0');
    UINT length = GetSystemDirectoryW(&path[0], size);
    if (length == 0 || length >= size) return nullptr;
    path.resize(length);
    path += L"\\winhttp.dll";
    return LoadLibraryW(path.c_str());
  }

  HMODULE module_;
};

// A string WinHTTP allocated for the caller, freed with GlobalFree.
class GlobalText {
 public:
  explicit GlobalText(LPWSTR text) : text_(text) {}
  ~GlobalText() {
    if (text_) GlobalFree(text_);
  }
  GlobalText(const GlobalText&) = delete;
  GlobalText& operator=(const GlobalText&) = delete;
  const wchar_t* get() const { return text_; }

 private:
  LPWSTR text_;
};

class InternetHandle {
 public:
  InternetHandle(CloseHandleFn close, HINTERNET handle) : close_(close), handle_(handle) {}
  ~InternetHandle() {
    if (handle_) close_(handle_);
  }
  InternetHandle(const InternetHandle&) = delete;
  InternetHandle& operator=(const InternetHandle&) = delete;
  HINTERNET get() const { return handle_; }

 private:
  CloseHandleFn close_;
  HINTERNET handle_;
};

class Event {
 public:
  Event() : handle_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
  ~Event() {
    if (handle_) CloseHandle(handle_);
  }
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

// UTF-8, which keeps every character of a host name (an ANSI code page
// would turn those it lacks into '?'); libcurl takes the bytes as they are.
std::string narrow(const wchar_t* text) {
  if (!text || !*text) return std::string();
  int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return std::string();
  std::string out(static_cast<std::size_t>(size), '\0');
  if (WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], size, nullptr, nullptr) != size) {
    return std::string();
  }
  out.resize(static_cast<std::size_t>(size - 1));
  return out;
}

std::wstring widen(const std::string& text) {
  if (text.empty()) return std::wstring();
  int size = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
  if (size <= 1) return std::wstring();
  std::wstring out(static_cast<std::size_t>(size), L'\0');
  if (MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &out[0], size) != size) {
    return std::wstring();
  }
  out.resize(static_cast<std::size_t>(size - 1));
  return out;
}

// One automatic resolution, shared by the run and the thread that does it:
// whichever lets go last frees it, so a resolution the run stopped waiting
// for still ends cleanly, its library loaded until then.
struct Resolution {
  WinHttpLibrary winhttp;
  std::wstring url;
  std::wstring configUrl;
  bool autoDetect = false;
  Event done;
  AutomaticProxy result;  // written before `done` is set
};

// What WinHTTP names for the URL with `options`; "" for no proxy or a
// failure. A script server that asks who is there gets the user's logon,
// but only once it has asked.
std::string askWinHttp(const Resolution& job, HINTERNET session,
                       WINHTTP_AUTOPROXY_OPTIONS options) {
  auto getProxyForUrl = job.winhttp.function<GetProxyForUrlFn>("WinHttpGetProxyForUrl");
  if (!getProxyForUrl) return std::string();
  for (BOOL logon : {FALSE, TRUE}) {
    options.fAutoLogonIfChallenged = logon;
    WINHTTP_PROXY_INFO info{};
    BOOL ok = getProxyForUrl(session, job.url.c_str(), &options, &info);
    DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    GlobalText proxy(info.lpszProxy);
    GlobalText bypass(info.lpszProxyBypass);
    if (ok) {
      return info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY ? narrow(proxy.get())
                                                                  : std::string();
    }
    if (error != ERROR_WINHTTP_LOGIN_FAILURE) break;
  }
  return std::string();
}

// Detection first, then the script, as Internet Explorer tries them; Wine
// refuses the two in one call.
AutomaticProxy resolve(const Resolution& job) {
  auto open = job.winhttp.function<OpenFn>("WinHttpOpen");
  auto setTimeouts = job.winhttp.function<SetTimeoutsFn>("WinHttpSetTimeouts");
  auto close = job.winhttp.function<CloseHandleFn>("WinHttpCloseHandle");
  if (!open || !setTimeouts || !close) return AutomaticProxy();
  InternetHandle session(close, open(L"Brightwick Updater", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                     WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session.get()) return AutomaticProxy();
  setTimeouts(session.get(), kScriptStepTimeoutMs, kScriptStepTimeoutMs, kScriptStepTimeoutMs,
              kScriptStepTimeoutMs);
  if (job.autoDetect) {
    WINHTTP_AUTOPROXY_OPTIONS options{};
    options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
    options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    std::string proxy = askWinHttp(job, session.get(), options);
    if (!proxy.empty()) return {ProxySource::autoDetect, proxy};
  }
  if (!job.configUrl.empty()) {
    WINHTTP_AUTOPROXY_OPTIONS options{};
    options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
    options.lpszAutoConfigUrl = job.configUrl.c_str();
    std::string proxy = askWinHttp(job, session.get(), options);
    if (!proxy.empty()) return {ProxySource::script, proxy};
  }
  return AutomaticProxy();
}

void resolveOnThread(void* argument) {
  std::unique_ptr<std::shared_ptr<Resolution>> held(
      static_cast<std::shared_ptr<Resolution>*>(argument));
  Resolution& job = **held;
  try {
    job.result = resolve(job);
  } catch (...) {
    job.result = AutomaticProxy();
  }
  SetEvent(job.done.get());
}

// Resolves on a thread of its own and waits at most kAutomaticProxyWaitMs
// for it; nothing if it takes longer.
AutomaticProxy resolveWithin(const std::string& url, const std::string& configUrl,
                             bool autoDetect) {
  auto job = std::make_shared<Resolution>();
  job->url = widen(url);
  job->configUrl = widen(configUrl);
  job->autoDetect = autoDetect;
  if (!job->done.get() || job->url.empty()) return AutomaticProxy();
  auto* handed = new std::shared_ptr<Resolution>(job);
  std::uintptr_t thread = _beginthread(resolveOnThread, 0, handed);
  if (thread == static_cast<std::uintptr_t>(-1) || thread == 0) {
    delete handed;
    return AutomaticProxy();
  }
  if (WaitForSingleObject(job->done.get(), kAutomaticProxyWaitMs) != WAIT_OBJECT_0) {
    return AutomaticProxy();
  }
  return job->result;
}

}  // namespace

SystemProxy readSystemProxy(const std::string& url) {
  SystemProxy found;
  WinHttpLibrary winhttp;
  auto getConfig = winhttp.function<GetIEProxyConfigFn>("WinHttpGetIEProxyConfigForCurrentUser");
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
  if (!getConfig || !getConfig(&config)) return found;
  GlobalText autoConfigUrl(config.lpszAutoConfigUrl);
  GlobalText proxy(config.lpszProxy);
  GlobalText bypass(config.lpszProxyBypass);
  found.settings.autoDetect = config.fAutoDetect != FALSE;
  found.settings.autoConfigUrl = narrow(autoConfigUrl.get());
  found.settings.proxy = narrow(proxy.get());
  found.settings.bypass = narrow(bypass.get());
  if (found.settings.autoDetect || !found.settings.autoConfigUrl.empty()) {
    found.automatic = resolveWithin(url, found.settings.autoConfigUrl, found.settings.autoDetect);
  }
  return found;
}
