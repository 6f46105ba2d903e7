// Chooser facade on Windows: the unattended answer of $TOLMIX_CHOOSER, else
// the Win32 dialog (ChooserDialog.cpp); where no window can be made, a
// prompt on the console when standard input is one.  (The GTK backend does
// not exist here.)
#include "platform/Chooser.h"

#include <io.h>

#include <cstdio>

#include "platform/CodePage.h"
#include "platform/Env.h"
#include "platform/win32/ChooserDialog.h"

namespace tolmix::platform {
namespace {

std::string DisplayText(std::string_view gbk) {
  std::string utf8;
  if (GbkToUtf8(gbk, &utf8)) return utf8;
  utf8.clear();
  for (unsigned char c : gbk) utf8.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return utf8;
}

class NoBackend : public ChooserBackend {
 public:
  ChooserResult Run(const ChooserDialog& dialog, ChooserEvents*) override {
    fprintf(stderr, "tolmix: no console to show \"%s\"; cancelled\n", dialog.title.c_str());
    return ChooserResult::kCancel;
  }
  void ShowMessage(const std::string& text) override { fprintf(stderr, "tolmix: %s\n", text.c_str()); }
  const char* Name() const override { return "none"; }
};

}  // namespace

ChooserResult Chooser::Run(const ChooserDialog& dialog, ChooserEvents* events) {
  ChooserDialog shown = dialog;
  shown.title = DisplayText(dialog.title);
  shown.view_label = DisplayText(dialog.view_label);
  shown.ok_label = DisplayText(dialog.ok_label);
  shown.cancel_label = DisplayText(dialog.cancel_label);
  for (ChooserColumn& c : shown.columns) c.title = DisplayText(c.title);
  for (auto& row : shown.rows) {
    for (std::string& cell : row) cell = DisplayText(cell);
  }
  return backend_->Run(shown, events);
}

void Chooser::ShowMessage(std::string_view gbk_text) { backend_->ShowMessage(DisplayText(gbk_text)); }

void* GtkBackendSymbol(const char*) { return nullptr; }

std::unique_ptr<ChooserBackend> MakeGtkBackend() { return nullptr; }

std::unique_ptr<ChooserBackend> MakeChooserBackend() {
  std::string answer = ChooserOverride();
  if (!answer.empty()) return MakeUnattendedBackend(answer, stderr);
  if (_isatty(_fileno(stdin))) return MakeDialogBackend(MakeTerminalBackend(stdin, stderr));
  return MakeDialogBackend(std::make_unique<NoBackend>());
}

}  // namespace tolmix::platform
