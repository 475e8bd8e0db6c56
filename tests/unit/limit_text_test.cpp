// The limits text of an instance's environment: what is taken, what is skipped.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/limit_text.h"

namespace hbr {
namespace {

std::vector<std::pair<std::string, std::int64_t>> Taken(std::string_view text) {
    std::vector<std::pair<std::string, std::int64_t>> out;
    ForEachLimit(text, [&](std::string_view name, std::int64_t v) { out.emplace_back(name, v); });
    return out;
}

TEST(LimitText, WholePositiveNumbersAreTakenInOrderAndTheRestSkipped) {
    using List = std::vector<std::pair<std::string, std::int64_t>>;
    EXPECT_EQ(Taken("a=1,b=20"), (List{{"a", 1}, {"b", 20}}));
    // Zero and below would switch a protection off; text, blanks, signs and overflow are typos.
    EXPECT_EQ(Taken("zero=0,neg=-5,word=x,blank=,plus=+3,space= 4,frac=1.5,big=9223372036854775808,"
                    "noequals,,ok=7"),
              (List{{"ok", 7}}));
    EXPECT_EQ(Taken("a=1=2,b=3"), (List{{"b", 3}}));
    EXPECT_EQ(Taken(""), List{});
    EXPECT_EQ(Taken(",,,"), List{});
    EXPECT_EQ(Taken("max=9223372036854775807"), (List{{"max", INT64_MAX}}));
}

}  // namespace
}  // namespace hbr
