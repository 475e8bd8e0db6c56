// Values between the WS-Management wire form and the typed values the hypervisor layer reads:
// date-times and intervals, endpoint references and path text, instances typed through the
// class catalogue, and method parameters going out.
#include "hyperv/providers/wsman/wsman_values.h"

#include <gtest/gtest.h>

#include "hyperv/wmi/class_catalogue.h"
#include "hyperv/wmi/wmi_cimxml.h"
#include "support/wsman_samples.h"

namespace hbr::wsman {
namespace {

EnumerationPage Page(const std::string& text) {
    XmlElement root;
    EXPECT_EQ(ReadXml(text, root), XmlReadError::None);
    const XmlElement* body = nullptr;
    Fault fault;
    EXPECT_EQ(ReadEnvelope(root, body, fault), ReplyKind::Ok);
    EnumerationPage page;
    if (body) {
        EXPECT_TRUE(ReadEnumerationPage(*body, page, nullptr));
    }
    return page;
}

WmiValue Get(const WmiObject& o, const std::string& name) {
    WmiValue v;
    EXPECT_TRUE(Succeeded(o.Get(name, v))) << name;
    return v;
}

TEST(WsmanValues, DateTimesBetweenXmlSchemaAndDmtf) {
    std::string dmtf;
    ASSERT_TRUE(DmtfFromXsDateTime("2013-04-15T16:28:39.5Z", dmtf));
    EXPECT_EQ(dmtf, "20130415162839.500000+000");
    ASSERT_TRUE(DmtfFromXsDateTime("2013-04-29T11:43:11.203125-07:00", dmtf));
    EXPECT_EQ(dmtf, "20130429114311.203125-420");
    ASSERT_TRUE(DmtfFromXsDateTime("2013-03-09T03:06:25Z", dmtf));
    EXPECT_EQ(dmtf, "20130309030625.000000+000");
    ASSERT_TRUE(DmtfFromXsDateTime("2024-02-29T23:59:59.1234567+05:30", dmtf));
    EXPECT_EQ(dmtf, "20240229235959.123456+330");
    for (const char* bad :
         {"2013-04-15", "", "garbage", "2013-13-01T00:00:00Z", "2013-04-15T16:28:39+25:00",
          "2013-04-15T16:28:39.Z", "2013-04-15T16:28:39Zjunk", "99999-04-15T16:28:39Z"})
        EXPECT_FALSE(DmtfFromXsDateTime(bad, dmtf)) << bad;

    std::string xs;
    ASSERT_TRUE(XsDateTimeFromDmtf("20130429114311.203125-420", xs));
    EXPECT_EQ(xs, "2013-04-29T11:43:11.203125-07:00");
    ASSERT_TRUE(XsDateTimeFromDmtf("20130415162839.500000+000", xs));
    EXPECT_EQ(xs, "2013-04-15T16:28:39.500000Z");
    ASSERT_TRUE(DmtfFromXsDateTime(xs, dmtf));
    EXPECT_EQ(dmtf, "20130415162839.500000+000");
    EXPECT_FALSE(XsDateTimeFromDmtf("2013****162839.500000+000", xs));
    EXPECT_FALSE(XsDateTimeFromDmtf("00000001020304.500000:000", xs));
    EXPECT_FALSE(XsDateTimeFromDmtf("short", xs));

    // Zones reach 14:00 either way and no further: beyond it the DMTF form could not go back.
    ASSERT_TRUE(DmtfFromXsDateTime("2013-04-15T16:28:39-14:00", dmtf));
    EXPECT_EQ(dmtf, "20130415162839.000000-840");
    ASSERT_TRUE(XsDateTimeFromDmtf(dmtf, xs));
    EXPECT_EQ(xs, "2013-04-15T16:28:39.000000-14:00");
    EXPECT_FALSE(DmtfFromXsDateTime("2013-04-15T16:28:39+14:30", dmtf));
    EXPECT_FALSE(DmtfFromXsDateTime("2013-04-15T16:28:39-14:59", dmtf));
}

TEST(WsmanValues, IntervalsBetweenDurationAndDmtf) {
    std::string dmtf, xs;
    ASSERT_TRUE(DmtfIntervalFromXsDuration("P1DT2H3M4.5S", dmtf));
    EXPECT_EQ(dmtf, "00000001020304.500000:000");
    ASSERT_TRUE(DmtfIntervalFromXsDuration("PT36H", dmtf));
    EXPECT_EQ(dmtf, "00000001120000.000000:000");
    ASSERT_TRUE(XsDurationFromDmtfInterval("00000001020304.500000:000", xs));
    EXPECT_EQ(xs, "P1DT2H3M4.500000S");
    for (const char* bad : {"P1Y", "P2M", "P", "PT", "1D", "P1DT", "PT1.5H", "P-1D"})
        EXPECT_FALSE(DmtfIntervalFromXsDuration(bad, dmtf)) << bad;
}

TEST(WsmanValues, EndpointReferencesAndPathTextBothWays) {
    const EnumerationPage page = Page(WsmanSample("28"));
    ASSERT_EQ(page.items.size(), 1u);
    const Property* group = page.items[0].Find("GroupComponent");
    const Property* part = page.items[0].Find("PartComponent");
    ASSERT_TRUE(group && part);
    std::string path;
    ASSERT_TRUE(PathFromEpr(group->values[0].reference, "HV1", path));
    EXPECT_EQ(path,
              "\\\\HV1\\root\\virtualization:Msvm_AllocationCapabilities.InstanceID="
              "\"Microsoft:06FF76FA-2D58-4BAF-9F8D-455773824F37\"");
    ASSERT_TRUE(PathFromEpr(part->values[0].reference, "HV1", path));
    EXPECT_EQ(path,
              "\\\\HV1\\root\\virtualization:Msvm_Synthetic3DDisplayControllerSettingData."
              "InstanceID=\"Microsoft:Definition\\\\06FF76FA-2D58-4BAF-9F8D-455773824F37\\\\"
              "Default\"");
    Epr back;
    ASSERT_EQ(EprFromPath(path, "root\\cimv2", back), kSOk);
    EXPECT_EQ(back.resourceUri, part->values[0].reference.resourceUri);
    EXPECT_EQ(back.selectors, part->values[0].reference.selectors);

    // Keys the catalogue knows as numbers stay unquoted; a singleton has no selectors.
    Epr job;
    job.resourceUri = WmiResourceUri("root\\virtualization\\v2", "Msvm_ConcreteJob");
    job.selectors = {{"InstanceID", "A\"B"}};
    ASSERT_TRUE(PathFromEpr(job, "HV1", path));
    EXPECT_EQ(path, "\\\\HV1\\root\\virtualization\\v2:Msvm_ConcreteJob.InstanceID=\"A\\\"B\"");
    ASSERT_EQ(EprFromPath(path, "", back), kSOk);
    EXPECT_EQ(back.selectors[0].second, "A\"B");
    ASSERT_EQ(EprFromPath("Win32_OperatingSystem=@", "root\\cimv2", back), kSOk);
    EXPECT_EQ(back.resourceUri,
              "http://schemas.microsoft.com/wbem/wsman/1/wmi/root/cimv2/Win32_OperatingSystem");
    EXPECT_TRUE(back.selectors.empty());
    EXPECT_TRUE(Failed(EprFromPath("not a path {", "root\\cimv2", back)));
    Epr foreign;
    foreign.resourceUri = "http://example.com/other";
    EXPECT_FALSE(PathFromEpr(foreign, "HV1", path));
}

// A host's reference is read as path text and parsed again later: whatever it holds must come
// back as the same class, namespace and keys, never as others.
TEST(WsmanValues, HostileReferencesCannotBecomeOtherKeys) {
    std::string path;
    Epr epr;
    epr.resourceUri = WmiResourceUri("root\\virtualization\\v2", "Msvm_ConcreteJob");
    for (const char* name : {".nstanceID", "Instance ID", "A=\"1\",B", "", "1Name", "Na\\me"}) {
        epr.selectors = {{name, "x"}};
        EXPECT_FALSE(PathFromEpr(epr, "HV1", path)) << name;
    }
    for (const char* ns : {"root/cimv2:Win32_X", "root//v2", "root/\"x\"", ""}) {
        epr.selectors = {{"__cimnamespace", ns}, {"InstanceID", "x"}};
        EXPECT_FALSE(PathFromEpr(epr, "HV1", path)) << ns;
    }
    // The namespace and class of the resource URI itself are held to the same names: a ':' in
    // the last namespace part would be read back as the end of the namespace, a '.' in the
    // class as the start of the keys.
    const std::string base = "http://schemas.microsoft.com/wbem/wsman/1/wmi/";
    for (const char* uri : {"root/virtualization/x/05:Msvm_Other", "root/virt:Msvm_Other/Msvm_X",
                            "root/www.example/Msvm_X", "root//Msvm_X", "root/v2/Msvm_X.Id=\"1\""}) {
        Epr bad;
        bad.resourceUri = base + uri;
        bad.selectors = {{"InstanceID", "x"}};
        EXPECT_FALSE(PathFromEpr(bad, "HV1", path)) << uri;
    }
    // A numeric property with text that is no number is quoted, so it stays one key.
    epr.selectors = {{"JobState", "7,InstanceID=\"other\""}};
    ASSERT_TRUE(PathFromEpr(epr, "HV1", path));
    Epr back;
    ASSERT_EQ(EprFromPath(path, "", back), kSOk);
    EXPECT_EQ(back.selectors, epr.selectors);
    epr.selectors = {{"JobState", "7"}};
    ASSERT_TRUE(PathFromEpr(epr, "HV1", path));
    EXPECT_EQ(path, "\\\\HV1\\root\\virtualization\\v2:Msvm_ConcreteJob.JobState=7");
}

TEST(WsmanValues, InstancesAreTypedByTheCatalogue) {
    const InstanceContext context{"HV1", "root\\cimv2"};
    const EnumerationPage disks = Page(WsmanSample("02"));
    ASSERT_EQ(disks.items.size(), 1u);
    const WmiObjectPtr disk = ObjectFromInstance(disks.items[0], "", {}, context);
    EXPECT_EQ(disk->ClassName(), "Win32_LogicalDisk");
    EXPECT_EQ(Get(*disk, "Size").Type(), VT_BSTR);  // uint64 as text
    EXPECT_EQ(*Get(*disk, "Size").AsBstr(), "32210153472");
    EXPECT_EQ(Get(*disk, "DriveType").Type(), VT_I4);  // uint32 as WMI delivers it
    EXPECT_EQ(Get(*disk, "DriveType").AsInt32(), 3);
    EXPECT_EQ(*Get(*disk, "VolumeName").AsBstr(), "");
    EXPECT_EQ(Get(*disk, "Status").Type(), VT_NULL);
    EXPECT_EQ(*Get(*disk, "__PATH").AsBstr(),
              "\\\\HV1\\root\\cimv2:Win32_LogicalDisk.DeviceID=\"C:\"");
    WmiValue absent;
    EXPECT_EQ(disk->Get("QuotasDisabled", absent), kWbemENotFound);  // not in the catalogue

    const EnumerationPage os = Page(WsmanSample("01"));
    const WmiObjectPtr system = ObjectFromInstance(os.items[0], "", {}, context);
    EXPECT_EQ(*Get(*system, "LastBootUpTime").AsBstr(), "20130415162839.500000+000");
    EXPECT_EQ(Get(*system, "NumberOfProcesses").AsInt32(), 42);
    EXPECT_EQ(Get(*system, "CurrentTimeZone").AsInt32(), 0);
    EXPECT_EQ(*Get(*system, "FreePhysicalMemory").AsBstr(), "184040");
    EXPECT_EQ(*Get(*system, "CSName").AsBstr(), "AMAZONA-Q2R281F");

    // A column-list item names no class: the query's class and columns type it.
    Instance fragment;
    fragment.properties = {
        Property{"FreeSpace", false, {WireValue{WireValue::Kind::Text, " 42 ", {}, {}}}},
        Property{"DeviceID", false, {WireValue{WireValue::Kind::Text, "E:", {}, {}}}}};
    const WmiObjectPtr projected =
        ObjectFromInstance(fragment, "Win32_LogicalDisk", {"DeviceID", "FreeSpace"}, context);
    EXPECT_EQ(projected->ClassName(), "Win32_LogicalDisk");
    EXPECT_EQ(*Get(*projected, "FreeSpace").AsBstr(), "42");
    EXPECT_EQ(projected->Get("Size", absent), kWbemENotFound);

    // A number that is not one stays null rather than failing the object.
    Instance odd;
    odd.className = "Win32_LogicalDisk";
    odd.properties = {
        Property{"DriveType", false, {WireValue{WireValue::Kind::Text, "three", {}, {}}}},
        Property{"DeviceID", false, {WireValue{WireValue::Kind::Text, "F:", {}, {}}}}};
    const WmiObjectPtr tolerant = ObjectFromInstance(odd, "", {}, context);
    EXPECT_TRUE(Get(*tolerant, "DriveType").IsEmptyOrNull());
    EXPECT_EQ(*Get(*tolerant, "DeviceID").AsBstr(), "F:");
}

TEST(WsmanValues, MethodOutputWithEmbeddedInstancesAndReferences) {
    const CimClass* vsms = FindClass("Msvm_VirtualSystemManagementService");
    ASSERT_NE(vsms, nullptr);
    const WmiClassDefPtr def = vsms->MakeDefinition("HV1");
    const WmiMethodDef* method = def->FindMethod("GetSummaryInformation");
    ASSERT_TRUE(method && method->out);

    auto summary = std::make_shared<Instance>();
    summary->className = "Msvm_SummaryInformation";
    summary->resourceUri = WmiResourceUri("root\\virtualization\\v2", "Msvm_SummaryInformation");
    summary->properties = {
        Property{
            "Name",
            false,
            {WireValue{WireValue::Kind::Text, "6A1D2C4E-0000-4000-8000-000000000001", {}, {}}}},
        Property{"ThumbnailImage",
                 false,
                 {WireValue{WireValue::Kind::Text, "1", {}, {}},
                  WireValue{WireValue::Kind::Text, "255", {}, {}}}}};
    Instance output;
    output.className = "GetSummaryInformation_OUTPUT";
    output.properties = {
        Property{"ReturnValue", false, {WireValue{WireValue::Kind::Text, "0", {}, {}}}},
        Property{
            "SummaryInformation", false, {WireValue{WireValue::Kind::Instance, {}, {}, summary}}}};
    const WmiObjectPtr out =
        OutputFromInstance(output, method->out, vsms->FindMethod("GetSummaryInformation")->out,
                           InstanceContext{"HV1", "root\\virtualization\\v2"});
    EXPECT_EQ(Get(*out, "ReturnValue").AsInt32(), 0);
    const WmiValue list = Get(*out, "SummaryInformation");
    ASSERT_NE(list.AsObjectArray(), nullptr);
    ASSERT_EQ(list.AsObjectArray()->size(), 1u);
    const WmiObjectPtr first = list.AsObjectArray()->front();
    EXPECT_EQ(first->ClassName(), "Msvm_SummaryInformation");
    const WmiValue image = Get(*first, "ThumbnailImage");
    ASSERT_NE(image.AsUI1Array(), nullptr);
    EXPECT_EQ(*image.AsUI1Array(), (std::vector<std::uint8_t>{1, 255}));
}

TEST(WsmanValues, ParametersGoOutAsReferencesTextsAndEmbeddedInstances) {
    const CimClass* vsms = FindClass("Msvm_VirtualSystemManagementService");
    const WmiClassDefPtr def = vsms->MakeDefinition("HV1");
    WmiObjectPtr in;
    ASSERT_EQ(WmiObject::MakeClass(def)->GetMethod("GetSummaryInformation", in), kSOk);
    WmiObjectPtr params;
    ASSERT_EQ(in->SpawnInstance(params), kSOk);
    const std::string settings =
        "\\\\HV1\\root\\virtualization\\v2:Msvm_VirtualSystemSettingData.InstanceID="
        "\"Microsoft:6A1D2C4E-0000-4000-8000-000000000001\"";
    ASSERT_EQ(params->Put("SettingData", WmiValue::BstrArray({settings})), kSOk);
    ASSERT_EQ(params->Put("RequestedInformation", WmiValue::I4Array({0, 5, 106})), kSOk);
    std::vector<Property> out;
    const auto& types = vsms->FindMethod("GetSummaryInformation")->in;
    ASSERT_EQ(ParametersFromObject(*params, types, false, "root\\virtualization\\v2", out), kSOk);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].name, "SettingData");
    ASSERT_EQ(out[0].values[0].kind, WireValue::Kind::Reference);
    EXPECT_EQ(out[0].values[0].reference.resourceUri,
              "http://schemas.microsoft.com/wbem/wsman/1/wmi/root/virtualization/v2/"
              "Msvm_VirtualSystemSettingData");
    EXPECT_EQ(out[0].values[0].reference.selectors[0].second,
              "Microsoft:6A1D2C4E-0000-4000-8000-000000000001");
    ASSERT_EQ(out[1].values.size(), 3u);
    EXPECT_EQ(out[1].values[1].text, "5");

    // A null parameter is not sent; a path that is not one is refused before anything is sent.
    ASSERT_EQ(params->Put("SettingData", WmiValue::Null()), kSOk);
    ASSERT_EQ(ParametersFromObject(*params, types, false, "root\\virtualization\\v2", out), kSOk);
    ASSERT_EQ(out.size(), 1u);
    ASSERT_EQ(params->Put("SettingData", WmiValue::BstrArray({"{not a path"})), kSOk);
    EXPECT_EQ(ParametersFromObject(*params, types, false, "root\\virtualization\\v2", out),
              kWbemEInvalidParameter);

    // The settings object as CIM-XML text: the element form, or the text itself on request.
    const CimClass* vssd = FindClass("Msvm_VirtualSystemSettingData");
    WmiObjectPtr object = WmiObject::MakeInstance(vssd->MakeDefinition("HV1"));
    ASSERT_EQ(object->Put("ElementName", WmiValue::Bstr("before <update> & \"after\"")), kSOk);
    ASSERT_EQ(object->Put("InstanceID", WmiValue::Bstr("Microsoft:X")), kSOk);
    std::string text;
    ASSERT_EQ(object->GetObjectText(text), kSOk);
    WmiObjectPtr modifyIn;
    ASSERT_EQ(WmiObject::MakeClass(def)->GetMethod("ModifySystemSettings", modifyIn), kSOk);
    WmiObjectPtr modify;
    ASSERT_EQ(modifyIn->SpawnInstance(modify), kSOk);
    ASSERT_EQ(modify->Put("SystemSettings", WmiValue::Bstr(text)), kSOk);
    const auto& modifyTypes = vsms->FindMethod("ModifySystemSettings")->in;
    ASSERT_EQ(ParametersFromObject(*modify, modifyTypes, false, "root\\virtualization\\v2", out),
              kSOk);
    ASSERT_EQ(out.size(), 1u);
    ASSERT_EQ(out[0].values[0].kind, WireValue::Kind::Instance);
    const Instance& embedded = *out[0].values[0].instance;
    EXPECT_EQ(embedded.className, "Msvm_VirtualSystemSettingData");
    EXPECT_EQ(embedded.resourceUri,
              "http://schemas.microsoft.com/wbem/wsman/1/wmi/root/virtualization/v2/"
              "Msvm_VirtualSystemSettingData");
    ASSERT_NE(embedded.Find("ElementName"), nullptr);
    EXPECT_EQ(embedded.Find("ElementName")->values[0].text, "before <update> & \"after\"");
    EXPECT_EQ(embedded.Find("__PATH"), nullptr);  // system properties stay behind
    ASSERT_EQ(ParametersFromObject(*modify, modifyTypes, true, "root\\virtualization\\v2", out),
              kSOk);
    ASSERT_EQ(out[0].values[0].kind, WireValue::Kind::Text);
    EXPECT_EQ(out[0].values[0].text, text);
    ASSERT_EQ(modify->Put("SystemSettings", WmiValue::Bstr("<INSTANCE CLASSNAME=")), kSOk);
    EXPECT_EQ(ParametersFromObject(*modify, modifyTypes, false, "root\\virtualization\\v2", out),
              kWbemEInvalidParameter);
}

}  // namespace
}  // namespace hbr::wsman
