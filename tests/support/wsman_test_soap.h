#pragma once
// The SOAP side of the WS-Management test server: one request envelope in, one reply envelope
// out, answered from a WMI provider the way Windows' WMI plug-in answers. No transport here.
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "hyperv/wmi/wmi_provider.h"

namespace hbr::wsmantest {

inline constexpr const char* kWmiResourceBase = "http://schemas.microsoft.com/wbem/wsman/1/wmi/";

struct SoapLimits {
    std::size_t maxEnvelopeSize = 512000;
    int maxOperationsPerUser = 15;
    std::chrono::milliseconds enumerationExpiry{std::chrono::seconds(60)};
};

struct SoapReply {
    int status = 200;    // 200, or 500 for a fault (as WinRM answers)
    std::string action;  // the request's action ("Identify" for an identification)
    std::string body;
};

class SoapService {
  public:
    SoapService(WmiLocatorPtr locator, SoapLimits limits);

    // Answers one request of an authenticated user.
    SoapReply Handle(std::string_view request, const std::string& user);

    std::size_t OpenEnumerations();

  private:
    struct Enumeration {
        std::string user;
        std::string nameSpace;  // with backslashes
        std::vector<WmiObjectPtr> objects;
        std::size_t next = 0;
        bool fragments = false;  // a column-list query: items as w:XmlFragment
        bool withEpr = false;    // EnumerateObjectAndEPR
        std::chrono::steady_clock::time_point lastUse;
    };
    class Request;

    SoapReply Dispatch(Request& rq, const std::string& user);
    SoapReply Identify(Request& rq);
    SoapReply Enumerate(Request& rq, const std::string& user);
    SoapReply Pull(Request& rq, const std::string& user);
    SoapReply Release(Request& rq, const std::string& user);
    SoapReply Get(Request& rq);
    SoapReply Invoke(Request& rq);

    // Items from the context that fit in `room` bytes, at most `maxElements`; the rendered text
    // and how many were taken.
    std::size_t TakeItems(Enumeration& e, std::size_t maxElements, std::size_t room,
                          std::string& items);
    void PurgeExpiredLocked();
    int OperationsLocked(const std::string& user) const;

    WmiLocatorPtr locator_;
    SoapLimits limits_;
    std::mutex mu_;
    std::map<std::string, Enumeration> enumerations_;
    std::map<std::string, int> inFlight_;
};

// Conversions shared with tests.
// DMTF "yyyymmddHHMMSS.mmmmmmsUUU" to xs:dateTime; an interval "ddddddddHHMMSS.mmmmmm:000" to
// xs:duration (`interval` set). False when the text is neither.
bool DmtfToXs(std::string_view dmtf, std::string& xs, bool& interval);
// xs:dateTime or xs:duration back to the DMTF form; false when it is neither.
bool XsToDmtf(std::string_view xs, std::string& dmtf);

}  // namespace hbr::wsmantest
