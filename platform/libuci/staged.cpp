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
#include "internal.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
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

int lock_fd(int fd, int how)
{
	int r;
	while ((r = flock(fd, how)) < 0 && errno == EINTR) {
	}
	return r;
}

void replay_file(const char *path, uci_package *p, struct uci_list *keep)
{
	text data;
	int fd = open(path, O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return;
	lock_fd(fd, LOCK_SH);
	int r = read_fd(fd, data);
	close(fd);
	if (r != UCI_OK || data.size() == 0)
		return;
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
}

} // namespace

void load_staged_paths(struct uci_context *ctx, uci_package *p)
{
	text path;
	struct uci_element *e;
	uci_foreach_element(&ctx->delta_path, e) {
		join(path, e->name, p->e.name);
		replay_file(path.c_str(), p, nullptr);
	}
}

void load_staged(struct uci_context *ctx, uci_package *p, bool keep)
{
	text path;
	struct uci_element *e;
	uci_foreach_element(&ctx->delta_path, e) {
		join(path, e->name, p->e.name);
		replay_file(path.c_str(), p, keep ? &p->saved_delta : nullptr);
	}
	join(path, ctx->savedir, p->e.name);
	replay_file(path.c_str(), p, keep ? &p->saved_delta : nullptr);
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
	if (lock_fd(fd, LOCK_EX) < 0)
		r = UCI_ERR_IO;
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

int staged_open(struct uci_context *ctx, const char *package, text &changes, struct uci_list *out,
		uci_package *p)
{
	text path;
	join(path, ctx->savedir, package);
	int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
	if (fd < 0)
		return -1;
	(void)p;
	if (lock_fd(fd, LOCK_EX) < 0 || read_fd(fd, changes) != UCI_OK) {
		close(fd);
		return -1;
	}
	if (out)
		parse_changes(changes.view(), package, out);
	return fd;
}

int staged_create(struct uci_context *ctx, const char *package)
{
	struct stat st;
	if (stat(ctx->savedir, &st) < 0 && mkdir(ctx->savedir, UCI_DIRMODE) < 0 && errno != EEXIST)
		return -1;
	text path;
	join(path, ctx->savedir, package);
	int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
	if (fd >= 0 && lock_fd(fd, LOCK_EX) < 0) {
		close(fd);
		return -1;
	}
	return fd;
}

void flush_staged(struct uci_context *ctx, const char *package)
{
	text path;
	join(path, ctx->savedir, package);
	int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
	if (fd < 0)
		return;
	lock_fd(fd, LOCK_EX);
	if (ftruncate(fd, 0) < 0) {
		// the changes stay staged; the next commit writes them again
	}
	close(fd);
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
