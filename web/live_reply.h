#pragma once
// The dashboard's live data as it leaves the server. Every open dashboard asks for it every few
// seconds and at scale it runs to megabytes, so each reply the registry assembles is prepared
// once for all sessions that share it: an in-memory file for the plain bytes, a strong entity
// tag, and the gzip bytes, compressed on first demand and then kept with the reply.
#include <memory>
#include <mutex>
#include <string>

namespace hbr {

class FileBody;
class HttpRequest;
struct Session;

class LiveReply {
  public:
    // `withFile`: also keep the bytes in an in-memory file (for replies many sessions share).
    LiveReply(std::shared_ptr<const std::string> text, bool withFile);

    const std::string& Text() const { return *text_; }
    const std::string& ETag() const { return etag_; }
    const std::string& GzipETag() const { return gzipETag_; }
    // Null when there is none; the text is sent then.
    const std::shared_ptr<const FileBody>& File() const { return file_; }
    // The gzip bytes, made by the first caller; empty if compression failed.
    const std::string& Gzip() const;

  private:
    std::shared_ptr<const std::string> text_;
    std::string etag_;
    std::string gzipETag_;
    std::shared_ptr<const FileBody> file_;
    mutable std::once_flag gzipOnce_;
    mutable std::string gzip_;
};

// The prepared form of a reply the registry shares (one slot for each pair of view rights, as
// the registry keeps them): made once for each new text, then handed to every request.
std::shared_ptr<const LiveReply> SharedLiveReply(const std::shared_ptr<const std::string>& text,
                                                 bool vms, bool hosts);

// Sends `reply` for the request: 304 "Not Modified" when If-None-Match names the tag of the
// form the client would get, else the gzip bytes to a client that accepts them, else the plain
// bytes; always with Vary: Accept-Encoding and the form's ETag.
void SendLiveReply(HttpRequest& request, const LiveReply& reply);

// Answers /api/livedata for the session.
void ServeLiveData(HttpRequest& request, const Session& session);

}  // namespace hbr
