#!/usr/bin/env python3
# What one call of `test` touches, and what it would miss when it is one
# of N called in turn: from a lackey trace (valgrind --tool=lackey
# --trace-mem=yes) of a responder, cut into calls at an instruction
# address it passes once per call (bench/run/cold-model).
#   cold_model.py TRACE ENTRY [N...]
# Prints the responder's instructions, distinct lines and pages per call,
# then, for each N, the misses per call of a model of this CPU: 32 kB
# 8-way first-level caches, a 1 MB 8-way second level, a 32 MB 16-way
# third, TLBs of 64 (instructions) and 72 (data) entries and a second
# level of 2,048 (8-way); the N responders' code one copy, their data and
# TLB entries their own, one after the other on one CPU. vimbd, the
# caller and the kernel are not in it. Sets are chosen by a hash of the
# line, not its address bits.
import sys


def calls(path, entry, skip=5):
    out, cur = [], None
    with open(path) as f:
        for line in f:
            if len(line) < 4 or line[0] not in ' I':
                continue
            kind = line[0:2].strip()
            try:
                addr, _ = line[3:].strip().split(',')
                a = int(addr, 16)
            except ValueError:
                continue
            if kind == 'I' and a == entry:
                if cur is not None:
                    out.append(cur)
                cur = []
            if cur is not None:
                cur.append((kind == 'I', a))
    return out[skip:]


class Cache:
    def __init__(self, entries, ways):
        self.ways, self.sets = ways, [[] for _ in range(entries // ways)]

    def hit(self, tag):
        s = self.sets[hash(tag) % len(self.sets)]
        if tag in s:
            s.remove(tag)
            s.insert(0, tag)
            return True
        s.insert(0, tag)
        if len(s) > self.ways:
            s.pop()
        return False


def model(n, call, warm=2, rounds=3):
    l1i, l1d, l2, l3 = Cache(512, 8), Cache(512, 8), Cache(16384, 8), Cache(524288, 16)
    itlb, dtlb, stlb = Cache(64, 64), Cache(72, 72), Cache(2048, 8)
    miss = dict.fromkeys(('L1I', 'L1D', 'L2', 'L3', 'TLB', 'L2 TLB'), 0)

    def touch(asid, code, a, count):
        line, page = (0 if code else asid, a >> 6), (asid, a >> 12)
        if not (itlb if code else dtlb).hit(page):
            miss['TLB'] += count
            if not stlb.hit(page):
                miss['L2 TLB'] += count
        if not (l1i if code else l1d).hit(line):
            miss['L1I' if code else 'L1D'] += count
            if not l2.hit(line):
                miss['L2'] += count
                if not l3.hit(line):
                    miss['L3'] += count

    for r in range(warm + rounds):
        for k in range(n):
            for code, a in call:
                touch(k, code, a, int(r >= warm))
    return {k: v / (n * rounds) for k, v in miss.items()}


def main():
    resp = calls(sys.argv[1], int(sys.argv[2], 0))
    if len(resp) < 6:
        sys.exit('cold_model: too few calls in the trace')
    ns = [int(x) for x in sys.argv[3:]] or [1, 64]
    c = len(resp)
    ins = sum(sum(1 for code, _ in s if code) for s in resp) / c
    ilines = sum(len({a >> 6 for code, a in s if code}) for s in resp) / c
    dlines = sum(len({a >> 6 for code, a in s if not code}) for s in resp) / c
    ipages = sum(len({a >> 12 for code, a in s if code}) for s in resp) / c
    dpages = sum(len({a >> 12 for code, a in s if not code}) for s in resp) / c
    print('per call: %.0f instructions, %.0f instruction lines, %.0f data lines, %.0f pages (%.0f code, %.0f data)'
          % (ins, ilines, dlines, ipages + dpages, ipages, dpages))
    for n in ns:
        m = model(n, resp[0])
        print('N = %d: misses per call: ' % n + ', '.join('%s %.1f' % kv for kv in m.items()))


main()
