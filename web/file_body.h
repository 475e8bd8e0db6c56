#pragma once
// A reply body held in an in-memory file, so the kernel sends it without copying it into the
// socket (sendfile), the way a static web server sends files from the page cache. Worth it for
// large replies that many requests share.
#include <cstddef>
#include <memory>
#include <string_view>

namespace hbr {

class FileBody : public std::enable_shared_from_this<FileBody> {
  public:
    // Null when the system gives no in-memory file; the caller then sends the text itself.
    static std::shared_ptr<const FileBody> FromText(std::string_view text);
    ~FileBody();
    FileBody(const FileBody&) = delete;
    FileBody& operator=(const FileBody&) = delete;

    int Fd() const { return fd_; }
    size_t Size() const { return size_; }

  private:
    FileBody(int fd, size_t size) : fd_(fd), size_(size) {}
    int fd_;
    size_t size_;
};

}  // namespace hbr
