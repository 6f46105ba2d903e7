#include "platform/Variant.h"

#include "platform/Coerce.h"

#include <cstdint>
#include <limits>
#include <new>
#include <string>

namespace tolmix::platform {
namespace {

bool KnownType(VARTYPE vt) {
  return vt == VT_EMPTY || vt == VT_NULL || vt == VT_I2 || vt == VT_I4 || vt == VT_R8 ||
         vt == VT_BOOL || vt == VT_BSTR;
}

bool EqualsIgnoringAsciiCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i], y = b[i];
    if (x >= u'A' && x <= u'Z') x = static_cast<char16_t>(x - u'A' + u'a');
    if (y >= u'A' && y <= u'Z') y = static_cast<char16_t>(y - u'A' + u'a');
    if (x != y) return false;
  }
  return true;
}

// The value of SRC as a number, for the conversions to numbers and to
// BOOL.  HEX_BITS: the width of an "&H" text (Coerce.h).
HRESULT NumberOf(const VARIANT& src, int hexBits, double* value) {
  switch (src.vt) {
    case VT_EMPTY: *value = 0; return S_OK;
    case VT_I2: *value = src.iVal; return S_OK;
    case VT_I4: *value = src.lVal; return S_OK;
    case VT_R8: *value = src.dblVal; return S_OK;
    case VT_BOOL: *value = src.boolVal ? -1 : 0; return S_OK;
    case VT_BSTR: return ParseNumber(BstrView(src.bstrVal), UserNumberFormat(), hexBits, value);
    case VT_NULL: return DISP_E_TYPEMISMATCH;
    default: return DISP_E_BADVARTYPE;
  }
}

HRESULT TextOf(const VARIANT& src, uint16_t flags, BSTR* out) {
  std::u16string text;
  switch (src.vt) {
    case VT_EMPTY: break;
    case VT_I2:
    case VT_I4: {
      std::string digits = std::to_string(src.vt == VT_I2 ? int32_t{src.iVal} : src.lVal);
      text.assign(digits.begin(), digits.end());
      break;
    }
    case VT_R8:
      text = FormatNumber(src.dblVal, UserNumberFormat());
      break;
    case VT_NULL:
      return DISP_E_TYPEMISMATCH;
    case VT_BOOL:
      if (flags & VARIANT_ALPHABOOL) {
        text = src.boolVal ? u"True" : u"False";
      } else {
        text = src.boolVal ? u"-1" : u"0";
      }
      break;
    case VT_BSTR:
      text = BstrView(src.bstrVal);
      break;
    default:
      return DISP_E_BADVARTYPE;
  }
  *out = SysAllocString(std::u16string_view(text));
  return *out ? S_OK : E_OUTOFMEMORY;
}

}  // namespace

void VariantInit(VARIANT* v) noexcept {
  v->vt = VT_EMPTY;
  v->dblVal = 0;  // all bits zero: also a null BSTR
}

HRESULT VariantClear(VARIANT* v) noexcept {
  if (v == nullptr) return E_INVALIDARG;
  if (!KnownType(v->vt)) return DISP_E_BADVARTYPE;
  if (v->vt == VT_BSTR) SysFreeString(v->bstrVal);
  VariantInit(v);
  return S_OK;
}

HRESULT VariantCopy(VARIANT* dst, const VARIANT* src) noexcept {
  if (dst == nullptr || src == nullptr) return E_INVALIDARG;
  if (!KnownType(src->vt)) return DISP_E_BADVARTYPE;
  if (dst == src) return S_OK;
  VARIANT copy = *src;
  if (src->vt == VT_BSTR && src->bstrVal != nullptr) {
    copy.bstrVal = SysAllocString(BstrView(src->bstrVal));
    if (copy.bstrVal == nullptr) {
      VariantClear(dst);
      return E_OUTOFMEMORY;
    }
  }
  HRESULT hr = VariantClear(dst);
  if (Failed(hr)) {
    if (copy.vt == VT_BSTR) SysFreeString(copy.bstrVal);
    return hr;
  }
  *dst = copy;
  return S_OK;
}

HRESULT VariantChangeType(VARIANT* dst, const VARIANT* src, uint16_t flags, VARTYPE vt) noexcept {
  if (dst == nullptr || src == nullptr) return E_INVALIDARG;
  if (!KnownType(src->vt) || !KnownType(vt) || vt == VT_NULL) return DISP_E_BADVARTYPE;
  if (!KnownType(dst->vt)) return DISP_E_BADVARTYPE;

  VARIANT result;
  VariantInit(&result);
  result.vt = vt;
  switch (vt) {
    case VT_EMPTY:
      break;
    case VT_I2:
    case VT_I4: {
      double d = 0;
      HRESULT hr = NumberOf(*src, vt == VT_I2 ? 16 : 32, &d);
      if (Failed(hr)) return hr;
      int32_t n = 0;
      if (vt == VT_I2) {
        hr = RoundToInteger(d, std::numeric_limits<int16_t>::min(),
                            std::numeric_limits<int16_t>::max(), &n);
        result.iVal = static_cast<int16_t>(n);
      } else {
        hr = RoundToInteger(d, std::numeric_limits<int32_t>::min(),
                            std::numeric_limits<int32_t>::max(), &n);
        result.lVal = n;
      }
      if (Failed(hr)) return hr;
      break;
    }
    case VT_R8: {
      HRESULT hr = NumberOf(*src, 32, &result.dblVal);
      if (Failed(hr)) return hr;
      break;
    }
    case VT_BOOL: {
      if (src->vt == VT_BSTR) {
        std::u16string_view text = BstrView(src->bstrVal);
        if (EqualsIgnoringAsciiCase(text, u"True")) {
          result.boolVal = VARIANT_TRUE;
          break;
        }
        if (EqualsIgnoringAsciiCase(text, u"False")) {
          result.boolVal = VARIANT_FALSE;
          break;
        }
      }
      double d = 0;
      HRESULT hr = NumberOf(*src, 32, &d);
      if (Failed(hr)) return hr;
      result.boolVal = d != 0 ? VARIANT_TRUE : VARIANT_FALSE;
      break;
    }
    case VT_BSTR: {
      HRESULT hr = TextOf(*src, flags, &result.bstrVal);
      if (Failed(hr)) return hr;
      break;
    }
  }
  // SRC is no longer needed, so DST (possibly SRC itself) can be cleared.
  VariantClear(dst);
  *dst = result;
  return S_OK;
}

Variant::Variant(const Variant& other) {
  VariantInit(this);
  if (Failed(VariantCopy(this, &other))) throw std::bad_alloc();
}

Variant& Variant::operator=(const Variant& other) {
  if (this != &other && Failed(VariantCopy(this, &other))) throw std::bad_alloc();
  return *this;
}

Variant::Variant(Variant&& other) noexcept {
  static_cast<VARIANT&>(*this) = other;
  VariantInit(&other);
}

Variant& Variant::operator=(Variant&& other) noexcept {
  if (this != &other) {
    VariantClear(this);
    static_cast<VARIANT&>(*this) = other;
    VariantInit(&other);
  }
  return *this;
}

Variant Variant::I2(int16_t value) noexcept {
  Variant v;
  v.vt = VT_I2;
  v.iVal = value;
  return v;
}

Variant Variant::I4(int32_t value) noexcept {
  Variant v;
  v.vt = VT_I4;
  v.lVal = value;
  return v;
}

Variant Variant::R8(double value) noexcept {
  Variant v;
  v.vt = VT_R8;
  v.dblVal = value;
  return v;
}

Variant Variant::Null() noexcept {
  Variant v;
  v.vt = VT_NULL;
  return v;
}

Variant Variant::Bool(bool value) noexcept {
  Variant v;
  v.vt = VT_BOOL;
  v.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
  return v;
}

Variant Variant::Text(std::u16string_view text) {
  Variant v;
  v.bstrVal = SysAllocString(text);
  if (v.bstrVal == nullptr) throw std::bad_alloc();
  v.vt = VT_BSTR;
  return v;
}

Variant Variant::NullText() noexcept {
  Variant v;
  v.vt = VT_BSTR;
  v.bstrVal = nullptr;
  return v;
}

}  // namespace tolmix::platform
