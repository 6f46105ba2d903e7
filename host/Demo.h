// `tolmix demo [DIR]`: the main job.  Makes a fresh sandbox in DIR (default
// a new folder under $TMPDIR or /tmp, kept and named at the end), takes its
// variables into this process's environment, and runs the page script
// examples/demo.js (built into this program; written to DIR/demo.js) through
// `tolmix run` once per route: "P11" with the soft SKF key unplugged (as a
// user pulls the USB key, since the SKF probe runs first), "SKF" with it
// plugged in, "CSP" with TOLMIX_CHOOSER=first.  Prints the script's report
// (the SKF layer's console lines left out) and ends with
// "N passed, N failed".
#pragma once

#include <span>

namespace tolmix::host {

// Returns 0 when every check passed, 1 when one failed or a step could not
// run (reason on standard error), 2 on a usage error.
int RunDemo(std::span<const char* const> args);
extern const char kDemoUsage[];

}  // namespace tolmix::host
