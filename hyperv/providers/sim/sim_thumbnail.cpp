// Screen images of simulated VMs: a desktop whose colours and window come from the VM's name,
// with a band whose colour tells the state. Same name and state, same image.
#include "hyperv/providers/sim/sim_host.h"
#include "hyperv/providers/sim/sim_host_internal.h"

namespace hbr {

namespace {

std::uint16_t Rgb565(int r, int g, int b) {
    auto clamp = [](int v) { return v < 0 ? 0 : v > 255 ? 255 : v; };
    return static_cast<std::uint16_t>(((clamp(r) >> 3) << 11) | ((clamp(g) >> 2) << 5) |
                                      (clamp(b) >> 3));
}

}  // namespace

std::vector<std::uint8_t> RenderSimThumbnail(std::string_view name, int enabledState, int width,
                                             int height) {
    if (width <= 0 || height <= 0 || width > 4096 || height > 4096) return {};
    const std::uint64_t h = simhost::HashText(name);
    const int baseR = static_cast<int>(h & 0x7F) + 40;
    const int baseG = static_cast<int>((h >> 8) & 0x7F) + 40;
    const int baseB = static_cast<int>((h >> 16) & 0x7F) + 60;
    // The window: position and size from the name.
    const int winX = static_cast<int>((h >> 24) % 40) * width / 100;
    const int winY = static_cast<int>((h >> 32) % 30 + 15) * height / 100;
    const int winW = width * static_cast<int>(35 + (h >> 40) % 25) / 100;
    const int winH = height * static_cast<int>(30 + (h >> 48) % 25) / 100;
    int bandR = 120, bandG = 120, bandB = 120;  // off and others: grey
    if (enabledState == 2)
        bandR = 40, bandG = 200, bandB = 60;
    else if (enabledState == 9)
        bandR = 240, bandG = 180, bandB = 20;
    else if (enabledState == 6)
        bandR = 40, bandG = 110, bandB = 230;
    const bool dim = enabledState != 2;
    const int band = std::max(1, height / 15);
    const int taskbar = std::max(1, height / 12);

    std::vector<std::uint8_t> out(static_cast<std::size_t>(width) *
                                  static_cast<std::size_t>(height) * 2);
    std::size_t pos = 0;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            int r, g, b;
            if (y < band) {
                r = bandR, g = bandG, b = bandB;
            } else if (y >= height - taskbar) {
                r = g = b = 30;
                // A few "task buttons" whose pattern is the name's bits.
                int slot = x * 16 / width;
                if (((h >> slot) & 1) && (x % (width / 16 + 1)) > 1) r = g = b = 90;
            } else if (x >= winX && x < winX + winW && y >= winY && y < winY + winH) {
                bool title = y < winY + std::max(1, winH / 8);
                r = title ? 20 : 235;
                g = title ? 90 : 235;
                b = title ? 200 : 235;
            } else {
                // A vertical gradient of the name's colour.
                r = baseR + y * 60 / height;
                g = baseG + y * 40 / height;
                b = baseB + y * 20 / height;
            }
            if (dim) r /= 2, g /= 2, b /= 2;
            std::uint16_t px = Rgb565(r, g, b);
            out[pos++] = static_cast<std::uint8_t>(px & 0xFF);
            out[pos++] = static_cast<std::uint8_t>(px >> 8);
        }
    }
    return out;
}

}  // namespace hbr
