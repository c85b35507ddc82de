// Writing a package: lock, re-read, replay every staged change and this
// context's own, write a temporary file beside it, fsync, note the save
// file's emptying, rename into place, fsync the directory, and empty the
// save directory's file.
#include "internal.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

using namespace uci_impl;

namespace {

constexpr int max_lock_attempts = 1000;

class fd_guard {
public:
	explicit fd_guard(int fd = -1) : fd_(fd) {}
	~fd_guard() { reset(); }
	fd_guard(const fd_guard &) = delete;
	fd_guard &operator=(const fd_guard &) = delete;
	int get() const { return fd_; }
	void reset(int fd = -1)
	{
		if (fd_ >= 0)
			close(fd_);
		fd_ = fd;
	}

private:
	int fd_;
};

// Frees a list of changes on every path out.
struct delta_list {
	struct uci_list l;
	delta_list() { list_init(&l); }
	~delta_list() { delta_list_free(&l); }
	delta_list(const delta_list &) = delete;
	delta_list &operator=(const delta_list &) = delete;
};

struct package_holder {
	uci_package *p = nullptr;
	~package_holder() { package_free(p); }
};

// Temporary files are dot-files, which no load takes for a package.
void temp_prefix(text &out, const char *name)
{
	out.clear();
	out.push_back('.');
	out.append(name);
	out.append(".uci-");
}

// Locks the file now at `path`. A commit that renamed a new file into place
// while we waited leaves us holding a lock on the old one: try again.
int lock_current(const char *path, fd_guard &fd, struct stat &st)
{
	for (int i = 0; i < max_lock_attempts; i++) {
		fd.reset(open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644));
		if (fd.get() < 0)
			return UCI_ERR_IO;
		if (lock_file(fd.get(), LOCK_EX) < 0 || fstat(fd.get(), &st) < 0)
			return UCI_ERR_IO;
		struct stat now;
		if (stat(path, &now) == 0 && now.st_dev == st.st_dev && now.st_ino == st.st_ino)
			return UCI_OK;
	}
	return UCI_ERR_IO;
}

// Under the lock, any temporary file of this package belongs to a writer
// that died before its rename. The directory is read into a stack buffer:
// opendir's 32 kB heap buffer, taken and given back at every commit, crept
// up through a long-running daemon's heap as small blocks settled below it.
void remove_leftovers(const char *dir, const char *name)
{
	fd_guard d(open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
	if (d.get() < 0)
		return;
	text prefix;
	temp_prefix(prefix, name);
	// Records as getdents64 gives them: ino (8), off (8), reclen (2),
	// type (1), then the terminated name.
	constexpr size_t reclen_at = 16, name_at = 19;
	alignas(8) char buf[4096];
	for (;;) {
		long n = syscall(SYS_getdents64, d.get(), buf, sizeof(buf));
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return;
		for (long at = 0; at + static_cast<long>(name_at) < n;) {
			unsigned short reclen;
			memcpy(&reclen, buf + at + reclen_at, sizeof(reclen));
			if (reclen <= name_at || at + reclen > n)
				return;
			const char *entry = buf + at + name_at;
			if (strncmp(entry, prefix.c_str(), prefix.size()) == 0)
				unlinkat(d.get(), entry, 0);
			at += reclen;
		}
	}
}

bool write_all(int fd, const text &data)
{
	size_t done = 0;
	while (done < data.size()) {
		ssize_t n = write(fd, data.c_str() + done, data.size() - done);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return false;
		done += static_cast<size_t>(n);
	}
	return true;
}

// The new content in a temporary file beside the package's, synced; its
// path in `tmp`.
int write_temp(const char *dir, const char *name, const text &data, const struct stat &st, text &tmp)
{
	tmp.clear();
	tmp.append(dir);
	tmp.push_back('/');
	text prefix;
	temp_prefix(prefix, name);
	tmp.append(prefix.view());
	tmp.append("XXXXXX");
	int fd = mkostemp(tmp.data(), O_CLOEXEC);
	if (fd < 0)
		return UCI_ERR_IO;
	fchmod(fd, st.st_mode & 07777);
	if (geteuid() == 0 && fchown(fd, st.st_uid, st.st_gid) < 0) {
		// the file stays ours; its mode is what matters
	}
	bool ok = write_all(fd, data) && fsync(fd) == 0;
	ok = close(fd) == 0 && ok;
	if (!ok) {
		int err = errno;
		unlink(tmp.c_str());
		errno = err;
		return UCI_ERR_IO;
	}
	return UCI_OK;
}

// Syncs the directory, so that the rename survives a power cut. A file
// system that cannot sync a directory says EINVAL (or ENOTSUP): nothing to
// wait for there.
bool sync_dir(const char *dir)
{
	int dfd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (dfd < 0)
		return false;
	int r;
	while ((r = fsync(dfd)) < 0 && errno == EINTR) {
	}
	bool ok = r == 0 || errno == EINVAL || errno == ENOTSUP || errno == EOPNOTSUPP;
	int err = errno;
	close(dfd);
	errno = err;
	return ok;
}

// Moves the sections of `from` into `to`, whose own are freed.
void take_sections(uci_package *to, uci_package *from)
{
	package_clear(to);
	if (from->sections.next == &from->sections)
		return;
	to->sections.next = from->sections.next;
	to->sections.prev = from->sections.prev;
	to->sections.next->prev = &to->sections;
	to->sections.prev->next = &to->sections;
	from->sections.next = from->sections.prev = &from->sections;
	to->n_section = from->n_section;
	struct uci_element *e;
	uci_foreach_element(&to->sections, e)
		uci_to_section(e)->package = to;
}

bool same_shape(const uci_package *a, const uci_package *b)
{
	return a->n_shape == b->n_shape &&
	       (a->n_shape == 0 || memcmp(a->shape, b->shape, sizeof(*a->shape) * a->n_shape) == 0);
}

// An anonymous section's name is its place in the file. It still names the
// section this context changed only if every section up to it is as the
// context read it.
bool same_place(const uci_package *fresh, const uci_package *read, const char *name)
{
	int i = 0;
	struct uci_element *e;
	uci_foreach_element(&fresh->sections, e) {
		if (i >= read->n_shape || fresh->shape[i] != read->shape[i])
			return false;
		if (strcmp(name, e->name) == 0)
			return true;
		i++;
	}
	return false;
}

bool added_here(const struct uci_list *changes, const char *section)
{
	struct uci_element *e;
	uci_foreach_element(changes, e) {
		auto *a = uci_to_delta(e);
		if (a->cmd == UCI_CMD_ADD && a->section && strcmp(a->section, section) == 0)
			return true;
	}
	return false;
}

// Replays this context's changes on the file as it is now (with every
// staged change applied). Sections the context added get the names the
// file gives them; a change meant for an anonymous section that others have
// moved is not applied elsewhere.
int replay(uci_package *fresh, const uci_package *p)
{
	package_take_shape(fresh);
	struct uci_element *e;
	if (!same_shape(fresh, p)) {
		uci_foreach_element(&p->delta, e) {
			auto *d = uci_to_delta(e);
			if (d->positional && !added_here(&p->delta, d->section) && !same_place(fresh, p, d->section))
				return UCI_ERR_NOTFOUND;
		}
	}
	// Our name of each added section, and the file's.
	struct renamed {
		const char *mine;
		char theirs[32];
	};
	int n_added = 0;
	uci_foreach_element(&p->delta, e) {
		if (uci_to_delta(e)->cmd == UCI_CMD_ADD)
			n_added++;
	}
	auto *added = static_cast<renamed *>(malloc(sizeof(renamed) * (n_added ? n_added : 1)));
	if (!added)
		abort();
	int used = 0;
	uci_foreach_element(&p->delta, e) {
		auto *d = uci_to_delta(e);
		const char *section = d->section;
		for (int i = 0; i < used; i++) {
			if (strcmp(added[i].mine, section) == 0)
				section = added[i].theirs;
		}
		if (d->cmd == UCI_CMD_ADD) {
			added[used].mine = d->section;
			apply_delta(fresh, d, section, added[used].theirs);
			used++;
			continue;
		}
		apply_delta(fresh, d, section);
	}
	free(added);
	return UCI_OK;
}

} // namespace

extern "C" {

int uci_commit(struct uci_context *ctx, struct uci_package **package, bool overwrite)
{
	if (!package || !*package)
		return set_error(ctx, UCI_ERR_INVAL, __func__);
	uci_package *p = *package;

	// A package with a file in the override directory lives there.
	const char *dir = package_dir(ctx, p->e.name);
	text path;
	path.append(dir);
	path.push_back('/');
	path.append(p->e.name);
	fd_guard lock;
	struct stat st;
	int r = lock_current(path.c_str(), lock, st);
	if (r != UCI_OK)
		return set_error(ctx, r, __func__);

	// What scripts staged for this package goes in with our own changes.
	// The save and delta directories' files leave out the one locked here.
	file_id own = id_of(st);
	text staged_text;
	delta_list staged;
	int fd = -1;
	r = staged_open(ctx, p->e.name, staged_text, &staged.l, own, fd);
	fd_guard staged_fd(fd);
	if (r != UCI_OK)
		return set_error(ctx, r, __func__);
	// The file as it is now, read even when nothing is to change: as the
	// device's, a commit that is not strict tells its parse warnings.
	package_holder fresh;
	if (!overwrite) {
		text current;
		if (read_fd(lock.get(), current) != UCI_OK)
			return set_error(ctx, UCI_ERR_IO, __func__);
		fresh.p = package_new(ctx, p->e.name);
		r = parse_package(ctx, fresh.p, current.view());
		if (r != UCI_OK)
			return set_error(ctx, r, __func__); // a broken file is never rewritten
	}
	// Nothing changed here and nothing was staged when it loaded: as on the
	// device, the file is left as it is.
	if (!overwrite && !p->has_delta && uci_list_empty(&staged.l))
		return set_error(ctx, UCI_OK, __func__);
	remove_leftovers(dir, p->e.name);
	// As on the device, a commit of changes made here leaves the package's
	// file in the save directory, empty (one that writes only what a delta
	// directory holds makes none).
	if (staged_fd.get() < 0 && !overwrite && !uci_list_empty(&p->delta)) {
		r = staged_create(ctx, p->e.name, own, fd);
		staged_fd.reset(fd);
		if (r != UCI_OK)
			return set_error(ctx, r, __func__);
	}

	text out;
	if (overwrite) {
		export_package(p, out, false);
	} else {
		// The delta directories' changes go in too (as on the device),
		// but stay where they are.
		struct stat held;
		bool holds = staged_fd.get() >= 0 && fstat(staged_fd.get(), &held) == 0;
		r = load_staged_paths(ctx, fresh.p, own, holds ? id_of(held) : file_id{});
		if (r != UCI_OK)
			return set_error(ctx, r, __func__);
		struct uci_element *e;
		uci_foreach_element(&staged.l, e) {
			auto *d = uci_to_delta(e);
			apply_delta(fresh.p, d, d->section);
		}
		r = replay(fresh.p, p);
		if (r != UCI_OK)
			return set_error(ctx, r, __func__);
		export_package(fresh.p, out, false);
	}

	text tmp;
	r = write_temp(dir, p->e.name, out, st, tmp);
	if (r != UCI_OK)
		return set_error(ctx, r, __func__);
	// Once the new file is in place the staged changes are in it: a kill
	// before the save file is emptied would leave them to apply again. The
	// note tells whoever comes next to take them as gone.
	bool noted = staged_fd.get() >= 0 && staged_text.size() > 0;
	std::string_view tmp_name = tmp.view();
	tmp_name.remove_prefix(strlen(dir) + 1);
	if (noted && staged_note(ctx, p->e.name, tmp_name, staged_text.view(), {}) != UCI_OK) {
		int err = errno;
		unlink(tmp.c_str());
		errno = err;
		return set_error(ctx, UCI_ERR_IO, __func__);
	}
	if (rename(tmp.c_str(), path.c_str()) < 0) {
		int err = errno;
		if (noted)
			staged_unnote(ctx, p->e.name); // before the file it names goes
		unlink(tmp.c_str());
		errno = err;
		return set_error(ctx, UCI_ERR_IO, __func__);
	}
	// The file is in place whatever the sync says; a failed one is told
	// once the rest is done, as the commit may not survive a power cut.
	bool synced = sync_dir(dir);
	int sync_err = errno;
	if (staged_fd.get() >= 0 && ftruncate(staged_fd.get(), 0) < 0) {
		// the note stays: the next load or writer drops the changes
	} else if (noted) {
		staged_unnote(ctx, p->e.name);
	}
	if (fresh.p)
		take_sections(p, fresh.p);
	// From here on the context's names are those of the file it wrote.
	section_names_refresh(p);
	package_take_shape(p);
	delta_list_free(&p->saved_delta);
	if (ctx->flags & UCI_FLAG_SAVED_DELTA) {
		while (!uci_list_empty(&staged.l)) {
			struct uci_list *l = staged.l.next;
			list_unlink(l);
			list_append(&p->saved_delta, l);
		}
		while (!uci_list_empty(&p->delta)) {
			struct uci_list *l = p->delta.next;
			list_unlink(l);
			list_append(&p->saved_delta, l);
		}
	}
	delta_list_free(&p->delta);
	p->has_delta = false;
	if (!synced) {
		errno = sync_err;
		return set_error(ctx, UCI_ERR_IO, __func__);
	}
	return set_error(ctx, UCI_OK, __func__);
}

} // extern "C"
