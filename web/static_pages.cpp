#include "web/static_pages.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "cli/process_state.h"
#include "store/database.h"
#include "store/users.h"

namespace hbr {
namespace {

constexpr std::string_view kLegend = "</legend>";
constexpr std::string_view kDefaultPasswordHint =
    "</legend><p style=\"color:red; font - size:smaller\">Default user: administrator, "
    "password: bravo</p>";

void ReplaceAll(std::string& text, std::string_view from, std::string_view to) {
    if (from.empty()) return;
    size_t at = 0;
    while ((at = text.find(from, at)) != std::string::npos) {
        text.replace(at, from.size(), to);
        at += to.size();
    }
}

// The version without its last component: 1.2.0.7 gives 1.2.0.
std::string ShortVersion() {
    const std::string& v = ProgramVersion();
    const auto dot = v.rfind('.');
    return dot == std::string::npos ? std::string() : v.substr(0, dot);
}

// Reads a regular file whole; false when it cannot be opened or is not a regular file.
bool ReadFile(const std::string& name, std::string& out) {
    const int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return false;
    }
    out.resize(static_cast<size_t>(st.st_size));
    size_t off = 0;
    while (off < out.size()) {
        const ssize_t n = read(fd, out.data() + off, out.size() - off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        off += static_cast<size_t>(n);
    }
    out.resize(off);  // a file that shrank while read
    close(fd);
    return true;
}

}  // namespace

std::string_view ContentTypeFor(std::string_view path) {
    const auto slash = path.rfind('/');
    const std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
    const auto dot = last.rfind('.');
    const std::string_view ext =
        dot == std::string_view::npos ? std::string_view() : last.substr(dot);
    if (ext == ".js" || ext == ".json") return "application/javascript; charset=utf-8";
    if (ext == ".css") return "text/css";
    if (ext == ".png") return "image/png";
    if (ext == ".jpg") return "image/jpg";
    if (ext == ".gif") return "image/gif";
    return "text/html";
}

void ServeStatic(HttpRequest& request, std::string_view path) {
    request.OkHeaders(ContentTypeFor(path), true);
    if (path == "/ga.js") {  // no usage statistics are sent; the page still loads its script
        request.Send(nullptr, 0);
        return;
    }
    // The cooked path is absolute with no dot segments, NUL or backslash, so appending it
    // cannot leave the web root. An empty web root ("-webroot" as the last argument) is no
    // root at all: appended to it, the path would name any file of the machine.
    std::string content;
    const std::string& root = Config().webRoot;
    if (root.empty() || path.empty() || path[0] != '/' ||
        !ReadFile(root + std::string(path), content)) {
        request.SetStatus(404, "Not found");
        request.Send(nullptr, 0);
        return;
    }
    if (path == "/login.html" && IsDefaultPasswordInUse(Db())) {
        ReplaceAll(content, kLegend, kDefaultPasswordHint);
    } else if (path == "/start.html") {
        ReplaceAll(content, "%version%", ShortVersion());
    }
    request.Send(content);
}

}  // namespace hbr
