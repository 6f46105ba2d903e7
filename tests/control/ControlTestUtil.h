// Helpers for driving a control through its dispatch interface in tests.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "control/TOLMIXCtrl.h"
#include "platform/Com.h"

namespace tolmix {

// Reaches the control's fields.
class CTOLMIXCtrlTestPeer {
 public:
  static char* LastError(CTOLMIXCtrl& c) { return c.m_szLastError; }
  static const char* Interface(CTOLMIXCtrl& c) { return c.m_szInterface; }
  static std::string& SignedData(CTOLMIXCtrl& c) { return c.m_strSignedData; }
};

struct ReleaseCtrl {
  void operator()(CTOLMIXCtrl* c) const { c->Release(); }
};
using CtrlPtr = std::unique_ptr<CTOLMIXCtrl, ReleaseCtrl>;

inline CtrlPtr NewControl() { return CtrlPtr(CTOLMIXCtrl::Create()); }

// Invokes ID as a script would call a method: ARGS in their natural order.
inline platform::HRESULT CallMember(CTOLMIXCtrl& c, platform::DISPID id,
                                    std::vector<platform::Variant> args,
                                    platform::Variant* result, unsigned* argerr = nullptr,
                                    uint16_t flags = platform::DISPATCH_METHOD) {
  std::vector<platform::Variant> reversed(std::make_move_iterator(args.rbegin()),
                                          std::make_move_iterator(args.rend()));
  platform::DISPPARAMS params{reversed.data(), nullptr, static_cast<unsigned>(reversed.size()),
                              0};
  return c.Invoke(id, platform::IID_NULL, 0, flags, &params, result, nullptr, argerr);
}

inline platform::Variant Text(std::u16string_view s) { return platform::Variant::Text(s); }

}  // namespace tolmix
