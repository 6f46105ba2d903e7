// tolmix store import|list|remove|add-provider
#include "host/StoreCommand.h"

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <strings.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "engine/OsslPtr.h"
#include "platform/Certificate.h"
#include "platform/CodePage.h"
#include "platform/Env.h"
#include "platform/SoftProvider.h"
#include "platform/Store.h"
#include "util/ControlText.h"

namespace tolmix::host {

const char kStoreUsage[] =
    "store list\n"
    "  tolmix store add-provider PROVIDER\n"
    "  tolmix store import [--provider PROVIDER --container CONTAINER] CERT [KEY]\n"
    "  tolmix store remove THUMBPRINT [--with-key]";

namespace {

constexpr int kOk = 0, kFailed = 1, kUsage = 2;

int Usage() {
  fprintf(stderr, "usage: tolmix %s\n", kStoreUsage);
  return kUsage;
}

int Failed(const std::string& what) {
  fprintf(stderr, "tolmix store: %s\n", what.c_str());
  return kFailed;
}

// A stored text for the terminal: UTF-8, its control characters escaped (a
// tab in a name would also shift the columns of the list).
std::string Shown(const std::string& gbk) {
  std::string utf8;
  return EscapeControls(platform::GbkToUtf8(gbk, &utf8) ? utf8 : gbk);
}

bool ReadFileBytes(const char* path, std::string* out) {
  FILE* f = fopen(path, "rb");
  if (!f) return false;
  char buf[8192];
  size_t n;
  out->clear();
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, n);
  bool ok = !ferror(f);
  fclose(f);
  return ok;
}

// A certificate file, PEM or DER.
ossl::Ptr<X509> LoadCertificate(const char* path) {
  std::string bytes;
  if (!ReadFileBytes(path, &bytes)) return nullptr;
  ossl::Ptr<BIO> bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
  ossl::Ptr<X509> x(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  if (x) return x;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data());
  return ossl::Ptr<X509>(d2i_X509(nullptr, &p, static_cast<long>(bytes.size())));
}

int NoPassword(char*, int, int, void*) { return 0; }

ossl::Ptr<EVP_PKEY> LoadKey(const char* path) {
  std::string bytes;
  if (!ReadFileBytes(path, &bytes)) return nullptr;
  ossl::Ptr<BIO> bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
  ossl::Ptr<EVP_PKEY> key(PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassword, nullptr));
  OPENSSL_cleanse(bytes.data(), bytes.size());
  return key;
}

bool ToName(const char* utf8, std::string* gbk) {
  return platform::Utf8ToGbk(utf8, gbk) && platform::IsValidStoreName(*gbk);
}

int List() {
  std::vector<platform::StoreCertificate> certs;
  std::string error;
  if (!platform::ReadMyStore(&certs, &error)) return Failed(error);
  printf("store\t%s\n", EscapeControls(platform::StoreDir()).c_str());
  for (size_t i = 0; i < certs.size(); ++i) {
    const auto& c = certs[i];
    auto cert = platform::Certificate::FromDer(c.der.data(), c.der.size());
    printf("MY\t%zu\t%s\t%s\t%s\t%s\n", i, c.thumbprint.c_str(),
           cert ? Shown(cert->SimpleDisplayName()).c_str() : "?", Shown(c.provider).c_str(),
           Shown(c.container).c_str());
  }
  std::vector<std::string> providers = platform::ListSoftProviders();
  for (size_t i = 0; i < providers.size(); ++i) {
    std::string containers;
    for (const std::string& n : platform::ListContainers(providers[i])) {
      containers += (containers.empty() ? "" : ",") + Shown(n);
    }
    printf("provider\t%zu\t%s\t%s\n", i, Shown(providers[i]).c_str(), containers.c_str());
  }
  return kOk;
}

int AddProvider(int argc, char** argv) {
  std::string name, error;
  if (argc != 2) return Usage();
  if (!ToName(argv[1], &name)) return Failed("invalid provider name");
  return platform::AddSoftProvider(name, &error) ? kOk : Failed(error);
}

int Import(int argc, char** argv) {
  std::string provider, container, error;
  std::vector<const char*> files;
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    if ((a == "--provider" || a == "--container") && i + 1 < argc) {
      if (!ToName(argv[++i], a == "--provider" ? &provider : &container)) {
        return Failed("invalid " + std::string(a.substr(2)) + " name");
      }
    } else if (a.starts_with("--")) {
      return Usage();
    } else {
      files.push_back(argv[i]);
    }
  }
  if (files.empty() || files.size() > 2) return Usage();
  ossl::Ptr<X509> x509 = LoadCertificate(files[0]);
  if (!x509) return Failed(std::string("no certificate in ") + files[0]);
  int len = i2d_X509(x509.get(), nullptr);
  std::vector<unsigned char> der(static_cast<size_t>(len > 0 ? len : 0));
  unsigned char* p = der.data();
  if (len <= 0 || i2d_X509(x509.get(), &p) != len) return Failed("cannot encode the certificate");

  if (files.size() == 2) {
    if (provider.empty()) return Failed("a key needs --provider");
    if (container.empty()) container = platform::Thumbprint(der);
    ossl::Ptr<EVP_PKEY> key = LoadKey(files[1]);
    if (!key) return Failed(std::string("no unencrypted private key in ") + files[1]);
    if (X509_check_private_key(x509.get(), key.get()) != 1) {
      return Failed("the key does not belong to the certificate");
    }
    if (!platform::AddSoftProvider(provider, &error) ||
        !platform::PutContainerKey(provider, container, key.get(), &error)) {
      return Failed(error);
    }
  } else if (provider.empty() != container.empty()) {
    return Failed("--provider and --container go together without a key");
  }
  std::string thumbprint;
  if (!platform::ImportToMy(der, provider, container, &thumbprint, &error)) return Failed(error);
  printf("%s\n", thumbprint.c_str());
  return kOk;
}

int Remove(int argc, char** argv) {
  bool with_key = false;
  const char* thumbprint = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--with-key") {
      with_key = true;
    } else if (!thumbprint) {
      thumbprint = argv[i];
    } else {
      return Usage();
    }
  }
  if (!thumbprint) return Usage();
  std::vector<platform::StoreCertificate> certs;
  std::string error;
  if (!platform::ReadMyStore(&certs, &error)) return Failed(error);
  std::string provider, container;
  for (const auto& c : certs) {
    if (strcasecmp(c.thumbprint.c_str(), thumbprint) == 0) {
      provider = c.provider;
      container = c.container;
    }
  }
  if (!platform::RemoveFromMy(thumbprint, &error)) return Failed(error);
  if (with_key && !container.empty() &&
      !platform::RemoveContainerKey(provider, container, &error)) {
    return Failed(error);
  }
  return kOk;
}

}  // namespace

int RunStoreCommand(int argc, char** argv) {
  if (argc < 1) return Usage();
  std::string_view sub = argv[0];
  if (sub == "list" && argc == 1) return List();
  if (sub == "add-provider") return AddProvider(argc, argv);
  if (sub == "import") return Import(argc, argv);
  if (sub == "remove") return Remove(argc, argv);
  return Usage();
}

int RunStore(std::span<const char* const> args) {
  std::vector<char*> argv;
  for (const char* a : args) argv.push_back(const_cast<char*>(a));
  argv.push_back(nullptr);
  return RunStoreCommand(static_cast<int>(args.size()), argv.data());
}

}  // namespace tolmix::host
