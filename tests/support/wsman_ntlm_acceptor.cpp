#include "support/wsman_ntlm_acceptor.h"

#include <gssapi/gssapi.h>
#include <gssapi/gssapi_ntlmssp.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace hbr::wsmantest {

namespace {

gss_OID_desc kNtlmOid = {GSS_NTLMSSP_OID_LENGTH, const_cast<char*>(GSS_NTLMSSP_OID_STRING)};

std::uint32_t Le32(const std::string& s, std::size_t at) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(s[at])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(s[at + 1])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(s[at + 2])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(s[at + 3])) << 24;
}

void PutLe32(std::string& s, std::size_t at, std::uint32_t v) {
    for (std::size_t i = 0; i < 4; ++i) s[at + i] = static_cast<char>(v >> (8 * i));
}

// libcurl's messages are valid NTLM that gss-ntlmssp reads too strictly: a NEGOTIATE without the
// optional version field is 32 bytes (it reads 40, so the empty version is added), and an
// AUTHENTICATE without the version field has its payload where gss-ntlmssp expects the version
// (so an empty version is put in and the field offsets move past it).
std::string Normalise(std::string token) {
    if (token.size() < 12 || std::memcmp(token.data(), "NTLMSSP", 8) != 0) return token;
    const std::uint32_t type = Le32(token, 8);
    if (type == 1 && token.size() == 32 && (Le32(token, 16) & 0xffff) == 0 &&
        (Le32(token, 24) & 0xffff) == 0)
        token.append(8, '\0');
    if (type == 3 && token.size() >= 64) {
        constexpr std::size_t kHeader = 64;  // signature, type, six fields, flags
        std::uint32_t first = static_cast<std::uint32_t>(token.size());
        for (std::size_t field = 12; field <= 52; field += 8)
            if ((Le32(token, field) & 0xffff) != 0) first = std::min(first, Le32(token, field + 4));
        if (first == kHeader) {
            token.insert(kHeader, 8, '\0');
            for (std::size_t field = 12; field <= 52; field += 8)
                if ((Le32(token, field) & 0xffff) != 0)
                    PutLe32(token, field + 4, Le32(token, field + 4) + 8);
        }
    }
    return token;
}

// gss-ntlmssp keeps memory it never frees (a digest it fetches, parts of every credential); the
// leak checker of sanitized builds is told to look away during its calls, and only then.
struct LibraryAllocations {
#if defined(__SANITIZE_ADDRESS__)
    LibraryAllocations() {
        __lsan_disable();
    }
    ~LibraryAllocations() {
        __lsan_enable();
    }
#endif
};

}  // namespace

struct NtlmAcceptor::Context::State {
    gss_cred_id_t cred = GSS_C_NO_CREDENTIAL;
    gss_ctx_id_t ctx = GSS_C_NO_CONTEXT;
    void Reset() {
        [[maybe_unused]] LibraryAllocations quiet;
        OM_uint32 minor = 0;
        if (ctx != GSS_C_NO_CONTEXT) gss_delete_sec_context(&minor, &ctx, GSS_C_NO_BUFFER);
        if (cred != GSS_C_NO_CREDENTIAL) gss_release_cred(&minor, &cred);
        ctx = GSS_C_NO_CONTEXT;
        cred = GSS_C_NO_CREDENTIAL;
    }
    ~State() { Reset(); }
};

NtlmAcceptor::Context::Context() : state(std::make_unique<State>()) {}
NtlmAcceptor::Context::~Context() = default;

NtlmAcceptor::NtlmAcceptor(std::string domain, std::string user, std::string password) {
    char tmpl[] = "/tmp/hbr-wsman-ntlm-XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("wsman test server: no folder for NTLM users");
    dir_ = tmpl;
    file_ = dir_ + "/users";
    {
        std::ofstream out(file_);
        out << domain << ':' << user << ':' << password << '\n';
        if (!out) throw std::runtime_error("wsman test server: cannot write the NTLM users");
    }
    setenv("NTLM_USER_FILE", file_.c_str(), 1);
}

NtlmAcceptor::~NtlmAcceptor() {
    unlink(file_.c_str());
    rmdir(dir_.c_str());
}

NtlmAcceptor::Result NtlmAcceptor::Step(Context& context, const std::string& token,
                                        std::string& out, std::string& user) {
    auto& st = *context.state;
    [[maybe_unused]] LibraryAllocations quiet;
    OM_uint32 minor = 0;
    if (token.size() >= 12 && std::memcmp(token.data(), "NTLMSSP", 8) == 0 && Le32(token, 8) == 1)
        st.Reset();  // a new handshake on this connection
    if (st.cred == GSS_C_NO_CREDENTIAL) {
        gss_OID_set_desc mechs = {1, &kNtlmOid};
        if (GSS_ERROR(gss_acquire_cred(&minor, GSS_C_NO_NAME, GSS_C_INDEFINITE, &mechs,
                                       GSS_C_ACCEPT, &st.cred, nullptr, nullptr)))
            return Result::Failed;
    }
    std::string in = Normalise(token);
    gss_buffer_desc input{in.size(), in.data()};
    gss_buffer_desc output = GSS_C_EMPTY_BUFFER;
    gss_name_t source = GSS_C_NO_NAME;
    OM_uint32 major =
        gss_accept_sec_context(&minor, &st.ctx, st.cred, &input, GSS_C_NO_CHANNEL_BINDINGS, &source,
                               nullptr, &output, nullptr, nullptr, nullptr);
    out.assign(static_cast<const char*>(output.value), output.length);
    gss_release_buffer(&minor, &output);
    Result result = Result::Failed;
    if (major == GSS_S_CONTINUE_NEEDED) {
        result = Result::Continue;
    } else if (!GSS_ERROR(major)) {
        gss_buffer_desc shown = GSS_C_EMPTY_BUFFER;
        if (!GSS_ERROR(gss_display_name(&minor, source, &shown, nullptr))) {
            user.assign(static_cast<const char*>(shown.value), shown.length);
            result = user.empty() ? Result::Failed : Result::Done;
        }
        gss_release_buffer(&minor, &shown);
        st.Reset();
    } else {
        st.Reset();
    }
    if (source != GSS_C_NO_NAME) gss_release_name(&minor, &source);
    return result;
}

}  // namespace hbr::wsmantest
