#!/usr/bin/env python3
"""The project's libuci against the device's ($KESTRAD_REFERENCE): the same
driver program (driver.c) built against each, run on the same inputs, its
output and every file it leaves compared.

  run.py OUR_DRIVER SOURCE_DIR [--files N] [--scripts N] [--seed S]

1. the parser: the hand-made files in cases/parse.txt and N generated ones
   (gen_files.py), each loaded: the tree, or the error with line and byte;
2. the hand-made scripts in cases/scripts.txt, then generated ones
   (gen_ops.py): loads, lookups, changes, add, save, revert and commit
   across several contexts sharing a save directory and a delta directory;
   output after each step, and the config, save and delta directories at
   the end.

A difference the project keeps on purpose is counted under its name (see
NAMED); any other fails the test. Exit 77 (skip) without the reference.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)


def named(ref, ours, inputs):
    """The name of a deliberate difference this first differing pair of
    lines shows, or None."""
    if ref.startswith('rename -> 0') and ours.startswith('rename -> 6'):
        # The device renames onto a name another section or option has, and
        # then writes a file it refuses to load.
        return 'rename onto a taken name is refused'
    if b'\0' in inputs and ('(invalid character) at line' in ours or
                            (ref.startswith('load -> 5') and ours.startswith('load -> 5'))):
        # The device ends a line at a NUL, joins the next line to it, and
        # counts lines otherwise; ours refuses the file.
        return 'NUL outside quotes refuses the file'
    return None


def first_difference(a, b):
    al, bl = a.splitlines(), b.splitlines()
    for i in range(max(len(al), len(bl))):
        x = al[i] if i < len(al) else '<end>'
        y = bl[i] if i < len(bl) else '<end>'
        if x != y:
            return i, x, y
    return None


def build_reference(prefix, work):
    exe = os.path.join(work, 'driver-device')
    subprocess.run(['cc', '-std=gnu11', '-O1', '-I' + os.path.join(prefix, 'include'),
                    os.path.join(HERE, 'driver.c'), '-o', exe, '-L' + os.path.join(prefix, 'lib'),
                    '-Wl,-rpath,' + os.path.join(prefix, 'lib'), '-luci', '-lubox'], check=True)
    return exe


def run(exe, script, cwd):
    try:
        p = subprocess.run([exe], input=script, cwd=cwd, capture_output=True, timeout=120)
    except subprocess.TimeoutExpired as e:
        # A hang is a finding: what it printed, then that it hung.
        return (e.stdout or b'').decode('latin-1') + '\n(hung: killed after 120 s)\n'
    return p.stdout.decode('latin-1') + p.stderr.decode('latin-1')


def tree_of(path):
    out = []
    for root, dirs, files in os.walk(path):
        dirs.sort()
        for f in sorted(files):
            full = os.path.join(root, f)
            with open(full, 'rb') as fh:
                out.append('== %s\n%s' % (os.path.relpath(full, path), fh.read().decode('latin-1')))
    return '\n'.join(out)


def hand_made():
    cases = []
    with open(os.path.join(HERE, 'cases', 'parse.txt'), encoding='utf-8') as f:
        for line in f:
            line = line.rstrip('\n')
            if not line or line.startswith('#'):
                continue
            cases.append(line.encode('latin-1').decode('unicode_escape').encode('latin-1'))
    return cases


class tally:
    def __init__(self):
        self.named = {}
        self.failures = []

    def compare(self, what, ref, ours, inputs):
        d = first_difference(ref, ours)
        if not d:
            return
        i, x, y = d
        name = named(x, y, inputs)
        if name:
            self.named[name] = self.named.get(name, 0) + 1
            return
        self.failures.append('%s: line %d\n  device: %s\n  ours:   %s' % (what, i + 1, x, y))


def parse_part(drivers, work, files, seed, t):
    import gen_files
    conf = os.path.join(work, 'parse')
    os.makedirs(conf)
    texts = hand_made()
    gen_files.write(os.path.join(work, 'gen'), files, seed)
    for name in sorted(os.listdir(os.path.join(work, 'gen'))):
        with open(os.path.join(work, 'gen', name), 'rb') as f:
            texts.append(f.read())
    script = ['confdir %s' % conf]
    for i, text in enumerate(texts):
        with open(os.path.join(conf, 'f%04d' % i), 'wb') as f:
            f.write(text)
        script += ['load f%04d' % i, 'unload f%04d' % i]
    script = ('\n'.join(script) + '\n').encode()
    outs = [run(d, script, work) for d in drivers]
    # One block per file, so that a named difference covers only its file.
    blocks = [o.split('> load ') for o in outs]
    for n, (a, b) in enumerate(zip(*blocks)):
        idx = n - 1
        t.compare('file %d' % idx, a, b, texts[idx] if 0 <= idx < len(texts) else b'')
    return len(texts)


def hand_made_scripts(base):
    """Writes each case of cases/scripts.txt as gen_ops.py does its own:
    `case NAME`, files as `file PATH` ... `end`, then the script."""
    names = []
    with open(os.path.join(HERE, 'cases', 'scripts.txt'), encoding='utf-8') as f:
        lines = iter(f.read().splitlines())
    case = None
    for line in lines:
        if not line or line.startswith('#'):
            continue
        if line.startswith('case '):
            case = os.path.join(base, line[5:])
            names.append(line[5:])
            for d in ('conf', 'save', 'state'):
                os.makedirs(os.path.join(case, d))
            open(os.path.join(case, 'script'), 'w').close()
        elif line.startswith('file '):
            body = []
            for b in lines:
                if b == 'end':
                    break
                body.append(b + '\n')
            with open(os.path.join(case, line[5:]), 'w') as out:
                out.write(''.join(body))
        else:
            with open(os.path.join(case, 'script'), 'a') as out:
                out.write(line + '\n')
    return names


def ops_part(drivers, work, scripts, seed, t):
    import gen_ops
    base = os.path.join(work, 'ops')
    gen_ops.write(base, scripts, seed)
    hand = hand_made_scripts(base)
    for case in hand + sorted(c for c in os.listdir(base) if c not in hand):
        src = os.path.join(base, case)
        with open(os.path.join(src, 'script'), 'rb') as f:
            script = f.read()
        results = []
        for side, exe in zip(('device', 'ours'), drivers):
            dst = os.path.join(work, side, case)
            shutil.copytree(src, dst)
            out = run(exe, script, dst)
            results.append(out + '\n' + tree_of(os.path.join(dst, 'conf')) + tree_of(os.path.join(dst, 'save')) +
                           tree_of(os.path.join(dst, 'state')))
        t.compare('script %s (%s)' % (case, os.path.join(src, 'script')), results[0], results[1], b'')
    return len(hand) + scripts


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('ours')
    ap.add_argument('--files', type=int, default=1000)
    ap.add_argument('--scripts', type=int, default=300)
    ap.add_argument('--seed', type=int, default=1)
    ap.add_argument('--keep', help='a directory to leave the cases in')
    args = ap.parse_args()
    prefix = os.environ.get('KESTRAD_REFERENCE')
    if not prefix:
        print('uci_diff: skipped, KESTRAD_REFERENCE is unset (scripts/reference builds the device\'s libuci)')
        return 77
    work = args.keep or tempfile.mkdtemp(prefix='uci-diff-')
    os.makedirs(work, exist_ok=True)
    try:
        drivers = [build_reference(prefix, work), os.path.abspath(args.ours)]
        t = tally()
        n_files = parse_part(drivers, work, args.files, args.seed, t)
        n_scripts = ops_part(drivers, work, args.scripts, args.seed, t)
        named_text = ', '.join('%s: %d' % kv for kv in sorted(t.named.items())) or 'none'
        print('uci_diff: %d files, %d scripts; named differences: %s; unexplained: %d' %
              (n_files, n_scripts, named_text, len(t.failures)))
        for f in t.failures[:20]:
            print(f)
        return 1 if t.failures else 0
    finally:
        if not args.keep and not os.environ.get('UCI_DIFF_KEEP'):
            shutil.rmtree(work, ignore_errors=True)


sys.exit(main())
