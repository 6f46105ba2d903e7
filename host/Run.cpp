#include "host/Run.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "host/Commands.h"
#include "host/RunInternal.h"
#include "host/Timeout.h"

namespace tolmix::host {

const char kRunUsage[] = "run [--timeout S] SCRIPT.js [ARGS...]";

namespace run {
namespace {

// The script's own state; `tolmix run` runs one script per process.
struct ScriptState {
  std::vector<std::string> args;  // UTF-8
  bool quit = false;
  int quitCode = 0;
};
ScriptState g_script;

// Arguments(i) and Item(i): the script argument I, or an error for an
// index outside them.
duk_ret_t ArgumentAt(duk_context* ctx) {
  double i = duk_to_number(ctx, 0);
  if (!(i >= 0 && i < static_cast<double>(g_script.args.size())) ||
      i != static_cast<double>(static_cast<size_t>(i))) {
    ThrowError(ctx, "WScript.Arguments: subscript out of range");
  }
  const std::string& a = g_script.args[static_cast<size_t>(i)];
  duk_push_lstring(ctx, a.data(), a.size());  // UTF-8 arrives as the engine's own form
  return 1;
}

duk_ret_t ArgumentCount(duk_context* ctx) {
  duk_push_uint(ctx, static_cast<duk_uint_t>(g_script.args.size()));
  return 1;
}

// Echo: the arguments as text, joined by " ", one line.
duk_ret_t Echo(duk_context* ctx) {
  if (g_script.quit) ThrowError(ctx, "WScript.Quit");
  duk_idx_t n = duk_get_top(ctx);
  for (duk_idx_t i = 0; i < n; ++i) duk_safe_to_string(ctx, i);
  duk_push_string(ctx, " ");
  duk_insert(ctx, 0);
  duk_join(ctx, n);  // strings only: cannot throw but for memory
  duk_size_t len = 0;
  const char* text = duk_get_lstring(ctx, -1, &len);
  {
    std::string line = Utf16ToUtf8Lossy(ToUtf16(std::string_view(text, len)));
    line.push_back('\n');
    fwrite(line.data(), 1, line.size(), stdout);
  }
  return 0;
}

duk_ret_t Quit(duk_context* ctx) {
  g_script.quit = true;
  g_script.quitCode = duk_is_undefined(ctx, 0) ? 0 : duk_to_int(ctx, 0);
  ThrowError(ctx, "WScript.Quit");
}

void DefineWScript(duk_context* ctx) {
  duk_push_object(ctx);
  duk_push_c_function(ctx, Echo, DUK_VARARGS);
  duk_put_prop_string(ctx, -2, "Echo");
  duk_push_c_function(ctx, Quit, 1);
  duk_put_prop_string(ctx, -2, "Quit");

  duk_push_c_function(ctx, ArgumentAt, 1);  // WScript.Arguments
  duk_push_string(ctx, "length");
  duk_push_uint(ctx, static_cast<duk_uint_t>(g_script.args.size()));
  duk_def_prop(ctx, -3, DUK_DEFPROP_HAVE_VALUE | DUK_DEFPROP_FORCE | DUK_DEFPROP_CLEAR_WRITABLE);
  duk_push_c_function(ctx, ArgumentAt, 1);
  duk_put_prop_string(ctx, -2, "Item");
  duk_push_c_function(ctx, ArgumentCount, 0);
  duk_put_prop_string(ctx, -2, "Count");
  duk_put_prop_string(ctx, -2, "Arguments");
  duk_put_global_string(ctx, "WScript");
}

void Fatal(void* /*udata*/, const char* message) {
  fprintf(stderr, "tolmix: script engine failure: %s\n", message ? message : "");
  fflush(stderr);
  abort();
}

// Reports the error on the stack top as "FILE:LINE: TEXT".
void ReportError(duk_context* ctx, const std::string& path) {
  int line = 0;
  if (duk_is_error(ctx, -1)) {
    duk_get_prop_string(ctx, -1, "lineNumber");
    line = duk_get_int(ctx, -1);
    duk_pop(ctx);
  }
  duk_size_t len = 0;
  const char* text = duk_safe_to_lstring(ctx, -1, &len);
  std::string message = Utf16ToUtf8Lossy(ToUtf16(std::string_view(text, len)));
  fprintf(stderr, "%s:%d: %s\n", path.c_str(), line, message.c_str());
}

}  // namespace

bool QuitRequested() { return g_script.quit; }

void ThrowError(duk_context* ctx, const char* message, bool typeError) {
  // No C file name: the error is blamed on the script line of the call.
  duk_error_raw(ctx, typeError ? DUK_ERR_TYPE_ERROR : DUK_ERR_ERROR, nullptr, 0, "%s", message);
  abort();  // not reached: duk_error_raw does not return
}

void ThrowComError(duk_context* ctx, const char* message, int32_t number) {
  duk_push_error_object(ctx, DUK_ERR_ERROR, "%s", message);
  duk_push_int(ctx, number);
  duk_put_prop_string(ctx, -2, "number");
  duk_push_string(ctx, message);
  duk_put_prop_string(ctx, -2, "description");
  duk_throw(ctx);
  abort();  // not reached: duk_throw does not return
}

}  // namespace run

int RunScript(std::span<const char* const> args) {
  using namespace run;
  if (!TakeTimeout(&args)) return kExitUsage;
  if (args.empty()) {
    fprintf(stderr, "usage: tolmix %s\n", kRunUsage);
    return kExitUsage;
  }
  const std::string path = args[0];
  std::ifstream in(path, std::ios::binary);
  std::string source;
  if (in) source.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (!in.is_open() || in.bad()) {
    fprintf(stderr, "tolmix: cannot read the script %s\n", path.c_str());
    return kExitFailed;
  }
  if (source.compare(0, 3, "\xEF\xBB\xBF") == 0) source.erase(0, 3);
  g_script = ScriptState();
  g_script.args.assign(args.begin() + 1, args.end());

  duk_context* ctx = duk_create_heap(nullptr, nullptr, nullptr, nullptr, Fatal);
  if (ctx == nullptr) {
    fprintf(stderr, "tolmix: cannot start the script engine\n");
    return kExitFailed;
  }
  DefineActiveXObject(ctx);
  DefineWScript(ctx);
  duk_push_lstring(ctx, path.data(), path.size());
  int status = kExitOk;
  if (duk_pcompile_lstring_filename(ctx, 0, source.data(), source.size()) != 0 ||
      duk_pcall(ctx, 0) != DUK_EXEC_SUCCESS) {
    if (!g_script.quit) {
      ReportError(ctx, path);
      status = kExitFailed;
    }
  }
  duk_pop(ctx);
  duk_destroy_heap(ctx);  // runs the finalizers: every object is released
  if (g_script.quit) status = g_script.quitCode;
  fflush(stdout);
  return status;
}

}  // namespace tolmix::host
