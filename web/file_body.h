#pragma once
// A reply body held in an in-memory file, so the kernel sends it without copying it into the
// socket (sendfile), the way a static web server sends files from the page cache. Worth it for
// large replies that many requests share.
#include <cstddef>
#include <memory>
#include <string>

namespace hbr {

class FileBody : public std::enable_shared_from_this<FileBody> {
  public:
    // Null when the system gives no in-memory file; the caller then sends the text itself.
    // The body keeps the text as well: a TLS stream, which cannot take a file, encrypts it
    // from memory.
    static std::shared_ptr<const FileBody> FromText(std::shared_ptr<const std::string> text);
    ~FileBody();
    FileBody(const FileBody&) = delete;
    FileBody& operator=(const FileBody&) = delete;

    int Fd() const { return fd_; }
    size_t Size() const { return text_->size(); }
    // The same bytes in memory.
    const std::string& Text() const { return *text_; }

  private:
    FileBody(int fd, std::shared_ptr<const std::string> text) : fd_(fd), text_(std::move(text)) {}
    int fd_;
    std::shared_ptr<const std::string> text_;
};

}  // namespace hbr
