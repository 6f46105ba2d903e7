// Drives the certificate chooser of another process as a user would:
//   drive.exe TITLE ACTION...
// waits for the dialog TITLE, prints its rows (rows=N, row I=COLUMN|...),
// then does each ACTION: "ok" (OK as it is; the message box that must come
// up is printed as message=TEXT and closed), "row:N" (select row N, OK),
// "view:N" (select row N, View) or "cancel"; prints "closed" when the
// dialog is gone.  Exit status 0 when
// every step happened within a minute.
#include <windows.h>
// after windows.h, which it needs
#include <commctrl.h>

#include <cstdio>
#include <string>

namespace {

std::string Utf8(const wchar_t* w) {
  char s[2048] = {};
  WideCharToMultiByte(CP_UTF8, 0, w, -1, s, sizeof s - 1, nullptr, nullptr);
  return s;
}

template <typename F>
HWND WaitFor(F find) {
  for (int i = 0; i < 1200; ++i, Sleep(50)) {  // a minute: a loaded machine starts Wine slowly
    if (HWND h = find()) return h;
  }
  return nullptr;
}

// The list view's messages take pointers into the chooser's process: an
// LVITEMW and its text there.
struct Remote {
  HANDLE process;
  char* base;
  LRESULT Send(HWND list, UINT msg, int row, LVITEMW item, wchar_t* text) const {
    item.pszText = reinterpret_cast<wchar_t*>(base + sizeof item);
    item.cchTextMax = 1000;
    WriteProcessMemory(process, base, &item, sizeof item, nullptr);
    const LRESULT r = SendMessageW(list, msg, row, reinterpret_cast<LPARAM>(base));
    if (text) ReadProcessMemory(process, base + sizeof item, text, 1000 * sizeof(wchar_t), nullptr);
    return r;
  }
};

HWND g_dialog, g_box;
BOOL CALLBACK FindBox(HWND h, LPARAM) {
  if (GetWindow(h, GW_OWNER) == g_dialog && IsWindowVisible(h)) g_box = h;
  return g_box == nullptr;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  HWND dlg = g_dialog = WaitFor([&] { return FindWindowW(L"#32770", argv[1]); });
  HWND list = dlg ? GetDlgItem(dlg, 202) : nullptr;
  DWORD pid = 0;
  GetWindowThreadProcessId(dlg, &pid);
  Remote mem = {OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid), nullptr};
  if (mem.process) mem.base = static_cast<char*>(VirtualAllocEx(mem.process, nullptr, 4096, MEM_COMMIT, PAGE_READWRITE));
  if (!list || !mem.base) {
    printf("no chooser \"%s\"\n", Utf8(argv[1]).c_str());
    return 1;
  }
  HWND header = reinterpret_cast<HWND>(SendMessageW(list, LVM_GETHEADER, 0, 0));
  const int columns = static_cast<int>(SendMessageW(header, HDM_GETITEMCOUNT, 0, 0));
  const int rows = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
  printf("rows=%d\n", rows);
  for (int r = 0; r < rows; ++r) {
    std::string line;
    for (int c = 0; c < columns; ++c) {
      wchar_t text[1001] = {};
      LVITEMW item = {};
      item.iSubItem = c;
      mem.Send(list, LVM_GETITEMTEXTW, r, item, text);
      if (c > 0) line += '|';
      line += Utf8(text);
    }
    printf("row %d=%s\n", r, line.c_str());
  }
  for (int a = 2; a < argc; ++a) {
    const std::wstring action = argv[a];
    const bool view = action.rfind(L"view:", 0) == 0;
    if (view || action.rfind(L"row:", 0) == 0) {
      LVITEMW item = {};
      item.stateMask = item.state = LVIS_SELECTED | LVIS_FOCUSED;
      mem.Send(list, LVM_SETITEMSTATE, _wtoi(action.c_str() + (view ? 5 : 4)), item, nullptr);
    }
    PostMessageW(dlg, WM_COMMAND, view ? 201 : action == L"cancel" ? IDCANCEL : IDOK, 0);
    if (action != L"ok") continue;
    g_box = nullptr;
    if (!WaitFor([] { EnumWindows(FindBox, 0); return g_box; })) {
      printf("no message box\n");
      return 1;
    }
    wchar_t text[512] = {};
    GetDlgItemTextW(g_box, 0xFFFF, text, 511);  // a message box's text
    printf("message=%s\n", Utf8(text).c_str());
    PostMessageW(g_box, WM_COMMAND, IDOK, 0);
    WaitFor([] { return IsWindow(g_box) ? nullptr : g_dialog; });
  }
  if (!WaitFor([&] { return IsWindow(dlg) ? nullptr : dlg; })) {
    printf("still open\n");
    return 1;
  }
  printf("closed\n");
  return 0;
}
