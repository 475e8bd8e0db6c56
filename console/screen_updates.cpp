#include "console/screen_updates.h"

#include <freerdp/codec/color.h>
#include <freerdp/gdi/gdi.h>
#include <png.h>

#include <chrono>
#include <csetjmp>
#include <cstring>
#include <limits>

#include "cli/process_state.h"
#include "console/rdp_session.h"

namespace hbr::rconsole {
namespace {

using Clock = std::chrono::steady_clock;

// Pointers larger than this do not exist in RDP (large pointers go to 384 pixels).
constexpr uint32_t kMaxPointerSide = 384;

struct Writer {
    Message m;
    explicit Writer(uint32_t type, size_t reserve = 32) {
        m.reserve(reserve);
        U32(type);
    }
    Writer& U32(uint32_t v) {
        for (int i = 0; i < 4; ++i) m.push_back(static_cast<uint8_t>(v >> (8 * i)));
        return *this;
    }
    Writer& I32(int32_t v) { return U32(static_cast<uint32_t>(v)); }
};

struct HbrPointer {
    rdpPointer base;
    uint32_t cursorId;
};

RdpSessionContext* Ctx(rdpContext* c) {
    return reinterpret_cast<RdpSessionContext*>(c);
}

CRdp* UpdateOwner(rdpContext* c) {
    if (!c) return nullptr;
    auto* u = Ctx(c)->update;
    return u ? &u->owner : nullptr;
}

CRdp* PrimaryOwner(rdpContext* c) {
    if (!c) return nullptr;
    auto* p = Ctx(c)->primary;
    return p ? &p->owner : nullptr;
}

// The depth the server agreed to: the library keeps the server's answer in the settings.
uint32_t Depth(const CRdp& s) {
    return s.Settings() ? freerdp_settings_get_uint32(s.Settings(), FreeRDP_ColorDepth)
                        : kDefaultColorDepth;
}

BOOL OnBeginPaint(rdpContext* c) {
    const auto t = Clock::now();
    if (CRdp* s = UpdateOwner(c)) s->SendScreen(TypeOnlyMessage(kMsgBeginPaint), t);
    return TRUE;
}

BOOL OnEndPaint(rdpContext* c) {
    const auto t = Clock::now();
    if (CRdp* s = UpdateOwner(c)) s->SendScreen(TypeOnlyMessage(kMsgEndPaint), t);
    return TRUE;
}

BOOL OnSetBounds(rdpContext* c, const rdpBounds* bounds) {
    const auto t = Clock::now();
    if (CRdp* s = UpdateOwner(c)) s->SendScreen(SetBoundsMessage(bounds), t);
    return TRUE;
}

BOOL OnDesktopResize(rdpContext* c) {
    const auto t = Clock::now();
    CRdp* s = UpdateOwner(c);
    if (!s || !s->Settings()) return TRUE;
    s->SendScreen(ResizeMessage(freerdp_settings_get_uint32(s->Settings(), FreeRDP_DesktopWidth),
                                freerdp_settings_get_uint32(s->Settings(), FreeRDP_DesktopHeight)),
                  t);
    return TRUE;
}

BOOL OnBitmapUpdate(rdpContext* c, const BITMAP_UPDATE* update) {
    CRdp* s = UpdateOwner(c);
    if (!s || !update || !update->rectangles) return TRUE;
    for (UINT32 i = 0; i < update->number; ++i) {
        const auto t = Clock::now();
        if (auto m = BitmapMessage(update->rectangles[i])) s->SendScreen(*m, t);
    }
    return TRUE;
}

BOOL OnOpaqueRect(rdpContext* c, const OPAQUE_RECT_ORDER* o) {
    const auto t = Clock::now();
    if (CRdp* s = PrimaryOwner(c); s && o) s->SendScreen(OpaqueRectMessage(*o, Depth(*s)), t);
    return TRUE;
}

BOOL OnPatBlt(rdpContext* c, PATBLT_ORDER* o) {
    const auto t = Clock::now();
    if (CRdp* s = PrimaryOwner(c); s && o)
        if (auto m = PatBltMessage(*o, Depth(*s))) s->SendScreen(*m, t);
    return TRUE;
}

BOOL OnScrBlt(rdpContext* c, const SCRBLT_ORDER* o) {
    const auto t = Clock::now();
    if (CRdp* s = PrimaryOwner(c); s && o) s->SendScreen(ScrBltMessage(*o), t);
    return TRUE;
}

BOOL OnMultiOpaqueRect(rdpContext* c, const MULTI_OPAQUE_RECT_ORDER* o) {
    const auto t = Clock::now();
    if (CRdp* s = PrimaryOwner(c); s && o)
        s->SendScreen(MultiOpaqueRectMessage(*o, Depth(*s)), t);
    return TRUE;
}

// Output the browser cannot draw is taken and dropped.
BOOL IgnoreContext(rdpContext*) {
    return TRUE;
}
template <typename T>
BOOL Ignore(rdpContext*, T) {
    return TRUE;
}
BOOL IgnoreRefresh(rdpContext*, BYTE, const RECTANGLE_16*) {
    return TRUE;
}

// Orders and commands the session told the server it does not take: a server that sends
// them anyway is named to the browser, once per kind, since that part of the screen stays
// wrong.
constexpr char kSurfaceBits[] = "surface bits";
constexpr char kMemBlt[] = "MemBlt";
constexpr char kMem3Blt[] = "Mem3Blt";
constexpr char kDrawNineGrid[] = "DrawNineGrid";
constexpr char kMultiDrawNineGrid[] = "MultiDrawNineGrid";
constexpr char kSaveBitmap[] = "SaveBitmap";
constexpr char kMultiDstBlt[] = "MultiDstBlt";
constexpr char kMultiPatBlt[] = "MultiPatBlt";
constexpr char kMultiScrBlt[] = "MultiScrBlt";
constexpr char kPolygonSC[] = "PolygonSC";
constexpr char kPolygonCB[] = "PolygonCB";
constexpr char kEllipseSC[] = "EllipseSC";
constexpr char kEllipseCB[] = "EllipseCB";
template <const char* Name, typename T>
BOOL Unagreed(rdpContext* c, T) {
    if (auto* ctx = reinterpret_cast<RdpSessionContext*>(c); ctx && ctx->owner)
        ctx->owner->NoteUnagreedOutput(Name);
    return TRUE;
}

BOOL PointerNew(rdpContext* c, rdpPointer* pointer) {
    const auto t = Clock::now();
    CRdp* s = UpdateOwner(c);
    auto* p = reinterpret_cast<HbrPointer*>(pointer);
    if (!s || !p) return TRUE;
    p->cursorId = 0;
    auto file = CursorFile(pointer->width, pointer->height, pointer->xPos, pointer->yPos,
                           PointerImage(*pointer));
    // A pointer that cannot be encoded keeps id 0: the browser keeps its current one.
    if (!file) return TRUE;
    p->cursorId = s->AddCursor(std::move(*file));
    s->SendScreen(PointerNewMessage(p->cursorId, pointer->xPos, pointer->yPos), t);
    return TRUE;
}

void PointerFree(rdpContext* c, rdpPointer* pointer) {
    const auto t = Clock::now();
    CRdp* s = UpdateOwner(c);
    auto* p = reinterpret_cast<HbrPointer*>(pointer);
    if (!s || !p || p->cursorId == 0) return;
    const uint32_t id = p->cursorId;
    s->RemoveCursor(id);
    p->cursorId = 0;
    s->SendScreen(PointerIdMessage(kMsgPointerFree, id), t);
}

BOOL PointerSet(rdpContext* c, const rdpPointer* pointer) {
    const auto t = Clock::now();
    CRdp* s = UpdateOwner(c);
    if (!s || !pointer) return TRUE;
    const auto* p = reinterpret_cast<const HbrPointer*>(pointer);
    s->SendScreen(PointerIdMessage(kMsgPointerSet, p->cursorId), t);
    return TRUE;
}

BOOL PointerSetNull(rdpContext* c) {
    const auto t = Clock::now();
    if (CRdp* s = UpdateOwner(c)) s->SendScreen(TypeOnlyMessage(kMsgPointerSetNull), t);
    return TRUE;
}

BOOL PointerSetDefault(rdpContext* c) {
    const auto t = Clock::now();
    if (CRdp* s = UpdateOwner(c)) s->SendScreen(TypeOnlyMessage(kMsgPointerSetDefault), t);
    return TRUE;
}

BOOL PointerSetPosition(rdpContext*, UINT32, UINT32) {
    return TRUE;
}

void PngWrite(png_structp png, png_bytep data, png_size_t length) {
    auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}

void PngFlush(png_structp) {}

void PngWarning(png_structp, png_const_charp) {}

// Kept free of objects with destructors: libpng leaves through longjmp on errors.
bool EncodePng(uint32_t width, uint32_t height, png_bytepp rows, std::vector<uint8_t>* out) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, PngWarning);
    if (!png) return false;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_set_write_fn(png, out, PngWrite, PngFlush);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_rows(png, info, rows);
    png_write_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

uint32_t Stride(uint32_t width, uint32_t bpp) {
    return ((width * bpp + 15) / 16) * 2;
}

}  // namespace

uint32_t WireColor(uint32_t color, uint32_t depth) {
    // As the library's own drawing decodes order colours: 24 and 32 bits carry three bytes.
    uint32_t format = PIXEL_FORMAT_RGB16;
    uint32_t mask = 0xFFFF;
    if (depth == 15) {
        format = PIXEL_FORMAT_RGB15;
        mask = 0x7FFF;
    } else if (depth == 24 || depth == 32) {
        format = PIXEL_FORMAT_BGR24;
        mask = 0xFFFFFF;
    }
    return FreeRDPConvertColor(color & mask, format, PIXEL_FORMAT_ABGR32, nullptr) | 0xFF000000u;
}

Message TypeOnlyMessage(MessageType type) {
    return Writer(type, 4).m;
}

std::optional<Message> BitmapMessage(const BITMAP_DATA& r) {
    const uint32_t bytesPerPixel = (r.bitsPerPixel + 7) / 8;
    if (bytesPerPixel == 0 || bytesPerPixel > 4) return std::nullopt;
    if (r.bitmapLength != 0 && !r.bitmapDataStream) return std::nullopt;
    Writer w(kMsgBitmap, 40 + size_t{r.bitmapLength});
    w.U32(r.destLeft).U32(r.destTop).U32(r.width).U32(r.height);
    w.U32(r.destRight - r.destLeft + 1).U32(r.destBottom - r.destTop + 1);
    w.U32(r.bitsPerPixel).U32(r.compressed ? 1 : 0).U32(r.bitmapLength);
    const uint8_t* data = r.bitmapDataStream;
    if (r.compressed) {
        w.m.insert(w.m.end(), data, data + r.bitmapLength);
        return std::move(w.m);
    }
    // Raw rows arrive bottom-up; the browser draws top-down. A rectangle whose data cannot
    // hold its rows is not drawn at all rather than read past its end.
    const uint64_t stride = uint64_t{r.width} * bytesPerPixel;
    const uint64_t rows = r.height;
    if (stride * rows > r.bitmapLength) return std::nullopt;
    for (uint64_t y = 0; y < rows; ++y) {
        const uint8_t* row = data + (rows - 1 - y) * stride;
        w.m.insert(w.m.end(), row, row + stride);
    }
    // Bytes beyond the rows are passed on as they stand.
    w.m.insert(w.m.end(), data + stride * rows, data + r.bitmapLength);
    return std::move(w.m);
}

Message SetBoundsMessage(const rdpBounds* b) {
    Writer w(kMsgSetBounds, 20);
    if (b)
        w.I32(b->left).I32(b->top).I32(b->right + 1).I32(b->bottom + 1);
    else
        w.U32(0).U32(0).U32(0).U32(0);
    return std::move(w.m);
}

Message OpaqueRectMessage(const OPAQUE_RECT_ORDER& o, uint32_t depth) {
    Writer w(kMsgOpaqueRect, 24);
    w.I32(o.nLeftRect).I32(o.nTopRect).I32(o.nWidth).I32(o.nHeight).U32(WireColor(o.color, depth));
    return std::move(w.m);
}

std::optional<Message> PatBltMessage(const PATBLT_ORDER& o, uint32_t depth) {
    if (o.brush.style != GDI_BS_SOLID) return std::nullopt;
    Writer w(kMsgPatBlt, 28);
    w.I32(o.nLeftRect).I32(o.nTopRect).I32(o.nWidth).I32(o.nHeight);
    w.U32(WireColor(o.foreColor, depth)).U32(gdi_rop3_code(static_cast<BYTE>(o.bRop)));
    return std::move(w.m);
}

Message MultiOpaqueRectMessage(const MULTI_OPAQUE_RECT_ORDER& o, uint32_t depth) {
    // The library holds at most 45 rectangles; a larger count would read past them.
    const uint32_t max = sizeof(o.rectangles) / sizeof(o.rectangles[0]);
    const uint32_t n = std::min(o.numRectangles, max);
    Writer w(kMsgMultiOpaqueRect, 12 + 16 * size_t{n});
    w.U32(WireColor(o.color, depth)).U32(n);
    for (uint32_t i = 0; i < n; ++i) {
        const DELTA_RECT& r = o.rectangles[i];
        w.I32(r.left).I32(r.top).I32(r.width).I32(r.height);
    }
    return std::move(w.m);
}

Message ScrBltMessage(const SCRBLT_ORDER& o) {
    Writer w(kMsgScrBlt, 32);
    w.U32(gdi_rop3_code(static_cast<BYTE>(o.bRop)));
    w.I32(o.nLeftRect).I32(o.nTopRect).I32(o.nWidth).I32(o.nHeight).I32(o.nXSrc).I32(o.nYSrc);
    return std::move(w.m);
}

Message ResizeMessage(uint32_t width, uint32_t height) {
    const std::string text = "R:" + std::to_string(width) + "x" + std::to_string(height);
    return Message(text.begin(), text.end());
}

Message PointerNewMessage(uint32_t id, uint32_t hotX, uint32_t hotY) {
    Writer w(kMsgPointerNew, 16);
    w.U32(id).U32(hotX).U32(hotY);
    return std::move(w.m);
}

Message PointerIdMessage(MessageType type, uint32_t id) {
    Writer w(type, 8);
    w.U32(id);
    return std::move(w.m);
}

std::vector<uint8_t> PointerImage(const rdpPointer& p) {
    const uint32_t width = std::clamp<uint32_t>(p.width, 1, kMaxPointerSide);
    const uint32_t height = std::clamp<uint32_t>(p.height, 1, kMaxPointerSide);
    std::vector<uint8_t> image(size_t{width} * height * 4, 0);
    const bool sane = p.width == width && p.height == height;
    const uint32_t bpp = p.xorBpp;
    const bool knownDepth = bpp == 1 || bpp == 15 || bpp == 16 || bpp == 24 || bpp == 32;
    if (sane && knownDepth && p.xorMaskData && p.andMaskData &&
        p.lengthXorMask >= uint64_t{Stride(width, bpp)} * height &&
        p.lengthAndMask >= uint64_t{Stride(width, 1)} * height) {
        // RGBA32 is written as the bytes R, G, B, A: the PNG's own order.
        freerdp_image_copy_from_pointer_data(image.data(), PIXEL_FORMAT_RGBA32, width * 4, 0, 0,
                                             width, height, p.xorMaskData, p.lengthXorMask,
                                             p.andMaskData, p.lengthAndMask, bpp, nullptr);
    }
    bool transparent = true;
    for (size_t i = 3; i < image.size() && transparent; i += 4) transparent = image[i] == 0;
    if (transparent) image[3] = 1;  // a wholly transparent cursor would not show as one
    return image;
}

std::optional<std::vector<uint8_t>> CursorFile(uint32_t width, uint32_t height, uint32_t hotX,
                                               uint32_t hotY, const std::vector<uint8_t>& rgba) {
    width = std::clamp<uint32_t>(width, 1, kMaxPointerSide);
    height = std::clamp<uint32_t>(height, 1, kMaxPointerSide);
    if (rgba.size() < size_t{width} * height * 4) return std::nullopt;
    std::vector<png_bytep> rows(height);
    for (uint32_t y = 0; y < height; ++y)
        rows[y] = const_cast<png_bytep>(rgba.data() + size_t{y} * width * 4);
    std::vector<uint8_t> png;
    if (!EncodePng(width, height, rows.data(), &png)) return std::nullopt;
    std::vector<uint8_t> file;
    file.reserve(22 + png.size());
    auto u16 = [&](uint32_t v) {
        file.push_back(static_cast<uint8_t>(v));
        file.push_back(static_cast<uint8_t>(v >> 8));
    };
    auto u32 = [&](uint32_t v) {
        u16(v & 0xFFFF);
        u16(v >> 16);
    };
    u16(0);
    u16(2);
    u16(1);
    file.push_back(static_cast<uint8_t>(width));
    file.push_back(static_cast<uint8_t>(height));
    file.push_back(0);
    file.push_back(0);
    u16(hotX);
    u16(hotY);
    u32(static_cast<uint32_t>(png.size()));
    u32(22);
    file.insert(file.end(), png.begin(), png.end());
    return file;
}

void InstallUpdateCallbacks(rdpContext* c) {
    rdpUpdate* u = c->update;
    u->BeginPaint = OnBeginPaint;
    u->EndPaint = OnEndPaint;
    u->SetBounds = OnSetBounds;
    u->DesktopResize = OnDesktopResize;
    u->BitmapUpdate = OnBitmapUpdate;
    u->Synchronize = IgnoreContext;
    u->Palette = Ignore<const PALETTE_UPDATE*>;
    u->PlaySound = Ignore<const PLAY_SOUND_UPDATE*>;
    u->RefreshRect = IgnoreRefresh;
    u->SuppressOutput = IgnoreRefresh;
    u->SurfaceBits = Unagreed<kSurfaceBits, const SURFACE_BITS_COMMAND*>;
    rdpPrimaryUpdate* p = u->primary;
    p->PatBlt = OnPatBlt;
    p->ScrBlt = OnScrBlt;
    p->OpaqueRect = OnOpaqueRect;
    p->MultiOpaqueRect = OnMultiOpaqueRect;
    p->DstBlt = Ignore<const DSTBLT_ORDER*>;
    p->DrawNineGrid = Unagreed<kDrawNineGrid, const DRAW_NINE_GRID_ORDER*>;
    p->MultiDstBlt = Unagreed<kMultiDstBlt, const MULTI_DSTBLT_ORDER*>;
    p->MultiPatBlt = Unagreed<kMultiPatBlt, const MULTI_PATBLT_ORDER*>;
    p->MultiScrBlt = Unagreed<kMultiScrBlt, const MULTI_SCRBLT_ORDER*>;
    p->MultiDrawNineGrid = Unagreed<kMultiDrawNineGrid, const MULTI_DRAW_NINE_GRID_ORDER*>;
    p->LineTo = Ignore<const LINE_TO_ORDER*>;
    p->Polyline = Ignore<const POLYLINE_ORDER*>;
    p->MemBlt = Unagreed<kMemBlt, MEMBLT_ORDER*>;
    p->Mem3Blt = Unagreed<kMem3Blt, MEM3BLT_ORDER*>;
    p->SaveBitmap = Unagreed<kSaveBitmap, const SAVE_BITMAP_ORDER*>;
    p->GlyphIndex = Ignore<GLYPH_INDEX_ORDER*>;
    p->FastIndex = Ignore<const FAST_INDEX_ORDER*>;
    p->FastGlyph = Ignore<const FAST_GLYPH_ORDER*>;
    p->PolygonSC = Unagreed<kPolygonSC, const POLYGON_SC_ORDER*>;
    p->PolygonCB = Unagreed<kPolygonCB, POLYGON_CB_ORDER*>;
    p->EllipseSC = Unagreed<kEllipseSC, const ELLIPSE_SC_ORDER*>;
    p->EllipseCB = Unagreed<kEllipseCB, const ELLIPSE_CB_ORDER*>;
}

void RegisterPointerClass(rdpContext* c) {
    rdpPointer pointer{};
    pointer.size = sizeof(HbrPointer);
    pointer.New = PointerNew;
    pointer.Free = PointerFree;
    pointer.Set = PointerSet;
    pointer.SetNull = PointerSetNull;
    pointer.SetDefault = PointerSetDefault;
    pointer.SetPosition = PointerSetPosition;
    graphics_register_pointer(c->graphics, &pointer);
}

bool FindCursorImage(std::string_view sessionText, std::string_view cursorIdText,
                     std::vector<uint8_t>& out) {
    const int64_t id = LeadingDecimal(cursorIdText);
    if (id <= 0 || id > std::numeric_limits<uint32_t>::max()) return false;
    std::lock_guard lock(Locks().sessionMap);
    return CRdp::WithSessionLocked(sessionText, [&](const CRdp& s) {
        const auto* file = s.CursorLocked(static_cast<uint32_t>(id));
        if (!file) return false;
        out = *file;
        return true;
    });
}

}  // namespace hbr::rconsole
