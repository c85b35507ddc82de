#!/usr/bin/env python3
"""Writes generated package files for the parser comparison: mostly valid
files with values of every kind, and lines mutated into what a parser may
refuse (open quotes, extra words, bad names and types, NULs, continuations).

  gen_files.py DIR COUNT SEED
"""
import os
import random
import sys

WORDS = ['a', 'b1', 'lan', 'wifi_iface', 'x', 'cfg01b619', 'A_B', '0']
TYPES = ['t', 'wifi-iface', 'x.y', 't@', 'u']
PIECES = ['v', 'a b', "it's", 'q"q', '', 'back\\slash', 'tab\there', 'nl\nnl', '#h', 'é',
          '\x01', 'end\\', ' lead', 'x=y', '$v', '`c`', '\x7f', '\r']


def quote(v, rnd):
    style = rnd.randrange(4)
    if style == 0:
        return "'" + v.replace("'", "'\\''") + "'"
    if style == 1:
        return '"' + v.replace('\\', '\\\\').replace('"', '\\"') + '"'
    if style == 2 and v and all(c not in v for c in ' \t\n\r\'"\\#'):
        return v
    return "'" + v.replace("'", "'\\''") + "'"


def value(rnd):
    return ''.join(rnd.choice(PIECES) for _ in range(rnd.randrange(1, 3)))


def valid_file(rnd):
    lines = []
    if rnd.random() < 0.2:
        lines.append('package ' + rnd.choice(['p', "'p'", 'q']))
    for _ in range(rnd.randrange(1, 5)):
        t = rnd.choice(TYPES)
        name = rnd.choice(WORDS + ['', None])
        head = 'config ' + t
        if name is not None:
            head += ' ' + quote(name, rnd)
        lines.append(head)
        for _ in range(rnd.randrange(0, 5)):
            kw = rnd.choice(['option', 'list', 'list', 'option'])
            n = rnd.choice(['x', 'y', 'l', 'name'])
            line = rnd.choice(['\t', '', '  ']) + kw + ' ' + n
            if rnd.random() > 0.1:
                line += ' ' + quote(value(rnd), rnd)
            if rnd.random() < 0.1:
                line += ' # note'
            lines.append(line)
        if rnd.random() < 0.2:
            lines.append('')
        if rnd.random() < 0.1:
            lines.append('# comment ' + value(rnd))
    return lines


MUTATIONS = [
    lambda l, r: l + " 'open",
    lambda l, r: l + ' "open',
    lambda l, r: l + ' extra',
    lambda l, r: l + ' extra more',
    lambda l, r: l.replace(' ', ' @', 1),
    lambda l, r: l.replace(' ', '  ', 1),
    lambda l, r: 'bogus ' + l,
    lambda l, r: l.split(' ')[0],
    lambda l, r: l.split(' ')[0] + ' ',
    lambda l, r: l + '\\',
    lambda l, r: l[:max(0, len(l) - 2)],
    lambda l, r: l + '\x00tail',
    lambda l, r: l.replace(' ', '\t', 1),
    lambda l, r: l.replace(' ', '\r', 1),
    lambda l, r: l.replace(' ', '\x0b', 1),
    lambda l, r: 'config ' + r.choice(["'a b'", "''", 't\x01', 't\xc3', "t'q", 't"q', 't#', 't\\\\x']) + ' n',
    lambda l, r: 'config t ' + r.choice(['a-b', 'a.b', "''", 'a@', '"x y"']),
    lambda l, r: 'option ' + r.choice(["''", 'a-b', '@', 'x.y']) + ' v',
    lambda l, r: 'config u ' + r.choice(WORDS),
    lambda l, r: r.choice(['\toption x', '\tlist x', "\toption x ''", "\tlist x ''", 'package', 'package a b', 'config', 'config\t', 'option\tx\t1']),
    lambda l, r: l + '\\\n' + r.choice(['cont', ' more', '', '\toption z 1']),
]


def file_text(rnd):
    lines = valid_file(rnd)
    for _ in range(rnd.choice([0, 0, 1, 1, 2])):
        i = rnd.randrange(len(lines))
        lines[i] = rnd.choice(MUTATIONS)(lines[i], rnd)
    if rnd.random() < 0.1:
        lines.insert(rnd.randrange(len(lines) + 1), 'package p')
    text = '\n'.join(lines)
    if rnd.random() < 0.85:
        text += '\n'
    return text.encode('latin-1', 'replace') if False else text.encode('utf-8', 'surrogateescape')


def write(out, count, seed):
    rnd = random.Random(seed)
    os.makedirs(out, exist_ok=True)
    for i in range(count):
        with open(os.path.join(out, 'f%04d' % i), 'wb') as f:
            f.write(file_text(rnd))


if __name__ == '__main__':
    write(sys.argv[1], int(sys.argv[2]), int(sys.argv[3]))
