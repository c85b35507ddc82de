// Staged changes, as the device keeps them: one file per package in the save
// directory (and in each delta directory), one change a line, in the order
// they were made:
//
//   pkg.sec='type'        set a section's type (creating it)
//   pkg.sec.opt='value'   set an option ('' deletes it)
//   +pkg.sec='type'       add an anonymous section under the name it was given
//   -pkg.sec[.opt]        delete ('index' after an option: one list item)
//   @pkg.sec[.opt]='new'  rename       ^pkg.sec='pos'  reorder
//   |pkg.sec.opt='value'  add to list  ~pkg.sec.opt='value' remove from list
//
// Values are quoted as in a package file, and may span lines.
//
// A rewrite of that file which a crash may cut short (a commit empties it
// once its changes are in the new package file; a revert drops some of them)
// is noted first in SAVEDIR/.PKG.pending: "uci-pending T O N\n", then the
// T bytes of the name of a commit's temporary file beside the package's
// (none for a revert), the O bytes the file held and the N bytes it is to
// hold. Until the note is gone, loads read the new content in place of the
// old one, or of a rewrite half done; a commit's note counts only once its
// temporary file is gone, that is, renamed into place. The next writer under
// the lock finishes the rewrite and drops the note. The files' own formats
// do not change.
#include "internal.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace uci_impl {

namespace {

constexpr char command_chars[] = {'+', '-', 0, '@', '^', '|', '~'};
static_assert(sizeof(command_chars) == __UCI_CMD_MAX);

enum uci_command command_of(char c)
{
	for (int i = 0; i < __UCI_CMD_MAX; i++) {
		if (command_chars[i] && command_chars[i] == c)
			return static_cast<enum uci_command>(i);
	}
	return UCI_CMD_CHANGE;
}

// One line (or more, inside quotes) of a staged file as one word: quotes
// and escapes as in a package file, blanks outside quotes end it.
const char *read_word(const char *p, const char *end, text &out)
{
	out.clear();
	while (p < end && *p != '\n') {
		char c = *p;
		if (c == '\'') {
			const char *close = static_cast<const char *>(memchr(p + 1, '\'', static_cast<size_t>(end - p - 1)));
			if (!close)
				close = end;
			out.append(p + 1, static_cast<size_t>(close - p - 1));
			p = close < end ? close + 1 : end;
			continue;
		}
		if (c == '"') {
			p++;
			while (p < end && *p != '"') {
				if (*p == '\\' && p + 1 < end)
					p++;
				out.push_back(*p++);
			}
			if (p < end)
				p++;
			continue;
		}
		if (c == '\\' && p + 1 < end) {
			out.push_back(p[1]);
			p += 2;
			continue;
		}
		if (c == ' ' || c == '\t' || c == '\r')
			break;
		out.push_back(c);
		p++;
	}
	const char *nl = static_cast<const char *>(memchr(p, '\n', static_cast<size_t>(end - p)));
	return nl ? nl + 1 : end;
}

// "pkg.sec[.opt][=value]" of package `package`; NULL when it is not one.
uci_delta *parse_change(char cmd_char, char *word, const char *package)
{
	enum uci_command cmd = command_of(cmd_char);
	char *value = strchr(word, '=');
	if (value)
		*value++ = 0;
	char *section = strchr(word, '.');
	if (!section)
		return nullptr;
	*section++ = 0;
	char *option = strchr(section, '.');
	if (option)
		*option++ = 0;
	if (strcmp(word, package) != 0 || !valid_name(section) || (option && !valid_name(option)))
		return nullptr;
	switch (cmd) {
	case UCI_CMD_ADD:
	case UCI_CMD_REORDER:
		if (!value || option)
			return nullptr;
		break;
	case UCI_CMD_RENAME:
		if (!value || !valid_name(value))
			return nullptr;
		break;
	case UCI_CMD_LIST_ADD:
	case UCI_CMD_LIST_DEL:
		if (!value || !option)
			return nullptr;
		break;
	case UCI_CMD_CHANGE:
		if (!value)
			return nullptr;
		break;
	default:
		break;
	}
	return delta_new(cmd, section, option, value);
}

// Parses the changes in `data` and appends them to `out`.
void parse_changes(std::string_view data, const char *package, struct uci_list *out)
{
	const char *p = data.data(), *end = p + data.size();
	text word;
	while (p < end) {
		while (p < end && (*p == ' ' || *p == '\t' || *p == '\r'))
			p++;
		if (p == end)
			break;
		char cmd_char = *p;
		if (cmd_char == '\n') {
			p++;
			continue;
		}
		if (command_of(cmd_char) != UCI_CMD_CHANGE)
			p++;
		else
			cmd_char = 0;
		p = read_word(p, end, word);
		if (uci_delta *d = parse_change(cmd_char, word.data() ? word.data() : const_cast<char *>(""), package))
			list_append(out, &d->e.list);
	}
}

void append_change(text &out, const char *package, const uci_delta *d)
{
	if (char c = command_chars[d->cmd])
		out.push_back(c);
	out.append(package);
	out.push_back('.');
	out.append(d->section);
	if (d->e.name) {
		out.push_back('.');
		out.append(d->e.name);
	}
	if (d->value) {
		out.push_back('=');
		append_quoted(out, d->value);
	}
	out.push_back('\n');
}

void join(text &out, const char *dir, const char *name)
{
	out.clear();
	out.append(dir);
	out.push_back('/');
	out.append(name);
}

void note_path(text &out, struct uci_context *ctx, const char *package)
{
	out.clear();
	out.append(ctx->savedir);
	out.append("/.");
	out.append(package);
	out.append(".pending");
}

struct note {
	text data;
	std::string_view temp, old, fresh;
};

// 1: a note, 0: none, -1: one cut short while it was written (its rewrite
// never began).
int read_note(const char *path, note &n)
{
	int r = read_path(path, n.data);
	if (r != UCI_OK)
		return r == UCI_ERR_NOTFOUND ? 0 : -1;
	unsigned long t, o, f;
	int used = 0;
	if (sscanf(n.data.c_str(), "uci-pending %lu %lu %lu\n%n", &t, &o, &f, &used) != 3 || used <= 0)
		return -1;
	// views built by hand: substr may throw, and nothing here may
	const char *rest = n.data.c_str() + used;
	size_t len = n.data.size() - static_cast<size_t>(used);
	if (t > len || o > len - t || f != len - t - o)
		return -1;
	n.temp = std::string_view(rest, t);
	n.old = std::string_view(rest + t, o);
	n.fresh = std::string_view(rest + t + o, f);
	return 1;
}

// Whether the note's rewrite has to be taken for the file's `current`
// content: the old content, or the new one written over it in place and not
// yet cut to its length.
bool note_applies(struct uci_context *ctx, const char *package, const note &n, std::string_view current)
{
	if (!n.temp.empty()) {
		text temp;
		temp.append(package_dir(ctx, package));
		temp.push_back('/');
		temp.append(n.temp);
		struct stat st;
		if (lstat(temp.c_str(), &st) == 0 || errno != ENOENT)
			return false; // the commit did not rename it into place
	}
	if (current == n.old)
		return true;
	if (current.size() != n.old.size() || n.fresh.size() > current.size())
		return false;
	size_t same_start = 0;
	while (same_start < n.fresh.size() && current[same_start] == n.fresh[same_start])
		same_start++;
	size_t old_from = current.size();
	while (old_from > 0 && current[old_from - 1] == n.old[old_from - 1])
		old_from--;
	return old_from <= same_start;
}

bool write_at(int fd, std::string_view data)
{
	size_t done = 0;
	while (done < data.size()) {
		ssize_t w = pwrite(fd, data.data() + done, data.size() - done, static_cast<off_t>(done));
		if (w < 0 && errno == EINTR)
			continue;
		if (w <= 0)
			return false;
		done += static_cast<size_t>(w);
	}
	return ftruncate(fd, static_cast<off_t>(data.size())) == 0;
}

// Under the save file's lock: finishes a rewrite a crash cut short and drops
// its note. True when the file's content changed.
bool settle(struct uci_context *ctx, const char *package)
{
	text path;
	note_path(path, ctx, package);
	note n;
	int found = read_note(path.c_str(), n);
	if (found <= 0) {
		if (found < 0)
			unlink(path.c_str());
		return false;
	}
	text file, current;
	join(file, ctx->savedir, package);
	read_path(file.c_str(), current);
	bool changed = false;
	if (note_applies(ctx, package, n, current.view())) {
		int fd = open(file.c_str(), O_WRONLY | O_CLOEXEC);
		bool ok = fd >= 0 && write_at(fd, n.fresh);
		if (fd >= 0)
			close(fd);
		if (!ok)
			return false; // the note stays for the next one
		changed = true;
	}
	unlink(path.c_str());
	return changed;
}

long long monotonic_ms()
{
	struct timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// The files one pass has read or holds.
class id_list {
public:
	id_list() = default;
	~id_list() { free(ids_); }
	id_list(const id_list &) = delete;
	id_list &operator=(const id_list &) = delete;

	void add(const file_id &id)
	{
		if (!id.known)
			return;
		if (n_ == cap_) {
			cap_ = cap_ ? cap_ * 2 : 8;
			auto *ids = static_cast<file_id *>(realloc(ids_, sizeof(file_id) * cap_));
			if (!ids)
				abort();
			ids_ = ids;
		}
		ids_[n_++] = id;
	}
	bool has(const struct stat &st) const
	{
		for (size_t i = 0; i < n_; i++) {
			if (ids_[i].is(st))
				return true;
		}
		return false;
	}

private:
	file_id *ids_ = nullptr;
	size_t n_ = 0, cap_ = 0;
};

// Opens the staged file at `path` unless `seen` has it (then adds it): -1
// when there is none to read.
int open_once(const char *path, id_list &seen)
{
	int fd = open(path, O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return -1;
	struct stat st;
	if (fstat(fd, &st) < 0 || seen.has(st)) {
		close(fd);
		return -1;
	}
	seen.add(id_of(st));
	return fd;
}

// Replays the staged file open at `fd` and closes it. `pending`: the note
// of the file's rewrite, for the save directory's file.
int replay_fd(int fd, uci_package *p, struct uci_list *keep, const char *pending = nullptr,
	      struct uci_context *ctx = nullptr)
{
	text data;
	int r = lock_file(fd, LOCK_SH) < 0 ? UCI_ERR_IO : read_fd(fd, data);
	note n;
	if (r == UCI_OK && pending && data.size() && read_note(pending, n) > 0 &&
	    note_applies(ctx, p->e.name, n, data.view())) {
		data.clear();
		data.append(n.fresh);
	}
	close(fd);
	if (r != UCI_OK || data.size() == 0)
		return r;
	struct uci_list changes;
	list_init(&changes);
	parse_changes(data.view(), p->e.name, &changes);
	while (!uci_list_empty(&changes)) {
		uci_delta *d = uci_to_delta(list_to_element(changes.next));
		list_unlink(&d->e.list);
		// Only a change that applied makes a commit write, as on the device.
		if (apply_delta(p, d, d->section))
			p->has_delta = true;
		if (keep)
			list_append(keep, &d->e.list);
		else
			delta_free(d);
	}
	return UCI_OK;
}

// The delta directories' files of the package, each once and none that
// `seen` has.
int replay_paths(struct uci_context *ctx, uci_package *p, struct uci_list *keep, id_list &seen)
{
	text path;
	struct uci_element *e;
	uci_foreach_element(&ctx->delta_path, e) {
		join(path, e->name, p->e.name);
		int fd = open_once(path.c_str(), seen);
		if (fd >= 0) {
			int r = replay_fd(fd, p, keep);
			if (r != UCI_OK)
				return r;
		}
	}
	return UCI_OK;
}

} // namespace

file_id id_of(const struct stat &st)
{
	file_id id;
	id.dev = st.st_dev;
	id.ino = st.st_ino;
	id.known = true;
	return id;
}

file_id id_of_path(const char *path)
{
	struct stat st;
	return stat(path, &st) == 0 ? id_of(st) : file_id{};
}

// Polls with LOCK_NB: a blocking flock cannot be given a time limit
// without a signal, and a library has no signal of its own.
int lock_file(int fd, int how)
{
	long long until = monotonic_ms() + lock_wait_ms;
	long step_us = 1000;
	for (;;) {
		if (flock(fd, how | LOCK_NB) == 0)
			return 0;
		if (errno != EWOULDBLOCK && errno != EINTR)
			return -1;
		if (monotonic_ms() >= until) {
			errno = EWOULDBLOCK;
			return -1;
		}
		struct timespec pause = {0, step_us * 1000};
		nanosleep(&pause, nullptr);
		if (step_us < 50000)
			step_us *= 2;
	}
}

int load_staged_paths(struct uci_context *ctx, uci_package *p, const file_id &own, const file_id &held)
{
	id_list seen;
	seen.add(own);
	seen.add(held);
	return replay_paths(ctx, p, nullptr, seen);
}

int load_staged(struct uci_context *ctx, uci_package *p, bool keep)
{
	struct uci_list *saved = keep ? &p->saved_delta : nullptr;
	id_list seen;
	if (p->path)
		seen.add(id_of_path(p->path));
	// The save file is opened first, so that a delta directory naming it is
	// left out, and replayed last, in its place.
	text path;
	join(path, ctx->savedir, p->e.name);
	int save_fd = open_once(path.c_str(), seen);
	int r = replay_paths(ctx, p, saved, seen);
	if (save_fd >= 0) {
		text pending;
		note_path(pending, ctx, p->e.name);
		if (r == UCI_OK)
			r = replay_fd(save_fd, p, saved, pending.c_str(), ctx);
		else
			close(save_fd);
	}
	return r;
}

int save_staged(struct uci_context *ctx, uci_package *p)
{
	if (uci_list_empty(&p->delta))
		return UCI_OK;
	text out;
	struct uci_element *e;
	uci_foreach_element(&p->delta, e)
		append_change(out, p->e.name, uci_to_delta(e));

	struct stat st;
	if (stat(ctx->savedir, &st) < 0 && mkdir(ctx->savedir, UCI_DIRMODE) < 0 && errno != EEXIST)
		return UCI_ERR_IO;
	text path;
	join(path, ctx->savedir, p->e.name);
	int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
	if (fd < 0)
		return UCI_ERR_IO;
	int r = UCI_OK;
	if (lock_file(fd, LOCK_EX) < 0)
		r = UCI_ERR_IO;
	if (r == UCI_OK)
		settle(ctx, p->e.name); // appended after a rewrite a crash cut short, never before
	size_t done = 0;
	while (r == UCI_OK && done < out.size()) {
		ssize_t n = write(fd, out.c_str() + done, out.size() - done);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			r = UCI_ERR_IO;
		else
			done += static_cast<size_t>(n);
	}
	close(fd);
	if (r == UCI_OK)
		delta_list_free(&p->delta);
	return r;
}

namespace {

// Opens `path` with `flags` and locks it for writing; fd -1 when it cannot
// be opened, or when it is `own`, which this process holds already.
int open_locked(const char *path, int flags, const file_id &own, int &fd)
{
	fd = open(path, flags | O_CLOEXEC, 0644);
	if (fd < 0)
		return UCI_OK;
	struct stat st;
	if (fstat(fd, &st) == 0 && own.is(st)) {
		close(fd);
		fd = -1;
		return UCI_OK;
	}
	if (lock_file(fd, LOCK_EX) < 0) {
		close(fd);
		fd = -1;
		return UCI_ERR_IO;
	}
	return UCI_OK;
}

} // namespace

int staged_open(struct uci_context *ctx, const char *package, text &changes, struct uci_list *out,
		const file_id &own, int &fd)
{
	text path;
	join(path, ctx->savedir, package);
	int r = open_locked(path.c_str(), O_RDWR, own, fd);
	if (r != UCI_OK || fd < 0)
		return r;
	if (read_fd(fd, changes) != UCI_OK ||
	    (settle(ctx, package) && (lseek(fd, 0, SEEK_SET) < 0 || read_fd(fd, changes) != UCI_OK))) {
		close(fd);
		fd = -1;
		return UCI_ERR_IO;
	}
	if (out)
		parse_changes(changes.view(), package, out);
	return UCI_OK;
}

int staged_create(struct uci_context *ctx, const char *package, const file_id &own, int &fd)
{
	fd = -1;
	struct stat st;
	if (stat(ctx->savedir, &st) < 0 && mkdir(ctx->savedir, UCI_DIRMODE) < 0 && errno != EEXIST)
		return UCI_OK; // the commit goes on without it
	text path;
	join(path, ctx->savedir, package);
	return open_locked(path.c_str(), O_RDWR | O_CREAT, own, fd);
}

int staged_note(struct uci_context *ctx, const char *package, std::string_view temp, std::string_view old,
		std::string_view fresh)
{
	text path, data;
	note_path(path, ctx, package);
	char head[80];
	snprintf(head, sizeof(head), "uci-pending %zu %zu %zu\n", temp.size(), old.size(), fresh.size());
	data.append(head);
	data.append(temp);
	data.append(old);
	data.append(fresh);
	int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
	if (fd < 0)
		return UCI_ERR_IO;
	size_t done = 0;
	bool ok = true;
	while (ok && done < data.size()) {
		ssize_t w = write(fd, data.c_str() + done, data.size() - done);
		if (w < 0 && errno == EINTR)
			continue;
		ok = w > 0;
		if (ok)
			done += static_cast<size_t>(w);
	}
	ok = close(fd) == 0 && ok;
	if (!ok) {
		unlink(path.c_str());
		return UCI_ERR_IO;
	}
	return UCI_OK;
}

void staged_unnote(struct uci_context *ctx, const char *package)
{
	text path;
	note_path(path, ctx, package);
	unlink(path.c_str());
}

int staged_rewrite(struct uci_context *ctx, const char *package, int fd, std::string_view old,
		   std::string_view fresh)
{
	if (old == fresh)
		return UCI_OK;
	if (staged_note(ctx, package, {}, old, fresh) != UCI_OK)
		return UCI_ERR_IO;
	// The new content over the old one from the start, then cut: the file
	// is never empty on the way, so that a load looks for the note.
	if (!write_at(fd, fresh)) {
		if (write_at(fd, old))
			staged_unnote(ctx, package);
		return UCI_ERR_IO;
	}
	staged_unnote(ctx, package);
	return UCI_OK;
}

void format_changes(text &out, const char *package, const struct uci_list *changes)
{
	struct uci_element *e;
	uci_foreach_element(changes, e)
		append_change(out, package, uci_to_delta(e));
}

void parse_staged(std::string_view data, const char *package, struct uci_list *out)
{
	parse_changes(data, package, out);
}

} // namespace uci_impl
