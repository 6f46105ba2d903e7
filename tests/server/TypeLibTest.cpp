// control/TOLMIX.idl against the dispatch table, the fixed GUIDs and the
// type information the control serves.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>

#include "control/DispatchTable.h"
#include "control/Guids.h"
#include "control/TypeLib.h"

namespace {

using namespace tolmix::platform;
using namespace tolmix::control;

std::string TypeName(VARTYPE vt) {
  switch (vt) {
    case VT_I2: return "short";
    case VT_I4: return "long";
    case VT_BSTR: return "BSTR";
    case VT_BOOL: return "boolean";
    default: return "void";
  }
}

std::string Idl() {
  std::ifstream in(TOLMIX_IDL_FILE);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The text between "dispinterface NAME" and the "};" that closes it.
std::string Body(const std::string& idl, const std::string& name) {
  size_t at = idl.find("dispinterface " + name + "\n");
  if (at == std::string::npos) return std::string();
  return idl.substr(at, idl.find("};", at) - at);
}

// The uuid(...) in the attribute block right before KEYWORD NAME.
std::string UuidBefore(const std::string& idl, const std::string& what) {
  size_t at = idl.find(what);
  size_t open = idl.rfind("uuid(", at);
  if (at == std::string::npos || open == std::string::npos) return std::string();
  return "{" + idl.substr(open + 5, 36) + "}";
}

TEST(TypeLibrary, IdlMatchesTheDispatchTable) {
  const std::string idl = Idl();
  ASSERT_FALSE(idl.empty()) << TOLMIX_IDL_FILE;
  EXPECT_EQ(UuidBefore(idl, "library TOLMIXLib"), GuidToString(LIBID_TOLMIXLib));
  EXPECT_EQ(UuidBefore(idl, "dispinterface _DTOLMIX\n"), GuidToString(DIID__DTOLMIX));
  EXPECT_EQ(UuidBefore(idl, "dispinterface _DTOLMIXEvents\n"), GuidToString(DIID__DTOLMIXEvents));
  EXPECT_EQ(UuidBefore(idl, "coclass TOLMIX\n"), GuidToString(CLSID_TOLMIX));
  EXPECT_NE(idl.find("version(1.0)"), std::string::npos);
  EXPECT_NE(idl.find("helpstring(\"" + std::string(TypeLibrary().helpString) + "\")"),
            std::string::npos);

  // Every member line: [id(N)] TYPE NAME; or [id(N)] TYPE NAME(TYPE P, ...);
  const std::string body = Body(idl, "_DTOLMIX");
  std::map<int, std::string> seen;
  std::istringstream lines(body);
  for (std::string line; std::getline(lines, line);) {
    size_t open = line.find("[id(");
    size_t close = line.find(")] ");
    if (open == std::string::npos || close == std::string::npos || line.back() != ';') continue;
    std::string id = line.substr(open + 4, close - open - 4);
    // What follows the attribute, without the ";": "TYPE NAME" or "TYPE NAME(PARAMS)".
    seen[id == "DISPID_ABOUTBOX" ? DISPID_ABOUTBOX : std::stoi(id)] =
        line.substr(close + 3, line.size() - close - 4);
  }
  size_t properties = body.find("properties:"), methods = body.find("methods:");
  ASSERT_LT(properties, methods);
  for (const DispatchEntry& e : DispatchTable()) {
    std::string expected = TypeName(e.result) + " " + std::string(e.name);
    if (e.kind == MemberKind::kMethod) {
      expected += "(";
      for (size_t i = 0; i < e.paramCount; ++i) {
        expected += (i ? ", " : "") + TypeName(e.params[i].type) + " " + std::string(e.params[i].name);
      }
      expected += ")";
    }
    EXPECT_EQ(seen[e.id], expected) << "DISPID " << e.id;
    // Properties are listed under "properties:", methods under "methods:".
    size_t line = body.find(" " + std::string(e.name) + (e.kind == MemberKind::kMethod ? "(" : ";"));
    EXPECT_EQ(line > methods, e.kind == MemberKind::kMethod) << e.name;
  }
  EXPECT_EQ(seen.size(), DispatchTable().size()) << "no member beyond the table";
  EXPECT_EQ(Body(idl, "_DTOLMIXEvents").find("[id("), std::string::npos) << "no events";
}

TEST(TypeLibrary, TypeInfoTellsPropertiesFromMethods) {
  ITypeInfo* info = CreateDispatchTypeInfo();
  ASSERT_NE(info, nullptr);
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
  EXPECT_EQ(attr->guid, DIID__DTOLMIX);
  EXPECT_EQ(attr->cVars, 7);
  EXPECT_EQ(attr->cFuncs, 36);  // AboutBox among them
  for (unsigned i = 0; i < attr->cVars; ++i) {
    VARDESC* var = nullptr;
    ASSERT_EQ(info->GetVarDesc(i, &var), S_OK);
    EXPECT_EQ(var->memid, static_cast<DISPID>(i + 1));
    info->ReleaseVarDesc(var);
  }
  FUNCDESC* func = nullptr;
  ASSERT_EQ(info->GetFuncDesc(attr->cFuncs - 1, &func), S_OK);
  EXPECT_EQ(func->memid, DISPID_ABOUTBOX);
  info->ReleaseFuncDesc(func);
  EXPECT_EQ(info->GetFuncDesc(attr->cFuncs, &func), TYPE_E_ELEMENTNOTFOUND);
  info->ReleaseTypeAttr(attr);
  info->Release();
}

}  // namespace
