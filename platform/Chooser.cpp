// Chooser facade and the run-time choice of backend.
#include "platform/Chooser.h"

#include <dlfcn.h>
#include <unistd.h>

#include "platform/Env.h"

namespace tolmix::platform {
namespace {

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
