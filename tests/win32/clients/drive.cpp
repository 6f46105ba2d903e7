// Drives the certificate chooser of another process as a user would:
// waits for its window, prints what it shows, then does ACTIONS in order.
//   drive.exe TITLE ACTION...
// TITLE: the dialog's title (UTF-8).  ACTION: "ok" (OK with what is
// selected; a message box must then come up, whose text is printed and
// which is closed), "row:N" (select row N, then OK) or "cancel".
// Prints UTF-8 lines: rows=N, row I=COLUMN|COLUMN..., message=TEXT, closed.
// Exit status 0 when every step happened within its time.
#include <windows.h>
// after windows.h, which it needs
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string Utf8(const wchar_t* w) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
  std::string s(n > 0 ? n - 1 : 0, '\0');
  if (n > 1) WideCharToMultiByte(CP_UTF8, 0, w, -1, s.data(), n, nullptr, nullptr);
  return s;
}

template <typename F>
HWND WaitFor(F find) {
  for (int i = 0; i < 1200; ++i) {  // 60 s: a loaded machine starts Wine slowly
    if (HWND h = find()) return h;
    Sleep(50);
  }
  return nullptr;
}

// A buffer in the chooser's process, for the list view's messages.
class Remote {
 public:
  explicit Remote(HWND window) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    process_ = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
    if (process_) base_ = VirtualAllocEx(process_, nullptr, 4096, MEM_COMMIT, PAGE_READWRITE);
  }
  ~Remote() {
    if (base_) VirtualFreeEx(process_, base_, 0, MEM_RELEASE);
    if (process_) CloseHandle(process_);
  }
  bool ok() const { return base_ != nullptr; }
  char* at(size_t offset) const { return static_cast<char*>(base_) + offset; }
  bool Put(size_t offset, const void* data, size_t n) const {
    return WriteProcessMemory(process_, at(offset), data, n, nullptr) != FALSE;
  }
  bool Get(size_t offset, void* data, size_t n) const {
    return ReadProcessMemory(process_, at(offset), data, n, nullptr) != FALSE;
  }

 private:
  HANDLE process_ = nullptr;
  void* base_ = nullptr;
};

std::string CellText(HWND list, const Remote& mem, int row, int column) {
  LVITEMW item = {};
  item.iSubItem = column;
  item.cchTextMax = 1000;
  item.pszText = reinterpret_cast<wchar_t*>(mem.at(sizeof item));
  wchar_t text[1001] = {};
  if (!mem.Put(0, &item, sizeof item) ||
      SendMessageW(list, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(mem.at(0))) < 0 ||
      !mem.Get(sizeof item, text, 1000 * sizeof(wchar_t))) {
    return "?";
  }
  return Utf8(text);
}

bool SelectRow(HWND list, const Remote& mem, int row) {
  LVITEMW item = {};
  item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
  item.state = LVIS_SELECTED | LVIS_FOCUSED;
  return mem.Put(0, &item, sizeof item) &&
         SendMessageW(list, LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(mem.at(0))) != FALSE;
}

struct Owned {
  HWND owner, found;
};
BOOL CALLBACK FindOwned(HWND h, LPARAM lp) {
  auto* o = reinterpret_cast<Owned*>(lp);
  if (GetWindow(h, GW_OWNER) == o->owner && IsWindowVisible(h)) {
    o->found = h;
    return FALSE;
  }
  return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: drive.exe TITLE ACTION...\n");
    return 2;
  }
  const wchar_t* title = argv[1];
  HWND dlg = WaitFor([&] { return FindWindowW(L"#32770", title); });
  if (!dlg) {
    printf("no window \"%s\"\n", Utf8(title).c_str());
    return 1;
  }
  HWND list = GetDlgItem(dlg, 202);
  Remote mem(dlg);
  if (!list || !mem.ok()) {
    printf("no list view\n");
    return 1;
  }
  HWND header = reinterpret_cast<HWND>(SendMessageW(list, LVM_GETHEADER, 0, 0));
  const int columns = static_cast<int>(SendMessageW(header, HDM_GETITEMCOUNT, 0, 0));
  const int rows = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
  printf("rows=%d\n", rows);
  for (int r = 0; r < rows; ++r) {
    std::string line;
    for (int c = 0; c < columns; ++c) {
      if (c > 0) line += '|';
      line += CellText(list, mem, r, c);
    }
    printf("row %d=%s\n", r, line.c_str());
  }
  for (int a = 2; a < argc; ++a) {
    const std::wstring action = argv[a];
    if (action.rfind(L"row:", 0) == 0 && !SelectRow(list, mem, _wtoi(action.c_str() + 4))) {
      printf("cannot select %s\n", Utf8(action.c_str()).c_str());
      return 1;
    }
    PostMessageW(dlg, WM_COMMAND, action == L"cancel" ? IDCANCEL : IDOK, 0);
    if (action != L"ok") continue;
    Owned box = {dlg, nullptr};
    WaitFor([&] { EnumWindows(FindOwned, reinterpret_cast<LPARAM>(&box)); return box.found; });
    if (!box.found) {
      printf("no message box\n");
      return 1;
    }
    wchar_t text[512] = {};
    GetDlgItemTextW(box.found, 0xFFFF, text, 511);  // a message box's text
    printf("message=%s\n", Utf8(text).c_str());
    PostMessageW(box.found, WM_COMMAND, IDOK, 0);
    WaitFor([&] { return IsWindow(box.found) ? nullptr : dlg; });
  }
  if (!WaitFor([&] { return IsWindow(dlg) ? nullptr : dlg; })) {
    printf("still open\n");
    return 1;
  }
  printf("closed\n");
  fflush(stdout);
  return 0;
}
