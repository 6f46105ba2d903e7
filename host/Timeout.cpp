#include "host/Timeout.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <thread>

#include "host/Commands.h"

namespace tolmix::host {

bool TakeTimeout(std::span<const char* const>* args) {
  if (args->empty() || std::string_view((*args)[0]) != "--timeout") return true;
  char* end = nullptr;
  const char* text = args->size() > 1 ? (*args)[1] : "";
  const long seconds = strtol(text, &end, 10);
  if (*text == '\0' || *end != '\0' || seconds < 1 || seconds > 86400) {
    fprintf(stderr, "tolmix: --timeout takes a number of seconds from 1 to 86400\n");
    return false;
  }
  *args = args->subspan(2);
  // A thread of its own: the call it watches may be blocked inside a
  // device library, where no signal handler of ours could safely run.
  std::thread([seconds] {
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    fprintf(stderr, "tolmix: no answer within %ld s (--timeout): ended\n", seconds);
    fflush(stderr);
    _exit(kExitFailed);
  }).detach();
  return true;
}

}  // namespace tolmix::host
