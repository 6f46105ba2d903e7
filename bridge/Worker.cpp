#include "bridge/Worker.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include <nlohmann/json.hpp>
#include <openssl/crypto.h>
#include <vector>

#include "bridge/Cleansing.h"
#include "bridge/FileArgs.h"
#include "bridge/Frames.h"
#include "bridge/Origins.h"
#include "control/DispatchTable.h"
#include "platform/CodePage.h"
#include "platform/Env.h"
#include "platform/Variant.h"
#include "util/Base64.h"

namespace tolmix::bridge {

using json = nlohmann::json;
using namespace platform;

namespace {

// $TOLMIX_MAX_OBJECTS, or 10,000.
size_t MaxObjects() {
  const std::string text = Variable("TOLMIX_MAX_OBJECTS");
  char* end = nullptr;
  const unsigned long long n = text.empty() ? 0 : strtoull(text.c_str(), &end, 10);
  return text.empty() || *end || n == 0 ? 10000 : static_cast<size_t>(n);
}

// An answer that makes the page's call throw.
std::string Failure(const std::string& text, HRESULT hr = E_FAIL) {
  return json{{"error", text}, {"hresult", static_cast<int32_t>(hr)}}.dump();
}

// INTEGER: the member's parameter is a short or long.
bool ToVariant(const json& v, bool integer, Variant* out) {
  if (v.is_string()) {
    std::u16string text;
    if (!Utf8ToUtf16(v.get<std::string>(), &text)) return false;
    *out = Variant::Text(text);
  } else if (v.is_boolean()) {
    *out = Variant::Bool(v.get<bool>());
  } else if (v.is_number_integer() && v.get<int64_t>() >= INT32_MIN &&
             v.get<int64_t>() <= INT32_MAX) {
    *out = Variant::I4(static_cast<int32_t>(v.get<int64_t>()));
  } else if (integer && v.is_number_float() && std::isfinite(v.get<double>()) &&
             std::nearbyint(v.get<double>()) >= INT32_MIN &&
             std::nearbyint(v.get<double>()) <= INT32_MAX) {
    // A script's number is a double; an integer parameter takes it rounded
    // half to even, as the automation conversion from a double does.
    *out = Variant::I4(static_cast<int32_t>(std::nearbyint(v.get<double>())));
  } else if (v.is_number()) {
    // Otherwise a number goes as its text (what a text parameter gets from
    // a double); the control refuses what it cannot read as its parameter
    // type.
    std::u16string text;
    Utf8ToUtf16(v.dump(), &text);
    *out = Variant::Text(text);
  } else if (v.is_null()) {
    *out = Variant();
  } else {
    return false;
  }
  return true;
}

bool FromVariant(const VARIANT& v, json* out) {
  switch (v.vt) {
    case VT_BOOL: *out = v.boolVal != 0; return true;
    case VT_I2: *out = int{v.iVal}; return true;
    case VT_I4: *out = v.lVal; return true;
    case VT_BSTR: {
      std::string utf8;
      if (!Utf16ToUtf8(BstrView(v.bstrVal), &utf8)) return false;
      *out = utf8;
      return true;
    }
    default: *out = nullptr; return true;
  }
}

}  // namespace

struct WorkerState::Object {
  IDispatch* disp = nullptr;
  // A file argument refused by the bridge: the member's message, shown by
  // GetLastErrorInfo(0) while the control's own text is still SNAPSHOT.
  std::string refusal;
  std::string snapshot;
  ~Object() {
    if (disp) disp->Release();
  }

  HRESULT IdOf(const std::u16string& name, DISPID* id) {
    const OLECHAR* names[] = {name.c_str()};
    *id = DISPID_UNKNOWN;
    return disp->GetIDsOfNames(IID_NULL, names, 1, 0, id);
  }

  HRESULT Call(const std::u16string& name, uint16_t flags, std::vector<Variant>& args,
               VARIANT* result) {
    DISPID id = DISPID_UNKNOWN;
    HRESULT hr = IdOf(name, &id);
    if (Failed(hr)) return hr;
    return Call(id, flags, args, result);
  }

  HRESULT Call(DISPID id, uint16_t flags, std::vector<Variant>& args, VARIANT* result) {
    std::vector<Variant> reversed(args.rbegin(), args.rend());
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params{reversed.data(), flags == DISPATCH_PROPERTYPUT ? &named : nullptr,
                      static_cast<unsigned>(reversed.size()),
                      flags == DISPATCH_PROPERTYPUT ? 1u : 0u};
    unsigned argerr = 0;
    return disp->Invoke(id, IID_NULL, 0, flags, &params, result, nullptr, &argerr);
  }

  std::string LastError() {
    std::vector<Variant> args{Variant::I4(0)};
    Variant result;
    if (Failed(Call(u"GetLastErrorInfo", DISPATCH_METHOD, args, &result))) return "";
    json text;
    return FromVariant(result, &text) && text.is_string() ? text.get<std::string>() : "";
  }
};

WorkerState::WorkerState(std::string folder, CreateFn create)
    : folder_(std::move(folder)), create_(std::move(create)), maxObjects_(MaxObjects()) {}

WorkerState::~WorkerState() = default;

std::string WorkerState::Handle(const std::string& request) {
  try {
    return Dispatch(request);
  } catch (const std::exception& e) {
    return Failure(std::string("bad request: ") + e.what(), E_INVALIDARG);
  }
}

std::string WorkerState::Dispatch(const std::string& request) {
  const json req = json::parse(request);
  const std::string op = req.at("op").get<std::string>();
  if (op == "create") {
    IDispatch* disp = nullptr;
    std::string error;
    const std::string progId = req.at("progid").get<std::string>();
    HRESULT hr = create_(progId, &disp, &error);
    if (Failed(hr) || disp == nullptr) {
      // The details name files of the user's (the registry, the server
      // module): they go to the bridge's log, not to the page.
      fprintf(stderr, "tolmix worker: %s\n", error.c_str());
      return Failure("not registered or not loadable here (see the bridge's log)",
                     Failed(hr) ? hr : E_UNEXPECTED);
    }
    if (objects_.size() >= maxObjects_) {
      disp->Release();
      return Failure("the site holds " + std::to_string(maxObjects_) +
                         " objects already; release some first", E_OUTOFMEMORY);
    }
    auto obj = std::make_unique<Object>();
    obj->disp = disp;
    const int64_t id = nextId_++;
    objects_[id] = std::move(obj);
    return json{{"id", id}}.dump();
  }
  if (op == "release") {
    objects_.erase(req.at("id").get<int64_t>());
    return "{}";
  }
  if (op == "put") return folder_.Put(req.at("name").get<std::string>(), req.at("data").get<std::string>());
  if (op == "get") return folder_.Get(req.at("path").get<std::string>());
  if (op != "invoke") return Failure("unknown request \"" + op + "\"", E_INVALIDARG);

  auto it = objects_.find(req.at("id").get<int64_t>());
  if (it == objects_.end()) return Failure("the object was released", E_INVALIDARG);
  Object& obj = *it->second;
  std::u16string name;
  if (!Utf8ToUtf16(req.at("name").get<std::string>(), &name)) return Failure("bad member name");
  const std::string kind = req.value("kind", "call");
  const uint16_t flags = kind == "get"   ? DISPATCH_PROPERTYGET
                         : kind == "put" ? DISPATCH_PROPERTYPUT
                                         : DISPATCH_METHOD | DISPATCH_PROPERTYGET;
  const json& jargs = req.value("args", json::array());
  // The member is found once, by the identifier the control itself gives
  // the name, so the file checks below apply to exactly the member that
  // runs (the control reads a name only up to a NUL, for one).
  DISPID dispid = DISPID_UNKNOWN;
  HRESULT found = obj.IdOf(name, &dispid);
  if (Failed(found)) {
    return Failure(std::string("calling ") + req.at("name").get<std::string>() +
                       " failed: " + HResultName(found), found);
  }
  const control::DispatchEntry* entry = control::FindMember(dispid);
  std::vector<Variant> args(jargs.size());
  for (size_t i = 0; i < jargs.size(); ++i) {
    const bool integer = entry != nullptr && i < entry->paramCount &&
                         entry->params[i].type != VT_BSTR;
    if (!ToVariant(jargs[i], integer, &args[i])) {
      return Failure("argument " + std::to_string(i + 1) + " cannot be passed", DISP_E_TYPEMISMATCH);
    }
  }
  std::vector<MappedPath> mapped;  // descriptors the control's paths go through
  for (const FileArg& fa : kFileArgs) {
    // What the folder holds is known before a file written makes its
    // temporary file.
    if (entry != nullptr && entry->name == fa.member && fa.use == PathUse::kWrite) folder_.Held();
  }
  for (const FileArg& fa : kFileArgs) {
    if (entry == nullptr || entry->name != fa.member || fa.index >= jargs.size()) continue;
    if (jargs[fa.index].is_string() && jargs[fa.index].get<std::string>().empty()) continue;
    MappedPath m;
    std::string why;
    bool mappedOk = jargs[fa.index].is_string() &&
                    folder_.files().Map(jargs[fa.index].get<std::string>(), fa.use, &m, &why);
    if (mappedOk && fa.use == PathUse::kWrite) {
      // What the member writes is counted before it runs: its projected
      // size (from the file it reads, mapped before) must fit, less what
      // the file it replaces gives back.
      struct stat st;
      const uint64_t source = !mapped.empty() && fstat(mapped.front().fd.get(), &st) == 0
                                  ? static_cast<uint64_t>(st.st_size) : 0;
      const uint64_t projected = SiteFolder::Projected(fa.member, source);
      if (!folder_.Room(projected - std::min(projected, m.replaced), m.existed ? 0 : 1, &why)) {
        Confinement::Finish(m, false);
        mappedOk = false;
      }
    }
    if (!mappedOk) {
      fprintf(stderr, "tolmix worker: %.*s argument %u refused: %s\n",
              static_cast<int>(fa.member.size()), fa.member.data(), fa.index + 1u, why.c_str());
      if (fa.message) {
        obj.snapshot = obj.LastError();
        obj.refusal = fa.message;
      }
      json failure = entry->result == VT_BOOL   ? json(false)
                     : entry->result == VT_BSTR ? json("")
                                                : json(nullptr);
      return json{{"value", failure}}.dump();
    }
    std::u16string path;
    Utf8ToUtf16(m.path, &path);
    args[fa.index] = Variant::Text(path);
    mapped.push_back(std::move(m));
  }
  Variant result;
  HRESULT hr = obj.Call(dispid, flags, args, &result);
  // A file written takes its name only when the member succeeded.
  const bool succeeded = !Failed(hr) && result.vt == VT_BOOL && result.boolVal != 0;
  for (MappedPath& m : mapped) folder_.Finish(m, succeeded);
  if (Failed(hr)) return Failure(std::string("calling ") + req.at("name").get<std::string>() +
                                     " failed: " + HResultName(hr), hr);
  json value;
  if (!FromVariant(result, &value)) return Failure("the result is not text");
  const bool errorZero = !args.empty() && ((args[0].vt == VT_I4 && args[0].lVal == 0) ||
                                            (args[0].vt == VT_BSTR && BstrView(args[0].bstrVal) == u"0"));
  if (entry != nullptr && entry->name == "GetLastErrorInfo" && errorZero && !obj.refusal.empty()) {
    if (value.is_string() && value.get<std::string>() == obj.snapshot) {
      value = obj.refusal;
    } else {
      obj.refusal.clear();  // the control has recorded an error of its own since
    }
  }
  return json{{"value", value}}.dump();
}

int RunWorker(int fd, const std::string& origin, const CreateFn& create) {
  // PINs pass through this process (SetPasswd) and the session keeps one:
  // no core file, no other process of the user's reading its memory, and a
  // working folder no page can read (not the origin's own, where a core
  // file or a file the control writes by a relative name would land).
  KeepPrivate();
  WipeFreedMemory();
  const std::string folder = FilesDir() + "/" + OriginFolderName(origin);
  WorkerState state(folder, create);
  if (chdir("/") != 0) {
    fprintf(stderr, "tolmix worker: cannot leave %s\n", folder.c_str());
    return 1;
  }
  std::string request;
  while (ReadFrame(fd, &request)) {
    std::string answer = state.Handle(request);
    OPENSSL_cleanse(request.data(), request.size());
    WipeStackBelow();
    if (answer.size() > kMaxFrameBytes) answer = Failure("the answer is too large for the bridge");
    if (!WriteFrame(fd, answer)) break;
  }
  return 0;
}

}  // namespace tolmix::bridge
