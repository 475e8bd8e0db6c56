// Writes bitmaps compressed by FreeRDP's own encoders (interleaved RLE at 15, 16 and 24 bits
// per pixel, planar at 32), with the pixels they were made from and what FreeRDP's own decoders
// make of them, as one JSON file for the page's decoders to be checked against
// (tests/browser/codecs.test.js). Usage: encode_codec_samples <output.json>
#include <freerdp/codec/color.h>
#include <freerdp/codec/interleaved.h>
#include <freerdp/codec/planar.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

std::string Base64(const std::vector<uint8_t>& in) {
    static const char* const kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        const uint32_t v = uint32_t{in[i]} << 16 | uint32_t{in[i + 1]} << 8 | in[i + 2];
        for (int k = 3; k >= 0; --k) out.push_back(kAlphabet[(v >> (6 * k)) & 63]);
    }
    if (i + 1 == in.size()) {
        const uint32_t v = uint32_t{in[i]} << 16;
        out += {kAlphabet[v >> 18], kAlphabet[(v >> 12) & 63], '=', '='};
    } else if (i + 2 == in.size()) {
        const uint32_t v = uint32_t{in[i]} << 16 | uint32_t{in[i + 1]} << 8;
        out += {kAlphabet[v >> 18], kAlphabet[(v >> 12) & 63], kAlphabet[(v >> 6) & 63], '='};
    }
    return out;
}

// A picture as 8-bit R, G, B per pixel, top-down; what each pattern exercises is named.
using Pattern = std::function<void(uint32_t x, uint32_t y, uint8_t rgb[3])>;

struct Picture {
    std::string name;
    Pattern pixel;
};

std::vector<Picture> Pictures() {
    return {
        // Colour runs and background runs.
        {"solid", [](uint32_t, uint32_t, uint8_t p[3]) { p[0] = 0x33, p[1] = 0x66, p[2] = 0xcc; }},
        // Colour images: every pixel differs from its neighbours.
        {"gradient",
         [](uint32_t x, uint32_t y, uint8_t p[3]) {
             p[0] = static_cast<uint8_t>(x * 4), p[1] = static_cast<uint8_t>(y * 4),
             p[2] = static_cast<uint8_t>((x ^ y) * 3);
         }},
        // Two colours in irregular strokes: foreground/background images and runs against the
        // line above, as text draws.
        {"text",
         [](uint32_t x, uint32_t y, uint8_t p[3]) {
             const bool ink = ((x * 7 + y * 3) % 11 < 3) || (y % 9 == 4 && x % 13 < 9);
             p[0] = ink ? 0xf0 : 0x10, p[1] = ink ? 0xe0 : 0x20, p[2] = ink ? 0x20 : 0x40;
         }},
        // Alternating pairs: dithered runs.
        {"dither",
         [](uint32_t x, uint32_t y, uint8_t p[3]) {
             const bool a = ((x + (y / 8)) & 1) == 0;
             p[0] = a ? 0xff : 0x00, p[1] = a ? 0x80 : 0x40, p[2] = a ? 0x00 : 0xff;
         }},
        // Black and white: the special white and black orders.
        {"black-white",
         [](uint32_t x, uint32_t y, uint8_t p[3]) {
             const uint8_t v = (x / 3 + y) % 4 == 0 ? 0xff : 0x00;
             p[0] = p[1] = p[2] = v;
         }},
        {"noise",
         [](uint32_t x, uint32_t y, uint8_t p[3]) {
             uint32_t v = (x * 0x9E3779B1u) ^ (y * 0x85EBCA77u);
             v ^= v >> 15, v *= 0x2C1B3C6Du, v ^= v >> 12;
             p[0] = static_cast<uint8_t>(v), p[1] = static_cast<uint8_t>(v >> 8),
             p[2] = static_cast<uint8_t>(v >> 16);
         }},
        // Mostly one colour with a few strays: long runs broken at odd places.
        {"sparse",
         [](uint32_t x, uint32_t y, uint8_t p[3]) {
             const bool stray = (x * 31 + y * 17) % 97 == 0;
             p[0] = stray ? 0x00 : 0xee, p[1] = stray ? 0xff : 0xee, p[2] = stray ? 0x00 : 0xee;
         }},
    };
}

// The picture in `format`, top-down, `width * bytes per pixel` a row.
std::vector<uint8_t> Render(const Picture& pic, uint32_t w, uint32_t h, uint32_t format) {
    const uint32_t bpp = GetBytesPerPixel(format);
    std::vector<uint8_t> out(size_t{w} * h * bpp);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            uint8_t p[3];
            pic.pixel(x, y, p);
            const uint32_t c = FreeRDPGetColor(format, p[0], p[1], p[2], 0xff);
            WriteColor(out.data() + (size_t{y} * w + x) * bpp, format, c);
        }
    return out;
}

// `pixels`: what was encoded, in the stream's pixel format, top-down. `decoded`: what FreeRDP's
// decoder makes of the stream in that same format, `rgba` the same as RGBA bytes. FreeRDP's
// encoder is not always right (some dithered and foreground runs come out shifted), so the
// page's decoder must agree with FreeRDP's decoder always, and with `pixels` where FreeRDP's
// own round trip does.
struct Sample {
    std::string codec, picture;
    uint32_t width, height, bpp;
    std::vector<uint8_t> compressed, pixels, decoded, rgba;
    bool roundTrip() const { return decoded == pixels; }
};

void WriteJson(const std::vector<Sample>& samples, const char* path) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << "[\n";
    for (size_t i = 0; i < samples.size(); ++i) {
        const Sample& s = samples[i];
        out << "{\"codec\":\"" << s.codec << "\",\"picture\":\"" << s.picture
            << "\",\"width\":" << s.width << ",\"height\":" << s.height << ",\"bpp\":" << s.bpp
            << ",\"roundTrip\":" << (s.roundTrip() ? "true" : "false") << ",\"compressed\":\""
            << Base64(s.compressed) << "\",\"pixels\":\"" << Base64(s.pixels)
            << "\",\"decoded\":\"" << Base64(s.decoded) << "\",\"rgba\":\"" << Base64(s.rgba)
            << "\"}"
            << (i + 1 < samples.size() ? ",\n" : "\n");
    }
    out << "]\n";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output.json>\n", argv[0]);
        return 2;
    }
    std::vector<Sample> samples;
    const auto pictures = Pictures();

    // Interleaved: the encoder takes widths in multiples of 4 up to 64, and heights up to 64.
    BITMAP_INTERLEAVED_CONTEXT* enc = bitmap_interleaved_context_new(TRUE);
    BITMAP_INTERLEAVED_CONTEXT* dec = bitmap_interleaved_context_new(FALSE);
    const uint32_t sizes[][2] = {{64, 64}, {4, 1}, {8, 3}, {12, 64}, {64, 1}, {32, 17}, {60, 5}};
    for (uint32_t bpp : {15u, 16u, 24u}) {
        // What the encoder reads, and the pixel values the stream then carries: 5-5-5 and
        // 5-6-5 words, and 24-bit values whose bytes are blue, green, red.
        const uint32_t srcFormat = bpp == 15   ? PIXEL_FORMAT_RGB15
                                   : bpp == 16 ? PIXEL_FORMAT_RGB16
                                               : PIXEL_FORMAT_BGRX32;
        const uint32_t wire = bpp == 24 ? PIXEL_FORMAT_BGR24 : srcFormat;
        for (const auto& pic : pictures)
            for (const auto& [w, h] : sizes) {
                const auto src = Render(pic, w, h, srcFormat);
                std::vector<uint8_t> out(64 * 64 * 4 * 2);
                UINT32 size = static_cast<UINT32>(out.size());
                if (!interleaved_compress(enc, out.data(), &size, w, h, src.data(), srcFormat,
                                          w * GetBytesPerPixel(srcFormat), 0, 0, nullptr,
                                          bpp)) {
                    std::fprintf(stderr, "interleaved_compress failed: %u bpp %s %ux%u\n", bpp,
                                 pic.name.c_str(), w, h);
                    return 1;
                }
                out.resize(size);
                Sample s{"interleaved", pic.name, w, h, bpp, out, Render(pic, w, h, wire), {}, {}};
                s.decoded.resize(size_t{w} * h * GetBytesPerPixel(wire));
                s.rgba.resize(size_t{w} * h * 4);
                if (!interleaved_decompress(dec, out.data(), size, w, h, bpp, s.decoded.data(),
                                            wire, w * GetBytesPerPixel(wire), 0, 0, w, h,
                                            nullptr) ||
                    !interleaved_decompress(dec, out.data(), size, w, h, bpp, s.rgba.data(),
                                            PIXEL_FORMAT_RGBA32, w * 4, 0, 0, w, h, nullptr)) {
                    std::fprintf(stderr, "interleaved_decompress failed\n");
                    return 1;
                }
                samples.push_back(std::move(s));
            }
    }
    bitmap_interleaved_context_free(enc);
    bitmap_interleaved_context_free(dec);

    // Planar at 32 bits: with and without run-length encoding, with and without alpha.
    const uint32_t planarSizes[][2] = {{64, 64}, {13, 7}, {100, 3}, {3, 100}, {256, 40}, {8, 8}};
    for (DWORD flags : {DWORD{PLANAR_FORMAT_HEADER_RLE | PLANAR_FORMAT_HEADER_NA},
                        DWORD{PLANAR_FORMAT_HEADER_RLE}, DWORD{PLANAR_FORMAT_HEADER_NA}}) {
        for (const auto& pic : pictures)
            for (const auto& [w, h] : planarSizes) {
                BITMAP_PLANAR_CONTEXT* planar = freerdp_bitmap_planar_context_new(flags, w, h);
                const auto src = Render(pic, w, h, PIXEL_FORMAT_BGRA32);
                UINT32 size = 0;
                BYTE* out = freerdp_bitmap_compress_planar(planar, src.data(), PIXEL_FORMAT_BGRA32,
                                                           w, h, w * 4, nullptr, &size);
                // The encoder gives up on some narrow bitmaps whose planes do not shrink; a server
                // sends those raw.
                if (!out) {
                    std::fprintf(stderr, "note: planar encoder refused flags 0x%x %s %ux%u\n",
                                 static_cast<unsigned>(flags), pic.name.c_str(), w, h);
                    freerdp_bitmap_planar_context_free(planar);
                    continue;
                }
                Sample s{"planar", pic.name, w, h, 32, std::vector<uint8_t>(out, out + size),
                         Render(pic, w, h, PIXEL_FORMAT_RGBA32), {}, {}};
                free(out);
                s.rgba.resize(size_t{w} * h * 4);
                // FreeRDP's decoder refuses some of its encoder's smallest bitmaps; those are
                // checked against the pixels alone.
                if (!planar_decompress(planar, s.compressed.data(), size, w, h, s.rgba.data(),
                                       PIXEL_FORMAT_RGBA32, w * 4, 0, 0, w, h, TRUE)) {
                    std::fprintf(stderr, "note: planar_decompress refused flags 0x%x %s %ux%u\n",
                                 static_cast<unsigned>(flags), pic.name.c_str(), w, h);
                    s.rgba.clear();
                }
                s.decoded = s.rgba;
                freerdp_bitmap_planar_context_free(planar);
                samples.push_back(std::move(s));
            }
    }
    WriteJson(samples, argv[1]);
    std::printf("%zu samples in %s\n", samples.size(), argv[1]);
    return 0;
}
