#pragma once
// The Windows groups of an account signed in through a domain controller. With winbind,
// gss-ntlmssp hands over the security identifiers of the user's access token as one name
// attribute ("S-1-5-21-...,S-1-5-32-544,..."); winbind turns each into "DOMAIN\name".
// libwbclient is opened at run time, so a machine that is not joined to a domain needs no Samba.
#include <string>
#include <string_view>
#include <vector>

namespace hbr {

// The name attribute gss-ntlmssp fills from winbind.
inline constexpr char kNtlmSidsAttribute[] = "urn:gssntlmssp:sids";

// No access token holds more; a longer list is cut there.
inline constexpr size_t kMaxTokenSids = 1024;

// The SIDs of the attribute's value, in order: comma-separated text, a trailing NUL allowed.
// Anything that is not a well-formed SID ("S-1-" and up to 15 sub-authorities, all decimal,
// each within 32 bits) is left out.
std::vector<std::string> ParseSidList(std::string_view value);

// "DOMAIN\name" of each SID that winbind knows as a group (domain, local or well-known);
// users, computers and unknown SIDs are left out. Empty when libwbclient cannot be opened or
// winbind does not answer. HBR_WBCLIENT_LIBRARY names another library to open (tests stand
// winbind in with it, as HBR_PASSWD stands in the user database).
std::vector<std::string> GroupsOfSids(const std::vector<std::string>& sids);

}  // namespace hbr
