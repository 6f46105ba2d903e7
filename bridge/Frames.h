// Framing between the broker and a worker: each message is a 4-byte
// big-endian length and that many bytes of JSON text, both ways, one
// answer per request.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tolmix::bridge {

inline constexpr uint32_t kMaxFrameBytes = 64u << 20;

// Writes TEXT as one frame to FD (blocking; retried on EINTR).  False when
// the peer has gone.
bool WriteFrame(int fd, std::string_view text);

// Reads one frame from FD into *TEXT.  False at end of stream, on an error,
// or for a frame longer than kMaxFrameBytes.
bool ReadFrame(int fd, std::string* text);

// The same, giving up (false, *TIMED_OUT set) when the whole frame has not
// come within TIMEOUT_MS milliseconds.
bool ReadFrame(int fd, std::string* text, int timeoutMs, bool* timedOut);

}  // namespace tolmix::bridge
