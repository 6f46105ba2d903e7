#include "control/TypeLib.h"

#include <atomic>
#include <cstdio>
#include <new>
#include <vector>

#include "control/DispatchTable.h"
#include "control/Guids.h"
#include "platform/Registry.h"

namespace tolmix::control {

using namespace platform;

namespace {

constexpr TypeLibAttributes kLibrary = {
    LIBID_TOLMIXLib, "TOLMIXLib", "TOLMIX ActiveX Control module", 1, 0, 0x0409};
constexpr DispInterfaceDesc kDispatch = {
    DIID__DTOLMIX, "_DTOLMIX", "Dispatch interface for TOLMIX Control", true, true};
constexpr DispInterfaceDesc kEvents = {
    DIID__DTOLMIXEvents, "_DTOLMIXEvents", "Event interface for TOLMIX Control", false, false};
constexpr CoclassDesc kCoclass = {CLSID_TOLMIX, "TOLMIX", "TOLMIX Control", true, &kDispatch,
                                  &kEvents};

// The automation marshaller, the proxy of every dispatch interface.
constexpr char kDispatchProxy[] = "{00020420-0000-0000-C000-000000000046}";

// Type information of _DTOLMIX over the dispatch table.  Descriptions are
// made per request and deleted by the Release* calls.
class DispatchTypeInfo final : public ITypeInfo {
 public:
  DispatchTypeInfo() {
    for (const DispatchEntry& e : DispatchTable()) {
      (e.kind == MemberKind::kMethod ? methods_ : properties_).push_back(&e);
    }
  }

  HRESULT QueryInterface(const IID& iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (!(iid == IID_IUnknown)) return E_NOINTERFACE;
    *out = static_cast<IUnknown*>(this);
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

  HRESULT GetTypeAttr(TYPEATTR** attr) override {
    if (attr == nullptr) return E_POINTER;
    *attr = new (std::nothrow) TYPEATTR{kDispatch.iid, kLibrary.lcid, TKIND_DISPATCH,
                                        static_cast<uint16_t>(methods_.size()),
                                        static_cast<uint16_t>(properties_.size()),
                                        kLibrary.major, kLibrary.minor};
    return *attr ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT GetFuncDesc(unsigned index, FUNCDESC** desc) override {
    if (desc == nullptr) return E_POINTER;
    *desc = nullptr;
    if (index >= methods_.size()) return TYPE_E_ELEMENTNOTFOUND;
    const DispatchEntry& e = *methods_[index];
    *desc = new (std::nothrow) FUNCDESC{e.id, INVOKE_FUNC, e.paramCount, e.result};
    return *desc ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT GetVarDesc(unsigned index, VARDESC** desc) override {
    if (desc == nullptr) return E_POINTER;
    *desc = nullptr;
    if (index >= properties_.size()) return TYPE_E_ELEMENTNOTFOUND;
    *desc = new (std::nothrow) VARDESC{properties_[index]->id, properties_[index]->result};
    return *desc ? S_OK : E_OUTOFMEMORY;
  }
  void ReleaseTypeAttr(TYPEATTR* attr) override { delete attr; }
  void ReleaseFuncDesc(FUNCDESC* desc) override { delete desc; }
  void ReleaseVarDesc(VARDESC* desc) override { delete desc; }

 private:
  ~DispatchTypeInfo() = default;

  std::atomic<ULONG> refs_{1};
  std::vector<const DispatchEntry*> methods_;
  std::vector<const DispatchEntry*> properties_;
};

std::string LibKey() { return "TypeLib\\" + GuidToString(kLibrary.libid); }
std::string VersionKey() {
  return LibKey() + "\\" + std::to_string(kLibrary.major) + "." + std::to_string(kLibrary.minor);
}
std::string InterfaceKey(const DispInterfaceDesc& d) {
  return "Interface\\" + GuidToString(d.iid);
}

std::string FolderOf(std::string_view path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string_view::npos) return ".";
  return std::string(path.substr(0, slash == 0 ? 1 : slash));
}

}  // namespace

const TypeLibAttributes& TypeLibrary() { return kLibrary; }
const DispInterfaceDesc& DispatchInterface() { return kDispatch; }
const DispInterfaceDesc& EventInterface() { return kEvents; }
const CoclassDesc& ControlCoclass() { return kCoclass; }

ITypeInfo* CreateDispatchTypeInfo() { return new (std::nothrow) DispatchTypeInfo(); }

bool RegisterTypeLib(Registry& reg, std::string_view module) {
  const std::string version = VersionKey();
  char lcid[16];
  snprintf(lcid, sizeof lcid, "%x", static_cast<unsigned>(kLibrary.lcid));
  bool ok = reg.SetValue(version, "@", kLibrary.helpString) &&
            reg.SetValue(version + "\\" + lcid + "\\linux64", "@", module) &&
            reg.SetValue(version + "\\FLAGS", "@", "0") &&
            reg.SetValue(version + "\\HELPDIR", "@", FolderOf(module));
  for (const DispInterfaceDesc* d : {&kDispatch, &kEvents}) {
    const std::string key = InterfaceKey(*d);
    ok = ok && reg.SetValue(key, "@", d->name) &&
         reg.SetValue(key + "\\ProxyStubClsid32", "@", kDispatchProxy) &&
         reg.SetValue(key + "\\TypeLib", "@", GuidToString(kLibrary.libid)) &&
         reg.SetValue(key + "\\TypeLib", "Version", version.substr(version.rfind('\\') + 1));
  }
  return ok;
}

void UnRegisterTypeLib(Registry& reg) {
  reg.DeleteTree(VersionKey());
  if (reg.HasKey(LibKey()) && reg.SubKeys(LibKey()).empty()) reg.DeleteTree(LibKey());
  reg.DeleteTree(InterfaceKey(kDispatch));
  reg.DeleteTree(InterfaceKey(kEvents));
}

}  // namespace tolmix::control
