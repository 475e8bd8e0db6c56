// A small RDP server for the console's channel tests, built on FreeRDP's server library: it
// accepts one client at a time on 127.0.0.1 and offers the clipboard channel, whose text it
// takes from its standard input and reports on its standard output, one line each.
//
// It also offers display control and follows the layouts the client sends ("LAYOUT <w>x<h>").
// Output: "PORT <n>" once listening; "KEYBOARD <layout, 8 hex digits>" and "ACTIVE" once a
// client is connected; "UNICODE down|up <hex>" for each Unicode key event; "CLIPREADY" once the
// client answered the clipboard's monitor-ready; "FORMATS <ids>" for each format list the
// client announces; "PASTE <hex>" with the bytes of each CF_UNICODETEXT the client sent.
// Input: "COPY <hex>" announces text and answers the client's request with exactly those
// bytes (so a test can hand the client malformed data); "COPYA <n>" the same with n letters
// 'a' and a NUL; "MEMBLT" sends a surface command (which the console declines);
// "QUIT" ends the program.
// Options: "--security tls|nla|rdp" the only security the server accepts (default tls).
#include <freerdp/channels/channels.h>
#include <freerdp/channels/wtsvc.h>
#include <freerdp/freerdp.h>
#include <freerdp/listener.h>
#include <freerdp/peer.h>
#include <freerdp/server/cliprdr.h>
#include <freerdp/server/disp.h>
#include <freerdp/settings.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <winpr/synch.h>
#include <winpr/user.h>
#include <winpr/wtsapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

std::mutex outMutex;
void Say(const std::string& line) {
    std::lock_guard lock(outMutex);
    std::cout << line << std::endl;
}

std::string Hex(const uint8_t* p, size_t n) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    s.reserve(n * 2);
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

std::vector<uint8_t> Unhex(const std::string& s) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < s.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(s.substr(i, 2), nullptr, 16)));
    return out;
}

// A throw-away self-signed certificate for TLS.
bool WriteCertificate(const std::string& certPath, const std::string& keyPath) {
    EVP_PKEY* key = EVP_RSA_gen(2048);
    X509* cert = X509_new();
    if (!key || !cert) return false;
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    bool ok = X509_sign(cert, key, EVP_sha256()) > 0;
    FILE* c = std::fopen(certPath.c_str(), "w");
    FILE* k = std::fopen(keyPath.c_str(), "w");
    ok = ok && c && k && PEM_write_X509(c, cert) && PEM_write_PrivateKey(k, key, nullptr, nullptr, 0, nullptr, nullptr);
    if (c) std::fclose(c);
    if (k) std::fclose(k);
    X509_free(cert);
    EVP_PKEY_free(key);
    return ok;
}

std::string gCert, gKey, gSecurity = "tls";

std::mutex clipMutex;
std::vector<uint8_t> gCopy;                 // what the server's clipboard answers
CliprdrServerContext* gCliprdr = nullptr;  // of the connected client

UINT OnClientCapabilities(CliprdrServerContext*, const CLIPRDR_CAPABILITIES*) {
    return CHANNEL_RC_OK;
}

UINT OnClientFormatList(CliprdrServerContext* c, const CLIPRDR_FORMAT_LIST* list) {
    CLIPRDR_FORMAT_LIST_RESPONSE answer{};
    answer.msgType = CB_FORMAT_LIST_RESPONSE;
    answer.msgFlags = CB_RESPONSE_OK;
    c->ServerFormatListResponse(c, &answer);
    std::string ids;
    bool text = false;
    for (UINT32 i = 0; i < list->numFormats; ++i) {
        ids += (i ? "," : "") + std::to_string(list->formats[i].formatId);
        text = text || list->formats[i].formatId == CF_UNICODETEXT;
    }
    // The first list follows the monitor-ready: the client is ready from then on.
    static bool ready = false;
    if (!ready) {
        ready = true;
        Say("CLIPREADY");
    }
    Say("FORMATS " + ids);
    if (text) {
        CLIPRDR_FORMAT_DATA_REQUEST request{};
        request.msgType = CB_FORMAT_DATA_REQUEST;
        request.dataLen = 4;  // the library writes the header's length as given
        request.requestedFormatId = CF_UNICODETEXT;
        c->ServerFormatDataRequest(c, &request);
    }
    return CHANNEL_RC_OK;
}

UINT OnClientFormatDataResponse(CliprdrServerContext*, const CLIPRDR_FORMAT_DATA_RESPONSE* r) {
    if (r->msgFlags & CB_RESPONSE_OK)
        Say("PASTE " + Hex(r->requestedFormatData, r->requestedFormatData ? r->dataLen : 0));
    else
        Say("PASTEFAIL");
    return CHANNEL_RC_OK;
}

UINT OnClientFormatDataRequest(CliprdrServerContext* c, const CLIPRDR_FORMAT_DATA_REQUEST*) {
    std::lock_guard lock(clipMutex);
    CLIPRDR_FORMAT_DATA_RESPONSE r{};
    r.msgType = CB_FORMAT_DATA_RESPONSE;
    r.msgFlags = CB_RESPONSE_OK;
    r.dataLen = static_cast<UINT32>(gCopy.size());
    r.requestedFormatData = gCopy.data();
    return c->ServerFormatDataResponse(c, &r);
}

UINT OnClientFormatListResponse(CliprdrServerContext*, const CLIPRDR_FORMAT_LIST_RESPONSE*) {
    return CHANNEL_RC_OK;
}

void Offer(std::vector<uint8_t> bytes) {
    std::lock_guard lock(clipMutex);
    gCopy = std::move(bytes);
    if (!gCliprdr) return;
    CLIPRDR_FORMAT text{};
    text.formatId = CF_UNICODETEXT;
    CLIPRDR_FORMAT_LIST list{};
    list.msgType = CB_FORMAT_LIST;
    list.numFormats = 1;
    list.formats = &text;
    gCliprdr->ServerFormatList(gCliprdr, &list);
}

// Channels may carry data only once the client is active: before, it reads every PDU as part
// of the connection sequence (licensing).
thread_local bool tActive = false;

// The display control channel's thread hands the size to the peer's thread, which resizes.
std::mutex sizeMutex;
UINT32 gWantedWidth = 0, gWantedHeight = 0;
HANDLE gResizeEvent = nullptr;

std::atomic<bool> gSendMemBlt{false};

UINT OnMonitorLayout(DispServerContext*, const DISPLAY_CONTROL_MONITOR_LAYOUT_PDU* pdu) {
    if (!pdu || pdu->NumMonitors < 1 || !pdu->Monitors) return CHANNEL_RC_OK;
    const UINT32 w = pdu->Monitors[0].Width, h = pdu->Monitors[0].Height;
    Say("LAYOUT " + std::to_string(w) + "x" + std::to_string(h));
    {
        std::lock_guard lock(sizeMutex);
        gWantedWidth = w;
        gWantedHeight = h;
    }
    SetEvent(gResizeEvent);
    return CHANNEL_RC_OK;
}

BOOL OnActivate(freerdp_peer* peer) {
    if (!tActive) {
        char layout[16];
        std::snprintf(layout, sizeof layout, "%08x",
                      freerdp_settings_get_uint32(peer->settings, FreeRDP_KeyboardLayout));
        Say(std::string("KEYBOARD ") + layout);
        Say("ACTIVE");
    }
    tActive = true;
    return TRUE;
}

void ServePeer(freerdp_peer* peer) {
    freerdp_peer_context_new(peer);
    rdpSettings* s = peer->settings;
    freerdp_settings_set_string(s, FreeRDP_CertificateFile, gCert.c_str());
    freerdp_settings_set_string(s, FreeRDP_PrivateKeyFile, gKey.c_str());
    freerdp_settings_set_string(s, FreeRDP_RdpKeyFile, gKey.c_str());
    freerdp_settings_set_bool(s, FreeRDP_TlsSecurity, gSecurity == "tls");
    freerdp_settings_set_bool(s, FreeRDP_NlaSecurity, gSecurity == "nla");
    freerdp_settings_set_bool(s, FreeRDP_RdpSecurity, gSecurity == "rdp");
    freerdp_settings_set_bool(s, FreeRDP_UnicodeInput, TRUE);  // announced in the input caps
    freerdp_settings_set_bool(s, FreeRDP_RemoteFxCodec, FALSE);
    freerdp_settings_set_bool(s, FreeRDP_NSCodec, FALSE);
    peer->PostConnect = [](freerdp_peer*) -> BOOL { return TRUE; };
    // Characters the client sends as Unicode: "UNICODE <down|up> <UTF-16 unit, 4 hex digits>".
    peer->input->UnicodeKeyboardEvent = [](rdpInput*, UINT16 flags, UINT16 code) -> BOOL {
        char text[40];
        std::snprintf(text, sizeof text, "UNICODE %s %04x", (flags & KBD_FLAGS_RELEASE) ? "up" : "down", code);
        Say(text);
        return TRUE;
    };
    peer->Activate = OnActivate;
    peer->Initialize(peer);
    HANDLE vcm = WTSOpenServerA(reinterpret_cast<LPSTR>(peer->context));
    CliprdrServerContext* cliprdr = nullptr;
    DispServerContext* disp = nullptr;
    bool dispCaps = false;
    for (;;) {
        HANDLE handles[40];
        DWORD n = peer->GetEventHandles(peer, handles, 32);
        if (n == 0) break;
        handles[n++] = WTSVirtualChannelManagerGetEventHandle(vcm);
        handles[n++] = gResizeEvent;
        if (WaitForMultipleObjects(n, handles, FALSE, INFINITE) == WAIT_FAILED) break;
        if (!peer->CheckFileDescriptor(peer)) break;
        if (!WTSVirtualChannelManagerCheckFileDescriptor(vcm)) break;
        if (WaitForSingleObject(gResizeEvent, 0) == WAIT_OBJECT_0) {
            ResetEvent(gResizeEvent);
            std::lock_guard lock(sizeMutex);
            freerdp_settings_set_uint32(s, FreeRDP_DesktopWidth, gWantedWidth);
            freerdp_settings_set_uint32(s, FreeRDP_DesktopHeight, gWantedHeight);
            peer->update->DesktopResize(peer->context);
        }
        if (tActive && gSendMemBlt.exchange(false)) {
            // A MemBlt order, which the client said it does not take.
            MEMBLT_ORDER order{};
            order.nLeftRect = 10;
            order.nTopRect = 10;
            order.nWidth = 8;
            order.nHeight = 8;
            order.bRop = 0xCC;
            peer->update->BeginPaint(peer->context);
            peer->update->primary->MemBlt(peer->context, &order);
            peer->update->EndPaint(peer->context);
        }
        if (!disp && tActive &&
            WTSVirtualChannelManagerGetDrdynvcState(vcm) == DRDYNVC_STATE_READY) {
            disp = disp_server_context_new(vcm);
            disp->rdpcontext = peer->context;
            disp->MaxNumMonitors = 1;
            disp->MaxMonitorAreaFactorA = 8192;
            disp->MaxMonitorAreaFactorB = 8192;
            disp->DispMonitorLayout = OnMonitorLayout;
            if (disp->Open(disp) != CHANNEL_RC_OK) Say("DISPFAIL");
        }
        // The capabilities go once the client has taken the channel.
        if (disp && !dispCaps && disp->DisplayControlCaps(disp) == CHANNEL_RC_OK) dispCaps = true;
        if (!cliprdr && tActive && WTSVirtualChannelManagerIsChannelJoined(vcm, CLIPRDR_SVC_CHANNEL_NAME)) {
            cliprdr = cliprdr_server_context_new(vcm);
            cliprdr->rdpcontext = peer->context;
            cliprdr->autoInitializationSequence = TRUE;
            cliprdr->useLongFormatNames = TRUE;
            cliprdr->ClientCapabilities = OnClientCapabilities;
            cliprdr->ClientFormatList = OnClientFormatList;
            cliprdr->ClientFormatListResponse = OnClientFormatListResponse;
            cliprdr->ClientFormatDataRequest = OnClientFormatDataRequest;
            cliprdr->ClientFormatDataResponse = OnClientFormatDataResponse;
            if (cliprdr->Start(cliprdr) == CHANNEL_RC_OK) {
                std::lock_guard lock(clipMutex);
                gCliprdr = cliprdr;
            }
        }
    }
    {
        std::lock_guard lock(clipMutex);
        gCliprdr = nullptr;
    }
    if (disp) {
        disp->Close(disp);
        disp_server_context_free(disp);
    }
    if (cliprdr) {
        cliprdr->Stop(cliprdr);
        cliprdr_server_context_free(cliprdr);
    }
    WTSCloseServer(vcm);
    peer->Disconnect(peer);
    freerdp_peer_context_free(peer);
    freerdp_peer_free(peer);
    Say("GONE");
}

BOOL OnPeerAccepted(freerdp_listener*, freerdp_peer* peer) {
    std::thread(ServePeer, peer).detach();
    return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i + 1 < argc; i += 2)
        if (std::string(argv[i]) == "--security") gSecurity = argv[i + 1];
    char dir[] = "/tmp/channel-rdp-XXXXXX";
    if (!mkdtemp(dir)) return 1;
    gCert = std::string(dir) + "/cert.pem";
    gKey = std::string(dir) + "/key.pem";
    if (!WriteCertificate(gCert, gKey)) return 1;
    WTSRegisterWtsApiFunctionTable(FreeRDP_InitWtsApi());
    gResizeEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);

    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 8) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return 1;
    freerdp_listener* listener = freerdp_listener_new();
    listener->PeerAccepted = OnPeerAccepted;
    if (!listener->OpenFromSocket(listener, fd)) return 1;
    Say("PORT " + std::to_string(ntohs(a.sin_port)));

    std::thread input([] {
        std::string line;
        while (std::getline(std::cin, line)) {
            if (line.rfind("COPY ", 0) == 0) {
                Offer(Unhex(line.substr(5)));
            } else if (line.rfind("COPYA ", 0) == 0) {
                std::vector<uint8_t> bytes(2 * std::stoul(line.substr(6)), 0);
                for (size_t i = 0; i < bytes.size(); i += 2) bytes[i] = 'a';
                bytes.push_back(0);
                bytes.push_back(0);
                Offer(std::move(bytes));
            } else if (line == "MEMBLT") {
                gSendMemBlt = true;
                SetEvent(gResizeEvent);
            } else if (line == "QUIT") {
                break;
            }
        }
        std::_Exit(0);
    });
    input.detach();
    for (;;) {
        HANDLE handles[32];
        const DWORD n = listener->GetEventHandles(listener, handles, 32);
        if (n == 0 || WaitForMultipleObjects(n, handles, FALSE, INFINITE) == WAIT_FAILED) break;
        if (!listener->CheckFileDescriptor(listener)) break;
    }
    return 0;
}
