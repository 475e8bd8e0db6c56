// VM limits read from stored j_vms texts and checked in posted role objects.
#include <gtest/gtest.h>

#include "store/json.h"
#include "store/vm_limits.h"

namespace hbr {
namespace {

constexpr const char* kA = "1891102A-5DE8-4BD6-AF5F-97EA2A331B9C";
constexpr const char* kB = "00000002-0000-0000-0000-000000000000";

std::string Vm(const std::string& members) {
    return "{" + members + "}";
}
std::string Id(const char* id) {
    return std::string("\"id\":\"") + id + "\"";
}

TEST(VmLimit, IdsAreComparedAsValuesNeverFoundInTheText) {
    EXPECT_FALSE(ReadVmLimit("").limited);
    EXPECT_FALSE(ReadVmLimit(" \n").limited);
    EXPECT_TRUE(ReadVmLimit("").Allows(kB));

    // Another VM's id as a display name grants nothing.
    const VmLimit named = ReadVmLimit("[" + Vm(Id(kA) + ",\"name\":\"" + kB + "\"") + "]");
    EXPECT_TRUE(named.Allows(kA));
    EXPECT_FALSE(named.Allows(kB));
    // Letter case aside, ids are equal; pieces of one are not.
    std::string lower = kA;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_TRUE(named.Allows(lower));
    EXPECT_FALSE(named.Allows("1891102A"));
    EXPECT_FALSE(named.Allows(""));
    // One text per role, one after another: each counts.
    const VmLimit two = ReadVmLimit("[" + Vm(Id(kA)) + "] [" + Vm(Id(kB)) + "]");
    EXPECT_TRUE(two.Allows(kA) && two.Allows(kB));
}

TEST(VmLimit, WhatDoesNotReadGrantsNothing) {
    // An element with two ids grants neither; the rest of the list still counts.
    const VmLimit twice =
        ReadVmLimit("[" + Vm(Id(kA) + "," + Id(kB)) + "," + Vm(std::string("\"id\":\"X\"")) + "]");
    EXPECT_TRUE(twice.limited);
    EXPECT_FALSE(twice.Allows(kA));
    EXPECT_FALSE(twice.Allows(kB));
    EXPECT_TRUE(twice.Allows("x"));
    // A text that is not a run of arrays: limited to nothing at all.
    for (const std::string& bad :
         {"[{\"id\":\"" + std::string(kA) + "\"}", std::string("null"),
          "[{\"id\":\"" + std::string(kA) + "\"}] x", std::string("{\"id\":1}")}) {
        const VmLimit l = ReadVmLimit(bad);
        EXPECT_TRUE(l.limited) << bad;
        EXPECT_FALSE(l.Allows(kA)) << bad;
    }
    // Brackets inside names do not end the list early.
    EXPECT_TRUE(ReadVmLimit("[" + Vm(Id(kA) + ",\"name\":\"]x[\\\"\"") + "]").Allows(kA));
}

TEST(VmLimit, PostedListsMustNameEachVmOnce) {
    const auto valid = [](const std::string& text) {
        JsonDocument doc;
        EXPECT_TRUE(ParseJson(text, doc)) << text;
        return IsValidVmList(doc.Root());
    };
    EXPECT_TRUE(valid("null"));
    EXPECT_TRUE(valid("[]"));
    EXPECT_TRUE(valid("[" + Vm(Id(kA)) + "," + Vm(Id(kB) + ",\"name\":\"b\"") + "]"));
    EXPECT_TRUE(valid("[" + Vm(Id(kA) + ",\"name\":null") + "]"));
    for (const std::string& bad :
         {"[" + Vm(Id(kA) + "," + Id(kB)) + "]",
          "[" + Vm(Id(kA) + ",\"name\":\"a\",\"name\":\"b\"") + "]",
          "[" + Vm(Id(kA) + ",\"vm\":\"x\"") + "]", "[" + Vm("\"name\":\"a\"") + "]",
          std::string("[{\"id\":\"A\"}]"), "[" + Vm(Id(kA) + ",\"name\":1") + "]",
          std::string("[\"") + kA + "\"]", std::string("{\"id\":\"") + kA + "\"}",
          std::string("1")})
        EXPECT_FALSE(valid(bad)) << bad;
    EXPECT_TRUE(IsVmGuid("1891102a-5de8-4BD6-AF5F-97EA2A331B9C"));
    EXPECT_FALSE(IsVmGuid("1891102a-5de8-4BD6-AF5F-97EA2A331B9"));
    EXPECT_FALSE(IsVmGuid("1891102a_5de8-4BD6-AF5F-97EA2A331B9C"));
}

}  // namespace
}  // namespace hbr
