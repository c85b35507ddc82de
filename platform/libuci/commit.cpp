// Writing a package: lock, re-read, replay this context's changes, write a
// temporary file beside it, fsync, rename into place, fsync the directory.
#include "internal.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
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

// Temporary files are dot-files, which no load takes for a package.
std::string temp_prefix(const char *name)
{
	return std::string(".") + name + ".uci-";
}

// Locks the file now at `path`. A commit that renamed a new file into place
// while we waited leaves us holding a lock on the old one: try again.
int lock_current(const std::string &path, fd_guard &fd, struct stat &st)
{
	for (int i = 0; i < max_lock_attempts; i++) {
		fd.reset(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
		if (fd.get() < 0)
			return UCI_ERR_IO;
		int r;
		while ((r = flock(fd.get(), LOCK_EX)) < 0 && errno == EINTR) {
		}
		if (r < 0 || fstat(fd.get(), &st) < 0)
			return UCI_ERR_IO;
		struct stat now;
		if (stat(path.c_str(), &now) == 0 && now.st_dev == st.st_dev && now.st_ino == st.st_ino)
			return UCI_OK;
	}
	return UCI_ERR_IO;
}

// Under the lock, any temporary file of this package belongs to a writer
// that died before its rename.
void remove_leftovers(const std::string &dir, const char *name)
{
	DIR *d = opendir(dir.c_str());
	if (!d)
		return;
	std::string prefix = temp_prefix(name);
	while (struct dirent *e = readdir(d)) {
		if (strncmp(e->d_name, prefix.c_str(), prefix.size()) == 0)
			unlinkat(dirfd(d), e->d_name, 0);
	}
	closedir(d);
}

bool write_all(int fd, const std::string &data)
{
	size_t done = 0;
	while (done < data.size()) {
		ssize_t n = write(fd, data.data() + done, data.size() - done);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return false;
		done += static_cast<size_t>(n);
	}
	return true;
}

int replace_file(const std::string &dir, const std::string &path, const char *name,
		 const std::string &text, const struct stat &st)
{
	std::string tmp = dir + "/" + temp_prefix(name) + "XXXXXX";
	int fd = mkostemp(tmp.data(), O_CLOEXEC);
	if (fd < 0)
		return UCI_ERR_IO;
	fchmod(fd, st.st_mode & 07777);
	if (geteuid() == 0 && fchown(fd, st.st_uid, st.st_gid) < 0) {
		// the file stays ours; its mode is what matters
	}
	bool ok = write_all(fd, text) && fsync(fd) == 0;
	ok = close(fd) == 0 && ok;
	if (!ok || rename(tmp.c_str(), path.c_str()) < 0) {
		unlink(tmp.c_str());
		return UCI_ERR_IO;
	}
	int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (dfd >= 0) {
		fsync(dfd);
		close(dfd);
	}
	return UCI_OK;
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

// An anonymous section's name is its place in the file. It still names the
// section this context changed only if every section up to it is as the
// context read it.
bool same_place(const uci_package *fresh, const std::vector<uint64_t> &now,
		const std::vector<uint64_t> &read, std::string_view name)
{
	size_t i = 0;
	struct uci_element *e;
	uci_foreach_element(&fresh->sections, e) {
		if (i >= read.size() || now[i] != read[i])
			return false;
		if (name == e->name)
			return true;
		i++;
	}
	return false;
}

// Replays this context's changes on the file as it is now. Sections the
// context added get the names the file gives them; a change meant for an
// anonymous section that others have moved is not applied elsewhere.
int replay(uci_package *fresh, const uci_delta_log &log)
{
	std::vector<uint64_t> now = package_shape(fresh);
	if (now != log.shape) {
		for (const auto &d : log.items) {
			bool ours = std::any_of(log.items.begin(), log.items.end(), [&](const delta &a) {
				return a.op == delta_op::add && a.section == d.section;
			});
			if (d.positional && !ours && !same_place(fresh, now, log.shape, d.section))
				return UCI_ERR_NOTFOUND;
		}
	}
	std::vector<std::pair<std::string, std::string>> added; // our name, the file's
	for (const auto &d : log.items) {
		std::string_view section = d.section;
		for (const auto &[mine, theirs] : added) {
			if (mine == section)
				section = theirs;
		}
		if (d.op == delta_op::add) {
			std::string name;
			apply_delta(fresh, d, section, &name);
			added.emplace_back(d.section, std::move(name));
			continue;
		}
		apply_delta(fresh, d, section);
	}
	return UCI_OK;
}

} // namespace

extern "C" {

int uci_commit(struct uci_context *ctx, struct uci_package **package, bool overwrite)
{
	if (!package || !*package)
		return set_error(ctx, UCI_ERR_INVAL, __func__);
	uci_package *p = *package;
	if (!overwrite && p->deltas->items.empty())
		return set_error(ctx, UCI_OK, __func__);

	std::string dir = ctx->confdir;
	std::string path = dir + "/" + p->e.name;
	fd_guard lock;
	struct stat st;
	int r = lock_current(path, lock, st);
	if (r != UCI_OK)
		return set_error(ctx, r, __func__);
	remove_leftovers(dir, p->e.name);

	std::string text;
	uci_package *fresh = nullptr;
	if (overwrite) {
		export_package(p, text, false);
	} else {
		std::string current;
		if (read_fd(lock.get(), current) != UCI_OK)
			return set_error(ctx, UCI_ERR_IO, __func__);
		fresh = package_new(ctx, p->e.name);
		r = parse_package(ctx, fresh, current);
		if (r != UCI_OK) {
			package_free(fresh);
			return set_error(ctx, r, __func__); // a broken file is never rewritten
		}
		r = replay(fresh, *p->deltas);
		if (r != UCI_OK) {
			package_free(fresh);
			return set_error(ctx, r, __func__);
		}
		export_package(fresh, text, false);
	}

	r = replace_file(dir, path, p->e.name, text, st);
	if (r == UCI_OK && fresh)
		take_sections(p, fresh);
	if (fresh)
		package_free(fresh);
	if (r != UCI_OK)
		return set_error(ctx, r, __func__);
	// From here on the context's names are those of the file it wrote.
	section_names_refresh(p);
	p->deltas->shape = package_shape(p);
	p->deltas->items.clear();
	p->has_delta = false;
	return set_error(ctx, UCI_OK, __func__);
}

} // extern "C"
