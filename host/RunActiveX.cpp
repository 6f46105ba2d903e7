// ActiveXObject for `tolmix run`: a Proxy over a dispatch object.  Reading
// a member looks its name up with GetIDsOfNames; a property (as the
// object's type information tells) is read at once with
// DISPATCH_PROPERTYGET, a method is handed out as a function that invokes
// it with DISPATCH_METHOD | DISPATCH_PROPERTYGET.  Assigning a member puts
// the property.  An object without type information has only methods.
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "host/Activation.h"
#include "host/RunInternal.h"
#include "platform/Com.h"
#include "platform/TypeInfo.h"

namespace tolmix::host::run {

using namespace platform;

namespace {

#define TOLMIX_HIDDEN(name) DUK_HIDDEN_SYMBOL("tolmix_" name)

// What the script's object holds: one reference to the dispatch object.
struct Dispatched {
  IDispatch* disp = nullptr;
  std::string progId;
  std::set<DISPID> properties;
  ~Dispatched() {
    if (disp) disp->Release();
  }
};

// Error text of a helper, thrown by its C function once the helper is done.
struct Failure {
  std::string text;
  bool typeError = false;
  HRESULT hr = S_OK;  // a failed Invoke's
};

std::string HrText(HRESULT hr) {
  char code[16];
  snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
  const char* name = HResultName(hr);
  return *name ? std::string(name) + " (" + code + ")" : std::string(code);
}

// The properties listed by DISP's type information.
std::set<DISPID> PropertiesOf(IDispatch* disp) {
  std::set<DISPID> props;
  unsigned count = 0;
  ITypeInfo* info = nullptr;
  if (Failed(disp->GetTypeInfoCount(&count)) || count == 0 ||
      Failed(disp->GetTypeInfo(0, 0, &info)) || info == nullptr) {
    return props;
  }
  TYPEATTR* attr = nullptr;
  if (Succeeded(info->GetTypeAttr(&attr)) && attr != nullptr) {
    for (unsigned i = 0; i < attr->cVars; ++i) {
      VARDESC* var = nullptr;
      if (Succeeded(info->GetVarDesc(i, &var)) && var != nullptr) {
        props.insert(var->memid);
        info->ReleaseVarDesc(var);
      }
    }
    info->ReleaseTypeAttr(attr);
  }
  info->Release();
  return props;
}

// JScript's text of a Date, which is what a Date passed to a control
// becomes there (the object's default value): "Tue Jan 2 03:04:05 UTC+0800
// 2024", "UTC" alone at offset zero.
constexpr const char kJScriptDateText[] = R"((function (d) {
  if (isNaN(d.getTime())) return "NaN";
  var days = ["Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"];
  var months = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"];
  function two(n) { return (n < 10 ? "0" : "") + n; }
  var off = -d.getTimezoneOffset(), zone = "UTC", y = d.getFullYear();
  if (off) zone += (off > 0 ? "+" : "-") + two(Math.floor(Math.abs(off) / 60)) + two(Math.abs(off) % 60);
  return days[d.getDay()] + " " + months[d.getMonth()] + " " + d.getDate() + " " + two(d.getHours()) +
      ":" + two(d.getMinutes()) + ":" + two(d.getSeconds()) + " " + zone + " " +
      (y > 0 ? y : (1 - y) + " B.C.");
}))";

// Pushes the text a control gets for the object at IDX, as JScript hands
// an object over: its default value, which is its text (a Date's in
// JScript's own form).
void PushObjectText(duk_context* ctx, duk_idx_t idx) {
  idx = duk_normalize_index(ctx, idx);
  duk_get_global_string(ctx, "Date");
  const bool date = duk_is_function(ctx, -1) && duk_instanceof(ctx, idx, -1);
  duk_pop(ctx);
  if (date) {
    duk_push_global_stash(ctx);
    duk_get_prop_string(ctx, -1, TOLMIX_HIDDEN("dateText"));
    duk_remove(ctx, -2);
    duk_dup(ctx, idx);
    if (duk_pcall(ctx, 1) == DUK_EXEC_SUCCESS && duk_is_string(ctx, -1)) return;
    duk_pop(ctx);
  }
  duk_dup(ctx, idx);
  duk_safe_to_string(ctx, -1);
}

// The script value at IDX as a VARIANT argument, as JScript passes it:
// undefined is Empty, null is Null, a number that is a 32-bit integer a
// long and any other a double, a boolean a boolean, a text a text, an
// object its text (above).  The control converts it to each parameter's
// type (platform/Variant.h), as it does on Windows.
Variant ToVariant(duk_context* ctx, duk_idx_t idx) {
  if (duk_is_undefined(ctx, idx)) return Variant();
  if (duk_is_null(ctx, idx)) return Variant::Null();
  if (duk_is_boolean(ctx, idx)) return Variant::Bool(duk_get_boolean(ctx, idx));
  if (duk_is_number(ctx, idx)) {
    double d = duk_get_number(ctx, idx);
    if (d >= -2147483648.0 && d <= 2147483647.0 && d == static_cast<double>(static_cast<int32_t>(d))) {
      return Variant::I4(static_cast<int32_t>(d));
    }
    return Variant::R8(d);
  }
  duk_size_t len = 0;
  if (duk_is_string(ctx, idx)) {
    const char* text = duk_get_lstring(ctx, idx, &len);
    return Variant::Text(ToUtf16(std::string_view(text, len)));
  }
  PushObjectText(ctx, idx);
  const char* text = duk_get_lstring(ctx, -1, &len);
  Variant v = Variant::Text(ToUtf16(std::string_view(text, len)));
  duk_pop(ctx);
  return v;
}

void PushVariant(duk_context* ctx, const VARIANT& v) {
  switch (v.vt) {
    case VT_BOOL: duk_push_boolean(ctx, v.boolVal != VARIANT_FALSE); break;
    case VT_I2: duk_push_int(ctx, v.iVal); break;
    case VT_I4: duk_push_int(ctx, v.lVal); break;
    case VT_R8: duk_push_number(ctx, v.dblVal); break;
    case VT_NULL: duk_push_null(ctx); break;
    case VT_BSTR: PushUtf16(ctx, BstrView(v.bstrVal)); break;
    default: duk_push_undefined(ctx); break;
  }
}

Dispatched* GetDispatched(duk_context* ctx, duk_idx_t obj) {
  duk_get_prop_string(ctx, obj, TOLMIX_HIDDEN("object"));
  auto* d = static_cast<Dispatched*>(duk_get_pointer(ctx, -1));
  duk_pop(ctx);
  return d;
}

bool LookUp(Dispatched* d, std::string_view name, DISPID* id) {
  std::u16string wide = ToUtf16(name);
  const OLECHAR* names[] = {wide.c_str()};
  return Succeeded(d->disp->GetIDsOfNames(IID_NULL, names, 1, 0, id));
}

// Invokes ID with the script values from FIRST to the top of the stack and
// pushes the result; false with *FAIL (nothing pushed) when Invoke fails.
bool InvokeMember(duk_context* ctx, Dispatched* d, DISPID id, const std::string& name,
                  uint16_t flags, duk_idx_t first, Failure* fail) {
  std::vector<Variant> argv;
  for (duk_idx_t i = duk_get_top(ctx) - 1; i >= first; --i) argv.push_back(ToVariant(ctx, i));
  DISPID putId = DISPID_PROPERTYPUT;
  const bool put = (flags & DISPATCH_PROPERTYPUT) != 0;
  DISPPARAMS params{argv.data(), put ? &putId : nullptr, static_cast<unsigned>(argv.size()),
                    put ? 1u : 0u};
  Variant result;
  HRESULT hr = d->disp->Invoke(id, IID_NULL, 0, flags, &params, &result, nullptr, nullptr);
  if (Failed(hr)) {
    fail->text = "\"" + d->progId + "\"." + name + " failed: " + HrText(hr);
    fail->hr = hr;
    return false;
  }
  if (!put) PushVariant(ctx, result);
  return true;
}

template <duk_ret_t (*Impl)(duk_context*, Failure*)>
duk_ret_t Trap(duk_context* ctx) {
  char message[512] = "";
  bool typeError = false;
  HRESULT hr = S_OK;
  duk_ret_t r = 0;
  {
    Failure fail;
    if (QuitRequested()) fail.text = "WScript.Quit";
    else r = Impl(ctx, &fail);
    snprintf(message, sizeof message, "%s", fail.text.c_str());
    typeError = fail.typeError;
    hr = fail.hr;
  }
  if (message[0] && Failed(hr)) ThrowComError(ctx, message, static_cast<int32_t>(hr));
  if (message[0]) ThrowError(ctx, message, typeError);
  return r;
}

duk_ret_t CallMethodImpl(duk_context* ctx, Failure* fail) {
  duk_push_current_function(ctx);
  duk_get_prop_string(ctx, -1, TOLMIX_HIDDEN("target"));
  Dispatched* d = GetDispatched(ctx, -1);
  duk_get_prop_string(ctx, -2, TOLMIX_HIDDEN("dispid"));
  DISPID id = duk_get_int(ctx, -1);
  duk_get_prop_string(ctx, -3, TOLMIX_HIDDEN("name"));
  std::string name = duk_get_string(ctx, -1) ? duk_get_string(ctx, -1) : "";
  duk_pop_n(ctx, 4);
  if (d == nullptr || d->disp == nullptr) {
    fail->text = "the object of " + name + " is gone";
    return 0;
  }
  return InvokeMember(ctx, d, id, name, DISPATCH_METHOD | DISPATCH_PROPERTYGET, 0, fail) ? 1 : 0;
}

// get trap (target, key, receiver).
duk_ret_t GetImpl(duk_context* ctx, Failure* fail) {
  if (!duk_is_string(ctx, 1)) return 0;
  if (duk_is_symbol(ctx, 1)) {
    duk_push_undefined(ctx);  // the object has no symbol-keyed members
    return 1;
  }
  const char* key = duk_get_string(ctx, 1);
  Dispatched* d = GetDispatched(ctx, 0);
  DISPID id = DISPID_UNKNOWN;
  if (d == nullptr || !LookUp(d, key, &id)) {
    fail->text = "\"" + (d ? d->progId : std::string()) + "\" has no member \"" + key + "\"";
    fail->typeError = true;
    return 0;
  }
  if (d->properties.count(id)) {
    duk_set_top(ctx, 0);
    return InvokeMember(ctx, d, id, key, DISPATCH_PROPERTYGET, 0, fail) ? 1 : 0;
  }
  duk_push_c_function(ctx, Trap<CallMethodImpl>, DUK_VARARGS);
  duk_dup(ctx, 0);
  duk_put_prop_string(ctx, -2, TOLMIX_HIDDEN("target"));
  duk_push_int(ctx, id);
  duk_put_prop_string(ctx, -2, TOLMIX_HIDDEN("dispid"));
  duk_push_string(ctx, key);
  duk_put_prop_string(ctx, -2, TOLMIX_HIDDEN("name"));
  return 1;
}

// set trap (target, key, value, receiver).
duk_ret_t SetImpl(duk_context* ctx, Failure* fail) {
  const char* key = duk_is_string(ctx, 1) ? duk_get_string(ctx, 1) : "";
  Dispatched* d = GetDispatched(ctx, 0);
  DISPID id = DISPID_UNKNOWN;
  if (d == nullptr || !LookUp(d, key, &id)) {
    fail->text = "\"" + (d ? d->progId : std::string()) + "\" has no member \"" + key + "\"";
    fail->typeError = true;
    return 0;
  }
  duk_set_top(ctx, 3);
  if (!InvokeMember(ctx, d, id, key, DISPATCH_PROPERTYPUT, 2, fail)) return 0;
  duk_push_true(ctx);
  return 1;
}

duk_ret_t Finalize(duk_context* ctx) {
  delete GetDispatched(ctx, 0);
  duk_push_pointer(ctx, nullptr);
  duk_put_prop_string(ctx, 0, TOLMIX_HIDDEN("object"));
  return 0;
}

// new ActiveXObject(PROGID): pushes the proxy, or fails with *FAIL.
duk_ret_t ConstructImpl(duk_context* ctx, Failure* fail) {
  if (!duk_is_constructor_call(ctx)) {
    fail->text = "ActiveXObject must be called with new";
    fail->typeError = true;
    return 0;
  }
  duk_size_t len = 0;
  const char* progId = duk_safe_to_lstring(ctx, 0, &len);
  auto d = std::make_unique<Dispatched>();
  d->progId.assign(progId, len);
  std::string error;
  HRESULT hr = CreateObjectByProgId(d->progId, IID_IDispatch, reinterpret_cast<void**>(&d->disp),
                                    &error);
  if (Failed(hr)) {
    fail->text = "ActiveXObject: " + error;
    return 0;
  }
  d->properties = PropertiesOf(d->disp);
  duk_push_object(ctx);  // the target
  duk_push_pointer(ctx, d.release());
  duk_put_prop_string(ctx, -2, TOLMIX_HIDDEN("object"));
  duk_push_c_function(ctx, Finalize, 1);
  duk_set_finalizer(ctx, -2);
  duk_push_object(ctx);  // the handler
  duk_push_c_function(ctx, Trap<GetImpl>, 3);
  duk_put_prop_string(ctx, -2, "get");
  duk_push_c_function(ctx, Trap<SetImpl>, 4);
  duk_put_prop_string(ctx, -2, "set");
  duk_push_proxy(ctx, 0);
  return 1;
}

}  // namespace

void DefineActiveXObject(duk_context* ctx) {
  duk_push_global_stash(ctx);
  duk_eval_string(ctx, kJScriptDateText);
  duk_put_prop_string(ctx, -2, TOLMIX_HIDDEN("dateText"));
  duk_pop(ctx);
  duk_push_c_function(ctx, Trap<ConstructImpl>, 1);
  duk_put_global_string(ctx, "ActiveXObject");
}

}  // namespace tolmix::host::run
