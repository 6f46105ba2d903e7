#include "bridge/Frames.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace tolmix::bridge {
namespace {

bool WriteAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t done = send(fd, p, n, MSG_NOSIGNAL);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    p += done;
    n -= static_cast<size_t>(done);
  }
  return true;
}

using Clock = std::chrono::steady_clock;

// DEADLINE: Clock::time_point::max() for none; *TIMED_OUT set when it passes.
bool ReadAll(int fd, char* p, size_t n, Clock::time_point deadline = Clock::time_point::max(),
             bool* timedOut = nullptr) {
  while (n > 0) {
    if (deadline != Clock::time_point::max()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      pollfd pfd{fd, POLLIN, 0};
      const int ready = left.count() > 0 ? poll(&pfd, 1, static_cast<int>(left.count())) : 0;
      if (ready < 0 && errno == EINTR) continue;
      if (ready == 0) {
        *timedOut = true;
        return false;
      }
      if (ready < 0) return false;
    }
    ssize_t done = read(fd, p, n);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    p += done;
    n -= static_cast<size_t>(done);
  }
  return true;
}

}  // namespace

bool WriteFrame(int fd, std::string_view text) {
  if (text.size() > kMaxFrameBytes) return false;
  const uint32_t n = static_cast<uint32_t>(text.size());
  const char head[4] = {static_cast<char>(n >> 24), static_cast<char>(n >> 16),
                        static_cast<char>(n >> 8), static_cast<char>(n)};
  return WriteAll(fd, head, 4) && WriteAll(fd, text.data(), text.size());
}

bool ReadFrame(int fd, std::string* text) {
  bool timedOut = false;
  return ReadFrame(fd, text, -1, &timedOut);
}

bool ReadFrame(int fd, std::string* text, int timeoutMs, bool* timedOut) {
  *timedOut = false;
  const Clock::time_point deadline =
      timeoutMs < 0 ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(timeoutMs);
  unsigned char head[4];
  if (!ReadAll(fd, reinterpret_cast<char*>(head), 4, deadline, timedOut)) return false;
  const uint32_t n = (uint32_t{head[0]} << 24) | (uint32_t{head[1]} << 16) |
                     (uint32_t{head[2]} << 8) | uint32_t{head[3]};
  if (n > kMaxFrameBytes) return false;
  text->resize(n);
  return ReadAll(fd, text->data(), n, deadline, timedOut);
}

}  // namespace tolmix::bridge
