// `--timeout S` of `tolmix call` and `tolmix run`: a device that stops
// answering (a paused TPM, a hung reader) cannot hold the command for ever.
// After S seconds the process says so on standard error and ends with exit
// status 1; the devices it held are released by the system as for any
// ended process.
#pragma once

#include <span>

namespace tolmix::host {

// Takes a leading "--timeout S" (S: 1 to 86400 whole seconds) off *ARGS and
// starts the watchdog.  False, with a message, when S is not such a number.
bool TakeTimeout(std::span<const char* const>* args);

}  // namespace tolmix::host
