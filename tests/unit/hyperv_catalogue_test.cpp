// The class catalogue: what the providers build their classes from and what typed text values.
#include <gtest/gtest.h>

#include "hyperv/provider_factory.h"
#include "hyperv/wmi/class_catalogue.h"

namespace hbr {
namespace {

TEST(ClassCatalogue, KeysTypesAndLookupIgnoringCase) {
    const CimClass* vm = FindClass("msvm_computersystem");
    ASSERT_NE(vm, nullptr);
    EXPECT_EQ(vm->Name(), "Msvm_ComputerSystem");
    EXPECT_EQ(vm->NameSpace(), "root\\virtualization\\v2");
    EXPECT_EQ(vm->KeyProperties(), (std::vector<std::string>{"Name", "CreationClassName"}));
    EXPECT_TRUE(vm->IsA("CIM_ManagedElement"));
    EXPECT_FALSE(vm->IsA("CIM_Service"));
    ASSERT_NE(vm->FindProperty("TimeOfLastStateChange"), nullptr);
    EXPECT_EQ(vm->FindProperty("timeoflaststatechange")->type, CIM_DATETIME);
    EXPECT_EQ(vm->FindProperty("OnTimeInMilliseconds")->type, CIM_UINT64);
    EXPECT_EQ(vm->FindProperty("Nope"), nullptr);
    EXPECT_EQ(FindClass("Msvm_Nothing"), nullptr);

    // Services are keyed by four properties; settings and jobs by InstanceID; summaries by none.
    EXPECT_EQ(FindClass("Msvm_VirtualSystemManagementService")->KeyProperties().size(), 4u);
    EXPECT_EQ(FindClass("Msvm_ConcreteJob")->KeyProperties(),
              std::vector<std::string>{"InstanceID"});
    EXPECT_TRUE(FindClass("Msvm_SummaryInformation")->KeyProperties().empty());
    EXPECT_EQ(FindClass("Win32_OperatingSystem")->NameSpace(), "root\\cimv2");

    // Embedded instances and references name their class.
    const CimProperty* items =
        FindClass("Msvm_KvpExchangeComponent")->FindProperty("GuestIntrinsicExchangeItems");
    ASSERT_NE(items, nullptr);
    EXPECT_TRUE(items->IsArray());
    EXPECT_TRUE(items->IsEmbeddedInstance());
    EXPECT_EQ(items->className, "Msvm_KvpExchangeDataItem");
    EXPECT_FALSE(vm->FindProperty("Name")->IsEmbeddedInstance());

    // Every class has a unique name and every key is a scalar.
    for (const auto& c : CatalogueClasses()) {
        EXPECT_EQ(FindClass(c.Name()), &c) << c.Name();
        for (const auto& p : c.Properties())
            EXPECT_FALSE(p.key && p.IsArray()) << c.Name() << "." << p.name;
    }
}

TEST(ClassCatalogue, MethodSignatures) {
    const CimMethod* create =
        FindClass("Msvm_VirtualSystemSnapshotService")->FindMethod("createsnapshot");
    ASSERT_NE(create, nullptr);
    ASSERT_EQ(create->in.size(), 3u);
    EXPECT_EQ(create->in[0].name, "AffectedSystem");
    EXPECT_EQ(create->in[0].type, CIM_REFERENCE);
    EXPECT_EQ(create->in[0].className, "CIM_ComputerSystem");
    EXPECT_TRUE(create->FindIn("SnapshotSettings")->IsEmbeddedInstance());
    EXPECT_EQ(create->FindIn("SnapshotType")->type, CIM_UINT16);
    ASSERT_EQ(create->out.size(), 3u);
    EXPECT_EQ(create->out[0].name, "ReturnValue");
    EXPECT_EQ(create->out[0].type, CIM_UINT32);
    EXPECT_EQ(create->FindOut("Job")->className, "CIM_ConcreteJob");
    EXPECT_EQ(create->FindOut("ResultingSnapshot")->type, CIM_REFERENCE);

    const CimMethod* summary =
        FindClass("Msvm_VirtualSystemManagementService")->FindMethod("GetSummaryInformation");
    ASSERT_NE(summary, nullptr);
    EXPECT_EQ(summary->FindIn("RequestedInformation")->type, CIM_UINT32 | CIM_FLAG_ARRAY);
    EXPECT_EQ(summary->FindOut("SummaryInformation")->type, CIM_OBJECT | CIM_FLAG_ARRAY);

    // A guest shutdown answers at once: no job among its out-parameters.
    const CimMethod* shutdown = FindClass("Msvm_ShutdownComponent")->FindMethod("InitiateShutdown");
    ASSERT_NE(shutdown, nullptr);
    EXPECT_EQ(shutdown->FindIn("Force")->type, CIM_BOOLEAN);
    EXPECT_EQ(shutdown->FindOut("Job"), nullptr);
    EXPECT_EQ(shutdown->out.size(), 1u);
    EXPECT_EQ(FindClass("Msvm_ComputerSystem")->FindMethod("Explode"), nullptr);
}

TEST(ClassCatalogue, DefinitionsCarryTypesKeysAndSignatures) {
    const CimClass* job = FindClass("Msvm_ConcreteJob");
    auto def = job->MakeDefinition("HV1");
    EXPECT_EQ(def->Server(), "HV1");
    EXPECT_EQ(def->NameSpace(), "root\\virtualization\\v2");
    EXPECT_EQ(def->Properties().size(), job->Properties().size());
    auto o = WmiObject::MakeInstance(def);
    ASSERT_EQ(o->Put("InstanceID", WmiValue::Bstr("j1")), kSOk);
    EXPECT_EQ(o->Path(), "\\\\HV1\\root\\virtualization\\v2:Msvm_ConcreteJob.InstanceID=\"j1\"");
    // The catalogue type decides the coercion: JobState is uint16.
    EXPECT_EQ(o->Put("JobState", WmiValue::I4(70000)), kWbemETypeMismatch);

    auto vm = FindClass("Msvm_ComputerSystem")->MakeDefinition("HV1");
    auto cls = WmiObject::MakeClass(vm);
    WmiObjectPtr in, out;
    ASSERT_EQ(cls->GetMethod("RequestStateChange", in, &out), kSOk);
    WmiObjectPtr params;
    ASSERT_EQ(in->SpawnInstance(params), kSOk);
    EXPECT_EQ(params->Put("RequestedState", WmiValue::I4(2)), kSOk);
    EXPECT_EQ(out->GetNames(), (std::vector<std::string>{"ReturnValue", "Job"}));

    // A projection keeps the named properties in catalogue order, with another namespace.
    auto os = FindClass("Win32_OperatingSystem")
                  ->MakeDefinition("HOST", "ROOT\\CIMV2", {"Version", "Name", "NotThere"});
    EXPECT_EQ(os->NameSpace(), "ROOT\\CIMV2");
    ASSERT_EQ(os->Properties().size(), 2u);
    EXPECT_EQ(os->Properties()[0].name, "Name");
    EXPECT_TRUE(os->Properties()[0].key);
    EXPECT_TRUE(os->HasAllKeys());
}

TEST(ClassCatalogue, VariantKinds) {
    EXPECT_EQ(VariantKindOf(CIM_UINT16), VT_I4);
    EXPECT_EQ(VariantKindOf(CIM_UINT32), VT_I4);
    EXPECT_EQ(VariantKindOf(CIM_SINT16), VT_I4);
    EXPECT_EQ(VariantKindOf(CIM_UINT8), VT_UI1);
    EXPECT_EQ(VariantKindOf(CIM_UINT64), VT_BSTR);
    EXPECT_EQ(VariantKindOf(CIM_DATETIME), VT_BSTR);
    EXPECT_EQ(VariantKindOf(CIM_REFERENCE), VT_BSTR);
    EXPECT_EQ(VariantKindOf(CIM_BOOLEAN), VT_BOOL);
    EXPECT_EQ(VariantKindOf(CIM_OBJECT), VT_UNKNOWN);
    EXPECT_EQ(VariantKindOf(static_cast<CimType>(CIM_UINT8 | CIM_FLAG_ARRAY)), VT_ARRAY | VT_UI1);
    EXPECT_EQ(VariantKindOf(static_cast<CimType>(CIM_UINT16 | CIM_FLAG_ARRAY)), VT_ARRAY | VT_I4);
    EXPECT_EQ(VariantKindOf(static_cast<CimType>(CIM_STRING | CIM_FLAG_ARRAY)), VT_ARRAY | VT_BSTR);
}

// Text as a WS-Management host sends it becomes the value WMI would have delivered, typed by
// the catalogue; text that does not fit is refused.
TEST(ClassCatalogue, ValuesFromText) {
    auto typed = [](const char* cls, const char* prop, std::string_view text, WmiValue& out) {
        return ValueFromText(FindClass(cls)->FindProperty(prop)->type, text, out);
    };
    WmiValue v;
    ASSERT_EQ(typed("Msvm_ComputerSystem", "EnabledState", "2", v), kSOk);
    EXPECT_EQ(v.Type(), VT_I4);
    EXPECT_EQ(v.AsInt32(), 2);
    EXPECT_EQ(typed("Msvm_ComputerSystem", "EnabledState", "65536", v), kWbemETypeMismatch);
    EXPECT_EQ(typed("Msvm_ComputerSystem", "EnabledState", "", v), kWbemETypeMismatch);
    EXPECT_EQ(typed("Msvm_ComputerSystem", "EnabledState", "two", v), kWbemETypeMismatch);
    ASSERT_EQ(typed("Msvm_ComputerSystem", "OnTimeInMilliseconds", "18446744073709551615", v),
              kSOk);
    EXPECT_EQ(*v.AsBstr(), "18446744073709551615");
    EXPECT_EQ(typed("Msvm_ComputerSystem", "OnTimeInMilliseconds", "-1", v), kWbemETypeMismatch);
    ASSERT_EQ(typed("Msvm_ComputerSystem", "TimeOfLastStateChange", "20240101120000.000000+000", v),
              kSOk);
    EXPECT_EQ(v.Type(), VT_BSTR);
    ASSERT_EQ(typed("Msvm_VirtualSystemSettingData", "IsSaved", "true", v), kSOk);
    EXPECT_EQ(v.Type(), VT_BOOL);
    EXPECT_TRUE(v.AsBool());
    ASSERT_EQ(typed("Msvm_VirtualSystemSettingData", "IsSaved", "0", v), kSOk);
    EXPECT_FALSE(v.AsBool());
    EXPECT_EQ(typed("Msvm_VirtualSystemSettingData", "IsSaved", "yes", v), kWbemETypeMismatch);
    // A uint32 above 2^31 arrives as the negative VT_I4 WMI gives.
    ASSERT_EQ(ValueFromText(CIM_UINT32, "4294967295", v), kSOk);
    EXPECT_EQ(v.AsInt32(), -1);
    EXPECT_EQ(ValueFromText(CIM_OBJECT, "<INSTANCE/>", v), kWbemETypeMismatch);

    ASSERT_EQ(ValueFromTexts(
                  FindClass("Msvm_SummaryInformation")->FindProperty("OperationalStatus")->type,
                  {"2", "32782"}, v),
              kSOk);
    EXPECT_EQ(v.Type(), VT_ARRAY | VT_I4);
    EXPECT_EQ(*v.AsI4Array(), (std::vector<std::int32_t>{2, 32782}));
    ASSERT_EQ(ValueFromTexts(CIM_UINT8, {"0", "255"}, v), kSOk);
    EXPECT_EQ(*v.AsUI1Array(), (std::vector<std::uint8_t>{0, 255}));
    EXPECT_EQ(ValueFromTexts(CIM_UINT8, {"256"}, v), kWbemETypeMismatch);
    ASSERT_EQ(ValueFromTexts(CIM_STRING, {}, v), kSOk);
    EXPECT_EQ(v.Type(), VT_ARRAY | VT_BSTR);
}

// Both in-process providers serve the catalogue's classes: same types, same keys.
TEST(ClassCatalogue, ProvidersServeItsClasses) {
    for (const char* host : {"sim://catalogue-test?vms=1", ""}) {
        const bool demo = LocalMachineDemo();
        SetLocalMachineDemo(false);
        WmiServicesPtr cim;
        ASSERT_EQ(CreateWmiLocator(host)->ConnectServer("root\\cimv2", "", "", cim), kSOk);
        SetLocalMachineDemo(demo);
        WmiEnumeratorPtr e;
        ASSERT_EQ(cim->ExecQuery("SELECT * FROM Win32_OperatingSystem", e), kSOk);
        WmiObjectPtr os;
        ASSERT_EQ(e->Next(kWbemInfinite, os), kSOk);
        const CimClass* cls = FindClass("Win32_OperatingSystem");
        for (const auto& name : os->GetNames()) {
            const CimProperty* p = cls->FindProperty(name);
            ASSERT_NE(p, nullptr) << host << " " << name;
            WmiValue value;
            CimType type = CIM_ILLEGAL;
            ASSERT_EQ(os->Get(name, value, &type), kSOk);
            EXPECT_EQ(type, p->type) << host << " " << name;
            if (!value.IsEmptyOrNull()) {
                EXPECT_EQ(value.Type(), VariantKindOf(p->type)) << host << " " << name;
            }
            EXPECT_EQ(os->Definition().Properties()[os->Definition().Find(name)].key, p->key);
        }
    }
    WmiServicesPtr virt;
    ASSERT_EQ(CreateWmiLocator("sim://catalogue-test")
                  ->ConnectServer("root\\virtualization\\v2", "", "", virt),
              kSOk);
    WmiObjectPtr cls;
    ASSERT_EQ(virt->GetObject("Msvm_ComputerSystem", cls), kSOk);
    EXPECT_EQ(cls->GetNames().size(), FindClass("Msvm_ComputerSystem")->Properties().size());
}

}  // namespace
}  // namespace hbr
