#pragma once
// One browser console session: a WebSocket whose serving thread runs an RDP client of a VM's
// console endpoint or of a host's RDP service, relaying the screen and taking the input.
#include <freerdp/client/cliprdr.h>
#include <freerdp/client/disp.h>
#include <freerdp/freerdp.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "console/clipboard.h"
#include "console/console_input.h"
#include "console/rdp_target.h"
#include "console/screen_updates.h"
#include "console/web_socket.h"

namespace hbr::rconsole {

class CRdp;

// The library's context with the session's own fields after it.
struct RdpSessionContext {
    rdpContext base;
    CRdp* owner;
    Update* update;
    Primary* primary;
};

enum class SessionState : int32_t {
    AwaitingConnect = 0,
    ReadyToConnect = 1,
    Connected = 2,
    Disconnected = 3,
};

// What a connect message asks for.
struct ConnectRequest {
    std::string pcb;
    ConsoleTarget target;  // what `pcb` names, resolved when the message arrived
    std::string refusal;   // not empty: the "E:" text sent instead of connecting
    bool noWallpaper = false;
    bool noMenuAnimations = false;
    bool noThemes = false;
    bool noTls = false;
    uint32_t colorDepth = kDefaultColorDepth;  // "bpp": 16, 24 or 32
    uint32_t keyboardLayout = 0;  // "kbd": the guest's keyboard layout (a KLID); 0: the library's
};

// Browser message 8: u32 8, u32 width, u32 height: the size the guest's display should take
// (sent by the page only after "D:", when the server offers display control).
inline constexpr uint32_t kInputResize = 8;
inline constexpr uint32_t kMinDisplaySide = 200;
inline constexpr uint32_t kMaxDisplaySide = 8192;
inline constexpr char kDisplayControlText[] = "D:";
struct DisplaySize {
    uint32_t width = 0;
    uint32_t height = 0;
    bool operator==(const DisplaySize&) const = default;
};
// Empty unless the message is a resize message with a size the protocol allows (each side
// 200 to 8192).
std::optional<DisplaySize> ParseResizeMessage(const uint8_t* bytes, size_t length);

// The keyboard layout identifier of a layout name the page offers ("en-US", "de", ...); 0 for
// any other name.
uint32_t KeyboardLayoutId(std::string_view name);

// Empty unless the message is a connect message (code 4) whose text, one character per u32
// from each low byte, is valid JSON.
std::optional<ConnectRequest> ParseConnectMessage(const uint8_t* bytes, size_t length);

// The performance flags a request yields (TS_PERF_* bits).
uint32_t PerformanceFlagsFor(const ConnectRequest& request);

inline constexpr char kConnectFailedText[] =
    "E:Could not connect to RDP backend. Error: protocol security negotiation or connection "
    "failure.";
inline constexpr char kConnectedText[] = "C:RDP session connection started.";
inline constexpr char kAccessDeniedText[] = "E:Access Denied";
inline constexpr char kUnknownTargetText[] =
    "E:The console target is neither a known VM nor a managed server.";
inline constexpr char kOtherUserText[] =
    "E:Another user connected to the server,\nforcing the disconnection of the current "
    "connection.";

// The "E:" text for an error-info code, or empty for the codes that end the session (their
// words go with the "T:" that follows). `running` is cleared for those codes. Codes without
// a text of their own add a second line with the RDP library's words for them.
std::string ErrorInfoText(uint32_t code, bool& running);

// The RDP library's words for an error-info code, or for one of its own connection errors;
// empty for codes it has no words for.
std::string ErrorInfoWords(uint32_t code);
std::string LastErrorWords(uint32_t code);

// The "E:" text for a connection whose security negotiation failed: the protocols this
// connection offered, and whether the connect message turned TLS off ("notls").
std::string SecurityRefusedText(bool rdp, bool tls, bool nla, bool tlsTurnedOff);

// Why a connected session ended, after "T:", when neither the server nor the library said.
inline constexpr char kConnectionLostText[] = "The connection to the server was lost.";
inline constexpr char kServerEndedText[] = "The server ended the session.";

class CRdp : public CWebSocket {
  public:
    // May refuse the target the connect message names (the browser is then told so and the
    // session ends); empty: every target.
    using AccessCheck = std::function<bool(const ConsoleTarget& target)>;

    explicit CRdp(HttpRequest& request, AccessCheck check = {});
    ~CRdp() override;

    void Serve() override;
    void OnBinaryMessage(const uint8_t* bytes, size_t length) override;

    SessionState State() const { return state_.load(std::memory_order_acquire); }
    uint64_t Identifier() const { return identifier_; }
    std::string IdentifierText() const;

    // For the drawing and pointer callbacks, on the serving thread.
    rdpSettings* Settings() const { return settings_; }
    rdpContext* Context() const { return context_; }
    uint32_t AddCursor(std::vector<uint8_t> file);  // the new id
    void RemoveCursor(uint32_t id);
    // Under the session-map lock held by the caller.
    const std::vector<uint8_t>* CursorLocked(uint32_t id) const;

    // Figures for the benchmark: bytes of screen messages and the time spent sending them.
    struct Figures {
        uint64_t messages = 0;
        uint64_t bytes = 0;
        uint64_t sendNanos = 0;
        uint64_t maxSendNanos = 0;
        // Each message's callback-to-written time, for percentiles; the first kMaxSamples.
        std::vector<uint32_t> sendNanosSamples;
        static constexpr size_t kMaxSamples = 1 << 20;
    };
    Figures Stats() const;
    // Sends a screen or pointer message; `since` is when its callback began.
    void SendScreen(const Message& message, std::chrono::steady_clock::time_point since);

    // A drawing order or command the session did not agree to arrived; the browser is told
    // once per kind. Serving thread.
    void NoteUnagreedOutput(const char* kind);

    // Live sessions, for the tests' leak checks.
    static size_t LiveSessions();

    // Used by the library callbacks.
    static CRdp* FromInstanceLocked(freerdp* instance);
    // Under the session-map lock held by the caller: `f` on the session whose identifier
    // text is exactly `idText`; false when none is.
    static bool WithSessionLocked(std::string_view idText,
                                  const std::function<bool(const CRdp&)>& f);
    static BOOL OnContextNew(freerdp* instance, rdpContext* context);
    static void OnContextFree(freerdp* instance, rdpContext* context);
    static BOOL OnPreConnect(freerdp* instance);
    static BOOL OnPostConnect(freerdp* instance);
    // The clipboard channel's callbacks (clipboard_channel.cpp).
    static void OnChannelConnected(void* context, ChannelConnectedEventArgs* e);
    static void OnChannelDisconnected(void* context, ChannelDisconnectedEventArgs* e);
    static UINT OnDispCaps(DispClientContext* d, UINT32 maxMonitors, UINT32 a, UINT32 b);
    static UINT OnClipMonitorReady(CliprdrClientContext* c, const CLIPRDR_MONITOR_READY* m);
    static UINT OnClipServerCapabilities(CliprdrClientContext* c, const CLIPRDR_CAPABILITIES* caps);
    static UINT OnClipServerFormatListResponse(CliprdrClientContext* c,
                                               const CLIPRDR_FORMAT_LIST_RESPONSE* response);
    static UINT OnClipServerFormatList(CliprdrClientContext* c, const CLIPRDR_FORMAT_LIST* list);
    static UINT OnClipServerFormatDataRequest(CliprdrClientContext* c,
                                              const CLIPRDR_FORMAT_DATA_REQUEST* request);
    static UINT OnClipServerFormatDataResponse(CliprdrClientContext* c,
                                               const CLIPRDR_FORMAT_DATA_RESPONSE* response);

  protected:
    void OnClosed() override;

  private:
    void RunSession();
    void ApplyConnectRequest(const ConnectRequest& request);
    void ApplyQueuedInput();
    void AppendPendingText(std::string_view text);
    void Wake();
    // Clipboard, on the serving thread: the browser's text offered to the guest, the notices
    // and guest texts waiting for the browser.
    void OnClipboardMessage(const uint8_t* bytes, size_t length);  // receive thread
    void ApplyClipboard();
    void SendClipboardTexts();
    void QueueBrowserText(std::string text);
    void OnDisplayChannel(DispClientContext* d, bool up);
    void ApplyResize();
    UINT AnnounceClipboardLocked();

    freerdp* instance_ = nullptr;
    rdpContext* context_ = nullptr;
    rdpInput* input_ = nullptr;
    rdpSettings* settings_ = nullptr;
    std::unique_ptr<Update> update_;
    std::unique_ptr<Primary> primary_;
    std::string pendingText_;
    std::string endReason_;  // words after "T:", from the server's error info
    uint32_t lastErrorInfo_ = 0;
    std::atomic<SessionState> state_{SessionState::AwaitingConnect};
    uint32_t nextCursorId_ = 1;
    std::map<uint32_t, std::vector<uint8_t>> cursors_;  // under the session-map lock
    bool running_ = false;
    uint32_t colorDepth_ = kDefaultColorDepth;  // asked for at connect; the server may lower it
    bool tlsTurnedOff_ = false;                 // the connect message's "notls"
    std::vector<const char*> unagreedSeen_;     // kinds of unagreed output already named
    uint64_t identifier_ = 0;
    AccessCheck check_;
    void* wakeEvent_ = nullptr;  // winpr event: input queued, connect requested, socket gone

    std::mutex inputMutex_;  // guards the hand-over from the receive thread
    std::optional<ConnectRequest> connectRequest_;
    std::vector<InputEvent> inputQueue_;
    ClipboardAssembler clipAssembler_;          // receive thread only
    std::optional<std::string> clipFromBrowser_;  // under inputMutex_: the last whole text
    std::vector<std::string> textsForBrowser_;  // under inputMutex_: one message each
    std::optional<DisplaySize> wantedSize_;     // under inputMutex_: the page's last size

    std::mutex dispMutex_;
    DispClientContext* disp_ = nullptr;  // while the display control channel is up
    bool dispReady_ = false;             // its capabilities arrived

    // Under clipMutex_: the clipboard channel calls back on a thread of its own.
    std::mutex clipMutex_;
    CliprdrClientContext* cliprdr_ = nullptr;  // while the clipboard channel is up
    bool clipReady_ = false;                    // the server's monitor is ready
    std::vector<uint8_t> clipForGuest_;         // CF_UNICODETEXT the guest may ask for
    bool clipRequested_ = false;                // a data request to the server is open

    mutable std::mutex figuresMutex_;
    Figures figures_;
};

// Most input events one session keeps waiting; messages beyond it are dropped whole.
inline constexpr size_t kMaxQueuedInput = 16384;

}  // namespace hbr::rconsole
