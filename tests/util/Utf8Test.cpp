#include "util/Utf8.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace tolmix {
namespace {

size_t Decode(const std::string& s, char32_t* cp) {
  return DecodeUtf8Char(reinterpret_cast<const unsigned char*>(s.data()), s.size(), cp);
}

// Every scalar value goes out and comes back with its length; surrogates,
// written CESU-style by AppendUtf8, are refused on the way back.
TEST(Utf8, EveryCodePointRoundTripsAndSurrogatesAreRefused) {
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    std::string s;
    AppendUtf8(cp, &s);
    size_t want = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    ASSERT_EQ(s.size(), want) << std::hex << static_cast<uint32_t>(cp);
    char32_t back = 0;
    size_t len = Decode(s, &back);
    if (cp >= 0xD800 && cp <= 0xDFFF) {
      ASSERT_EQ(len, 0u) << std::hex << static_cast<uint32_t>(cp);
      continue;
    }
    ASSERT_EQ(len, want) << std::hex << static_cast<uint32_t>(cp);
    ASSERT_EQ(static_cast<uint32_t>(back), static_cast<uint32_t>(cp));
    // Cut short anywhere: refused, never read past N.
    for (size_t n = 1; n < want; ++n) {
      ASSERT_EQ(DecodeUtf8Char(reinterpret_cast<const unsigned char*>(s.data()), n, &back), 0u);
    }
  }
}

TEST(Utf8, OverlongFormsAndBadBytesAreRefused) {
  char32_t cp;
  for (const char* bad : {"\xC0\x80", "\xC1\xBF", "\xE0\x80\x80", "\xE0\x9F\xBF",
                          "\xF0\x80\x80\x80", "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80",
                          "\xF5\x80\x80\x80", "\xFF", "\x80", "\xE4\x41\x80", "\xE4\xB8\xC0"}) {
    EXPECT_EQ(Decode(bad, &cp), 0u) << bad;
  }
  // The character ends where its length says: what follows is not read.
  EXPECT_EQ(Decode("\xE4\xB8\xAD\xFF", &cp), 3u);
  EXPECT_EQ(static_cast<uint32_t>(cp), 0x4E2Du);
}

}  // namespace
}  // namespace tolmix
