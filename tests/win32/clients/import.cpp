// Puts a certificate and its private key into the current user's "MY"
// store and a provider's key container (platform/win32/Store.cpp), as a
// user's enrolment would: import CERT.pem KEY.pem PROVIDER CONTAINER.
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <vector>

#include "platform/Store.h"

int main(int argc, char** argv) {
  if (argc != 5) return 2;
  FILE* c = fopen(argv[1], "rb");
  FILE* k = fopen(argv[2], "rb");
  X509* cert = c ? PEM_read_X509(c, nullptr, nullptr, nullptr) : nullptr;
  EVP_PKEY* key = k ? PEM_read_PrivateKey(k, nullptr, nullptr, nullptr) : nullptr;
  if (!cert || !key) return 1;
  unsigned char* der = nullptr;
  int len = i2d_X509(cert, &der);
  std::string error;
  bool ok = tolmix::platform::PutContainerKey(argv[3], argv[4], key, &error) &&
            tolmix::platform::ImportToMy(std::vector<unsigned char>(der, der + len), argv[3],
                                         argv[4], nullptr, &error);
  if (!ok) fprintf(stderr, "import: %s\n", error.c_str());
  return ok ? 0 : 1;
}
