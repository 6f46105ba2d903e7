#include "platform/ShellOpen.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/Env.h"

namespace tolmix::platform {

bool ShellOpen(const std::string& path) {
  // Everything the children need is prepared before fork: after it only
  // async-signal-safe calls are made.
  std::string command = OpenCommand();
  char* argv[] = {command.data(), const_cast<char*>(path.c_str()), nullptr};
  pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    pid_t grandchild = fork();
    if (grandchild == 0) {
      execvp(argv[0], argv);
      static constexpr char kMsg[] = "tolmix: cannot run the open command\n";
      ssize_t ignored = write(STDERR_FILENO, kMsg, sizeof kMsg - 1);
      (void)ignored;
      _exit(127);
    }
    _exit(grandchild < 0 ? 1 : 0);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace tolmix::platform
