#include "cli/instance_commands.h"

#include <dirent.h>
#include <pwd.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>
#include <vector>

#include "cli/entry.h"
#include "cli/process_state.h"
#include "cli/service_control.h"
#include "platform/accounts.h"
#include "platform/hbr_exception.h"
#include "store/database.h"
#include "store/event_log.h"
#include "store/json.h"
#include "store/users.h"

namespace hbr {
namespace {

constexpr auto kStartPause = std::chrono::milliseconds(500);

std::string Trim(const std::string& s) {
    const auto first = s.find_first_not_of(" \t\r\n\v\f");
    if (first == std::string::npos) return {};
    const auto last = s.find_last_not_of(" \t\r\n\v\f");
    return s.substr(first, last - first + 1);
}

bool IsNegotiate(const std::string& auth) {
    return strcasecmp(auth.c_str(), "Negotiate") == 0;
}

// Integrated authentication: the specified NTLM, or Negotiate (Kerberos, then NTLM) beside it.
bool IsNtlm(const std::string& auth) {
    return strcasecmp(auth.c_str(), "NTLM") == 0 || IsNegotiate(auth);
}

void Out(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void Err(const std::string& text) {
    std::fflush(stdout);
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

void Failed(const std::string& verb, const std::string& message) {
    Err("\n" + verb + " failed:\n" + message + "\n");
}

// Values end up inside a unit file that root's service manager runs; the reasons why one
// cannot, or empty.
std::string CheckValues(const std::string& name, const std::string& url, const std::string& user,
                        const std::string& admin, const std::string& dbPath,
                        const std::string& cert, const std::string& key) {
    std::string reason = UnsafeValueReason("The instance name", name, true);
    if (reason.empty() && !name.empty() && name.back() == '\\')
        reason = "The instance name must not end with a backslash.";
    if (reason.empty()) reason = UnsafeValueReason("-url", url, true);
    if (reason.empty()) reason = UnsafeValueReason("-user", user, false);
    if (reason.empty() && user.find_first_of("\\%$") != std::string::npos)
        reason = "-user must name a local account.";
    if (reason.empty()) reason = UnsafeValueReason("-admin", admin, false);
    if (reason.empty()) reason = UnsafeValueReason("-dbpath", dbPath, true);
    if (reason.empty()) reason = UnsafeValueReason("-cert", cert, true);
    if (reason.empty()) reason = UnsafeValueReason("-key", key, true);
    return reason;
}

enum class StartOutcome { NoEvent, Reported, Error };

// Prints the instance's newest start event newer than `floor`, if there is one.
StartOutcome ReportStartOutcome(const std::string& name, int64_t floor) {
    const std::string saved = Config().name;
    Config().name = name;  // the event reader keeps to the configured instance
    std::string json;
    ReadInstanceEvents(json, floor);
    Config().name = saved;
    JsonDocument doc;
    if (!ParseJson(json, doc) || !doc.Root().IsArray() || doc.Root().Size() == 0)
        return StartOutcome::NoEvent;
    const JsonValue& first = doc.Root().At(0);
    Out(first["message"].AsText() + "\n");
    return first["eventType"].AsInt() == kEventError ? StartOutcome::Error : StartOutcome::Reported;
}

void DeleteQuietly(const std::string& serviceName) {
    try {
        DeleteInstanceService(serviceName);
    } catch (const std::exception&) {
    }
}

int AddInstance(const ArgumentList& args, const InstanceList& list, const std::string& name) {
    if (list.count(name)) {
        Err("\nadd-instance failed:\nInstance name " + name + " exists.\n");
        return -1;
    }
    const std::string serviceName = NextServiceName(list);
    std::string url = args.OptionValue("-url", "");
    if (url.empty()) {
        Err("\nadd-instance failed:\n-url is required. Example: -url http://+:8117/\n");
        return -1;
    }
    url = Trim(url);
    const std::string admin = args.OptionValue("-admin", "");
    if (IsNtlm(args.OptionValue("-auth", "")) && admin.empty()) {
        Err("\nadd-instance failed:\n-admin is required.\n");
        return -1;
    }
    const std::string user = args.OptionValue("-user", "");
    const std::string dbPath = args.OptionValue("-dbpath", "");
    const std::string cert = args.OptionValue("-cert", "");
    const std::string key = args.OptionValue("-key", "");
    if (const std::string reason = CheckValues(name, url, user, admin, dbPath, cert, key);
        !reason.empty()) {
        Failed("add-instance", reason);
        return -1;
    }
    const std::string arguments = InstanceArguments(
        name, url, admin, dbPath, IsNegotiate(args.OptionValue("-auth", "")), cert, key);
    ReserveUrl(url, user);  // decided again where the unit is written

    int64_t floor = 0;
    NewestEventRecordNumber(floor);
    HbrService service(serviceName, name, user, args.OptionValue("-password", ""), arguments);
    try {
        CreateInstanceService(service);
        StartInstanceService(serviceName);
    } catch (const std::exception& e) {
        // A start that failed with an event of its own is reported by that event.
        if (ReportStartOutcome(name, floor) != StartOutcome::Error)
            Failed("add-instance", e.what());
        DeleteQuietly(serviceName);
        return -1;
    }
    std::this_thread::sleep_for(kStartPause);
    switch (ReportStartOutcome(name, floor)) {
        case StartOutcome::NoEvent:
            Out("\nInstance added\n");
            return 0;
        case StartOutcome::Reported:
            return 0;
        case StartOutcome::Error:
            DeleteQuietly(serviceName);
            return -1;
    }
    return -1;
}

int UpdateInstance(const ArgumentList& args, const InstanceRecord& instance,
                   const std::string& name) {
    std::string url = args.OptionValue("-url", "");
    if (url.empty()) url = instance.url;
    url = Trim(url);
    const std::string user = args.OptionValue("-user", "");
    const std::string password = args.OptionValue("-password", "");
    std::string auth = args.OptionValue("-auth", "");
    if (auth.empty()) auth = instance.auth;
    std::string admin = args.OptionValue("-admin", "");
    if (admin.empty()) admin = instance.admin;
    std::string dbPath = args.OptionValue("-dbpath", "");
    if (dbPath.empty()) dbPath = instance.dbPath;
    std::string cert = args.OptionValue("-cert", "");
    if (cert.empty()) cert = instance.cert;
    std::string key = args.OptionValue("-key", "");
    if (key.empty()) key = instance.key;
    if (url.empty()) {
        Err("\nadd-instance failed:\n-url is required. Example: -url http://+:8117/\n");
        return -1;
    }
    if (!IsNtlm(auth)) {
        auth.clear();
        admin.clear();
    } else if (admin.empty()) {
        Err("\nupdate-instance failed:\n-admin is required.\n");
        return -1;
    }
    if (const std::string reason = CheckValues(name, url, user, admin, dbPath, cert, key);
        !reason.empty()) {
        Failed("update-instance", reason);
        return -1;
    }
    const std::string arguments =
        InstanceArguments(name, url, admin, dbPath, IsNegotiate(auth), cert, key);
    ReserveUrl(url, user);
    try {
        ReconfigureInstanceService(
            HbrService(instance.serviceName, instance.name, user, password, arguments));
    } catch (const std::exception& e) {
        Failed("update-instance", e.what());
        return -1;
    }
    Out("\nInstance updated. Run restart-instance to apply changes.\n");
    return 0;
}

int StartOrRestart(const InstanceRecord& instance, bool restart) {
    const std::string verb = restart ? "restart-instance" : "start-instance";
    int64_t floor = 0;
    NewestEventRecordNumber(floor);
    // Only a restart reads the whole log of an instance when the log was empty.
    const bool readEvents = restart || floor != 0;
    try {
        if (restart) StopInstanceService(instance.serviceName);
        StartInstanceService(instance.serviceName);
    } catch (const std::exception& e) {
        if (!readEvents || ReportStartOutcome(instance.name, floor) != StartOutcome::Error)
            Failed(verb, e.what());
        return -1;
    }
    std::this_thread::sleep_for(kStartPause);
    const StartOutcome outcome =
        readEvents ? ReportStartOutcome(instance.name, floor) : StartOutcome::NoEvent;
    if (outcome == StartOutcome::Error) return -1;
    if (outcome == StartOutcome::NoEvent)
        Out("\nInstance " + instance.name + (restart ? " restarted\n" : " started\n"));
    return 0;
}

int StopInstance(const InstanceRecord& instance) {
    try {
        StopInstanceService(instance.serviceName);
    } catch (const std::exception& e) {
        Failed("stop-instance", e.what());
        return -1;
    }
    Out("\nInstance " + instance.name + " stopped\n");
    return 0;
}

int DeleteInstance(const InstanceRecord& instance) {
    try {
        DeleteInstanceService(instance.serviceName);
    } catch (const std::exception& e) {
        Failed("delete-instance", e.what());
        return -1;
    }
    Out("\nInstance " + instance.name + " deleted\n");
    return 0;
}

// Folders and a database made by root for an instance belong to the instance's account, or
// the service could not write its own database.
void GiveToAccount(const std::vector<std::string>& made, const std::string& user) {
    if (geteuid() != 0 || made.empty()) return;
    const auto slash = user.rfind('\\');
    const std::string name = slash == std::string::npos ? user : user.substr(slash + 1);
    const auto pw = FindAccount(name.empty() ? "root" : name);
    if (!pw) return;
    for (const auto& path : made) (void)!chown(path.c_str(), pw->uid, pw->gid);
}

int ResetPassword(const InstanceRecord& instance) {
    std::string path = instance.dbPath;
    if (path.empty() && !DefaultInstanceDbPath(instance, path)) {
        Err("GetUserProfilePath failed\n");
        return -1;
    }
    namespace fs = std::filesystem;
    std::vector<std::string> made;
    std::error_code ec;
    for (fs::path p = fs::path(path).parent_path(); !p.empty() && !fs::exists(p, ec);
         p = p.parent_path()) {
        made.insert(made.begin(), p.string());
        if (p == p.parent_path()) break;
    }
    if (!made.empty()) fs::create_directories(made.back(), ec);
    if (!fs::exists(path, ec)) made.push_back(path);
    try {
        auto db = OpenOrCreateAt(path);
        ResetAdministratorPassword(*db);
    } catch (const std::exception& e) {
        std::string text = e.what();
        if (text.empty() || text.back() != '\n') text += "\n";
        Err(text);
        return -1;
    }
    GiveToAccount(made, instance.user);
    Out("\nAdministrator password: bravo\n\n");
    return 0;
}

bool IsInstanceServiceName(const std::string& serviceName) {
    if (serviceName.size() < 3 || serviceName.size() > 4) return false;
    return strncasecmp(serviceName.c_str(), "hbr", 3) == 0;
}

void Bold(bool on) {
    if (isatty(STDOUT_FILENO) == 1) Out(on ? "\x1b[1m" : "\x1b[0m");
}

void Line(const char* label, const std::string& value) {
    char field[32];
    std::snprintf(field, sizeof field, "%-15s", label);
    Out(field + value + "\n");
}

}  // namespace

InstanceRecord ParseStoredCommandLine(const std::string& commandLine) {
    std::vector<std::string> tokens;
    size_t i = 0;
    while (i < commandLine.size()) {
        const size_t end = std::min(commandLine.find(' ', i), commandLine.size());
        if (end > i) tokens.push_back(commandLine.substr(i, end - i));
        i = end + 1;
    }
    if (!tokens.empty()) tokens.erase(tokens.begin());
    for (auto& t : tokens) {
        size_t b = 0, e = t.size();
        while (b < e && t[b] == '"') ++b;
        while (e > b && t[e - 1] == '"') --e;
        t = t.substr(b, e - b);
    }
    auto value = [&](const char* option, const char* def) -> std::string {
        for (size_t k = 0; k < tokens.size(); ++k)
            if (tokens[k] == option) return k + 1 < tokens.size() ? tokens[k + 1] : def;
        return def;
    };
    InstanceRecord r;
    r.commandLine = commandLine;
    r.url = value("-url", "http://+:8117/");
    r.auth = value("-auth", "WEBFORM");
    r.admin = value("-admin", "");
    r.dbPath = value("-dbpath", "");
    r.cert = value("-cert", "");
    r.key = value("-key", "");
    return r;
}

std::string InstanceArguments(const std::string& name, const std::string& url,
                              const std::string& admin, const std::string& dbPath, bool negotiate,
                              const std::string& cert, const std::string& key) {
    std::string a = "run-srv -name \"" + name + "\" -url \"" + url + "\"";
    if (!admin.empty())
        a += std::string(" -auth ") + (negotiate ? "Negotiate" : "NTLM") + " -admin " + admin;
    if (!dbPath.empty()) a += " -dbpath \"" + dbPath + "\"";
    if (!cert.empty()) a += " -cert \"" + cert + "\"";
    if (!key.empty()) a += " -key \"" + key + "\"";
    return a;
}

bool LoadInstances(InstanceList& list) {
    list.clear();
    DIR* dir = opendir(UnitFolder().c_str());
    if (!dir) {
        Out(" OpenSCManager failed: " + std::to_string(errno) + "\n");
        return false;
    }
    std::vector<std::string> names;
    while (const dirent* entry = readdir(dir)) {
        const std::string file = entry->d_name;
        const std::string suffix = ".service";
        if (file.size() <= suffix.size() ||
            file.compare(file.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        const std::string serviceName = file.substr(0, file.size() - suffix.size());
        if (IsInstanceServiceName(serviceName)) names.push_back(serviceName);
    }
    closedir(dir);
    // Directory order is arbitrary; the service manager enumerates by name.
    std::sort(names.begin(), names.end());
    for (const auto& serviceName : names) {
        InstanceRecord record;
        UnitConfig unit;
        const bool readable = ReadUnitFile(serviceName, unit);
        if (readable) {
            record = ParseStoredCommandLine(unit.execStart);
            record.user = unit.user;
        }
        record.name = readable && !unit.description.empty() ? unit.description : serviceName;
        record.serviceName = serviceName;
        record.state = StateText(ActiveState(serviceName));
        list[record.name] = record;
    }
    return true;
}

std::string NextServiceName(const InstanceList& list) {
    std::string name = "Hbr";
    int counter = 0;
    bool taken = true;
    while (taken) {
        taken = false;
        for (const auto& [key, instance] : list) {
            if (instance.serviceName == name) {
                taken = true;
                name = "Hbr" + std::to_string(++counter);
                break;
            }
        }
    }
    return name;
}

bool DefaultInstanceDbPath(const InstanceRecord& instance, std::string& path) {
    std::string home;
    const bool ok = GetUserProfilePath(instance.user, home) == 0;
    path = home + "/.local/share/VmHarbor/" + instance.name + "/hbr.db";
    return ok;
}

void PrintHelp() {
    static const char* const commands[][2] = {
        {" add-instance", "- Adds an instance."},
        {" update-instance", "- Updates an instance."},
        {" delete-instance", "- Deletes an instance."},
        {" start-instance", "- Starts an instance."},
        {" stop-instance", "- Stops an instance."},
        {" restart-instance", "- Restarts an instance."},
        {" view-instances", "- Displays a list of instances."},
    };
    static const char* const options[][2] = {
        {" -name", "- Instance name."},
        {" -url", "- URL Template. Example: http://+:8117/"},
        {" -user", "- User account name to run the Web Service. Default: .\\HbrService"},
        {" -password", "- User account password."},
        {" -auth", "- Authentication Scheme: WEBFORM (default); NTLM"},
        {" -admin", "- Administrator user name: Domain\\User. Valid for -auth NTLM."},
        {" -dbpath",
         "- Database file path. Default: %LOCALAPPDATA%\\VmHarbor\\[instanceName]\\hbr.db"},
    };
    std::printf("\nThe following commands are available:\n\n");
    for (const auto& c : commands) std::printf("%-25s%s\n", c[0], c[1]);
    std::printf("\nCommand options:\n\n");
    for (const auto& o : options) std::printf("%-25s%s\n", o[0], o[1]);
    std::printf("\nUsage:\n\n");
    std::printf(" add-instance -name -url [-user] [-password] [-auth] [-admin] [-dbpath]\n");
    std::printf(" update-instance -name [-url] [-user] [-password] [-auth] [-admin] [-dbpath]\n");
    std::printf(" restart-instance -name\n");
    std::fflush(stdout);
}

void ViewInstances(const InstanceList& list) {
    const std::string& version = ProgramVersion();
    const auto dot = version.rfind('.');
    Bold(true);
    Out("\n VmHarbor v" + (dot == std::string::npos ? version : version.substr(0, dot)) + "\n");
    Bold(false);
    if (list.empty()) {
        Out("\nNo instances found\n");
        Out("Use hbr add-instance command to create new instance\n");
        Out("To view all commands use hbr ? \n");
        return;
    }
    Out("\n Instances\n");
    Out(" --------------------\n");
    for (const auto& [name, instance] : list) {
        Line(" Name: ", instance.name);
        Line(" State: ", instance.state);
        Line(" Url: ", instance.url);
        Line(" User: ", instance.user);
        Line(" Auth: ", instance.auth);
        if (instance.auth == "NTLM" || instance.auth == "Negotiate")
            Line(" Admin: ", instance.admin);
        std::string path = instance.dbPath;
        if (path.empty() && !DefaultInstanceDbPath(instance, path))
            Err("\nGetUserProfilePath failed\n");
        Line(" DbPath: ", path);
        if (!instance.cert.empty()) Line(" Cert: ", instance.cert);
        if (!instance.key.empty()) Line(" Key: ", instance.key);
        Out("\n");
    }
}

int RunInstanceCommand(const ArgumentList& args, const InstanceList& list) {
    if (args.HasArgument("view-instances")) {
        ViewInstances(list);
        return 0;
    }
    const std::string name = Trim(args.OptionValue("-name", ""));
    if (name.empty()) {
        Out("\nFailed: Parameter -name is required\n");
        return -1;
    }
    if (args.HasArgument("add-instance")) return AddInstance(args, list, name);
    const auto found = list.find(name);
    if (found == list.end()) {
        Err("\nInstance " + name + " not found\n");
        return -1;
    }
    const InstanceRecord& instance = found->second;
    if (args.ContainsArgument("resetpwd-instance")) return ResetPassword(instance);
    if (args.HasArgument("update-instance")) return UpdateInstance(args, instance, name);
    if (args.HasArgument("start-instance")) return StartOrRestart(instance, false);
    if (args.HasArgument("stop-instance")) return StopInstance(instance);
    if (args.HasArgument("restart-instance")) return StartOrRestart(instance, true);
    if (args.HasArgument("delete-instance")) return DeleteInstance(instance);
    Err("\nInvalid parameters\n");
    return 0;
}

}  // namespace hbr
