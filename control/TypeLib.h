// The type library TOLMIXLib 1.0 as data: its attributes, its two dispatch
// interfaces and its coclass, the type information served for _DTOLMIX,
// and the registry entries that registering the library writes.  The
// members of _DTOLMIX are those of the dispatch table (DispatchTable.h);
// control/TOLMIX.idl describes the same library in source form and a test
// holds the two together.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Com.h"
#include "platform/TypeInfo.h"

namespace tolmix::platform {
class Registry;
}

namespace tolmix::control {

struct TypeLibAttributes {
  platform::GUID libid;
  std::string_view name;
  std::string_view helpString;
  uint16_t major, minor;
  platform::LCID lcid;
};

struct DispInterfaceDesc {
  platform::IID iid;
  std::string_view name;
  std::string_view helpString;
  bool hidden;
  bool hasMembers;  // true: the members of the dispatch table; false: none
};

struct CoclassDesc {
  platform::CLSID clsid;
  std::string_view name;
  std::string_view helpString;
  bool control;
  const DispInterfaceDesc* defaultInterface;
  const DispInterfaceDesc* defaultSource;
};

const TypeLibAttributes& TypeLibrary();
const DispInterfaceDesc& DispatchInterface();  // _DTOLMIX
const DispInterfaceDesc& EventInterface();     // _DTOLMIXEvents
const CoclassDesc& ControlCoclass();           // TOLMIX

// Type information of _DTOLMIX with one reference, owned by the caller:
// one FUNCDESC per method (AboutBox included) and one VARDESC per property,
// in the order of the dispatch table.  Null when memory runs out.
platform::ITypeInfo* CreateDispatchTypeInfo();

// Writes the library's entries into REG: "TypeLib\{LIBID}\1.0" with the
// path of MODULE (which carries the library) and its folder as help folder,
// and an "Interface\{IID}" entry per dispatch interface.  False when REG
// refuses a value (a MODULE path with a control character).
bool RegisterTypeLib(platform::Registry& reg, std::string_view module);

// Removes what RegisterTypeLib wrote (the "TypeLib\{LIBID}" key too when no
// other version is left).  Nothing registered is not an error.
void UnRegisterTypeLib(platform::Registry& reg);

}  // namespace tolmix::control
