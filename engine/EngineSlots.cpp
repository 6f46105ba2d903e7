#include "engine/EngineSlots.h"

#include <mutex>

#include <openssl/engine.h>

namespace tolmix {

bool EnsureEngineSlots() {
  static std::once_flag once;
  static bool safe = false;
  std::call_once(once, [] {
    int first = -1;
    int index = 0;
    while (index < kEngineSlotLast) {
      index = ENGINE_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
      if (index < 0) return;  // out of memory: slots stay unsafe
      if (first < 0) first = index;
    }
    safe = first == 1;
  });
  return safe;
}

}  // namespace tolmix
