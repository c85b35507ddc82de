// The UCI file format: reading a package, and writing it back.
//
// The reader works as the device's does, line by line: a statement is a
// line, and a quote left open (or a backslash before the newline or before
// CR and newline, outside single quotes) carries it onto the next. Errors carry the device's line
// number (the newline-terminated lines read so far) and byte (an offset in
// the statement, where a backslash-newline counts as one byte, also at the
// end of the data); a word takes the one blank that ends it, and what comes
// after is where the device's looks next.
#include "internal.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace uci_impl {

namespace {

constexpr bool is_blank(char c)
{
	return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

constexpr auto special_chars = [] {
	std::array<bool, 256> t{};
	for (unsigned char c : {' ', '\t', '\n', '\r', '\v', '\f', '#', '\'', '"', '\\', ';'})
		t[c] = true;
	return t;
}();

struct parse_error {
	const char *why = nullptr;
	int line = 0;
	long byte = 0;
};

class reader {
public:
	explicit reader(std::string_view data) : p_(data.data()), end_(data.data() + data.size()) {}

	// Starts the next statement on the next line; false at the end.
	bool begin()
	{
		base_ = 0;
		return next_line();
	}

	long pos() const { return base_ + (c_ - ls_); }
	int line() const { return line_; }

	void skip_blanks()
	{
		while (c_ < le_ && is_blank(*c_))
			c_++;
	}
	// Nothing more in the statement (the end of the line, or a comment).
	bool at_end() const { return c_ == le_ || *c_ == '#'; }
	// Nothing more on the line.
	bool line_done() const { return c_ == le_; }
	void skip_spaces()
	{
		while (c_ < le_ && (*c_ == ' ' || *c_ == '\t'))
			c_++;
	}
	// The line held a NUL, where the device ends it and drops the rest.
	bool cut() const { return cut_; }
	void fail_cut(parse_error &err)
	{
		err.why = "invalid character";
		err.line = line_ + 1;
		err.byte = base_ + (le_ - ls_);
	}
	bool at_comment() const { return c_ < le_ && *c_ == '#'; }
	// Just past the last word read, and past the blank after it if any:
	// where the device's tells a word too many.
	long after_word() const { return base_ + (word_end_ - ls_) + (word_end_ < le_ && is_blank(*word_end_)); }
	// Where the statement stopped: past its blanks, or at a ';' that
	// dropped the rest of the line.
	long stop() const { return dropped_ ? base_ + (word_end_ - ls_) : pos(); }

	// substr() would check its bounds and may throw, which the daemon
	// cannot link.
	static std::string_view first_letter(std::string_view word) { return {word.data(), word.empty() ? 0u : 1u}; }

	// Whether the statement's first word is `word` followed by a blank.
	// The keyword, or its first letter alone ("c t" is "config t"), as the
	// device's reads them.
	bool keyword(std::string_view word)
	{
		return keyword_as(word) || keyword_as(first_letter(word));
	}

	// The keyword (or its letter) is all that is left of the data: no
	// blank, no newline after it.
	bool keyword_last(std::string_view word) const
	{
		std::string_view rest(c_, static_cast<size_t>(le_ - c_));
		return !cut_ && (rest == word || rest == first_letter(word));
	}

	bool keyword_as(std::string_view word)
	{
		size_t left = static_cast<size_t>(le_ - c_);
		if (left <= word.size() || memcmp(c_, word.data(), word.size()) != 0)
			return false;
		char next = c_[word.size()];
		if (next != ' ' && next != '\t')
			return false;
		c_ += word.size();
		return true;
	}

	// Reads one word into out, and the one blank that ends it; false (with
	// the error set) on an open quote.
	bool word(text &out, parse_error &err)
	{
		out.clear();
		dropped_ = false;
		const char *start = c_;
		bool bare = true; // no quote, no backslash

		while (c_ < le_) {
			const char *run = c_;
			while (c_ < le_ && !special_chars[static_cast<unsigned char>(*c_)])
				c_++;
			if (c_ != run)
				out.append(run, static_cast<size_t>(c_ - run));
			word_end_ = c_;
			if (c_ == le_)
				break;
			char ch = *c_;
			if (is_blank(ch)) {
				c_++;
				break;
			}
			if (ch == '#')
				break;
			if (ch == ';') {
				// After a bare word the device drops the rest of the
				// line; a ';' that starts a word is that word, empty;
				// after any other word the next starts at the ';'.
				if (bare && out.size()) {
					c_ = le_;
					dropped_ = true;
				} else if (c_ == start)
					c_++;
				break;
			}
			bare = false;
			if (ch == '\'') {
				c_++;
				if (!single_quoted(out, err))
					return false;
				continue;
			}
			if (ch == '"') {
				c_++;
				if (!double_quoted(out, err))
					return false;
				continue;
			}
			// a backslash outside quotes
			if (c_ + 1 == le_) {
				c_++;
				break;
			}
			if (int drop = continuation()) {
				if (!carry(drop))
					break;
				continue;
			}
			out.push_back(c_[1]);
			c_ += 2;
		}
		// A quote or backslash ended the line: the word runs to its end.
		if (c_ == le_ && word_end_ < le_ && *word_end_ != ';')
			word_end_ = c_;
		return true;
	}

private:
	bool next_line()
	{
		if (p_ == end_)
			return false;
		ls_ = c_ = p_;
		size_t left = static_cast<size_t>(end_ - p_);
		auto *nl = static_cast<const char *>(memchr(p_, '\n', left));
		const char *stop = nl ? nl : end_;
		// A NUL ends the line; the rest of it is lost and its newline not counted.
		auto *nul = static_cast<const char *>(memchr(p_, 0, static_cast<size_t>(stop - p_)));
		cut_ = nul != nullptr;
		if (nul) {
			le_ = nul;
		} else {
			le_ = nl ? nl + 1 : end_;
			if (nl)
				line_++;
		}
		p_ = nl ? nl + 1 : end_;
		return true;
	}

	// At a backslash: the bytes a backslash-newline (or backslash, CR and
	// newline, which the device's takes as one too) counts less than it
	// has, as the statement counts it as one byte; 0 for no such.
	int continuation() const
	{
		if (c_ + 1 < le_ && c_[1] == '\n')
			return 1;
		if (c_ + 2 < le_ && c_[1] == '\r' && c_[2] == '\n')
			return 2;
		return 0;
	}

	// Goes on with the statement on the next line; `drop`: the bytes a
	// backslash-newline that ends this one counts less.
	bool carry(int drop)
	{
		long next = base_ + (le_ - ls_) - drop;
		c_ = le_;
		if (!next_line()) {
			// At the end of the data it still counts as one byte.
			base_ -= drop;
			return false;
		}
		base_ = next;
		return true;
	}

	bool single_quoted(text &out, parse_error &err)
	{
		for (;;) {
			auto *close = static_cast<const char *>(memchr(c_, '\'', static_cast<size_t>(le_ - c_)));
			if (close) {
				out.append(c_, static_cast<size_t>(close - c_));
				c_ = close + 1;
				return true;
			}
			out.append(c_, static_cast<size_t>(le_ - c_));
			if (!carry(0)) {
				fail(err, "EOF with unterminated '");
				return false;
			}
		}
	}

	bool double_quoted(text &out, parse_error &err)
	{
		for (;;) {
			if (c_ == le_) {
				if (!carry(0)) {
					fail(err, "EOF with unterminated \"");
					return false;
				}
				continue;
			}
			char ch = *c_;
			if (ch == '"') {
				c_++;
				return true;
			}
			if (ch == '\\' && c_ + 1 < le_) {
				if (int drop = continuation()) {
					if (!carry(drop)) {
						fail(err, "EOF with unterminated \"");
						return false;
					}
					continue;
				}
				c_++;
				ch = *c_;
			}
			out.push_back(ch);
			c_++;
		}
	}

	void fail(parse_error &err, const char *why)
	{
		err.why = why;
		err.line = line_;
		err.byte = pos();
	}

	const char *p_, *end_;
	const char *ls_ = nullptr, *le_ = nullptr, *c_ = nullptr, *word_end_ = nullptr;
	long base_ = 0;
	int line_ = 0;
	bool cut_ = false;
	bool dropped_ = false; // the last word dropped the rest of its line
};

class parser {
public:
	parser(struct uci_context *ctx, uci_package *p, std::string_view data, struct uci_list *made)
		: ctx_(ctx), pkg_(p), in_(data), made_(made)
	{
		strict_ = ctx->flags & UCI_FLAG_STRICT;
	}

	bool run()
	{
		while (in_.begin()) {
			if (!line()) {
				if (strict_ || !err_.why)
					return false;
				// Not strict: the line is told and left out.
				if (ctx_->flags & UCI_FLAG_PERROR)
					fprintf(stderr, "Parse error (%s) at line %d, byte %ld\n", err_.why, err_.line,
						err_.byte);
				err_ = parse_error();
			}
		}
		return true;
	}

	const parse_error &error() const { return err_; }

private:
	bool line()
	{
		{
			in_.skip_blanks();
			// A NUL refuses the file even in a comment: there the device's
			// joins the next line to the comment, and loses it.
			if (in_.at_end() && !in_.cut())
				return true;
			if (in_.at_end()) {
				in_.fail_cut(err_);
				return false;
			}
			if (!statement(in_.pos()))
				return false;
			// What a statement left on its line is another statement.
			while (!in_.line_done()) {
				long start = in_.pos();
				in_.skip_spaces();
				// (Blanks that end the data are no statement; a
				// newline is.)
				if (in_.at_comment() || in_.line_done())
					break;
				if (!statement(start))
					return false;
			}
			// A value cut short by a NUL would be written back cut: the
			// file is refused instead.
			if (in_.cut()) {
				in_.fail_cut(err_);
				return false;
			}
		}
		return true;
	}

	bool fail(const char *why)
	{
		err_.why = why;
		err_.line = in_.line();
		err_.byte = in_.pos();
		return false;
	}

	// An error in the last word read, told where the device's tells it.
	bool fail_after_word(const char *why)
	{
		fail(why);
		err_.byte = after_word_;
		return false;
	}

	// The next word of the statement into words_[i] (2: one too many);
	// false when there is none (or on an open quote, with the error set).
	bool arg(int i)
	{
		in_.skip_blanks();
		if (in_.at_end())
			return false;
		if (!in_.word(words_[i], err_))
			return false;
		after_word_ = in_.after_word();
		return true;
	}

	bool statement(long start)
	{
		if (in_.keyword("package"))
			return package();
		if (in_.keyword("config"))
			return config();
		bool list = false;
		if (in_.keyword("option") || (list = in_.keyword("list")))
			return option(list, start);
		// A keyword the data ends with is told as the device's tells it.
		err_.why = "invalid command";
		if (in_.keyword_last("package"))
			err_.why = "package without name";
		else if (in_.keyword_last("config"))
			err_.why = "config without name";
		else if (in_.keyword_last("option") || in_.keyword_last("list"))
			err_.why = section_ ? "option without name" : "option/list command found before the first section";
		err_.line = in_.line();
		err_.byte = start;
		return false;
	}

	// One more word is an error unless it is empty; either ends the
	// statement, and what follows it is read as the next (after an empty
	// one, from just past the blank or at the ';' that ended it). Not
	// strict, the device's drops a word too many without a warning.
	bool end_of_statement()
	{
		if (!arg(2))
			return !err_.why;
		if (words_[2].size() && strict_)
			return fail_after_word("too many arguments");
		if (words_[2].size())
			in_.skip_blanks();
		return true;
	}

	// In a file, a package line changes nothing; in an import of several
	// packages it starts the next.
	bool package()
	{
		if (!arg(0) || words_[0].size() == 0)
			return err_.why ? false : fail("insufficient arguments");
		// Checked even where the line changes nothing, as the device's does.
		if (!valid_package_word(words_[0].view()))
			return fail_after_word("invalid character in name field");
		if (!end_of_statement())
			return false;
		if (!made_)
			return true;
		pkg_ = package_new(ctx_, words_[0].view());
		list_append(made_, &pkg_->e.list);
		section_ = nullptr;
		last_list_ = nullptr;
		return true;
	}

	bool config()
	{
		last_list_ = nullptr;
		if (!pkg_)
			return fail("no package");
		if (!arg(0) || words_[0].size() == 0)
			return err_.why ? false : fail("insufficient arguments");
		std::string_view type = words_[0].view();
		if (!valid_type(type))
			return fail_after_word("invalid character in type field");
		bool named = arg(1);
		if (err_.why)
			return false;
		if (named && words_[1].size() && !valid_name(words_[1].view()))
			return fail_after_word("invalid character in name field");
		if (!end_of_statement())
			return false;
		if (!named || words_[1].size() == 0) {
			section_ = section_add(pkg_, type, nullptr);
			return true;
		}
		if (uci_section *s = find_section(pkg_, words_[1].view())) {
			if (type != s->type) {
				if (strict_) {
					fail("section of different type overwrites prior section with same name");
					err_.byte = in_.stop();
					return false;
				}
				// Not strict, the device's takes the later type and keeps
				// gathering the options, without a word.
				free(s->type);
				s->type = dup_text(type);
			}
			section_ = s;
			return true;
		}
		section_ = section_add(pkg_, type, words_[1].c_str());
		return true;
	}

	bool option(bool list, long start)
	{
		if (!section_) {
			err_.why = "option/list command found before the first section";
			err_.line = in_.line();
			err_.byte = start;
			return false;
		}
		if (!arg(0) || words_[0].size() == 0)
			return err_.why ? false : fail("insufficient arguments");
		std::string_view name = words_[0].view();
		if (!valid_name(name))
			return fail_after_word("invalid character in name field");
		bool has_value = arg(1);
		if (err_.why)
			return false;
		if (!end_of_statement())
			return false;
		std::string_view value = has_value ? words_[1].view() : std::string_view();
		if (!list) {
			// No value, or an empty one, leaves the option as it is.
			if (value.size()) {
				last_list_ = nullptr; // the option may replace it
				option_set(section_, name, value);
			}
			return true;
		}
		// Lists come in runs of lines: the same name needs no lookup again.
		if (last_list_ && name == last_list_->e.name && last_list_->type == UCI_TYPE_LIST) {
			option_append_item(last_list_, value);
			return true;
		}
		last_list_ = option_add_item(section_, name, value);
		return true;
	}

	struct uci_context *ctx_;
	uci_package *pkg_;
	reader in_;
	struct uci_list *made_;
	bool strict_;
	long after_word_ = 0;
	parse_error err_;
	uci_section *section_ = nullptr;
	uci_option *last_list_ = nullptr;
	text words_[3];
};

// A type is written bare unless the reader would take it apart.
bool needs_quotes(std::string_view type)
{
	for (char c : type) {
		if (special_chars[static_cast<unsigned char>(c)])
			return true;
	}
	return false;
}

} // namespace

void append_quoted(text &out, std::string_view value)
{
	out.push_back('\'');
	size_t from = 0;
	for (size_t i = 0; i < value.size(); i++) {
		if (value[i] != '\'')
			continue;
		out.append(value.data() + from, i - from);
		out.append("'\\''");
		from = i + 1;
	}
	out.append(value.data() + from, value.size() - from);
	out.push_back('\'');
}

int parse_package(struct uci_context *ctx, uci_package *p, std::string_view data, struct uci_list *made)
{
	parser ps(ctx, p, data, made);
	if (ps.run())
		return UCI_OK;
	ctx->err_reason = ps.error().why;
	ctx->err_line = ps.error().line;
	ctx->err_byte = static_cast<int>(ps.error().byte);
	if (p)
		package_clear(p);
	return UCI_ERR_PARSE;
}

void export_package(const uci_package *p, text &out, bool header, bool names)
{
	if (header) {
		out.append("package ");
		out.append(p->e.name);
		out.push_back('\n');
	}
	struct uci_element *se;
	uci_foreach_element(&p->sections, se) {
		auto *s = uci_to_section(se);
		out.append("\nconfig ");
		if (needs_quotes(s->type))
			append_quoted(out, s->type);
		else
			out.append(s->type);
		if (!s->anonymous || names) {
			out.push_back(' ');
			append_quoted(out, s->e.name);
		}
		out.push_back('\n');
		struct uci_element *oe;
		uci_foreach_element(&s->options, oe) {
			auto *o = uci_to_option(oe);
			if (o->type == UCI_TYPE_STRING) {
				out.append("\toption ");
				out.append(o->e.name);
				out.push_back(' ');
				append_quoted(out, o->v.string);
				out.push_back('\n');
				continue;
			}
			struct uci_element *ie;
			uci_foreach_element(&o->v.list, ie) {
				out.append("\tlist ");
				out.append(o->e.name);
				out.push_back(' ');
				append_quoted(out, ie->name);
				out.push_back('\n');
			}
		}
	}
	out.push_back('\n');
}

int read_fd(int fd, text &out)
{
	out.clear();
	char buf[16384];
	for (;;) {
		ssize_t n = read(fd, buf, sizeof(buf));
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0)
			return UCI_ERR_IO;
		if (n == 0)
			return UCI_OK;
		out.append(buf, static_cast<size_t>(n));
	}
}

} // namespace uci_impl
