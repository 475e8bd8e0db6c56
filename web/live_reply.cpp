#include "web/live_reply.h"

#include "hyperv/server_registry.h"
#include "web/content_coding.h"
#include "web/file_body.h"
#include "web/http_request.h"
#include "web/session.h"

namespace hbr {
namespace {

std::string_view RequestHeader(const HttpRequest& request, const std::string& name) {
    const auto it = request.Headers().find(name);
    return it == request.Headers().end() ? std::string_view() : std::string_view(it->second);
}

}  // namespace

LiveReply::LiveReply(std::shared_ptr<const std::string> text, bool withFile)
    : text_(std::move(text)), etag_(StrongETag(*text_)), gzipETag_(StrongETag(*text_, "-gzip")) {
    if (withFile) file_ = FileBody::FromText(text_);
}

const std::string& LiveReply::Gzip() const {
    // Every request that wants it waits for the one compression rather than making its own.
    std::call_once(gzipOnce_, [this] { GzipCompress(*text_, gzip_); });
    return gzip_;
}

std::shared_ptr<const LiveReply> SharedLiveReply(const std::shared_ptr<const std::string>& text,
                                                 bool vms, bool hosts) {
    struct Slot {
        std::shared_ptr<const std::string> source;
        std::shared_ptr<const LiveReply> reply;
    };
    static std::mutex lock;
    static Slot slots[4];
    Slot& slot = slots[(vms ? 2 : 0) + (hosts ? 1 : 0)];
    {
        std::lock_guard guard(lock);
        if (slot.source == text) return slot.reply;
    }
    // Prepared outside the lock, so requests for the other slots are not held up; two requests
    // that race here both prepare it, and the reply is the same.
    auto made = std::make_shared<const LiveReply>(text, true);
    std::lock_guard guard(lock);
    if (slot.source != text) {
        slot.source = text;
        slot.reply = made;
    }
    return made;
}

void SendLiveReply(HttpRequest& r, const LiveReply& reply) {
    const bool gzip = AcceptsGzip(RequestHeader(r, "accept-encoding"));
    r.OkHeaders("application/javascript; charset=utf-8", false);
    r.SetHeader(kHeaderVary, "Accept-Encoding");
    // Only a safe request can be answered "not modified"; any other verb gets the reply.
    const bool safe = r.Verb() == HttpVerb::Get || r.Verb() == HttpVerb::Head;
    const std::string& tag = gzip ? reply.GzipETag() : reply.ETag();
    if (safe && IfNoneMatchHits(RequestHeader(r, "if-none-match"), tag)) {
        r.SetHeader(kHeaderETag, tag);
        r.SetStatus(304, "Not Modified");
        r.Send(nullptr, 0);
        return;
    }
    if (gzip) {
        if (const std::string& bytes = reply.Gzip(); !bytes.empty()) {
            r.SetHeader(kHeaderETag, tag);
            r.SetHeader(kHeaderContentEncoding, "gzip");
            r.Send(bytes);
            return;
        }
    }
    r.SetHeader(kHeaderETag, reply.ETag());
    if (reply.File())
        r.SendJson(*reply.File());
    else
        r.SendJson(reply.Text());
}

void ServeLiveData(HttpRequest& r, const Session& s) {
    const auto text =
        ServerRegistry::Instance().LiveData(s.canViewVms, s.canViewHosts, s.assignedVms);
    // A reply filtered for a role limited to some VMs is its own; the others are shared.
    if (s.assignedVms.empty())
        SendLiveReply(r, *SharedLiveReply(text, s.canViewVms, s.canViewHosts));
    else
        SendLiveReply(r, LiveReply(text, false));
}

}  // namespace hbr
