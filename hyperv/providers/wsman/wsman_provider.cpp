#include "hyperv/providers/wsman/wsman_provider.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <memory>
#include <mutex>
#include <string>

#include "hyperv/providers/wsman/wsman_client.h"
#include "hyperv/providers/wsman/wsman_values.h"
#include "hyperv/wmi/class_catalogue.h"
#include "hyperv/wmi/wmi_path.h"
#include "hyperv/wmi/wql.h"
#include "hyperv/wmi/xml_text.h"

namespace hbr {
namespace {

using wsman::CallOutcome;
using wsman::Client;
using wsman::EnumerationPage;
using wsman::Instance;
using wsman::InstanceContext;

// Items asked for in one Enumerate or Pull; the host stops earlier when its envelope is full.
constexpr unsigned kMaxElements = 512;
constexpr HResult kWsmanCannotProcessFilter = MakeHResult(0x8033801A);

// Text XML 1.0 cannot carry would reach the host altered (the escaper replaces it), so a
// request holding any is refused here instead: the caller sees an error, the host sees nothing.
bool Carries(const std::vector<wsman::Property>& properties);

bool Carries(const wsman::WireValue& v) {
    if (!XmlCarries(v.text) || !XmlCarries(v.reference.resourceUri)) return false;
    for (const auto& [name, value] : v.reference.selectors)
        if (!XmlCarries(name) || !XmlCarries(value)) return false;
    return !v.instance || (XmlCarries(v.instance->className) && Carries(v.instance->properties));
}

bool Carries(const std::vector<wsman::Property>& properties) {
    for (const auto& p : properties) {
        if (!XmlCarries(p.name)) return false;
        for (const auto& v : p.values)
            if (!Carries(v)) return false;
    }
    return true;
}

// What the namespaces of one host share: its computer name, learned when a namespace is
// connected, used as __SERVER and in every path the provider makes.
struct HostState {
    std::mutex mutex;
    std::string computerName;
    std::string fallbackName;

    std::string Server() {
        std::lock_guard lock(mutex);
        return computerName.empty() ? fallbackName : computerName;
    }
};

class WsmanEnumerator : public WmiEnumerator {
  public:
    WsmanEnumerator(std::shared_ptr<Client> client, std::string nameSpace, InstanceContext context,
                    std::string className, std::vector<std::string> columns, EnumerationPage first)
        : client_(std::move(client)),
          nameSpace_(std::move(nameSpace)),
          context_(std::move(context)),
          className_(std::move(className)),
          columns_(std::move(columns)),
          items_(std::move(first.items)),
          enumeration_(std::move(first.context)),
          done_(first.endOfSequence || enumeration_.empty()) {}

    // An enumeration left before its end is released, so the host frees it at once.
    ~WsmanEnumerator() override {
        if (!done_ && !enumeration_.empty()) client_->Release(nameSpace_, enumeration_);
    }

    HResult Next(std::chrono::milliseconds, WmiObjectPtr& object) override {
        std::lock_guard lock(mutex_);
        object.reset();
        while (index_ >= items_.size()) {
            if (done_) return kSFalse;
            EnumerationPage page;
            const CallOutcome out = client_->Pull(nameSpace_, enumeration_, kMaxElements, page);
            if (Failed(out.hr)) {
                done_ = true;  // the host ends an enumeration whose Pull failed
                return out.hr;
            }
            items_ = std::move(page.items);
            index_ = 0;
            enumeration_ = std::move(page.context);
            done_ = page.endOfSequence || enumeration_.empty();
        }
        object = wsman::ObjectFromInstance(items_[index_++], className_, columns_, context_);
        return kSOk;
    }

  private:
    std::mutex mutex_;
    std::shared_ptr<Client> client_;
    std::string nameSpace_;
    InstanceContext context_;
    std::string className_;
    std::vector<std::string> columns_;
    std::vector<Instance> items_;
    std::size_t index_ = 0;
    std::string enumeration_;
    bool done_ = false;
};

class WsmanServices : public WmiServices {
  public:
    WsmanServices(std::shared_ptr<Client> client, std::string nameSpace,
                  std::shared_ptr<HostState> host)
        : client_(std::move(client)), nameSpace_(std::move(nameSpace)), host_(std::move(host)) {}

    HResult ExecQuery(std::string_view wql, WmiEnumeratorPtr& result) override {
        result.reset();
        WqlQuery query;
        if (Failed(ParseWql(wql, query)) || !XmlCarries(wql)) return kWbemEInvalidQuery;
        EnumerationPage page;
        const CallOutcome out = client_->EnumerateWql(nameSpace_, wql, kMaxElements, page);
        if (Failed(out.hr)) return out.hr;
        std::string className;
        std::vector<std::string> columns;
        if (query.kind == WqlQuery::Kind::Select) {
            className = query.className;
            if (!query.selectAll) columns = query.columns;
        }
        result =
            std::make_shared<WsmanEnumerator>(client_, nameSpace_, Context(), std::move(className),
                                              std::move(columns), std::move(page));
        return kSOk;
    }

    HResult GetObject(std::string_view path, WmiObjectPtr& result) override {
        result.reset();
        WmiObjectPath parsed;
        HResult hr = ParseObjectPath(path, parsed);
        if (Failed(hr)) return hr;
        if (!XmlCarries(path)) return kWbemEInvalidObjectPath;
        const CimClass* cls = FindClass(parsed.className);
        if (parsed.IsClassPath()) {
            // Classes come from the catalogue: WS-Management serves instances, not schemas.
            if (!cls) return kWbemENotFound;
            result = WmiObject::MakeClass(cls->MakeDefinition(host_->Server()));
            return kSOk;
        }
        wsman::Epr epr;
        hr = wsman::EprFromPath(path, nameSpace_, epr);
        if (Failed(hr)) return hr;
        if (cls) epr.resourceUri = wsman::WmiResourceUri(NamespaceOf(parsed), cls->Name());
        Instance instance;
        const CallOutcome out = client_->Get(epr.resourceUri, epr.selectors, instance);
        if (Failed(out.hr)) return out.hr;
        result = wsman::ObjectFromInstance(instance, parsed.className, {}, Context());
        return kSOk;
    }

    HResult ExecMethod(std::string_view objectPath, std::string_view method,
                       const WmiObjectPtr& inParams, WmiObjectPtr& outParams) override {
        outParams.reset();
        WmiObjectPath parsed;
        HResult hr = ParseObjectPath(objectPath, parsed);
        if (Failed(hr)) return hr;
        if (!XmlCarries(objectPath)) return kWbemEInvalidObjectPath;
        const CimClass* cls = FindClass(parsed.className);
        if (!cls) return kWbemEInvalidClass;  // the parameters' types come from the catalogue
        const CimMethod* m = cls->FindMethod(method);
        if (!m) return kWbemEInvalidMethod;
        std::vector<std::pair<std::string, std::string>> selectors;
        if (!parsed.IsClassPath()) {
            wsman::Epr epr;
            hr = wsman::EprFromPath(objectPath, nameSpace_, epr);
            if (Failed(hr)) return hr;
            selectors = std::move(epr.selectors);
        }
        const std::string resourceUri = wsman::WmiResourceUri(NamespaceOf(parsed), cls->Name());
        std::vector<wsman::Property> parameters;
        if (inParams) {
            hr = wsman::ParametersFromObject(*inParams, m->in,
                                             client_->Target().embedding == WsmanEmbedding::CimXml,
                                             NamespaceOf(parsed), parameters);
            if (Failed(hr)) return hr;
            if (!Carries(parameters)) return kWbemEInvalidParameter;
        }
        const WmiClassDefPtr def = cls->MakeDefinition(host_->Server());
        const WmiMethodDef* signature = def->FindMethod(m->name);
        if (!signature || !signature->out) return kWbemEInvalidMethod;

        Instance output;
        CallOutcome out = client_->Invoke(resourceUri, selectors, m->name, parameters, output);
        if (Failed(out.hr) && out.fault.subcode == "EncodingLimit") {
            // The reply would not fit the host's envelope: that is a thumbnail too large to
            // send, which comes back as no thumbnail rather than as a failure.
            if (IEquals(m->name, "GetVirtualSystemThumbnailImage")) {
                outParams = WmiObject::MakeInstance(signature->out);
                outParams->Put("ReturnValue", WmiValue::I4(0));
                return kSOk;
            }
            if (IEquals(m->name, "GetSummaryInformation") && DropThumbnailRequest(parameters)) {
                output = Instance{};
                out = client_->Invoke(resourceUri, selectors, m->name, parameters, output);
            }
        }
        if (Failed(out.hr)) return out.hr;
        outParams = wsman::OutputFromInstance(output, signature->out, m->out, Context());
        return kSOk;
    }

  private:
    InstanceContext Context() const { return InstanceContext{host_->Server(), nameSpace_}; }

    std::string NamespaceOf(const WmiObjectPath& path) const {
        return path.nameSpace.empty() ? nameSpace_ : path.nameSpace;
    }

    // RequestedInformation 5, 6 and 7 are the thumbnails (80 x 60, 160 x 120, 320 x 240).
    static bool DropThumbnailRequest(std::vector<wsman::Property>& parameters) {
        for (auto& p : parameters) {
            if (!IEquals(p.name, "RequestedInformation")) continue;
            const auto before = p.values.size();
            std::erase_if(p.values, [](const wsman::WireValue& v) {
                return v.text == "5" || v.text == "6" || v.text == "7";
            });
            return p.values.size() != before;
        }
        return false;
    }

    std::shared_ptr<Client> client_;
    std::string nameSpace_;
    std::shared_ptr<HostState> host_;
};

// The query that shows a namespace is there, and which property names the host's computer.
struct NamespaceProbe {
    const char* wql;
    const char* computerProperty;
};

NamespaceProbe ProbeFor(std::string_view nameSpace) {
    if (IEquals(nameSpace, "root\\virtualization\\v2"))
        return {"SELECT * FROM Msvm_VirtualSystemManagementService", "SystemName"};
    if (IEquals(nameSpace, "root\\cimv2")) return {"SELECT * FROM Win32_OperatingSystem", "CSName"};
    return {"SELECT * FROM __NAMESPACE", nullptr};
}

int ErrnoOf(HResult hr) {
    if (hr == kEAccessDenied || hr == kWbemEAccessDenied) return EACCES;
    if (hr == kRpcEDisconnected) return EHOSTUNREACH;
    return EPROTO;
}

class WsmanLocator : public WmiLocator {
  public:
    WsmanLocator(std::string_view hostText, const wsman::TransportLimits& limits)
        : limits_(limits), host_(std::make_shared<HostState>()) {
        parsed_ = ParseWsmanHost(hostText, target_, parseError_);
        if (parsed_) {
            // Until the host names itself, its name as written (a computer name is one label).
            std::string name = target_.hostName;
            const bool address = name.find_first_not_of("0123456789.") == std::string::npos ||
                                 name.find(':') != std::string::npos;
            if (!address) name = name.substr(0, name.find('.'));
            for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            host_->fallbackName = name;
        }
    }

    HResult ConnectServer(std::string_view namespacePath, std::string_view user,
                          std::string_view password, WmiServicesPtr& services) override {
        services.reset();
        if (!parsed_) return kRpcServerUnavailable;
        const std::shared_ptr<Client> client = ClientFor(user, password);
        std::string vendor, version;
        CallOutcome out = client->Identify(vendor, version);
        if (Failed(out.hr)) return out.hr;

        const std::string nameSpace = NamespaceOfPath(namespacePath);
        const NamespaceProbe probe = ProbeFor(nameSpace);
        EnumerationPage page;
        out = client->EnumerateWql(nameSpace, probe.wql, 1, page);
        if (Failed(out.hr)) {
            // The host answered Identify, so a probe of a class that every such namespace holds
            // failing as missing means the namespace is not there (no Hyper-V).
            const bool missing = out.hr == kWbemEInvalidNamespace || out.hr == kWbemEInvalidClass ||
                                 out.hr == kWbemENotFound || out.hr == kWsmanCannotProcessFilter ||
                                 out.fault.subcode == "DestinationUnreachable";
            return missing ? kWbemEInvalidNamespace : out.hr;
        }
        if (!page.endOfSequence && !page.context.empty()) client->Release(nameSpace, page.context);
        if (probe.computerProperty && !page.items.empty())
            if (const wsman::Property* p = page.items[0].Find(probe.computerProperty);
                p && !p->nil && !p->values.empty() && !p->values[0].text.empty()) {
                std::lock_guard lock(host_->mutex);
                host_->computerName = p->values[0].text;
            }
        services = std::make_shared<WsmanServices>(client, nameSpace, host_);
        return kSOk;
    }

    // Win32_OperatingSystem.Win32Shutdown, forced: 5 shuts down, 6 restarts.
    HostShutdownResult ShutdownHost(bool restart, std::string_view user,
                                    std::string_view password) override {
        if (!parsed_) return {EHOSTUNREACH, true};
        const std::shared_ptr<Client> client = ClientFor(user, password);
        if (!user.empty()) {
            std::string vendor, version;
            const CallOutcome out = client->Identify(vendor, version);
            if (Failed(out.hr)) return {ErrnoOf(out.hr), true};
        }
        EnumerationPage page;
        CallOutcome out =
            client->EnumerateWql("root\\cimv2", "SELECT * FROM Win32_OperatingSystem", 1, page);
        if (Failed(out.hr)) return {ErrnoOf(out.hr), false};
        if (!page.endOfSequence && !page.context.empty())
            client->Release("root\\cimv2", page.context);
        const wsman::Property* name = page.items.empty() ? nullptr : page.items[0].Find("Name");
        if (!name || name->nil || name->values.empty()) return {EPROTO, false};
        wsman::Property flags{"Flags", false, {}};
        flags.values.push_back({wsman::WireValue::Kind::Text, restart ? "6" : "5", {}, {}});
        Instance output;
        out = client->Invoke(wsman::WmiResourceUri("root\\cimv2", "Win32_OperatingSystem"),
                             {{"Name", name->values[0].text}}, "Win32Shutdown", {flags}, output);
        if (Failed(out.hr)) return {ErrnoOf(out.hr), false};
        const wsman::Property* rv = output.Find("ReturnValue");
        const std::string code = rv && !rv->values.empty() ? rv->values[0].text : "";
        if (code == "0") return {};
        // 5 access denied, 1314 privilege not held; anything else is the host's own refusal.
        if (code == "5" || code == "1314") return {EACCES, false};
        return {EIO, false};
    }

    // The VM consoles of a remote host are reached at the host's name.
    std::string ConsoleAddress() const override {
        return parsed_ ? target_.hostName : std::string{};
    }

    LocatorFailure LastFailure() const override {
        std::shared_ptr<Client> client;
        {
            std::lock_guard lock(mutex_);
            client = client_;
        }
        LocatorFailure f;
        if (!parsed_) {
            f.hr = kRpcServerUnavailable;
            f.detail = parseError_;
            return f;
        }
        if (!client) return f;
        const CallOutcome out = client->LastFailure();
        f.hr = out.hr;
        f.presentedSha256 = out.presentedSha256;
        if (!out.presentedSha256.empty())
            f.detail = target_.tls == WsmanTls::Pinned
                           ? "its certificate does not match the pinned fingerprint"
                           : "its certificate is not trusted";
        else
            f.detail = Printable(out.error);
        return f;
    }

  private:
    // One transport for the account the host is managed with; a change of account makes a
    // new one (and with it new connections).
    std::shared_ptr<Client> ClientFor(std::string_view user, std::string_view password) {
        std::lock_guard lock(mutex_);
        if (!client_ || user != user_ || password != password_) {
            user_ = std::string(user);
            password_ = std::string(password);
            client_ = std::make_shared<Client>(
                std::make_shared<wsman::Transport>(target_, user_, password_, limits_));
        }
        return client_;
    }

    // A host's texts go to the dashboard: one line, no control characters, not too long.
    static std::string Printable(std::string_view text) {
        std::size_t n = std::min<std::size_t>(text.size(), 200);
        // Cut at a character's start, never inside a UTF-8 sequence.
        if (n < text.size())
            while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
        std::string out;
        for (char c : text.substr(0, n))
            out += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? ' ' : c;
        return out;
    }

    wsman::TransportLimits limits_;
    WsmanTarget target_;
    bool parsed_ = false;
    std::string parseError_;
    std::shared_ptr<HostState> host_;
    mutable std::mutex mutex_;
    std::string user_;
    std::string password_;
    std::shared_ptr<Client> client_;
};

}  // namespace

WmiLocatorPtr CreateWsmanLocator(std::string_view hostText) {
    return CreateWsmanLocator(hostText, wsman::CurrentTransportLimits());
}

WmiLocatorPtr CreateWsmanLocator(std::string_view hostText, const wsman::TransportLimits& limits) {
    return std::make_shared<WsmanLocator>(hostText, limits);
}

}  // namespace hbr
