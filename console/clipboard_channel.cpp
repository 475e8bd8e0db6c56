// The session's end of the RDP clipboard channel: text only (CF_UNICODETEXT), both ways, at
// most kMaxClipboardBytes per transfer. The channel calls back on a thread of its own, the
// browser's side arrives through the serving thread: the clipboard state is under clipMutex_.
#include <freerdp/channels/cliprdr.h>
#include <freerdp/channels/disp.h>
#include <winpr/user.h>

#include <cstring>

#include "console/rdp_session.h"
#include "console/wire_bytes.h"

namespace hbr::rconsole {
namespace {

CRdp* Owner(void* context) {
    return context ? reinterpret_cast<RdpSessionContext*>(context)->owner : nullptr;
}

CRdp* Owner(CliprdrClientContext* c) {
    return c ? static_cast<CRdp*>(c->custom) : nullptr;
}

// A transfer's UTF-16 bytes may not exceed what kMaxClipboardBytes of UTF-8 becomes (one
// unit per byte at most) and the closing NUL; larger answers are refused unread.
constexpr size_t kMaxUnicodeTextBytes = 2 * kMaxClipboardBytes + 2;

}  // namespace

void CRdp::OnChannelConnected(void* context, ChannelConnectedEventArgs* e) {
    CRdp* self = Owner(context);
    if (!self || !e || !e->name) return;
    if (std::strcmp(e->name, DISP_DVC_CHANNEL_NAME) == 0)
        return self->OnDisplayChannel(static_cast<DispClientContext*>(e->pInterface), true);
    if (std::strcmp(e->name, CLIPRDR_SVC_CHANNEL_NAME) != 0) return;
    auto* c = static_cast<CliprdrClientContext*>(e->pInterface);
    if (!c) return;
    std::lock_guard lock(self->clipMutex_);
    c->custom = self;
    c->MonitorReady = OnClipMonitorReady;
    c->ServerCapabilities = OnClipServerCapabilities;
    c->ServerFormatListResponse = OnClipServerFormatListResponse;
    c->ServerFormatList = OnClipServerFormatList;
    c->ServerFormatDataRequest = OnClipServerFormatDataRequest;
    c->ServerFormatDataResponse = OnClipServerFormatDataResponse;
    self->cliprdr_ = c;
    self->clipReady_ = false;
    self->clipRequested_ = false;
}

void CRdp::OnChannelDisconnected(void* context, ChannelDisconnectedEventArgs* e) {
    CRdp* self = Owner(context);
    if (!self || !e || !e->name) return;
    if (std::strcmp(e->name, DISP_DVC_CHANNEL_NAME) == 0)
        return self->OnDisplayChannel(static_cast<DispClientContext*>(e->pInterface), false);
    if (std::strcmp(e->name, CLIPRDR_SVC_CHANNEL_NAME) != 0) return;
    std::lock_guard lock(self->clipMutex_);
    if (auto* c = static_cast<CliprdrClientContext*>(e->pInterface)) c->custom = nullptr;
    self->cliprdr_ = nullptr;
    self->clipReady_ = false;
}

UINT CRdp::OnClipMonitorReady(CliprdrClientContext* c, const CLIPRDR_MONITOR_READY*) {
    CRdp* self = Owner(c);
    if (!self) return CHANNEL_RC_OK;
    CLIPRDR_GENERAL_CAPABILITY_SET general{};
    general.capabilitySetType = CB_CAPSTYPE_GENERAL;
    general.capabilitySetLength = CB_CAPSTYPE_GENERAL_LEN;
    general.version = CB_CAPS_VERSION_2;
    general.generalFlags = CB_USE_LONG_FORMAT_NAMES;
    CLIPRDR_CAPABILITIES caps{};
    caps.msgType = CB_CLIP_CAPS;
    caps.cCapabilitiesSets = 1;
    caps.capabilitySets = reinterpret_cast<CLIPRDR_CAPABILITY_SET*>(&general);
    std::lock_guard lock(self->clipMutex_);
    if (const UINT rc = c->ClientCapabilities(c, &caps); rc != CHANNEL_RC_OK) return rc;
    self->clipReady_ = true;
    return self->AnnounceClipboardLocked();
}

UINT CRdp::OnClipServerCapabilities(CliprdrClientContext*, const CLIPRDR_CAPABILITIES*) {
    return CHANNEL_RC_OK;
}

UINT CRdp::OnClipServerFormatListResponse(CliprdrClientContext*,
                                          const CLIPRDR_FORMAT_LIST_RESPONSE*) {
    return CHANNEL_RC_OK;
}

// Tells the guest what the browser offers: text when there is some, else nothing (the list
// the protocol asks for once the monitor is ready).
UINT CRdp::AnnounceClipboardLocked() {
    if (!cliprdr_ || !clipReady_) return CHANNEL_RC_OK;
    CLIPRDR_FORMAT text{};
    text.formatId = CF_UNICODETEXT;
    CLIPRDR_FORMAT_LIST list{};
    list.msgType = CB_FORMAT_LIST;
    list.numFormats = clipForGuest_.empty() ? 0 : 1;
    list.formats = clipForGuest_.empty() ? nullptr : &text;
    return cliprdr_->ClientFormatList(cliprdr_, &list);
}

UINT CRdp::OnClipServerFormatList(CliprdrClientContext* c, const CLIPRDR_FORMAT_LIST* list) {
    CRdp* self = Owner(c);
    if (!self || !list) return CHANNEL_RC_OK;
    CLIPRDR_FORMAT_LIST_RESPONSE answer{};
    answer.msgType = CB_FORMAT_LIST_RESPONSE;
    answer.msgFlags = CB_RESPONSE_OK;
    std::lock_guard lock(self->clipMutex_);
    if (const UINT rc = c->ClientFormatListResponse(c, &answer); rc != CHANNEL_RC_OK) return rc;
    // The guest owns its clipboard again: what the browser gave is no longer offered.
    self->clipForGuest_.clear();
    bool hasText = false;
    for (UINT32 i = 0; list->formats && i < list->numFormats; ++i)
        hasText = hasText || list->formats[i].formatId == CF_UNICODETEXT;
    if (!hasText) return CHANNEL_RC_OK;
    CLIPRDR_FORMAT_DATA_REQUEST request{};
    request.msgType = CB_FORMAT_DATA_REQUEST;
    request.requestedFormatId = CF_UNICODETEXT;
    self->clipRequested_ = true;
    return c->ClientFormatDataRequest(c, &request);
}

UINT CRdp::OnClipServerFormatDataRequest(CliprdrClientContext* c,
                                         const CLIPRDR_FORMAT_DATA_REQUEST* request) {
    CRdp* self = Owner(c);
    if (!self || !request) return CHANNEL_RC_OK;
    CLIPRDR_FORMAT_DATA_RESPONSE response{};
    response.msgType = CB_FORMAT_DATA_RESPONSE;
    std::lock_guard lock(self->clipMutex_);
    // Only the text offered; any other format, or none offered, is a failure answer.
    if (request->requestedFormatId == CF_UNICODETEXT && !self->clipForGuest_.empty()) {
        response.msgFlags = CB_RESPONSE_OK;
        response.dataLen = static_cast<UINT32>(self->clipForGuest_.size());
        response.requestedFormatData = self->clipForGuest_.data();
    } else {
        response.msgFlags = CB_RESPONSE_FAIL;
    }
    return c->ClientFormatDataResponse(c, &response);
}

UINT CRdp::OnClipServerFormatDataResponse(CliprdrClientContext* c,
                                          const CLIPRDR_FORMAT_DATA_RESPONSE* response) {
    CRdp* self = Owner(c);
    // Answers nobody asked for, failures and malformed data change nothing.
    if (!self || !response) return CHANNEL_RC_OK;
    {
        std::lock_guard lock(self->clipMutex_);
        if (!self->clipRequested_) return CHANNEL_RC_OK;
        self->clipRequested_ = false;
    }
    if (!(response->msgFlags & CB_RESPONSE_OK) || (response->msgFlags & CB_RESPONSE_FAIL) ||
        !response->requestedFormatData)
        return CHANNEL_RC_OK;
    if (response->dataLen > kMaxUnicodeTextBytes) {
        self->QueueBrowserText(kClipboardTooLargeText);
        return CHANNEL_RC_OK;
    }
    bool tooLarge = false;
    auto text = UnicodeTextToUtf8(response->requestedFormatData, response->dataLen, tooLarge);
    if (tooLarge) self->QueueBrowserText(kClipboardTooLargeText);
    if (text) self->QueueBrowserText("P:" + *text);
    return CHANNEL_RC_OK;
}

void CRdp::QueueBrowserText(std::string text) {
    {
        std::lock_guard lock(inputMutex_);
        textsForBrowser_.push_back(std::move(text));
    }
    Wake();
}

void CRdp::SendClipboardTexts() {
    std::vector<std::string> texts;
    {
        std::lock_guard lock(inputMutex_);
        texts.swap(textsForBrowser_);
    }
    // One message each: a text may hold line feeds, which would split a joined "E:" message.
    for (const auto& t : texts) SendText(t);
}

void CRdp::OnClipboardMessage(const uint8_t* bytes, size_t length) {
    switch (clipAssembler_.Feed(bytes, length)) {
        case ClipboardAssembler::Result::Complete: {
            std::lock_guard lock(inputMutex_);
            clipFromBrowser_ = clipAssembler_.Take();
            break;
        }
        case ClipboardAssembler::Result::TooLarge:
            QueueBrowserText(kClipboardTooLargeText);
            return;
        case ClipboardAssembler::Result::NotText:
            QueueBrowserText(kClipboardNotTextText);
            return;
        default:
            return;
    }
    Wake();
}

void CRdp::ApplyClipboard() {
    std::optional<std::string> text;
    {
        std::lock_guard lock(inputMutex_);
        text.swap(clipFromBrowser_);
    }
    if (!text) return;
    auto unicode = Utf8ToUnicodeText(*text);
    if (!unicode) return;  // checked when the text came; kept for the invariant
    std::lock_guard lock(clipMutex_);
    if (!cliprdr_) {
        QueueBrowserText(kNoClipboardChannelText);
        return;
    }
    clipForGuest_ = std::move(*unicode);
    AnnounceClipboardLocked();
}

}  // namespace hbr::rconsole
