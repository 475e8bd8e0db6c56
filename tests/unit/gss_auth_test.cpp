// Names and messages of integrated authentication that do not need a handshake.
#include "web/gss_auth.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace hbr {
namespace {

std::string Bytes(std::initializer_list<int> b) {
    std::string s;
    for (int c : b) s.push_back(static_cast<char>(c));
    return s;
}

const std::string kSignature("NTLMSSP\0", 8);

uint32_t Le32(const std::string& s, size_t at) {
    return static_cast<uint32_t>(static_cast<unsigned char>(s[at])) |
           static_cast<uint32_t>(static_cast<unsigned char>(s[at + 1])) << 8 |
           static_cast<uint32_t>(static_cast<unsigned char>(s[at + 2])) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(s[at + 3])) << 24;
}

TEST(GssNames, NtlmNamesAreKeptWithTheirDomainAndGetTheDefaultOne) {
    GssAuthSettings s;
    s.defaultDomain = "CORP";
    EXPECT_EQ(AccountFromGssName("OTHER\\alice", s), "OTHER\\alice");
    EXPECT_EQ(AccountFromGssName(std::string("CORP\\alice\0", 11), s), "CORP\\alice");
    EXPECT_EQ(AccountFromGssName("\\alice", s), "CORP\\alice");
    EXPECT_EQ(AccountFromGssName("alice", s), "CORP\\alice");
    s.defaultDomain.clear();
    EXPECT_EQ(AccountFromGssName("alice", s), "alice");
}

TEST(GssNames, KerberosPrincipalsMapThroughTheRealmTable) {
    GssAuthSettings s;
    s.realmDomains["CORP.EXAMPLE.COM"] = "CONTOSO";
    EXPECT_EQ(AccountFromGssName("alice@CORP.EXAMPLE.COM", s), "CONTOSO\\alice");
    EXPECT_EQ(AccountFromGssName("alice@corp.example.com", s), "CONTOSO\\alice");
    // Not in the table: the realm's first label.
    EXPECT_EQ(AccountFromGssName("bob@LAB.EXAMPLE.ORG", s), "LAB\\bob");
    EXPECT_EQ(AccountFromGssName("bob@LAB", s), "LAB\\bob");
}

TEST(GssNames, NamesThatAreNoAccountAreRefused) {
    GssAuthSettings s;
    EXPECT_EQ(AccountFromGssName("", s), "");
    EXPECT_EQ(AccountFromGssName(std::string("\0", 1), s), "");
    EXPECT_EQ(AccountFromGssName("CORP\\", s), "");
    EXPECT_EQ(AccountFromGssName("A\\B\\C", s), "");
    EXPECT_EQ(AccountFromGssName(std::string("CORP\\al\0ice", 12), s), "");
    EXPECT_EQ(AccountFromGssName("CORP\\al\nice", s), "");
    EXPECT_EQ(AccountFromGssName("@REALM", s), "");
    EXPECT_EQ(AccountFromGssName("user@", s), "");
    EXPECT_EQ(AccountFromGssName("HTTP/host@REALM", s), "");
    // No first label, so no domain: not "\\alice", which would read as a name without one.
    EXPECT_EQ(AccountFromGssName("alice@.EXAMPLE.COM", s), "");
}

TEST(GssNames, TheRealmTableIsReadFromTheEnvironment) {
    setenv("HBR_KRB5_REALMS", "corp.example.com=CORP, broken ,=X,Y=,LAB.ORG=LABS", 1);
    setenv("NETBIOS_DOMAIN_NAME", "HOME", 1);
    const auto s = GssAuthSettingsFromEnvironment(AuthScheme::Negotiate);
    unsetenv("HBR_KRB5_REALMS");
    unsetenv("NETBIOS_DOMAIN_NAME");
    EXPECT_EQ(s.scheme, AuthScheme::Negotiate);
    EXPECT_EQ(s.defaultDomain, "HOME");
    ASSERT_EQ(s.realmDomains.size(), 2u);
    EXPECT_EQ(s.realmDomains.at("CORP.EXAMPLE.COM"), "CORP");
    EXPECT_EQ(s.realmDomains.at("LAB.ORG"), "LABS");
}

TEST(NtlmMessages, AShortNegotiateGetsAnEmptyVersionField) {
    // curl's NEGOTIATE: flags 0x00088206, no domain, no workstation, 32 bytes.
    std::string negotiate = kSignature + Bytes({1, 0, 0, 0, 6, 0x82, 8, 0}) + std::string(16, '\0');
    ASSERT_EQ(negotiate.size(), 32u);
    const auto out = NormaliseNtlmToken(negotiate);
    ASSERT_EQ(out.size(), 40u);
    EXPECT_EQ(out.substr(0, 32), negotiate);
    EXPECT_EQ(out.substr(32), std::string(8, '\0'));
    // A message that already has the field, or names a domain it cannot carry, is left alone.
    const std::string full = negotiate + std::string(8, '\0');
    EXPECT_EQ(NormaliseNtlmToken(full), full);
    std::string withDomain = negotiate;
    withDomain[16] = 4;
    EXPECT_EQ(NormaliseNtlmToken(withDomain), withDomain);
}

// An AUTHENTICATE with the payload right after the flags, as curl sends it.
std::string ShortAuthenticate() {
    std::string m = kSignature + Bytes({3, 0, 0, 0});
    auto field = [&](int length, int offset) {
        m += Bytes({length & 0xff, length >> 8, length & 0xff, length >> 8, offset & 0xff,
                    offset >> 8, 0, 0});
    };
    field(2, 64);  // LM
    field(3, 66);  // NT
    field(1, 69);  // domain
    field(1, 70);  // user
    field(1, 71);  // workstation
    field(0, 0);   // session key: empty, at offset 0
    m += Bytes({6, 0x82, 0x89, 2});
    m += "LMNTNDUW";
    return m;
}

TEST(NtlmMessages, AnAuthenticateWithoutVersionGetsOneAndItsOffsetsMove) {
    const std::string in = ShortAuthenticate();
    ASSERT_EQ(in.size(), 72u);
    const auto out = NormaliseNtlmToken(in);
    ASSERT_EQ(out.size(), 80u);
    EXPECT_EQ(out.substr(0, 12), in.substr(0, 12));
    EXPECT_EQ(Le32(out, 16), 72u);  // LM offset
    EXPECT_EQ(Le32(out, 24), 74u);  // NT offset
    EXPECT_EQ(Le32(out, 56), 72u);  // the empty session key points at the payload, not at 0
    EXPECT_EQ(Le32(out, 60), Le32(in, 60));  // flags
    EXPECT_EQ(out.substr(64, 8), std::string(8, '\0'));
    EXPECT_EQ(out.substr(72), "LMNTNDUW");
    // Each field still names the same bytes.
    EXPECT_EQ(out.substr(Le32(out, 24), 3), in.substr(Le32(in, 24), 3));
}

// A field so far out that moving it by the version's 8 bytes would wrap round to the header:
// the message stays as sent (the library refuses it) rather than naming other bytes.
TEST(NtlmMessages, AFieldThatWouldWrapLeavesTheMessageAsSent) {
    for (const int field : {1, 5}) {  // a non-empty field, and the empty session key
        std::string in = ShortAuthenticate();
        const size_t at = 12 + 8 * static_cast<size_t>(field) + 4;
        for (size_t b = 0; b < 4; ++b) in[at + b] = static_cast<char>(b == 0 ? 0xfc : 0xff);
        EXPECT_EQ(NormaliseNtlmToken(in), in) << field;
    }
}

TEST(NtlmMessages, OtherTokensPassUnchanged) {
    for (const std::string& t :
         {std::string(), std::string("NTLMSSP"), kSignature + Bytes({2, 0, 0, 0}),
          std::string("\x60\x28\x06\x06\x2b\x06\x01\x05\x05\x02", 10), std::string(32, 'x'),
          kSignature + Bytes({3, 0, 0, 0}) + std::string(20, '\0')}) {
        EXPECT_EQ(NormaliseNtlmToken(t), t);
    }
    // An AUTHENTICATE whose payload already starts behind a version field.
    std::string withVersion = ShortAuthenticate();
    for (size_t f = 0; f < 5; ++f)
        withVersion[16 + 8 * f] = static_cast<char>(withVersion[16 + 8 * f] + 8);
    withVersion.insert(64, 8, '\0');
    EXPECT_EQ(NormaliseNtlmToken(withVersion), withVersion);
}

}  // namespace
}  // namespace hbr
