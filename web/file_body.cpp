#include "web/file_body.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

namespace hbr {

namespace {

// A sealed in-memory file holding `text`; -1 when the system gives none.
int SealedFile(std::string_view text) {
    const int fd = memfd_create("hbr-reply", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0) return -1;
    size_t off = 0;
    while (off < text.size()) {
        const ssize_t n = ::write(fd, text.data() + off, text.size() - off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ::close(fd);
            return -1;
        }
        off += static_cast<size_t>(n);
    }
    // Readers send it while it is shared: nothing may change it any more.
    (void)fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL);
    return fd;
}

}  // namespace

std::shared_ptr<const FileBody> FileBody::FromText(std::shared_ptr<const std::string> text) {
    if (!text) return nullptr;
    const int fd = SealedFile(*text);
    if (fd < 0) return nullptr;
    return std::shared_ptr<const FileBody>(new FileBody(fd, std::move(text)));
}

FileBody::~FileBody() {
    ::close(fd_);
}

}  // namespace hbr
