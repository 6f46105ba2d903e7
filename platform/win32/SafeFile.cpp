// Source and target files on Windows.  Paths come as UTF-8 (FileName.h)
// and are opened through the wide-character calls, so a Chinese file name
// names the same file whatever the ANSI code page.  A source must be a
// regular file; a target must be absent or a regular file (a folder or a
// reparse point -- link or junction -- is refused), and its content goes
// to a new file beside it that replaces it only when complete.
#include "platform/SafeFile.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include "platform/CodePage.h"

namespace tolmix::platform {
namespace {

bool Wide(const std::string& utf8, std::wstring* out) {
  std::u16string w;
  if (utf8.empty() || !Utf8ToUtf16(utf8, &w)) return false;
  out->assign(w.begin(), w.end());
  return true;
}

}  // namespace

int OpenSourceFile(const char* path) noexcept try {
  std::wstring name;
  if (path == nullptr || !Wide(path, &name)) return -1;
  int fd = _wopen(name.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
  if (fd < 0) return -1;
  struct _stat64 st;
  if (_fstat64(fd, &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG) {
    _close(fd);
    return -1;
  }
  return fd;
} catch (...) {
  return -1;
}

TargetFile::~TargetFile() { Discard(); }

bool TargetFile::Create(const char* path) noexcept try {
  Discard();
  std::wstring target;
  if (path == nullptr || !Wide(path, &target)) return false;
  const wchar_t last = target.back();
  if (last == L'\\' || last == L'/') return false;
  const DWORD attrs = GetFileAttributesW(target.c_str());
  if (attrs != INVALID_FILE_ATTRIBUTES &&
      (attrs & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE))) {
    return false;
  }
  for (unsigned n = 0; n < 100 && m_pFile == nullptr; ++n) {
    std::string temp = std::string(path) + ".tolmix-" + std::to_string(GetCurrentProcessId()) +
                       "-" + std::to_string(n);
    std::wstring wtemp;
    if (!Wide(temp, &wtemp)) return false;
    int fd = _wopen(wtemp.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                    _S_IREAD | _S_IWRITE);
    if (fd < 0) continue;
    m_pFile = _fdopen(fd, "wb");
    if (m_pFile == nullptr) {
      _close(fd);
      _wunlink(wtemp.c_str());
      return false;
    }
    m_strTemp = std::move(temp);
  }
  if (m_pFile == nullptr) return false;
  m_strName = path;
  return true;
} catch (...) {
  Discard();
  return false;
}

bool TargetFile::Commit() noexcept {
  if (m_pFile == nullptr) return false;
  bool ok = fflush(m_pFile) == 0 && _commit(_fileno(m_pFile)) == 0;
  ok = fclose(m_pFile) == 0 && ok;
  m_pFile = nullptr;
  std::wstring from, to;
  ok = ok && Wide(m_strTemp, &from) && Wide(m_strName, &to) &&
       MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  if (ok) m_strTemp.clear();
  Discard();
  return ok;
}

void TargetFile::Discard() noexcept {
  if (m_pFile != nullptr) {
    fclose(m_pFile);
    m_pFile = nullptr;
  }
  std::wstring temp;
  if (!m_strTemp.empty() && Wide(m_strTemp, &temp)) _wunlink(temp.c_str());
  m_strTemp.clear();
}

}  // namespace tolmix::platform
