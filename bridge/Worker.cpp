#include "bridge/Worker.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include <nlohmann/json.hpp>
#include <vector>

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

// getFile's limit: its Base64 must fit in one frame.
constexpr off_t kMaxFileBytes = kMaxFrameBytes / 4 * 3 - 4096;

// VARIABLE as a whole number, or FALLBACK.
uint64_t Limit(const char* variable, uint64_t fallback) {
  const std::string text = Variable(variable);
  char* end = nullptr;
  const unsigned long long n = text.empty() ? 0 : strtoull(text.c_str(), &end, 10);
  return text.empty() || *end || n == 0 ? fallback : n;
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

std::string Base64Of(const std::string& bytes) {
  if (bytes.empty()) return "";
  std::string text(static_cast<size_t>(Base64EncodedLength(static_cast<int>(bytes.size()))) + 1, '\0');
  int n = Base64Encode(text.data(), reinterpret_cast<const unsigned char*>(bytes.data()),
                       static_cast<int>(bytes.size()));
  text.resize(static_cast<size_t>(n));
  return text;
}

bool BytesOf(const std::string& text, std::string* bytes) {
  bytes->clear();
  if (text.empty()) return true;
  std::vector<unsigned char> buf(text.size() / 4 * 3 + 3);
  unsigned len = 0;
  if (Base64Decode(buf.data(), text.c_str(), &len) != 0) return false;
  bytes->assign(reinterpret_cast<const char*>(buf.data()), len);
  return true;
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
    : files_(std::move(folder)), create_(std::move(create)),
      maxObjects_(Limit("TOLMIX_MAX_OBJECTS", 10000)),
      maxStoredBytes_(Limit("TOLMIX_MAX_STORED_BYTES", uint64_t{1} << 30)) {}

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
  if (op == "put") {
    std::string name = req.at("name").get<std::string>(), bytes;
    // Only the file's own name counts, never a folder the page names.
    size_t cut = name.find_last_of("/\\");
    if (cut != std::string::npos) name.erase(0, cut + 1);
    std::vector<std::string> parts;
    std::string why;
    UniqueFd dir;
    if (!BytesOf(req.at("data").get<std::string>(), &bytes)) return Failure("data is not Base64");
    if (files_.StoredBytes() + bytes.size() > maxStoredBytes_) {
      return Failure("cannot store \"" + name + "\": the site's folder would hold more than " +
                     std::to_string(maxStoredBytes_) + " bytes");
    }
    if (!SplitPagePath(name, "", &parts, &why) || !files_.OpenParent(parts, false, &dir, &why)) {
      return Failure("cannot store \"" + name + "\": " + why);
    }
    UniqueFd f(openat(dir.get(), parts.back().c_str(),
                      O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    size_t done = 0;
    while (f.get() >= 0 && done < bytes.size()) {
      ssize_t n = write(f.get(), bytes.data() + done, bytes.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    if (f.get() < 0 || done != bytes.size()) return Failure("cannot store \"" + name + "\"");
    return json{{"path", parts.back()}}.dump();
  }
  if (op == "get") {
    MappedPath mapped;
    std::string why, bytes;
    const std::string path = req.at("path").get<std::string>();
    if (!files_.Map(path, PathUse::kRead, &mapped, &why)) {
      return Failure("cannot read \"" + path + "\": " + why);
    }
    struct stat st;
    if (fstat(mapped.fd.get(), &st) != 0 || st.st_size > kMaxFileBytes) {
      return Failure("\"" + path + "\" is too large to hand to the page");
    }
    char buf[65536];
    ssize_t n;
    while ((n = pread(mapped.fd.get(), buf, sizeof buf, static_cast<off_t>(bytes.size()))) > 0) {
      bytes.append(buf, static_cast<size_t>(n));
    }
    if (n < 0) return Failure("cannot read \"" + path + "\"");
    return json{{"data", Base64Of(bytes)}}.dump();
  }
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
    if (entry == nullptr || entry->name != fa.member || fa.index >= jargs.size()) continue;
    if (jargs[fa.index].is_string() && jargs[fa.index].get<std::string>().empty()) continue;
    MappedPath m;
    std::string why;
    const bool full = fa.use == PathUse::kWrite && files_.StoredBytes() >= maxStoredBytes_;
    if (full) why = "the site's folder holds " + std::to_string(maxStoredBytes_) + " bytes or more";
    if (full || !jargs[fa.index].is_string() ||
        !files_.Map(jargs[fa.index].get<std::string>(), fa.use, &m, &why)) {
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
  for (MappedPath& m : mapped) Confinement::Finish(m, succeeded);
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
  const std::string folder = FilesDir() + "/" + OriginFolderName(origin);
  WorkerState state(folder, create);
  if (chdir(folder.c_str()) != 0) {
    fprintf(stderr, "tolmix worker: cannot enter %s\n", folder.c_str());
    return 1;
  }
  std::string request;
  while (ReadFrame(fd, &request)) {
    std::string answer = state.Handle(request);
    if (answer.size() > kMaxFrameBytes) answer = Failure("the answer is too large for the bridge");
    if (!WriteFrame(fd, answer)) break;
  }
  return 0;
}

}  // namespace tolmix::bridge
