// The members that take file names, which argument is a file, whether it
// is read or written, and the message the member itself records when it
// cannot open that file (UTF-8; null where the member records none).
#pragma once

#include <cstdint>
#include <string_view>

#include "bridge/Confinement.h"

namespace tolmix::bridge {

struct FileArg {
  std::string_view member;
  uint8_t index;
  PathUse use;
  const char* message;
};

inline constexpr FileArg kFileArgs[] = {
    {"EncryptFile", 0, PathUse::kRead, "读取源文件失败!"},
    {"EncryptFile", 1, PathUse::kWrite, "写加密文件失败!"},
    {"DecryptFile", 0, PathUse::kRead, "读取加密文件失败!"},
    {"DecryptFile", 1, PathUse::kWrite, "写解密文件失败!"},
    {"CertParsePfx", 0, PathUse::kRead, nullptr},
    {"GetCertInfoPfx", 0, PathUse::kRead, "pfx证书解析失败."},
};

}  // namespace tolmix::bridge
