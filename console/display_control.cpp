// The guest's resolution follows the browser window where the server offers display control
// (the dynamic channel "Microsoft::Windows::RDS::DisplayControl"); elsewhere the page scales
// the canvas. The channel calls back on the dynamic channels' thread: its state is under
// dispMutex_.
#include <freerdp/channels/disp.h>

#include "console/rdp_session.h"
#include "console/wire_bytes.h"

namespace hbr::rconsole {

std::optional<DisplaySize> ParseResizeMessage(const uint8_t* bytes, size_t length) {
    if (!bytes || length < 12 || U32(bytes) != kInputResize) return std::nullopt;
    const uint32_t width = U32(bytes + 4);  // the library makes it even, as the protocol wants
    const uint32_t height = U32(bytes + 8);
    if (width < kMinDisplaySide || width > kMaxDisplaySide || height < kMinDisplaySide ||
        height > kMaxDisplaySide)
        return std::nullopt;
    return DisplaySize{width, height};
}

void CRdp::OnDisplayChannel(DispClientContext* d, bool up) {
    std::lock_guard lock(dispMutex_);
    if (up && d) {
        d->custom = this;
        d->DisplayControlCaps = OnDispCaps;
        disp_ = d;
    } else {
        if (d) d->custom = nullptr;
        disp_ = nullptr;
        dispReady_ = false;
    }
}

UINT CRdp::OnDispCaps(DispClientContext* d, UINT32 maxMonitors, UINT32, UINT32) {
    CRdp* self = d ? static_cast<CRdp*>(d->custom) : nullptr;
    if (!self || maxMonitors == 0) return CHANNEL_RC_OK;
    {
        std::lock_guard lock(self->dispMutex_);
        self->dispReady_ = true;
    }
    // The page resizes the guest from now on instead of scaling the canvas.
    self->QueueBrowserText(kDisplayControlText);
    return CHANNEL_RC_OK;
}

void CRdp::ApplyResize() {
    std::optional<DisplaySize> size;
    {
        std::lock_guard lock(inputMutex_);
        size.swap(wantedSize_);
    }
    if (!size) return;
    std::lock_guard lock(dispMutex_);
    if (!disp_ || !dispReady_) return;
    DISPLAY_CONTROL_MONITOR_LAYOUT layout{};
    layout.Flags = DISPLAY_CONTROL_MONITOR_PRIMARY;
    layout.Width = size->width;
    layout.Height = size->height;
    layout.Orientation = ORIENTATION_LANDSCAPE;
    layout.DesktopScaleFactor = 100;
    layout.DeviceScaleFactor = 100;
    disp_->SendMonitorLayout(disp_, 1, &layout);
}

}  // namespace hbr::rconsole
