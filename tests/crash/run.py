#!/usr/bin/env python3
"""Crash states of UCI writes, in the manner of ALICE and CrashMonkey.

  run.py --bin-dir BUILD/bin [--only NAME]... [--cap N] [--keep DIR] [-v]

Each workload of workloads.txt runs once under `strace -f` (the uci tool's
steps on a temporary directory, or kestrad on the simulated satellite
answering calls); fsops.py turns the log into file-system operations, and
models.py builds every state the persistence models allow. Each state is
checked with libuci's own loader (the project's uci tool):

  torn      every package parses and is one of the contents the workload
            left at a rest point (nobody holding an exclusive lock);
  lost-ack  after an acknowledgement, the one it acknowledged or a later one;
  twice / lost-change
            loaded with the save directory, the view of a rest point, never
            a change applied twice or lost;
  commit    a fresh change committed from the state succeeds, writes that
            view plus the change, and leaves no temporary file;
  mixed     the options of a `together` line come from one request.

Two self-tests prove the checker: a workload's log without its temporary
file's fsync must show a torn or empty package under the fsynced model,
without its directory fsync a lost acknowledged commit. A third feeds the
recorder a log strace printed out of the kernel's order. Exit 1 on any
failure not marked `xfail`, or a marked one that no longer happens.
Workloads on the satellite or an overlay need root; without it they are
skipped (and fail with KESTRAD_REQUIRE_ROOT=1).
"""
import argparse
import difflib
import io
import os
import shutil
import signal
import subprocess
import sys
import tarfile
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import models  # noqa: E402
from fsops import Recorder, strace_command  # noqa: E402

SATELLITE_ROOTS = {'/etc/config': 'config', '/tmp/.uci': 'save', '/run/uci': 'override'}
VOLATILE_ROLES = ('save', 'override')
TORN_KINDS = ('torn', 'empty', 'unparsable', 'missing')
SELF_TESTS = ('set', 'large')   # the small package, and one past the bound of full exploration


# -- workloads.txt

class Workload:
    def __init__(self, name, kind, arg):
        self.name, self.kind = name, kind
        self.overlay = kind == 'tool' and arg == 'overlay'
        self.mode = arg if kind == 'satellite' else None
        self.files = []      # (role, name, block)
        self.steps = []      # (command, acknowledged, strace injection, exit status)
        self.calls = []      # (method, json)
        self.check = []
        self.together = []   # lists of (pkg, section, option)
        self.xfail = {}      # kind -> why
        self.recording = None
        self.roles = None    # trace root -> role


def generated(size):
    """A package of about `size` bytes: many sections and lists."""
    out, i = ['\n'], 0
    while sum(map(len, out)) < size:
        out.append("config host 'h%04d'\n\toption name 'host-%04d'\n\toption mac '02:00:00:%02x:%02x:01'\n"
                   "\tlist tag 'a b'\n\tlist tag 'c'\n\n" % (i, i, i >> 8, i & 255))
        i += 1
    return ''.join(out)


def load_workloads(path):
    blocks, workloads, cur = {}, [], None
    with open(path, encoding='utf-8') as f:
        lines = f.read().split('\n')
    i = 0
    while i < len(lines):
        line = lines[i]
        i += 1
        if not line.strip() or line.lstrip().startswith('#'):
            continue
        word, _, rest = line.strip().partition(' ')
        if word == 'text':
            body = []
            while lines[i] != 'end':
                body.append(lines[i])
                i += 1
            i += 1
            blocks[rest.strip()] = '\n'.join(body) + '\n'
        elif word == 'gen':
            name, size = rest.split()
            blocks[name] = generated(int(size))
        elif word in ('workload', 'satellite'):
            name, _, arg = rest.partition(' ')
            cur = Workload(name, 'tool' if word == 'workload' else 'satellite', arg.strip())
            workloads.append(cur)
        elif word == 'file':
            where, block = rest.split()
            role, _, fname = where.partition('/')
            cur.files.append((role, fname, block))
        elif word in ('run', 'ack'):
            opts = {'inject': None, 'status': '0'}
            while rest.split(' ', 1)[0].split('=', 1)[0] in opts:
                opt, _, rest = rest.partition(' ')
                k, _, v = opt.partition('=')
                opts[k] = v
            cur.steps.append((rest, word == 'ack', opts['inject'], int(opts['status'])))
        elif word == 'call':
            method, _, body = rest.partition(' ')
            cur.calls.append((method, body.strip()))
        elif word == 'check':
            cur.check += rest.split()
        elif word == 'together':
            cur.together.append([tuple(x.split('.')) for x in rest.split()])
        elif word == 'xfail':
            kinds, _, why = rest.partition('--')
            for k in kinds.split():
                cur.xfail[k] = why.strip()
        else:
            raise SystemExit('workloads.txt: unknown line %r' % line)
    for w in workloads:
        w.files = [(r, n, blocks[b]) for r, n, b in w.files]
    return workloads


# -- recording

def read_tree(root):
    out = {}
    for d, _, files in os.walk(root):
        for f in files:
            full = os.path.join(d, f)
            with open(full, 'rb') as fh:
                out[full] = fh.read()
    return out


def merged_tree(lower, upper, mount_point):
    """What an overlay of upper on lower shows at mount_point."""
    out = {}
    for path, data in read_tree(lower).items():
        out[mount_point + path[len(lower):]] = data
    for d, _, files in os.walk(upper):
        for f in files:
            full = os.path.join(d, f)
            name = mount_point + full[len(upper):]
            if os.path.isfile(full) and not os.path.islink(full):
                with open(full, 'rb') as fh:
                    out[name] = fh.read()
            else:
                out.pop(name, None)   # a whiteout
    return out


def record_tool(w, uci, base):
    shutil.rmtree(base, ignore_errors=True)
    roots = {os.path.join(base, r): r for r in ('config', 'save', 'override')}
    for r in roots:
        os.makedirs(r)
    lower = os.path.join(base, 'lower')
    if w.overlay:
        for d in ('lower', 'upper', 'work'):
            os.makedirs(os.path.join(base, d))
    initial = {}
    for role, name, text in w.files:
        path = os.path.join(base, role, name)
        initial[path] = text.encode()
        target = os.path.join(lower, name) if w.overlay and role == 'config' else path
        with open(target, 'w', encoding='utf-8') as f:
            f.write(text)
    bindir = os.path.join(base, 'bin')
    os.makedirs(bindir)
    with open(os.path.join(bindir, 'uci'), 'w') as f:
        f.write('#!/bin/sh\nexec %s -c %s/config -t %s/save -C %s/override "$@"\n' % (uci, base, base, base))
    os.chmod(os.path.join(bindir, 'uci'), 0o755)
    env = dict(os.environ, PATH=bindir + ':' + os.environ.get('PATH', '/usr/bin:/bin'))
    rec = Recorder(list(roots), initial)
    for n, (command, acked, inject, status) in enumerate(w.steps):
        log = os.path.join(base, 'trace.%d' % n)
        cmd = strace_command(log) + (['-e', 'inject=' + inject] if inject else []) + ['sh', '-c', command]
        if w.overlay:
            mount = ('mount -t overlay overlay -o lowerdir=%s/lower,upperdir=%s/upper,workdir=%s/work %s/config'
                     ' && exec "$@"' % (base, base, base, base))
            cmd = ['unshare', '-m', '--propagation', 'private', 'sh', '-c', mount, 'sh'] + cmd
        rec.mark_request()
        p = subprocess.run(cmd, env=env, cwd=base, timeout=60, capture_output=True)
        if p.returncode != status:
            raise SystemExit('%s: `%s` exited %d, not %d:\n%s' % (w.name, command, p.returncode, status,
                                                               p.stderr.decode('latin-1')))
        with open(log, encoding='latin-1') as f:
            rec.feed(f)
        rec.fds.clear()
        rec.note_rest()
        if acked:
            rec.mark_ack()
    on_disk = {}
    for r, role in roots.items():
        if role == 'config' and w.overlay:
            on_disk.update(merged_tree(lower, os.path.join(base, 'upper'), r))
        else:
            on_disk.update(read_tree(r))
    if rec.live.snapshot() != on_disk:
        raise SystemExit('%s: the operations read from the trace do not give the files on disk:\n%s\n%s'
                         % (w.name, sorted(rec.live.snapshot()), sorted(on_disk)))
    w.roles = roots
    w.recording = models.Recording(rec.initial, rec.ops, rec.rest, rec.acks, rec.requests,
                                   [r for r, role in roots.items() if role in VOLATILE_ROLES])


class Satellite:
    def __init__(self, bin_dir, mode, base, log):
        self.tool = os.path.join(bin_dir, 'satellite')
        self.dir = os.path.join(base, 'sat-' + mode)
        shutil.rmtree(self.dir, ignore_errors=True)
        env = dict(os.environ, KESTRAD_EMULATOR=' '.join(strace_command(log)))
        env.pop('KESTRAD_BIN', None)
        self.err = os.path.join(base, 'sat-%s.err' % mode)
        with open(self.err, 'wb') as err:
            self.launcher = subprocess.Popen([self.tool, 'start', self.dir, '--mode', mode], env=env,
                                             stdout=subprocess.DEVNULL, stderr=err)
        try:
            self.start()
        except BaseException:
            self.close()
            raise

    def start(self):
        self.wait(lambda: all(os.path.exists(os.path.join(self.dir, 'state', f))
                              for f in ('ready', 'init.pid', 'kestrad.pid')), 60, 'the satellite')
        self.obj = None

        def published():
            out = self.exec(['vimb', 'list'], check=False).stdout.decode()
            names = [x for x in out.split() if x.endswith('-@kestrad')]
            self.obj = names[0] if names else None
            return self.obj
        self.wait(published, 60, "kestrad's object")

    def wait(self, cond, seconds, what):
        deadline = time.monotonic() + seconds
        while not cond():
            if self.launcher.poll() is not None:
                with open(self.err, encoding='latin-1') as f:
                    raise SystemExit('the satellite ended: %s' % f.read())
            if time.monotonic() > deadline:
                raise SystemExit('%s did not come up in %d s' % (what, seconds))
            time.sleep(0.05)

    def exec(self, cmd, check=True, **kw):
        p = subprocess.run([self.tool, 'exec', self.dir, '--'] + cmd, capture_output=True, timeout=60, **kw)
        if check and p.returncode != 0:
            raise SystemExit('%s failed: %s' % (' '.join(cmd), p.stderr.decode()))
        return p

    def snapshot(self):
        p = self.exec(['sh', '-c', 'cd / && tar -cf - etc/config tmp/.uci $(test -d run/uci && echo run/uci)'])
        out = {}
        with tarfile.open(fileobj=io.BytesIO(p.stdout)) as t:
            for m in t.getmembers():
                if m.isfile():
                    out['/' + m.name] = t.extractfile(m).read()
        return out

    def stop(self):
        # strace running a program ignores SIGTERM: kestrad goes first, and
        # strace ends with it
        self.exec(['sh', '-c', 'p=$(cat %s/state/kestrad.pid); for c in $(cat /proc/$p/task/$p/children); '
                   'do kill -TERM $c; done; svc stop kestrad' % self.dir])

    def close(self):
        self.launcher.send_signal(signal.SIGKILL)
        self.launcher.wait(30)


def record_satellites(group, bin_dir, base):
    """Workloads of one mode, one after the other on one satellite."""
    mode = group[0].mode
    log = os.path.join(base, 'kestrad-%s.trace' % mode)
    sat = Satellite(bin_dir, mode, base, log)
    try:
        starts, invokes, before = {}, 0, []
        for w in group:
            before.append(sat.snapshot())
            for role, name, text in w.files:
                path = os.path.join(sat.dir, role, name)
                with open(path + '.new', 'w', encoding='utf-8') as f:
                    f.write(text)
                os.rename(path + '.new', path)
            starts[invokes + 1] = (w, sat.snapshot())
            for method, body in w.calls:
                p = sat.exec(['vimb', 'call', sat.obj, method, body], check=False)
                if p.returncode != 0 or '"return": "success"' not in p.stdout.decode():
                    raise SystemExit('%s: %s %s was answered %r (%s)' % (
                        w.name, method, body, p.stdout.decode(), p.stderr.decode().strip()))
            invokes += len(w.calls)
        sat.stop()
        before.append(sat.snapshot())
    finally:
        sat.close()

    rec = Recorder(list(SATELLITE_ROOTS), {}, aliases=[('/var/run', '/run')])
    rec.collecting = False
    segments = []

    def finish():
        if segments:
            w = segments[-1]
            w.recording = models.Recording(rec.initial, rec.ops, rec.rest, rec.acks, rec.requests,
                                           [r for r, role in SATELLITE_ROOTS.items() if role in VOLATILE_ROLES])
            w.final = rec.live.snapshot()

    def starter(w, snap):
        def start(r):
            finish()
            segments.append(w)
            r.restart(snap)
        return start
    for n, (w, snap) in starts.items():
        rec.on_invoke[n] = starter(w, snap)
        w.roles = dict(SATELLITE_ROOTS)
    with open(log, encoding='latin-1') as f:
        rec.feed(f)
    finish()
    for i, w in enumerate(group):
        if w.recording is None:
            raise SystemExit('%s: kestrad got none of its calls' % w.name)
        if w.final != before[i + 1]:
            raise SystemExit('%s: the operations read from the trace do not give the files kestrad left' % w.name)


# -- checking

class Checker:
    def __init__(self, uci, scratch):
        self.uci = uci
        self.scratch = scratch
        self.cache = {}

    def dirs(self):
        return {r: os.path.join(self.scratch, r) for r in ('config', 'save', 'override', 'empty')}

    def materialize(self, files, roles):
        d = self.dirs()
        for path in d.values():
            shutil.rmtree(path, ignore_errors=True)
            os.makedirs(path)
        for path, data in files.items():
            for root, role in roles.items():
                if path.startswith(root + '/'):
                    target = os.path.join(d[role], path[len(root) + 1:])
                    os.makedirs(os.path.dirname(target), exist_ok=True)
                    with open(target, 'wb') as f:
                        f.write(data)
                    break

    def tool(self, save, script):
        d = self.dirs()
        p = subprocess.run([self.uci, '-c', d['config'], '-C', d['override'], '-t', d[save], 'batch'],
                           input=script.encode(), capture_output=True, timeout=30)
        return p

    def exports(self, save, pkgs):
        p = self.tool(save, ''.join('export %s\n' % x for x in pkgs))
        out, got = {}, {}
        cur = None
        for line in p.stdout.decode('latin-1').splitlines(True):
            if line.startswith('package '):
                cur = line[8:].strip()
                got[cur] = [line]
            elif cur:
                got[cur].append(line)
        errors = [e for e in p.stderr.decode('latin-1').splitlines() if e.strip()]
        for x in pkgs:
            if x in got:
                out[x] = ''.join(got[x])
            else:
                err = errors.pop(0) if errors else 'no output'
                out[x] = 'ERROR ' + err.split(': ', 1)[-1]
        return out

    def check_state(self, files, roles, pkgs):
        """What the loader makes of a state: per package the file's content,
        the view with the save directory, and the fresh commit's outcome."""
        key = (models.key_of(files), tuple(pkgs), tuple(sorted(roles.items())))
        if key in self.cache:
            return self.cache[key]
        self.materialize(files, roles)
        d = self.dirs()
        plain = self.exports('empty', pkgs)
        view = self.exports('save', pkgs)
        raw = {}
        for x in pkgs:
            for role in ('override', 'config'):
                path = os.path.join(d[role], x)
                if os.path.exists(path):
                    with open(path, 'rb') as f:
                        raw[x] = f.read()
                    break
        ok = [x for x in pkgs if not view[x].startswith('ERROR')]
        commit = {}
        if ok:
            p = self.tool('save', ''.join('set %s.crashprobe=probe\ncommit %s\n' % (x, x) for x in ok))
            left = [f for role in ('config', 'override') for f in os.listdir(d[role]) if f.startswith('.')]
            left += [f for f in os.listdir(d['save']) if f.startswith('.')]
            for x in ok:
                problem = None
                if p.returncode != 0 or p.stderr.strip():
                    problem = 'commit failed: ' + p.stderr.decode('latin-1').strip()
                elif left:
                    problem = 'left behind: ' + ' '.join(sorted(left))
                else:
                    written = None
                    for role in ('override', 'config'):
                        path = os.path.join(d[role], x)
                        if os.path.exists(path):
                            with open(path, encoding='latin-1') as f:
                                written = f.read()
                            break
                    want = view[x].split('\n', 1)[1] + "config probe 'crashprobe'\n\n"
                    if written != want:
                        problem = 'the commit wrote\n%s\ninstead of\n%s' % (written, want)
                commit[x] = problem
        result = (plain, view, raw, commit)
        self.cache[key] = result
        return result


def options(export_text):
    """section -> option -> value of an exported package."""
    out, sec = {}, None
    for line in export_text.splitlines():
        if line.startswith('config '):
            parts = line.split(' ', 2)
            sec = parts[2].strip("'") if len(parts) > 2 else None
            out.setdefault(sec, {})
        elif line.startswith('\toption ') and sec is not None:
            _, name, value = line.strip().split(' ', 2)
            out[sec][name] = value[1:-1].replace("'\\''", "'")
    return out


def together_values(view, group):
    vals = []
    for pkg, sec, opt in group:
        text = view.get(pkg, '')
        vals.append(options(text).get(sec, {}).get(opt) if not text.startswith('ERROR') else 'ERROR')
    return tuple(vals)


class Result:
    def __init__(self):
        self.states = {}      # model -> distinct states
        self.built = {}       # model -> states built, duplicates included
        self.stats = {}       # unsynced: the most optional operations at a crash point
        self.capped = {}
        self.failures = []    # (model, kind, pkg, text)


def packages_of(w):
    """The packages checked: those named, else every package the workload
    has a file or staged changes of, before or after."""
    if w.check:
        return sorted(w.check)
    rec = w.recording
    final = rec.initial.copy()
    for op in rec.ops:
        final.apply(op)
    names = set()
    for files in (rec.initial.entries, final.entries):
        for p in files:
            for root in w.roles:
                name = p[len(root) + 1:] if p.startswith(root + '/') else None
                if name and not name.startswith('.') and '/' not in name:
                    names.add(name)
    return sorted(names)


def check_workload(w, checker, cap, models_wanted=models.MODELS):
    rec = w.recording
    pkgs = packages_of(w)
    res = Result()
    prefixes = list(rec.prefixes())
    rest_points = [k for k, _ in prefixes if rec.rest[k]]
    n = len(rec.ops)
    boundaries = sorted(set(rec.requests[1:] + [0, n]))
    for model in models_wanted:
        keep = (lambda f: f) if model == 'process' else rec.durable
        # what a reader obeying the locks could see, at each rest point
        seen = {k: checker.check_state(keep(files), w.roles, pkgs) for k, files in prefixes if rec.rest[k]}
        allowed_plain = {x: {seen[k][0][x] for k in rest_points} for x in pkgs}
        allowed_view = {x: {seen[k][1][x] for k in rest_points} for x in pkgs}

        def after(level, which):
            a = rec.acks[level - 1]
            return {x: {seen[k][which][x] for k in rest_points if k >= a} for x in pkgs}
        after_cache = {}
        together_ok = []
        for group in w.together:
            ok = set()
            for k in boundaries:
                files = keep(prefixes[k][1])
                ok.add(together_values(checker.check_state(files, w.roles, pkgs)[1], group))
            together_ok.append(ok)

        sts, capped, built = models.states(rec, model, cap, res.stats)
        res.states[model] = len(sts)
        res.built[model] = built
        res.capped[model] = capped
        for files, level in sts:
            plain, view, raw, commit = checker.check_state(files, w.roles, pkgs)
            if level and level not in after_cache:
                after_cache[level] = (after(level, 0), after(level, 1))
            for x in pkgs:
                def fail(kind, text, against=()):
                    if against:
                        near = max(against, key=lambda a: difflib.SequenceMatcher(None, a, text).ratio())
                        text = ''.join(difflib.unified_diff(near.splitlines(True), text.splitlines(True),
                                                            'the closest a reader could see', 'this state', n=1))
                    res.failures.append((model, kind, x, text, files))
                if plain[x] not in allowed_plain[x]:
                    data = raw.get(x)
                    if data is None:
                        kind = 'missing'
                    elif not data.strip(b'\0'):
                        kind = 'empty'
                    elif plain[x].startswith('ERROR'):
                        kind = 'unparsable'
                    else:
                        kind = 'torn'
                    fail(kind, plain[x], allowed_plain[x])
                    continue
                if level and plain[x] not in after_cache[level][0][x]:
                    fail('lost-ack', plain[x], after_cache[level][0][x])
                    continue
                if view[x] not in allowed_view[x]:
                    longest = max(len(v.splitlines()) for v in allowed_view[x])
                    fail('twice' if len(view[x].splitlines()) > longest else 'lost-change', view[x], allowed_view[x])
                    continue
                if level and view[x] not in after_cache[level][1][x]:
                    fail('lost-ack', view[x], after_cache[level][1][x])
                    continue
                if commit.get(x):
                    fail('commit', commit[x])
            for group, ok in zip(w.together, together_ok):
                got = together_values(view, group)
                if got not in ok:
                    res.failures.append((model, 'mixed', group[0][0], 'got %r, one request gives one of %r'
                                         % (got, sorted(ok, key=str)), files))
    return res


def without(rec, kind):
    """The recording with its operations of `kind` dropped."""
    keep = [i for i, op in enumerate(rec.ops) if op[0] != kind]
    index = {old: new for new, old in enumerate(keep)}

    def remap(k):
        return next((index[i] for i in range(k, len(rec.ops)) if i in index), len(keep))
    rest = [rec.rest[k] for k in keep] + [rec.rest[len(rec.ops)]]
    return models.Recording(rec.initial, [rec.ops[i] for i in keep], rest,
                            [remap(a) for a in rec.acks], [remap(r) for r in rec.requests],
                            rec.volatile_roots)


def describe(files):
    out = []
    for path in sorted(files):
        data = files[path]
        out.append('    %s (%d bytes)%s' % (path, len(data), ' all zeros' if data and not data.strip(b'\0') else ''))
    return '\n'.join(out)


# strace may print a call of one process before the unfinished call of
# another that it depended on: the second opens the file the first's
# unfinished open created, then locks it once the first's unfinished close
# let go. The recorder has to take the unfinished calls first.
INTERLEAVED = """\
1 openat(AT_FDCWD</r>, "/r/f", O_WRONLY|O_CREAT|O_APPEND, 0644 <unfinished ...>
2 openat(AT_FDCWD</r>, "/r/f", O_WRONLY|O_APPEND) = 3</r/f>
1 <... openat resumed>) = 3</r/f>
1 flock(3</r/f>, LOCK_EX|LOCK_NB) = 0
1 write(3</r/f>, "a", 1) = 1
1 close(3</r/f> <unfinished ...>
2 flock(3</r/f>, LOCK_EX|LOCK_NB) = 0
1 <... close resumed>) = 0
2 write(3</r/f>, "b", 1) = 1
2 close(3</r/f>) = 0
"""


def interleaving_self_test():
    rec = Recorder(['/r'], {})
    rec.feed(io.StringIO(INTERLEAVED))
    want_ops = [('creat', '/r/f', 1), ('write', 1, 0, b'a'), ('write', 1, 1, b'b')]
    ok = rec.ops == want_ops and rec.rest[2]
    print('self-test, unfinished calls taken first: %s' % ('ok' if ok else 'FAIL: %r' % (rec.ops,)))
    return ok


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--bin-dir', required=True)
    ap.add_argument('--only', action='append', default=[])
    ap.add_argument('--cap', type=int, default=2000, help='states per workload and model')
    ap.add_argument('--keep', help='keep the traces and scratch files here')
    ap.add_argument('--record-uci', help="another uci tool to record the tool's workloads with (the device's)")
    ap.add_argument('-v', action='store_true')
    args = ap.parse_args()
    started = time.monotonic()
    uci = os.path.abspath(os.path.join(args.bin_dir, 'uci'))
    if not shutil.which('strace'):
        print('crash states: strace is not installed; skipped')
        return 77
    workloads = load_workloads(os.path.join(HERE, 'workloads.txt'))
    if args.only:
        workloads = [w for w in workloads if w.name in args.only]
    root = os.geteuid() == 0
    skipped = [w for w in workloads if not root and (w.kind == 'satellite' or w.overlay)]
    workloads = [w for w in workloads if w not in skipped]
    base = args.keep or tempfile.mkdtemp(prefix='kestrad-crash-')
    os.makedirs(base, exist_ok=True)
    status = 0
    try:
        for w in workloads:
            if w.kind == 'tool':
                record_tool(w, os.path.abspath(args.record_uci or uci), os.path.join(base, w.name))
        modes = []
        for w in workloads:
            if w.kind == 'satellite' and w.mode not in modes:
                modes.append(w.mode)
        for mode in modes:
            record_satellites([w for w in workloads if w.mode == mode], os.path.abspath(args.bin_dir), base)
        recorded = time.monotonic()

        checker = Checker(uci, os.path.join(base, 'scratch'))
        # per model: distinct states checked (built, duplicates included);
        # uns.: the most operations a crash point leaves unsynced (fsynced)
        print('%-16s %4s %4s %4s  %-11s %-11s %-11s %s' % ('workload', 'ops', 'acks', 'uns.', *models.MODELS,
                                                         'outcome'))
        total = {m: [0, 0] for m in models.MODELS}
        for w in workloads:
            res = check_workload(w, checker, args.cap)
            kinds = {}
            for model, kind, pkg, text, files in res.failures:
                kinds.setdefault(kind, []).append((model, pkg, text, files))
            unexpected = {k: v for k, v in kinds.items() if k not in w.xfail}
            gone = [k for k in w.xfail if k not in kinds]
            outcome = 'ok'
            if unexpected:
                outcome = 'FAIL ' + ', '.join('%s %d' % (k, len(v)) for k, v in sorted(unexpected.items()))
                status = 1
            if gone:
                outcome = 'FAIL xfail no longer fails: ' + ', '.join(gone)
                status = 1
            xf = ['xfail %s %d' % (k, len(kinds[k])) for k in w.xfail if k in kinds]
            if xf and outcome == 'ok':
                outcome = ', '.join(xf)
            for m in models.MODELS:
                total[m][0] += res.states[m]
                total[m][1] += res.built[m]
            print('%-16s %4d %4d %4d  %-11s %-11s %-11s %s' % (
                w.name, len(w.recording.ops), len(w.recording.acks), res.stats.get('unsynced', 0),
                *('%d%s (%d)' % (res.states[m], '+' if res.capped[m] else '', res.built[m])
                  for m in models.MODELS), outcome))
            for kind, items in sorted(kinds.items()):
                if kind in w.xfail and not args.v:
                    print('    xfail %s (%s): %s' % (kind, items[0][0], w.xfail[kind]))
                    continue
                for model, pkg, text, files in items[:1 if not args.v else 3]:
                    print('    %s in %s, model %s, e.g. the state with\n%s\n    gives:\n%s' % (
                        kind, pkg, model, describe(files),
                        '\n'.join('      ' + l for l in text.splitlines()[:24])))
        print('%-16s %4s %4s %4s  %-11s %-11s %-11s' % ('total', '', '', '', *('%d (%d)' % tuple(total[m])
                                                                      for m in models.MODELS)))

        checked = time.monotonic()
        # The checker catches what it is for: the fsynced model of a log
        # without the temporary file's fsync, and one without the
        # directory's.
        probes = [w for w in workloads if w.name in SELF_TESTS]
        if not args.only and len(probes) != len(SELF_TESTS):
            print('self-tests: no workloads %s' % ', '.join(SELF_TESTS))
            status = 1
        for probe in probes:
            rec = probe.recording
            for name, variant, want in (
                    ('no fsync of the temporary file', without(rec, 'fsync'), TORN_KINDS),
                    ('no fsync of the directory', without(rec, 'dsync'), ('lost-ack',))):
                probe.recording = variant
                res = check_workload(probe, checker, args.cap, ('fsynced',))
                found = sorted({k for _, k, _, _, _ in res.failures})
                hit = [k for k in found if k in want]
                print('self-test, %s, %s: %d states (%d), at most %d unsynced, %s' % (
                    probe.name, name, res.states['fsynced'], res.built['fsynced'], res.stats['unsynced'],
                    ('reported ' + ', '.join(found)) if hit else
                    'FAIL: no %s reported (%s)' % ('/'.join(want), ', '.join(found) or 'nothing')))
                if not hit:
                    status = 1
            probe.recording = rec
        if not interleaving_self_test():
            status = 1
        for w in skipped:
            print('%s: skipped, it needs root' % w.name)
        if skipped and os.environ.get('KESTRAD_REQUIRE_ROOT') == '1':
            status = 1
        print('recorded in %.1f s, checked in %.1f s, self-tests %.1f s' % (
            recorded - started, checked - recorded, time.monotonic() - checked))
    finally:
        if not args.keep:
            shutil.rmtree(base, ignore_errors=True)
    return status


if __name__ == '__main__':
    sys.exit(main())
