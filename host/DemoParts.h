// The steps of `tolmix demo` (host/Demo.h) that touch processes and files.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace tolmix::host::demo {

// Runs this program with ARGS (the words after "tolmix") in a child process
// that inherits the environment and standard error.  Each line of its
// standard output goes to ON_LINE without its line feed.  Returns the
// child's exit status, or -1 when it could not run or did not exit.
int RunSelf(const std::vector<std::string>& args,
            const std::function<void(const std::string&)>& onLine);

// Plugs the soft SKF device DEVICE under TOKEN_DIR in (PRESENT) or pulls it
// out: the "present" line of its device.conf, which the soft SKF library
// reads at every device enumeration.  False with a reason in *ERROR.
bool PlugSkfDevice(const std::string& tokenDir, const std::string& device, bool present,
                   std::string* error);

// Writes a PKCS#12 file at PFX_PATH holding the certificate CERT_PEM_PATH
// and its key KEY_PEM_PATH under PASSWORD (OpenSSL 3 defaults: AES-256 and
// a SHA-256 MAC).  False with a reason in *ERROR.
bool MakePfx(const std::string& certPemPath, const std::string& keyPemPath,
             const std::string& password, const std::string& pfxPath, std::string* error);

// The whole content of PATH, or false with a reason in *ERROR.
bool ReadWholeFile(const std::string& path, std::string* bytes, std::string* error);

}  // namespace tolmix::host::demo
