// tolmix call: creates one control by its ProgID through the registry and
// the class factory (host/Activation.h) and calls members on it in order, as a
// script would through the dispatch interface: the name is looked up with
// GetIDsOfNames, the arguments go as strings (the control converts them to
// its parameter types) and the member is invoked as a method or property
// get.  Each member prints exactly one line: true / false, a decimal
// number, the text, or an empty line for a member with no result.  The
// first member that cannot be called ends the run with a message on
// standard error and exit status 1.
#include <cstdio>
#include <string>
#include <vector>

#include "control/App.h"
#include "control/DispatchTable.h"
#include "host/Activation.h"
#include "host/ArgText.h"
#include "host/Commands.h"
#include "host/Timeout.h"
#include "platform/CodePage.h"
#include "platform/Com.h"

namespace tolmix::host {

const char kCallUsage[] = "call [--timeout S] METHOD [ARGS...] [-- METHOD [ARGS...]]...";

namespace {

using namespace platform;

struct Group {
  std::string name;
  std::vector<std::string> rawArgs;
  std::vector<std::u16string> args;
};

// Releases an interface pointer when it goes.
struct DispatchRef {
  IDispatch* p = nullptr;
  ~DispatchRef() {
    if (p) p->Release();
  }
};

bool SplitGroups(std::span<const char* const> args, std::vector<Group>* groups) {
  groups->emplace_back();
  for (const char* arg : args) {
    if (std::string_view(arg) == "--") {
      groups->emplace_back();
    } else if (groups->back().name.empty()) {
      groups->back().name = arg;
    } else {
      groups->back().rawArgs.emplace_back(arg);
    }
  }
  for (const Group& g : *groups) {
    if (g.name.empty()) return false;
  }
  return true;
}

std::string ParamList(const control::DispatchEntry& e) {
  std::string list;
  for (size_t i = 0; i < e.paramCount; ++i) {
    if (i) list += ", ";
    list += e.params[i].name;
  }
  return list;
}

const char* TypeName(VARTYPE vt) {
  switch (vt) {
    case VT_I2: return "a short (16-bit) number";
    case VT_I4: return "a long (32-bit) number";
    default: return "text";
  }
}

// Explains a failed Invoke of G (member ID, ARGERR from Invoke).
void ReportInvokeFailure(const Group& g, DISPID id, HRESULT hr, unsigned argerr) {
  const control::DispatchEntry* e = control::FindMember(id);
  if (hr == DISP_E_BADPARAMCOUNT && e != nullptr) {
    fprintf(stderr, "tolmix: %s takes %u argument%s%s%s%s, %zu given\n", g.name.c_str(),
            unsigned{e->paramCount}, e->paramCount == 1 ? "" : "s", e->paramCount ? " (" : "",
            ParamList(*e).c_str(), e->paramCount ? ")" : "", g.rawArgs.size());
    return;
  }
  if ((hr == DISP_E_TYPEMISMATCH || hr == DISP_E_OVERFLOW) && e != nullptr &&
      argerr < g.rawArgs.size()) {
    size_t position = g.rawArgs.size() - 1 - argerr;  // arguments travel in reverse
    const control::ParamSpec& p = e->params[position];
    fprintf(stderr, "tolmix: %s: argument %zu (%.*s) \"%s\" %s %s\n", g.name.c_str(),
            position + 1, static_cast<int>(p.name.size()), p.name.data(),
            g.rawArgs[position].c_str(),
            hr == DISP_E_OVERFLOW ? "is out of range for" : "is not", TypeName(p.type));
    return;
  }
  fprintf(stderr, "tolmix: calling %s failed: %s (0x%08X)\n", g.name.c_str(), HResultName(hr),
          static_cast<unsigned>(hr));
}

bool PrintResult(const VARIANT& v) {
  switch (v.vt) {
    case VT_BOOL:
      puts(v.boolVal ? "true" : "false");
      return true;
    case VT_I2:
      printf("%d\n", int{v.iVal});
      return true;
    case VT_I4:
      printf("%d\n", v.lVal);
      return true;
    case VT_BSTR: {
      std::string utf8;
      if (!Utf16ToUtf8(BstrView(v.bstrVal), &utf8)) return false;
      fwrite(utf8.data(), 1, utf8.size(), stdout);
      fputc('\n', stdout);
      return true;
    }
    default:
      fputc('\n', stdout);
      return true;
  }
}

// Calls G on DISP and prints its result; false after reporting a failure.
bool CallMember(IDispatch* disp, const Group& g) {
  std::u16string name;
  if (!Utf8ToUtf16(g.name, &name)) {
    fprintf(stderr, "tolmix: member name \"%s\" is not UTF-8 text\n", g.name.c_str());
    return false;
  }
  const OLECHAR* names[] = {name.c_str()};
  DISPID id = DISPID_UNKNOWN;
  HRESULT hr = disp->GetIDsOfNames(IID_NULL, names, 1, 0, &id);
  if (Failed(hr)) {
    fprintf(stderr, "tolmix: the control has no member named \"%s\"\n", g.name.c_str());
    return false;
  }
  std::vector<Variant> argv;
  argv.reserve(g.args.size());
  for (auto it = g.args.rbegin(); it != g.args.rend(); ++it) argv.push_back(Variant::Text(*it));
  DISPPARAMS params{argv.data(), nullptr, static_cast<unsigned>(argv.size()), 0};
  Variant result;
  unsigned argerr = ~0u;
  hr = disp->Invoke(id, IID_NULL, 0, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &params, &result,
                    nullptr, &argerr);
  if (Failed(hr)) {
    ReportInvokeFailure(g, id, hr, argerr);
    return false;
  }
  if (!PrintResult(result)) {
    fprintf(stderr, "tolmix: the result of %s cannot be shown as UTF-8\n", g.name.c_str());
    return false;
  }
  return true;
}

}  // namespace

int RunCall(std::span<const char* const> args) {
  if (!TakeTimeout(&args)) return kExitUsage;
  std::vector<Group> groups;
  if (args.empty() || !SplitGroups(args, &groups)) {
    fprintf(stderr, "usage: tolmix %s\n", kCallUsage);
    return kExitUsage;
  }
  // Every argument is decoded before the first call, so a missing file
  // stops the run before anything has been done.
  for (Group& g : groups) {
    for (const std::string& raw : g.rawArgs) {
      std::string error;
      if (!DecodeArgument(raw, &g.args.emplace_back(), &error)) {
        fprintf(stderr, "tolmix: %s\n", error.c_str());
        return kExitUsage;
      }
    }
  }
  DispatchRef ctrl;
  std::string error;
  HRESULT hr = CreateObjectByProgId(control::kControlProgId, IID_IDispatch,
                                    reinterpret_cast<void**>(&ctrl.p), &error);
  if (Failed(hr)) {
    fprintf(stderr, "tolmix: %s\n", error.c_str());
    return kExitFailed;
  }
  for (const Group& g : groups) {
    if (!CallMember(ctrl.p, g)) {
      fflush(stdout);
      return kExitFailed;
    }
  }
  return fflush(stdout) == 0 ? kExitOk : kExitFailed;
}

}  // namespace tolmix::host
