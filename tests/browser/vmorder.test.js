// The VM list's order against the plain comparison it stands for: key, then name rank, then id.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { setNameOrder, sortByKey, sortByRank } from '../../app/js/vmorder.js';

// The order the list promises, by a comparison function; NaN keys last in both directions.
function reference(list, key, dir) {
  const cmpKey = (a, b) => {
    const x = key(a);
    const y = key(b);
    if (Number.isNaN(x) || Number.isNaN(y)) return Number.isNaN(x) - Number.isNaN(y);
    return (x - y) * dir;
  };
  return [...list].sort((a, b) => cmpKey(a, b) || a.nameRank - b.nameRank || (a.id < b.id ? -1 : 1));
}

// A deterministic pseudo-random source, so a failure can be replayed.
function random(seed) {
  let s = seed >>> 0;
  return () => {
    s = (s * 1664525 + 1013904223) >>> 0;
    return s / 2 ** 32;
  };
}

function entries(n, rnd, values) {
  const list = [];
  for (let i = 0; i < n; i++) {
    list.push({
      id: `vm-${Math.floor(rnd() * n * 4).toString(36)}-${i}`,
      nameRank: Math.floor(rnd() * Math.max(1, n / 3)), // many VMs share a name
      value: values[Math.floor(rnd() * values.length)],
    });
  }
  return list;
}

const ids = (list) => list.map((e) => e.id);

test('each entry gets its place in name order, ties by id', () => {
  const list = [{ id: 'b', nameRank: 1 }, { id: 'a', nameRank: 1 }, { id: 'c', nameRank: 0 }, { id: 'A', nameRank: 1 }];
  assert.equal(setNameOrder(list, (e) => e.nameRank), 4);
  assert.deepEqual(list.map((e) => [e.id, e.order]), [['b', 3], ['a', 2], ['c', 0], ['A', 1]]);
});

test('sorts like the comparison in both directions, with ties, negatives, fractions and NaN', () => {
  const values = [-1, -1, 0, -0, 0.5, 1e-9, 3, 3, 1024 ** 3 * 48, 99.99, NaN, Infinity];
  for (const seed of [1, 2, 3, 4, 5]) {
    const rnd = random(seed);
    const list = entries(2000, rnd, values);
    const orders = setNameOrder(list, (e) => e.nameRank);
    for (const dir of [1, -1]) {
      assert.deepEqual(ids(sortByKey(list, (e) => e.value, dir, orders)), ids(reference(list, (e) => e.value, dir)),
        `seed ${seed}, dir ${dir}`);
    }
  }
});

test('sorts by collation ranks like the comparison, in both directions', () => {
  for (const seed of [6, 7]) {
    const rnd = random(seed);
    // Ranks 0..count-1 as the text columns have them: few hosts, many VMs each.
    const list = entries(2500, rnd, [0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11]);
    const orders = setNameOrder(list, (e) => e.nameRank);
    for (const dir of [1, -1]) {
      assert.deepEqual(ids(sortByRank(list, (e) => e.value, 12, dir, orders)), ids(reference(list, (e) => e.value, dir)),
        `seed ${seed}, dir ${dir}`);
    }
  }
});

test('a filtered part of the list and name orders with gaps sort the same way', () => {
  const rnd = random(9);
  const all = entries(3000, rnd, [0, 1, 2, 3, 4, 5, 6, 7]);
  const orders = setNameOrder(all, (e) => e.nameRank);
  // VMs that left after the orders were given, and a filter, leave gaps below `orders`.
  const part = all.filter((e, i) => i % 3 !== 0 && e.value !== 4);
  for (const dir of [1, -1]) {
    assert.deepEqual(ids(sortByKey(part, (e) => e.value, dir, orders)), ids(reference(part, (e) => e.value, dir)));
  }
});

test('keys and orders whose packed numbers pass 32 bits still sort exactly', () => {
  const rnd = random(11);
  const list = entries(3000, rnd, Array.from({ length: 2900 }, (_, i) => i * 0.5));
  setNameOrder(list, (e) => e.nameRank);
  // Orders far apart, as after many VMs have left: 2,900 ranks times 3,000,000 orders.
  for (const e of list) e.order *= 1000;
  for (const dir of [1, -1]) {
    assert.deepEqual(ids(sortByKey(list, (e) => e.value, dir, 3_000_000)), ids(reference(list, (e) => e.value, dir)));
  }
});

test('an empty list, one entry and one key for all', () => {
  assert.deepEqual(sortByKey([], () => 1, 1, 0), []);
  const one = [{ id: 'x', nameRank: 0 }];
  const orders = setNameOrder(one, (e) => e.nameRank);
  assert.deepEqual(ids(sortByKey(one, () => 7, -1, orders)), ['x']);
  const rnd = random(4);
  const same = entries(500, rnd, [42]);
  const o = setNameOrder(same, (e) => e.nameRank);
  assert.deepEqual(ids(sortByKey(same, (e) => e.value, -1, o)), ids(reference(same, () => 0, 1)),
    'equal keys keep name order even descending');
});
