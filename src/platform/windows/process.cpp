// The process on Windows: its standard streams and console, the host that
// started it, the command line as UTF-8, and the console's control events
// and the end of standard input as its stop.
//
// The helper is a GUI-subsystem program, so that starting it never makes a
// console window appear. Started from a terminal it joins that terminal's
// console: its lines appear there when standard output was not redirected,
// and Ctrl+C reaches it.
#include "platform/windows/process.h"

#include <shellapi.h>
#include <winternl.h>

#include <atomic>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace qen::platform {
namespace windows {
namespace {

HANDLE standardInput = nullptr;
HANDLE standardOutput = nullptr;
bool outputIsConsole = false;
bool outputFailed = false;  // main thread only
HANDLE host = nullptr;
bool hostGone = false;

bool isOpen(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
  SetLastError(NO_ERROR);
  return GetFileType(handle) != FILE_TYPE_UNKNOWN || GetLastError() == NO_ERROR;
}

// Without redirection a GUI-subsystem program has no standard output; in a
// terminal, the console's is it.
HANDLE openStandardOutput(HANDLE given, bool attached) {
  if (isOpen(given)) return given;
  if (!attached) return nullptr;
  HANDLE console =
      CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  return console == INVALID_HANDLE_VALUE ? nullptr : console;
}

DWORD parentProcessId() {
  PROCESS_BASIC_INFORMATION information{};
  if (NtQueryInformationProcess(GetCurrentProcess(), ProcessBasicInformation, &information,
                                sizeof information, nullptr) != 0) {
    return 0;
  }
  return static_cast<DWORD>(information.InheritedFromUniqueProcessId);
}

ULONGLONG creationTime(HANDLE process) {
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  return (static_cast<ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

// The parent's ID stays ours to read after it ends, and Windows may give it
// to a new process: only one started before us is the parent.
void watchHost() {
  DWORD id = parentProcessId();
  if (id == 0) return;
  HANDLE parent = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
  if (parent == nullptr) {
    hostGone = GetLastError() == ERROR_INVALID_PARAMETER;  // no such process
    return;
  }
  bool reused = creationTime(parent) > creationTime(GetCurrentProcess());
  if (reused || WaitForSingleObject(parent, 0) == WAIT_OBJECT_0) {
    hostGone = true;
    CloseHandle(parent);
    return;
  }
  host = parent;
}

std::string toUtf8(const wchar_t* text, int length) {
  // Without WC_ERR_INVALID_CHARS, unpaired surrogates become U+FFFD.
  int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string converted(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) {
    WideCharToMultiByte(CP_UTF8, 0, text, length, converted.data(), size, nullptr, nullptr);
  }
  return converted;
}

std::wstring toUtf16(std::string_view text) {
  int length = static_cast<int>(text.size());
  int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
  std::wstring converted(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
  if (size > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), length, converted.data(), size);
  return converted;
}

// A console takes text, not bytes in its code page.
bool writeConsole(std::string_view bytes) {
  auto text = toUtf16(bytes);
  const wchar_t* next = text.data();
  auto left = static_cast<DWORD>(text.size());
  while (left > 0) {
    DWORD written = 0;
    if (!WriteConsoleW(standardOutput, next, left, &written, nullptr) || written == 0) return false;
    next += written;
    left -= written;
  }
  return true;
}

// A pipe in PIPE_NOWAIT mode takes nothing while full: wait a little and retry.
bool writeFile(std::string_view bytes) {
  while (!bytes.empty()) {
    DWORD written = 0;
    if (!WriteFile(standardOutput, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                   nullptr)) {
      return false;
    }
    if (written == 0) Sleep(1);
    bytes.remove_prefix(written);
  }
  return true;
}

// Signal::terminate and Signal::interrupt, one bit each.
unsigned bitOf(Signal signal) { return signal == Signal::terminate ? 1U : 2U; }

std::atomic<unsigned> ignoredSignals{0};
std::atomic<unsigned> watchedSignals{0};
std::function<void()>* stopHandler = nullptr;  // set before watchedSignals, never freed

// Runs the handler once, whichever thread asks first; it ends the process,
// so any other waits for that.
void stopOnce() {
  static std::atomic<bool> started{false};
  if (started.exchange(true)) {
    for (;;) Sleep(INFINITE);
  }
  (*stopHandler)();
}

BOOL WINAPI onControlEvent(DWORD event) {
  unsigned bit = 0;
  if (event == CTRL_C_EVENT) bit = bitOf(Signal::interrupt);
  if (event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) bit = bitOf(Signal::terminate);
  if (bit == 0) return FALSE;
  if (watchedSignals.load() & bit) stopOnce();
  return (ignoredSignals.load() & bit) ? TRUE : FALSE;
}

void handleControlEvents() {
  static std::atomic<bool> installed{false};
  if (!installed.exchange(true)) SetConsoleCtrlHandler(onControlEvent, TRUE);
}

// Hosts without a console (Electron, Tauri) stop the helper by closing its
// standard input; what they write there is read and dropped. Windows reports
// the end as a failed read (ERROR_BROKEN_PIPE); Wine, for a Linux pipe, as a
// read of nothing.
DWORD WINAPI watchStandardInput(void*) {
  char discarded[4096];
  DWORD read = 0;
  while (ReadFile(standardInput, discarded, sizeof discarded, &read, nullptr) && read > 0) {
  }
  stopOnce();
  return 0;
}

void nameThread(HANDLE thread, std::string_view label) {
  using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  // Windows 10 1607 and later; elsewhere the thread stays unnamed.
  auto setDescription = reinterpret_cast<SetDescription>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
  if (setDescription != nullptr) setDescription(thread, toUtf16(label).c_str());
}

}  // namespace

HANDLE hostProcess() { return host; }
bool hostAlreadyGone() { return hostGone; }
bool standardOutputFailed() { return outputFailed; }

}  // namespace windows

using namespace windows;

void prepareProcess() {
  // Taken before joining a console, which may give the process its own.
  standardInput = GetStdHandle(STD_INPUT_HANDLE);
  HANDLE given = GetStdHandle(STD_OUTPUT_HANDLE);
  bool attached = AttachConsole(ATTACH_PARENT_PROCESS) != 0;
  standardOutput = openStandardOutput(given, attached);
  if (standardOutput == nullptr) exitProcess(0);
  DWORD mode = 0;
  outputIsConsole = GetConsoleMode(standardOutput, &mode) != 0;
  watchHost();
}

std::optional<std::vector<std::string>> argumentText() {
  int count = 0;
  wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (arguments == nullptr) return std::nullopt;
  std::vector<std::string> text;
  text.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) text.push_back(toUtf8(arguments[i], lstrlenW(arguments[i])));
  LocalFree(arguments);
  return text;
}

void writeStandardOutput(std::string_view bytes) {
  if (outputFailed) return;
  outputFailed = !(outputIsConsole ? writeConsole(bytes) : writeFile(bytes));
}

// TerminateProcess, not ExitProcess: another thread may hold a lock that
// the DLLs' detach code would wait for. Nothing is lost, as no output is
// ever buffered.
void exitProcess(int status) {
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
  for (;;) Sleep(INFINITE);
}

void ignoreSignal(Signal signal) {
  ignoredSignals.fetch_or(bitOf(signal));
  handleControlEvents();
}

void watchSignals(std::string_view queueLabel, std::initializer_list<Signal> signals,
                  std::function<void()> handler) {
  stopHandler = new std::function<void()>(std::move(handler));
  unsigned bits = 0;
  for (auto signal : signals) bits |= bitOf(signal);
  watchedSignals.fetch_or(bits);
  handleControlEvents();
  bool watchesTerminate = (bits & bitOf(Signal::terminate)) != 0;
  if (watchesTerminate && isOpen(standardInput) && GetFileType(standardInput) == FILE_TYPE_PIPE) {
    HANDLE thread = CreateThread(nullptr, 64 * 1024, watchStandardInput, nullptr,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread != nullptr) {
      nameThread(thread, queueLabel);
      CloseHandle(thread);
    }
  }
}

}  // namespace qen::platform
