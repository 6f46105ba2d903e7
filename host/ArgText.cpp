#include "host/ArgText.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include "platform/CodePage.h"

namespace tolmix::host {
namespace {

bool ReadFile(const std::string& path, std::string* out, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot open \"" + path + "\": " + strerror(errno);
    return false;
  }
  out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) {
    *error = "cannot read \"" + path + "\"";
    return false;
  }
  return true;
}

}  // namespace

bool DecodeArgument(std::string_view arg, std::u16string* out, std::string* error) {
  std::string utf8;
  if (arg.starts_with("@@")) {
    utf8.assign(arg.substr(1));
  } else if (arg.starts_with("@")) {
    std::string path(arg.substr(1));
    if (!ReadFile(path, &utf8, error)) return false;
    if (utf8.starts_with("\xEF\xBB\xBF")) utf8.erase(0, 3);
    if (!platform::Utf8ToUtf16(utf8, out)) {
      *error = "\"" + path + "\" is not UTF-8 text";
      return false;
    }
    return true;
  } else {
    utf8.assign(arg);
  }
  if (!platform::Utf8ToUtf16(utf8, out)) {
    *error = "argument \"" + std::string(arg) + "\" is not UTF-8 text";
    return false;
  }
  return true;
}

}  // namespace tolmix::host
