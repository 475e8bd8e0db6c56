// The console's binary messages from the browser: keyboard, mouse and Unicode input, and the
// connect message. Any bytes give events or nothing; the connect message gives no input events.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "console/console_input.h"
#include "console/rdp_session.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<hbr::rconsole::InputEvent> events;
    hbr::rconsole::ParseInput(data, size, events);
    const auto connect = hbr::rconsole::ParseConnectMessage(data, size);
    if (connect) {
        if (!events.empty()) std::abort();
        (void)hbr::rconsole::PerformanceFlagsFor(*connect);
    }
    for (const auto& e : events)
        if (e.kind == hbr::rconsole::InputEvent::Kind::Keyboard && (e.code & ~0x1FFu) != 0)
            std::abort();
    return 0;
}
