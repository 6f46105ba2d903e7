// Chooser facade on Windows: the unattended answer of $TOLMIX_CHOOSER, else
// the Win32 dialog (ChooserDialog.cpp); where no window can be made, a
// prompt on the console when standard input is one.  (The GTK backend does
// not exist here.)
#include "platform/Chooser.h"

#include <io.h>

#include <cstdio>

#include "platform/Env.h"
#include "platform/win32/ChooserDialog.h"

namespace tolmix::platform {
namespace {

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

void* GtkBackendSymbol(const char*) { return nullptr; }

std::unique_ptr<ChooserBackend> MakeGtkBackend() { return nullptr; }

std::unique_ptr<ChooserBackend> MakeChooserBackend() {
  std::string answer = ChooserOverride();
  if (!answer.empty()) return MakeUnattendedBackend(answer, stderr);
  if (_isatty(_fileno(stdin))) return MakeDialogBackend(MakeTerminalBackend(stdin, stderr));
  return MakeDialogBackend(std::make_unique<NoBackend>());
}

}  // namespace tolmix::platform
