// The page's bitmap decoders against bitmaps that FreeRDP's own encoders made (interleaved RLE
// at 15, 16 and 24 bits per pixel, planar at 32): the decoded pixels must be what FreeRDP's own
// decoders make of the same bytes, and the pixels encoded wherever FreeRDP's own round trip
// gives them back (its interleaved encoder gets some dithered and foreground runs wrong).
// HBR_CODEC_SAMPLES names the file tests/codecs/encode_codec_samples.cpp wrote.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { decodeInterleaved, pixelsToRgba, decodePlanar, rawToRgba, decodeBitmap } from '../../app/rdp/codecs.js';

const file = process.env.HBR_CODEC_SAMPLES;
assert.ok(file, 'HBR_CODEC_SAMPLES names the encoded samples');
const samples = JSON.parse(readFileSync(file, 'utf8')).map((s) => ({
  ...s,
  compressed: new Uint8Array(Buffer.from(s.compressed, 'base64')),
  pixels: new Uint8Array(Buffer.from(s.pixels, 'base64')),
  decoded: new Uint8Array(Buffer.from(s.decoded, 'base64')),
  rgba: new Uint8Array(Buffer.from(s.rgba, 'base64')),
}));

// Pixel values of a depth as the stream carries them, from top-down bytes.
function values(bytes, width, height, bpp) {
  const size = bpp === 24 ? 3 : 2;
  const out = new Uint32Array(width * height);
  for (let i = 0; i < out.length; i++) {
    let v = 0;
    for (let k = 0; k < size; k++) v |= bytes[i * size + k] << (8 * k);
    out[i] = v;
  }
  return out;
}

function firstDifference(got, want, channels = 1) {
  for (let i = 0; i < want.length; i++) if (got[i] !== want[i]) return `element ${i} (pixel ${Math.floor(i / channels)}): ${got[i]}, expected ${want[i]}`;
  return got.length === want.length ? null : `length ${got.length}, expected ${want.length}`;
}

// A 5- or 6-bit channel widened to 8 bits may round one way or the other.
function within(got, want, tolerance) {
  for (let i = 0; i < want.length; i++) if (Math.abs(got[i] - want[i]) > tolerance) return `byte ${i}: ${got[i]}, FreeRDP ${want[i]}`;
  return null;
}

const byCodec = (codec, bpp) => samples.filter((s) => s.codec === codec && (!bpp || s.bpp === bpp));

// Bottom-up rows, as RDP stores them and the decoder gives them.
function flip(values, width, height) {
  const out = new Uint32Array(values.length);
  for (let y = 0; y < height; y++) out.set(values.subarray(y * width, (y + 1) * width), (height - 1 - y) * width);
  return out;
}

for (const bpp of [15, 16, 24]) {
  test(`interleaved RLE at ${bpp} bits per pixel decodes as FreeRDP decodes it`, () => {
    const list = byCodec('interleaved', bpp);
    assert.ok(list.length >= 40, `${list.length} samples`);
    // Most pictures come back whole; the comparison with the source is not vacuous.
    assert.ok(list.filter((s) => s.roundTrip).length >= 30, 'FreeRDP round trips');
    for (const s of list) {
      const what = `${s.picture} ${s.width}x${s.height}`;
      const decoded = decodeInterleaved(s.compressed, s.width, s.height, bpp);
      assert.equal(firstDifference(decoded, flip(values(s.decoded, s.width, s.height, bpp), s.width, s.height)), null, `${what}: FreeRDP's decoder`);
      if (s.roundTrip) assert.equal(firstDifference(decoded, flip(values(s.pixels, s.width, s.height, bpp), s.width, s.height)), null, `${what}: the encoded pixels`);
      const rgba = pixelsToRgba(decoded, s.width, s.height, bpp);
      assert.equal(within(rgba, s.rgba, bpp === 24 ? 0 : 4), null, `${what}: RGBA`);
      assert.equal(firstDifference(decodeBitmap(s.compressed, s.width, s.height, bpp, true), rgba), null, `${what}: as the page decodes it`);
    }
  });
}

test('planar at 32 bits per pixel gives back the encoded pixels, with and without RLE', () => {
  const list = byCodec('planar', 32);
  assert.ok(list.length >= 60, `${list.length} samples`);
  const headers = new Set();
  for (const s of list) {
    const what = `${s.picture} ${s.width}x${s.height} header 0x${s.compressed[0].toString(16)}`;
    headers.add(s.compressed[0]);
    const rgba = decodePlanar(s.compressed, s.width, s.height);
    assert.ok(s.roundTrip, `${what}: FreeRDP's round trip`);
    assert.equal(firstDifference(rgba, s.pixels, 4), null, what);
    assert.equal(firstDifference(rgba, s.rgba, 4), null, `${what}: FreeRDP's decoder`);
    assert.equal(firstDifference(decodeBitmap(s.compressed, s.width, s.height, 32, true), rgba), null, `${what}: as the page decodes it`);
  }
  // Run-length and raw planes, with and without an alpha plane, were all seen.
  assert.ok([...headers].some((h) => h & 0x10) && [...headers].some((h) => !(h & 0x10)), [...headers].join());
  assert.ok([...headers].some((h) => h & 0x20) && [...headers].some((h) => !(h & 0x20)), [...headers].join());
});

test('raw bitmaps at every depth', () => {
  // Two pixels a row, two rows, already top-down: red then green, blue then white.
  const cases = {
    15: [0x00, 0x7c, 0xe0, 0x03, 0x1f, 0x00, 0xff, 0x7f],
    16: [0x00, 0xf8, 0xe0, 0x07, 0x1f, 0x00, 0xff, 0xff],
    24: [0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 255, 255],
    32: [0, 0, 255, 0, 0, 255, 0, 0, 255, 0, 0, 0, 255, 255, 255, 0],
  };
  const want = [255, 0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 255, 255, 255, 255, 255];
  for (const [bpp, bytes] of Object.entries(cases)) {
    assert.deepEqual(Array.from(rawToRgba(new Uint8Array(bytes), 2, 2, Number(bpp))), want, `${bpp} bits`);
    assert.deepEqual(Array.from(decodeBitmap(new Uint8Array(bytes), 2, 2, Number(bpp), false)), want, `${bpp} bits, as the page decodes it`);
  }
});

test('hostile bitmaps fail cleanly instead of reading or writing out of bounds', () => {
  const base = byCodec('interleaved', 16).find((s) => s.picture === 'noise' && s.width === 64 && s.height === 64);
  const planar = byCodec('planar', 32).find((s) => s.picture === 'noise' && s.width === 64 && (s.compressed[0] & 0x10));
  assert.ok(base && planar);
  for (const [s, bpp] of [[base, 16], [planar, 32]]) {
    // Every truncation either decodes into the right-sized image or throws a RangeError.
    for (let cut = 0; cut < s.compressed.length; cut += 7) {
      try {
        const out = decodeBitmap(s.compressed.subarray(0, cut), s.width, s.height, bpp, true);
        assert.equal(out.length, s.width * s.height * 4);
      } catch (err) {
        assert.ok(err instanceof RangeError, `${bpp} bits cut at ${cut}: ${err}`);
      }
    }
  }
  // Depths nobody sends, and sizes that do not fit the data.
  assert.throws(() => decodeBitmap(new Uint8Array(8), 2, 2, 12, true), RangeError);
  assert.throws(() => decodeBitmap(new Uint8Array(8), 2, 2, 12, false), RangeError);
  assert.throws(() => decodeBitmap(new Uint8Array(3), 2, 2, 32, false), RangeError);
  assert.throws(() => decodeBitmap(new Uint8Array(8), 0x10000, 0x10000, 32, true), RangeError);
});
