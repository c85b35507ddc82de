// Internals of the project's libuci, shared by its files. Nothing here needs
// the C++ runtime: memory is malloc'd, and a failed allocation aborts (the
// tree has no way to report it).
#pragma once

#include <uci.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <sys/stat.h>

namespace uci_impl {

// A growable byte buffer, always NUL-terminated.
class text {
public:
	text() = default;
	~text() { free(data_); }
	text(const text &) = delete;
	text &operator=(const text &) = delete;

	void append(const char *s, size_t n)
	{
		reserve(len_ + n);
		if (n) // an empty view may carry no pointer, which memcpy may not take
			memcpy(data_ + len_, s, n);
		len_ += n;
		data_[len_] = 0;
	}
	void append(std::string_view s) { append(s.data(), s.size()); }
	void push_back(char c) { append(&c, 1); }
	void clear()
	{
		len_ = 0;
		if (data_)
			data_[0] = 0;
	}
	void reserve(size_t n)
	{
		if (n + 1 <= cap_)
			return;
		size_t cap = cap_ ? cap_ : 64;
		while (cap < n + 1)
			cap *= 2;
		auto *d = static_cast<char *>(realloc(data_, cap));
		if (!d)
			abort();
		data_ = d;
		cap_ = cap;
		data_[len_] = 0;
	}
	const char *c_str() const { return data_ ? data_ : ""; }
	char *data() { return data_; }
	size_t size() const { return len_; }
	std::string_view view() const { return {c_str(), len_}; }

private:
	char *data_ = nullptr;
	size_t len_ = 0, cap_ = 0;
};

char *dup_text(std::string_view s);

bool valid_name(std::string_view s);  // section and option names
bool valid_type(std::string_view s);  // section types as the file parser takes them
bool valid_argument(std::string_view s); // a value given in a pointer: no control characters but tab, CR, LF
bool valid_package_name(std::string_view s);
bool valid_package_word(std::string_view s); // a `package` line's name: letters, digits, '_', '-'

int set_error(struct uci_context *ctx, int err, const char *func);

void list_init(struct uci_list *l);
void list_append(struct uci_list *head, struct uci_list *e);
void list_unlink(struct uci_list *e);

// Tree building; names and values are copied.
uci_package *package_new(struct uci_context *ctx, std::string_view name);
void package_free(uci_package *p);
void package_clear(uci_package *p);
// A NULL name gives the section the generated name of an anonymous one.
uci_section *section_add(uci_package *p, std::string_view type, const char *name);
void element_rename(struct uci_element *e, std::string_view name);
void section_move(uci_section *s, long pos);
// Gives anonymous sections the names a fresh read of the package would.
void section_names_refresh(uci_package *p);
void package_take_shape(uci_package *p);
void section_free(uci_section *s);
uci_section *find_section(uci_package *p, std::string_view name);
uci_option *find_option(uci_section *s, std::string_view name);
bool option_set(uci_section *s, std::string_view name, std::string_view value);
uci_option *option_add_item(uci_section *s, std::string_view name, std::string_view value);
void option_append_item(uci_option *list, std::string_view value);
void option_free(uci_option *o);

// Changes. An option or value of NULL is none.
uci_delta *delta_new(enum uci_command cmd, const char *section, const char *option, const char *value);
void delta_free(uci_delta *d);
void delta_list_free(struct uci_list *l);
// Applies a change to a tree; false when it does not fit the tree.
// `section` overrides d->section; an add names the section it made in
// `added` (32 bytes) when given, else the section takes d->section.
bool apply_delta(uci_package *p, const uci_delta *d, const char *section, char *added = nullptr);

// A file as the kernel knows it: two paths name one file when both agree,
// whatever their spelling (a trailing slash, a link).
struct file_id {
	dev_t dev = 0;
	ino_t ino = 0;
	bool known = false;
	bool is(const struct stat &st) const { return known && dev == st.st_dev && ino == st.st_ino; }
};
file_id id_of(const struct stat &st);
file_id id_of_path(const char *path); // not known when there is no such file

// How long a lock another process holds is waited for: far longer than a
// commit holds one, so a script's `uci` only delays us; bounded, so that a
// peer that never lets go (stuck, or whose descriptor lives on in a child)
// fails the call with UCI_ERR_IO, the device's error for a lock it cannot
// have, instead of stopping it for good.
constexpr int lock_wait_ms = 5000;
// flock(fd, how) within lock_wait_ms: 0, or -1 (errno EWOULDBLOCK when time ran out).
int lock_file(int fd, int how);

// Staged changes: SAVEDIR/PACKAGE and the delta directories. One file is
// read once however many of these directories name it, and the package's
// own file never (a save or delta directory that is the config directory):
// a second read merges each change twice, and a second lock on a file this
// process holds waits for itself.
//
// Replays every staged file of the package onto its tree, the save
// directory's last; keeps the changes in p->saved_delta when `keep`.
// UCI_ERR_IO when a file's lock could not be had.
int load_staged(struct uci_context *ctx, uci_package *p, bool keep);
// Replays the delta directories' files only, leaving out `own` (the
// package's file) and `held` (the save file the caller holds).
int load_staged_paths(struct uci_context *ctx, uci_package *p, const file_id &own, const file_id &held);
// Appends the package's unsaved changes to the save directory's file.
int save_staged(struct uci_context *ctx, uci_package *p);
// Opens and locks the save directory's file of the package, reads it into
// `changes` and parses it onto `out`. `fd` is -1 when there is none (or it
// cannot be opened), or when it is `own`. UCI_ERR_IO when it cannot be
// locked or read.
int staged_open(struct uci_context *ctx, const char *package, text &changes, struct uci_list *out,
		const file_id &own, int &fd);
// Opens (creating it and the save directory) and locks the package's file;
// `fd` as staged_open's.
int staged_create(struct uci_context *ctx, const char *package, const file_id &own, int &fd);
// Notes a rewrite of the save directory's file of the package from `old` to
// `fresh` before it begins, so that a load or writer after a crash takes
// the new content (a commit's only once its temporary file, named `temp` in
// the package's directory, is gone).
int staged_note(struct uci_context *ctx, const char *package, std::string_view temp, std::string_view old,
		std::string_view fresh);
void staged_unnote(struct uci_context *ctx, const char *package);
// Rewrites the locked save file `fd` of the package from `old` to `fresh`
// under a note.
int staged_rewrite(struct uci_context *ctx, const char *package, int fd, std::string_view old,
		   std::string_view fresh);
void parse_staged(std::string_view data, const char *package, struct uci_list *out);
void format_changes(text &out, const char *package, const struct uci_list *changes);

// Parses a whole file into an empty package. With `made`, each `package`
// line starts a new package, appended there (p may then be NULL).
int parse_package(struct uci_context *ctx, uci_package *p, std::string_view text,
		  struct uci_list *made = nullptr);
// `names`: anonymous sections are written with their names too.
void export_package(const uci_package *p, text &out, bool header, bool names = false);
void append_quoted(text &out, std::string_view value);

int read_fd(int fd, text &out);
int read_path(const char *path, text &out); // UCI_ERR_NOTFOUND when missing
// Where package `name`'s file is: the override directory when it has one.
const char *package_dir(struct uci_context *ctx, const char *name);

} // namespace uci_impl
