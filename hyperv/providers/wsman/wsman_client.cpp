#include "hyperv/providers/wsman/wsman_client.h"

#include <algorithm>

namespace hbr::wsman {

Client::Client(std::shared_ptr<Transport> transport) : transport_(std::move(transport)) {}

RequestHeader Client::HeaderFor(std::string resourceUri) const {
    RequestHeader h;
    h.to = transport_->Target().url;
    h.resourceUri = std::move(resourceUri);
    h.maxEnvelopeSize = transport_->Target().maxEnvelopeSize;
    // The host's operation time-out stays below the client's, so a slow host answers with its
    // own TimedOut fault before the connection is given up.
    const auto client =
        std::chrono::duration_cast<std::chrono::seconds>(transport_->Limits().requestTimeout);
    h.operationTimeout =
        std::max(std::chrono::seconds(1),
                 std::min(std::chrono::seconds(30), client - std::chrono::seconds(5)));
    return h;
}

const CallOutcome& Client::Noted(const CallOutcome& out) {
    if (out.hr != kSOk) {
        std::lock_guard lock(failureMutex_);
        lastFailure_ = out;
    }
    return out;
}

CallOutcome Client::LastFailure() const {
    std::lock_guard lock(failureMutex_);
    return lastFailure_;
}

CallOutcome Client::Exchange(const std::string& request, XmlElement& root,
                             const XmlElement*& body) {
    CallOutcome out;
    body = nullptr;
    HttpReply reply = transport_->Post(request);
    if (reply.hr != kSOk) {
        out.hr = reply.hr;
        out.error = reply.error;
        if (reply.hr == kESecureFailure) out.presentedSha256 = reply.presentedSha256;
        return out;
    }
    if (reply.status == 401 || reply.status == 403) {
        out.hr = kEAccessDenied;
        out.error = "the host refused the credentials: HTTP " + std::to_string(reply.status);
        return out;
    }
    std::string why;
    if (reply.body.empty()) {
        out.hr = kEInvalidServerResponse;
        out.error = "HTTP " + std::to_string(reply.status) + " without a body";
        return out;
    }
    if (ReadXml(reply.body, root, &why, transport_->Limits().maxReplyBytes) != XmlReadError::None) {
        out.hr = kEInvalidServerResponse;
        out.error = "HTTP " + std::to_string(reply.status) + ": " + why;
        return out;
    }
    switch (ReadEnvelope(root, body, out.fault)) {
        case ReplyKind::Fault:
            out.hr = out.fault.hr;
            out.error = out.fault.reason.empty() ? out.fault.subcode : out.fault.reason;
            body = nullptr;
            return out;
        case ReplyKind::NotEnvelope:
            out.hr = kEInvalidServerResponse;
            out.error =
                "HTTP " + std::to_string(reply.status) + ": the reply is not a SOAP envelope";
            body = nullptr;
            return out;
        case ReplyKind::Ok:
            break;
    }
    if (reply.status != 200) {
        out.hr = kEInvalidServerResponse;
        out.error = "HTTP " + std::to_string(reply.status) + " without a fault";
        body = nullptr;
    }
    return out;
}

CallOutcome Client::Identify(std::string& vendor, std::string& version) {
    XmlElement root;
    const XmlElement* body = nullptr;
    CallOutcome out = Exchange(BuildIdentify(), root, body);
    if (out.hr != kSOk) return Noted(out);
    if (!ReadIdentify(*body, vendor, version)) {
        out.hr = kEInvalidServerResponse;
        out.error = "the reply is not an IdentifyResponse";
    }
    return Noted(out);
}

CallOutcome Client::EnumerateWql(std::string_view nameSpace, std::string_view wql,
                                 unsigned maxElements, EnumerationPage& page) {
    XmlElement root;
    const XmlElement* body = nullptr;
    CallOutcome out = Exchange(
        BuildEnumerateWql(HeaderFor(WmiResourceUri(nameSpace, "*")), wql, maxElements), root, body);
    if (out.hr != kSOk) return Noted(out);
    if (!ReadEnumerationPage(*body, page, &out.error)) out.hr = kEInvalidServerResponse;
    return Noted(out);
}

CallOutcome Client::Pull(std::string_view nameSpace, std::string_view context, unsigned maxElements,
                         EnumerationPage& page) {
    XmlElement root;
    const XmlElement* body = nullptr;
    CallOutcome out = Exchange(
        BuildPull(HeaderFor(WmiResourceUri(nameSpace, "*")), context, maxElements), root, body);
    if (out.hr != kSOk) return Noted(out);
    if (!ReadEnumerationPage(*body, page, &out.error)) out.hr = kEInvalidServerResponse;
    return Noted(out);
}

CallOutcome Client::Release(std::string_view nameSpace, std::string_view context) {
    XmlElement root;
    const XmlElement* body = nullptr;
    return Noted(
        Exchange(BuildRelease(HeaderFor(WmiResourceUri(nameSpace, "*")), context), root, body));
}

CallOutcome Client::Get(const std::string& resourceUri,
                        const std::vector<std::pair<std::string, std::string>>& selectors,
                        Instance& instance) {
    RequestHeader h = HeaderFor(resourceUri);
    h.selectors = selectors;
    XmlElement root;
    const XmlElement* body = nullptr;
    CallOutcome out = Exchange(BuildGet(h), root, body);
    if (out.hr != kSOk) return Noted(out);
    if (!ReadSingleInstance(*body, instance, &out.error)) out.hr = kEInvalidServerResponse;
    return Noted(out);
}

CallOutcome Client::Invoke(const std::string& resourceUri,
                           const std::vector<std::pair<std::string, std::string>>& selectors,
                           std::string_view method, const std::vector<Property>& parameters,
                           Instance& output) {
    RequestHeader h = HeaderFor(resourceUri);
    h.selectors = selectors;
    XmlElement root;
    const XmlElement* body = nullptr;
    CallOutcome out = Exchange(BuildInvoke(h, method, parameters), root, body);
    if (out.hr != kSOk) return Noted(out);
    if (!ReadSingleInstance(*body, output, &out.error)) out.hr = kEInvalidServerResponse;
    return Noted(out);
}

}  // namespace hbr::wsman
