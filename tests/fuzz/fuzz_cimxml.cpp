// CIM-XML as the Hyper-V methods read embedded instances: any bytes parse or fail with the
// invalid-parameter code (no entity expansion, no document type), and a parsed instance applies
// to an object of its class or fails leaving the object unchanged.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "hyperv/wmi/wmi_cimxml.h"

namespace {

hbr::WmiObjectPtr Target() {
    std::vector<hbr::WmiPropertyDef> props = {
        {"InstanceID", hbr::CIM_STRING, true},
        {"ElementName", hbr::CIM_STRING, false},
        {"Notes", static_cast<hbr::CimType>(hbr::CIM_STRING | hbr::CIM_FLAG_ARRAY), false},
        {"VirtualQuantity", hbr::CIM_UINT64, false},
        {"AutomaticStartupAction", hbr::CIM_UINT16, false},
        {"Enabled", hbr::CIM_BOOLEAN, false},
    };
    auto def = std::make_shared<hbr::WmiClassDef>(
        "Msvm_VirtualSystemSettingData", std::vector<std::string>{"CIM_SettingData"}, props);
    auto o = hbr::WmiObject::MakeInstance(def);
    o->Set("ElementName", hbr::WmiValue::Bstr("before"));
    return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    hbr::CimXmlInstance instance;
    const hbr::HResult hr = hbr::ParseCimXml(text, instance);
    if (hbr::Failed(hr)) {
        if (hr != hbr::kWbemEInvalidParameter) std::abort();
        return 0;
    }
    for (const auto& p : instance.properties)
        if (!p.isArray && !p.isNull && p.values.size() != 1) std::abort();
    auto target = Target();
    const std::string before = hbr::RenderCimXml(*target);
    if (hbr::Failed(hbr::ApplyCimXml(instance, *target)) && hbr::RenderCimXml(*target) != before)
        std::abort();
    return 0;
}
