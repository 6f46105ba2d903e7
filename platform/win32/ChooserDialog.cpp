// The chooser as a Win32 dialog: a modal dialog built in memory from the
// chooser's layout (dialog units, the 9 point "MS Sans Serif" font), with a
// report list view (item 202), the view button (201), OK (1) and Cancel (2),
// and message boxes through MessageBoxW.  Texts arrive as UTF-8 and are
// shown as UTF-16.
#include "platform/win32/ChooserDialog.h"

#include <windows.h>
// after windows.h, which it needs
#include <commctrl.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tolmix::platform {
namespace {

constexpr WORD kListId = 202;
constexpr WORD kViewId = 201;
constexpr char kFont[] = "MS Sans Serif";
constexpr WORD kFontPoints = 9;

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

// An in-memory dialog template: DLGTEMPLATE, then one DLGITEMTEMPLATE per
// control, each on a DWORD boundary, strings as NUL-ended UTF-16.
class Template {
 public:
  void Dialog(DWORD style, const std::wstring& title, int cx, int cy, WORD items) {
    Dword(style);
    Dword(0);  // extended style
    Word(items);
    Word(0), Word(0), Word(static_cast<WORD>(cx)), Word(static_cast<WORD>(cy));
    Word(0), Word(0);  // no menu, the standard dialog class
    Text(title);
    Word(kFontPoints);
    Text(Wide(kFont));
  }
  // CLASS_ATOM: 0x0080 button; 0 names the class by CLASS_NAME.
  void Item(DWORD style, const DialogRect& r, WORD id, WORD atom, const std::wstring& className,
            const std::wstring& text) {
    while (words_.size() % 2 != 0) words_.push_back(0);  // DWORD boundary
    Dword(style | WS_CHILD | WS_VISIBLE);
    Dword(0);
    Word(static_cast<WORD>(r.x)), Word(static_cast<WORD>(r.y));
    Word(static_cast<WORD>(r.cx)), Word(static_cast<WORD>(r.cy));
    Word(id);
    if (atom != 0) Word(0xFFFF), Word(atom);
    else Text(className);
    Text(text);
    Word(0);  // no creation data
  }
  const DLGTEMPLATE* Get() const { return reinterpret_cast<const DLGTEMPLATE*>(words_.data()); }

 private:
  void Word(WORD w) { words_.push_back(w); }
  void Dword(DWORD d) { Word(LOWORD(d)), Word(HIWORD(d)); }
  void Text(const std::wstring& s) {
    words_.insert(words_.end(), s.begin(), s.end());
    Word(0);
  }
  std::vector<WORD> words_;  // WORD-aligned by its element type
};

struct Running {
  const ChooserDialog* dialog;
  ChooserEvents* events;
  HWND* current;  // the backend's window for message boxes
};

int SelectedRow(HWND dlg) {
  return static_cast<int>(SendDlgItemMessageW(dlg, kListId, LVM_GETNEXTITEM, static_cast<WPARAM>(-1),
                                              MAKELPARAM(LVNI_SELECTED, 0)));
}

void FillList(HWND list, const ChooserDialog& d) {
  const DWORD ex = LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT;
  SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, ex, ex);
  for (size_t c = 0; c < d.columns.size(); ++c) {
    std::wstring title = Wide(d.columns[c].title);
    LVCOLUMNW col = {};
    col.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
    col.pszText = title.data();
    col.cx = d.columns[c].width;
    col.iSubItem = static_cast<int>(c);
    SendMessageW(list, LVM_INSERTCOLUMNW, c, reinterpret_cast<LPARAM>(&col));
  }
  for (size_t r = 0; r < d.rows.size(); ++r) {
    for (size_t c = 0; c < d.rows[r].size() && c < d.columns.size(); ++c) {
      std::wstring text = Wide(d.rows[r][c]);
      LVITEMW item = {};
      item.mask = LVIF_TEXT;
      item.iItem = static_cast<int>(r);
      item.iSubItem = static_cast<int>(c);
      item.pszText = text.data();
      SendMessageW(list, c == 0 ? LVM_INSERTITEMW : LVM_SETITEMW, 0, reinterpret_cast<LPARAM>(&item));
    }
  }
}

INT_PTR CALLBACK DialogProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
  auto* run = reinterpret_cast<Running*>(GetWindowLongPtrW(dlg, DWLP_USER));
  switch (msg) {
    case WM_INITDIALOG:
      run = reinterpret_cast<Running*>(lp);
      SetWindowLongPtrW(dlg, DWLP_USER, lp);
      *run->current = dlg;
      FillList(GetDlgItem(dlg, kListId), *run->dialog);
      return TRUE;
    case WM_COMMAND:
      if (run == nullptr) return FALSE;
      switch (LOWORD(wp)) {
        case IDOK:
          if (run->events->OnOk(SelectedRow(dlg))) EndDialog(dlg, IDOK);
          return TRUE;
        case IDCANCEL:
          EndDialog(dlg, IDCANCEL);
          return TRUE;
        case kViewId:
          run->events->OnView(SelectedRow(dlg));
          return TRUE;
      }
      return FALSE;
    case WM_NOTIFY: {
      const auto* hdr = reinterpret_cast<const NMHDR*>(lp);
      if (run != nullptr && hdr->idFrom == kListId && hdr->code == NM_DBLCLK) {
        run->events->OnView(reinterpret_cast<const NMITEMACTIVATE*>(lp)->iItem);
        return TRUE;
      }
      return FALSE;
    }
  }
  return FALSE;
}

HINSTANCE ThisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&DialogProc), &module);
  return module;
}

class DialogBackend : public ChooserBackend {
 public:
  explicit DialogBackend(std::unique_ptr<ChooserBackend> fallback) : fallback_(std::move(fallback)) {}

  ChooserResult Run(const ChooserDialog& d, ChooserEvents* events) override {
    Template t;
    t.Dialog(DS_SETFONT | DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU, Wide(d.title),
             d.width, d.height, 4);
    t.Item(WS_BORDER | WS_TABSTOP | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS, d.list, kListId, 0,
           WC_LISTVIEWW, L"");
    t.Item(WS_TABSTOP | BS_PUSHBUTTON, d.view_button, kViewId, 0x0080, L"", Wide(d.view_label));
    t.Item(WS_TABSTOP | BS_DEFPUSHBUTTON, d.ok_button, IDOK, 0x0080, L"", Wide(d.ok_label));
    t.Item(WS_TABSTOP | BS_PUSHBUTTON, d.cancel_button, IDCANCEL, 0x0080, L"", Wide(d.cancel_label));
    INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&icc);
    title_ = Wide(d.title);
    Running run = {&d, events, &window_};
    // No owner window: the callers have none to give.
    const INT_PTR answer = DialogBoxIndirectParamW(ThisModule(), t.Get(), nullptr, DialogProc,
                                                   reinterpret_cast<LPARAM>(&run));
    window_ = nullptr;
    // No window can be made (a service's desktop): the console or nobody.
    if (answer == -1) return fallback_->Run(d, events);
    return answer == IDOK ? ChooserResult::kOk : ChooserResult::kCancel;
  }

  void ShowMessage(const std::string& text) override {
    if (MessageBoxW(window_, Wide(text).c_str(), window_ ? title_.c_str() : nullptr, MB_OK) == 0) {
      fallback_->ShowMessage(text);
    }
  }

  const char* Name() const override { return "dialog"; }

 private:
  std::unique_ptr<ChooserBackend> fallback_;
  HWND window_ = nullptr;
  std::wstring title_;
};

}  // namespace

std::unique_ptr<ChooserBackend> MakeDialogBackend(std::unique_ptr<ChooserBackend> fallback) {
  return std::make_unique<DialogBackend>(std::move(fallback));
}

}  // namespace tolmix::platform
