// The public WS-Management messages (real captures, library mocks, protocol-document examples)
// read through the response reader and the fault mapper; the values asserted are the ones a
// person reads off each file.
#include "support/wsman_samples.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "hyperv/providers/wsman/wsman_messages.h"
#include "hyperv/providers/wsman/wsman_xml.h"

namespace hbr::wsman {
namespace {

namespace fs = std::filesystem;

XmlElement Parse(const std::string& number) {
    XmlElement root;
    std::string error;
    EXPECT_EQ(ReadXml(WsmanSample(number), root, &error), XmlReadError::None)
        << number << ": " << error;
    return root;
}

const XmlElement& BodyOf(const XmlElement& root) {
    static const XmlElement empty;
    const XmlElement* body = nullptr;
    Fault fault;
    EXPECT_EQ(ReadEnvelope(root, body, fault), ReplyKind::Ok);
    return body ? *body : empty;
}

EnumerationPage Page(const std::string& number) {
    const XmlElement root = Parse(number);
    EnumerationPage page;
    std::string error;
    EXPECT_TRUE(ReadEnumerationPage(BodyOf(root), page, &error)) << error;
    return page;
}

Fault FaultOf(const std::string& number) {
    const XmlElement root = Parse(number);
    const XmlElement* body = nullptr;
    Fault fault;
    EXPECT_EQ(ReadEnvelope(root, body, fault), ReplyKind::Fault) << number;
    return fault;
}

std::string Text(const Instance& item, const std::string& name) {
    const Property* p = item.Find(name);
    if (!p) return "<missing " + name + ">";
    if (p->nil) return "<nil>";
    if (p->values.size() != 1) return "<" + std::to_string(p->values.size()) + " values>";
    return p->values[0].text;
}

WireValue::Kind KindOf(const Instance& item, const std::string& name) {
    const Property* p = item.Find(name);
    return p && !p->values.empty() ? p->values[0].kind : WireValue::Kind::Text;
}

bool IsNil(const Instance& item, const std::string& name) {
    const Property* p = item.Find(name);
    return p && p->nil && p->values.empty();
}

TEST(WsmanSamples, FolderHoldsTheKnownSamplesAndEveryOneIsWellFormed) {
    const fs::path dir = WsmanSamplesDir();
    ASSERT_TRUE(fs::is_directory(dir)) << "the samples folder is missing: " << dir;
    std::set<std::string> numbers;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (entry.path().extension() != ".xml") continue;
        numbers.insert(name.substr(0, 2));
        std::ifstream in(entry.path(), std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        XmlElement root;
        std::string error;
        EXPECT_EQ(ReadXml(text.str(), root, &error), XmlReadError::None) << name << ": " << error;
        EXPECT_TRUE(root.Is(kNsSoap, "Envelope")) << name;
    }
    // A sample added later must get its assertions here too.
    const std::set<std::string> known = {"01", "02", "03", "06", "07", "08", "09", "10", "11",
                                         "12", "13", "14", "15", "16", "17", "18", "19", "20",
                                         "21", "22", "23", "24", "25", "26", "27", "28"};
    EXPECT_EQ(numbers, known);
}

TEST(WsmanSamples, OptimizedEnumerateWithItemsAndEndOfSequence) {
    const EnumerationPage page = Page("01");
    EXPECT_TRUE(page.endOfSequence);
    EXPECT_EQ(page.context, "");
    ASSERT_EQ(page.items.size(), 1u);
    const Instance& os = page.items[0];
    EXPECT_EQ(os.className, "Win32_OperatingSystem");
    EXPECT_EQ(os.resourceUri,
              "http://schemas.microsoft.com/wbem/wsman/1/wmi/root/cimv2/Win32_OperatingSystem");
    EXPECT_EQ(os.properties.size(), 63u);
    EXPECT_EQ(Text(os, "BuildNumber"), "7601");
    EXPECT_EQ(Text(os, "CSName"), "AMAZONA-Q2R281F");
    EXPECT_EQ(Text(os, "Caption"), "Microsoft Windows Server 2008 R2 Datacenter ");  // as sent
    EXPECT_EQ(Text(os, "Description"), "");  // empty, not nil
    EXPECT_FALSE(IsNil(os, "Description"));
    EXPECT_EQ(Text(os, "Debug"), "false");
    EXPECT_EQ(Text(os, "Primary"), "true");
    EXPECT_EQ(Text(os, "MaxProcessMemorySize"), "8589934464");
    EXPECT_EQ(Text(os, "MaxNumberOfProcesses"), "4294967295");
    EXPECT_EQ(Text(os, "BootDevice"), "\\Device\\HarddiskVolume1");
    EXPECT_TRUE(IsNil(os, "LargeSystemCache"));
    EXPECT_TRUE(IsNil(os, "TotalSwapSpaceSize"));
    EXPECT_EQ(KindOf(os, "LastBootUpTime"), WireValue::Kind::Datetime);
    EXPECT_EQ(Text(os, "LastBootUpTime"), "2013-04-15T16:28:39.5Z");
    EXPECT_EQ(Text(os, "InstallDate"), "2013-03-09T03:06:25Z");
    EXPECT_EQ(Text(os, "LocalDateTime"), "2013-04-15T20:26:12.701Z");
    EXPECT_EQ(Text(os, "TotalVisibleMemorySize"), "629368");
    EXPECT_EQ(Text(os, "FreePhysicalMemory"), "184040");
}

TEST(WsmanSamples, EnumerateWithContextThenPullToTheEnd) {
    const EnumerationPage first = Page("02");
    EXPECT_FALSE(first.endOfSequence);
    EXPECT_EQ(first.context, "uuid:5BB9D3D1-8FF1-40FA-ADA2-BE91F7F050E6");
    ASSERT_EQ(first.items.size(), 1u);
    EXPECT_EQ(first.items[0].className, "Win32_LogicalDisk");
    EXPECT_EQ(Text(first.items[0], "DeviceID"), "C:");
    EXPECT_EQ(Text(first.items[0], "FreeSpace"), "9769496576");
    EXPECT_EQ(Text(first.items[0], "Size"), "32210153472");
    EXPECT_EQ(Text(first.items[0], "VolumeName"), "");
    EXPECT_TRUE(IsNil(first.items[0], "Availability"));

    const EnumerationPage last = Page("03");
    EXPECT_TRUE(last.endOfSequence);
    EXPECT_EQ(last.context, "");
    ASSERT_EQ(last.items.size(), 1u);
    EXPECT_EQ(Text(last.items[0], "DeviceID"), "D:");
    EXPECT_EQ(Text(last.items[0], "VolumeName"), "New Volume");
    EXPECT_EQ(Text(last.items[0], "Size"), "53683941376");
}

TEST(WsmanSamples, PrettyPrintedEnumerateAndPullOfProcesses) {
    const EnumerationPage first = Page("09");
    EXPECT_EQ(first.context, "uuid:12AE5286-91FE-48F3-937E-0C22FF1AD7A1");
    EXPECT_FALSE(first.endOfSequence);
    ASSERT_EQ(first.items.size(), 2u);
    EXPECT_EQ(Text(first.items[0], "Name"), "System Idle Process");
    EXPECT_TRUE(IsNil(first.items[0], "CreationDate"));
    EXPECT_EQ(Text(first.items[0], "KernelModeTime"), "33618906250");
    EXPECT_EQ(Text(first.items[1], "Name"), "System");
    EXPECT_EQ(Text(first.items[1], "ProcessId"), "4");
    EXPECT_EQ(KindOf(first.items[1], "CreationDate"), WireValue::Kind::Datetime);
    EXPECT_EQ(Text(first.items[1], "CreationDate"), "2013-04-29T11:43:11.203125-07:00");

    const EnumerationPage last = Page("10");
    EXPECT_TRUE(last.endOfSequence);
    ASSERT_EQ(last.items.size(), 1u);
    EXPECT_EQ(Text(last.items[0], "CommandLine"), "\\??\\C:\\Windows\\system32\\conhost.exe");
    EXPECT_EQ(Text(last.items[0], "ParentProcessId"), "312");
    EXPECT_EQ(Text(last.items[0], "CreationDate"), "2013-04-29T13:09:06.102138-07:00");
}

TEST(WsmanSamples, InvokeRepliesCarryTheOutputParameters) {
    Instance out;
    std::string error;
    {
        const XmlElement root = Parse("08");
        ASSERT_TRUE(ReadSingleInstance(BodyOf(root), out, &error)) << error;
        EXPECT_EQ(out.className, "Delete_OUTPUT");
        EXPECT_EQ(out.resourceUri,
                  "http://schemas.microsoft.com/wbem/wsman/1/wmi/root/cimv2/CIM_DataFile");
        ASSERT_EQ(out.properties.size(), 1u);
        EXPECT_EQ(out.properties[0].values[0].text, "0");
    }
    {
        const XmlElement root = Parse("25");
        ASSERT_TRUE(ReadSingleInstance(BodyOf(root), out, &error)) << error;
        EXPECT_EQ(out.className, "Create_OUTPUT");
        EXPECT_EQ(Text(out, "ProcessId"), "4000");
        EXPECT_EQ(Text(out, "ReturnValue"), "0");
    }
}

TEST(WsmanSamples, GetReplyAndDocumentEnumerationSequence) {
    Instance item;
    std::string error;
    const XmlElement root = Parse("17");
    ASSERT_TRUE(ReadSingleInstance(BodyOf(root), item, &error)) << error;
    EXPECT_EQ(item.className, "myclass");
    EXPECT_EQ(Text(item, "Data1"), "Hello World");
    EXPECT_EQ(Text(item, "id"), "1");
    EXPECT_EQ(item.properties.size(), 2u);  // cim:Location is the object's address, not a property

    const EnumerationPage contextOnly = Page("19");
    EXPECT_EQ(contextOnly.context, "uuid:22EB9809-5543-4020-A75C-FD95FF06217B");
    EXPECT_TRUE(contextOnly.items.empty());
    EXPECT_FALSE(contextOnly.endOfSequence);

    const EnumerationPage second = Page("21");
    EXPECT_EQ(second.context, "uuid:2504CA0D-94B9-4F91-B2F7-9F4CD9A2A96C");
    ASSERT_EQ(second.items.size(), 1u);
    EXPECT_EQ(Text(second.items[0], "Data1"), "Test Message");

    const EnumerationPage last = Page("23");
    EXPECT_TRUE(last.endOfSequence);
    ASSERT_EQ(last.items.size(), 1u);
    EXPECT_EQ(Text(last.items[0], "Data1"), "\"Hello again\"");
    EXPECT_EQ(Text(last.items[0], "id"), "2");
}

TEST(WsmanSamples, ReferencePropertiesAreEndpointReferences) {
    const EnumerationPage page = Page("28");
    EXPECT_TRUE(page.endOfSequence);
    ASSERT_EQ(page.items.size(), 1u);
    const Instance& sdc = page.items[0];
    EXPECT_EQ(sdc.className, "Msvm_SettingsDefineCapabilities");
    const Property* group = sdc.Find("GroupComponent");
    ASSERT_NE(group, nullptr);
    ASSERT_EQ(group->values.size(), 1u);
    ASSERT_EQ(group->values[0].kind, WireValue::Kind::Reference);
    EXPECT_EQ(group->values[0].reference.resourceUri,
              "http://schemas.microsoft.com/wbem/wsman/1/wmi/root/virtualization/"
              "Msvm_AllocationCapabilities");
    ASSERT_EQ(group->values[0].reference.selectors.size(), 1u);
    EXPECT_EQ(group->values[0].reference.selectors[0].first, "InstanceID");
    EXPECT_EQ(group->values[0].reference.selectors[0].second,
              "Microsoft:06FF76FA-2D58-4BAF-9F8D-455773824F37");
    const Property* part = sdc.Find("PartComponent");
    ASSERT_NE(part, nullptr);
    ASSERT_EQ(part->values[0].kind, WireValue::Kind::Reference);
    EXPECT_EQ(part->values[0].reference.selectors[0].second,
              "Microsoft:Definition\\06FF76FA-2D58-4BAF-9F8D-455773824F37\\Default");
    EXPECT_EQ(Text(sdc, "ValueRole"), "0");
}

TEST(WsmanSamples, FaultsMapToTheWmiCodeElseTheWsmanCode) {
    // WMI failure inside a WinRM fault; __ExtendedStatus has no StatusCode, so the WSManFault code.
    Fault f = FaultOf("11");
    EXPECT_EQ(f.subcode, "CannotProcessFilter");
    EXPECT_EQ(f.wsmanCode, 2150858778u);
    EXPECT_EQ(f.wmiCode, 0u);
    EXPECT_EQ(static_cast<std::uint32_t>(f.hr), 0x8033801Au);
    EXPECT_EQ(f.message, "The specified class does not exist in the given namespace.");

    f = FaultOf("12");  // MSFT_WmiError error_Code, which its MessageID repeats in hexadecimal
    EXPECT_EQ(f.subcode, "QuotaLimit");
    EXPECT_EQ(f.wmiCode, 2150859173u);
    EXPECT_EQ(static_cast<std::uint32_t>(f.hr), 0x803381A5u);

    f = FaultOf("13");
    EXPECT_EQ(f.code, "s:Receiver");
    EXPECT_EQ(f.subcode, "InternalError");
    EXPECT_EQ(static_cast<std::uint32_t>(f.hr), 0x803381A6u);
    EXPECT_EQ(f.message, "WMI Message.");

    f = FaultOf("14");
    EXPECT_EQ(f.subcode, "TimedOut");
    EXPECT_EQ(f.wsmanCode, 2150858793u);
    EXPECT_EQ(static_cast<std::uint32_t>(f.hr), 0x80338029u);

    f = FaultOf("15");
    EXPECT_EQ(f.subcode, "SchemaValidationError");
    EXPECT_EQ(static_cast<std::uint32_t>(f.hr), 2150858817u);
    EXPECT_EQ(f.reason, "Reason text.");

    // Code 32768 is no HRESULT: the subcode decides (the resource was not found).
    f = FaultOf("27");
    EXPECT_EQ(f.subcode, "DestinationUnreachable");
    EXPECT_EQ(f.wsmanCode, 32768u);
    EXPECT_EQ(static_cast<std::uint32_t>(f.hr), 0x80041002u);
}

// Element paths (namespace URI and local name from the root) of a document.
void Paths(const XmlElement& e, const std::string& prefix, std::set<std::string>& out) {
    const std::string here = prefix + "/{" + e.ns + "}" + e.name;
    out.insert(here);
    for (const auto& c : e.children) Paths(c, here, out);
}

TEST(WsmanSamples, OurRequestsHaveEveryElementOfThePublicRequests) {
    RequestHeader h;
    h.to = "https://hv1:5986/wsman";
    h.resourceUri = "http://schemas.microsoft.com/wbem/wsman/1/wmi/root/cimv2/*";
    struct Case {
        std::string sample;
        std::string ours;
    };
    RequestHeader get = h;
    get.resourceUri = "http://schemas.microsoft.com/wbem/wsman/1/wmi/root/mynamespace/myclass";
    get.selectors = {{"id", "1"}};
    RequestHeader invoke = h;
    invoke.resourceUri = "http://schemas.microsoft.com/wbem/wsman/1/wmi/root/cimv2/Win32_Process";
    const std::vector<Property> params = {
        Property{"CommandLine", false, {WireValue{WireValue::Kind::Text, "notepad.exe", {}, {}}}},
        Property{"CurrentDirectory", false, {WireValue{WireValue::Kind::Text, "C:\\", {}, {}}}}};
    const std::vector<Case> cases = {
        {"06", BuildEnumerateWql(h, "select * from Win32_Process", 32000)},
        {"07", BuildPull(h, "uuid:1", 32000)},
        {"16", BuildGet(get)},
        {"18", BuildEnumerateWql(h, "select * from myclass", 10)},
        {"20", BuildPull(h, "uuid:1", 1)},
        {"26", BuildGet(h)},
    };
    for (const auto& c : cases) {
        std::set<std::string> theirs, ours;
        Paths(Parse(c.sample), "", theirs);
        XmlElement mine;
        ASSERT_EQ(ReadXml(c.ours, mine), XmlReadError::None) << c.sample;
        Paths(mine, "", ours);
        for (const auto& p : theirs) EXPECT_TRUE(ours.count(p)) << c.sample << " lacks " << p;
    }
    // The Invoke sample's body names the class in another namespace (the document's slip), so
    // its header is compared by path and its input parameters by name and text.
    XmlElement mine;
    ASSERT_EQ(ReadXml(BuildInvoke(invoke, "Create", params), mine), XmlReadError::None);
    const XmlElement theirs = Parse("24");
    const XmlElement* theirInput = BodyOf(theirs).children.data();
    const XmlElement& myBody = BodyOf(mine);
    ASSERT_EQ(myBody.children.size(), 1u);
    EXPECT_EQ(myBody.children[0].name, theirInput->name);
    EXPECT_EQ(myBody.children[0].ns, invoke.resourceUri);
    ASSERT_EQ(myBody.children[0].children.size(), theirInput->children.size());
    for (std::size_t i = 0; i < theirInput->children.size(); ++i) {
        EXPECT_EQ(myBody.children[0].children[i].name, theirInput->children[i].name);
        EXPECT_EQ(myBody.children[0].children[i].text, theirInput->children[i].text);
    }
    const XmlElement* action = mine.Find(kNsAddressing, "Action");
    ASSERT_NE(action, nullptr);
    EXPECT_EQ(action->text, theirs.Find(kNsAddressing, "Action")->TrimmedText());
    // The WQL filter's dialect and the selector as the documents write them.
    XmlElement enumerate;
    ASSERT_EQ(ReadXml(cases[0].ours, enumerate), XmlReadError::None);
    const XmlElement* filter = enumerate.Find(kNsWsman, "Filter");
    ASSERT_NE(filter, nullptr);
    EXPECT_EQ(*filter->Attribute({}, "Dialect"),
              *Parse("06").Find(kNsWsman, "Filter")->Attribute({}, "Dialect"));
    EXPECT_EQ(filter->text, "select * from Win32_Process");
    XmlElement getRequest;
    ASSERT_EQ(ReadXml(cases[2].ours, getRequest), XmlReadError::None);
    const XmlElement* selector = getRequest.Find(kNsWsman, "Selector");
    ASSERT_NE(selector, nullptr);
    EXPECT_EQ(*selector->Attribute({}, "Name"), "id");
    EXPECT_EQ(selector->text, "1");
}

}  // namespace
}  // namespace hbr::wsman
