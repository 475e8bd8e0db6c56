#pragma once
// The NTLM side of the WS-Management test server: GSSAPI with the gss-ntlmssp mechanism as
// acceptor, checking against one account kept in a user file of its own (NTLM_USER_FILE).
#include <memory>
#include <string>

namespace hbr::wsmantest {

class NtlmAcceptor {
  public:
    // Writes "DOMAIN:user:password" to a private file and points NTLM_USER_FILE at it (the
    // variable is process-wide: one NTLM-enabled server at a time).
    NtlmAcceptor(std::string domain, std::string user, std::string password);
    ~NtlmAcceptor();
    NtlmAcceptor(const NtlmAcceptor&) = delete;
    NtlmAcceptor& operator=(const NtlmAcceptor&) = delete;

    // The handshake state of one connection.
    class Context {
      public:
        Context();
        ~Context();
        Context(const Context&) = delete;
        Context& operator=(const Context&) = delete;
        struct State;
        std::unique_ptr<State> state;
    };

    enum class Result { Continue, Done, Failed };
    // One handshake step: `out` is the token to send back (with the 401 for Continue); `user`
    // is "DOMAIN\user" when Done.
    Result Step(Context& context, const std::string& token, std::string& out, std::string& user);

  private:
    std::string file_;
    std::string dir_;
};

}  // namespace hbr::wsmantest
