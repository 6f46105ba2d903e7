#include "platform/Com.h"

#include <cstdio>

namespace tolmix::platform {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads DIGITS hex digits at TEXT[*pos]; false on any non-hex character.
bool ReadHex(std::string_view text, size_t* pos, int digits, uint64_t* value) {
  if (*pos + digits > text.size()) return false;
  uint64_t v = 0;
  for (int i = 0; i < digits; ++i) {
    int h = HexValue(text[*pos + i]);
    if (h < 0) return false;
    v = v * 16 + static_cast<uint64_t>(h);
  }
  *pos += digits;
  *value = v;
  return true;
}

bool ReadDash(std::string_view text, size_t* pos) {
  if (*pos >= text.size() || text[*pos] != '-') return false;
  ++*pos;
  return true;
}

}  // namespace

std::string GuidToString(const GUID& g) {
  char buf[39];
  snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1,
           g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
           g.Data4[5], g.Data4[6], g.Data4[7]);
  return buf;
}

std::optional<GUID> GuidFromString(std::string_view text) {
  if (text.size() == 38) {
    if (text.front() != '{' || text.back() != '}') return std::nullopt;
    text = text.substr(1, 36);
  }
  if (text.size() != 36) return std::nullopt;
  GUID g{};
  size_t pos = 0;
  uint64_t v = 0;
  if (!ReadHex(text, &pos, 8, &v)) return std::nullopt;
  g.Data1 = static_cast<uint32_t>(v);
  if (!ReadDash(text, &pos) || !ReadHex(text, &pos, 4, &v)) return std::nullopt;
  g.Data2 = static_cast<uint16_t>(v);
  if (!ReadDash(text, &pos) || !ReadHex(text, &pos, 4, &v)) return std::nullopt;
  g.Data3 = static_cast<uint16_t>(v);
  if (!ReadDash(text, &pos)) return std::nullopt;
  for (int i = 0; i < 8; ++i) {
    if (i == 2 && !ReadDash(text, &pos)) return std::nullopt;
    if (!ReadHex(text, &pos, 2, &v)) return std::nullopt;
    g.Data4[i] = static_cast<uint8_t>(v);
  }
  return g;
}

const char* HResultName(HRESULT hr) {
  switch (hr) {
#define TOLMIX_HR_NAME(x) \
  case x:                 \
    return #x
    TOLMIX_HR_NAME(S_OK);
    TOLMIX_HR_NAME(S_FALSE);
    TOLMIX_HR_NAME(E_NOTIMPL);
    TOLMIX_HR_NAME(E_NOINTERFACE);
    TOLMIX_HR_NAME(E_POINTER);
    TOLMIX_HR_NAME(E_FAIL);
    TOLMIX_HR_NAME(E_UNEXPECTED);
    TOLMIX_HR_NAME(E_OUTOFMEMORY);
    TOLMIX_HR_NAME(E_INVALIDARG);
    TOLMIX_HR_NAME(CLASS_E_NOAGGREGATION);
    TOLMIX_HR_NAME(CLASS_E_CLASSNOTAVAILABLE);
    TOLMIX_HR_NAME(DISP_E_UNKNOWNINTERFACE);
    TOLMIX_HR_NAME(DISP_E_MEMBERNOTFOUND);
    TOLMIX_HR_NAME(DISP_E_PARAMNOTFOUND);
    TOLMIX_HR_NAME(DISP_E_TYPEMISMATCH);
    TOLMIX_HR_NAME(DISP_E_UNKNOWNNAME);
    TOLMIX_HR_NAME(DISP_E_NONAMEDARGS);
    TOLMIX_HR_NAME(DISP_E_BADVARTYPE);
    TOLMIX_HR_NAME(DISP_E_EXCEPTION);
    TOLMIX_HR_NAME(DISP_E_OVERFLOW);
    TOLMIX_HR_NAME(DISP_E_BADINDEX);
    TOLMIX_HR_NAME(DISP_E_BADPARAMCOUNT);
    TOLMIX_HR_NAME(DISP_E_PARAMNOTOPTIONAL);
    TOLMIX_HR_NAME(SELFREG_E_TYPELIB);
    TOLMIX_HR_NAME(SELFREG_E_CLASS);
#undef TOLMIX_HR_NAME
    default:
      return "";
  }
}

}  // namespace tolmix::platform
