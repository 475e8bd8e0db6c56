// Hostile and odd XML from a host: the reader refuses entity tricks and malformed text with a
// clear error, matches by namespace URI whatever the prefixes, and host texts parse strictly.
#include "hyperv/providers/wsman/wsman_xml.h"

#include <gtest/gtest.h>

#include "hyperv/providers/wsman/wsman_messages.h"
#include "hyperv/providers/wsman/wsman_target.h"

namespace hbr::wsman {
namespace {

XmlReadError Read(const std::string& text, std::string* error = nullptr) {
    XmlElement root;
    return ReadXml(text, root, error);
}

TEST(WsmanXml, RefusesEveryDocumentTypeDeclaration) {
    const std::string billionLaughs =
        "<?xml version=\"1.0\"?><!DOCTYPE lolz [<!ENTITY lol \"lol\">"
        "<!ENTITY lol2 \"&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;\">"
        "<!ENTITY lol3 \"&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;\">"
        "<!ENTITY lol4 \"&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;\">"
        "<!ENTITY lol5 \"&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;\">"
        "<!ENTITY lol6 \"&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;\">"
        "<!ENTITY lol7 \"&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;\">"
        "<!ENTITY lol8 \"&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;\">"
        "<!ENTITY lol9 \"&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;\">]>"
        "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\"><s:Body>&lol9;</s:Body>"
        "</s:Envelope>";
    const std::string externalEntity =
        "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY xxe SYSTEM \"file:///etc/passwd\">]>"
        "<r>&xxe;</r>";
    const std::string externalDtd =
        "<?xml version=\"1.0\"?><!DOCTYPE r SYSTEM \"http://127.0.0.1:1/evil.dtd\"><r/>";
    const std::string parameterEntity =
        "<!DOCTYPE r [<!ENTITY % p SYSTEM \"file:///etc/hostname\"> %p;]><r/>";
    const std::string quadraticBlowup = "<!DOCTYPE r [<!ENTITY a \"" + std::string(50000, 'a') +
                                        "\">]><r>" +
                                        [] {
                                            std::string refs;
                                            for (int i = 0; i < 5000; ++i) refs += "&a;";
                                            return refs;
                                        }() +
                                        "</r>";
    for (const std::string* text :
         {&billionLaughs, &externalEntity, &externalDtd, &parameterEntity, &quadraticBlowup}) {
        std::string error;
        EXPECT_EQ(Read(*text, &error), XmlReadError::DocumentType) << text->substr(0, 60);
        EXPECT_EQ(error, "the reply holds a document type declaration");
    }
}

TEST(WsmanXml, MalformedTextIsAClearErrorNeverACrash) {
    const std::vector<std::string> bad = {
        "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\"><s:Body>",  // cut short
        "<a><b></a></b>",
        "<a>&undefined;</a>",
        "<a xmlns:p=\"urn:x\"><q:b/></a>",  // unbound prefix
        std::string("<a>\0</a>", 8),
        "\xff\xfe\x00<\x00a\x00>",
        "not xml at all",
        "<html><body>Service Unavailable</body>",
        "<a/><b/>",  // two roots
    };
    for (const auto& text : bad) {
        std::string error;
        EXPECT_EQ(Read(text, &error), XmlReadError::Malformed) << text;
        EXPECT_FALSE(error.empty());
    }
    EXPECT_EQ(Read(""), XmlReadError::Empty);
}

TEST(WsmanXml, DeepNestingAndSizeAreBounded) {
    std::string deep;
    for (int i = 0; i < 20000; ++i) deep += "<a>";
    for (int i = 0; i < 20000; ++i) deep += "</a>";
    EXPECT_EQ(Read(deep), XmlReadError::Malformed);

    XmlElement root;
    EXPECT_EQ(ReadXml("<a>" + std::string(2000, 'x') + "</a>", root, nullptr, 1000),
              XmlReadError::TooLarge);
}

TEST(WsmanXml, NamesMatchByNamespaceUriNotByPrefix) {
    const std::string odd =
        "<env:Envelope xmlns:env=\"http://www.w3.org/2003/05/soap-envelope\">"
        "<env:Body><e:PullResponse xmlns:e=\"http://schemas.xmlsoap.org/ws/2004/09/enumeration\">"
        "<e:Items><Win32_Service xmlns=\"http://schemas.microsoft.com/wbem/wsman/1/wmi/root/cimv2/"
        "Win32_Service\"><Name>WinRM</Name><State>Running</State></Win32_Service></e:Items>"
        "<e:EndOfSequence/></e:PullResponse></env:Body></env:Envelope>";
    XmlElement root;
    ASSERT_EQ(ReadXml(odd, root), XmlReadError::None);
    const XmlElement* body = nullptr;
    Fault fault;
    ASSERT_EQ(ReadEnvelope(root, body, fault), ReplyKind::Ok);
    EnumerationPage page;
    ASSERT_TRUE(ReadEnumerationPage(*body, page, nullptr));
    EXPECT_TRUE(page.endOfSequence);
    ASSERT_EQ(page.items.size(), 1u);
    EXPECT_EQ(page.items[0].className, "Win32_Service");
    EXPECT_EQ(page.items[0].Find("state")->values[0].text, "Running");

    // The familiar prefix bound to SOAP 1.1's namespace is another envelope altogether.
    const std::string soap11 =
        "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body/></s:Envelope>";
    ASSERT_EQ(ReadXml(soap11, root), XmlReadError::None);
    EXPECT_EQ(ReadEnvelope(root, body, fault), ReplyKind::NotEnvelope);
    // Elements of unknown namespaces inside a reply are neither items' properties nor faults.
    const std::string foreign =
        "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\"><s:Body>"
        "<x:EnumerateResponse xmlns:x=\"urn:other\"/></s:Body></s:Envelope>";
    ASSERT_EQ(ReadXml(foreign, root), XmlReadError::None);
    ASSERT_EQ(ReadEnvelope(root, body, fault), ReplyKind::Ok);
    std::string error;
    EXPECT_FALSE(ReadEnumerationPage(*body, page, &error));
    EXPECT_FALSE(error.empty());
}

TEST(WsmanXml, ColumnListItemsAndEmbeddedInstancesAndArrays) {
    const std::string reply =
        "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\" "
        "xmlns:w=\"http://schemas.dmtf.org/wbem/wsman/1/wsman.xsd\" "
        "xmlns:n=\"http://schemas.xmlsoap.org/ws/2004/09/enumeration\" "
        "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><s:Body><n:EnumerateResponse>"
        "<n:EnumerationContext/><w:Items>"
        "<w:XmlFragment><Name>hv1</Name><Caption xsi:nil=\"true\"/></w:XmlFragment>"
        "<w:XmlFragment><Caption>x</Caption><Name>hv2</Name></w:XmlFragment>"
        "</w:Items><w:EndOfSequence/></n:EnumerateResponse></s:Body></s:Envelope>";
    XmlElement root;
    ASSERT_EQ(ReadXml(reply, root), XmlReadError::None);
    const XmlElement* body = nullptr;
    Fault fault;
    ASSERT_EQ(ReadEnvelope(root, body, fault), ReplyKind::Ok);
    EnumerationPage page;
    ASSERT_TRUE(ReadEnumerationPage(*body, page, nullptr));
    ASSERT_EQ(page.items.size(), 2u);
    EXPECT_EQ(page.items[0].className, "");
    EXPECT_EQ(page.items[0].Find("Name")->values[0].text, "hv1");
    EXPECT_TRUE(page.items[0].Find("Caption")->nil);
    EXPECT_EQ(page.items[1].Find("Name")->values[0].text, "hv2");  // any order

    const std::string output =
        "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\"><s:Body>"
        "<p:GetSummaryInformation_OUTPUT xmlns:p=\"http://schemas.microsoft.com/wbem/wsman/1/wmi/"
        "root/virtualization/v2/Msvm_VirtualSystemManagementService\" "
        "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">"
        "<p:SummaryInformation xsi:type=\"q:Msvm_SummaryInformation_Type\" xmlns:q=\"http://"
        "schemas.microsoft.com/wbem/wsman/1/wmi/root/virtualization/v2/Msvm_SummaryInformation\">"
        "<q:Name>A</q:Name><q:ThumbnailImage>1</q:ThumbnailImage><q:ThumbnailImage>2"
        "</q:ThumbnailImage></p:SummaryInformation>"
        "<p:SummaryInformation xsi:type=\"q:Msvm_SummaryInformation_Type\" xmlns:q=\"http://"
        "schemas.microsoft.com/wbem/wsman/1/wmi/root/virtualization/v2/Msvm_SummaryInformation\">"
        "<q:Name>B</q:Name></p:SummaryInformation>"
        "<p:ReturnValue>0</p:ReturnValue></p:GetSummaryInformation_OUTPUT></s:Body></s:Envelope>";
    ASSERT_EQ(ReadXml(output, root), XmlReadError::None);
    ASSERT_EQ(ReadEnvelope(root, body, fault), ReplyKind::Ok);
    Instance out;
    ASSERT_TRUE(ReadSingleInstance(*body, out, nullptr));
    const Property* summary = out.Find("SummaryInformation");
    ASSERT_NE(summary, nullptr);
    ASSERT_EQ(summary->values.size(), 2u);
    ASSERT_EQ(summary->values[0].kind, WireValue::Kind::Instance);
    EXPECT_EQ(summary->values[0].instance->className, "Msvm_SummaryInformation");
    EXPECT_EQ(summary->values[0].instance->Find("ThumbnailImage")->values.size(), 2u);
    EXPECT_EQ(summary->values[1].instance->Find("Name")->values[0].text, "B");
}

TEST(WsmanXml, EmbeddedInstanceParameterRoundTripsThroughTheElementForm) {
    auto settings = std::make_shared<Instance>();
    settings->className = "Msvm_VirtualSystemSettingData";
    settings->resourceUri =
        WmiResourceUri("root\\virtualization\\v2", "Msvm_VirtualSystemSettingData");
    settings->properties = {
        Property{"ElementName", false, {WireValue{WireValue::Kind::Text, "a <b> & \"c\"", {}, {}}}},
        Property{"Notes", true, {}}};
    Property p{"SystemSettings", false, {}};
    p.values.push_back(WireValue{WireValue::Kind::Instance, {}, {}, settings});
    RequestHeader h;
    h.to = "https://hv1:5986/wsman";
    h.resourceUri =
        WmiResourceUri("root\\virtualization\\v2", "Msvm_VirtualSystemManagementService");
    const std::string request = BuildInvoke(h, "ModifySystemSettings", {p});
    XmlElement root;
    ASSERT_EQ(ReadXml(request, root), XmlReadError::None);
    const XmlElement* body = nullptr;
    Fault fault;
    ASSERT_EQ(ReadEnvelope(root, body, fault), ReplyKind::Ok);
    Instance in;
    ASSERT_TRUE(ReadSingleInstance(*body, in, nullptr));
    EXPECT_EQ(in.className, "ModifySystemSettings_INPUT");
    const Property* back = in.Find("SystemSettings");
    ASSERT_NE(back, nullptr);
    ASSERT_EQ(back->values[0].kind, WireValue::Kind::Instance);
    EXPECT_EQ(back->values[0].instance->className, "Msvm_VirtualSystemSettingData");
    EXPECT_EQ(back->values[0].instance->resourceUri, settings->resourceUri);
    EXPECT_EQ(back->values[0].instance->Find("ElementName")->values[0].text, "a <b> & \"c\"");
    EXPECT_TRUE(back->values[0].instance->Find("Notes")->nil);

    // A host's embedded instance whose class cannot be told (no type, a namespace with no last
    // segment) goes back out without a class, never as one named "_Type".
    auto unknown = std::make_shared<Instance>();
    unknown->resourceUri = "urn:x/";
    unknown->properties = {
        Property{"Name", false, {WireValue{WireValue::Kind::Text, "4D3A", {}, {}}}}};
    Property q{"Item", false, {}};
    q.values.push_back(WireValue{WireValue::Kind::Instance, {}, {}, unknown});
    ASSERT_EQ(ReadXml(BuildInvoke(h, "ModifySystemSettings", {q}), root), XmlReadError::None);
    ASSERT_EQ(ReadEnvelope(root, body, fault), ReplyKind::Ok);
    ASSERT_TRUE(ReadSingleInstance(*body, in, nullptr));
    const Property* item = in.Find("Item");
    ASSERT_NE(item, nullptr);
    ASSERT_EQ(item->values.size(), 1u);
    ASSERT_EQ(item->values[0].kind, WireValue::Kind::Instance);
    EXPECT_EQ(item->values[0].instance->className, "");
    EXPECT_EQ(item->values[0].instance->resourceUri, "urn:x/");
    EXPECT_EQ(item->values[0].instance->Find("Name")->values[0].text, "4D3A");
}

TEST(WsmanTarget, BareNamesAndFullUrls) {
    WsmanTarget t;
    std::string error;
    ASSERT_TRUE(ParseWsmanHost("hv1", t, error)) << error;
    EXPECT_EQ(t.url, "https://hv1:5986/wsman");
    EXPECT_EQ(t.auth, WsmanAuth::Ntlm);
    EXPECT_EQ(t.tls, WsmanTls::Verify);
    EXPECT_EQ(t.embedding, WsmanEmbedding::Dsp0230);
    EXPECT_EQ(t.maxEnvelopeSize, 512000u);

    ASSERT_TRUE(ParseWsmanHost("hv1?envelope=2048", t, error)) << error;
    EXPECT_EQ(t.maxEnvelopeSize, 2048u * 1024);
    ASSERT_TRUE(ParseWsmanHost("hv1?envelope=32&auth=basic", t, error)) << error;
    EXPECT_EQ(t.maxEnvelopeSize, 32u * 1024);

    ASSERT_TRUE(ParseWsmanHost("hv1.corp.example?auth=negotiate&tls=insecure", t, error)) << error;
    EXPECT_EQ(t.url, "https://hv1.corp.example:5986/wsman");
    EXPECT_EQ(t.auth, WsmanAuth::Negotiate);
    EXPECT_EQ(t.tls, WsmanTls::Insecure);

    ASSERT_TRUE(ParseWsmanHost("https://hv2:443", t, error)) << error;
    EXPECT_EQ(t.url, "https://hv2:443/wsman");
    ASSERT_TRUE(ParseWsmanHost("HTTPS://hv2/custom/path?embed=cimxml&auth=basic", t, error))
        << error;
    EXPECT_EQ(t.url, "https://hv2:5986/custom/path");
    EXPECT_EQ(t.embedding, WsmanEmbedding::CimXml);
    EXPECT_EQ(t.auth, WsmanAuth::Basic);
    ASSERT_TRUE(ParseWsmanHost("https://[fe80::1]:5999/wsman", t, error)) << error;
    EXPECT_EQ(t.hostName, "fe80::1");
    EXPECT_EQ(t.url, "https://[fe80::1]:5999/wsman");

    const std::string pin(64, 'a');
    std::string colons;
    for (int i = 0; i < 32; ++i) colons += (i ? ":" : "") + std::string("AA");
    ASSERT_TRUE(ParseWsmanHost("hv1?tls=sha256:" + colons, t, error)) << error;
    EXPECT_EQ(t.tls, WsmanTls::Pinned);
    EXPECT_EQ(t.pinSha256, pin);
}

TEST(WsmanTarget, RefusesWhatIsNotAHostText) {
    const std::vector<std::string> bad = {
        "",
        "http://hv1/wsman",  // plain HTTP is not offered
        "ftp://hv1",
        "https://user:pw@hv1/wsman",
        "hv1:5986",  // a port needs the full URL
        "https://hv1:0/wsman",
        "https://hv1:70000/wsman",
        "https://hv1:/wsman",
        "hv 1",
        "hv1\r\nHost: evil",
        "https://hv1/ws man",
        "https://hv1/wsman#frag",
        "https://hv1/%2e%2e/",
        "hv1?auth=kerberos",
        "hv1?auth=ntlm&auth=basic",
        "hv1?tls=sha256:abcd",
        "hv1?tls=sha256:" + std::string(65, 'a'),
        "hv1?tls=sha256:" + std::string(63, 'a') + "g",
        "hv1?verbose=1",
        "hv1?envelope=",
        "hv1?envelope=31",
        "hv1?envelope=16385",
        "hv1?envelope=-1",
        "hv1?envelope=1e3",
        "hv1?envelope=99999999999999999999",
        "hv1?envelope=512&envelope=512",
        "https://[::1/wsman",
        "https://[zz]/wsman",
        "sim://hv1",
        std::string(3000, 'a'),
    };
    for (const auto& text : bad) {
        WsmanTarget t;
        std::string error;
        EXPECT_FALSE(ParseWsmanHost(text, t, error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
}

}  // namespace
}  // namespace hbr::wsman
