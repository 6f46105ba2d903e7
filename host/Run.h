// `tolmix run SCRIPT.js [ARGS...]`: runs a page-style script in an
// embedded ES5 engine (Duktape) with the objects a Windows script host
// offers:
//   new ActiveXObject(PROGID)  an object created through the registry and
//                              its class factory (host/Activation.h); its
//                              properties read and write through Invoke and
//                              its methods are functions (c.Sign("x"));
//                              member names go through GetIDsOfNames;
//   WScript.Echo(...)          prints its arguments, joined by " ", as a
//                              UTF-8 line on standard output;
//   WScript.Arguments          ARGS: WScript.Arguments(i), .Item(i),
//                              .length and .Count();
//   WScript.Quit([CODE])       ends the script with exit status CODE (0).
// An error the script does not catch is reported as "FILE:LINE: ERROR" on
// standard error and ends it with status 1.
#pragma once

#include <span>

namespace tolmix::host {

int RunScript(std::span<const char* const> args);
extern const char kRunUsage[];

}  // namespace tolmix::host
