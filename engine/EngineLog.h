// CEngineLog: the engine's diagnostic log "keyapi.log".
//
// Logging is switched on by creating the file in the log folder
// (platform::LogDir(), $TOLMIX_LOG_DIR) and off by deleting it: the logger
// only ever appends to a file that already exists and never creates one.
// Writing never reports a failure; a missing file, a failed open or a failed
// write leave no trace.
//
// One record, all texts byte for byte (labels are GBK):
//   "时间：" <asctime without LF> " 文件名：" <basename of source path>
//   " 函数：" <function> " 行号：" <line> "--" <message> " " <payload> LF
// The record is written as a Windows text-mode stream would write it: every
// LF, also one inside the payload, reaches the disk as CR LF.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace tolmix {

class CEngineLog {
 public:
  // Logger of the file FILE_NAME in platform::LogDir() (read now).
  explicit CEngineLog(const char* file_name);
  virtual ~CEngineLog();

  CEngineLog(const CEngineLog&) = delete;
  CEngineLog& operator=(const CEngineLog&) = delete;

  // Appends one record with COUNT payload bytes (none when DATA is null).
  // SOURCE_PATH is shown from its last '\' or '/' on; null texts are empty.
  void WriteData(const char* message, const void* data, size_t count, const char* source_path,
                 const char* function, int line) noexcept;

  // WriteData with the payload TEXT (may be null: no payload).
  void WriteText(const char* message, const char* text, const char* source_path,
                 const char* function, int line) noexcept;

  // WriteText with NUMBER in decimal, "-" first when negative.  Callers pass
  // a 32-bit code widened with its sign.
  void WriteNumber(const char* message, int64_t number, const char* source_path,
                   const char* function, int line) noexcept;

  // Full path of the log file.
  const std::string& Path() const noexcept { return m_strPath; }

  // The record WriteData would write, with its line ends still bare LF, and
  // TIME_TEXT in place of the current asctime text.  Exposed for tests.
  static std::string BuildRecord(const char* time_text, const char* message, const void* data,
                                 size_t count, const char* source_path, const char* function,
                                 int line);

 private:
  FILE* m_pFile = nullptr;  // open only while one record is written
  std::string m_strPath;
};

// Call-site helpers: pass the calling statement's file and line and an empty
// function name, as the engine's call sites do.  LOG may be null (no logger).
#define TOLMIX_LOG_DATA(log, message, data, count)                                   \
  do {                                                                               \
    if (::tolmix::CEngineLog* tolmix_log_ = (log))                                   \
      tolmix_log_->WriteData((message), (data), (count), __FILE__, "", __LINE__);   \
  } while (0)
#define TOLMIX_LOG_TEXT(log, message, text)                                 \
  do {                                                                      \
    if (::tolmix::CEngineLog* tolmix_log_ = (log))                          \
      tolmix_log_->WriteText((message), (text), __FILE__, "", __LINE__);   \
  } while (0)
#define TOLMIX_LOG_NUMBER(log, message, number)                                              \
  do {                                                                                       \
    if (::tolmix::CEngineLog* tolmix_log_ = (log))                                           \
      tolmix_log_->WriteNumber((message), static_cast<int64_t>(number), __FILE__, "", __LINE__); \
  } while (0)

}  // namespace tolmix
