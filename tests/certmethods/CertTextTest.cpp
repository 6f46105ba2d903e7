// The item pattern and the name item lookup, alone, over name texts that
// no certificate needs to be made for.
#include <gtest/gtest.h>

#include <string>

#include "control/CertText.h"

namespace tolmix::control {
namespace {

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

}  // namespace
}  // namespace tolmix::control
