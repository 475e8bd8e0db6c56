// Decoders for the bitmaps the server passes through unchanged: interleaved RLE (8, 15, 16
// and 24 bits per pixel) and planar (32 bits per pixel). Both produce top-down RGBA.
// RDP bitmaps are stored bottom-up; the decoders work bottom-up and flip at the end.

const WHITE = { 8: 0xff, 15: 0x7fff, 16: 0xffff, 24: 0xffffff };

class Reader {
  constructor(bytes) { this.b = bytes; this.i = 0; }
  more() { return this.i < this.b.length; }
  u8() { if (this.i >= this.b.length) throw new RangeError('truncated'); return this.b[this.i++]; }
  u16() { const lo = this.u8(); return lo | (this.u8() << 8); }
  pixel(bpp) {
    if (bpp === 8) return this.u8();
    if (bpp === 24) { const b0 = this.u8(), b1 = this.u8(); return b0 | (b1 << 8) | (this.u8() << 16); }
    return this.u16();
  }
}

// Interleaved RLE into pixel values, one per element, bottom-up rows of `width`.
export function decodeInterleaved(bytes, width, height, bpp) {
  if (!(bpp in WHITE)) throw new RangeError('unsupported depth ' + bpp);
  const out = new Uint32Array(width * height);
  const end = out.length;
  const src = new Reader(bytes);
  let d = 0;
  let fg = WHITE[bpp];
  let insertFg = false;
  let firstLine = true;
  const above = () => (d >= width ? out[d - width] : 0);
  const put = (v) => { if (d >= end) throw new RangeError('overrun'); out[d++] = v; };
  const fgbg = (mask, count) => {
    for (let bit = 0; bit < count; bit++) {
      const a = firstLine ? 0 : above();
      put((mask >> bit) & 1 ? a ^ fg : a);
    }
  };
  while (src.more() && d < end) {
    if (firstLine && d >= width) { firstLine = false; insertFg = false; }
    const h = src.u8();
    let code;
    if ((h & 0xf0) === 0xf0) code = h;
    else if ((h >> 4) >= 0xc) code = h >> 4;
    else code = h >> 5;
    const regular = (plus) => { const n = h & 0x1f; return n ? n : src.u8() + plus; };
    const regularImage = () => { const n = h & 0x1f; return n ? n * 8 : src.u8() + 1; };
    const lite = (plus) => { const n = h & 0x0f; return n ? n : src.u8() + plus; };
    const liteImage = () => { const n = h & 0x0f; return n ? n * 8 : src.u8() + 1; };
    let n;
    switch (code) {
      case 0x0: case 0xf0: { // background run
        n = code === 0 ? regular(32) : src.u16();
        if (insertFg && n > 0) { put((firstLine ? 0 : above()) ^ fg); n--; }
        while (n-- > 0) put(firstLine ? 0 : above());
        insertFg = true;
        continue;
      }
      case 0x1: case 0xf1: case 0xc: case 0xf6: // foreground run (optionally setting fg)
        n = code === 1 ? regular(32) : code === 0xc ? lite(16) : src.u16();
        if (code === 0xc || code === 0xf6) fg = src.pixel(bpp);
        while (n-- > 0) put((firstLine ? 0 : above()) ^ fg);
        break;
      case 0xe: case 0xf8: { // dithered run
        n = code === 0xe ? lite(16) : src.u16();
        const a = src.pixel(bpp), b = src.pixel(bpp);
        while (n-- > 0) { put(a); put(b); }
        break;
      }
      case 0x3: case 0xf3: { // colour run
        n = code === 3 ? regular(32) : src.u16();
        const c = src.pixel(bpp);
        while (n-- > 0) put(c);
        break;
      }
      case 0x2: case 0xf2: case 0xd: case 0xf7: { // foreground/background image
        n = code === 2 ? regularImage() : code === 0xd ? liteImage() : src.u16();
        if (code === 0xd || code === 0xf7) fg = src.pixel(bpp);
        while (n > 0) { const c = Math.min(8, n); fgbg(src.u8(), c); n -= c; }
        break;
      }
      case 0x4: case 0xf4: // colour image
        n = code === 4 ? regular(32) : src.u16();
        while (n-- > 0) put(src.pixel(bpp));
        break;
      case 0xf9: fgbg(0x03, 8); break;
      case 0xfa: fgbg(0x05, 8); break;
      case 0xfd: put(WHITE[bpp]); break;
      case 0xfe: put(0); break;
      default: throw new RangeError('bad order ' + h);
    }
    insertFg = false;
  }
  return out;
}

// Pixel values of a depth to top-down RGBA.
export function pixelsToRgba(values, width, height, bpp, palette) {
  const rgba = new Uint8ClampedArray(width * height * 4);
  for (let y = 0; y < height; y++) {
    const srcRow = (height - 1 - y) * width;
    for (let x = 0; x < width; x++) {
      const v = values[srcRow + x];
      const o = (y * width + x) * 4;
      let r, g, b;
      if (bpp === 16) { r = (v >> 11) & 0x1f; g = (v >> 5) & 0x3f; b = v & 0x1f; r = (r << 3) | (r >> 2); g = (g << 2) | (g >> 4); b = (b << 3) | (b >> 2); }
      else if (bpp === 15) { r = (v >> 10) & 0x1f; g = (v >> 5) & 0x1f; b = v & 0x1f; r = (r << 3) | (r >> 2); g = (g << 3) | (g >> 2); b = (b << 3) | (b >> 2); }
      else if (bpp === 24) { b = v & 0xff; g = (v >> 8) & 0xff; r = (v >> 16) & 0xff; }
      else { const p = palette ? palette[v] : [v, v, v]; r = p[0]; g = p[1]; b = p[2]; }
      rgba[o] = r; rgba[o + 1] = g; rgba[o + 2] = b; rgba[o + 3] = 255;
    }
  }
  return rgba;
}

// Raw (already top-down) pixel bytes to RGBA.
export function rawToRgba(bytes, width, height, bpp) {
  const bpx = (bpp + 7) >> 3;
  const values = new Uint32Array(width * height);
  for (let i = 0, o = 0; i < values.length && o + bpx <= bytes.length; i++, o += bpx) {
    let v = 0;
    for (let k = 0; k < bpx; k++) v |= bytes[o + k] << (8 * k);
    values[i] = v >>> 0;
  }
  if (bpp === 32) return bgraToRgba(values, width, height, false);
  // pixelsToRgba flips; raw data arrives top-down, so hand it over bottom-up.
  const flipped = new Uint32Array(values.length);
  for (let y = 0; y < height; y++) flipped.set(values.subarray(y * width, (y + 1) * width), (height - 1 - y) * width);
  return pixelsToRgba(flipped, width, height, bpp);
}

function bgraToRgba(values, width, height, bottomUp) {
  const rgba = new Uint8ClampedArray(width * height * 4);
  for (let y = 0; y < height; y++) {
    const row = bottomUp ? height - 1 - y : y;
    for (let x = 0; x < width; x++) {
      const v = values[row * width + x], o = (y * width + x) * 4;
      rgba[o] = (v >> 16) & 0xff; rgba[o + 1] = (v >> 8) & 0xff; rgba[o + 2] = v & 0xff; rgba[o + 3] = 255;
    }
  }
  return rgba;
}

// One planar plane (RLE or raw) into `plane`, bottom-up rows as stored.
function planarPlane(src, plane, width, height, rle) {
  if (!rle) {
    for (let i = 0; i < width * height; i++) plane[i] = src.u8();
    return;
  }
  for (let y = 0; y < height; y++) {
    let x = 0, last = 0;
    const row = y * width, prev = row - width;
    while (x < width) {
      const control = src.u8();
      let run = control & 0x0f, raw = control >> 4;
      if (run === 1) { run = raw + 16; raw = 0; } else if (run === 2) { run = raw + 32; raw = 0; }
      if (x + raw + run > width) throw new RangeError('planar overrun');
      const value = (v) => {
        if (y === 0) return v;
        const delta = v & 1 ? -((v >> 1) + 1) : v >> 1;
        return delta;
      };
      while (raw-- > 0) {
        last = value(src.u8());
        plane[row + x] = y === 0 ? last : (plane[prev + x] + last) & 0xff;
        x++;
      }
      while (run-- > 0) {
        plane[row + x] = y === 0 ? last : (plane[prev + x] + last) & 0xff;
        x++;
      }
    }
  }
}

// Planar (32 bits per pixel) to top-down RGBA; colour loss and chroma subsampling as coded.
export function decodePlanar(bytes, width, height) {
  const src = new Reader(bytes);
  const header = src.u8();
  const cll = header & 0x07, cs = (header & 0x08) !== 0, rle = (header & 0x10) !== 0, noAlpha = (header & 0x20) !== 0;
  const n = width * height;
  const pw = cs ? (width + 1) >> 1 : width, ph = cs ? (height + 1) >> 1 : height;
  const a = new Uint8Array(n).fill(255);
  if (!noAlpha) planarPlane(src, a, width, height, rle);
  const p1 = new Uint8Array(n), p2 = new Uint8Array(pw * ph), p3 = new Uint8Array(pw * ph);
  planarPlane(src, p1, width, height, rle);
  planarPlane(src, p2, pw, ph, rle);
  planarPlane(src, p3, pw, ph, rle);
  const rgba = new Uint8ClampedArray(n * 4);
  for (let y = 0; y < height; y++) {
    const row = height - 1 - y;
    for (let x = 0; x < width; x++) {
      const i = row * width + x, o = (y * width + x) * 4;
      const ci = cs ? (row >> 1) * pw + (x >> 1) : i;
      if (cll === 0) {
        rgba[o] = p1[i]; rgba[o + 1] = p2[ci]; rgba[o + 2] = p3[ci];
      } else {
        const shift = cll - 1;
        const Y = p1[i];
        const co = ((p2[ci] << shift) << 24) >> 24; // back to a signed byte
        const cg = ((p3[ci] << shift) << 24) >> 24;
        const t = Y - (cg >> 1);
        const g = cg + t, b = t - (co >> 1), r = b + co;
        rgba[o] = r; rgba[o + 1] = g; rgba[o + 2] = b;
      }
      rgba[o + 3] = 255;
    }
  }
  return rgba;
}

// Larger rectangles than any desktop are refused before anything is allocated for them.
const MAX_SIDE = 8192;
const MAX_AREA = 4096 * 4096;
const DEPTHS = new Set([8, 15, 16, 24, 32]);

// One rectangle of a Bitmap message to top-down RGBA, whatever depth the server chose: raw
// rows (already top-down), interleaved RLE (8 to 24 bits) or planar (32 bits). Throws a
// RangeError for data that does not hold what its header claims.
export function decodeBitmap(data, width, height, bpp, compressed) {
  if (!DEPTHS.has(bpp)) throw new RangeError('unsupported depth ' + bpp);
  if (!(width > 0 && height > 0 && width <= MAX_SIDE && height <= MAX_SIDE && width * height <= MAX_AREA))
    throw new RangeError(`bitmap of ${width}x${height}`);
  if (!compressed) {
    if (data.length < width * height * ((bpp + 7) >> 3)) throw new RangeError('raw bitmap shorter than its rows');
    return rawToRgba(data, width, height, bpp);
  }
  if (bpp === 32) return decodePlanar(data, width, height);
  return pixelsToRgba(decodeInterleaved(data, width, height, bpp), width, height, bpp);
}
