// Values, object paths, WQL and CIM-XML of the provider interface.
#include <gtest/gtest.h>

#include <boost/asio.hpp>

#include "hyperv/provider_factory.h"
#include "hyperv/wmi/wmi_cimxml.h"
#include "hyperv/wmi/wmi_path.h"
#include "hyperv/wmi/wmi_provider.h"
#include "hyperv/wmi/wql.h"

namespace hbr {
namespace {

WmiClassDefPtr TestClass() {
    auto def = std::make_shared<WmiClassDef>(
        "Test_Thing", std::vector<std::string>{"CIM_Thing"},
        std::vector<WmiPropertyDef>{{"Id", CIM_STRING, true},
                                    {"Count", CIM_UINT16},
                                    {"Big", CIM_UINT64},
                                    {"Flag", CIM_BOOLEAN},
                                    {"Tags", static_cast<CimType>(CIM_STRING | CIM_FLAG_ARRAY)},
                                    {"Bytes", static_cast<CimType>(CIM_UINT8 | CIM_FLAG_ARRAY)},
                                    {"Codes", static_cast<CimType>(CIM_UINT16 | CIM_FLAG_ARRAY)},
                                    {"Signed", CIM_SINT32},
                                    {"When", CIM_DATETIME}},
        "HOST1", "root\\test");
    return def;
}

WmiObjectPtr Thing(std::string id) {
    auto o = WmiObject::MakeInstance(TestClass());
    EXPECT_EQ(o->Put("Id", WmiValue::Bstr(std::move(id))), kSOk);
    return o;
}

TEST(WmiValue, ArrayBoundsAndElements) {
    WmiValue empty = WmiValue::UI1Array({});
    long lo = 7, hi = 7;
    ASSERT_EQ(empty.GetArrayBounds(lo, hi), kSOk);
    EXPECT_EQ(lo, 0);
    EXPECT_EQ(hi, -1);
    WmiValue tags = WmiValue::BstrArray({"a", "b"});
    WmiValue e;
    ASSERT_EQ(tags.GetElement(1, e), kSOk);
    EXPECT_EQ(*e.AsBstr(), "b");
    EXPECT_EQ(tags.GetElement(2, e), kDispEBadIndex);
    EXPECT_EQ(tags.GetElement(-1, e), kDispEBadIndex);
    EXPECT_EQ(WmiValue::I4(3).GetArrayBounds(lo, hi), kEInvalidArg);
    EXPECT_EQ(WmiValue::UI4(0xFFFFFFFFu).AsInt32(), -1);
    EXPECT_EQ(WmiValue::I4(5).AsBstr(), nullptr);
}

TEST(WmiObject, PutCoercesToTheWayWmiDelivers) {
    auto o = Thing("x");
    WmiValue v;
    CimType t{};
    // uint16 from an unsigned 32-bit value comes back as VT_I4.
    ASSERT_EQ(o->Put("Count", WmiValue::UI4(65535)), kSOk);
    ASSERT_EQ(o->Get("Count", v, &t), kSOk);
    EXPECT_EQ(v.Type(), VT_I4);
    EXPECT_EQ(v.AsInt32(), 65535);
    EXPECT_EQ(t, CIM_UINT16);
    EXPECT_EQ(o->Put("Count", WmiValue::I4(65536)), kWbemETypeMismatch);
    EXPECT_EQ(o->Put("Count", WmiValue::I4(-1)), kWbemETypeMismatch);
    // uint64 travels as decimal text.
    ASSERT_EQ(o->Put("Big", WmiValue::I4(42)), kSOk);
    o->Get("Big", v);
    EXPECT_EQ(v.Type(), VT_BSTR);
    EXPECT_EQ(*v.AsBstr(), "42");
    EXPECT_EQ(o->Put("Big", WmiValue::Bstr("12x")), kWbemETypeMismatch);
    EXPECT_EQ(o->Put("Big", WmiValue::Bstr("-1")), kWbemETypeMismatch);
    ASSERT_EQ(o->Put("Bytes", WmiValue::I4Array({0, 255})), kSOk);
    o->Get("Bytes", v);
    EXPECT_EQ(v.Type(), VT_ARRAY | VT_UI1);
    EXPECT_EQ(o->Put("Bytes", WmiValue::I4Array({256})), kWbemETypeMismatch);
    EXPECT_EQ(o->Put("Tags", WmiValue::Bstr("scalar")), kWbemETypeMismatch);
    EXPECT_EQ(o->Put("Flag", WmiValue::Bstr("true")), kWbemETypeMismatch);
    // The failed puts left the earlier values in place.
    o->Get("Count", v);
    EXPECT_EQ(v.AsInt32(), 65535);
    // Null clears; unknown and system names are refused.
    ASSERT_EQ(o->Put("Count", WmiValue()), kSOk);
    o->Get("Count", v);
    EXPECT_EQ(v.Type(), VT_NULL);
    EXPECT_EQ(o->Put("Nope", WmiValue::I4(1)), kWbemENotFound);
    EXPECT_EQ(o->Put("__PATH", WmiValue::Bstr("x")), kWbemEReadOnly);
    EXPECT_EQ(o->Get("Nope", v), kWbemENotFound);
}

TEST(WmiObject, SystemPropertiesAndPaths) {
    auto o = Thing("say \"hi\"\\now");
    WmiValue v;
    ASSERT_EQ(o->Get("__PATH", v), kSOk);
    EXPECT_EQ(*v.AsBstr(), "\\\\HOST1\\root\\test:Test_Thing.Id=\"say \\\"hi\\\"\\\\now\"");
    o->Get("__RELPATH", v);
    EXPECT_EQ(*v.AsBstr(), "Test_Thing.Id=\"say \\\"hi\\\"\\\\now\"");
    o->Get("__CLASS", v);
    EXPECT_EQ(*v.AsBstr(), "Test_Thing");
    o->Get("__GENUS", v);
    EXPECT_EQ(v.AsInt32(), 2);
    o->Get("__SUPERCLASS", v);
    EXPECT_EQ(*v.AsBstr(), "CIM_Thing");
    // The path reads back to the same key.
    WmiObjectPath p;
    ASSERT_EQ(ParseObjectPath(o->Path(), p), kSOk);
    EXPECT_EQ(p.server, "HOST1");
    EXPECT_EQ(p.nameSpace, "root\\test");
    EXPECT_EQ(p.className, "Test_Thing");
    ASSERT_NE(p.Key("id"), nullptr);
    EXPECT_EQ(*p.Key("id"), "say \"hi\"\\now");
    // A projection without the key has no path.
    auto projected = WmiObject::MakeInstance(TestClass()->Project({"Count"}));
    projected->Get("__PATH", v);
    EXPECT_EQ(v.Type(), VT_NULL);
    EXPECT_EQ(projected->Get("Id", v), kWbemENotFound);
    // An instance whose key is not set has no path either.
    WmiObject::MakeInstance(TestClass())->Get("__PATH", v);
    EXPECT_EQ(v.Type(), VT_NULL);
}

TEST(WmiObject, ClassObjectsGiveSignaturesAndInstances) {
    auto def = std::make_shared<WmiClassDef>("C", std::vector<std::string>{},
                                             std::vector<WmiPropertyDef>{{"K", CIM_STRING, true}});
    def->AddMethod({"Go",
                    std::make_shared<WmiClassDef>("__PARAMETERS", std::vector<std::string>{},
                                                  std::vector<WmiPropertyDef>{{"N", CIM_UINT32}}),
                    nullptr});
    auto cls = WmiObject::MakeClass(def);
    WmiObjectPtr in, inst;
    ASSERT_EQ(cls->GetMethod("go", in), kSOk);
    ASSERT_EQ(in->SpawnInstance(inst), kSOk);
    EXPECT_EQ(inst->Put("N", WmiValue::I4(3)), kSOk);
    EXPECT_EQ(cls->GetMethod("Missing", in), kWbemENotFound);
    EXPECT_EQ(inst->GetMethod("Go", in), kWbemEIllegalOperation);
    EXPECT_EQ(inst->SpawnInstance(in), kWbemEIllegalOperation);
    WmiValue path;
    cls->Get("__PATH", path);
    EXPECT_EQ(*path.AsBstr(), "C");
}

// Found by fuzzing: a lone leading separator and white space gave a namespace that, written back
// into a path, read back as another one.
TEST(WmiPath, NamespaceHasOneNormalForm) {
    WmiObjectPath a, b;
    ASSERT_EQ(ParseObjectPath("\\ root\\v2 :Msvm_ComputerSystem.Name=\"x\"", a), kSOk);
    EXPECT_EQ(a.nameSpace, "root\\v2");
    ASSERT_EQ(ParseObjectPath(a.nameSpace + ":Msvm_ComputerSystem.Name=\"x\"", b), kSOk);
    EXPECT_EQ(b.nameSpace, a.nameSpace);
    // A server part whose namespace is nothing but white space is no path.
    EXPECT_EQ(ParseObjectPath("\\\\HV1\\ \t:Msvm_ComputerSystem", a), kWbemEInvalidObjectPath);
}

TEST(WmiPath, ParsesTheFormsInUse) {
    WmiObjectPath p;
    ASSERT_EQ(ParseObjectPath("\\\\HV1\\root\\virtualization\\v2:Msvm_ComputerSystem."
                              "CreationClassName=\"Msvm_ComputerSystem\",Name=\"ABC\"",
                              p),
              kSOk);
    EXPECT_EQ(p.className, "Msvm_ComputerSystem");
    EXPECT_EQ(*p.Key("Name"), "ABC");
    EXPECT_EQ(p.keys.size(), 2u);
    ASSERT_EQ(ParseObjectPath("//./root/cimv2:Win32_OperatingSystem=@", p), kSOk);
    EXPECT_TRUE(p.singleton);
    EXPECT_EQ(p.nameSpace, "root\\cimv2");
    ASSERT_EQ(ParseObjectPath("Msvm_X.InstanceID=\"Microsoft:A\\\\B\"", p), kSOk);
    EXPECT_EQ(*p.Key("InstanceID"), "Microsoft:A\\B");
    ASSERT_EQ(ParseObjectPath("Win32_Thing", p), kSOk);
    EXPECT_TRUE(p.IsClassPath());
    for (const char* bad : {"", ".", "\\\\", "\\\\srv", "Msvm_X.", "Msvm_X.Name=\"open",
                            "Msvm_X.Name=", "Msvm_X junk", "Msvm_X.A=\"1\",", "\\\\s\\ns"})
        EXPECT_EQ(ParseObjectPath(bad, p), kWbemEInvalidObjectPath) << bad;
}

TEST(Wql, ParsesEveryFormTheConsoleSends) {
    const char* texts[] = {
        "select * from MSVM_VirtualSystemManagementService",
        "ASSOCIATORS OF {\\\\H\\root\\virtualization\\v2:Msvm_ComputerSystem.CreationClassName="
        "\"Msvm_ComputerSystem\",Name=\"X\"} WHERE resultClass = Msvm_VirtualSystemSettingData",
        "select ReplicationMode, ReplicationState, ReplicationHealth from Msvm_ComputerSystem "
        "where Name=\"X\"",
        "associators of {Msvm_ComputerSystem.Name=\"X\"} where AssocClass=Msvm_SystemDevice "
        "ResultClass=Msvm_ShutdownComponent",
        "Select EnabledState from Msvm_ComputerSystem where Name=\"X\"",
        "Select * from Msvm_VirtualSystemSettingData where InstanceID=\"Microsoft:X\"",
        "SELECT PercentProcessorTime FROM Win32_PerfFormattedData_PerfOS_Processor where Name = "
        "'_Total'",
        "SELECT * FROM Win32_LogicalDisk WHERE DriveType=2 OR DriveType=3",
        "SELECT * FROM Win32_NetworkAdapter  WHERE PhysicalAdapter= 'true'",
        "SELECT Name, NumberOfCores, NumberOfLogicalProcessors FROM Win32_Processor",
        "  select\t*\nfrom X where ( A <> 1 AND NOT B IS NULL ) or C LIKE 'a%' or 5 < D",
    };
    for (const char* t : texts) {
        WqlQuery q;
        EXPECT_EQ(ParseWql(t, q), kSOk) << t;
    }
    WqlQuery q;
    ASSERT_EQ(ParseWql(texts[3], q), kSOk);
    EXPECT_EQ(q.kind, WqlQuery::Kind::Associators);
    EXPECT_EQ(q.objectPath, "Msvm_ComputerSystem.Name=\"X\"");
    EXPECT_EQ(q.assocClass, "Msvm_SystemDevice");
    EXPECT_EQ(q.resultClass, "Msvm_ShutdownComponent");
    ASSERT_EQ(ParseWql(texts[9], q), kSOk);
    EXPECT_EQ(q.columns,
              (std::vector<std::string>{"Name", "NumberOfCores", "NumberOfLogicalProcessors"}));
    EXPECT_EQ(q.className, "Win32_Processor");
}

TEST(Wql, RefusesMalformedQueries) {
    for (const char* bad : {"",
                            "select",
                            "select * from",
                            "select from X",
                            "select *, A from X",
                            "select A, from X",
                            "select * from X where",
                            "select * from X where A =",
                            "select * from X where A = 'x",
                            "select * from X where (A = 1",
                            "select * from X where A = 1 B = 2",
                            "select * from X trailing",
                            "delete from X",
                            "associators of X",
                            "associators of {X",
                            "associators of {X} where",
                            "associators of {X} where Foo=Bar",
                            "associators of {X} where ResultClass=",
                            "associators of {X} where ResultClass=A ResultClass=B",
                            "select * from X where A = 99999999999999999999",
                            "select * from X where A # 1"}) {
        WqlQuery q;
        EXPECT_EQ(ParseWql(bad, q), kWbemEInvalidQuery) << bad;
    }
    // Deep nesting is refused, not a stack overflow.
    std::string deep =
        "select * from X where " + std::string(5000, '(') + "A=1" + std::string(5000, ')');
    WqlQuery q;
    EXPECT_EQ(ParseWql(deep, q), kWbemEInvalidQuery);
}

bool Matches(const std::string& where, const WmiObject& o) {
    WqlQuery q;
    EXPECT_EQ(ParseWql("select * from Test_Thing where " + where, q), kSOk) << where;
    return q.where && WqlMatches(*q.where, o);
}

TEST(Wql, ConditionsCompareAsWmiDoes) {
    auto o = Thing("Alpha");
    o->Put("Count", WmiValue::I4(7));
    o->Put("Big", WmiValue::Bstr("8589934592"));
    o->Put("Flag", WmiValue::Bool(true));
    o->Put("Signed", WmiValue::I4(-3));
    EXPECT_TRUE(Matches("Id = 'alpha'", *o));
    EXPECT_TRUE(Matches("Id = \"ALPHA\"", *o));
    EXPECT_FALSE(Matches("Id <> 'alpha'", *o));
    EXPECT_TRUE(Matches("Id < 'beta'", *o));
    EXPECT_TRUE(Matches("Count = 7 AND Count >= 7 AND Count <= 7 AND Count > 6", *o));
    EXPECT_TRUE(Matches("Count = '7'", *o));
    EXPECT_TRUE(Matches("Big > 4294967296", *o));
    EXPECT_TRUE(Matches("Signed < 0", *o));
    EXPECT_TRUE(Matches("Flag = 'true' AND Flag = TRUE AND Flag = 1", *o));
    EXPECT_FALSE(Matches("Flag = 'false'", *o));
    EXPECT_FALSE(Matches("Flag = 'maybe'", *o));
    EXPECT_TRUE(Matches("When IS NULL AND Id IS NOT NULL", *o));
    EXPECT_FALSE(Matches("When = 'x'", *o));  // null never equals
    EXPECT_TRUE(Matches("When = NULL", *o));
    EXPECT_TRUE(Matches("Id LIKE 'a%a' AND Id LIKE '_lph_' AND Id LIKE '[a-c]%'", *o));
    EXPECT_FALSE(Matches("Id LIKE 'b%'", *o));
    // AND binds tighter than OR.
    EXPECT_TRUE(Matches("Count = 1 AND Count = 2 OR Count = 7", *o));
    EXPECT_FALSE(Matches("Count = 1 AND (Count = 2 OR Count = 7)", *o));
    EXPECT_TRUE(Matches("NOT Count = 1", *o));
    EXPECT_TRUE(Matches("6 < Count", *o));
    // Arrays and missing properties match nothing.
    o->Put("Tags", WmiValue::BstrArray({"a"}));
    EXPECT_FALSE(Matches("Tags = 'a'", *o));
    EXPECT_FALSE(Matches("Missing = 1", *o));
}

TEST(CimXml, RoundTripKeepsHostileTexts) {
    auto o = Thing("id-1");
    const std::string nasty = "He said \"hi\" <b>&amp;</b> 'x'\r\n\ttab \xC3\xA9";
    o->Put("Tags", WmiValue::BstrArray({nasty, "", "]]>"}));
    o->Put("Count", WmiValue::I4(65535));
    o->Put("Big", WmiValue::Bstr("18446744073709551615"));
    o->Put("Flag", WmiValue::Bool(false));
    o->Put("Bytes", WmiValue::UI1Array({0, 7, 255}));
    o->Put("Codes", WmiValue::I4Array({2, 32768}));
    std::string text;
    ASSERT_EQ(o->GetObjectText(text), kSOk);
    EXPECT_EQ(text.rfind("<INSTANCE CLASSNAME=\"Test_Thing\">", 0), 0u);
    EXPECT_EQ(text.find('\r'), std::string::npos);
    EXPECT_NE(text.find("&lt;b&gt;&amp;amp;&lt;/b&gt;"), std::string::npos);

    CimXmlInstance parsed;
    ASSERT_EQ(ParseCimXml(text, parsed), kSOk);
    EXPECT_EQ(parsed.className, "Test_Thing");
    auto copy = WmiObject::MakeInstance(TestClass());
    ASSERT_EQ(ApplyCimXml(parsed, *copy), kSOk);
    for (const char* name : {"Id", "Tags", "Count", "Big", "Flag", "Bytes", "Codes", "When"}) {
        WmiValue a, b;
        o->Get(name, a);
        copy->Get(name, b);
        EXPECT_TRUE(a == b) << name;
    }
}

// A text XML 1.0 cannot carry would reach the host as U+FFFD: the object text is refused instead,
// wherever the text sits (a string, an array element, an embedded object).
TEST(CimXml, ObjectTextRefusesWhatXmlCannotCarry) {
    const auto holder = std::make_shared<WmiClassDef>(
        "Test_Holder", std::vector<std::string>{},
        std::vector<WmiPropertyDef>{{"Inner", CIM_OBJECT},
                                    {"Items", static_cast<CimType>(CIM_OBJECT | CIM_FLAG_ARRAY)}},
        "HOST1", "root\\test");
    std::string text = "left over";
    for (const std::string& bad : {std::string("bell\x07"), std::string("nul\0in", 6),
                                   std::string("overlong \xC0\x80"), std::string("cut \xC3")}) {
        auto o = Thing("id-1");
        o->Put("Tags", WmiValue::BstrArray({"fine", bad}));
        EXPECT_EQ(o->GetObjectText(text), kWbemEInvalidParameter);
        EXPECT_TRUE(text.empty());
        auto outer = WmiObject::MakeInstance(holder);
        ASSERT_EQ(outer->Put("Inner", WmiValue::Object(Thing(bad))), kSOk);
        EXPECT_EQ(outer->GetObjectText(text), kWbemEInvalidParameter);
        outer = WmiObject::MakeInstance(holder);
        ASSERT_EQ(outer->Put("Items", WmiValue::ObjectArray({Thing("ok"), Thing(bad)})), kSOk);
        EXPECT_EQ(outer->GetObjectText(text), kWbemEInvalidParameter);
    }
    auto o = Thing("id-1");
    o->Put("Tags", WmiValue::BstrArray({"tab\tline\r\nend \xEF\xBF\xBD \xF0\x9F\x98\x80"}));
    EXPECT_EQ(o->GetObjectText(text), kSOk);
    EXPECT_FALSE(text.empty());
}

TEST(CimXml, RefusesMalformedText) {
    const char* bad[] = {
        "",
        "<INSTANCE>",
        "<INSTANCE CLASSNAME=\"X\"></INSTANCEX>",
        "<INSTANCE CLASSNAME=\"X\"><PROPERTY NAME=\"A\"><VALUE>1</VALUE></PROPERTY>",
        "<!DOCTYPE x [<!ENTITY a \"b\">]><INSTANCE CLASSNAME=\"X\"></INSTANCE>",
        "<INSTANCE CLASSNAME=\"X\"><PROPERTY "
        "NAME=\"A\"><VALUE>&bogus;</VALUE></PROPERTY></INSTANCE>",
        "<INSTANCE CLASSNAME=\"X\"><PROPERTY NAME=\"A\"><VALUE>&#0;</VALUE></PROPERTY></INSTANCE>",
        "<INSTANCE CLASSNAME=\"X\"><PROPERTY "
        "NAME=\"A\"><VALUE>&#xD800;</VALUE></PROPERTY></INSTANCE>",
        "<INSTANCE CLASSNAME=\"X\"><BOGUS/></INSTANCE>",
        "<INSTANCE CLASSNAME=\"X\"><PROPERTY "
        "NAME=\"A\"><VALUE>1</VALUE><VALUE>2</VALUE></PROPERTY></INSTANCE>",
        "<INSTANCE CLASSNAME=\"X\"></INSTANCE><INSTANCE CLASSNAME=\"Y\"></INSTANCE>",
        "<CLASS NAME=\"X\"></CLASS>",
    };
    for (const char* t : bad) {
        CimXmlInstance parsed;
        EXPECT_EQ(ParseCimXml(t, parsed), kWbemEInvalidParameter) << t;
    }
    std::string deep;
    for (int i = 0; i < 100; ++i) deep += "<A>";
    CimXmlInstance parsed;
    EXPECT_EQ(ParseCimXml("<INSTANCE CLASSNAME=\"X\">" + deep, parsed), kWbemEInvalidParameter);
}

TEST(CimXml, ApplyIsAllOrNothing) {
    auto o = Thing("keep");
    o->Put("Count", WmiValue::I4(1));
    CimXmlInstance parsed;
    ASSERT_EQ(ParseCimXml("<INSTANCE CLASSNAME='Test_Thing'>"
                          "<PROPERTY NAME='Id' TYPE='string'><VALUE>changed</VALUE></PROPERTY>"
                          "<PROPERTY NAME='Count' TYPE='uint16'><VALUE>99999</VALUE></PROPERTY>"
                          "</INSTANCE>",
                          parsed),
              kSOk);
    EXPECT_EQ(ApplyCimXml(parsed, *o), kWbemETypeMismatch);
    WmiValue v;
    o->Get("Id", v);
    EXPECT_EQ(*v.AsBstr(), "keep");
    ASSERT_EQ(ParseCimXml("<INSTANCE CLASSNAME='Other'></INSTANCE>", parsed), kSOk);
    EXPECT_EQ(ApplyCimXml(parsed, *o), kWbemEInvalidParameter);
    ASSERT_EQ(ParseCimXml("<INSTANCE CLASSNAME='Test_Thing'><PROPERTY NAME='Nope'>"
                          "<VALUE>1</VALUE></PROPERTY></INSTANCE>",
                          parsed),
              kSOk);
    EXPECT_EQ(ApplyCimXml(parsed, *o), kWbemENotFound);
}

// A loopback port nothing listens on (it was bound and let go).
int FreeLoopbackPort() {
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor a(
        io, boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
    return a.local_endpoint().port();
}

TEST(WmiLocator, ChoosesTheProviderByHostText) {
    WmiServicesPtr s;
    auto local = CreateWmiLocator("");
    EXPECT_EQ(local->ConnectServer("\\\\.\\ROOT\\virtualization\\v2", "", "", s),
              kWbemEInvalidNamespace);
    EXPECT_EQ(s, nullptr);
    // Any other text is a remote host over WS-Management (its consoles at its name); one whose
    // port nobody listens on answers the reconnect code. Nothing here leaves loopback.
    EXPECT_EQ(CreateWmiLocator("hv01.corp.local?auth=basic")->ConsoleAddress(), "hv01.corp.local");
    auto remote = CreateWmiLocator("https://127.0.0.1:" + std::to_string(FreeLoopbackPort()) +
                                   "/wsman?tls=insecure");
    EXPECT_EQ(remote->ConnectServer("\\\\hv01\\ROOT\\CIMV2", "CORP\\ops", "pw", s),
              kRpcEDisconnected);
    for (const char* bad : {"sim://", "sim://a b", "sim://x?vms=abc", "sim://x?vms=6000",
                            "sim://x?color=red", "sim://x?seed=-1"}) {
        auto loc = CreateWmiLocator(bad);
        EXPECT_EQ(loc->ConnectServer("root\\cimv2", "", "", s), kRpcServerUnavailable) << bad;
    }
    auto sim = CreateWmiLocator("sim://locator-test?vms=2");
    EXPECT_EQ(sim->ConnectServer("\\\\x\\ROOT\\CIMV2", "", "", s), kSOk);
    EXPECT_NE(s, nullptr);
    EXPECT_EQ(sim->ConnectServer("\\\\x\\root\\default", "", "", s), kWbemEInvalidNamespace);
}

}  // namespace
}  // namespace hbr
