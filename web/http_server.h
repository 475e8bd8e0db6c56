#pragma once
// The instance's HTTP listener: one URL template, requests handed to the request handler on
// worker threads of their own so that a slow handler never delays another request.
#include <functional>
#include <string>

#include "web/http_request.h"

namespace hbr {

using RequestHandler = std::function<void(HttpRequest&)>;

// Listens on the URL template and starts serving; raises CHbrException on failure with the
// texts administrators know (a taken port names the URL). An https template serves TLS with the
// configured certificate files, or with a certificate made once beside the database; bad files
// fail the start with a line that names the file and the reason.
void StartServer(const std::string& url, RequestHandler handler);
// Stops listening, ends every connection and waits for running handlers. Safe to call twice.
void StopServer();
bool ServerRunning();
// For an https instance, the SHA-256 fingerprint of the certificate in use ("AB:CD:..."); empty
// for plain http or when no server runs.
std::string ServerCertificateFingerprint();

}  // namespace hbr
