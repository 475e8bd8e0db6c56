#pragma once
// The certificate of an https instance: loaded from the administrator's PEM files, or made
// once (self-signed) and kept beside the instance's database.
#include <boost/asio/ssl/context.hpp>
#include <memory>
#include <string>
#include <vector>

namespace hbr {

struct TlsFiles {
    std::string cert;
    std::string key;
};

// A server context with TLS 1.2 and 1.3 only and the "intermediate" cipher list, holding the
// certificate (with its chain) and key of the files. Throws CHbrException with one line that
// names the file and the reason: missing, unreadable, no certificate or key in it, expired or
// not yet valid, key not matching.
std::shared_ptr<boost::asio::ssl::context> LoadTlsContext(const TlsFiles& files);

// The file names of the made certificate in `folder`; makes the pair when it is missing,
// unusable or expires within 30 days. The key file is 0600 and owned by the running account.
// `names` are extra DNS names or address literals for the subject alternative names (the
// machine's host name, "localhost" and its addresses are always in).
TlsFiles EnsureMadeCertificate(const std::string& folder, const std::vector<std::string>& names);

// The SHA-256 fingerprint of the first certificate in the file, as colon-separated hex pairs
// ("AB:CD:..."), or empty.
std::string CertificateFingerprint(const std::string& certFile);

// What identifies the files' current contents on disk (device, inode, size, time); a change
// means they were replaced.
std::string FilesStamp(const TlsFiles& files);

}  // namespace hbr
