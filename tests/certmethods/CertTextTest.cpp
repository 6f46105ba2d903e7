// Text rules of the certificate methods, alone: PEM body, item pattern and
// name item lookup, serial text, countdown.
#include <gtest/gtest.h>

#include <string>

#include "control/CertText.h"

namespace tolmix::control {
namespace {

struct BodyCase {
  const char* name;
  const char* text;
  const char* body;  // nullptr: no body
};

class PemBodyTest : public ::testing::TestWithParam<BodyCase> {};

TEST_P(PemBodyTest, Body) {
  std::optional<std::string_view> body = PemBody(GetParam().text);
  if (GetParam().body == nullptr) {
    EXPECT_FALSE(body);
  } else {
    ASSERT_TRUE(body);
    EXPECT_EQ(*body, GetParam().body);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PemBodyTest,
    ::testing::Values(
        BodyCase{"Lf", "x-----BEGIN CERTIFICATE-----\nQUJD\n-----END CERTIFICATE-----\ny", "QUJD\n"},
        BodyCase{"CrLf", "-----BEGIN CERTIFICATE-----\r\nQUJD\r\n-----END CERTIFICATE-----",
                 "\nQUJD\r\n"},
        // One line: the first Base64 character stays in the body.
        BodyCase{"OneLine", "-----BEGIN CERTIFICATE-----QUJD-----END CERTIFICATE-----", "QUJD"},
        BodyCase{"Bare", "QUJD", "QUJD"},
        BodyCase{"NoEnd", "-----BEGIN CERTIFICATE-----\nQUJD", nullptr},
        // An END marker before the BEGIN marker does not end the body.
        BodyCase{"EndFirst",
                 "-----END CERTIFICATE-----\n-----BEGIN CERTIFICATE-----\nQUJD\n"
                 "-----END CERTIFICATE-----",
                 "QUJD\n"}),
    [](const auto& info) { return std::string(info.param.name); });

struct ItemCase {
  const char* name;
  const char* nameText;
  const char* item;
  const char* value;
};

class NameItemTest : public ::testing::TestWithParam<ItemCase> {};

TEST_P(NameItemTest, Value) {
  std::optional<std::string> pattern = ItemPattern(GetParam().item);
  ASSERT_TRUE(pattern);
  EXPECT_EQ(NameItemValue(GetParam().nameText, *pattern), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NameItemTest,
    ::testing::Values(
        ItemCase{"LowerCaseKeyword", "CN=Zhang, O=Acme, C=CN", "cn", "Zhang"},
        ItemCase{"LastElement", "CN=Zhang, O=Acme, C=CN", "C", "CN"},
        ItemCase{"EmptyItemFindsFirstValue", "CN=Zhang, O=Acme", "", "Zhang"},
        ItemCase{"Absent", "CN=Zhang, O=Acme", "OU", ""},
        ItemCase{"ValueCutAtComma", "O=\"Acme, Inc.\", C=CN", "O", "\"Acme"},
        // A plain substring search: "C=" matches at the end of "DC=".
        ItemCase{"SuffixOfLongerKey", "DC=example, C=CN", "C", "example"},
        ItemCase{"EmailUnderE", "E=ca@orva.cn, CN=ORVA", "Email", "ca@orva.cn"},
        ItemCase{"EmailInMultiValued", "CN=Zhang + E=z@x.cn, C=CN", "EMAIL", "z@x.cn"},
        ItemCase{"EmailKeyWritten", "EMAIL=a@b.cn, E=c@d.cn", "email", "a@b.cn"},
        // "E=" inside a quoted value or at the end of another key is no key.
        ItemCase{"EmailNotInQuotes", "O=\"x, E=no@x.cn\", E=yes@x.cn", "Email", "yes@x.cn"},
        ItemCase{"EmailNotKeySuffix", "OID.1.2.3=v, PHONE=1, SE=x, C=CN", "Email", ""},
        // The GBK trail byte 0x61 ('a') is not upper-cased.
        ItemCase{"GbkKeyword", "OID.1=v, \x81\x61=yes", "\x81\x61", "yes"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ItemPattern, HoldsAtMost62Bytes) {
  EXPECT_EQ(ItemPattern(std::string(62, 'a').c_str()), std::string(62, 'A') + "=");
  EXPECT_FALSE(ItemPattern(std::string(63, 'a').c_str()));
}

TEST(SerialText, LowercaseHexAndBound) {
  EXPECT_EQ(SerialText({0x00, 0xAB, 0x01}), "00ab01");
  EXPECT_EQ(SerialText(std::vector<unsigned char>(127, 0xFF)), std::string(254, 'f'));
  EXPECT_EQ(SerialText(std::vector<unsigned char>(128, 0xFF)), "");
}

struct DaysCase {
  const char* name;
  long seconds;  // end of validity minus now
  const char* text;
};

class DaysTest : public ::testing::TestWithParam<DaysCase> {};

TEST_P(DaysTest, Text) {
  const std::time_t now = 1700000000;
  EXPECT_EQ(DaysToExpiryText(now + GetParam().seconds, now), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Cases, DaysTest,
                         ::testing::Values(DaysCase{"ThirtyHours", 30 * 3600, "1"},
                                           DaysCase{"ExpiredSixHoursAgo", -6 * 3600, "-0"},
                                           DaysCase{"ThirteenHours", 13 * 3600, "1"},
                                           DaysCase{"TenDays", 10 * 86400 + 60, "10"},
                                           DaysCase{"ExpiredThreeDays", -3 * 86400, "-3"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tolmix::control
