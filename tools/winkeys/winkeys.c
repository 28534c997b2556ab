/* winkeys: keys sent with SendInput, for testing programs that watch a
 * Windows desktop's keyboard (a low-level hook, raw input) without one; and
 * what such tests need around them under Wine.
 *
 *   winkeys COMMAND...        runs each COMMAND, prints each answer
 *   winkeys                   reads one COMMAND per line from standard input
 *                             and answers each, "ok" or "error: ...", on
 *                             standard output
 *   winkeys --run [--escapes] PROGRAM [ARGS...]
 *                             starts PROGRAM with this process's standard
 *                             streams, waits for it and exits with its exit
 *                             code: a live Windows parent, whose status Wine
 *                             passes on faithfully. With --escapes, \uXXXX in
 *                             an argument is that UTF-16 unit (an unpaired
 *                             surrogate too) and \\ one backslash.
 *   winkeys --window          shows a window in front, prints "ready" and
 *                             stays until it is closed: a target for keys
 *                             typed into the X server under Wine
 *
 * Commands joined with ';' on one line go in one SendInput call, so that
 * nothing comes between them:
 *
 *   press KEY [scan=N] [time=N]   a key-down; again, an auto-repeat
 *   repeat KEY ...                the same as press
 *   release KEY [scan=N] [time=N] a key-up
 *   altgr press|release           AltGr as Windows sends it on a layout that
 *                                 has one: a made-up Left Ctrl (scan code
 *                                 0x21D unless scan= says), then Right Alt,
 *                                 at one time
 *   desktop-switch                tells the WinEvent hooks that the input
 *                                 went to another desktop
 *   sleep MS
 *
 * KEY is leftctrl, rightctrl, leftalt, rightalt, leftmeta, rightmeta,
 * leftshift, rightshift, capslock, space, enter, a to z, 0 to 9, f1 to f24,
 * or a virtual-key code (0x41). Right-hand modifiers are sent as extended
 * keys, each key with the scan code its layout gives it unless scan= says. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

#define MAX_INPUTS 64

struct key_name {
  const char *name;
  WORD vk;
  int extended;
};

static const struct key_name key_names[] = {
    {"leftctrl", VK_LCONTROL, 0}, {"rightctrl", VK_RCONTROL, 1}, {"leftalt", VK_LMENU, 0},
    {"rightalt", VK_RMENU, 1},    {"leftmeta", VK_LWIN, 1},      {"rightmeta", VK_RWIN, 1},
    {"leftshift", VK_LSHIFT, 0},  {"rightshift", VK_RSHIFT, 0},  {"capslock", VK_CAPITAL, 0},
    {"space", VK_SPACE, 0},       {"enter", VK_RETURN, 0},       {"escape", VK_ESCAPE, 0},
};

static int parse_key(const char *text, WORD *vk, int *extended) {
  size_t i;
  *extended = 0;
  for (i = 0; i < sizeof key_names / sizeof key_names[0]; ++i) {
    if (_stricmp(text, key_names[i].name) == 0) {
      *vk = key_names[i].vk;
      *extended = key_names[i].extended;
      return 1;
    }
  }
  if (strlen(text) == 1 &&
      ((text[0] >= 'a' && text[0] <= 'z') || (text[0] >= '0' && text[0] <= '9'))) {
    *vk = (WORD)(text[0] >= 'a' ? text[0] - 'a' + 'A' : text[0]);
    return 1;
  }
  if ((text[0] == 'f' || text[0] == 'F') && text[1] >= '1' && text[1] <= '9') {
    int n = atoi(text + 1);
    if (n >= 1 && n <= 24) {
      *vk = (WORD)(VK_F1 + n - 1);
      return 1;
    }
  }
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    unsigned long code = strtoul(text, NULL, 16);
    if (code > 0 && code < 0xFF) {
      *vk = (WORD)code;
      return 1;
    }
  }
  return 0;
}

static INPUT key_input(WORD vk, int extended, int up, long scan, DWORD time) {
  INPUT input;
  memset(&input, 0, sizeof input);
  input.type = INPUT_KEYBOARD;
  input.ki.wVk = vk;
  input.ki.wScan = (WORD)(scan >= 0 ? scan : (long)MapVirtualKeyW(vk, MAPVK_VK_TO_VSC));
  input.ki.dwFlags = (extended ? KEYEVENTF_EXTENDEDKEY : 0) | (up ? KEYEVENTF_KEYUP : 0);
  input.ki.time = time;
  return input;
}

/* One command into inputs; returns an error message, or NULL. */
static const char *add_command(char *command, INPUT *inputs, UINT *count) {
  char *words[8];
  int n = 0;
  char *word = strtok(command, " \t\r\n");
  while (word != NULL && n < 8) {
    words[n++] = word;
    word = strtok(NULL, " \t\r\n");
  }
  if (n == 0) return "empty command";
  if (*count + 2 > MAX_INPUTS) return "too many keys on one line";
  if (strcmp(words[0], "sleep") == 0 && n == 2) {
    Sleep((DWORD)atoi(words[1]));
    return NULL;
  }
  if (strcmp(words[0], "desktop-switch") == 0 && n == 1) {
    NotifyWinEvent(EVENT_SYSTEM_DESKTOPSWITCH, GetDesktopWindow(), OBJID_WINDOW, CHILDID_SELF);
    return NULL;
  }
  long scan = -1;
  DWORD time = 0;
  for (int i = 2; i < n; ++i) {
    if (strncmp(words[i], "scan=", 5) == 0) {
      scan = strtol(words[i] + 5, NULL, 0);
    } else if (strncmp(words[i], "time=", 5) == 0) {
      time = (DWORD)strtoul(words[i] + 5, NULL, 0);
    } else {
      return "unknown option";
    }
  }
  if (strcmp(words[0], "altgr") == 0 && n >= 2) {
    int up = strcmp(words[1], "release") == 0;
    if (!up && strcmp(words[1], "press") != 0) return "altgr takes press or release";
    DWORD now = time != 0 ? time : GetTickCount();
    /* Windows marks the Ctrl it makes up with 0x200 on its scan code. */
    inputs[(*count)++] = key_input(VK_LCONTROL, 0, up, scan >= 0 ? scan : 0x21D, now);
    inputs[(*count)++] = key_input(VK_RMENU, 1, up, -1, now);
    return NULL;
  }
  int up = strcmp(words[0], "release") == 0;
  if (!up && strcmp(words[0], "press") != 0 && strcmp(words[0], "repeat") != 0) {
    return "unknown command";
  }
  if (n < 2) return "no key";
  WORD vk;
  int extended;
  if (!parse_key(words[1], &vk, &extended)) return "unknown key";
  inputs[(*count)++] = key_input(vk, extended, up, scan, time);
  return NULL;
}

static void answer(const char *text) {
  char line[256];
  DWORD written;
  int length = snprintf(line, sizeof line, "%s\n", text);
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, (DWORD)length, &written, NULL);
}

static void run_line(char *line) {
  INPUT inputs[MAX_INPUTS];
  UINT count = 0;
  char *rest = line;
  for (;;) {
    char *end = strchr(rest, ';');
    if (end != NULL) *end = '\0';
    const char *error = add_command(rest, inputs, &count);
    if (error != NULL) {
      char message[128];
      snprintf(message, sizeof message, "error: %s", error);
      answer(message);
      return;
    }
    if (end == NULL) break;
    rest = end + 1;
  }
  if (count > 0 && SendInput(count, inputs, sizeof(INPUT)) != count) {
    answer("error: SendInput refused the keys");
    return;
  }
  answer("ok");
}

static int read_commands(void) {
  char line[1024];
  size_t used = 0;
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  for (;;) {
    DWORD got = 0;
    char byte;
    if (!ReadFile(in, &byte, 1, &got, NULL) || got == 0) return 0;
    if (byte != '\n') {
      if (used + 1 < sizeof line) line[used++] = byte;
      continue;
    }
    line[used] = '\0';
    used = 0;
    run_line(line);
  }
}

/* Appends one argument, quoted as CommandLineToArgvW reads it back. */
static void append_argument(wchar_t *line, size_t size, const wchar_t *argument) {
  size_t at = wcslen(line);
  if (at > 0 && at + 1 < size) line[at++] = L' ';
  if (at + 1 < size) line[at++] = L'"';
  for (const wchar_t *c = argument;; ++c) {
    size_t backslashes = 0;
    while (*c == L'\\') {
      ++c;
      ++backslashes;
    }
    /* Backslashes before a quote or the closing quote are doubled. */
    if (*c == L'\0' || *c == L'"') backslashes *= 2;
    for (size_t i = 0; i < backslashes && at + 1 < size; ++i) line[at++] = L'\\';
    if (*c == L'\0') break;
    if (*c == L'"' && at + 1 < size) line[at++] = L'\\';
    if (at + 1 < size) line[at++] = *c;
  }
  if (at + 1 < size) line[at++] = L'"';
  line[at] = L'\0';
}

static void unescape(wchar_t *text) {
  wchar_t *out = text;
  for (wchar_t *c = text; *c != L'\0'; ++c) {
    if (c[0] == L'\\' && c[1] == L'\\') {
      *out++ = L'\\';
      ++c;
    } else if (c[0] == L'\\' && c[1] == L'u' && wcslen(c) >= 6) {
      wchar_t digits[5] = {c[2], c[3], c[4], c[5], L'\0'};
      *out++ = (wchar_t)wcstoul(digits, NULL, 16);
      c += 5;
    } else {
      *out++ = *c;
    }
  }
  *out = L'\0';
}

static void inherit(DWORD which) {
  HANDLE handle = GetStdHandle(which);
  if (handle != NULL && handle != INVALID_HANDLE_VALUE) {
    SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  }
}

static int run_program(int argc, wchar_t **argv, int first, int escapes) {
  static wchar_t line[32768];
  line[0] = L'\0';
  for (int i = first; i < argc; ++i) {
    if (escapes) unescape(argv[i]);
    append_argument(line, sizeof line / sizeof line[0], argv[i]);
  }
  inherit(STD_INPUT_HANDLE);
  inherit(STD_OUTPUT_HANDLE);
  inherit(STD_ERROR_HANDLE);
  STARTUPINFOW startup;
  memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process;
  if (!CreateProcessW(argv[first], line, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process)) {
    return 127;
  }
  CloseHandle(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 1;
  GetExitCodeProcess(process.hProcess, &status);
  return (int)status;
}

static LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM w, LPARAM l) {
  if (message == WM_DESTROY) PostQuitMessage(0);
  return DefWindowProcW(window, message, w, l);
}

static int show_window(void) {
  WNDCLASSW window_class;
  memset(&window_class, 0, sizeof window_class);
  window_class.lpfnWndProc = window_procedure;
  window_class.hInstance = GetModuleHandleW(NULL);
  window_class.lpszClassName = L"winkeys";
  RegisterClassW(&window_class);
  HWND window = CreateWindowExW(0, L"winkeys", L"winkeys", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                                320, 200, NULL, NULL, window_class.hInstance, NULL);
  if (window == NULL) return 1;
  ShowWindow(window, SW_SHOW);
  SetForegroundWindow(window);
  SetFocus(window);
  MSG message;
  while (PeekMessageW(&message, NULL, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
  answer("ready");
  while (GetMessageW(&message, NULL, 0, 0) > 0) DispatchMessageW(&message);
  return 0;
}

int main(void) {
  int argc = 0;
  wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == NULL) return 2;
  if (argc >= 2 && wcscmp(argv[1], L"--window") == 0) return show_window();
  if (argc >= 3 && wcscmp(argv[1], L"--run") == 0) {
    int escapes = wcscmp(argv[2], L"--escapes") == 0;
    if (argc < 3 + escapes) return 2;
    return run_program(argc, argv, 2 + escapes, escapes);
  }
  if (argc == 1) return read_commands();
  for (int i = 1; i < argc; ++i) {
    char command[1024];
    WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, command, sizeof command, NULL, NULL);
    run_line(command);
  }
  return 0;
}
