#!/usr/bin/env python3
"""Writes generated cases for the library comparison: each case is a config
directory of generated packages and a driver script doing what kestrad's
helpers and the device's scripts do (load, lookups, set, add_list,
del_list, delete with and without a list index, add, rename, reorder,
save, revert, commit), across several contexts sharing one save directory
and one delta directory, as processes on the device do.

  gen_ops.py DIR COUNT SEED
writes DIR/NNNN/conf/* and DIR/NNNN/script.
"""
import os
import random
import sys

PKGS = ['wireless', 'network', 'dhcp']
TYPES = ['wifi-iface', 'host', 'iface']
NAMES = ['lan', 'guest', 'wan', 'x1']
OPTS = ['ssid', 'mac', 'disabled', 'maclist', 'name']
VALUES = ['v', 'a b', "it's", 'q"q', '1', '0', 'x\\y', 'é', '02:00:00:00:00:01', 'tab\tin']


def qv(v):
    return "'" + v.replace("'", "'\\''") + "'"


def package_text(rnd):
    out = []
    for _ in range(rnd.randrange(1, 6)):
        t = rnd.choice(TYPES)
        if rnd.random() < 0.5:
            out.append('config %s' % t)
        else:
            out.append('config %s %s' % (t, qv(rnd.choice(NAMES))))
        for _ in range(rnd.randrange(0, 4)):
            o = rnd.choice(OPTS)
            if rnd.random() < 0.4:
                for _ in range(rnd.randrange(1, 4)):
                    out.append('\tlist %s %s' % (o, qv(rnd.choice(VALUES))))
            else:
                out.append('\toption %s %s' % (o, qv(rnd.choice(VALUES))))
        out.append('')
    return '\n'.join(out) + '\n'


def section_ref(rnd, pkg):
    r = rnd.random()
    if r < 0.4:
        return '%s.%s' % (pkg, rnd.choice(NAMES))
    if r < 0.8:
        return '%s.@%s[%d]' % (pkg, rnd.choice(TYPES), rnd.choice([0, 1, -1, 2]))
    return '%s.cfg%02x%s' % (pkg, rnd.randrange(1, 6), rnd.choice(['a0b2', '1f8c', 'b4e5']))


def op(rnd, pkg, loaded):
    r = rnd.randrange(20)
    sec = section_ref(rnd, pkg)
    o = rnd.choice(OPTS)
    v = rnd.choice(VALUES)
    if r < 5:
        return 'set %s.%s=%s' % (sec, o, v)
    if r < 6:
        return 'set %s.%s=%s' % (pkg, rnd.choice(NAMES), rnd.choice(TYPES))
    if r < 8:
        return 'add_list %s.%s=%s' % (sec, o, v)
    if r < 9:
        return 'del_list %s.%s=%s' % (sec, o, v)
    if r < 11:
        return 'delete %s.%s=%s' % (sec, o, rnd.choice(['0', '1', '2', '-1', '9', 'x', '']))
    if r < 12:
        return 'delete %s.%s' % (sec, o)
    if r < 13:
        return 'delete %s' % sec
    if r < 15:
        return 'add %s %s' % (pkg, rnd.choice(TYPES))
    if r < 16:
        return 'rename %s=%s' % (sec, rnd.choice(NAMES + ['n2']))
    if r < 17:
        return 'rename %s.%s=%s' % (sec, o, rnd.choice(OPTS))
    if r < 18:
        return 'reorder %s %d' % (sec, rnd.randrange(0, 4))
    if r < 19:
        return 'set %s.%s=' % (sec, o)
    return 'get %s.%s' % (sec, o)


def script(rnd):
    lines = []
    for _ in range(rnd.randrange(2, 6)):
        lines.append('new')
        lines.append('confdir conf')
        lines.append('savedir save')
        if rnd.random() < 0.3:
            lines.append('deltapath state')
        pkg = rnd.choice(PKGS)
        lines.append('load %s' % pkg)
        for _ in range(rnd.randrange(1, 8)):
            lines.append(op(rnd, pkg, True))
        lines.append('walk %s' % pkg)
        end = rnd.random()
        if end < 0.45:
            lines.append('save %s' % pkg)
        elif end < 0.75:
            lines.append('commit %s' % pkg)
        elif end < 0.85:
            lines.append('revert %s%s' % (pkg, rnd.choice(['', '.' + rnd.choice(NAMES)])))
            lines.append('walk %s' % pkg)
    lines.append('new')
    lines.append('confdir conf')
    lines.append('savedir save')
    for pkg in PKGS:
        lines.append('load %s' % pkg)
    return '\n'.join(lines) + '\n'


def write(out, count, seed):
    rnd = random.Random(seed)
    for i in range(count):
        case = os.path.join(out, '%04d' % i)
        os.makedirs(os.path.join(case, 'conf'), exist_ok=True)
        os.makedirs(os.path.join(case, 'save'), exist_ok=True)
        os.makedirs(os.path.join(case, 'state'), exist_ok=True)
        for pkg in PKGS:
            with open(os.path.join(case, 'conf', pkg), 'w') as f:
                f.write(package_text(rnd))
        if rnd.random() < 0.3:
            pkg = rnd.choice(PKGS)
            with open(os.path.join(case, 'state', pkg), 'w') as f:
                f.write('%s.%s.up=%s\n' % (pkg, rnd.choice(NAMES), qv(rnd.choice(VALUES))))
        with open(os.path.join(case, 'script'), 'w') as f:
            f.write(script(rnd))


if __name__ == '__main__':
    write(sys.argv[1], int(sys.argv[2]), int(sys.argv[3]))
