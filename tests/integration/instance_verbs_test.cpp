// The instance verbs and the entry's dispatch, run as the real hbr against a unit folder of
// the test's own and a stand-in systemctl: texts on their streams, exit codes, unit files.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "cli/process_state.h"
#include "cli/service_control.h"
#include "store/database.h"
#include "store/event_log.h"
#include "store/users.h"
#include "support/hbr_command.h"

namespace hbr {
namespace {

namespace fs = std::filesystem;

const char* const kHelp =
    "\nThe following commands are available:\n\n"
    " add-instance            - Adds an instance.\n"
    " update-instance         - Updates an instance.\n"
    " delete-instance         - Deletes an instance.\n"
    " start-instance          - Starts an instance.\n"
    " stop-instance           - Stops an instance.\n"
    " restart-instance        - Restarts an instance.\n"
    " view-instances          - Displays a list of instances.\n"
    "\nCommand options:\n\n"
    " -name                   - Instance name.\n"
    " -url                    - URL Template. Example: http://+:8117/\n"
    " -user                   - User account name to run the Web Service. Default: "
    ".\\HbrService\n"
    " -password               - User account password.\n"
    " -auth                   - Authentication Scheme: WEBFORM (default); NTLM\n"
    " -admin                  - Administrator user name: Domain\\User. Valid for -auth NTLM.\n"
    " -dbpath                 - Database file path. Default: "
    "%LOCALAPPDATA%\\VmHarbor\\[instanceName]\\hbr.db\n"
    "\nUsage:\n\n"
    " add-instance -name -url [-user] [-password] [-auth] [-admin] [-dbpath]\n"
    " update-instance -name [-url] [-user] [-password] [-auth] [-admin] [-dbpath]\n"
    " restart-instance -name\n";

std::string ExecStartOf(const std::string& unit) {
    const auto at = unit.find("\nExecStart=");
    if (at == std::string::npos) return {};
    return unit.substr(at + 11, unit.find('\n', at + 1) - at - 11);
}

// systemd's own reading of a unit this program wrote.
void ExpectSystemdAccepts(const ServiceSandbox& box, const std::string& serviceName) {
    if (access("/usr/bin/systemd-analyze", X_OK) != 0) {
        std::printf("systemd-analyze missing; unit %s not verified\n", serviceName.c_str());
        return;
    }
    const CommandResult r =
        RunCommand("/usr/bin/systemd-analyze",
                   {"verify", "--man=no", box.Units() + "/" + serviceName + ".service"}, {});
    EXPECT_EQ(r.status, 0) << r.out << r.err << box.UnitText(serviceName);
    EXPECT_EQ(r.err.find("nknown"), std::string::npos) << r.err;
}

class InstanceVerbs : public ::testing::Test {
  protected:
    CommandResult Add(const std::string& name, const std::string& url,
                      std::vector<std::string> more = {"-user", "root"}) {
        std::vector<std::string> args{"add-instance", "-name", name, "-url", url};
        args.insert(args.end(), more.begin(), more.end());
        return box.Run(args);
    }
    ServiceSandbox box;
};

TEST_F(InstanceVerbs, HelpIsPrintedByteForByteWithoutAVerb) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {"?"}, {"-name", "Main"}, {"view", "instances"}}) {
        const CommandResult r = box.Run(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, kHelp);
        EXPECT_EQ(r.err, "");
    }
    EXPECT_EQ(box.Calls(), "");
}

TEST_F(InstanceVerbs, ViewWithNoInstances) {
    const CommandResult r = box.Run({"view-instances"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "\n VmHarbor v" +
                         std::string(HBR_VERSION).substr(0, std::string(HBR_VERSION).rfind('.')) +
                         "\n\nNo instances found\n"
                         "Use hbr add-instance command to create new instance\n"
                         "To view all commands use hbr ? \n");
}

TEST_F(InstanceVerbs, AddNumbersServicesAndStoresTheCommandLine) {
    CommandResult r = Add("Main", "http://+:8117/");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "\nInstance added\n");
    EXPECT_EQ(r.err, "");
    const std::string unit = box.UnitText("Hbr");
    EXPECT_EQ(ExecStartOf(unit), "\"" + fs::canonical(HBR_EXE).string() +
                                     "\" run-srv -name \"Main\" -url \"http://+:8117/\"");
    EXPECT_NE(unit.find("\nDescription=Main\n"), std::string::npos);
    EXPECT_NE(unit.find("\nType=notify\n"), std::string::npos);
    EXPECT_NE(unit.find("\nUser=root\n"), std::string::npos);
    EXPECT_NE(unit.find("\nWantedBy=multi-user.target\n"), std::string::npos);
    EXPECT_NE(unit.find("\nLimitNOFILE=65536\n"), std::string::npos);
    EXPECT_EQ(unit.find("AmbientCapabilities"), std::string::npos);
    EXPECT_EQ(box.Calls(), "daemon-reload\nenable Hbr.service\nstart Hbr.service\n");
    ExpectSystemdAccepts(box, "Hbr");

    r = Add("Second", "  http://+:8118/  ", {"-user", "root", "-admin", "CORP\\ops"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(
        box.UnitText("Hbr1").find(
            "run-srv -name \"Second\" -url \"http://+:8118/\" -auth NTLM -admin CORP\\\\ops\n"),
        std::string::npos)
        << box.UnitText("Hbr1");
    ExpectSystemdAccepts(box, "Hbr1");

    r = box.Run({"view-instances"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find(" Name:         Second\n State:        Running\n"
                         " Url:          http://+:8118/\n User:         root\n"
                         " Auth:         NTLM\n Admin:        CORP\\ops\n"
                         " DbPath:       /root/.local/share/VmHarbor/Second/hbr.db\n\n"),
              std::string::npos)
        << r.out;
    // A form-login instance has no administrator line.
    EXPECT_NE(r.out.find(" Auth:         WEBFORM\n DbPath: "), std::string::npos) << r.out;
    EXPECT_LT(r.out.find("Main"), r.out.find("Second"));
}

TEST_F(InstanceVerbs, AddRefusals) {
    ASSERT_EQ(Add("Main", "http://+:8117/").status, 0);
    struct Case {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"add-instance", "-name", "Main", "-url", "http://+:1/"},
         "\nadd-instance failed:\nInstance name Main exists.\n"},
        {{"add-instance", "-name", "New"},
         "\nadd-instance failed:\n-url is required. Example: -url http://+:8117/\n"},
        {{"add-instance", "-name", "New", "-url", "http://+:1/", "-auth", "ntlm"},
         "\nadd-instance failed:\n-admin is required.\n"},
        {{"add-instance", "-name", "New", "-url", "http://+:1/\nUser=root"},
         "\nadd-instance failed:\n-url must not contain control characters.\n"},
        {{"add-instance", "-name", "N\"ew", "-url", "http://+:1/"},
         "\nadd-instance failed:\nThe instance name must not contain quotation marks.\n"},
        {{"add-instance", "-name", "New\\", "-url", "http://+:1/"},
         "\nadd-instance failed:\nThe instance name must not end with a backslash.\n"},
        {{"add-instance", "-name", "New", "-url", "http://+:1/", "-admin", "a -dbpath /x"},
         "\nadd-instance failed:\n-admin must not contain blanks or \";\".\n"},
        {{"add-instance", "-name", "New", "-url", "http://+:1/", "-dbpath", "/x\"y"},
         "\nadd-instance failed:\n-dbpath must not contain quotation marks.\n"},
        {{"add-instance", "-name", "New", "-url", "http://+:1/", "-user", "no-such-account-x"},
         "\nadd-instance failed:\nCreateService: no such account: no-such-account-x\n"},
    };
    for (const auto& c : cases) {
        const CommandResult r = box.Run(c.args);
        EXPECT_EQ(r.status, 255) << c.err;
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(box.UnitExists("Hbr1")) << c.err;
    }
    const CommandResult r = box.Run({"add-instance", "-name", "   ", "-url", "http://+:1/"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "\nFailed: Parameter -name is required\n");
}

TEST_F(InstanceVerbs, SpecifiersAreEscapedAndReadBack) {
    ASSERT_EQ(
        Add("Fifty%", "http://+:8117/%h$HOME/", {"-user", "root", "-dbpath", "/tmp/$x%i"}).status,
        0);
    const std::string unit = box.UnitText("Hbr");
    EXPECT_NE(unit.find("\nDescription=Fifty%%\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("-url \"http://+:8117/%%h$$HOME/\" -dbpath \"/tmp/$$x%%i\""),
              std::string::npos)
        << unit;
    ExpectSystemdAccepts(box, "Hbr");
    const CommandResult r = box.Run({"view-instances"});
    EXPECT_NE(r.out.find(" Name:         Fifty%\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" Url:          http://+:8117/%h$HOME/\n"), std::string::npos);
    EXPECT_NE(r.out.find(" DbPath:       /tmp/$x%i\n"), std::string::npos);
}

TEST_F(InstanceVerbs, DefaultAccountAndLowPorts) {
    ASSERT_EQ(Add("Web", "http://+:80/", {}).status, 0);
    EXPECT_EQ(box.UseraddCalls(),
              "--system --create-home --home-dir /var/lib/hbrservice --shell /usr/sbin/nologin "
              "hbrservice\n");
    const std::string unit = box.UnitText("Hbr");
    EXPECT_NE(unit.find("\nUser=hbrservice\nSupplementaryGroups=hbrservice\n"), std::string::npos);
    EXPECT_NE(unit.find("\nAmbientCapabilities=CAP_NET_BIND_SERVICE\n"), std::string::npos);
    // The state group is made when there is none (only root writes real units).
    EXPECT_EQ(box.GroupaddCalls(), geteuid() == 0 ? "--system hbrservice\n" : "");
    ExpectSystemdAccepts(box, "Hbr");
    ASSERT_EQ(Add("Local", "http://localhost:80/").status, 0);
    EXPECT_EQ(box.UnitText("Hbr1").find("AmbientCapabilities"), std::string::npos);
    // Root writes the state folder as it is; its units join no group.
    EXPECT_EQ(box.UnitText("Hbr1").find("SupplementaryGroups"), std::string::npos);

    box.Touch("fail-useradd");
    const CommandResult r = Add("Third", "http://+:8119/", {});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err,
              "\nadd-instance failed:\nCreate user failed: useradd failed (exit status 9)\n");
    EXPECT_FALSE(box.UnitExists("Hbr2"));
}

TEST_F(InstanceVerbs, DefaultAccountTakesAnExistingStateGroupAndKeepsAnExistingAccount) {
    // A state group made earlier for another account becomes the account's own group.
    box.AddGroup("hbrservice", 990);
    ASSERT_EQ(Add("Web", "http://+:8117/", {}).status, 0);
    EXPECT_EQ(box.UseraddCalls(),
              "--system --create-home --home-dir /var/lib/hbrservice --shell /usr/sbin/nologin "
              "--gid hbrservice hbrservice\n");
    EXPECT_EQ(box.GroupaddCalls(), "");

    // A machine where the product was installed before: the account stays as it is.
    box.AddAccount("hbrservice", 990);
    ASSERT_EQ(Add("Again", "http://+:8118/", {}).status, 0);
    EXPECT_EQ(box.UseraddCalls(),
              "--system --create-home --home-dir /var/lib/hbrservice --shell /usr/sbin/nologin "
              "--gid hbrservice hbrservice\n");
    EXPECT_NE(box.UnitText("Hbr1").find("\nUser=hbrservice\n"), std::string::npos);
}

TEST_F(InstanceVerbs, NextServiceNameFillsGapsAndIgnoresLongNames) {
    WriteFileText(box.Units() + "/Hbr.service", "[Unit]\nDescription=A\n");
    WriteFileText(box.Units() + "/Hbr2.service", "[Unit]\nDescription=B\n");
    WriteFileText(box.Units() + "/Hbr10.service", "[Unit]\nDescription=Ten\n");
    ASSERT_EQ(Add("C", "http://+:1/").status, 0);
    EXPECT_TRUE(box.UnitExists("Hbr1"));
    ASSERT_EQ(Add("D", "http://+:2/").status, 0);
    EXPECT_TRUE(box.UnitExists("Hbr3"));
    EXPECT_EQ(box.Run({"view-instances"}).out.find("Ten"), std::string::npos);
}

TEST_F(InstanceVerbs, ForeignAndBrokenUnitsAreListedWithEmptyFields) {
    WriteFileText(box.Units() + "/hbrx.service", "\x01\x02garbage without lines");
    mkdir((box.Units() + "/HBR9.service").c_str(), 0755);
    ASSERT_EQ(symlink("/dev/null", (box.Units() + "/Hbr5.service").c_str()), 0);
    ASSERT_EQ(mkfifo((box.Units() + "/hbr7.service").c_str(), 0644), 0);
    WriteFileText(box.Units() + "/Hbr6.service", "ExecStart=\n");
    const CommandResult r = box.Run({"view-instances"});
    EXPECT_EQ(r.status, 0);
    // The directory and the pipe cannot be read: their service names stand for them.
    for (const char* name : {"hbrx", "HBR9", "Hbr5", "hbr7", "Hbr6"})
        EXPECT_NE(r.out.find(std::string(" Name:         ") + name + "\n"), std::string::npos)
            << name << r.out;
    EXPECT_NE(r.out.find(" Name:         HBR9\n State:        Stopped\n Url:          \n"
                         " User:         \n Auth:         \n DbPath:       "),
              std::string::npos)
        << r.out;
    // Readable units without an ExecStart get the defaults.
    EXPECT_NE(r.out.find(" Name:         Hbr6\n State:        Stopped\n"
                         " Url:          http://+:8117/\n"),
              std::string::npos)
        << r.out;
    // The taken names are skipped by the next add.
    ASSERT_EQ(Add("New", "http://+:1/").status, 0);
    EXPECT_TRUE(box.UnitExists("Hbr"));
}

TEST_F(InstanceVerbs, UnknownAccountHasNoProfileFolder) {
    WriteFileText(box.Units() + "/Hbr.service",
                  "[Unit]\nDescription=Ghost\n[Service]\nExecStart=\"/x\" run-srv -name "
                  "\"Ghost\"\nUser=no-such-account-x\n");
    CommandResult r = box.Run({"view-instances"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "\nGetUserProfilePath failed\n");
    EXPECT_NE(r.out.find(" DbPath:       /.local/share/VmHarbor/Ghost/hbr.db\n"),
              std::string::npos);
    r = box.Run({"resetpwd-instance", "-name", "Ghost"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "GetUserProfilePath failed\n");
}

TEST_F(InstanceVerbs, NegotiateIsStoredAndItsConfigurationReachesTheUnit) {
    auto env = box.Env();
    env["NTLM_USER_FILE"] = "/etc/hbr/ntlm users";
    env["KRB5_KTNAME"] = "/etc/hbr/http.keytab";
    env["HBR_KRB5_REALMS"] = "CORP.EXAMPLE.COM=CORP";
    CommandResult r = RunCommand(HBR_EXE,
                                 {"add-instance", "-name", "Main", "-url", "http://+:8117/",
                                  "-user", "root", "-auth", "negotiate", "-admin", "CORP\\ops"},
                                 env);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string unit = box.UnitText("Hbr");
    EXPECT_NE(unit.find("-url \"http://+:8117/\" -auth Negotiate -admin CORP\\\\ops"),
              std::string::npos)
        << unit;
    EXPECT_NE(unit.find("\nEnvironment=\"NTLM_USER_FILE=/etc/hbr/ntlm users\"\n"),
              std::string::npos)
        << unit;
    EXPECT_NE(unit.find("\nEnvironment=KRB5_KTNAME=/etc/hbr/http.keytab\n"), std::string::npos);
    EXPECT_NE(unit.find("\nEnvironment=HBR_KRB5_REALMS=CORP.EXAMPLE.COM=CORP\n"),
              std::string::npos);
    ExpectSystemdAccepts(box, "Hbr");
    // Without an administrator account Negotiate is refused like NTLM.
    r = box.Run({"add-instance", "-name", "Other", "-url", "http://+:8118/", "-auth", "Negotiate"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "\nadd-instance failed:\n-admin is required.\n");
}

TEST_F(InstanceVerbs, UpdateKeepsAndDropsNtlm) {
    ASSERT_EQ(Add("Main", "http://+:8117/", {"-user", "root", "-admin", "CORP\\ops"}).status, 0);
    CommandResult r =
        box.Run({"update-instance", "-name", "Main", "-user", "root", "-dbpath", "/srv/hbr.db"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "\nInstance updated. Run restart-instance to apply changes.\n");
    std::string unit = box.UnitText("Hbr");
    EXPECT_NE(unit.find("-url \"http://+:8117/\" -auth NTLM -admin CORP\\\\ops -dbpath "
                        "\"/srv/hbr.db\"\n"),
              std::string::npos)
        << unit;
    EXPECT_NE(unit.find("\nDescription=Main\n"), std::string::npos);
    ExpectSystemdAccepts(box, "Hbr");

    // No -user: the default account.
    r = box.Run({"update-instance", "-name", "Main", "-auth", "WEBFORM", "-url", "http://+:81/"});
    EXPECT_EQ(r.status, 0) << r.err;
    unit = box.UnitText("Hbr");
    EXPECT_NE(unit.find("run-srv -name \"Main\" -url \"http://+:81/\" -dbpath \"/srv/hbr.db\"\n"),
              std::string::npos)
        << unit;
    EXPECT_NE(unit.find("\nUser=hbrservice\n"), std::string::npos);
    EXPECT_NE(unit.find("\nAmbientCapabilities=CAP_NET_BIND_SERVICE\n"), std::string::npos);

    r = box.Run({"update-instance", "-name", "Main", "-auth", "NTLM"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "\nupdate-instance failed:\n-admin is required.\n");
    r = box.Run({"update-instance", "-name", "Main", "-url", "x\ty"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "\nupdate-instance failed:\n-url must not contain control characters.\n");
    box.Touch("fail-daemon-reload");
    r = box.Run({"update-instance", "-name", "Main"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err,
              "\nupdate-instance failed:\nChangeServiceConfig: systemctl daemon-reload "
              "failed (exit status 1)\n");
}

TEST_F(InstanceVerbs, UpdateWithBlankStoredUrlUsesTheAddText) {
    WriteFileText(box.Units() + "/Hbr.service",
                  "[Unit]\nDescription=Main\n[Service]\nExecStart=\"/x\" run-srv -url\n");
    // The stored URL defaults, so only a blank argument leads to the refusal.
    CommandResult r = box.Run({"update-instance", "-name", "Main", "-url", "   ", "-user", "root"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "\nadd-instance failed:\n-url is required. Example: -url http://+:8117/\n");
}

TEST_F(InstanceVerbs, StartStopRestartDelete) {
    ASSERT_EQ(Add("Main", "http://+:8117/").status, 0);
    CommandResult r = box.Run({"stop-instance", "-name", "Main"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "\nInstance Main stopped\n");
    EXPECT_NE(box.Calls().find("stop --no-block Hbr.service\n"), std::string::npos);

    // Already stopped: no stop is sent.
    const size_t before = box.Calls().size();
    r = box.Run({"stop-instance", "-name", "Main"});
    EXPECT_EQ(r.out, "\nInstance Main stopped\n");
    EXPECT_EQ(box.Calls().substr(before).find("stop "), std::string::npos);

    r = box.Run({"start-instance", "-name", "Main"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "\nInstance Main started\n");
    r = box.Run({"restart-instance", "-name", "Main"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "\nInstance Main restarted\n");

    box.Touch("fail-start");
    r = box.Run({"start-instance", "-name", "Main"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err,
              "\nstart-instance failed:\nStart Service: systemctl start failed (exit "
              "status 1)\n");
    r = box.Run({"restart-instance", "-name", "Main"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err.rfind("\nrestart-instance failed:\nStart Service:", 0), 0u) << r.err;

    r = box.Run({"delete-instance", "-name", "Main"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "\nInstance Main deleted\n");
    EXPECT_FALSE(box.UnitExists("Hbr"));
    EXPECT_NE(box.Calls().find("disable Hbr.service\ndaemon-reload\n"), std::string::npos);
    r = box.Run({"delete-instance", "-name", "Main"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "\nInstance Main not found\n");
}

TEST_F(InstanceVerbs, StopGivesUpAfterTenSeconds) {
    ASSERT_EQ(Add("Main", "http://+:8117/").status, 0);
    box.Touch("stuck-Hbr.service");
    CommandResult r = box.Run({"stop-instance", "-name", "Main"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "\nstop-instance failed:\nControlService Wait timed out.\n");
    box.Touch("fail-stop");
    std::remove((box.Sc() + "/stuck-Hbr.service").c_str());
    r = box.Run({"delete-instance", "-name", "Main"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err,
              "\ndelete-instance failed:\nFailed to stop the service: systemctl stop failed "
              "(exit status 1)\n");
    EXPECT_TRUE(box.UnitExists("Hbr"));
}

TEST_F(InstanceVerbs, NamesAndVerbsAreMatchedExactly) {
    ASSERT_EQ(Add("Main", "http://+:8117/").status, 0);
    CommandResult r = box.Run({"stop-instance", "-name", "main"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "\nInstance main not found\n");
    r = box.Run({"frobnicate-instance", "-name", "Main"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "\nInvalid parameters\n");
    r = box.Run({"stop-instance"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "\nFailed: Parameter -name is required\n");
    r = box.Run({"stop-instance", "-name"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "\nFailed: Parameter -name is required\n");
    // Options are case-sensitive: -URL is not -url.
    r = box.Run({"add-instance", "-name", "X", "-URL", "http://+:1/"});
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.err.find("-url is required"), std::string::npos);
}

TEST_F(InstanceVerbs, ResetPasswordInAnyPosition) {
    const std::string db = box.Root() + "/data/main/hbr.db";
    ASSERT_EQ(Add("Main", "http://+:8117/", {"-user", "root", "-dbpath", db}).status, 0);
    CommandResult r = box.Run({"-name", "Main", "xresetpwd-instancex"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "\nAdministrator password: bravo\n\n");
    {
        auto conn = OpenOrCreateAt(db);
        EXPECT_TRUE(IsDefaultPasswordInUse(*conn));
        conn->exec("UPDATE users SET pwd = 'changed' WHERE id = 1");
        EXPECT_FALSE(IsDefaultPasswordInUse(*conn));
    }
    r = box.Run({"resetpwd-instance", "-name", "Main"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(IsDefaultPasswordInUse(*OpenOrCreateAt(db)));

    WriteFileText(box.Root() + "/notadb", std::string(4096, 'x'));
    ASSERT_EQ(
        Add("Bad", "http://+:8118/", {"-user", "root", "-dbpath", box.Root() + "/notadb"}).status,
        0);
    r = box.Run({"resetpwd-instance", "-name", "Bad"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "Failed to open db file:\nfile is not a database\n");
    EXPECT_EQ(r.out.find("Administrator password"), std::string::npos);
}

// The start outcome: the stand-in's start waits on the gate while the test files the event the
// instance would have written.
class StartOutcome : public InstanceVerbs {
  protected:
    void SetUp() override {
        ASSERT_EQ(mkfifo((box.Sc() + "/gate").c_str(), 0600), 0);
        setenv("HBR_STATE_DIR", box.State().c_str(), 1);
    }
    void TearDown() override { unsetenv("HBR_STATE_DIR"); }

    CommandResult RunWithEvent(std::vector<std::string> args, const std::string& instance,
                               const std::string& message, int type) {
        CommandResult result;
        std::thread verb([&] { result = box.Run(args); });
        {
            std::ofstream gate(box.Sc() + "/gate");  // opens once the stand-in waits
            const std::string saved = Config().name;
            Config().name = instance;
            ReportInstanceEvent(message, type);
            Config().name = saved;
            gate << "go\n";
        }
        verb.join();
        return result;
    }
};

TEST_F(StartOutcome, SuccessEventReplacesTheSuccessLine) {
    CommandResult r =
        RunWithEvent({"add-instance", "-name", "Main", "-url", "http://+:8117/", "-user", "root"},
                     "Main", "Instance started:\ninstanceId=Main;", kEventSuccess);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Instance started:\ninstanceId=Main;\n");
    EXPECT_TRUE(box.UnitExists("Hbr"));
    r = RunWithEvent({"restart-instance", "-name", "Main"}, "Main", "again", kEventSuccess);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "again\n");
    // Another instance's event is not this one's outcome.
    r = RunWithEvent({"start-instance", "-name", "Main"}, "Other", "not mine", kEventError);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "\nInstance Main started\n");
}

TEST_F(StartOutcome, ErrorEventRemovesTheNewInstance) {
    const CommandResult r =
        RunWithEvent({"add-instance", "-name", "Main", "-url", "http://+:8117/", "-user", "root"},
                     "Main", "Start Instance failed.\nport taken", kEventError);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "Start Instance failed.\nport taken\n");
    EXPECT_FALSE(box.UnitExists("Hbr"));
}

class EntryDispatch : public InstanceVerbs {};

TEST_F(EntryDispatch, InstallCreatesTheDefaultInstanceOnce) {
    CommandResult r = box.Run({"--please-install-now"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    const std::string unit = box.UnitText("Hbr");
    EXPECT_NE(unit.find("\nDescription=Hbr\n"), std::string::npos);
    EXPECT_EQ(ExecStartOf(unit), "\"" + fs::canonical(HBR_EXE).string() +
                                     "\" run-srv -name \"Hbr\" -url \"http://+:8117/\"");
    EXPECT_NE(unit.find("\nUser=hbrservice\n"), std::string::npos);
    EXPECT_NE(box.Calls().find("start Hbr.service\n"), std::string::npos);
    ExpectSystemdAccepts(box, "Hbr");

    const std::string calls = box.Calls();
    r = box.Run({"-install", "-uninstall"});  // -install is checked first
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(box.Calls().substr(calls.size()).find("start"), std::string::npos);
    EXPECT_TRUE(box.UnitExists("Hbr"));
}

TEST_F(EntryDispatch, InstallIgnoresServiceFailures) {
    box.Touch("fail-enable");
    const CommandResult r = box.Run({"-install"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    // The create failed at its enable step: it was tried, and nothing was started after it.
    const std::string calls = box.Calls();
    EXPECT_NE(calls.find("enable Hbr.service\n"), std::string::npos) << calls;
    EXPECT_EQ(calls.find("start"), std::string::npos) << calls;
    // The unit was written before the failing step, so view-instances shows what came of it.
    EXPECT_TRUE(box.UnitExists("Hbr"));
    EXPECT_NE(box.Run({"view-instances"}).out.find("Hbr"), std::string::npos);
}

TEST_F(EntryDispatch, UninstallDeletesEveryInstance) {
    ASSERT_EQ(Add("A", "http://+:1/").status, 0);
    ASSERT_EQ(Add("B", "http://+:2/").status, 0);
    WriteFileText(box.Units() + "/Hbr7.service", "not a unit");
    box.Touch("fail-daemon-reload");  // every delete fails at its last step
    EXPECT_EQ(box.Run({"-uninstall"}).status, 0);
    EXPECT_NE(box.Calls().find("disable Hbr.service"), std::string::npos);
    EXPECT_NE(box.Calls().find("disable Hbr1.service"), std::string::npos);
    EXPECT_NE(box.Calls().find("disable Hbr7.service"), std::string::npos);
    EXPECT_FALSE(box.UnitExists("Hbr7"));
}

TEST_F(EntryDispatch, UnreadableUnitFolder) {
    auto env = box.Env();
    env["HBR_SYSTEMD_DIR"] = box.Root() + "/missing";
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-install"}, {"-uninstall"}, {"view-instances"}}) {
        const CommandResult r = RunCommand(HBR_EXE, args, env);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, " OpenSCManager failed: 2\n");
    }
}

TEST_F(EntryDispatch, RunSrvOutsideTheServiceManagerFailsSilently) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"run-srv"},
          {"run-exe", "run-srv", "-url", "http://127.0.0.1:1/"}}) {
        const CommandResult r = box.Run(args);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
    }
}

}  // namespace
}  // namespace hbr
