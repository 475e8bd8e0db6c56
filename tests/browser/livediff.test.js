// The live data reader that finds what changed between two replies (used by the live-data
// worker and, without one, by the page).
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { LiveDiff, readLive, sameVm } from '../../app/js/livediff.js';

const id = (n) => `00000000-0000-0000-0000-${String(n).padStart(12, '0')}`;
const vm = (n, extra = {}) => ({ id: id(n), name: `vm${n}`, state: '2', cpuUsage: n, memoryA: null, uptime: '0.00:01:00', status: null, host: 'HV1', ...extra });
const ids = (list) => list.map((v) => v.id);

test('the first reply is all new; an identical one changes nothing', () => {
  const d = new LiveDiff();
  const first = d.take({ vms: [vm(1), vm(2), vm(3)], servers: [{ id: 1 }] });
  assert.deepEqual(ids(first.changed), [id(1), id(2), id(3)]);
  assert.deepEqual(first.removed, []);
  assert.deepEqual(first.servers, [{ id: 1 }]);
  // New objects with the same values, as every parse of the next reply makes.
  const again = d.take({ vms: [vm(1), vm(2), vm(3)], servers: [] });
  assert.deepEqual(again.changed, []);
  assert.deepEqual(again.removed, []);
});

test('changed values, new VMs and VMs that are gone', () => {
  const d = new LiveDiff();
  d.take({ vms: [vm(1), vm(2), vm(3)], servers: [] });
  const r = d.take({ vms: [vm(1, { cpuUsage: 50 }), vm(3), vm(4)], servers: [] });
  assert.deepEqual(ids(r.changed), [id(1), id(4)]);
  assert.equal(r.changed[0].cpuUsage, 50);
  assert.deepEqual(r.removed, [id(2)]);
  // A VM gone and back is new again; the removal was not remembered wrongly.
  const back = d.take({ vms: [vm(1, { cpuUsage: 50 }), vm(2), vm(3), vm(4)], servers: [] });
  assert.deepEqual(ids(back.changed), [id(2)]);
  assert.deepEqual(back.removed, []);
});

test('a member that appears, disappears or holds an array counts', () => {
  const d = new LiveDiff();
  d.take({ vms: [vm(1), vm(2), vm(3)], servers: [] });
  const { status, ...without } = vm(2);
  const r = d.take({ vms: [vm(1, { extra: [1, 2] }), without, vm(3, { status: null })], servers: [] });
  assert.equal(status, null);
  assert.deepEqual(ids(r.changed), [id(1), id(2)]);
  assert.deepEqual(d.take({ vms: [vm(1, { extra: [1, 2] }), without, vm(3)], servers: [] }).changed, []);
  assert.deepEqual(ids(d.take({ vms: [vm(1, { extra: [2, 1] }), without, vm(3)], servers: [] }).changed), [id(1)]);
  assert.equal(sameVm({ a: 1 }, { a: 1, b: undefined }), false);
  assert.equal(sameVm({ a: null }, { a: 0 }), false);
  assert.equal(sameVm({ a: { x: 1 } }, { a: { x: 1 } }), true);
});

test('VMs without a usable id, and repeated ids, are left out', () => {
  const d = new LiveDiff();
  const r = d.take({
    vms: [null, 7, 'x', [], { name: 'no id' }, { id: 'short' }, { id: 42 }, { id: `${id(1)}<` }, vm(1), vm(1, { name: 'twin' }), { id: '__proto__' }],
    servers: [],
  });
  assert.deepEqual(ids(r.changed), [id(1)]);
  assert.equal(r.changed[0].name, 'vm1');
});

test('a reply that is not the expected shape reads as empty lists', () => {
  for (const text of ['[]', '"x"', '0', 'null', '{}', '{"vms":{},"servers":"s"}']) {
    assert.deepEqual(readLive(text), { vms: [], servers: [] }, text);
  }
  assert.deepEqual(readLive('{"vms":[{"id":"a"}],"servers":[{"id":1},null,[],2]}'), { vms: [{ id: 'a' }], servers: [{ id: 1 }] });
  // The tolerant reader takes over from JSON.parse; what neither reads is an error.
  assert.deepEqual(JSON.parse(JSON.stringify(readLive('{vms:[],servers:[{id:1}]}'))), { vms: [], servers: [{ id: 1 }] });
  assert.throws(() => readLive('{"vms":['));
});
