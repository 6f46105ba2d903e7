// The page shim served at /tolmix.js: web/tolmix.js (carried in the binary)
// with the control's class description put in its place holder, so the
// member list comes from the dispatch table and is written nowhere else.
#include <nlohmann/json.hpp>

#include "bridge/Broker.h"
#include "bridge/ShimText.h"
#include "control/App.h"
#include "control/DispatchTable.h"
#include "control/Guids.h"

namespace tolmix::bridge {

namespace {

const char* TypeName(platform::VARTYPE vt) {
  switch (vt) {
    case platform::VT_BOOL: return "boolean";
    case platform::VT_BSTR: return "string";
    case platform::VT_I2:
    case platform::VT_I4: return "number";
    default: return "none";
  }
}

std::string ClassJson() {
  using json = nlohmann::json;
  json members = json::array();
  for (const control::DispatchEntry& e : control::DispatchTable()) {
    json params = json::array();
    for (size_t i = 0; i < e.paramCount; ++i) {
      params.push_back({{"name", std::string(e.params[i].name)}, {"type", TypeName(e.params[i].type)}});
    }
    members.push_back({{"name", std::string(e.name)},
                       {"kind", e.kind == control::MemberKind::kProperty ? "property" : "method"},
                       {"params", params},
                       {"result", TypeName(e.result)}});
  }
  std::string clsid = platform::GuidToString(control::CLSID_TOLMIX);
  // "{8A43...}" -> "8A43..."; pages write classid="clsid:8A43...".
  if (clsid.size() > 2 && clsid.front() == '{') clsid = clsid.substr(1, clsid.size() - 2);
  return json{{"progId", control::kControlProgId}, {"clsid", clsid}, {"members", members}}.dump();
}

}  // namespace

std::string ShimScript() {
  static const std::string script = [] {
    std::string text(kShimText);
    const std::string holder = "/*@TOLMIX_CLASS@*/null";
    size_t at = text.find(holder);
    if (at != std::string::npos) text.replace(at, holder.size(), ClassJson());
    return text;
  }();
  return script;
}

}  // namespace tolmix::bridge
