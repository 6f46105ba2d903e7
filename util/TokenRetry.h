// How a PKCS#11 token's passing refusals are tried again.
//
// A token kept in files (SoftHSM2 and its like) is shared by every program
// that loads its module: while one program writes the token's files (each
// login rewrites its flags), another one reading them at that moment gets a
// refusal although nothing is wrong.  Measured with SoftHSM2 2.6.1, four
// processes each opening 80 sessions and logging in at once: 93 of the 320
// passed, the rest met CKR_TOKEN_NOT_RECOGNIZED from C_OpenSession or
// CKR_USER_PIN_NOT_INITIALIZED / CKR_GENERAL_ERROR from C_Login, and once
// that happened the module kept answering so until it was finalised and
// initialised again (it had dropped its picture of the token).  Retried in
// place, 6 of 320 still failed after 2 s; finalised, initialised and retried
// from the slot list, all 320 passed, the slowest after 0.4 s and 10 tries.
//
// So the callers start over from C_Initialize (when they initialised the
// module themselves) and retry the whole sequence, with a short randomised
// pause, for at most kTokenRetryBudget; then the last answer stands and the
// caller fails with its usual message.  A token that is really gone or
// refuses the PIN answers with codes not listed here and fails at once.
//
// Header-only: the engine and the engine module (which may not include
// each other) share it.  CK_RV values are spelt out so that this folder
// needs no PKCS#11 header; the names are the standard's.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <random>
#include <thread>

namespace tolmix {

// The time one token operation (a PIN check, a key or certificate load, a
// private-key operation) keeps trying after passing refusals.
inline constexpr std::chrono::milliseconds kTokenRetryBudget{2000};

// Answers of any call that mean "busy now, ask again".  They never follow
// a PIN comparison.
//   CKR_TOKEN_NOT_RECOGNIZED (0xE1): measured, above.
//   CKR_SESSION_COUNT (0xB1): the token's session limit, which frees when
//     another program closes a session.  SoftHSM2 has no limit and never
//     answers it; hardware tokens with a few session slots do.
// Not among them: CKR_DEVICE_REMOVED and CKR_TOKEN_NOT_PRESENT (a pulled
// token, which should fail at once rather than after the budget), and
// CKR_GENERAL_ERROR / CKR_DEVICE_ERROR outside opening a session and a
// login that spent no try (below).
inline bool IsTransientTokenAnswer(unsigned long rv) noexcept {
  return rv == 0xE1UL || rv == 0xB1UL;
}

// Answers of C_OpenSession worth another try from a fresh session: the
// passing ones above, and CKR_GENERAL_ERROR (0x5) and CKR_DEVICE_ERROR
// (0x30), which SoftHSM2 behind p11-kit's proxy gives under CPU load (12
// to 19 times in a run of 80 signatures).  No PIN is involved in opening a
// session, so asking again costs the token nothing.
// CKR_SLOT_ID_INVALID (0x3) too: the same SoftHSM2, initialised again
// while another program writes its token, lists the token's slot no more
// for a moment.  (A token really pulled fails after the budget.)
inline bool IsTransientOpenAnswer(unsigned long rv) noexcept {
  return IsTransientTokenAnswer(rv) || rv == 0x5UL || rv == 0x30UL || rv == 0x3UL;
}

// C_Login answers worth another try.  Only answers that spent no try of the
// PIN counter qualify:
//   CKR_USER_PIN_NOT_INITIALIZED (0x102): the token holds no user PIN that a
//     PIN could have been compared with.  SoftHSM2 answers it when it read
//     the token while another program was writing it.
//   the passing answers of IsTransientTokenAnswer.
//   CKR_GENERAL_ERROR (0x5) and CKR_DEVICE_ERROR (0x30) when UNCOUNTED: the
//     token's PIN flags (CKF_USER_PIN_COUNT_LOW, _FINAL_TRY, _LOCKED) were
//     clear before the login and still are, so the token shows no spent try.
//     SoftHSM2 answers CKR_GENERAL_ERROR when it cannot read the token's
//     flags, which it does before the comparison.  A token that counts
//     shows the spent try in CKF_USER_PIN_COUNT_LOW and is not asked again.
// CKR_PIN_INCORRECT, CKR_PIN_LEN_RANGE, CKR_PIN_LOCKED and every other
// answer end the login: a refused PIN is never sent again.
inline bool IsTransientLoginAnswer(unsigned long rv, bool uncounted) noexcept {
  if (rv == 0x102UL || IsTransientTokenAnswer(rv)) return true;
  return uncounted && (rv == 0x5UL || rv == 0x30UL);
}

// Answers of C_Login that refuse the PIN itself: wrong, of a length the
// token does not take, or locked.
inline bool IsPinRefusal(unsigned long rv) noexcept {
  return rv == 0xA0UL || rv == 0xA2UL || rv == 0xA4UL;
}

// The clock of one operation's retries: Wait pauses before the next try,
// 2 ms at first, doubling up to 50 ms, each pause drawn between half and the
// whole of that, and says false (without pausing) once the budget is spent.
class TokenRetry {
 public:
  explicit TokenRetry(std::chrono::milliseconds budget = kTokenRetryBudget) noexcept
      : deadline_(Clock::now() + budget),
        random_(static_cast<std::uint_fast32_t>(
            Clock::now().time_since_epoch().count() ^
            std::hash<std::thread::id>{}(std::this_thread::get_id()))) {}

  bool Wait() noexcept {
    const Clock::time_point now = Clock::now();
    if (now >= deadline_) return false;
    const int step = std::min(tries_, 5);  // 2, 4, ... 50 ms
    const int ceiling = std::min(2 << step, 50);
    std::uniform_int_distribution<int> pick(ceiling * 500, ceiling * 1000);  // microseconds
    auto pause = std::chrono::microseconds(pick(random_));
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline_ - now);
    std::this_thread::sleep_for(std::min(pause, left));
    ++tries_;
    return true;
  }
  int Tries() const noexcept { return tries_; }

 private:
  using Clock = std::chrono::steady_clock;
  Clock::time_point deadline_;
  std::minstd_rand random_;
  int tries_ = 0;
};

}  // namespace tolmix
