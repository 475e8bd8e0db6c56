// The application's reader for replies whose keys are not all quoted.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { parseLoose, LooseJsonError } from '../../app/js/loosejson.js';

const plain = (v) => JSON.parse(JSON.stringify(v));

test('reads standard JSON like JSON.parse', () => {
  const samples = [
    '{"a":1,"b":[true,false,null],"c":"x\\ny","d":-2.5e3,"e":{}}',
    '[]', '"text"', '0', '[1, 2 ,3]', ' {"k" : "v"} ',
    '{"vms":[{"id":"A","state":"2","memoryA": 2048,"status": null}],"servers":[]}',
  ];
  for (const s of samples) assert.deepEqual(plain(parseLoose(s)), JSON.parse(s), s);
});

test('accepts bare identifier keys as the server writes them', () => {
  const user = parseLoose('{"id":1,"name":"administrator","ntlm":false,claims:{"cDBoard_View":true,"cHost_View":false}}');
  assert.equal(user.id, 1);
  assert.equal(user.claims.cDBoard_View, true);
  assert.equal(user.claims.cHost_View, false);

  const audit = parseLoose('{data:[{"date":"2024-05-01 10:00:00","username":"administrator","claim":100,"sclaim":"Login","result":0}],"total":17}');
  assert.equal(audit.total, 17);
  assert.equal(audit.data[0].sclaim, 'Login');

  const info = parseLoose('{"id":1,"osName":"Windows",disks:[{"name":"C:","size":100}],nics:[]}');
  assert.equal(info.disks[0].name, 'C:');
  assert.deepEqual(info.nics, []);

  assert.equal(parseLoose('{_a$1:2}')._a$1, 2);
});

test('decodes escapes, including unicode and surrogate pairs', () => {
  assert.equal(parseLoose('"\\u00e9\\"\\\\\\/\\b\\f\\r\\t"'), '\u00e9"\\/\b\f\r\t');
  assert.equal(parseLoose('"\\ud83d\\ude00"'), '\u{1F600}');
});

test('keeps keys such as __proto__ as plain data', () => {
  const o = parseLoose('{"__proto__":{"polluted":true},constructor:1}');
  assert.equal(({}).polluted, undefined);
  assert.deepEqual(Object.keys(o).sort(), ['__proto__', 'constructor']);
  assert.equal(o.__proto__.polluted, true);
});

test('refuses everything that is not JSON or a bare key', () => {
  const bad = [
    '', '{', '{"a":1', '{a}', '{1a:2}', "{'a':1}", '{"a":1,}', '[1,]', '[1 2]', 'undefined',
    '{"a":alert(1)}', 'NaN', '01', '1.', '.5', '"\\x41"', '"\\u12"', '"a\nb"', '{"a":1} x',
    '{a-b:1}', 'tru', '(1)', '{"a":1}}', '[', '"unterminated',
  ];
  for (const s of bad) assert.throws(() => parseLoose(s), LooseJsonError, JSON.stringify(s));
  assert.throws(() => parseLoose(null), TypeError);
});

test('reports where the text went wrong', () => {
  try {
    parseLoose('{"a":1,"b":?}');
    assert.fail('no error');
  } catch (e) {
    assert.equal(e.position, 11);
  }
});

test('refuses absurd nesting instead of overflowing the stack', () => {
  assert.throws(() => parseLoose('['.repeat(5000) + ']'.repeat(5000)), LooseJsonError);
  assert.deepEqual(parseLoose('['.repeat(50) + ']'.repeat(50)).length, 1);
});
