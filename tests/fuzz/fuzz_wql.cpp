// WQL as a provider reads it: any text parses or fails with the invalid-query code, and a parsed
// condition can be walked and evaluated against an object of any shape.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "hyperv/wmi/wql.h"

namespace {

hbr::WmiObjectPtr Sample() {
    std::vector<hbr::WmiPropertyDef> props = {
        {"Name", hbr::CIM_STRING, true},     {"EnabledState", hbr::CIM_UINT16, false},
        {"Caption", hbr::CIM_STRING, false}, {"Size", hbr::CIM_UINT64, false},
        {"Ok", hbr::CIM_BOOLEAN, false},
    };
    auto def = std::make_shared<hbr::WmiClassDef>("Fuzz_Class", std::vector<std::string>{}, props);
    auto o = hbr::WmiObject::MakeInstance(def);
    o->Set("Name", hbr::WmiValue::Bstr("vm-1"));
    o->Set("EnabledState", hbr::WmiValue::I4(2));
    o->Set("Size", hbr::WmiValue::Bstr("8589934592"));
    o->Set("Ok", hbr::WmiValue::Bool(true));
    return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const hbr::WmiObjectPtr object = Sample();
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    hbr::WqlQuery query;
    const hbr::HResult hr = hbr::ParseWql(text, query);
    if (hbr::Failed(hr)) {
        if (hr != hbr::kWbemEInvalidQuery) std::abort();
        return 0;
    }
    if (query.where) {
        std::vector<std::string> names;
        hbr::WqlConditionProperties(*query.where, names);
        (void)hbr::WqlMatches(*query.where, *object);
        (void)hbr::WqlRequiredEquality(query.where.get(), "Name");
    }
    return 0;
}
