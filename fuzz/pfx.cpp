// PFX import on any file image: ImportPfxFirstCertificate with a password
// from the input, and CertParsePfx / GetCertInfoPfx of the control on the
// same bytes written to a file.  Input: mode byte, password
// (length-prefixed), then the image.  Mode bit 0 sends the image through
// the control as well.
#include <openssl/err.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "control/TOLMIXCtrl.h"
#include "fuzz/FuzzSupport.h"
#include "platform/Pfx.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tolmix::fuzz::UseSandbox();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tolmix;
  if (size > 65536) return 0;
  fuzz::Reader in(data, size);
  const uint8_t mode = in.Byte();
  const std::string password(in.Bytes(64));
  const std::string_view image = in.Rest();
  if (auto cert = platform::ImportPfxFirstCertificate(
          reinterpret_cast<const unsigned char*>(image.data()), image.size(), password)) {
    cert->SubjectName();
  }
  if (mode & 1) {
    const std::string path = fuzz::UseSandbox() + "/fuzz.pfx";
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) abort();
    fwrite(image.data(), 1, image.size(), f);
    fclose(f);
    CTOLMIXCtrl* c = CTOLMIXCtrl::Create();
    if (c->CertParsePfx(path.c_str(), password.c_str(), "")) c->GetSubject();
    c->GetCertInfoPfx(path.c_str(), 3007, password.c_str());
    c->Release();
  }
  ERR_clear_error();
  return 0;
}
