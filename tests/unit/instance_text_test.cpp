// Stored command lines, service names and unit texts: what the instance verbs read back from a
// unit must be what they wrote, and no value may reach a line of its own.
#include <gtest/gtest.h>

#include "cli/entry.h"
#include "cli/instance_commands.h"
#include "cli/process_state.h"
#include "cli/service_control.h"
#include "platform/hbr_exception.h"

namespace hbr {
namespace {

TEST(StoredCommandLine, OptionsDefaultsAndQuotes) {
    InstanceRecord r = ParseStoredCommandLine(
        "\"/usr/lib/hbr\" run-srv -name \"Main\"  -url \"http://+:8118/\" -auth NTLM -admin "
        "CORP\\ops -dbpath \"/srv/x.db\"");
    EXPECT_EQ(r.url, "http://+:8118/");
    EXPECT_EQ(r.auth, "NTLM");
    EXPECT_EQ(r.admin, "CORP\\ops");
    EXPECT_EQ(r.dbPath, "/srv/x.db");

    r = ParseStoredCommandLine("\"/usr/lib/hbr\" run-srv -name \"Main\"");
    EXPECT_EQ(r.url, "http://+:8117/");
    EXPECT_EQ(r.auth, "WEBFORM");
    EXPECT_EQ(r.admin, "");
    EXPECT_EQ(r.dbPath, "");
    // The last token has no value; options are case-sensitive; the executable is no option.
    EXPECT_EQ(ParseStoredCommandLine("x -url").url, "http://+:8117/");
    EXPECT_EQ(ParseStoredCommandLine("x -URL http://a/").url, "http://+:8117/");
    EXPECT_EQ(ParseStoredCommandLine("-url http://a/").url, "http://+:8117/");
    EXPECT_EQ(ParseStoredCommandLine("").url, "http://+:8117/");
}

TEST(StoredCommandLine, ValuesWithBlanksAreCutAtTheBlank) {
    const std::string line =
        "\"/opt/my apps/hbr\" " + InstanceArguments("My Inst", "http://+:1/", "", "/srv/a b.db");
    EXPECT_EQ(line,
              "\"/opt/my apps/hbr\" run-srv -name \"My Inst\" -url \"http://+:1/\" -dbpath "
              "\"/srv/a b.db\"");
    const InstanceRecord r = ParseStoredCommandLine(line);
    EXPECT_EQ(r.dbPath, "/srv/a");
    EXPECT_EQ(r.url, "http://+:1/");
}

TEST(StoredCommandLine, CertificateFilesAreStoredAndReadBack) {
    const std::string line =
        "\"/usr/lib/hbr\" " +
        InstanceArguments("Main", "https://+:8443/", "", "", false, "/etc/c.pem", "/etc/k.pem");
    EXPECT_EQ(line,
              "\"/usr/lib/hbr\" run-srv -name \"Main\" -url \"https://+:8443/\" -cert "
              "\"/etc/c.pem\" -key \"/etc/k.pem\"");
    const InstanceRecord r = ParseStoredCommandLine(line);
    EXPECT_EQ(r.url, "https://+:8443/");
    EXPECT_EQ(r.cert, "/etc/c.pem");
    EXPECT_EQ(r.key, "/etc/k.pem");
    EXPECT_EQ(ParseStoredCommandLine("\"/x\" run-srv -name \"M\"").cert, "");
}

TEST(StoredCommandLine, BinaryPathDropsQuotes) {
    EXPECT_EQ(BinaryPath("/a\"b/hbr", "run-srv"), "\"/ab/hbr\" run-srv");
}

InstanceList WithServices(std::initializer_list<const char*> names) {
    InstanceList list;
    int i = 0;
    for (const char* n : names) {
        InstanceRecord r;
        r.name = "i" + std::to_string(i++);
        r.serviceName = n;
        list[r.name] = r;
    }
    return list;
}

TEST(NextServiceName, FirstUnusedNameInCounterOrder) {
    EXPECT_EQ(NextServiceName({}), "Hbr");
    EXPECT_EQ(NextServiceName(WithServices({"Hbr1", "Hbr"})), "Hbr2");
    EXPECT_EQ(NextServiceName(WithServices({"Hbr", "Hbr2"})), "Hbr1");
    // Names are compared exactly: hbr is not Hbr.
    EXPECT_EQ(NextServiceName(WithServices({"hbr", "HBR1"})), "Hbr");
    // Hbr2 listed under a later key than Hbr3 still forces a rescan.
    EXPECT_EQ(NextServiceName(WithServices({"Hbr3", "Hbr", "Hbr1", "Hbr2"})), "Hbr4");
}

TEST(UnitText, EscapesRoundTrip) {
    const std::string raw = "\"/x\" run-srv -name \"50% $HOME\" -admin A\\b -dbpath \"C:\\\\\"";
    EXPECT_EQ(UnescapeExecStart(EscapeExecStart(raw)), raw);
    EXPECT_EQ(EscapeExecStart("%h$X\\"), "%%h$$X\\\\");
    UnitConfig unit{"Fifty%", raw, "root", true};
    const UnitConfig back = ParseUnitText(UnitText(unit, "CreateService:"));
    EXPECT_EQ(back.description, "Fifty%");
    EXPECT_EQ(back.execStart, raw);
    EXPECT_EQ(back.user, "root");
    EXPECT_TRUE(back.bindCapability);
}

TEST(UnitText, NothingBreaksOutOfItsLine) {
    auto refused = [](UnitConfig unit) {
        try {
            UnitText(unit, "CreateService:");
        } catch (const CHbrException& e) {
            return std::string(e.what()).rfind("CreateService:", 0) == 0;
        }
        return false;
    };
    EXPECT_TRUE(refused({"a\nExecStartPre=/bin/sh", "\"/x\" run-srv", "", false}));
    EXPECT_TRUE(refused({"a", "\"/x\" run-srv\rUser=root", "", false}));
    EXPECT_TRUE(refused({"a\\", "\"/x\" run-srv", "", false}));  // a continued line
    EXPECT_TRUE(refused({"a", "\"/x\" run-srv", "root\nGroup=x", false}));
    EXPECT_TRUE(refused({"a", "\"/x\" run-srv", "ro ot", false}));
    EXPECT_FALSE(refused({"a b", "\"/x\" run-srv", "", false}));
    // Foreign text is read for its three keys and nothing else.
    const UnitConfig odd = ParseUnitText("garbage\n\nUser\nDescription=\nExecStart=a%%b$$\r\n");
    EXPECT_EQ(odd.execStart, "a%b$");
    EXPECT_EQ(odd.user, "");
}

TEST(UnsafeValue, QuotedAndBareValues) {
    EXPECT_EQ(UnsafeValueReason("-url", "http://+:1/ a", true), "");
    EXPECT_EQ(UnsafeValueReason("-url", "a\"b", true), "-url must not contain quotation marks.");
    EXPECT_EQ(UnsafeValueReason("-url", std::string("a\x7f"), true),
              "-url must not contain control characters.");
    EXPECT_EQ(UnsafeValueReason("-admin", "a b", false),
              "-admin must not contain blanks or \";\".");
    EXPECT_EQ(UnsafeValueReason("-admin", ";", false), "-admin must not contain blanks or \";\".");
    EXPECT_EQ(UnsafeValueReason("-admin", "CORP\\ops", false), "");
}

TEST(UrlRules, PortsAndCapability) {
    EXPECT_EQ(UrlPort("http://+:8117/"), 8117);
    EXPECT_EQ(UrlPort("http://+/"), 80);
    EXPECT_EQ(UrlPort("https://host/app/"), 443);
    EXPECT_EQ(UrlPort("http://[::1]/"), 80);
    EXPECT_EQ(UrlPort("http://[::1]:81/"), 81);
    EXPECT_EQ(UrlPort("http://+:99999999999/"), 0);
    EXPECT_EQ(UrlPort("nonsense"), 0);
    EXPECT_TRUE(ReserveUrl("http://+:80/", ""));
    EXPECT_TRUE(ReserveUrl("https://+:1023/", ""));
    EXPECT_FALSE(ReserveUrl("http://+:1024/", ""));
    EXPECT_FALSE(ReserveUrl("http://localhost:80/", ""));
    EXPECT_FALSE(ReserveUrl("http://127.0.0.1:443/", ""));
}

TEST(ServiceState, ActiveStatesAsTexts) {
    EXPECT_EQ(StateText("active"), "Running");
    EXPECT_EQ(StateText("inactive"), "Stopped");
    EXPECT_EQ(StateText("failed"), "Stopped");
    EXPECT_EQ(StateText("activating"), "Pending..");
    EXPECT_EQ(StateText(""), "Pending..");
}

TEST(ProfilePath, HomeFolderAfterTheLastBackslash) {
    std::string path;
    EXPECT_EQ(GetUserProfilePath(".\\root", path), 0);
    EXPECT_EQ(path, "/root");
    EXPECT_NE(GetUserProfilePath("no-such-account-x", path), 0);
}

// The options of a run, as FillInstanceConfig reads them.
InstanceConfig Filled(std::vector<std::string> args) {
    const InstanceConfig saved = Config();
    Config() = InstanceConfig{};
    FillInstanceConfig(ArgumentList(std::move(args)));
    const InstanceConfig filled = Config();
    Config() = saved;
    return filled;
}

TEST(EntryOptions, OptionEdgeCases) {
    EXPECT_EQ(Filled({"run-srv"}).name, "hbr");
    EXPECT_EQ(Filled({"run-srv"}).url, "http://+:8117/");
    EXPECT_FALSE(Filled({"run-srv"}).ntlmMode);
    EXPECT_EQ(Filled({"run-srv", "-name"}).name, "hbr");
    EXPECT_EQ(Filled({"run-srv", "-url", "-name", "x"}).url, "-name");
    EXPECT_EQ(Filled({"run-srv", "-URL", "x"}).url, "http://+:8117/");
    EXPECT_TRUE(Filled({"-auth", "ntlm"}).ntlmMode);
    EXPECT_TRUE(Filled({"-auth", "Ntlm"}).ntlmMode);
    EXPECT_FALSE(Filled({"-auth", "kerberos"}).ntlmMode);
    EXPECT_EQ(Filled({"-webroot"}).webRoot, "");
    EXPECT_EQ(Filled({"-webroot", "/w"}).webRoot, "/w");
    EXPECT_EQ(Filled({"--webroot", "/w"}).webRoot, "");
}

}  // namespace
}  // namespace hbr
