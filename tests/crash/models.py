"""Crash states of a recorded workload under three persistence models.

A state is the files under the roots (path -> bytes) and how many of the
workload's acknowledgements had been given at the crash ("level").

- process: the process crashes (SIGKILL): every operation before the point
  happened, and the volatile roots (tmpfs: the save directory, /var/run)
  survive. One state per point.
- ordered: power is cut on a file system that persists operations in order
  (a journal): any prefix back to the last fsync survives, the volatile
  roots are gone.
- fsynced: power is cut and only what was synced is sure: a file's fsync
  makes its data durable, a directory's fsync its entries, sync() both;
  every other operation may or may not have persisted, an unsynced write
  may come back as zeros, a rename is atomic. Writes are split at 4 KiB
  boundaries. Up to a dozen optional operations every subset is tried;
  past that, the in-order prefixes and each single omission.
"""
import hashlib
import os

from fsops import Files

BLOCK = 4096
FULL_SUBSETS = 12
MODELS = ('process', 'ordered', 'fsynced')
DATA_OPS = ('write', 'trunc')
ENTRY_OPS = ('creat', 'rename', 'unlink', 'mkdir', 'rmdir')
SYNC_OPS = ('fsync', 'dsync', 'sync')


def key_of(files):
    h = hashlib.sha1()
    for path in sorted(files):
        h.update(path.encode('latin-1') + b'\0' + str(len(files[path])).encode() + b'\0' + files[path])
    return h.hexdigest()


class Recording:
    """What a workload's run left: the initial files, the operations, the
    rest points, acknowledgements and request starts (operation counts)."""

    def __init__(self, initial, ops, rest, acks, requests, volatile_roots):
        self.initial = initial          # fsops.Files
        self.ops = ops
        self.rest = rest
        self.acks = acks
        self.requests = requests
        self.volatile_roots = list(volatile_roots)
        self._inode_paths()

    def volatile_path(self, path):
        return any(path == r or path.startswith(r + '/') for r in self.volatile_roots)

    def _inode_paths(self):
        """Marks each operation volatile or not: by its path, or for data and
        fsync operations by where its inode lives."""
        home = {ino: p for p, ino in self.initial.entries.items()}
        self.volatile = []
        for op in self.ops:
            kind = op[0]
            if kind == 'creat':
                home[op[2]] = op[1]
            elif kind == 'rename' and len(op) > 3 and op[3] is not None:
                home[op[3]] = op[2]
            if kind in DATA_OPS or kind == 'fsync':
                v = self.volatile_path(home.get(op[1], '/'))
            elif kind == 'dsync':
                v = self.volatile_path(op[1])
            elif kind == 'sync':
                v = False
            else:
                v = self.volatile_path(op[1])
            self.volatile.append(v)

    def level(self, k):
        """Acknowledgements given when the crash came after k operations."""
        return sum(1 for a in self.acks if a <= k)

    def prefixes(self):
        """The files after each k operations, k = 0..n."""
        f = self.initial.copy()
        yield 0, f.snapshot()
        for k, op in enumerate(self.ops, 1):
            f.apply(op)
            yield k, f.snapshot()

    def durable(self, files):
        return {p: d for p, d in files.items() if not self.volatile_path(p)}


def states(rec, model, cap, stats=None):
    """(files, level) pairs of the model, distinct, at most `cap`; whether
    the cap cut it short; how many were built before duplicates went."""
    seen = {}
    capped = False
    built = 0

    def add(files, level):
        nonlocal capped, built
        built += 1
        k = (key_of(files), level)
        if k in seen:
            return True
        if len(seen) >= cap:
            capped = True
            return False
        seen[k] = (files, level)
        return True

    if model == 'process':
        for k, files in rec.prefixes():
            if not add(files, rec.level(k)):
                break
    elif model == 'ordered':
        prefixes = [rec.durable(files) for _, files in rec.prefixes()]
        n = len(rec.ops)
        # A prefix j survives a crash at any k from j up to the next
        # durable sync at or after j (which, once done, keeps j's successors).
        for j in range(n + 1):
            s = j
            while s < n and not (rec.ops[s][0] in SYNC_OPS and not rec.volatile[s]):
                s += 1
            if not add(prefixes[j], rec.level(s)):
                break
    else:
        for files, level in fsynced_states(rec, stats):
            if not add(files, level):
                break
    return list(seen.values()), capped, built


def hidden(path):
    return os.path.basename(path).startswith('.')


def split(rec):
    """The durable operations, writes cut at block boundaries."""
    out = []
    for op, vol in zip(rec.ops, rec.volatile):
        if vol:
            continue
        if op[0] == 'write' and len(op[3]) > BLOCK:
            ino, off, buf = op[1], op[2], op[3]
            at = 0
            while at < len(buf):
                n = min(len(buf) - at, BLOCK - (off + at) % BLOCK)
                out.append((('write', ino, off + at, buf[at:at + n]), op))
                at += n
        else:
            out.append((op, op))
    return out


def fsynced_states(rec, stats=None):
    """stats['unsynced']: the most optional operations at one crash point."""
    ops = split(rec)
    # position in rec.ops of each piece, for the acknowledgement levels
    where, i = [], 0
    for piece, orig in ops:
        while rec.ops[i] is not orig:
            i += 1
        where.append(i)
    n = len(ops)

    # The first sync after piece i that makes it durable (n: none).
    cover = []
    for i, (op, _) in enumerate(ops):
        kind = op[0]
        c = n
        if kind in SYNC_OPS:
            c = -1
        need = set()
        if kind in ENTRY_OPS:
            need.add(os.path.dirname(op[1]))
        if kind == 'rename':
            need.add(os.path.dirname(op[2]))
        synced = set()
        for j in range(i + 1, n if c == n else 0):
            o = ops[j][0]
            if o[0] == 'sync':
                c = j
                break
            if kind in DATA_OPS and o[0] == 'fsync' and o[1] == op[1]:
                c = j
                break
            if kind in ENTRY_OPS and o[0] == 'dsync':
                synced.add(o[1])
                if need <= synced:
                    c = j
                    break
        cover.append(c)

    f0 = rec.initial.copy()
    f0.entries = {p: ino for p, ino in f0.entries.items() if not rec.volatile_path(p)}

    def build(k, chosen, zeros):
        f = f0.copy()
        for i in range(k):
            op = ops[i][0]
            if op[0] in SYNC_OPS:
                continue
            if cover[i] < k or i in unseen:
                f.apply(op)
            elif i in chosen:
                f.apply(op)
            elif zeros and op[0] == 'write':
                f.apply(op, zeros=True)
        return f.snapshot()

    visible = {ino for p, ino in f0.entries.items() if not hidden(p)}
    unseen = set()
    for k in range(n + 1):
        if k:
            op = ops[k - 1][0]
            if op[0] == 'creat' and not hidden(op[1]):
                visible.add(op[2])
            elif op[0] == 'rename' and len(op) > 3 and not hidden(op[2]):
                visible.add(op[3])
        # the crash comes just before piece k, after every acknowledgement
        # given before it
        level = rec.level(where[k]) if k < n else rec.level(len(rec.ops))
        # Data of an inode that no loaded name reaches yet (a temporary
        # file before its rename) changes nothing the checks see: taken as
        # written.
        unseen = {i for i in range(k) if ops[i][0][0] in DATA_OPS and ops[i][0][1] not in visible}
        optional = [i for i in range(k) if ops[i][0][0] not in SYNC_OPS and cover[i] >= k and i not in unseen]
        if stats is not None:
            stats['unsynced'] = max(stats.get('unsynced', 0), len(optional))
        if len(optional) <= FULL_SUBSETS:
            choices = []
            for mask in range(1 << len(optional)):
                choices.append({optional[b] for b in range(len(optional)) if mask >> b & 1})
        else:
            choices = [set(optional[:m]) for m in range(len(optional) + 1)]
            choices += [set(optional) - {x} for x in optional]
        for chosen in choices:
            yield build(k, chosen, False), level
            if any(ops[i][0][0] == 'write' for i in optional if i not in chosen):
                yield build(k, chosen, True), level
