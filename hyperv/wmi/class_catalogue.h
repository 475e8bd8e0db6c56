#pragma once
// The one description of every class this system asks a host about: its namespace, superclasses,
// properties with their CIM types, key properties and method signatures, as the Hyper-V and
// Win32 providers declare them. The simulated host and the local machine build their classes
// from it, and a provider that receives values as text (WS-Management) types them by it.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "hyperv/wmi/wmi_provider.h"

namespace hbr {

// A property or a method parameter.
struct CimProperty {
    std::string name;
    CimType type = CIM_STRING;  // with CIM_FLAG_ARRAY for arrays
    bool key = false;
    // Reference: the class referred to. String or object: the class of the instance embedded in
    // the value (the EmbeddedInstance qualifier). Empty otherwise.
    std::string className;

    bool IsArray() const { return (type & CIM_FLAG_ARRAY) != 0; }
    CimType BaseType() const { return static_cast<CimType>(type & ~CIM_FLAG_ARRAY); }
    // A string or object whose value is an instance of className.
    bool IsEmbeddedInstance() const;
};

struct CimMethod {
    std::string name;
    std::vector<CimProperty> in;
    std::vector<CimProperty> out;  // ReturnValue (uint32) first

    const CimProperty* FindIn(std::string_view name) const;
    const CimProperty* FindOut(std::string_view name) const;
};

class CimClass {
  public:
    CimClass(std::string name, std::string nameSpace, std::vector<std::string> derivation,
             std::vector<CimProperty> properties, std::vector<CimMethod> methods = {});

    const std::string& Name() const { return name_; }
    // "root\virtualization\v2" or "root\cimv2".
    const std::string& NameSpace() const { return nameSpace_; }
    // Superclasses, nearest first.
    const std::vector<std::string>& Derivation() const { return derivation_; }
    // Own and inherited properties, in the order the provider lists them.
    const std::vector<CimProperty>& Properties() const { return properties_; }
    const std::vector<CimMethod>& Methods() const { return methods_; }

    // Names compared ignoring case; nullptr when absent.
    const CimProperty* FindProperty(std::string_view name) const;
    const CimMethod* FindMethod(std::string_view name) const;
    // The key property names in property order (empty for a keyless class).
    std::vector<std::string> KeyProperties() const;
    // The class itself or one of its superclasses has this name (ignoring case).
    bool IsA(std::string_view className) const;

    // The class as a provider serves it from `server`: every property, key and method
    // signature. An empty `nameSpace` means the catalogue's.
    WmiClassDefPtr MakeDefinition(std::string server, std::string nameSpace = {}) const;
    // The same limited to `names` (in catalogue order); unknown names are left out.
    WmiClassDefPtr MakeDefinition(std::string server, std::string nameSpace,
                                  const std::vector<std::string>& names) const;

  private:
    std::string name_;
    std::string nameSpace_;
    std::vector<std::string> derivation_;
    std::vector<CimProperty> properties_;
    std::vector<CimMethod> methods_;
};

// A class by name (ignoring case); nullptr for a class the catalogue does not hold.
const CimClass* FindClass(std::string_view name);
// Every class, Hyper-V's first.
const std::vector<CimClass>& CatalogueClasses();

// The VARIANT kind a value of this CIM type is delivered in (what CoerceToCimType makes and the
// property writers expect): uint8 → VT_UI1; other integers of up to 32 bits → VT_I4; 64-bit
// integers, strings, date-times, references and reals → VT_BSTR (text); boolean → VT_BOOL;
// object → VT_UNKNOWN; arrays add VT_ARRAY (VT_ARRAY | VT_I4 for uint16[] and so on).
std::uint16_t VariantKindOf(CimType type);

// A value received as text, typed as `type` declares (scalar types only): integers in decimal
// (range-checked), booleans "true"/"false"/"1"/"0", everything textual as it stands.
// kWbemETypeMismatch for text that does not fit and for object types, which have no text form.
HResult ValueFromText(CimType type, std::string_view text, WmiValue& out);
// An array value from its items' texts (`type` with or without CIM_FLAG_ARRAY).
HResult ValueFromTexts(CimType type, const std::vector<std::string>& texts, WmiValue& out);

}  // namespace hbr
