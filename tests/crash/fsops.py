"""File-system operations from an `strace -f -y -xx` log.

Only what happens under the tracked roots counts: every change there becomes
an operation (create, write, truncate, rename, unlink, mkdir, rmdir, fsync of
a file or a directory, sync), replayed at once on a live copy of the files so
that later descriptors and paths resolve. Exclusive flocks are followed too:
a point where nobody holds one, and no commit's temporary file is there (a
writer may let go of its locks before its rename), is a rest point, a state
that a reader obeying the locks may see. The bus messages on sockets mark
the requests (an invoke received) and their acknowledgements (the status
sent back).
"""
import os
import re

TRACE_CALLS = ('open,openat,creat,write,pwrite64,writev,pwritev,pwritev2,ftruncate,truncate,'
               'rename,renameat,renameat2,unlink,unlinkat,mkdir,mkdirat,rmdir,link,linkat,'
               'symlink,symlinkat,fsync,fdatasync,sync,syncfs,sync_file_range,close,close_range,'
               'flock,lseek,dup,dup2,dup3,fcntl,clone,clone3,fork,vfork,execve,fallocate,'
               'copy_file_range,sendfile,splice,mknod,mknodat,sendto,sendmsg,recvfrom,recvmsg,exit_group')


def strace_command(log):
    """The strace options that record what this module reads."""
    return ['strace', '-f', '-q', '-y', '-xx', '-s', '1048576', '-o', log, '-e', 'trace=' + TRACE_CALLS]


class TraceError(Exception):
    pass


_HEX = re.compile(r'\\x([0-9a-fA-F]{2})|\\([0-7]{1,3})|\\(.)')
_SIMPLE = {'n': 10, 't': 9, 'r': 13, 'v': 11, 'f': 12, 'a': 7, 'b': 8, '"': 34, '\\': 92}


def unescape(s):
    out = bytearray()
    i = 0
    while i < len(s):
        c = s[i]
        if c != '\\':
            out += c.encode('latin-1')
            i += 1
            continue
        m = _HEX.match(s, i)
        if m.group(1):
            out.append(int(m.group(1), 16))
        elif m.group(2):
            out.append(int(m.group(2), 8))
        else:
            out.append(_SIMPLE.get(m.group(3), ord(m.group(3))))
        i = m.end()
    return bytes(out)


def split_args(text):
    """Top-level arguments of a call's text."""
    args, depth, cur, i = [], 0, [], 0
    in_str = False
    while i < len(text):
        c = text[i]
        if in_str:
            cur.append(c)
            if c == '\\':
                cur.append(text[i + 1])
                i += 1
            elif c == '"':
                in_str = False
        elif c == '"':
            in_str = True
            cur.append(c)
        elif c in '([{<':
            depth += 1
            cur.append(c)
        elif c in ')]}>':
            depth -= 1
            cur.append(c)
        elif c == ',' and depth == 0:
            args.append(''.join(cur).strip())
            cur = []
        else:
            cur.append(c)
        i += 1
    if cur or args:
        args.append(''.join(cur).strip())
    return args


_STR = re.compile(r'"((?:[^"\\]|\\.)*)"(\.\.\.)?')
_FD = re.compile(r'^(-?\d+|AT_FDCWD)(?:<(.*)>(\(deleted\))?)?$', re.S)


def string_arg(a):
    m = _STR.match(a)
    if not m:
        raise TraceError('not a string: %r' % a[:80])
    if m.group(2):
        raise TraceError('string cut short by strace: raise -s')
    return unescape(m.group(1))


def fd_arg(a):
    """(fd number or 'AT_FDCWD', the path strace gave or None, deleted)."""
    m = _FD.match(a)
    if not m:
        raise TraceError('not a descriptor: %r' % a[:80])
    fd = m.group(1)
    path = m.group(2)
    if path is not None:
        path = path if path.startswith(('socket:', 'pipe:', 'anon_inode:', 'TCP', 'UDP', 'UNIX')) else \
            unescape(path).decode('latin-1')
    return (fd if fd == 'AT_FDCWD' else int(fd)), path, bool(m.group(3))


_TEMP = re.compile(r'^\..+\.uci-')
_LINE = re.compile(r'^(\d+)\s+(.*)$', re.S)
_CALL = re.compile(r'^(\w+)\((.*)\)\s+=\s+(-?\d+|\?|0x[0-9a-f]+)(<[^>]*>(?:\(deleted\))?)?(.*)$', re.S)
_RESUMED = re.compile(r'^<\.\.\. (\w+) resumed>(.*)$', re.S)


def calls(lines):
    """(pid, name, args text, return value, return annotation, first line,
    last line) per finished call, in the order they finished; name '+++'
    when a process ends."""
    pending = {}
    for n, raw in enumerate(lines):
        raw = raw.rstrip('\n')
        m = _LINE.match(raw)
        if not m:
            continue
        pid, rest = int(m.group(1)), m.group(2)
        if rest.startswith('+++'):
            yield pid, '+++', rest, None, None, n, n
            continue
        if rest.startswith('exit_group('):
            yield pid, '+++', rest, None, None, n, n  # its descriptors close with it
            continue
        if rest.startswith('---'):
            continue
        if rest.endswith('<unfinished ...>'):
            pending[pid] = (rest[:-len('<unfinished ...>')], n)
            continue
        start = n
        r = _RESUMED.match(rest)
        if r:
            head = pending.pop(pid, None)
            if head is None:
                continue
            rest, start = head[0] + r.group(2), head[1]
        c = _CALL.match(rest)
        if not c:
            continue
        ret = c.group(3)
        yield pid, c.group(1), c.group(2), (None if ret == '?' else int(ret, 0)), c.group(4), start, n


class Ofd:
    """An open file description of a tracked file or directory."""

    def __init__(self, ino, path, append=False, is_dir=False):
        self.ino, self.path, self.append, self.is_dir = ino, path, append, is_dir
        self.pos = 0
        self.refs = 0
        self.locked = False


class Files:
    """Files and directories under the roots: path -> inode, inode -> bytes."""

    def __init__(self, roots, initial):
        self.dirs = set(roots)
        self.entries = {}
        self.data = {}
        self.next_ino = 1
        for path, content in sorted(initial.items()):
            d = os.path.dirname(path)
            while d not in self.dirs and d != '/':
                self.dirs.add(d)
                d = os.path.dirname(d)
            ino = self.new_inode()
            self.entries[path] = ino
            self.data[ino] = bytes(content)

    def new_inode(self):
        ino = self.next_ino
        self.next_ino += 1
        return ino

    def copy(self):
        f = Files.__new__(Files)
        f.dirs = set(self.dirs)
        f.entries = dict(self.entries)
        f.data = dict(self.data)
        f.next_ino = self.next_ino
        return f

    def apply(self, op, zeros=False):
        kind = op[0]
        if kind == 'creat':
            self.entries[op[1]] = op[2]
            self.data.setdefault(op[2], b'')
        elif kind == 'mkdir':
            self.dirs.add(op[1])
        elif kind == 'rmdir':
            self.dirs.discard(op[1])
        elif kind == 'unlink':
            self.entries.pop(op[1], None)
        elif kind == 'rename':
            src, dst = op[1], op[2]
            if src in self.dirs:
                moved = [p for p in self.entries if p.startswith(src + '/')]
                for p in moved:
                    self.entries[dst + p[len(src):]] = self.entries.pop(p)
                self.dirs = {dst + d[len(src):] if d == src or d.startswith(src + '/') else d for d in self.dirs}
            elif src in self.entries:
                self.entries[dst] = self.entries.pop(src)
            elif len(op) > 3:
                # the create it depends on did not persist: the rename
                # still names the inode
                self.entries[dst] = op[3]
        elif kind == 'link':
            if op[1] in self.entries:
                self.entries[op[2]] = self.entries[op[1]]
        elif kind == 'trunc':
            d = self.data.get(op[1], b'')
            self.data[op[1]] = d[:op[2]] + b'\0' * max(0, op[2] - len(d))
        elif kind == 'write':
            ino, off, buf = op[1], op[2], op[3]
            if zeros:
                buf = b'\0' * len(buf)
            d = self.data.get(ino, b'')
            if len(d) < off:
                d += b'\0' * (off - len(d))
            self.data[ino] = d[:off] + buf + d[off + len(buf):]

    def snapshot(self, keep=None):
        """path -> bytes of every file (under roots for which keep says yes)."""
        out = {}
        for path, ino in self.entries.items():
            if keep is None or keep(path):
                out[path] = self.data.get(ino, b'')
        return out


class Recorder:
    """Turns the calls of one or more traces into operations on the files
    under `roots`, starting from `initial` (path -> bytes)."""

    def __init__(self, roots, initial, aliases=()):
        self.roots = [r.rstrip('/') for r in roots]
        self.aliases = list(aliases)
        self.live = Files(self.roots, initial)
        self.initial = self.live.copy()
        self.ops = []
        self.rest = [True]      # rest[k]: the state after k operations is a rest point
        self.acks = []          # operation counts at which a caller was answered
        self.requests = []      # operation counts at which a request began
        self.fds = {}           # (pid, fd) -> Ofd
        self.cloexec = set()    # (pid, fd) opened with O_CLOEXEC
        self.streams = {}       # (pid, fd, direction) -> bytearray of bus messages
        self.invokes = 0
        # Invoke number -> callback at the start of that request, which may
        # start a new segment (restart) before it counts.
        self.on_invoke = {}
        self.collecting = True

    def restart(self, initial):
        """Operations count afresh from `initial` (path -> bytes)."""
        self.live = Files(self.roots, initial)
        self.initial = self.live.copy()
        self.ops, self.rest, self.acks, self.requests = [], [True], [], []
        for o in set(self.fds.values()):
            # descriptors stay open across the restart; their inodes are
            # looked up again
            if o.is_dir:
                continue
            o.ino = self.live.entries.get(o.path)
        self.collecting = True

    # -- paths
    def norm(self, path):
        path = os.path.normpath(path)
        for a, b in self.aliases:
            if path == a or path.startswith(a + '/'):
                path = b + path[len(a):]
        return path

    def tracked(self, path):
        return path is not None and any(path == r or path.startswith(r + '/') for r in self.roots)

    def resolve(self, dirfd_arg, path_bytes, pid):
        path = path_bytes.decode('latin-1')
        if not path.startswith('/'):
            base = None
            if dirfd_arg is not None:
                _, base, _ = fd_arg(dirfd_arg)
            if base is None:
                raise TraceError('relative path %r without a directory' % path)
            path = os.path.join(base, path)
        return self.norm(path)

    # -- operations
    def emit(self, op):
        if not self.collecting:
            if op[0] not in ('fsync', 'dsync', 'sync'):
                raise TraceError('a tracked file changed before the first request: %r' % (op[:2],))
            return
        self.live.apply(op)
        self.ops.append(op)
        self.rest.append(False)
        self.note_rest()

    def locks_held(self):
        return any(o.locked for o in set(self.fds.values()))

    def note_rest(self):
        # A writer between its temporary file and the rename is in the
        # middle of a commit, even once it has let go of its locks.
        if not self.locks_held() and not any(_TEMP.match(os.path.basename(p)) for p in self.live.entries):
            self.rest[len(self.ops)] = True

    def mark_ack(self):
        self.acks.append(len(self.ops))

    def mark_request(self):
        self.requests.append(len(self.ops))

    def ofd(self, pid, fd, path, deleted):
        o = self.fds.get((pid, fd))
        if o is not None:
            return o
        if path is None or deleted:
            return None
        path = self.norm(path)
        if not self.tracked(path):
            return None
        # a descriptor opened before the trace began
        if path in self.live.dirs:
            o = Ofd(None, path, is_dir=True)
        elif path in self.live.entries:
            o = Ofd(self.live.entries[path], path, append=True)
        else:
            return None
        self.attach(pid, fd, o)
        return o

    def attach(self, pid, fd, o):
        self.detach(pid, fd)
        o.refs += 1
        self.fds[(pid, fd)] = o

    def detach(self, pid, fd):
        self.cloexec.discard((pid, fd))
        o = self.fds.pop((pid, fd), None)
        if o is not None:
            o.refs -= 1
            if o.refs <= 0:
                o.locked = False

    def write_op(self, o, off, data):
        if o.is_dir or o.ino is None or not data:
            return
        self.emit(('write', o.ino, off, data))

    # -- the calls
    def feed(self, lines):
        # strace prints the calls of several processes in the order it gets
        # to them, not the kernel's: a call another process made while one
        # was unfinished may come first. Where a call shows that the
        # unfinished one had already acted (a file it created, a lock it let
        # go), that one is taken first.
        self.queue = list(calls(lines))
        self.taken = set()
        for i in range(len(self.queue)):
            if i not in self.taken:
                self.take(i)

    def take(self, i):
        self.taken.add(i)
        self.now = i
        pid, name, args, ret, ret_ann, _, _ = self.queue[i]
        if name == '+++':
            for key in [k for k in self.fds if k[0] == pid]:
                self.detach(*key)
            self.note_rest()
            return
        handler = getattr(self, 'c_' + name, None)
        if handler is not None:
            handler(pid, split_args(args), ret, ret_ann)
            self.note_rest()

    def take_earlier(self, wanted):
        """Takes the first untaken call of another process that began before
        the current one ended and for which wanted(pid, name, args, ret) holds."""
        i = self.now
        pid, end = self.queue[i][0], self.queue[i][6]
        for j in range(i + 1, len(self.queue)):
            p, name, args, ret, _, start, _ = self.queue[j]
            if start < end and j not in self.taken and p != pid and wanted(p, name, split_args(args), ret):
                self.take(j)
                self.now = i
                return True
        return False

    def creates(self, path):
        """Takes another process's unfinished call that made `path`, if any."""
        def wanted(pid, name, a, ret):
            if ret is None or ret < 0:
                return False
            if name == 'rename':
                return self.resolve(None, string_arg(a[1]), pid) == path
            if name in ('renameat', 'renameat2'):
                return self.resolve(a[2], string_arg(a[3]), pid) == path
            if name == 'openat':
                return 'O_CREAT' in a[2] and self.resolve(a[0], string_arg(a[1]), pid) == path
            if name in ('open', 'creat'):
                return (name == 'creat' or 'O_CREAT' in a[1]) and self.resolve(None, string_arg(a[0]), pid) == path
            return False
        return self.take_earlier(wanted)

    def releases(self, o):
        """Takes the unfinished calls of other processes that hold an
        exclusive lock on o's inode: the lock must have gone before o got it."""
        def holders():
            return {p for (p, _), h in self.fds.items() if h is not o and h.locked and h.ino == o.ino}
        while holders():
            if not self.take_earlier(lambda pid, name, a, ret: pid in holders()):
                raise TraceError('two exclusive locks on %s' % o.path)

    def c_clone(self, pid, a, ret, ann):
        if ret is not None and ret > 0:
            for (p, fd), o in list(self.fds.items()):
                if p == pid:
                    self.attach(ret, fd, o)
                    if (p, fd) in self.cloexec:
                        self.cloexec.add((ret, fd))
    c_clone3 = c_fork = c_vfork = c_clone

    def c_execve(self, pid, a, ret, ann):
        if ret == 0:
            for key in [k for k in self.fds if k[0] == pid and k in self.cloexec]:
                self.detach(*key)

    def _open(self, pid, dirfd, patharg, flags, ret, ann):
        if ret is None or ret < 0:
            return
        path = self.resolve(dirfd, string_arg(patharg), pid)
        if not self.tracked(path):
            return
        write = 'O_WRONLY' in flags or 'O_RDWR' in flags
        if path in self.live.dirs:
            o = Ofd(None, path, is_dir=True)
        else:
            if path not in self.live.entries:
                if not self.collecting:
                    return  # read before the first request, which starts from a snapshot
                if 'O_CREAT' in flags:
                    self.emit(('creat', path, self.live.new_inode()))
                elif not self.creates(path):
                    raise TraceError('opened %s, which the model does not have' % path)
            elif 'O_TRUNC' in flags and write and self.live.data[self.live.entries[path]]:
                self.emit(('trunc', self.live.entries[path], 0))
            o = Ofd(self.live.entries[path], path, append='O_APPEND' in flags)
        self.attach(pid, ret, o)
        if 'O_CLOEXEC' in flags:
            self.cloexec.add((pid, ret))

    def c_openat(self, pid, a, ret, ann):
        self._open(pid, a[0], a[1], a[2], ret, ann)

    def c_open(self, pid, a, ret, ann):
        self._open(pid, None, a[0], a[1], ret, ann)

    def c_creat(self, pid, a, ret, ann):
        self._open(pid, None, a[0], 'O_WRONLY|O_CREAT|O_TRUNC', ret, ann)

    def c_close(self, pid, a, ret, ann):
        fd, _, _ = fd_arg(a[0])
        self.detach(pid, fd)

    def c_dup(self, pid, a, ret, ann):
        if ret is not None and ret >= 0:
            fd, _, _ = fd_arg(a[0])
            o = self.fds.get((pid, fd))
            if o is not None:
                self.attach(pid, ret, o)
    c_dup2 = c_dup3 = c_dup

    def ofd_of(self, pid, a):
        """The open file description the call's first argument names, or None."""
        fd, path, deleted = fd_arg(a[0])
        return self.ofd(pid, fd, path, deleted)

    def done_on(self, pid, a, ret):
        """The description a call that returned 0 acted on, or None."""
        return self.ofd_of(pid, a) if ret == 0 else None

    def c_fcntl(self, pid, a, ret, ann):
        if len(a) > 1 and a[1].startswith('F_DUPFD'):
            self.c_dup(pid, a, ret, ann)
        elif len(a) > 1 and a[1] in ('F_SETLK', 'F_SETLKW', 'F_OFD_SETLK', 'F_OFD_SETLKW'):
            raise TraceError('fcntl locks are not followed')

    def c_flock(self, pid, a, ret, ann):
        o = self.done_on(pid, a, ret)
        if o is None:
            return
        if 'LOCK_UN' in a[1]:
            o.locked = False
        elif 'LOCK_EX' in a[1]:
            self.releases(o)
            o.locked = True
        elif 'LOCK_SH' in a[1]:
            o.locked = False

    def c_lseek(self, pid, a, ret, ann):
        if ret is None or ret < 0:
            return
        o = self.ofd_of(pid, a)
        if o is not None:
            o.pos = ret

    def c_write(self, pid, a, ret, ann):
        self.write_at_pos(pid, a[0], string_arg(a[1]), ret)

    def c_writev(self, pid, a, ret, ann):
        bufs = b''.join(unescape(m.group(1)) for m in re.finditer(r'iov_base="((?:[^"\\]|\\.)*)"', a[1]))
        self.write_at_pos(pid, a[0], bufs, ret)

    def write_at_pos(self, pid, fd_text, data, ret):
        """A write at the description's position (its end with O_APPEND), or bus bytes on a socket."""
        fd, path, deleted = fd_arg(fd_text)
        if path and path.startswith('socket:'):
            self.bus(pid, fd, 'out', data[:ret] if ret and ret > 0 else b'')
            return
        if ret is None or ret <= 0:
            return
        o = self.ofd(pid, fd, path, deleted)
        if o is None:
            return
        if o.append:
            o.pos = len(self.live.data.get(o.ino, b''))
        self.write_op(o, o.pos, data[:ret])
        o.pos += ret

    def c_pwrite64(self, pid, a, ret, ann):
        if ret is None or ret <= 0:
            return
        o = self.ofd_of(pid, a)
        if o is not None:
            self.write_op(o, int(a[3], 0), string_arg(a[1])[:ret])

    def c_pwritev(self, pid, a, ret, ann):
        fd, path, deleted = fd_arg(a[0])
        if ret and ret > 0 and self.ofd(pid, fd, path, deleted) is not None:
            raise TraceError('pwritev on a tracked file is not modelled')
    c_pwritev2 = c_fallocate = c_copy_file_range = c_sendfile = c_splice = c_pwritev

    def c_ftruncate(self, pid, a, ret, ann):
        o = self.done_on(pid, a, ret)
        if o is not None and o.ino is not None:
            self.emit(('trunc', o.ino, int(a[1], 0)))

    def c_truncate(self, pid, a, ret, ann):
        if ret != 0:
            return
        path = self.resolve(None, string_arg(a[0]), pid)
        if self.tracked(path) and path in self.live.entries:
            self.emit(('trunc', self.live.entries[path], int(a[1], 0)))

    def c_fsync(self, pid, a, ret, ann):
        o = self.done_on(pid, a, ret)
        if o is None:
            return
        if o.is_dir:
            self.emit(('dsync', o.path))
        else:
            self.emit(('fsync', o.ino))
    c_fdatasync = c_fsync

    def c_sync(self, pid, a, ret, ann):
        self.emit(('sync',))
    c_syncfs = c_sync

    def c_sync_file_range(self, pid, a, ret, ann):
        pass  # makes nothing durable by itself

    def _rename(self, pid, d1, p1, d2, p2, ret):
        if ret != 0:
            return
        src = self.resolve(d1, string_arg(p1), pid)
        dst = self.resolve(d2, string_arg(p2), pid)
        ts, td = self.tracked(src), self.tracked(dst)
        if not ts and not td:
            return
        if ts != td:
            raise TraceError('rename across the tracked roots: %s -> %s' % (src, dst))
        if src in self.live.dirs:
            self.emit(('rename', src, dst))
        else:
            self.emit(('rename', src, dst, self.live.entries.get(src)))

    def c_rename(self, pid, a, ret, ann):
        self._rename(pid, None, a[0], None, a[1], ret)

    def c_renameat(self, pid, a, ret, ann):
        if len(a) > 4 and 'RENAME_EXCHANGE' in a[4]:
            raise TraceError('RENAME_EXCHANGE is not modelled')
        self._rename(pid, a[0], a[1], a[2], a[3], ret)
    c_renameat2 = c_renameat

    def _unlink(self, pid, dirfd, patharg, flags, ret):
        if ret != 0:
            return
        path = self.resolve(dirfd, string_arg(patharg), pid)
        if not self.tracked(path):
            return
        self.emit(('rmdir' if 'AT_REMOVEDIR' in flags else 'unlink', path))

    def c_unlink(self, pid, a, ret, ann):
        self._unlink(pid, None, a[0], '', ret)

    def c_unlinkat(self, pid, a, ret, ann):
        self._unlink(pid, a[0], a[1], a[2], ret)

    def c_rmdir(self, pid, a, ret, ann):
        self._unlink(pid, None, a[0], 'AT_REMOVEDIR', ret)

    def _mkdir(self, pid, dirfd, patharg, ret):
        if ret != 0:
            return
        path = self.resolve(dirfd, string_arg(patharg), pid)
        if self.tracked(path) and path not in self.live.dirs:
            self.emit(('mkdir', path))

    def c_mkdir(self, pid, a, ret, ann):
        self._mkdir(pid, None, a[0], ret)

    def c_mkdirat(self, pid, a, ret, ann):
        self._mkdir(pid, a[0], a[1], ret)

    def _unmodelled(self, pid, dirfd, patharg, ret, what):
        if ret == 0 and self.tracked(self.resolve(dirfd, string_arg(patharg), pid)):
            raise TraceError('%s under the tracked roots are not modelled' % what)

    def c_link(self, pid, a, ret, ann):
        self._unmodelled(pid, None, a[1], ret, 'hard links')

    def c_linkat(self, pid, a, ret, ann):
        self._unmodelled(pid, a[2], a[3], ret, 'hard links')

    def c_symlink(self, pid, a, ret, ann):
        self._unmodelled(pid, None, a[1], ret, 'symbolic links')

    def c_symlinkat(self, pid, a, ret, ann):
        self._unmodelled(pid, a[1], a[2], ret, 'symbolic links')

    def c_mknod(self, pid, a, ret, ann):
        self._unmodelled(pid, None, a[0], ret, 'special files')

    def c_mknodat(self, pid, a, ret, ann):
        self._unmodelled(pid, a[0], a[1], ret, 'special files')

    # -- the bus: an 8-byte header (version, type, seq, peer), then one
    # blob attribute whose length (low 24 bits, big-endian) counts itself.
    def c_sendto(self, pid, a, ret, ann):
        fd, path, _ = fd_arg(a[0])
        if path and path.startswith('socket:') and ret and ret > 0:
            self.bus(pid, fd, 'out', string_arg(a[1])[:ret])

    def c_recvfrom(self, pid, a, ret, ann):
        fd, path, _ = fd_arg(a[0])
        if path and path.startswith('socket:') and ret and ret > 0:
            self.bus(pid, fd, 'in', string_arg(a[1])[:ret])

    def c_sendmsg(self, pid, a, ret, ann):
        fd, path, _ = fd_arg(a[0])
        if path and path.startswith('socket:') and ret and ret > 0:
            bufs = b''.join(unescape(m.group(1)) for m in re.finditer(r'iov_base="((?:[^"\\]|\\.)*)"', a[1]))
            self.bus(pid, fd, 'out', bufs[:ret])
    c_recvmsg = c_sendmsg

    def bus(self, pid, fd, direction, data):
        key = (pid, fd, direction)
        buf = self.streams.setdefault(key, bytearray())
        buf += data
        while len(buf) >= 12:
            length = int.from_bytes(buf[8:12], 'big') & 0xffffff
            if length < 4:
                raise TraceError('not a bus message on %r' % (key,))
            total = 8 + length
            if len(buf) < total:
                break
            mtype = buf[1]
            del buf[:total]
            if direction == 'in' and mtype == 5:      # invoke
                self.invokes += 1
                start = self.on_invoke.get(self.invokes)
                if start is not None:
                    start(self)
                if self.collecting:
                    self.mark_request()
            elif direction == 'out' and mtype == 1 and self.collecting and self.requests:
                self.mark_ack()                     # the status: the caller has its answer
