#include "engine/EngineLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "platform/Env.h"
#include "platform/LocalTime.h"

namespace tolmix {
namespace {

// Record labels, GBK.
constexpr char kTimeLabel[] = "\xCA\xB1\xBC\xE4\xA3\xBA";                 // "时间："
constexpr char kFileLabel[] = " \xCE\xC4\xBC\xFE\xC3\xFB\xA3\xBA";        // " 文件名："
constexpr char kFunctionLabel[] = " \xBA\xAF\xCA\xFD\xA3\xBA";            // " 函数："
constexpr char kLineLabel[] = " \xD0\xD0\xBA\xC5\xA3\xBA";                // " 行号："

// The part of PATH after its last '\' or '/'; the whole path without either.
const char* BaseName(const char* path) {
  if (!path) return "";
  const char* base = path;
  for (const char* p = path; *p; ++p) {
    if (*p == '\\' || *p == '/') base = p + 1;
  }
  return base;
}

// TEXT as a Windows text-mode stream writes it: LF becomes CR LF.
std::string ToTextMode(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

}  // namespace

CEngineLog::CEngineLog(const char* file_name) {
  m_strPath = platform::LogDir() + "/" + (file_name ? file_name : "");
}

CEngineLog::~CEngineLog() {
  if (m_pFile) fclose(m_pFile);
}

std::string CEngineLog::BuildRecord(const char* time_text, const char* message, const void* data,
                                    size_t count, const char* source_path, const char* function,
                                    int line) {
  std::string record;
  record.reserve(96 + count);
  record += kTimeLabel;
  record += time_text ? time_text : "";
  record += kFileLabel;
  record += BaseName(source_path);
  record += kFunctionLabel;
  record += function ? function : "";
  record += kLineLabel;
  record += std::to_string(line);
  record += "--";
  record += message ? message : "";
  record += ' ';
  if (data && count) record.append(static_cast<const char*>(data), count);
  record += '\n';
  return record;
}

void CEngineLog::WriteData(const char* message, const void* data, size_t count,
                           const char* source_path, const char* function, int line) noexcept {
  if (m_strPath.empty()) return;
  try {
    // No O_CREAT: the open itself is the existence check, so the logger can
    // never create the file, not even in a race with its deletion.
    // O_NONBLOCK keeps a FIFO without a reader from blocking the engine.
    int fd = open(m_strPath.c_str(), O_WRONLY | O_APPEND | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    m_pFile = fdopen(fd, "ab");
    if (!m_pFile) {
      close(fd);
      return;
    }
    const std::string record = ToTextMode(
        BuildRecord(platform::AsctimeNow().c_str(), message, data, count, source_path, function, line));
    fwrite(record.data(), 1, record.size(), m_pFile);
  } catch (...) {
    // Out of memory while building the record: the record is dropped.
  }
  if (m_pFile) {
    fclose(m_pFile);
    m_pFile = nullptr;
  }
}

void CEngineLog::WriteText(const char* message, const char* text, const char* source_path,
                           const char* function, int line) noexcept {
  WriteData(message, text, text ? strlen(text) : 0, source_path, function, line);
}

void CEngineLog::WriteNumber(const char* message, int64_t number, const char* source_path,
                             const char* function, int line) noexcept {
  char digits[24];
  snprintf(digits, sizeof digits, "%lld", static_cast<long long>(number));
  WriteText(message, digits, source_path, function, line);
}

}  // namespace tolmix
