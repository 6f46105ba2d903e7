#include "bridge/WorkerPool.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include <openssl/crypto.h>

#include "bridge/Cleansing.h"
#include "bridge/Frames.h"

namespace tolmix::bridge {

using json = nlohmann::json;

namespace {

// RPC_E_DISCONNECTED: the object's server has gone.
constexpr int32_t kDisconnected = static_cast<int32_t>(0x80010108u);

// HRESULT_FROM_WIN32(ERROR_TIMEOUT): a call not answered in time (its own
// number, so that a page tells it from a refusal or a bridge that is down).
constexpr int32_t kTimedOut = static_cast<int32_t>(0x800705B4u);

json Gone(const std::string& text, int32_t hresult = kDisconnected) {
  return json{{"error", text}, {"hresult", hresult}};
}

// "G-N" -> G and N; false when ID is not of that form.
bool SplitId(const json& id, uint64_t* generation, int64_t* n) {
  if (!id.is_string()) return false;
  const std::string text = id.get<std::string>();
  size_t dash = text.find('-');
  if (dash == std::string::npos || dash == 0 || dash + 1 == text.size()) return false;
  try {
    size_t used = 0;
    *generation = std::stoull(text.substr(0, dash), &used);
    if (used != dash) return false;
    *n = std::stoll(text.substr(dash + 1), &used);
    return used == text.size() - dash - 1;
  } catch (const std::exception&) {
    return false;
  }
}

using CleanText = std::basic_string<char, std::char_traits<char>, CleansingAllocator<char>>;

// Counts what the serializer writes, or appends it to a text reserved at
// that size: the frame of a request (which may carry a PIN) is written once
// into memory that never grows, and that memory is wiped when freed.
struct Counter : nlohmann::detail::output_adapter_protocol<char> {
  size_t n = 0;
  void write_character(char) override { ++n; }
  void write_characters(const char*, size_t length) override { n += length; }
};
struct Filler : nlohmann::detail::output_adapter_protocol<char> {
  explicit Filler(CleanText& t) : text(t) {}
  CleanText& text;
  void write_character(char c) override { text.push_back(c); }
  void write_characters(const char* s, size_t length) override { text.append(s, length); }
};

CleanText FrameText(const json& request) {
  using Serializer = nlohmann::detail::serializer<json>;
  auto counter = std::make_shared<Counter>();
  Serializer(counter, ' ', json::error_handler_t::replace).dump(request, false, false, 0);
  CleanText text;
  text.reserve(counter->n);
  Serializer(std::make_shared<Filler>(text), ' ', json::error_handler_t::replace).dump(request, false, false, 0);
  return text;
}

}  // namespace

WorkerPool::WorkerPool(std::string program, std::chrono::seconds idle,
                       std::chrono::seconds callTimeout)
    : program_(std::move(program)), idle_(idle), callTimeout_(callTimeout) {}

WorkerPool::~WorkerPool() { EndAll(); }

std::shared_ptr<WorkerPool::Slot> WorkerPool::SlotOf(const std::string& origin) {
  std::lock_guard lock(mapMutex_);
  auto& slot = slots_[origin];
  if (!slot) slot = std::make_shared<Slot>();
  return slot;
}

bool WorkerPool::Start(Slot& s, const std::string& origin, std::string* error) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    *error = std::string("cannot make a socket pair: ") + strerror(errno);
    return false;
  }
  // Everything the child needs is made before fork: after it, only calls
  // that are safe in a child of a threaded process.
  std::vector<std::string> argvText = {program_, "worker", "--origin", origin, "--fd", "3"};
  std::vector<char*> argv;
  for (std::string& a : argvText) argv.push_back(a.data());
  argv.push_back(nullptr);
  // The worker reads nothing from the broker's terminal: that is where the
  // consent prompt asks, and a chooser in the worker would compete for it.
  const int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
  const pid_t parent = getpid();
  pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(1);
    if (devNull >= 0) dup2(devNull, STDIN_FILENO);
    if (dup2(pair[1], 3) != 3) _exit(127);
    close_range(4, ~0u, 0);
    signal(SIGPIPE, SIG_DFL);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(pair[1]);
  if (devNull >= 0) close(devNull);
  if (pid < 0) {
    close(pair[0]);
    *error = std::string("cannot start a worker: ") + strerror(errno);
    return false;
  }
  s.pid = pid;
  s.fd = pair[0];
  {
    std::lock_guard lock(mapMutex_);
    s.generation = ++generations_;
  }
  fprintf(stderr, "tolmix bridge: worker %d started for %s\n", static_cast<int>(pid),
          origin.c_str());
  return true;
}

void WorkerPool::Stop(Slot& s) {
  if (s.fd >= 0) close(s.fd);  // the worker reads the end of its stream and leaves
  s.fd = -1;
  const pid_t pid = s.pid;
  if (pid > 0) {
    for (int i = 0; i < 50; ++i) {
      if (waitpid(pid, nullptr, WNOHANG) != 0) {
        s.pid = -1;
        return;
      }
      usleep(20000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  s.pid = -1;
}

bool WorkerPool::Alive(Slot& s) {
  if (s.pid <= 0) return false;
  if (waitpid(s.pid.load(), nullptr, WNOHANG) == 0) return true;
  s.pid = -1;  // reaped
  Stop(s);
  return false;
}

json WorkerPool::Call(const std::string& origin, json& request) {
  std::shared_ptr<Slot> slot = SlotOf(origin);
  std::lock_guard lock(slot->m);
  const std::string op = request.value("op", "");
  const bool needsObject = op == "invoke" || op == "release";
  if (needsObject) {
    uint64_t generation = 0;
    int64_t n = 0;
    if (!SplitId(request.value("id", json()), &generation, &n)) {
      return json{{"error", "bad object id"}, {"hresult", static_cast<int32_t>(0x80070057u)}};
    }
    if (!Alive(*slot) || generation != slot->generation) {
      if (op == "release") return json::object();
      return Gone("the control's process has ended; create the object again");
    }
    request["id"] = n;
  } else if (!Alive(*slot)) {
    std::string error;
    if (!Start(*slot, origin, &error)) return Gone(error);
  }
  slot->lastUse = std::chrono::steady_clock::now();
  std::string answerText;
  bool written;
  {
    // The request may carry a PIN (SetPasswd): no copy of it stays behind.
    CleanText frame = FrameText(request);
    written = WriteFrame(slot->fd, frame);
    OPENSSL_cleanse(frame.data(), frame.size());
  }
  bool timedOut = false;
  if (!written || !ReadFrame(slot->fd, &answerText,
                             static_cast<int>(callTimeout_.count() * 1000), &timedOut)) {
    const pid_t pid = slot->pid;
    if (timedOut) {
      fprintf(stderr, "tolmix bridge: worker %d for %s did not answer within %lld s; ended\n",
              static_cast<int>(pid), origin.c_str(), static_cast<long long>(callTimeout_.count()));
      if (pid > 0) kill(pid, SIGKILL);  // a stopped process too
    } else {
      fprintf(stderr, "tolmix bridge: worker %d for %s ended during a call\n",
              static_cast<int>(pid), origin.c_str());
    }
    Stop(*slot);
    if (timedOut) {
      return Gone("the call took longer than " + std::to_string(callTimeout_.count()) +
                      " s; the control's process was ended",
                  kTimedOut);
    }
    return Gone("the control's process ended during the call");
  }
  slot->lastUse = std::chrono::steady_clock::now();
  json answer = json::parse(answerText, nullptr, false);
  if (answer.is_discarded()) return Gone("the control's process answered nonsense");
  if (op == "create" && answer.contains("id")) {
    answer["id"] = std::to_string(slot->generation) + "-" + answer["id"].dump();
  }
  return answer;
}

bool WorkerPool::Running(const std::string& origin) {
  std::shared_ptr<Slot> slot = SlotOf(origin);
  std::unique_lock lock(slot->m, std::try_to_lock);
  return !lock.owns_lock() || Alive(*slot);  // busy means running
}

void WorkerPool::End(const std::string& origin) {
  std::shared_ptr<Slot> slot = SlotOf(origin);
  std::lock_guard lock(slot->m);
  Stop(*slot);
}

void WorkerPool::EndIdle() {
  std::vector<std::pair<std::string, std::shared_ptr<Slot>>> all;
  {
    std::lock_guard lock(mapMutex_);
    all.assign(slots_.begin(), slots_.end());
  }
  const auto now = std::chrono::steady_clock::now();
  for (auto& [origin, slot] : all) {
    std::unique_lock lock(slot->m, std::try_to_lock);
    if (!lock.owns_lock() || !Alive(*slot)) continue;
    if (now - slot->lastUse >= idle_) {
      fprintf(stderr, "tolmix bridge: worker %d for %s idle; ended\n",
              static_cast<int>(slot->pid.load()), origin.c_str());
      Stop(*slot);
    }
  }
}

void WorkerPool::EndAll() {
  std::vector<std::shared_ptr<Slot>> all;
  {
    std::lock_guard lock(mapMutex_);
    for (auto& [origin, slot] : slots_) all.push_back(slot);
  }
  for (auto& slot : all) {
    std::unique_lock lock(slot->m, std::try_to_lock);
    const pid_t pid = slot->pid;
    if (!lock.owns_lock() && pid > 0) kill(pid, SIGTERM);
  }
  for (auto& slot : all) {
    std::lock_guard lock(slot->m);
    Stop(*slot);
  }
}

}  // namespace tolmix::bridge
