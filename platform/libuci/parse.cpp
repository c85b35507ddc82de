// The UCI file format: reading a package, and writing it back.
#include "internal.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace uci_impl {

namespace {

enum class token { word, end_of_statement, end_of_file, error };

// Words are bare, 'single-quoted' (no escapes) or "double-quoted" (backslash
// escapes), and may be glued together ('it'\''s'). '#' outside quotes starts
// a comment, also in the middle of a bare word; quotes may span lines.
class lexer {
public:
	explicit lexer(std::string_view text)
		: p_(text.data()), end_(text.data() + text.size()), line_start_(p_)
	{
		nul_ = static_cast<const char *>(memchr(p_, 0, text.size()));
		if (!nul_)
			nul_ = end_;
	}

	token next(std::string &out)
	{
		skip_blanks();
		if (p_ == end_)
			return token::end_of_file;
		if (*p_ == '#') {
			while (p_ < end_ && *p_ != '\n')
				p_++;
			if (p_ == end_)
				return token::end_of_file;
		}
		if (*p_ == '\n') {
			newline();
			return token::end_of_statement;
		}
		return read_word(out) ? token::word : token::error;
	}

	void fail(const char *why)
	{
		if (error_)
			return;
		error_ = why;
		err_line_ = line_;
		err_byte_ = static_cast<int>(p_ - line_start_) + 1;
	}

	// An unterminated quote is reported where it opened.
	void fail_at(const char *why, int line, const char *line_start, const char *pos)
	{
		if (error_)
			return;
		error_ = why;
		err_line_ = line;
		err_byte_ = static_cast<int>(pos - line_start) + 1;
	}

	const char *error() const { return error_; }
	int error_line() const { return err_line_; }
	int error_byte() const { return err_byte_; }
	// Where the statement being read started, for errors found after it.
	void mark() { stmt_line_ = line_; }
	void fail_statement(const char *why)
	{
		fail(why);
		err_line_ = stmt_line_;
		err_byte_ = 1;
	}

private:
	void skip_blanks()
	{
		while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\r'))
			p_++;
	}

	void newline()
	{
		p_++;
		line_++;
		line_start_ = p_;
	}

	// Values that span lines keep the line count right for later errors.
	void count_lines(const char *from, const char *to)
	{
		while (auto *nl = static_cast<const char *>(memchr(from, '\n', static_cast<size_t>(to - from)))) {
			line_++;
			line_start_ = nl + 1;
			from = nl + 1;
		}
	}

	void take(std::string &out)
	{
		if (*p_ == '\n') {
			out.push_back('\n');
			newline();
			return;
		}
		out.push_back(*p_++);
	}

	bool read_word(std::string &out)
	{
		out.clear();
		while (p_ < end_) {
			// Plain characters go in as one run.
			const char *run = p_;
			while (p_ < end_ && !special(*p_))
				p_++;
			if (p_ != run)
				out.append(run, static_cast<size_t>(p_ - run));
			if (p_ == end_)
				break;
			char c = *p_;
			if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '#')
				break;
			if (c == 0) {
				fail("invalid character");
				return false;
			}
			int q_line = line_;
			const char *q_line_start = line_start_, *q_pos = p_;
			if (c == '\'') {
				const char *start = ++p_;
				auto *close = static_cast<const char *>(memchr(start, '\'', static_cast<size_t>(end_ - start)));
				// A NUL ends the line for the device's reader, inside quotes too.
				if (!close || next_nul(start) < close) {
					fail_at("EOF with unterminated '", q_line, q_line_start, q_pos);
					return false;
				}
				count_lines(start, close);
				out.append(start, static_cast<size_t>(close - start));
				p_ = close + 1;
				continue;
			}
			if (c == '"') {
				p_++;
				for (;;) {
					if (p_ == end_ || *p_ == 0) {
						fail_at("EOF with unterminated \"", q_line, q_line_start, q_pos);
						return false;
					}
					if (*p_ == '"') {
						p_++;
						break;
					}
					if (*p_ == '\\' && p_ + 1 < end_ && p_[1] != 0)
						p_++;
					take(out);
				}
				continue;
			}
			// a backslash outside quotes
			if (p_ + 1 < end_)
				p_++;
			take(out);
		}
		return true;
	}

	static bool special(char c) { return special_chars[static_cast<unsigned char>(c)]; }

	// The first NUL at or after `from`, or end_: one scan of a file that
	// has none.
	const char *next_nul(const char *from)
	{
		if (nul_ < from) {
			nul_ = static_cast<const char *>(memchr(from, 0, static_cast<size_t>(end_ - from)));
			if (!nul_)
				nul_ = end_;
		}
		return nul_;
	}

	static constexpr auto special_chars = [] {
		std::array<bool, 256> t{};
		for (unsigned char c : {' ', '\t', '\r', '\n', '#', '\'', '"', '\\', '\0'})
			t[c] = true;
		return t;
	}();

	const char *p_;
	const char *end_;
	const char *line_start_;
	const char *nul_;
	int line_ = 1;
	const char *error_ = nullptr;
	int err_line_ = 0;
	int err_byte_ = 0;
	int stmt_line_ = 1;
};

class parser {
public:
	parser(uci_package *p, std::string_view text) : pkg_(p), lex_(text) {}

	bool run()
	{
		for (;;) {
			lex_.mark();
			token t = read_statement();
			if (t == token::error)
				return false;
			if (!words_.empty() && !statement())
				return false;
			if (t == token::end_of_file)
				return true;
		}
	}

	const lexer &lex() const { return lex_; }

private:
	token read_statement()
	{
		size_t used = 0;
		token t;
		for (;;) {
			if (used == buffers_.size())
				buffers_.emplace_back();
			t = lex_.next(buffers_[used]);
			if (t != token::word)
				break;
			used++;
		}
		// Views are taken once the buffers have stopped moving.
		words_.clear();
		for (size_t i = 0; i < used; i++)
			words_.push_back(buffers_[i]);
		return t;
	}

	bool fail(const char *why)
	{
		lex_.fail_statement(why);
		return false;
	}

	bool statement()
	{
		std::string_view cmd = words_[0];
		if (cmd == "package") {
			if (sections_seen_ || words_.size() != 2 || !valid_package_name(words_[1]))
				return fail("invalid package statement");
			return true;
		}
		if (cmd == "config")
			return config();
		if (cmd == "option" || cmd == "list")
			return option(cmd == "list");
		return fail("invalid command");
	}

	bool config()
	{
		sections_seen_ = true;
		if (words_.size() < 2 || words_.size() > 3)
			return fail("invalid section statement");
		std::string_view type = words_[1];
		if (!valid_type(type))
			return fail("invalid section type");
		last_list_ = nullptr;
		if (words_.size() == 2) {
			section_ = section_add(pkg_, type, nullptr);
			return true;
		}
		std::string name(words_[2]);
		if (!valid_name(name))
			return fail("invalid character in name field");
		if (uci_section *s = find_section(pkg_, name)) {
			if (type != s->type)
				return fail("section of different type overwrites prior section with same name");
			section_ = s;
			return true;
		}
		section_ = section_add(pkg_, type, name.c_str());
		return true;
	}

	bool option(bool list)
	{
		if (!section_)
			return fail("option/list command found before the first section");
		if (words_.size() != 3)
			return fail(list ? "invalid list statement" : "invalid option statement");
		// Lists come in runs of lines: the same name needs neither a check
		// nor a lookup again.
		if (list && last_list_ && words_[1] == last_list_->e.name) {
			option_append_item(last_list_, words_[2]);
			return true;
		}
		if (!valid_name(words_[1]))
			return fail("invalid character in name field");
		if (!list) {
			last_list_ = nullptr; // the option may replace or delete it
			return option_set(section_, words_[1], words_[2]);
		}
		last_list_ = option_add_item(section_, words_[1], words_[2]);
		return true;
	}

	uci_package *pkg_;
	lexer lex_;
	uci_section *section_ = nullptr;
	uci_option *last_list_ = nullptr;
	bool sections_seen_ = false;
	// Word storage is reused from statement to statement.
	std::vector<std::string> buffers_;
	std::vector<std::string_view> words_;
};

void append_quoted(std::string &out, std::string_view value)
{
	out.push_back('\'');
	for (char c : value) {
		if (c == '\'')
			out.append("'\\''");
		else
			out.push_back(c);
	}
	out.push_back('\'');
}

} // namespace

int parse_package(struct uci_context *ctx, uci_package *p, std::string_view text)
{
	parser ps(p, text);
	if (ps.run())
		return UCI_OK;
	ctx->err_reason = ps.lex().error();
	ctx->err_line = ps.lex().error_line();
	ctx->err_byte = ps.lex().error_byte();
	package_clear(p);
	return UCI_ERR_PARSE;
}

void export_package(const uci_package *p, std::string &out, bool header)
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
		out.append(s->type);
		if (!s->anonymous) {
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

int read_fd(int fd, std::string &out)
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
