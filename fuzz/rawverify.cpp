// RawVerify on any signature block, without devices: the block is decoded,
// its certificate read and its algorithm asks for an engine, which cannot
// come up here.  Input: mode byte, the data text (length-prefixed), then
// the block -- as bytes encoded here into one-line Base64 (mode byte even),
// or as the signature text itself (odd).
#include <openssl/err.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "engine/CMSEngine.h"
#include "fuzz/FuzzSupport.h"
#include "util/Base64.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tolmix::fuzz::UseSandbox();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tolmix;
  if (size > 32768) return 0;
  fuzz::Reader in(data, size);
  const uint8_t mode = in.Byte();
  const std::string content(in.Bytes(1024));
  const std::string_view block = in.Rest();
  std::string sig;
  if (mode & 1) {
    sig.assign(block);
  } else {
    sig.resize(static_cast<size_t>(Base64EncodedLength(static_cast<int>(block.size()))) + 1);
    sig.resize(static_cast<size_t>(Base64Encode(
        sig.data(), reinterpret_cast<const unsigned char*>(block.data()), static_cast<int>(block.size()))));
  }
  CMSEngine engine;
  engine.SetInterface((mode & 2) ? "CSP" : "P11");
  if (engine.RawVerify(content.c_str(), 0, sig.c_str(), 0) == 0) abort();
  char error[CMSEngine::kErrorTextSize];
  engine.GetErrorText(error);
  ERR_clear_error();
  return 0;
}
