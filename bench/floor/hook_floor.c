/* The floor of the Windows bench: the least a program can do to report keys
 * from a low-level keyboard hook. It writes one byte to standard output per
 * key event, from inside the hook, and does nothing else. */
#include <windows.h>

static HANDLE out;

static LRESULT CALLBACK on_key(int code, WPARAM message, LPARAM data) {
  if (code == HC_ACTION) {
    DWORD written;
    WriteFile(out, "k", 1, &written, NULL);
  }
  return CallNextHookEx(NULL, code, message, data);
}

int main(void) {
  out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (SetWindowsHookExW(WH_KEYBOARD_LL, on_key, GetModuleHandleW(NULL), 0) == NULL) return 1;
  DWORD written;
  WriteFile(out, "r\n", 2, &written, NULL); /* ready */
  MSG msg;
  while (GetMessageW(&msg, NULL, 0, 0) > 0) DispatchMessageW(&msg);
  return 0;
}
