#pragma once
// Integrated authentication through GSSAPI (MIT krb5): NTLM through the gss-ntlmssp mechanism
// and, with Negotiate, SPNEGO (Kerberos, falling back to NTLM). The handshake runs before the
// router sees a request: the security context lives on the connection between the 401 challenge
// and the client's next message, and only finished or unauthenticated requests go on.
#include <gssapi/gssapi.h>

#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "web/integrated_auth.h"

namespace hbr {

// Which schemes the instance offers.
enum class AuthScheme { Ntlm, Negotiate };

// Where the names of an authenticated client come from, and how they are made "DOMAIN\user".
struct GssAuthSettings {
    AuthScheme scheme = AuthScheme::Ntlm;
    // Added to an NTLM name typed without a domain (gss-ntlmssp's NETBIOS_DOMAIN_NAME).
    std::string defaultDomain;
    // Kerberos realm (upper case) to NetBIOS domain; a realm not listed maps to its first label.
    std::map<std::string, std::string> realmDomains;
};

// A token that is longer than this (decoded) is refused before any library sees it.
inline constexpr size_t kMaxAuthTokenBytes = 64 * 1024;

// Reads the settings from the environment the instance was started with: NETBIOS_DOMAIN_NAME
// and HBR_KRB5_REALMS ("REALM=DOMAIN,REALM2=DOMAIN2").
GssAuthSettings GssAuthSettingsFromEnvironment(AuthScheme scheme);

// "DOMAIN\user" from a name the mechanism displays: NTLM's "DOMAIN\user" (a trailing NUL
// dropped, the default domain added when none was typed) or Kerberos' "user@REALM". Empty when
// the name cannot be used.
std::string AccountFromGssName(std::string_view displayed, const GssAuthSettings& settings);

// Local groups of `user` ("DOMAIN\group" each) from the user database, when such an account
// exists; none otherwise.
std::vector<std::string> LocalGroupsOf(const std::string& user, const std::string& domain);

// NTLM NEGOTIATE messages without the optional version field (32 bytes, as curl and Chromium
// send them) padded to the form the mechanism accepts; any other token unchanged.
std::string NormaliseNtlmToken(std::string token);

// The bytes of a token as an Authorization header carries it (base64); none when the text is
// not base64, is empty or decodes to more than kMaxAuthTokenBytes.
std::optional<std::string> DecodeAuthToken(std::string_view base64);

class GssIntegratedAuth : public IntegratedAuth {
  public:
    explicit GssIntegratedAuth(GssAuthSettings settings);
    ~GssIntegratedAuth() override;

    // Checks that the mechanisms and, for Negotiate with a keytab named, the keytab are usable;
    // throws with one line naming what is missing. Acquires the acceptor credentials that every
    // handshake then uses, so it runs before the first request.
    void CheckAvailable();

    bool Handshake(HttpRequest& request) override;
    int Status(const HttpRequest& request) override;
    bool UserInfo(const HttpRequest& request, std::string& account,
                  std::vector<std::string>& groups) override;
    void SendChallenge(HttpRequest& request) override;

  private:
    GssAuthSettings settings_;
    gss_cred_id_t ntlmCred_ = GSS_C_NO_CREDENTIAL;  // raw NTLMSSP under "NTLM"
    gss_cred_id_t anyCred_ = GSS_C_NO_CREDENTIAL;   // SPNEGO and Kerberos under "Negotiate"
};

}  // namespace hbr
