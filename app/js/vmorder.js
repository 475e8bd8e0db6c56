// The VM list's order: by one column's key, ascending or descending, then by name (the
// browser's collation), then by id. A comparison function called some 400,000 times for
// 25,000 VMs is most of a sort's cost, so each VM gets one number holding both its key's rank
// and its place in name order, and the engine sorts those numbers natively.

// Gives each entry its place in name order (ties by id) as `order`, from 0 without gaps:
// every column's last tie-breaker. `nameRank(e)` is the entry's name rank in the collation.
export function setNameOrder(entries, nameRank) {
  const list = [...entries].sort((a, b) => nameRank(a) - nameRank(b) || (a.id < b.id ? -1 : a.id > b.id ? 1 : 0));
  list.forEach((e, i) => { e.order = i; });
  return list.length;
}

// The index of `value`, which is among them, in the first `count` of the ascending, distinct
// `sorted`.
function indexIn(sorted, count, value) {
  let lo = 0;
  let hi = count - 1;
  while (lo < hi) {
    const mid = (lo + hi) >>> 1;
    if (sorted[mid] < value) lo = mid + 1; else hi = mid;
  }
  return lo;
}

// `list` sorted by `key(e)` (a number; `dir` 1 ascending, -1 descending), ties in name order.
// Every entry's `order` is a distinct whole number below `orders` (setNameOrder's result).
// Keys that are not numbers come last in either direction.
export function sortByKey(list, key, dir, orders) {
  const n = list.length;
  const values = new Float64Array(n);
  for (let i = 0; i < n; i++) values[i] = Number(key(list[i]));
  // Ranks instead of the values themselves keep rank * orders + order exact. A typed array
  // sorts NaN last, and NaN takes the rank after every other in both directions.
  const distinct = Float64Array.from(new Set(values)).sort();
  const count = distinct.length;
  const ranks = new Uint32Array(n);
  for (let i = 0; i < n; i++) {
    const v = values[i];
    if (Number.isNaN(v)) ranks[i] = count;
    else ranks[i] = indexIn(distinct, count, v);
  }
  return byRank(list, ranks, count, dir, orders);
}

// `list` sorted by `rank(e)`, a whole number below `count` (the text columns' collation ranks),
// ties in name order; `dir` and `orders` as for sortByKey.
export function sortByRank(list, rank, count, dir, orders) {
  const n = list.length;
  const ranks = new Uint32Array(n);
  for (let i = 0; i < n; i++) ranks[i] = rank(list[i]);
  return byRank(list, ranks, count, dir, orders);
}

// Ranks at or above `count` stay last whatever the direction.
function byRank(list, ranks, count, dir, orders) {
  const n = list.length;
  const byOrder = new Array(orders);
  // Whole numbers below 2^32 sort fastest as such; beyond that a double still holds them exactly.
  const packed = (count + 1) * orders <= 2 ** 32 ? new Uint32Array(n) : new Float64Array(n);
  for (let i = 0; i < n; i++) {
    const e = list[i];
    const r = dir < 0 && ranks[i] < count ? count - 1 - ranks[i] : ranks[i];
    packed[i] = r * orders + e.order;
    byOrder[e.order] = e;
  }
  packed.sort();
  const out = new Array(n);
  for (let i = 0; i < n; i++) out[i] = byOrder[packed[i] % orders];
  return out;
}
