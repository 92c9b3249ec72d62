#include "util/env.h"

#include <gtest/gtest.h>
#include <stdlib.h>

namespace tarnix {
namespace {

constexpr const char* kVar = "TARNIX_TEST_ENV_VALUE";

class EnvTest : public ::testing::Test {
 protected:
  void TearDown() override { unsetenv(kVar); }
  void set(const char* value) { setenv(kVar, value, 1); }
};

TEST_F(EnvTest, UsizeTrimsAndRefusesAnythingElse) {
  struct Case {
    const char* text;
    std::optional<uint32_t> value;
  } cases[] = {{" 80 ", 80},       {"+80", 80},        {"0", 0},
               {"4294967295", UINT32_MAX}, {"80x", {}},  {"-1", {}},
               {"", {}},           {"+", {}},          {"4294967296", {}},
               {"\t12\n", 12},     {"1 2", {}},        {"\xff", {}}};
  for (const Case& c : cases) {
    set(c.text);
    EXPECT_EQ(env_usize(kVar), c.value) << "'" << c.text << "'";
  }
  unsetenv(kVar);
  EXPECT_EQ(env_usize(kVar), std::nullopt);
}

TEST_F(EnvTest, FlagIsTrueOnlyForFourWords) {
  for (const char* yes : {"TRUE", " Yes ", "on", "1", "tRuE"}) {
    set(yes);
    EXPECT_TRUE(env_flag_true(kVar)) << yes;
  }
  for (const char* no : {"y", "2", "enabled", "", "0", "false", "true1"}) {
    set(no);
    EXPECT_FALSE(env_flag_true(kVar)) << no;
  }
  unsetenv(kVar);
  EXPECT_FALSE(env_flag_true(kVar));
}

TEST_F(EnvTest, PlainAndTrimmedNumbers) {
  set(" 64");
  EXPECT_EQ(env_u32_plain(kVar), std::nullopt);  // a leading blank is not a number here
  EXPECT_EQ(env_u64_trimmed(kVar), 64u);
  set("+64");
  EXPECT_EQ(env_u32_plain(kVar), 64u);
  set("0");
  EXPECT_EQ(env_u64_plain(kVar), 0u);
  set("18446744073709551615");
  EXPECT_EQ(env_u64_plain(kVar), UINT64_MAX);
  set("18446744073709551616");
  EXPECT_EQ(env_u64_plain(kVar), std::nullopt);
  set("abc");
  EXPECT_EQ(env_u64_trimmed(kVar), std::nullopt);
  set(" 1000 ");
  EXPECT_EQ(env_u64_trimmed(kVar), 1000u);
  set("-5");
  EXPECT_EQ(env_u64_trimmed(kVar), std::nullopt);
}

}  // namespace
}  // namespace tarnix
