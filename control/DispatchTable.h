// The dispatch table of _DTOLMIX as data: one entry per member with its
// DISPID, name, kind, parameters and result type, and the handler that
// calls the member on a control.  Invoke and GetIDsOfNames read only this
// table; the type library description is built from it too.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/Com.h"

namespace tolmix {
class CTOLMIXCtrl;
}

namespace tolmix::control {

enum class MemberKind : uint8_t { kMethod, kProperty };

inline constexpr size_t kMaxParams = 3;

struct ParamSpec {
  std::string_view name;
  platform::VARTYPE type;  // VT_BSTR, VT_I2 or VT_I4
  // For VT_BSTR: the longest GBK text (in bytes) the member accepts, 0 for
  // no limit of its own.  A longer argument is refused before the member
  // runs (see TextBoundary.h).
  uint16_t maxBytes;
};

// Arguments after the boundary: TEXT[i] holds parameter i when it is a
// string (GBK), NUMBER[i] when it is a short or long.
struct DispArgs {
  std::array<std::string, kMaxParams> text;
  std::array<int32_t, kMaxParams> number{};
  const char* Text(size_t i) const { return text[i].c_str(); }
};

// Result of a member before the boundary: VT_EMPTY (no result), VT_BOOL
// (FLAG), VT_I4 (NUMBER) or VT_BSTR (TEXT, GBK).
struct DispResult {
  platform::VARTYPE vt = platform::VT_EMPTY;
  bool flag = false;
  int32_t number = 0;
  std::string text;
};

using DispHandler = DispResult (*)(CTOLMIXCtrl& ctrl, const DispArgs& args);

struct DispatchEntry {
  platform::DISPID id;
  std::string_view name;
  MemberKind kind;
  uint8_t paramCount;
  std::array<ParamSpec, kMaxParams> params;
  platform::VARTYPE result;  // VT_EMPTY, VT_BOOL, VT_I4 or VT_BSTR
  // False for the members that never record an error; a refused argument
  // then only makes them fail.
  bool recordsErrors;
  // Methods: the call.  Properties: the getter (a put stores nothing).
  DispHandler handler;
  // True for SetPasswd, whose first step empties the process-wide session:
  // the boundary empties it too when it refuses the arguments, so a page
  // whose switch failed cannot go on with the previous PIN.
  bool emptiesSessionFirst = false;
};

// Every member, in DISPID order of the interface description.
std::span<const DispatchEntry> DispatchTable();

// The entry of ID, or null.
const DispatchEntry* FindMember(platform::DISPID id);

// The entry named NAME without regard to ASCII letter case, or null.
const DispatchEntry* FindMember(std::u16string_view name);

// The failure value of a member with result type VT: false, "" or nothing.
DispResult FailureResult(platform::VARTYPE vt);

}  // namespace tolmix::control
