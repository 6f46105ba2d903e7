// Steps of `tolmix demo`: child runs of this program, the SKF key's plug,
// the PFX file.
#include "host/DemoParts.h"

#include <sys/wait.h>
#include <unistd.h>

#include <openssl/pem.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include "engine/OsslPtr.h"
#include "host/SandboxParts.h"

namespace tolmix::host::demo {

namespace {

struct FileCloser {
  void operator()(FILE* f) const noexcept { fclose(f); }
};

}  // namespace

int RunSelf(const std::vector<std::string>& args,
            const std::function<void(const std::string&)>& onLine) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  std::vector<char*> argv{const_cast<char*>("tolmix")};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  fflush(stdout);  // nothing buffered here may be written twice
  fflush(stderr);
  pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return -1;
  }
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    close(fds[0]);
    close(fds[1]);
    execv("/proc/self/exe", argv.data());
    _exit(127);
  }
  close(fds[1]);
  std::unique_ptr<FILE, FileCloser> out(fdopen(fds[0], "r"));
  if (!out) close(fds[0]);
  std::string line;
  for (int ch; out && (ch = fgetc(out.get())) != EOF;) {
    if (ch != '\n') {
      line.push_back(static_cast<char>(ch));
      continue;
    }
    onLine(line);
    line.clear();
  }
  if (!line.empty()) onLine(line);
  out.reset();
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool ReadWholeFile(const std::string& path, std::string* bytes, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read " + path;
    return false;
  }
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) *error = "cannot read " + path;
  return !in.bad();
}

bool PlugSkfDevice(const std::string& tokenDir, const std::string& device, bool present,
                   std::string* error) {
  const std::string path = tokenDir + "/" + device + "/device.conf";
  std::string conf;
  if (!ReadWholeFile(path, &conf, error)) return false;
  // Every line but "present = ..." is kept; the new one goes last.
  std::istringstream lines(conf);
  std::string kept;
  for (std::string line; std::getline(lines, line);) {
    if (line.compare(0, 7, "present") == 0) continue;
    kept += line + "\n";
  }
  kept += present ? "present = 1\n" : "present = 0\n";
  return sandbox::WriteFileAtomic(path, kept, 0644, error);
}

bool MakePfx(const std::string& certPemPath, const std::string& keyPemPath,
             const std::string& password, const std::string& pfxPath, std::string* error) {
  ossl::Ptr<BIO> certIn(BIO_new_file(certPemPath.c_str(), "r"));
  ossl::Ptr<X509> cert(certIn ? PEM_read_bio_X509(certIn.get(), nullptr, nullptr, nullptr)
                              : nullptr);
  ossl::Ptr<BIO> keyIn(BIO_new_file(keyPemPath.c_str(), "r"));
  ossl::Ptr<EVP_PKEY> key(
      keyIn ? PEM_read_bio_PrivateKey(keyIn.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!cert || !key) {
    *error = "cannot read " + (cert ? keyPemPath : certPemPath);
    return false;
  }
  ossl::Ptr<PKCS12> p12(PKCS12_create(password.c_str(), "demo", key.get(), cert.get(), nullptr,
                                      0, 0, 0, 0, 0));
  ossl::Ptr<BIO> out(p12 ? BIO_new_file(pfxPath.c_str(), "wb") : nullptr);
  if (!p12 || !out || i2d_PKCS12_bio(out.get(), p12.get()) != 1 || BIO_flush(out.get()) != 1) {
    *error = "cannot write the PFX file " + pfxPath;
    return false;
  }
  return true;
}

}  // namespace tolmix::host::demo
