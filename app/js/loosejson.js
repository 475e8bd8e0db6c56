// Reader for the server's replies. A few of them write object keys without quotation marks
// ({data:[...]}, claims:{...}, disks:[...]), which JSON.parse refuses; this reader accepts
// JSON plus bare identifier keys and nothing else. It never evaluates code.

const WS = new Set([' ', '\t', '\n', '\r']);
const ESC = { '"': '"', '\\': '\\', '/': '/', b: '\b', f: '\f', n: '\n', r: '\r', t: '\t' };

export class LooseJsonError extends SyntaxError {
  constructor(message, pos) {
    super(`${message} at position ${pos}`);
    this.position = pos;
  }
}

export function parseLoose(text) {
  if (typeof text !== 'string') throw new TypeError('parseLoose expects a string');
  let i = 0;
  const n = text.length;
  const fail = (msg) => { throw new LooseJsonError(msg, i); };
  const skip = () => { while (i < n && WS.has(text[i])) i++; };
  const isIdStart = (c) => (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c === '_' || c === '$';
  const isIdPart = (c) => isIdStart(c) || (c >= '0' && c <= '9');

  function string() {
    i++; // opening quote
    let out = '';
    let start = i;
    while (true) {
      if (i >= n) fail('Unterminated string');
      const c = text[i];
      if (c === '"') { out += text.slice(start, i); i++; return out; }
      if (c < ' ') fail('Control character in string');
      if (c === '\\') {
        out += text.slice(start, i);
        const e = text[i + 1];
        if (e === 'u') {
          const hex = text.slice(i + 2, i + 6);
          if (!/^[0-9a-fA-F]{4}$/.test(hex)) fail('Bad unicode escape');
          out += String.fromCharCode(parseInt(hex, 16));
          i += 6;
        } else if (e !== undefined && Object.hasOwn(ESC, e)) {
          out += ESC[e];
          i += 2;
        } else {
          fail('Bad escape');
        }
        start = i;
      } else {
        i++;
      }
    }
  }

  function number() {
    const m = /^-?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?/.exec(text.slice(i, i + 400));
    if (!m) fail('Bad number');
    i += m[0].length;
    return Number(m[0]);
  }

  function key() {
    if (text[i] === '"') return string();
    if (!isIdStart(text[i] ?? '')) fail('Expected a key');
    const start = i;
    while (i < n && isIdPart(text[i])) i++;
    return text.slice(start, i);
  }

  function word(w, v) {
    if (text.startsWith(w, i)) { i += w.length; return v; }
    return fail('Unexpected token');
  }

  function value(depth) {
    if (depth > 200) fail('Nesting too deep');
    skip();
    const c = text[i];
    if (c === '{') {
      i++;
      // A plain object without a prototype, so a key such as "__proto__" is only data.
      const obj = Object.create(null);
      skip();
      if (text[i] === '}') { i++; return obj; }
      while (true) {
        skip();
        const k = key();
        skip();
        if (text[i] !== ':') fail("Expected ':'");
        i++;
        obj[k] = value(depth + 1);
        skip();
        if (text[i] === ',') { i++; continue; }
        if (text[i] === '}') { i++; return obj; }
        fail("Expected ',' or '}'");
      }
    }
    if (c === '[') {
      i++;
      const arr = [];
      skip();
      if (text[i] === ']') { i++; return arr; }
      while (true) {
        arr.push(value(depth + 1));
        skip();
        if (text[i] === ',') { i++; continue; }
        if (text[i] === ']') { i++; return arr; }
        fail("Expected ',' or ']'");
      }
    }
    if (c === '"') return string();
    if (c === 't') return word('true', true);
    if (c === 'f') return word('false', false);
    if (c === 'n') return word('null', null);
    if (c === '-' || (c >= '0' && c <= '9')) return number();
    return fail(i >= n ? 'Unexpected end of text' : 'Unexpected token');
  }

  const result = value(0);
  skip();
  if (i !== n) fail('Unexpected text after the value');
  return result;
}
