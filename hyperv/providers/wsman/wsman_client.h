#pragma once
// The WS-Management operations the provider uses, each one request and its reply over one
// host's transport, with every failure turned into an HRESULT: transport failures as the
// transport names them, 401/403 as 0x80070005, faults by the fault mapper, and anything that
// is not a SOAP reply (an error page, a 500 without a body, malformed XML) as
// kEInvalidServerResponse.
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "hyperv/providers/wsman/wsman_messages.h"
#include "hyperv/providers/wsman/wsman_transport.h"

namespace hbr::wsman {

struct CallOutcome {
    HResult hr = kSOk;
    Fault fault;                  // when the host answered with a fault
    std::string error;            // a short text saying what went wrong
    std::string presentedSha256;  // a certificate that was not accepted
};

class Client {
  public:
    explicit Client(std::shared_ptr<Transport> transport);

    // Identify: the host speaks WS-Management and takes the credentials.
    CallOutcome Identify(std::string& vendor, std::string& version);
    // Enumerate with a WQL filter in `nameSpace` ("root\\cimv2"), optimized: the first page.
    CallOutcome EnumerateWql(std::string_view nameSpace, std::string_view wql, unsigned maxElements,
                             EnumerationPage& page);
    CallOutcome Pull(std::string_view nameSpace, std::string_view context, unsigned maxElements,
                     EnumerationPage& page);
    CallOutcome Release(std::string_view nameSpace, std::string_view context);
    CallOutcome Get(const std::string& resourceUri,
                    const std::vector<std::pair<std::string, std::string>>& selectors,
                    Instance& instance);
    CallOutcome Invoke(const std::string& resourceUri,
                       const std::vector<std::pair<std::string, std::string>>& selectors,
                       std::string_view method, const std::vector<Property>& parameters,
                       Instance& output);

    const WsmanTarget& Target() const { return transport_->Target(); }
    Transport& GetTransport() { return *transport_; }

    // One request's exchange: post, read, map.
    CallOutcome Exchange(const std::string& request, XmlElement& root, const XmlElement*& body);

    // The last operation that failed, for the host's status text.
    CallOutcome LastFailure() const;

  private:
    RequestHeader HeaderFor(std::string resourceUri) const;
    // Keeps a failed outcome as the last failure; returns it unchanged.
    const CallOutcome& Noted(const CallOutcome& out);

    std::shared_ptr<Transport> transport_;
    mutable std::mutex failureMutex_;
    CallOutcome lastFailure_;
};

}  // namespace hbr::wsman
