#include "web/file_body.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

namespace hbr {

std::shared_ptr<const FileBody> FileBody::FromText(std::string_view text) {
    const int fd = memfd_create("hbr-reply", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0) return nullptr;
    size_t off = 0;
    while (off < text.size()) {
        const ssize_t n = ::write(fd, text.data() + off, text.size() - off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ::close(fd);
            return nullptr;
        }
        off += static_cast<size_t>(n);
    }
    // Readers send it while it is shared: nothing may change it any more.
    (void)fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL);
    return std::shared_ptr<const FileBody>(new FileBody(fd, text.size()));
}

FileBody::~FileBody() {
    ::close(fd_);
}

}  // namespace hbr
