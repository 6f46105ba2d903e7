// ShellExecuteExA with the verb "open", a normal window, no owner.
#include "platform/ShellOpen.h"

#include <windows.h>
#include <shellapi.h>

namespace tolmix::platform {

bool ShellOpen(const std::string& path) {
  SHELLEXECUTEINFOA info{};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_FLAG_NO_UI;
  info.lpVerb = "open";
  info.lpFile = path.c_str();
  info.nShow = SW_SHOWNORMAL;
  return ShellExecuteExA(&info) != FALSE;
}

}  // namespace tolmix::platform
