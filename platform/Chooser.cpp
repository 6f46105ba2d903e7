// Chooser facade and the run-time choice of backend.
#include "platform/Chooser.h"

#include <dlfcn.h>
#include <unistd.h>

#include "platform/CodePage.h"
#include "platform/Env.h"

namespace tolmix::platform {
namespace {

// GBK to UTF-8 for display; bytes of an invalid text that are not ASCII
// become "?", so a bad name never hides the rest of the list.
std::string DisplayText(std::string_view gbk) {
  std::string utf8;
  if (GbkToUtf8(gbk, &utf8)) return utf8;
  utf8.clear();
  for (unsigned char c : gbk) utf8.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return utf8;
}

// Nobody can answer: no override, no display, no terminal.
class NoBackend : public ChooserBackend {
 public:
  ChooserResult Run(const ChooserDialog& dialog, ChooserEvents*) override {
    fprintf(stderr, "tolmix: no display and no terminal to show \"%s\"; cancelled\n",
            dialog.title.c_str());
    return ChooserResult::kCancel;
  }
  void ShowMessage(const std::string& text) override { fprintf(stderr, "tolmix: %s\n", text.c_str()); }
  const char* Name() const override { return "none"; }
};

using GtkFactory = ChooserBackend* (*)();

// Loads the GTK backend library once per process and keeps it: GTK cannot
// be unloaded safely once it has started.
void* LoadGtkLibrary() {
  std::string candidates[] = {
      SystemDir() + "/" + kGtkBackendLibrary,
#ifdef TOLMIX_GTK_CHOOSER_BUILD_PATH
      TOLMIX_GTK_CHOOSER_BUILD_PATH,
#endif
  };
  for (const std::string& path : candidates) {
    if (access(path.c_str(), R_OK) != 0) continue;
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!handle) {
      fprintf(stderr, "tolmix: cannot load %s: %s\n", path.c_str(), dlerror());
      continue;
    }
    if (dlsym(handle, kGtkBackendFactory)) return handle;
  }
  return nullptr;
}

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

void* GtkBackendSymbol(const char* name) {
  static void* library = LoadGtkLibrary();
  return library ? dlsym(library, name) : nullptr;
}

std::unique_ptr<ChooserBackend> MakeGtkBackend() {
  static GtkFactory factory = reinterpret_cast<GtkFactory>(GtkBackendSymbol(kGtkBackendFactory));
  if (!factory) return nullptr;
  return std::unique_ptr<ChooserBackend>(factory());
}

std::unique_ptr<ChooserBackend> MakeChooserBackend() {
  std::string answer = ChooserOverride();
  if (!answer.empty()) return MakeUnattendedBackend(answer, stderr);
  if (!Variable("DISPLAY").empty() || !Variable("WAYLAND_DISPLAY").empty()) {
    if (auto gtk = MakeGtkBackend()) return gtk;
  }
  if (isatty(STDIN_FILENO)) return MakeTerminalBackend(stdin, stderr);
  return std::make_unique<NoBackend>();
}

}  // namespace tolmix::platform
