// Base64Decode on any text, and the encoder's round trip: what
// Base64Encode writes must decode to the same bytes (its one line falls
// into whole 64-character pieces of whole groups), and the length-only
// call must agree with the decoding one.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "util/Base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tolmix;
  std::string text(reinterpret_cast<const char*>(data), size);  // ends at a NUL inside
  unsigned sized = 0;
  const int r1 = Base64Decode(nullptr, text.c_str(), &sized);
  std::vector<unsigned char> out(text.size() * 3 / 4 + 1);
  unsigned got = 0;
  const int r2 = Base64Decode(out.data(), text.c_str(), &got);
  if (r1 != r2 || (r1 == 0 && (sized != got || got > strlen(text.c_str()) * 3 / 4))) abort();

  if (static_cast<int>(size) < 0) return 0;
  std::vector<char> enc(static_cast<size_t>(Base64EncodedLength(static_cast<int>(size))) + 1);
  const int n = Base64Encode(enc.data(), data, static_cast<int>(size));
  if (n != Base64EncodedLength(static_cast<int>(size)) || enc[n] != '\0') abort();
  std::vector<unsigned char> back(size + 3);
  unsigned back_len = 0;
  const int r3 = Base64Decode(back.data(), enc.data(), &back_len);
  if (size == 0) {
    if (r3 != -1) abort();  // the empty text does not decode
  } else if (r3 != 0 || back_len != size || memcmp(back.data(), data, size) != 0) {
    abort();
  }
  return 0;
}
