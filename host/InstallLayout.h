// Where `tolmix` finds its own parts.  The program runs either from the
// build tree it was built in (<build>/host/tolmix) or installed under the
// prefix it was configured with, laid out by the GNU install directories:
//
//   <bindir>/tolmix
//   <libdir>/tolmix/        libtolmix.so, the engine modules, SKFAPI.so
//                           (the default system directory)
//   <libexecdir>/tolmix/    provision-softhsm.sh
#pragma once

#include <string>

namespace tolmix::host {

// True when this program is the `tolmix` of the build tree that made it.
bool RunsFromBuildTree();

// libtolmix.so: <build>/lib/libtolmix.so from the build tree, else the
// installed <libdir>/tolmix/libtolmix.so.
std::string ServerModulePath();

// Folder of the run-time modules (SKFAPI.so, gmEngine.so, ...):
// <build>/modules from the build tree, else the installed <libdir>/tolmix.
std::string ModuleFolder();

// The script that provisions a SoftHSM2 token: the source tree's
// scripts/provision-softhsm.sh from the build tree, else the installed
// <libexecdir>/tolmix/provision-softhsm.sh.
std::string SoftHsmScriptPath();

}  // namespace tolmix::host
