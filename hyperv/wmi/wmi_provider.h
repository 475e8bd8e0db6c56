#pragma once
// The hypervisor layer talks to a host through these classes, shaped like the WMI calls it makes
// (locator, services, class and instance objects, enumerators). Providers: the built-in simulated
// Hyper-V host, the local machine and, later, remote hosts. Every call answers an HRESULT, as WMI
// does; nothing here throws for a host's answer.
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace hbr {

using HResult = std::int32_t;

constexpr HResult MakeHResult(std::uint32_t bits) {
    return static_cast<HResult>(bits);
}
constexpr bool Failed(HResult hr) {
    return hr < 0;
}
constexpr bool Succeeded(HResult hr) {
    return hr >= 0;
}

inline constexpr HResult kSOk = 0;
inline constexpr HResult kSFalse = 1;                          // WBEM_S_FALSE: enumeration ended
inline constexpr HResult kWbemSTimedOut = 0x40004;             // WBEM_S_TIMEDOUT
inline constexpr HResult kEFail = MakeHResult(0x80004005);     // E_FAIL
inline constexpr HResult kENotImpl = MakeHResult(0x80004001);  // E_NOTIMPL
inline constexpr HResult kEInvalidArg = MakeHResult(0x80070057);
inline constexpr HResult kEAccessDenied = MakeHResult(0x80070005);
inline constexpr HResult kEOutOfMemory = MakeHResult(0x8007000E);
inline constexpr HResult kDispEBadIndex = MakeHResult(0x8002000B);
inline constexpr HResult kRpcEConnectionTerminated = MakeHResult(0x80010006);
inline constexpr HResult kRpcEDisconnected = MakeHResult(0x80010108);
inline constexpr HResult kRpcServerUnavailable = MakeHResult(0x800706BA);
inline constexpr HResult kWbemEFailed = MakeHResult(0x80041001);
inline constexpr HResult kWbemENotFound = MakeHResult(0x80041002);
inline constexpr HResult kWbemEAccessDenied = MakeHResult(0x80041003);
inline constexpr HResult kWbemETypeMismatch = MakeHResult(0x80041005);
inline constexpr HResult kWbemEInvalidParameter = MakeHResult(0x80041008);
inline constexpr HResult kWbemENotSupported = MakeHResult(0x8004100C);
inline constexpr HResult kWbemEInvalidNamespace = MakeHResult(0x8004100E);
inline constexpr HResult kWbemEInvalidClass = MakeHResult(0x80041010);
inline constexpr HResult kWbemEInvalidQuery = MakeHResult(0x80041017);
inline constexpr HResult kWbemEIllegalOperation = MakeHResult(0x8004101E);
inline constexpr HResult kWbemEReadOnly = MakeHResult(0x80041023);
inline constexpr HResult kWbemEInvalidMethod = MakeHResult(0x8004102E);
inline constexpr HResult kWbemEInvalidObjectPath = MakeHResult(0x8004103A);

// VARIANT kinds as WMI delivers them; the JSON writers decide by these.
enum VarType : std::uint16_t {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I4 = 3,
    VT_BSTR = 8,
    VT_BOOL = 11,
    VT_UNKNOWN = 13,  // an embedded object
    VT_UI1 = 17,
    VT_UI4 = 19,
    VT_INT = 22,
    VT_UINT = 23,
    VT_ARRAY = 0x2000,
};

// CIM property types (the CIMTYPE values of WMI).
enum CimType : std::int32_t {
    CIM_ILLEGAL = 0xFFF,
    CIM_EMPTY = 0,
    CIM_SINT8 = 16,
    CIM_UINT8 = 17,
    CIM_SINT16 = 2,
    CIM_UINT16 = 18,
    CIM_SINT32 = 3,
    CIM_UINT32 = 19,
    CIM_SINT64 = 20,
    CIM_UINT64 = 21,
    CIM_REAL32 = 4,
    CIM_REAL64 = 5,
    CIM_BOOLEAN = 11,
    CIM_STRING = 8,
    CIM_DATETIME = 101,
    CIM_REFERENCE = 102,
    CIM_CHAR16 = 103,
    CIM_OBJECT = 13,
    CIM_FLAG_ARRAY = 0x2000,
};

// The CIM type name used in CIM-XML ("uint16", "string", "datetime", ...).
std::string_view CimTypeName(CimType type);

class WmiObject;
using WmiObjectPtr = std::shared_ptr<WmiObject>;

// A VARIANT-like value. Integers of up to 32 bits keep the kind they were made with; 64-bit
// integers and date-times travel as text, as WMI delivers them.
class WmiValue {
  public:
    WmiValue() = default;  // VT_EMPTY

    static WmiValue Null();
    static WmiValue I4(std::int32_t v);
    static WmiValue Int(std::int32_t v);
    static WmiValue UI4(std::uint32_t v);
    static WmiValue UInt(std::uint32_t v);
    static WmiValue UI1(std::uint8_t v);
    static WmiValue Bool(bool v);
    static WmiValue Bstr(std::string v);
    static WmiValue BstrArray(std::vector<std::string> v);
    static WmiValue I4Array(std::vector<std::int32_t> v);
    static WmiValue UI1Array(std::vector<std::uint8_t> v);
    static WmiValue Object(WmiObjectPtr v);
    static WmiValue ObjectArray(std::vector<WmiObjectPtr> v);

    std::uint16_t Type() const { return vt_; }
    bool IsEmptyOrNull() const { return vt_ == VT_EMPTY || vt_ == VT_NULL; }
    bool IsArray() const { return (vt_ & VT_ARRAY) != 0; }

    // Typed views: nullptr (or 0/false) when the value is of another kind.
    const std::string* AsBstr() const;
    const std::vector<std::string>* AsBstrArray() const;
    const std::vector<std::int32_t>* AsI4Array() const;
    const std::vector<std::uint8_t>* AsUI1Array() const;
    const std::vector<WmiObjectPtr>* AsObjectArray() const;
    WmiObjectPtr AsObject() const;
    // The 32 bits of VT_I4, VT_INT, VT_UI4, VT_UINT, VT_UI1 and VT_BOOL (1/0); 0 otherwise.
    std::int32_t AsInt32() const;
    bool AsBool() const;

    // SAFEARRAY-style access: lower bound 0, upper bound size - 1 (so -1 when empty).
    HResult GetArrayBounds(long& lower, long& upper) const;
    HResult GetElement(long index, WmiValue& element) const;

    bool operator==(const WmiValue& other) const;

  private:
    using Storage =
        std::variant<std::monostate, std::int32_t, std::uint32_t, bool, std::string,
                     std::vector<std::string>, std::vector<std::int32_t>, std::vector<std::uint8_t>,
                     WmiObjectPtr, std::vector<WmiObjectPtr>>;
    WmiValue(std::uint16_t vt, Storage data) : vt_(vt), data_(std::move(data)) {}

    std::uint16_t vt_ = VT_EMPTY;
    Storage data_;
};

// The WMI coercion of a value put into a property of CIM type `type`: the canonical kind WMI
// would deliver back (uint16/uint32 as VT_I4, uint64 as text, ...). Fails with
// kWbemETypeMismatch for values that do not fit.
HResult CoerceToCimType(const WmiValue& value, CimType type, WmiValue& out);

struct WmiPropertyDef {
    std::string name;
    CimType type = CIM_STRING;
    bool key = false;
};

class WmiClassDef;
using WmiClassDefPtr = std::shared_ptr<const WmiClassDef>;

struct WmiMethodDef {
    std::string name;
    WmiClassDefPtr in;   // the "__PARAMETERS" signature of the in-parameters
    WmiClassDefPtr out;  // of the out-parameters (ReturnValue first)
};

// The schema of a class: properties in order, keys, methods, where it lives. Shared by the
// class object and every instance of it.
class WmiClassDef {
  public:
    WmiClassDef(std::string name, std::vector<std::string> derivation,
                std::vector<WmiPropertyDef> properties, std::string server = {},
                std::string nameSpace = {});

    const std::string& Name() const { return name_; }
    // Superclasses, nearest first (the __DERIVATION of WMI).
    const std::vector<std::string>& Derivation() const { return derivation_; }
    const std::vector<WmiPropertyDef>& Properties() const { return properties_; }
    const std::string& Server() const { return server_; }
    const std::string& NameSpace() const { return nameSpace_; }
    const std::vector<WmiMethodDef>& Methods() const { return methods_; }
    // False for a projection that left out a key: its objects have no path.
    bool HasAllKeys() const { return hasAllKeys_; }

    // Index of a property, letters compared ignoring case; -1 when absent.
    int Find(std::string_view name) const;
    const WmiMethodDef* FindMethod(std::string_view name) const;
    // The class itself or one of its superclasses has this name (ignoring case).
    bool IsA(std::string_view className) const;

    void AddMethod(WmiMethodDef method) { methods_.push_back(std::move(method)); }
    // The same class limited to some properties (the classes of "SELECT a, b" results).
    WmiClassDefPtr Project(const std::vector<std::string>& names) const;

  private:
    std::string name_;
    std::vector<std::string> derivation_;
    std::vector<WmiPropertyDef> properties_;
    std::string server_;
    std::string nameSpace_;
    std::vector<WmiMethodDef> methods_;
    bool hasAllKeys_ = true;
};

// A class object (genus 1) or an instance (genus 2). System properties (__CLASS, __PATH,
// __RELPATH, __SERVER, __NAMESPACE, __GENUS, __SUPERCLASS, __DYNASTY, __DERIVATION,
// __PROPERTY_COUNT) are computed on read.
class WmiObject {
  public:
    static WmiObjectPtr MakeClass(WmiClassDefPtr def);
    static WmiObjectPtr MakeInstance(WmiClassDefPtr def);  // every property null

    bool IsClass() const { return isClass_; }
    const std::string& ClassName() const { return def_->Name(); }
    const WmiClassDef& Definition() const { return *def_; }
    const WmiClassDefPtr& DefinitionPtr() const { return def_; }

    // IWbemClassObject::Get: kWbemENotFound for a name the class does not have.
    HResult Get(std::string_view name, WmiValue& value, CimType* type = nullptr) const;
    // IWbemClassObject::Put: coerces to the property's CIM type; system properties are read-only.
    HResult Put(std::string_view name, const WmiValue& value);
    // IWbemClassObject::GetMethod, on class objects only.
    HResult GetMethod(std::string_view name, WmiObjectPtr& inSignature,
                      WmiObjectPtr* outSignature = nullptr) const;
    // IWbemClassObject::SpawnInstance, on class objects (and method signatures) only.
    HResult SpawnInstance(WmiObjectPtr& instance) const;
    // IWbemObjectTextSrc::GetText with WMI_OBJ_TEXT_CIM_DTD_2_0: the object as a CIM-XML
    // INSTANCE (or CLASS) element.
    HResult GetObjectText(std::string& text) const;
    // Non-system property names in class order.
    std::vector<std::string> GetNames() const;

    // Provider side: store a value exactly as given (no coercion); index from Find().
    void Set(int index, WmiValue value);
    void Set(std::string_view name, WmiValue value);
    const WmiValue* Peek(int index) const;

    // The path of this object: "\\SERVER\NAMESPACE:Class.Key=\"v\",..." (or "Class=@" for a
    // singleton); empty when it has none. `relative` leaves out server and namespace.
    std::string Path(bool relative = false) const;

    WmiObjectPtr Clone() const;

  private:
    WmiObject(WmiClassDefPtr def, bool isClass);

    WmiClassDefPtr def_;
    bool isClass_;
    std::vector<WmiValue> values_;
};

// Reads one object after another: kSOk with an object, kSFalse at the end (object reset),
// kWbemSTimedOut when the time-out passed first, or a failure.
class WmiEnumerator {
  public:
    virtual ~WmiEnumerator() = default;
    virtual HResult Next(std::chrono::milliseconds timeout, WmiObjectPtr& object) = 0;
};
using WmiEnumeratorPtr = std::shared_ptr<WmiEnumerator>;

inline constexpr std::chrono::milliseconds kWbemInfinite{-1};

// An enumerator over objects already made.
class WmiListEnumerator : public WmiEnumerator {
  public:
    explicit WmiListEnumerator(std::vector<WmiObjectPtr> objects) : objects_(std::move(objects)) {}
    HResult Next(std::chrono::milliseconds timeout, WmiObjectPtr& object) override;

  private:
    std::vector<WmiObjectPtr> objects_;
    std::size_t next_ = 0;
};

// One connected namespace (IWbemServices). Safe to call from many threads at once.
class WmiServices {
  public:
    virtual ~WmiServices() = default;
    // WQL: SELECT and ASSOCIATORS OF (see wql.h for what is understood).
    virtual HResult ExecQuery(std::string_view wql, WmiEnumeratorPtr& result) = 0;
    // A class by name ("Msvm_ComputerSystem") or an instance by object path.
    virtual HResult GetObject(std::string_view path, WmiObjectPtr& result) = 0;
    // A method on an instance path (or a class name for static methods). inParams may be null.
    virtual HResult ExecMethod(std::string_view objectPath, std::string_view method,
                               const WmiObjectPtr& inParams, WmiObjectPtr& outParams) = 0;
};
using WmiServicesPtr = std::shared_ptr<WmiServices>;

// What shutting a host down or restarting it came to: `error` 0 when the host took the
// request; otherwise an error number (errno, or the host's own code), and whether the host
// could not be reached at all.
struct HostShutdownResult {
    int error = 0;
    bool unreachable = false;
};

// One host's provider (IWbemLocator and what else is asked of a host as a whole). The namespace
// path is "\\server\namespace" or the namespace alone; the server part is not looked at,
// because the locator is already bound to its host.
// What a provider knows of its last failure beyond the HRESULT, for the host's status.
struct LocatorFailure {
    HResult hr = 0;
    std::string detail;           // what the host did, in a few words
    std::string presentedSha256;  // a certificate that was not accepted: its SHA-256 (hex)
};

class WmiLocator {
  public:
    virtual ~WmiLocator() = default;
    virtual HResult ConnectServer(std::string_view namespacePath, std::string_view user,
                                  std::string_view password, WmiServicesPtr& services) = 0;
    // Shuts the host's operating system down (or restarts it) with these credentials.
    virtual HostShutdownResult ShutdownHost(bool restart, std::string_view user,
                                            std::string_view password) = 0;
    // Where the RDP endpoints of the host's VM consoles listen.
    virtual std::string ConsoleAddress() const = 0;
    // The last call that failed; providers that know no more than the HRESULT answer nothing.
    virtual LocatorFailure LastFailure() const { return {}; }
};
using WmiLocatorPtr = std::shared_ptr<WmiLocator>;

// The namespace part of "\\server\ns", "//server/ns" or "ns", with "/" turned into "\".
std::string NamespaceOfPath(std::string_view namespacePath);

// Case-insensitive ASCII comparison used for class, property and namespace names.
bool IEquals(std::string_view a, std::string_view b);
bool IContains(std::string_view haystack, std::string_view needle);

}  // namespace hbr
