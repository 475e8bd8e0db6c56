#pragma once
// What the RDP connection draws, turned into the browser's binary messages. Every callback
// builds one message and sends it at once, so messages leave in the library's order.
//
// Colours on the wire: the order's colour at the session's depth (RGB 5-5-5 or 5-6-5, or the
// three bytes of 24 and 32 bits) expanded to 8 bits a channel, as the u32 0xAABBGGRR (alpha
// 0xFF in bits 24-31), i.e. little-endian bytes R, G, B, A - the byte order of a canvas
// ImageData pixel, which is how the page reads them.
#include <freerdp/freerdp.h>
#include <freerdp/graphics.h>
#include <freerdp/primary.h>
#include <freerdp/update.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hbr::rconsole {

class CRdp;

enum MessageType : uint32_t {
    kMsgBeginPaint = 0,
    kMsgEndPaint = 1,
    kMsgBitmap = 2,
    kMsgOpaqueRect = 3,
    kMsgSetBounds = 4,
    kMsgPatBlt = 5,
    kMsgMultiOpaqueRect = 6,
    kMsgScrBlt = 7,
    kMsgPointerNew = 8,
    kMsgPointerFree = 9,
    kMsgPointerSet = 10,
    kMsgPointerSetNull = 11,
    kMsgPointerSetDefault = 12,
};

using Message = std::vector<uint8_t>;

// An order's colour at `depth` bits per pixel (the depth the server agreed to) to the wire
// colour, read the way the library's own drawing reads it.
uint32_t WireColor(uint32_t color, uint32_t depth = 16);

// The colour depths a connect message may ask for; anything else asks for 16.
inline constexpr uint32_t kDefaultColorDepth = 16;
constexpr bool IsOfferedColorDepth(uint32_t depth) {
    return depth == 16 || depth == 24 || depth == 32;
}

Message TypeOnlyMessage(MessageType type);
// Empty when the rectangle is inconsistent (no bits per pixel, raw data shorter than its
// rows); such a rectangle is not relayed.
std::optional<Message> BitmapMessage(const BITMAP_DATA& rect);
Message SetBoundsMessage(const rdpBounds* bounds);
Message OpaqueRectMessage(const OPAQUE_RECT_ORDER& order, uint32_t depth = 16);
// Empty unless the brush is solid.
std::optional<Message> PatBltMessage(const PATBLT_ORDER& order, uint32_t depth = 16);
Message MultiOpaqueRectMessage(const MULTI_OPAQUE_RECT_ORDER& order, uint32_t depth = 16);
Message ScrBltMessage(const SCRBLT_ORDER& order);
Message ResizeMessage(uint32_t width, uint32_t height);
Message PointerNewMessage(uint32_t id, uint32_t hotX, uint32_t hotY);
Message PointerIdMessage(MessageType type, uint32_t id);

// The pointer's image as width x height RGBA pixels (bytes R, G, B, A), never wholly
// transparent. Masks shorter than the pointer's size leave the image transparent.
std::vector<uint8_t> PointerImage(const rdpPointer& pointer);
// The .cur container around a PNG of the image; empty when encoding fails.
std::optional<std::vector<uint8_t>> CursorFile(uint32_t width, uint32_t height, uint32_t hotX,
                                               uint32_t hotY, const std::vector<uint8_t>& rgba);

// Handlers kept in the session context; the library's callbacks find their session through
// them, and do nothing when the context has none.
class Update {
  public:
    explicit Update(CRdp& owner) : owner(owner) {}
    virtual ~Update() = default;
    CRdp& owner;
};

class Primary {
  public:
    explicit Primary(CRdp& owner) : owner(owner) {}
    virtual ~Primary() = default;
    CRdp& owner;
};

// Installed by the session before connecting (update and primary interfaces) and after
// (pointer class).
void InstallUpdateCallbacks(rdpContext* context);
void RegisterPointerClass(rdpContext* context);

// The cursor file for "/cur/<session>/<id>": false for an unknown session, an unknown or
// malformed id.
bool FindCursorImage(std::string_view sessionText, std::string_view cursorIdText,
                     std::vector<uint8_t>& out);

}  // namespace hbr::rconsole
