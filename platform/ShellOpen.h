// Opening a file for viewing: the stand-in for ShellExecuteExA with the verb
// "open", a normal window and no owner.
#pragma once

#include <string>

namespace tolmix::platform {

// Starts OpenCommand() ($TOLMIX_OPEN_COMMAND, else "xdg-open") with PATH as
// its only argument and returns without waiting for it.  The command is one
// program name or path, looked up in $PATH; it is not split into words.  The
// program runs detached (its parent is a short-lived intermediate process
// that is reaped here), so no zombie is left behind.  False when the
// process cannot be created; a program that cannot be executed is reported
// by the child on standard error only, as the shell reports it to nobody.
bool ShellOpen(const std::string& path);

}  // namespace tolmix::platform
