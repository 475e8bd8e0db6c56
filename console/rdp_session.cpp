#include "console/rdp_session.h"

#include <freerdp/cache/cache.h>
#include <freerdp/cache/pointer.h>
#include <freerdp/addin.h>
#include <freerdp/client/channels.h>
#include <freerdp/client/cmdline.h>
#include <freerdp/channels/channels.h>
#include <freerdp/channels/cliprdr.h>
#include <freerdp/error.h>
#include <freerdp/settings.h>
#include <winpr/synch.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <stdexcept>

#include "cli/process_state.h"
#include "console/wire_bytes.h"
#include "store/json.h"
#include "web/server_limits.h"

namespace hbr::rconsole {
namespace {

// Every session by its library instance; guarded by Locks().sessionMap.
std::map<freerdp*, CRdp*>& SessionMap() {
    static std::map<freerdp*, CRdp*> map;
    return map;
}

constexpr uint32_t kPerfDisableWallpaper = 0x1;
constexpr uint32_t kPerfDisableFullWindowDrag = 0x2;
constexpr uint32_t kPerfDisableMenuAnimations = 0x4;
constexpr uint32_t kPerfDisableThemes = 0x8;
constexpr DWORD kWaitSliceMs = 1000;
constexpr DWORD kMaxLibraryHandles = 32;

// A JSON number whose truncated value is not 0; `true` and other kinds leave it off.
bool OptionOn(const JsonValue& v) {
    return v.IsNumber() && v.AsInt() != 0;
}

std::string Hex(uint64_t v) {
    char text[24];
    std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(v));
    return text;
}

BOOL Authenticate(freerdp* instance, char**, char**, char**) {
    std::lock_guard lock(Locks().sessionMap);
    return CRdp::FromInstanceLocked(instance) != nullptr;
}

// Hyper-V console endpoints present self-signed certificates: accepted for this connection
// only, never stored.
DWORD VerifyCertificate(freerdp* instance, const char*, UINT16, const char*, const char*,
                        const char*, const char*, DWORD) {
    std::lock_guard lock(Locks().sessionMap);
    return CRdp::FromInstanceLocked(instance) ? 2 : 0;
}

DWORD VerifyChangedCertificate(freerdp* instance, const char*, UINT16, const char*, const char*,
                               const char*, const char*, const char*, const char*, const char*,
                               DWORD) {
    std::lock_guard lock(Locks().sessionMap);
    return CRdp::FromInstanceLocked(instance) ? 2 : 0;
}

void SetText(rdpSettings* s, size_t id, const std::string& v) {
    freerdp_settings_set_string(s, id, v.c_str());
}

}  // namespace

std::optional<ConnectRequest> ParseConnectMessage(const uint8_t* bytes, size_t length) {
    if (!bytes || length < 4 || U32(bytes) != kInputConnect) return std::nullopt;
    std::string text;
    text.reserve(length / 4);
    for (size_t i = 4; i + 4 <= length; i += 4) text.push_back(static_cast<char>(bytes[i]));
    JsonDocument doc;
    if (!ParseJson(text, doc)) return std::nullopt;
    const JsonValue& root = doc.Root();
    ConnectRequest r;
    r.pcb = std::string(root["pcb"].StringView());
    r.noWallpaper = OptionOn(root["nowallp"]);
    r.noMenuAnimations = OptionOn(root["nomani"]);
    r.noThemes = OptionOn(root["notheme"]);
    r.noTls = OptionOn(root["notls"]);
    // A depth the console does not offer asks for the default rather than failing the session.
    const JsonValue& bpp = root["bpp"];
    if (bpp.IsNumber() && IsOfferedColorDepth(static_cast<uint32_t>(bpp.AsInt())))
        r.colorDepth = static_cast<uint32_t>(bpp.AsInt());
    r.keyboardLayout = KeyboardLayoutId(root["kbd"].StringView());
    return r;
}

uint32_t PerformanceFlagsFor(const ConnectRequest& r) {
    uint32_t flags = 0x1 | kPerfDisableFullWindowDrag;
    if (r.noWallpaper) flags |= kPerfDisableWallpaper;
    if (r.noMenuAnimations) flags |= kPerfDisableMenuAnimations;
    if (r.noThemes) flags |= kPerfDisableThemes;
    return flags;
}

uint32_t KeyboardLayoutId(std::string_view name) {
    static constexpr std::pair<std::string_view, uint32_t> kLayouts[] = {
        {"en-US", 0x0409}, {"en-GB", 0x0809}, {"de", 0x0407}, {"fr", 0x040C},
        {"es", 0x040A},    {"it", 0x0410},    {"ru", 0x0419}, {"ja", 0x0411},
    };
    for (const auto& [n, id] : kLayouts)
        if (n == name) return id;
    return 0;
}

std::string ErrorInfoWords(uint32_t code) {
    // Codes the library does not know come back as its "unknown" entry: no words.
    const char* name = freerdp_get_error_info_name(code);
    const char* text = freerdp_get_error_info_string(code);
    if (!name || !text || std::string_view(name) == "ERRINFO_UNKNOWN") return {};
    return text;
}

std::string LastErrorWords(uint32_t code) {
    if (code == FREERDP_ERROR_SUCCESS) return {};
    const char* text = freerdp_get_last_error_string(code);
    const char* name = freerdp_get_last_error_name(code);
    if (!text || !name) return {};
    const std::string_view t(text), n(name);
    if (n == "ERRINFO_UNKNOWN" || t.starts_with("UNKNOWN") || t.starts_with("Unknown")) return {};
    return text;
}

std::string SecurityRefusedText(bool rdp, bool tls, bool nla, bool tlsTurnedOff) {
    std::string offered;
    auto add = [&offered](bool on, const char* name) {
        if (!on) return;
        if (!offered.empty()) offered += ", ";
        offered += name;
    };
    add(rdp, "standard RDP security");
    add(tls, "TLS");
    add(nla, "NLA (CredSSP)");
    std::string text = "E:The server accepts none of the security protocols this connection may use (" +
                       (offered.empty() ? std::string("none") : offered) + ")";
    if (tlsTurnedOff) text += "; TLS was turned off by the connect message";
    return text + ".";
}

std::string ErrorInfoText(uint32_t code, bool& running) {
    switch (code) {
        case 1:
        case 2:
        case 7:
        case 9:
            running = false;
            return {};
        case 5:
            return kOtherUserText;
        default: {
            std::string text = "E:Server reported error 0x" + Hex(code);
            if (const std::string words = ErrorInfoWords(code); !words.empty())
                text += "\nE:" + words;
            return text;
        }
    }
}

CRdp::CRdp(HttpRequest& req, AccessCheck check) : CWebSocket(req), check_(std::move(check)) {
    instance_ = freerdp_new();
    if (!instance_) throw std::runtime_error("freerdp_new failed");
    update_ = std::make_unique<Update>(*this);
    primary_ = std::make_unique<Primary>(*this);
    wakeEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    {
        std::lock_guard lock(Locks().sessionMap);
        // Unique among live sessions and not derived from an address, so it tells a browser
        // nothing about the process.
        std::random_device rd;
        auto taken = [this] {
            if (identifier_ == 0) return true;
            for (const auto& [inst, s] : SessionMap())
                if (s->identifier_ == identifier_) return true;
            return false;
        };
        while (taken()) identifier_ = (uint64_t{rd()} << 32) | rd();
        SessionMap()[instance_] = this;
    }
    instance_->ContextSize = sizeof(RdpSessionContext);
    instance_->ContextNew = OnContextNew;
    instance_->ContextFree = OnContextFree;
    instance_->Authenticate = Authenticate;
    instance_->VerifyCertificateEx = VerifyCertificate;
    instance_->VerifyChangedCertificateEx = VerifyChangedCertificate;
    if (!wakeEvent_ || !freerdp_context_new(instance_)) {
        {
            std::lock_guard lock(Locks().sessionMap);
            SessionMap().erase(instance_);
        }
        freerdp_free(instance_);
        if (wakeEvent_) CloseHandle(wakeEvent_);
        throw std::runtime_error("freerdp_context_new failed");
    }
    auto* ctx = reinterpret_cast<RdpSessionContext*>(instance_->context);
    ctx->owner = this;
    ctx->update = update_.get();
    ctx->primary = primary_.get();
    running_ = true;
}

CRdp::~CRdp() {
    // The receive party calls into this object; it leaves before anything goes.
    Shutdown();
    running_ = false;
    if (State() == SessionState::Connected) {
        state_.store(SessionState::Disconnected, std::memory_order_release);
        freerdp_disconnect(instance_);
    }
    freerdp_context_free(instance_);
    freerdp_free(instance_);
    {
        std::lock_guard lock(Locks().sessionMap);
        for (auto it = SessionMap().begin(); it != SessionMap().end();)
            it = it->first == instance_ ? SessionMap().erase(it) : std::next(it);
        cursors_.clear();
    }
    CloseHandle(wakeEvent_);
}

CRdp* CRdp::FromInstanceLocked(freerdp* instance) {
    const auto it = SessionMap().find(instance);
    return it == SessionMap().end() ? nullptr : it->second;
}

bool CRdp::WithSessionLocked(std::string_view idText, const std::function<bool(const CRdp&)>& f) {
    for (const auto& [instance, session] : SessionMap())
        if (session->IdentifierText() == idText) return f(*session);
    return false;
}

size_t CRdp::LiveSessions() {
    std::lock_guard lock(Locks().sessionMap);
    return SessionMap().size();
}

BOOL CRdp::OnContextNew(freerdp* instance, rdpContext* context) {
    std::lock_guard lock(Locks().sessionMap);
    CRdp* self = FromInstanceLocked(instance);
    if (!self) return TRUE;
    instance->PreConnect = OnPreConnect;
    instance->PostConnect = OnPostConnect;
    self->context_ = context;
    self->input_ = context->input;
    self->settings_ = context->settings;
    return TRUE;
}

void CRdp::OnContextFree(freerdp*, rdpContext* context) {
    if (context && context->cache) {
        cache_free(context->cache);
        context->cache = nullptr;
    }
}

BOOL CRdp::OnPreConnect(freerdp* instance) {
    rdpContext* context = instance->context;
    rdpSettings* s = context->settings;
    InstallUpdateCallbacks(context);
    const CRdp* self = reinterpret_cast<RdpSessionContext*>(context)->owner;
    freerdp_settings_set_uint32(s, FreeRDP_ColorDepth,
                                self ? self->colorDepth_ : kDefaultColorDepth);
    BYTE* orders = s->OrderSupport;
    if (orders) {
        for (int i : {NEG_DSTBLT_INDEX, NEG_PATBLT_INDEX, NEG_SCRBLT_INDEX, NEG_LINETO_INDEX,
                      NEG_OPAQUE_RECT_INDEX, NEG_MULTIOPAQUERECT_INDEX, NEG_FAST_INDEX_INDEX,
                      NEG_POLYLINE_INDEX, NEG_FAST_GLYPH_INDEX, NEG_GLYPH_INDEX_INDEX})
            orders[i] = TRUE;
        for (int i : {NEG_MEMBLT_INDEX, NEG_MEM3BLT_INDEX, NEG_DRAWNINEGRID_INDEX,
                      NEG_MULTI_DRAWNINEGRID_INDEX, NEG_SAVEBITMAP_INDEX, NEG_MEMBLT_V2_INDEX,
                      NEG_MEM3BLT_V2_INDEX, NEG_MULTIDSTBLT_INDEX, NEG_MULTIPATBLT_INDEX,
                      NEG_MULTISCRBLT_INDEX, NEG_POLYGON_SC_INDEX, NEG_POLYGON_CB_INDEX,
                      NEG_ELLIPSE_SC_INDEX, NEG_ELLIPSE_CB_INDEX})
            orders[i] = FALSE;
    }
    // Only what the browser draws: bitmap updates, the relayed orders and pointers. No
    // surface commands, codecs, caches whose orders go unrelayed, or graphics pipeline.
    for (size_t id : {FreeRDP_RemoteFxCodec, FreeRDP_NSCodec, FreeRDP_JpegCodec,
                      FreeRDP_SupportGraphicsPipeline, FreeRDP_GfxH264,
                      FreeRDP_SurfaceCommandsEnabled, FreeRDP_FrameMarkerCommandEnabled,
                      FreeRDP_SurfaceFrameMarkerEnabled, FreeRDP_BitmapCacheEnabled,
                      FreeRDP_SupportMonitorLayoutPdu})
        freerdp_settings_set_bool(s, id, FALSE);
    // An order the session did not announce is taken (and named to the browser, see
    // NoteUnagreedOutput) rather than ending the session without saying what it was.
    freerdp_settings_set_bool(s, FreeRDP_AllowUnanouncedOrdersFromServer, TRUE);
    freerdp_settings_set_uint32(s, FreeRDP_OffscreenSupportLevel, 0);
    freerdp_settings_set_uint32(s, FreeRDP_GlyphSupportLevel, GLYPH_SUPPORT_NONE);
    freerdp_settings_set_bool(s, FreeRDP_FastPathOutput, TRUE);
    freerdp_settings_set_bool(s, FreeRDP_ColorPointerFlag, TRUE);
    freerdp_settings_set_bool(s, FreeRDP_DesktopResize, TRUE);
    // Text both ways over the clipboard channel; the library loads its built-in addin.
    freerdp_settings_set_bool(s, FreeRDP_RedirectClipboard, TRUE);
    PubSub_SubscribeChannelConnected(context->pubSub, OnChannelConnected);
    PubSub_SubscribeChannelDisconnected(context->pubSub, OnChannelDisconnected);
    // The channel addins are built into the client library; its table is where the library
    // looks them up, once registered (process-wide, once).
    static std::once_flag providerOnce;
    std::call_once(providerOnce, [] {
        freerdp_register_addin_provider(freerdp_channels_load_static_addin_entry, 0);
    });
    // Only this channel: the library's general loader would add device redirection too.
    // With ENTRYEX the library hands back the extended entry under the plain entry's type.
    const auto entry = reinterpret_cast<PVIRTUALCHANNELENTRYEX>(
        reinterpret_cast<void*>(freerdp_load_channel_addin_entry(
            CLIPRDR_SVC_CHANNEL_NAME, nullptr, nullptr,
            FREERDP_ADDIN_CHANNEL_STATIC | FREERDP_ADDIN_CHANNEL_ENTRYEX)));
    if (!entry || freerdp_channels_client_load_ex(context->channels, s, entry, nullptr) != 0)
        return FALSE;
    // Display control rides on the dynamic channels: their static carrier and the one plugin.
    freerdp_settings_set_bool(s, FreeRDP_SupportDisplayControl, TRUE);
    freerdp_settings_set_bool(s, FreeRDP_SupportDynamicChannels, TRUE);
    char dispName[] = "disp";
    char* dispArgs[] = {dispName};
    if (!freerdp_client_add_dynamic_channel(s, 1, dispArgs)) return FALSE;
    const auto dynamicEntry = reinterpret_cast<PVIRTUALCHANNELENTRYEX>(
        reinterpret_cast<void*>(freerdp_load_channel_addin_entry(
            "drdynvc", nullptr, nullptr,
            FREERDP_ADDIN_CHANNEL_STATIC | FREERDP_ADDIN_CHANNEL_ENTRYEX)));
    if (!dynamicEntry ||
        freerdp_channels_client_load_ex(context->channels, s, dynamicEntry, s) != 0)
        return FALSE;
    context->cache = cache_new(s);
    return context->cache != nullptr;
}

BOOL CRdp::OnPostConnect(freerdp* instance) {
    auto* ctx = reinterpret_cast<RdpSessionContext*>(instance->context);
    CRdp* self = ctx->owner;
    if (!self) return FALSE;
    self->SendText("S:" + self->IdentifierText());
    RegisterPointerClass(instance->context);
    pointer_cache_register_callbacks(instance->context->update);
    self->SendText(kConnectedText);
    if (instance->context->update->DesktopResize)
        instance->context->update->DesktopResize(instance->context);
    return TRUE;
}

std::string CRdp::IdentifierText() const {
    return Hex(identifier_);
}

void CRdp::Serve() {
    CWebSocket::Serve();
    RunSession();
}

void CRdp::Wake() {
    SetEvent(wakeEvent_);
}

void CRdp::OnClosed() {
    Wake();
}

void CRdp::OnBinaryMessage(const uint8_t* bytes, size_t length) {
    if (!bytes || length < 4) return;
    if (U32(bytes) == kInputConnect) {
        if (State() != SessionState::AwaitingConnect) return;
        auto request = ParseConnectMessage(bytes, length);
        if (!request) return;
        // The rights follow from what the id turns out to name, not from how it looks: a
        // server id written like a VM id still needs the server's claim.
        request->target = ResolveConsoleTarget(request->pcb);
        if (request->target.kind == ConsoleTarget::Kind::None)
            request->refusal = kUnknownTargetText;
        else if (check_ && !check_(request->target))
            request->refusal = kAccessDeniedText;
        {
            std::lock_guard lock(inputMutex_);
            connectRequest_ = std::move(request);
        }
        // The request is in place before the state names it.
        auto expected = SessionState::AwaitingConnect;
        state_.compare_exchange_strong(expected, SessionState::ReadyToConnect,
                                       std::memory_order_acq_rel);
        Wake();
        return;
    }
    if (State() != SessionState::Connected) return;
    if (U32(bytes) == kInputClipboard) return OnClipboardMessage(bytes, length);
    if (U32(bytes) == kInputResize) {
        if (auto size = ParseResizeMessage(bytes, length)) {
            {
                std::lock_guard lock(inputMutex_);
                wantedSize_ = size;
            }
            Wake();
        }
        return;
    }
    std::vector<InputEvent> events;
    ParseInput(bytes, length, events);
    if (events.empty()) return;
    {
        std::lock_guard lock(inputMutex_);
        if (inputQueue_.size() + events.size() > kMaxQueuedInput) return;  // a flood
        inputQueue_.insert(inputQueue_.end(), events.begin(), events.end());
    }
    Wake();
}

void CRdp::ApplyQueuedInput() {
    std::vector<InputEvent> events;
    {
        std::lock_guard lock(inputMutex_);
        events.swap(inputQueue_);
    }
    for (const auto& e : events) ApplyInput(input_, e);
}

void CRdp::ApplyConnectRequest(const ConnectRequest& r) {
    rdpSettings* s = settings_;
    const ConsoleTarget& t = r.target;
    SetText(s, FreeRDP_ServerHostname, t.host);
    if (t.port) freerdp_settings_set_uint32(s, FreeRDP_ServerPort, t.port);
    if (t.preconnectionBlob) {
        freerdp_settings_set_bool(s, FreeRDP_SendPreconnectionPdu, TRUE);
        SetText(s, FreeRDP_PreconnectionBlob, *t.preconnectionBlob);
        freerdp_settings_set_bool(s, FreeRDP_VmConnectMode, TRUE);
    } else {
        freerdp_settings_set_bool(s, FreeRDP_SendPreconnectionPdu, FALSE);
    }
    if (!t.user.empty()) SetText(s, FreeRDP_Username, t.user);
    if (!t.domain.empty()) SetText(s, FreeRDP_Domain, t.domain);
    if (!t.password.empty()) SetText(s, FreeRDP_Password, t.password);
    if (t.user.empty() && t.password.empty()) instance_->Authenticate = nullptr;
    freerdp_settings_set_uint32(s, FreeRDP_PerformanceFlags, PerformanceFlagsFor(r));
    freerdp_settings_set_bool(s, FreeRDP_DisableWallpaper, r.noWallpaper);
    freerdp_settings_set_bool(s, FreeRDP_DisableFullWindowDrag, TRUE);
    freerdp_settings_set_bool(s, FreeRDP_DisableMenuAnims, r.noMenuAnimations);
    freerdp_settings_set_bool(s, FreeRDP_DisableThemes, r.noThemes);
    if (r.noTls) freerdp_settings_set_bool(s, FreeRDP_TlsSecurity, FALSE);
    tlsTurnedOff_ = r.noTls;
    colorDepth_ = r.colorDepth;
    // The guest turns the physical keys into characters by this layout.
    if (r.keyboardLayout) {
        freerdp_settings_set_uint32(s, FreeRDP_KeyboardLayout, r.keyboardLayout);
        if (r.keyboardLayout == 0x0411) {  // the Japanese keyboard type and its subtype
            freerdp_settings_set_uint32(s, FreeRDP_KeyboardType, 7);
            freerdp_settings_set_uint32(s, FreeRDP_KeyboardSubType, 2);
            freerdp_settings_set_uint32(s, FreeRDP_KeyboardFunctionKey, 12);
        }
    }
    // No certificate store: the process may run without a home folder to keep one in.
    freerdp_settings_set_bool(s, FreeRDP_IgnoreCertificate, TRUE);
}

void CRdp::AppendPendingText(std::string_view text) {
    if (text.empty()) return;
    if (!pendingText_.empty()) pendingText_ += '\n';
    pendingText_ += text;
}

void CRdp::RunSession() {
    // A socket that never asks for a connection holds a thread and memory for nothing.
    const auto connectBy =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(Limits().consoleConnectMs);
    while (running_) {
        const uint32_t info = freerdp_error_info(instance_);
        if (info != 0 && info != lastErrorInfo_) {
            lastErrorInfo_ = info;
            AppendPendingText(ErrorInfoText(info, running_));
            // The last reason the server gave is what the end of the session shows.
            if (std::string words = ErrorInfoWords(info); !words.empty()) endReason_ = words;
        }
        if (!pendingText_.empty()) {
            SendText(pendingText_);
            pendingText_.clear();
            if (State() == SessionState::Disconnected) break;
        }
        SendClipboardTexts();
        if (Closed()) break;
        if (!running_) break;
        switch (State()) {
            case SessionState::AwaitingConnect:
                if (std::chrono::steady_clock::now() >= connectBy) {
                    running_ = false;
                    break;
                }
                WaitForSingleObject(wakeEvent_, kWaitSliceMs);
                ResetEvent(wakeEvent_);
                break;
            case SessionState::ReadyToConnect: {
                std::optional<ConnectRequest> request;
                {
                    std::lock_guard lock(inputMutex_);
                    request.swap(connectRequest_);
                }
                if (request && !request->refusal.empty()) {
                    state_.store(SessionState::Disconnected, std::memory_order_release);
                    AppendPendingText(request->refusal);
                    break;
                }
                if (request) ApplyConnectRequest(*request);
                if (request && freerdp_connect(instance_)) {
                    state_.store(SessionState::Connected, std::memory_order_release);
                } else {
                    state_.store(SessionState::Disconnected, std::memory_order_release);
                    AppendPendingText(kConnectFailedText);
                    // What the library knows of the failure (refused, authentication,
                    // security negotiation, ...), in its words.
                    const uint32_t error = freerdp_get_last_error(context_);
                    if (std::string words = LastErrorWords(error); !words.empty())
                        AppendPendingText("E:" + words);
                    // The library does not say what the server wanted; what this side
                    // offered is known and is what the user can change.
                    if (error == FREERDP_ERROR_SECURITY_NEGO_CONNECT_FAILED)
                        AppendPendingText(SecurityRefusedText(
                            freerdp_settings_get_bool(settings_, FreeRDP_RdpSecurity),
                            freerdp_settings_get_bool(settings_, FreeRDP_TlsSecurity),
                            freerdp_settings_get_bool(settings_, FreeRDP_NlaSecurity),
                            tlsTurnedOff_));
                }
                break;
            }
            case SessionState::Connected: {
                if (freerdp_shall_disconnect(instance_)) {
                    running_ = false;
                    if (endReason_.empty()) endReason_ = kServerEndedText;
                    break;
                }
                HANDLE handles[kMaxLibraryHandles + 1];
                const DWORD n = freerdp_get_event_handles(context_, handles, kMaxLibraryHandles);
                if (n == 0) {
                    running_ = false;
                    break;
                }
                handles[n] = wakeEvent_;
                const DWORD r = WaitForMultipleObjects(n + 1, handles, FALSE, kWaitSliceMs);
                ResetEvent(wakeEvent_);
                if (Closed()) break;
                ApplyQueuedInput();
                ApplyClipboard();
                ApplyResize();
                if (r == WAIT_FAILED) break;
                // A library that cannot go on (the server dropped) ends the session.
                if (!freerdp_check_event_handles(context_)) {
                    running_ = false;
                    if (endReason_.empty()) endReason_ = LastErrorWords(freerdp_get_last_error(context_));
                    if (endReason_.empty()) endReason_ = kConnectionLostText;
                }
                break;
            }
            case SessionState::Disconnected:
                running_ = false;
                break;
        }
    }
    // "T:" and, when known, why: the page shows it with the way to reconnect.
    if (State() == SessionState::Connected && !Closed()) SendText("T:" + endReason_);
}

void CRdp::NoteUnagreedOutput(const char* kind) {
    for (const char* seen : unagreedSeen_)
        if (seen == kind) return;
    unagreedSeen_.push_back(kind);
    AppendPendingText(std::string("E:The server sent ") + kind +
                      ", drawing this session did not agree to and cannot show; parts of the "
                      "screen may be missing.");
}

uint32_t CRdp::AddCursor(std::vector<uint8_t> file) {
    std::lock_guard lock(Locks().sessionMap);
    const uint32_t id = nextCursorId_++;
    cursors_[id] = std::move(file);
    return id;
}

void CRdp::RemoveCursor(uint32_t id) {
    std::lock_guard lock(Locks().sessionMap);
    cursors_.erase(id);
}

const std::vector<uint8_t>* CRdp::CursorLocked(uint32_t id) const {
    const auto it = cursors_.find(id);
    return it == cursors_.end() ? nullptr : &it->second;
}

void CRdp::SendScreen(const Message& m, std::chrono::steady_clock::time_point since) {
    SendBinary(m.data(), m.size());
    const auto nanos = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                 std::chrono::steady_clock::now() - since)
                                                 .count());
    std::lock_guard lock(figuresMutex_);
    ++figures_.messages;
    figures_.bytes += m.size();
    figures_.sendNanos += nanos;
    figures_.maxSendNanos = std::max(figures_.maxSendNanos, nanos);
    if (figures_.sendNanosSamples.size() < Figures::kMaxSamples)
        figures_.sendNanosSamples.push_back(
            static_cast<uint32_t>(std::min<uint64_t>(nanos, UINT32_MAX)));
}

CRdp::Figures CRdp::Stats() const {
    std::lock_guard lock(figuresMutex_);
    return figures_;
}

}  // namespace hbr::rconsole
