#include "service/console_run.h"

#include <cstdio>

namespace hbr {

int RunConsole() {
    std::fputs("\nStart the web server failed.\nnot built yet\n\n", stdout);
    return -1;
}

}  // namespace hbr
