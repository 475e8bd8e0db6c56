// The WS-Management provider through its WMI-shaped interface against a scripted host on
// loopback: connecting (and a host without Hyper-V), a query pulled to its end, an object by
// path, a method with a job reference back, a thumbnail too large for the envelope, shutdown.
#include "hyperv/providers/wsman/wsman_provider.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>

#include "hyperv/providers/wsman/wsman_xml.h"
#include "support/canned_tls_host.h"

namespace hbr {
namespace {

using wsman::XmlElement;

constexpr const char* kEnvelope =
    "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\" "
    "xmlns:a=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\" "
    "xmlns:n=\"http://schemas.xmlsoap.org/ws/2004/09/enumeration\" "
    "xmlns:w=\"http://schemas.dmtf.org/wbem/wsman/1/wsman.xsd\" "
    "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">";

std::string Reply(const std::string& body) {
    return std::string(kEnvelope) + "<s:Body>" + body + "</s:Body></s:Envelope>";
}

std::string Item(const std::string& ns, const std::string& cls, const std::string& props) {
    return "<p:" + cls + " xmlns:p=\"http://schemas.microsoft.com/wbem/wsman/1/wmi/" + ns + "/" +
           cls + "\">" + props + "</p:" + cls + ">";
}

std::string Page(const std::string& items, const std::string& context, bool end, bool pull) {
    const std::string tag = pull ? "n:PullResponse" : "n:EnumerateResponse";
    const std::string itemsTag = pull ? "n:Items" : "w:Items";
    return Reply("<" + tag + "><n:EnumerationContext>" + context + "</n:EnumerationContext><" +
                 itemsTag + ">" + items + "</" + itemsTag + ">" +
                 (end ? "<w:EndOfSequence/>" : "") + "</" + tag + ">");
}

std::string Fault(const std::string& subcode, const std::string& detail) {
    return Reply("<s:Fault><s:Code><s:Value>s:Sender</s:Value><s:Subcode><s:Value>w:" + subcode +
                 "</s:Value></s:Subcode></s:Code><s:Reason><s:Text xml:lang=\"en-US\">x</s:Text>"
                 "</s:Reason><s:Detail>" +
                 detail + "</s:Detail></s:Fault>");
}

const std::string kIdentify =
    "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\"><s:Body>"
    "<wsmid:IdentifyResponse xmlns:wsmid=\"http://schemas.dmtf.org/wbem/wsman/identity/1/"
    "wsmanidentity.xsd\"><wsmid:ProductVendor>Microsoft Corporation</wsmid:ProductVendor>"
    "</wsmid:IdentifyResponse></s:Body></s:Envelope>";

const std::string kVsms = Item("root/virtualization/v2", "Msvm_VirtualSystemManagementService",
                               "<p:CreationClassName>Msvm_VirtualSystemManagementService"
                               "</p:CreationClassName><p:Name>vmms</p:Name>"
                               "<p:SystemCreationClassName>Msvm_ComputerSystem"
                               "</p:SystemCreationClassName><p:SystemName>HV-REAL</p:SystemName>");

// What the scripted host was asked: the Action, the resource, the WQL and the selectors.
struct Asked {
    std::string action, resource, filter, context;
    std::vector<std::pair<std::string, std::string>> selectors;
    XmlElement root;
};

Asked Read(const test::CannedRequest& request) {
    Asked a;
    wsman::ReadXml(request.body(), a.root);
    auto text = [&](std::string_view ns, std::string_view name) {
        const XmlElement* e = a.root.Find(ns, name);
        return e ? e->TrimmedText() : std::string{};
    };
    a.action = text(wsman::kNsAddressing, "Action");
    if (a.root.Find(wsman::kNsIdentity, "Identify")) a.action = "Identify";
    a.resource = text(wsman::kNsWsman, "ResourceURI");
    a.filter = text(wsman::kNsWsman, "Filter");
    a.context = text(wsman::kNsEnumeration, "EnumerationContext");
    if (const XmlElement* set = a.root.Find(wsman::kNsWsman, "SelectorSet"))
        for (const auto& s : set->children)
            a.selectors.emplace_back(*s.Attribute({}, "Name"), s.text);
    return a;
}

class ScriptedHost {
  public:
    explicit ScriptedHost(std::function<std::string(const Asked&)> script)
        : host_([script](const test::CannedRequest& r) {
              return test::HttpAnswer(200, script(Read(r)));
          }) {}
    std::string Url() const { return host_.Url(); }
    std::vector<Asked> Asks() const {
        std::vector<Asked> out;
        for (const auto& r : host_.Requests()) out.push_back(Read(r));
        return out;
    }

  private:
    test::CannedHost host_;
};

bool Ends(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::string HyperVHost(const Asked& a) {
    if (a.action == "Identify") return kIdentify;
    if (Ends(a.action, "/Enumerate")) {
        if (a.filter == "SELECT * FROM Msvm_VirtualSystemManagementService")
            return Page(kVsms, "", true, false);
        if (a.filter == "SELECT * FROM Win32_OperatingSystem")
            return Page(Item("root/cimv2", "Win32_OperatingSystem",
                             "<p:CSName>HV-REAL</p:CSName><p:Name>Windows|C:</p:Name>"
                             "<p:NumberOfProcesses>42</p:NumberOfProcesses>"),
                        "", true, false);
        if (a.filter.find("Win32_LogicalDisk") != std::string::npos)
            return Page(Item("root/cimv2", "Win32_LogicalDisk",
                             "<p:DeviceID>C:</p:DeviceID><p:Size>32210153472</p:Size>"),
                        "uuid:ctx-1", false, false);
    }
    if (Ends(a.action, "/Pull"))
        return Page(Item("root/cimv2", "Win32_LogicalDisk", "<p:DeviceID>D:</p:DeviceID>"), "",
                    true, true);
    if (Ends(a.action, "/Release")) return Reply("");
    if (Ends(a.action, "/Get"))
        return Reply(Item("root/virtualization/v2", "Msvm_ComputerSystem",
                          "<p:CreationClassName>Msvm_ComputerSystem</p:CreationClassName>"
                          "<p:Name>VM-1</p:Name><p:EnabledState>2</p:EnabledState>"));
    if (Ends(a.action, "/RequestStateChange"))
        return Reply(
            Item("root/virtualization/v2/Msvm_ComputerSystem", "RequestStateChange_OUTPUT",
                 "<p:Job><a:Address>" + std::string(wsman::kAnonymous) +
                     "</a:Address><a:ReferenceParameters><w:ResourceURI>http://schemas."
                     "microsoft.com/wbem/wsman/1/wmi/root/virtualization/v2/"
                     "Msvm_ConcreteJob</w:ResourceURI><w:SelectorSet><w:Selector "
                     "Name=\"InstanceID\">J-7</w:Selector></w:SelectorSet>"
                     "</a:ReferenceParameters></p:Job><p:ReturnValue>4096</p:ReturnValue>"));
    if (Ends(a.action, "/GetSummaryInformation")) {
        bool thumbnail = false;
        std::function<void(const XmlElement&)> scan = [&](const XmlElement& e) {
            if (e.name == "RequestedInformation" && e.text == "5") thumbnail = true;
            for (const auto& c : e.children) scan(c);
        };
        scan(a.root);
        if (thumbnail) return Fault("EncodingLimit", "");
        return Reply(Item("root/virtualization/v2/Msvm_VirtualSystemManagementService",
                          "GetSummaryInformation_OUTPUT", "<p:ReturnValue>0</p:ReturnValue>"));
    }
    if (Ends(a.action, "/Win32Shutdown"))
        return Reply(Item("root/cimv2/Win32_OperatingSystem", "Win32Shutdown_OUTPUT",
                          "<p:ReturnValue>0</p:ReturnValue>"));
    return Fault("ActionNotSupported", "");
}

TEST(WsmanProvider, ConnectsQueriesGetsAndInvokes) {
    ScriptedHost host(HyperVHost);
    const WmiLocatorPtr locator = CreateWsmanLocator(host.Url());
    WmiServicesPtr v2, cim;
    ASSERT_EQ(locator->ConnectServer("\\\\hv1\\ROOT\\virtualization\\v2", "CORP\\ops", "pw", v2),
              kSOk);
    ASSERT_EQ(locator->ConnectServer("\\\\hv1\\ROOT\\CIMV2", "CORP\\ops", "pw", cim), kSOk);

    // The management service's path names the host as it names itself.
    WmiEnumeratorPtr e;
    ASSERT_EQ(v2->ExecQuery("SELECT * FROM Msvm_VirtualSystemManagementService", e), kSOk);
    WmiObjectPtr o;
    ASSERT_EQ(e->Next(kWbemInfinite, o), kSOk);
    WmiValue path;
    ASSERT_EQ(o->Get("__PATH", path), kSOk);
    EXPECT_EQ(path.AsBstr()->rfind("\\\\HV-REAL\\root\\virtualization\\v2:"
                                   "Msvm_VirtualSystemManagementService.",
                                   0),
              0u)
        << *path.AsBstr();
    EXPECT_EQ(e->Next(kWbemInfinite, o), kSFalse);

    // Pulled to the end; a query left halfway is released.
    ASSERT_EQ(cim->ExecQuery("SELECT DeviceID, Size FROM Win32_LogicalDisk", e), kSOk);
    ASSERT_EQ(e->Next(kWbemInfinite, o), kSOk);
    WmiValue v;
    ASSERT_EQ(o->Get("Size", v), kSOk);
    EXPECT_EQ(*v.AsBstr(), "32210153472");
    ASSERT_EQ(e->Next(kWbemInfinite, o), kSOk);
    ASSERT_EQ(o->Get("DeviceID", v), kSOk);
    EXPECT_EQ(*v.AsBstr(), "D:");
    EXPECT_EQ(e->Next(kWbemInfinite, o), kSFalse);
    ASSERT_EQ(cim->ExecQuery("SELECT * FROM Win32_LogicalDisk", e), kSOk);
    ASSERT_EQ(e->Next(kWbemInfinite, o), kSOk);
    e.reset();

    // A VM by path: one selector per key.
    const std::string vmPath =
        "\\\\HV-REAL\\root\\virtualization\\v2:Msvm_ComputerSystem.CreationClassName="
        "\"Msvm_ComputerSystem\",Name=\"VM-1\"";
    ASSERT_EQ(v2->GetObject(vmPath, o), kSOk);
    ASSERT_EQ(o->Get("EnabledState", v), kSOk);
    EXPECT_EQ(v.Type(), VT_I4);
    EXPECT_EQ(v.AsInt32(), 2);

    // A method: its parameters go typed, its job reference comes back as path text.
    WmiObjectPtr cls, in, params, out;
    ASSERT_EQ(v2->GetObject("Msvm_ComputerSystem", cls), kSOk);
    ASSERT_EQ(cls->GetMethod("RequestStateChange", in), kSOk);
    ASSERT_EQ(in->SpawnInstance(params), kSOk);
    ASSERT_EQ(params->Put("RequestedState", WmiValue::I4(2)), kSOk);
    ASSERT_EQ(v2->ExecMethod(vmPath, "RequestStateChange", params, out), kSOk);
    ASSERT_EQ(out->Get("ReturnValue", v), kSOk);
    EXPECT_EQ(v.AsInt32(), 4096);
    ASSERT_EQ(out->Get("Job", v), kSOk);
    EXPECT_EQ(*v.AsBstr(),
              "\\\\HV-REAL\\root\\virtualization\\v2:Msvm_ConcreteJob.InstanceID=\"J-7\"");

    // A thumbnail that does not fit the envelope: asked again without it, not a failure.
    ASSERT_EQ(v2->GetObject("Msvm_VirtualSystemManagementService", cls), kSOk);
    ASSERT_EQ(cls->GetMethod("GetSummaryInformation", in), kSOk);
    ASSERT_EQ(in->SpawnInstance(params), kSOk);
    ASSERT_EQ(params->Put("RequestedInformation", WmiValue::I4Array({1, 5})), kSOk);
    ASSERT_EQ(v2->ExecMethod(*path.AsBstr(), "GetSummaryInformation", params, out), kSOk);

    const auto asks = host.Asks();
    bool released = false, got = false, invoked = false, retried = false;
    for (const auto& a : asks) {
        if (Ends(a.action, "/Release") && a.context == "uuid:ctx-1") released = true;
        if (Ends(a.action, "/Get")) {
            got = true;
            EXPECT_EQ(a.selectors,
                      (std::vector<std::pair<std::string, std::string>>{
                          {"CreationClassName", "Msvm_ComputerSystem"}, {"Name", "VM-1"}}));
        }
        if (Ends(a.action, "/RequestStateChange")) {
            invoked = true;
            const XmlElement* state = a.root.FindAnyNs("RequestedState");
            ASSERT_NE(state, nullptr);
            EXPECT_EQ(state->text, "2");
        }
        if (Ends(a.action, "/GetSummaryInformation")) retried = true;
    }
    EXPECT_TRUE(released && got && invoked && retried);
}

TEST(WsmanProvider, HostWithoutHyperVAndHostsThatCannotBeReached) {
    ScriptedHost host([](const Asked& a) {
        if (a.action == "Identify") return kIdentify;
        if (a.resource.find("/virtualization/") != std::string::npos)
            return Fault(
                "InternalError",
                "<p:MSFT_WmiError xmlns:p=\"http://schemas.dmtf.org/wbem/wscim/1/cim-schema/"
                "2/MSFT_WmiError\"><p:error_Code>2147749902</p:error_Code>"
                "</p:MSFT_WmiError>");
        return HyperVHost(a);
    });
    const WmiLocatorPtr locator = CreateWsmanLocator(host.Url());
    WmiServicesPtr services;
    EXPECT_EQ(locator->ConnectServer("\\\\hv1\\ROOT\\virtualization\\v2", "ops", "pw", services),
              kWbemEInvalidNamespace);
    EXPECT_EQ(services, nullptr);
    EXPECT_EQ(locator->ConnectServer("\\\\hv1\\ROOT\\CIMV2", "ops", "pw", services), kSOk);

    // A host text that does not parse never reaches the network.
    EXPECT_EQ(CreateWsmanLocator("http://hv1/wsman")
                  ->ConnectServer("\\\\x\\ROOT\\CIMV2", "u", "p", services),
              kRpcServerUnavailable);
    EXPECT_EQ(CreateWsmanLocator("hv1.corp.example?auth=basic")->ConsoleAddress(),
              "hv1.corp.example");
}

TEST(WsmanProvider, ShutdownAndRestartThroughWin32Shutdown) {
    ScriptedHost host(HyperVHost);
    const WmiLocatorPtr locator = CreateWsmanLocator(host.Url());
    HostShutdownResult r = locator->ShutdownHost(true, "CORP\\ops", "pw");
    EXPECT_EQ(r.error, 0);
    const auto asks = host.Asks();
    ASSERT_FALSE(asks.empty());
    const Asked& last = asks.back();
    EXPECT_TRUE(Ends(last.action, "/Win32_OperatingSystem/Win32Shutdown")) << last.action;
    EXPECT_EQ(last.selectors,
              (std::vector<std::pair<std::string, std::string>>{{"Name", "Windows|C:"}}));
    const XmlElement* flags = last.root.FindAnyNs("Flags");
    ASSERT_NE(flags, nullptr);
    EXPECT_EQ(flags->text, "6");  // forced restart

    ScriptedHost refusing([](const Asked& a) {
        if (Ends(a.action, "/Win32Shutdown"))
            return Reply(Item("root/cimv2/Win32_OperatingSystem", "Win32Shutdown_OUTPUT",
                              "<p:ReturnValue>1191</p:ReturnValue>"));
        return HyperVHost(a);
    });
    r = CreateWsmanLocator(refusing.Url())->ShutdownHost(false, "ops", "pw");
    EXPECT_EQ(r.error, EIO);
    EXPECT_FALSE(r.unreachable);

    int port = 0;
    {
        test::CannedHost closed(
            [](const test::CannedRequest&) { return test::HttpAnswer(200, ""); });
        port = closed.Port();
    }
    r = CreateWsmanLocator("https://127.0.0.1:" + std::to_string(port) + "/wsman?tls=insecure")
            ->ShutdownHost(false, "ops", "pw");
    EXPECT_EQ(r.error, EHOSTUNREACH);
    EXPECT_TRUE(r.unreachable);
}

}  // namespace
}  // namespace hbr
