#include "methods_doc.h"

#include "bus/objects.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <cstring>
#include <map>
#include <set>

namespace methods_doc {

namespace {

// The four objects in the order the README and the reference list the modes.
struct object_row {
	const char *mode;
	const char *symbol;
	const struct ubus_object *object;
};

const object_row objects[] = {
	{"router", "kestrad_master_vimb_object", &kestrad_master_vimb_object},
	{"LAN AP", "kestrad_lanAP_vimb_object", &kestrad_lanAP_vimb_object},
	{"Wi-Fi AP", "kestrad_vimb_object", &kestrad_vimb_object},
	{"RE", "kestrad_re_vimb_object", &kestrad_re_vimb_object},
};

// Whether a handler needs the field is in its code, not in its policy: kept
// here, keyed by method and field, so a new or renamed field stops the
// generator until someone says.
struct required_row {
	const char *method;
	const char *field;
	const char *required;
};

const required_row required_fields[] = {
	{"test", "hello", "yes"},
	{"access", "policy", "yes"},
	{"access", "list", "yes"},
	{"access", "level", "no"},
	{"access", "auth", "no"},
	{"notice", "ssid", "with `passwd`"},
	{"notice", "passwd", "with `ssid`"},
	{"notice", "ssid_5g", "with `passwd_5g`"},
	{"notice", "passwd_5g", "with `ssid_5g`"},
	{"whc_sync", "ssid", "no"},
	{"whc_sync", "pswd", "no"},
	{"whc_sync", "mgmt", "no"},
	{"whc_sync", "txpwr_2g", "no"},
	{"whc_sync", "txpwr_5g", "no"},
	{"whc_sync", "hidden", "no"},
	{"whc_sync", "ch_2g", "no"},
	{"whc_sync", "ch_5g", "no"},
	{"whc_sync", "bw_2g", "no"},
	{"whc_sync", "bw_5g", "no"},
	{"whc_sync", "txbf", "no"},
	{"whc_sync", "gst_disab", "no"},
	{"whc_sync", "gst_ssid", "no"},
	{"whc_sync", "gst_pswd", "no"},
	{"whc_sync", "gst_mgmt", "no"},
	{"whc_sync", "flt_policy", "no"},
	{"whc_sync", "flt_list", "no"},
	{"whc_sync", "timezone", "no"},
	{"whc_sync", "ota_auto", "no"},
	{"whc_sync", "ota_time", "no"},
	{"whc_sync", "led_blue", "no"},
	{"whc_quire", "cap_devid", "no"},
	{"whc_quire", "webpasswd", "no"},
	{"bind", "record", "yes"},
	{"bind", "deviceID", "yes"},
	{"bind", "sign", "yes"},
	{"smart_sync", "msg", "yes"},
	{"common_set", "log_upload", "one of three"},
	{"common_set", "newgw", "one of three"},
	{"common_set", "action", "one of three"},
};

const char *type_text(int type)
{
	switch (type) {
	case BLOBMSG_TYPE_ARRAY: return "`BLOBMSG_TYPE_ARRAY` (array)";
	case BLOBMSG_TYPE_TABLE: return "`BLOBMSG_TYPE_TABLE` (table)";
	case BLOBMSG_TYPE_STRING: return "`BLOBMSG_TYPE_STRING` (string)";
	case BLOBMSG_TYPE_INT64: return "`BLOBMSG_TYPE_INT64` (64-bit integer)";
	case BLOBMSG_TYPE_INT32: return "`BLOBMSG_TYPE_INT32` (32-bit integer)";
	case BLOBMSG_TYPE_INT16: return "`BLOBMSG_TYPE_INT16` (16-bit integer)";
	case BLOBMSG_TYPE_INT8: return "`BLOBMSG_TYPE_INT8` (8-bit integer or boolean)";
	case BLOBMSG_TYPE_DOUBLE: return "`BLOBMSG_TYPE_DOUBLE` (double)";
	default: return "`BLOBMSG_TYPE_UNSPEC` (any)";
	}
}

bool same_policy(const struct ubus_method &a, const struct ubus_method &b)
{
	if (a.n_policy != b.n_policy)
		return false;
	for (int i = 0; i < a.n_policy; i++) {
		if (strcmp(a.policy[i].name, b.policy[i].name) != 0 || a.policy[i].type != b.policy[i].type)
			return false;
	}
	return true;
}

// Every method once by name, in the order of first appearance; the entries of
// a name shared by several tables must agree, since the reference describes
// it once.
std::vector<const struct ubus_method *> methods_by_name(problems &out)
{
	std::vector<const struct ubus_method *> methods;
	for (const auto &row : objects) {
		for (int i = 0; i < row.object->n_methods; i++) {
			const struct ubus_method &m = row.object->methods[i];
			auto same_name = std::find_if(methods.begin(), methods.end(),
						      [&](const auto *known) { return strcmp(known->name, m.name) == 0; });
			if (same_name == methods.end()) {
				methods.push_back(&m);
			} else if (!same_policy(**same_name, m) || (*same_name)->handler != m.handler) {
				out.push_back(std::string("method ") + m.name + " of " + row.symbol +
					      " differs from its namesake in another table");
			}
		}
	}
	return methods;
}

const char *required_text(const char *method, const char *field)
{
	for (const auto &row : required_fields) {
		if (strcmp(row.method, method) == 0 && strcmp(row.field, field) == 0)
			return row.required;
	}
	return nullptr;
}

// Every "required" entry names a field that a policy has.
void check_required_rows(const std::vector<const struct ubus_method *> &methods, problems &out)
{
	for (const auto &row : required_fields) {
		bool found = false;
		for (const auto *m : methods) {
			if (strcmp(m->name, row.method) != 0)
				continue;
			for (int i = 0; i < m->n_policy; i++)
				found = found || strcmp(m->policy[i].name, row.field) == 0;
		}
		if (!found)
			out.push_back(std::string("the required table names ") + row.method + " field " + row.field +
				      ", which no policy has");
	}
}

std::string anchor(const char *method)
{
	return std::string("[") + method + "](#" + method + ")";
}

std::string objects_block()
{
	std::string s = "| Mode | Object | Slot | Method | Arguments |\n|---|---|---|---|---|\n";
	for (const auto &row : objects) {
		for (int i = 0; i < row.object->n_methods; i++) {
			const struct ubus_method &m = row.object->methods[i];
			s += "| " + std::string(i == 0 ? row.mode : "") + " | " +
			     (i == 0 ? std::string("`") + row.symbol + "`" : std::string()) + " | " +
			     std::to_string(i + 1) + " | " + anchor(m.name) + " | " + std::to_string(m.n_policy) +
			     " |\n";
		}
	}
	return s;
}

std::optional<std::string> arguments_block(const struct ubus_method &m, problems &out)
{
	std::string s = "| # | Field | blobmsg type | Required |\n|---|---|---|---|\n";
	bool complete = true;
	for (int i = 0; i < m.n_policy; i++) {
		const struct blobmsg_policy &p = m.policy[i];
		const char *required = required_text(m.name, p.name);
		if (!required) {
			out.push_back(std::string("no required entry for ") + m.name + " field " + p.name +
				      " (tools/methods-doc/methods_doc.cpp)");
			complete = false;
			continue;
		}
		s += "| " + std::to_string(i) + " | `\"" + p.name + "\"` | " + type_text(p.type) + " | " + required +
		     " |\n";
	}
	if (m.n_policy == 0)
		s += "| | (none) | | |\n";
	if (!complete)
		return std::nullopt;
	return s;
}

constexpr std::string_view generated_open = "<!-- generated: ";
constexpr std::string_view generated_close = "<!-- end of generated -->";
constexpr std::string_view sources_open = "<!-- sources: ";
constexpr std::string_view comment_end = " -->";

std::vector<std::string_view> split_lines(std::string_view doc)
{
	std::vector<std::string_view> lines;
	while (!doc.empty()) {
		size_t end = doc.find('\n');
		size_t take = end == std::string_view::npos ? doc.size() : end + 1;
		lines.push_back(doc.substr(0, take));
		doc.remove_prefix(take);
	}
	return lines;
}

std::string_view trim_newline(std::string_view line)
{
	if (!line.empty() && line.back() == '\n')
		line.remove_suffix(1);
	return line;
}

// "<!-- PREFIXbody -->" gives body.
std::optional<std::string_view> marker_body(std::string_view line, std::string_view prefix)
{
	line = trim_newline(line);
	if (!line.starts_with(prefix) || !line.ends_with(comment_end) ||
	    line.size() < prefix.size() + comment_end.size())
		return std::nullopt;
	return line.substr(prefix.size(), line.size() - prefix.size() - comment_end.size());
}

std::string at(size_t line_index) { return "METHODS.md:" + std::to_string(line_index + 1) + ": "; }

// Walks the generated blocks; fill(id, line index) gives a block's contents
// or nullopt to keep what stands. Returns the document with them in place.
std::string walk_blocks(std::string_view doc, problems &out,
			const std::function<std::optional<std::string>(std::string_view, size_t)> &fill)
{
	std::string result;
	auto lines = split_lines(doc);
	std::set<std::string> seen;
	for (size_t i = 0; i < lines.size(); i++) {
		result += lines[i];
		auto id = marker_body(lines[i], generated_open);
		if (!id) {
			if (trim_newline(lines[i]) == generated_close)
				out.push_back(at(i) + "end of a generated block that was not opened");
			continue;
		}
		if (!seen.insert(std::string(*id)).second)
			out.push_back(at(i) + "a second block \"" + std::string(*id) + "\"");
		size_t close = i + 1;
		while (close < lines.size() && trim_newline(lines[close]) != generated_close &&
		       !marker_body(lines[close], generated_open))
			close++;
		if (close == lines.size() || trim_newline(lines[close]) != generated_close) {
			out.push_back(at(i) + "generated block \"" + std::string(*id) + "\" is not closed");
			continue;
		}
		std::string current;
		for (size_t k = i + 1; k < close; k++)
			current += lines[k];
		auto wanted = fill(*id, i);
		result += wanted ? *wanted : current;
		result += lines[close];
		i = close;
	}

	problems generation; // reported once by regenerate
	for (const auto *m : methods_by_name(generation)) {
		if (!seen.count(std::string("arguments ") + m->name))
			out.push_back(std::string("no block \"arguments ") + m->name + "\" for method " + m->name);
	}
	if (!seen.count("objects"))
		out.push_back("no block \"objects\"");
	return result;
}

bool is_placeholder(std::string_view word)
{
	if (word.empty() || word[0] < 'A' || word[0] > 'Z')
		return false;
	return std::all_of(word.begin(), word.end(),
			   [](char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'; });
}

// The length of the literal at the start of s (quotes included), or 0.
size_t literal_length(std::string_view s)
{
	if (s.empty() || s[0] != '"')
		return 0;
	for (size_t i = 1; i < s.size(); i++) {
		if (s[i] == '\\')
			i++;
		else if (s[i] == '"')
			return i + 1;
	}
	return 0;
}

// A code span's elements: literals and placeholders separated by one space.
std::optional<std::vector<element>> read_span(std::string_view span)
{
	std::vector<element> elements;
	while (!span.empty()) {
		if (size_t n = literal_length(span)) {
			auto value = unescape(span.substr(1, n - 2));
			if (!value)
				return std::nullopt;
			elements.push_back({true, *value});
			span.remove_prefix(n);
		} else {
			size_t word = std::min(span.find(' '), span.size());
			if (!is_placeholder(span.substr(0, word)))
				return std::nullopt;
			elements.push_back({false, std::string(span.substr(0, word))});
			span.remove_prefix(word);
		}
		if (span.empty())
			break;
		if (span[0] != ' ' || span.size() == 1)
			return std::nullopt;
		span.remove_prefix(1);
	}
	return elements;
}

std::string shown(const std::vector<element> &argv)
{
	std::string s;
	for (const auto &e : argv) {
		if (!s.empty())
			s += ' ';
		s += e.literal ? "\"" + e.value + "\"" : e.value;
	}
	return s;
}

// A placeholder stands for the variable of its name (case aside), or for
// any expression that is more than one name.
bool same_element(const element &source, const element &doc)
{
	if (source.literal || doc.literal)
		return source.literal == doc.literal && source.value == doc.value;
	return source.value.empty() ||
	       std::equal(source.value.begin(), source.value.end(), doc.value.begin(), doc.value.end(),
			  [](char a, char b) { return tolower(static_cast<unsigned char>(a)) == tolower(static_cast<unsigned char>(b)); });
}

struct section_sources {
	std::string names; // as written, for the problems
	std::set<std::string> literals;
	std::vector<std::vector<element>> argvs;
};

std::optional<section_sources> load_sources(const std::vector<std::string> &paths, const source_reader &read,
					    std::string &missing)
{
	section_sources s;
	for (const auto &path : paths) {
		auto text = read(path);
		if (!text) {
			missing = path;
			return std::nullopt;
		}
		auto found = scan_source(*text);
		s.literals.insert(found.literals.begin(), found.literals.end());
		s.argvs.insert(s.argvs.end(), found.argvs.begin(), found.argvs.end());
		s.names += (s.names.empty() ? "" : " ") + path;
	}
	return s;
}

bool allowed_source(std::string_view path)
{
	for (std::string_view dir : {"src/methods/", "src/access/", "src/bus/", "src/config/"}) {
		if (path.starts_with(dir) && path.find('/', dir.size()) == std::string_view::npos &&
		    (path.ends_with(".cpp") || path.ends_with(".h")))
			return true;
	}
	return false;
}

void check_span(std::string_view span, size_t line, const section_sources &src, problems &out)
{
	auto elements = read_span(span);
	if (!elements || elements->empty() || !elements->front().literal) {
		out.push_back(at(line) + "`" + std::string(span) +
			      "` is neither one C string literal nor an argument vector of literals and PLACEHOLDERS");
		return;
	}
	for (const auto &e : *elements) {
		if (e.literal && !src.literals.count(e.value))
			out.push_back(at(line) + "\"" + e.value + "\" is no string of " + src.names);
	}
	if (elements->size() == 1)
		return;
	bool matched = std::any_of(src.argvs.begin(), src.argvs.end(), [&](const auto &argv) {
		if (argv.size() != elements->size())
			return false;
		for (size_t k = 0; k < argv.size(); k++) {
			if (!same_element(argv[k], (*elements)[k]))
				return false;
		}
		return true;
	});
	if (!matched)
		out.push_back(at(line) + "no argument vector of " + src.names + " is " + shown(*elements));
}

} // namespace

std::optional<std::string> unescape(std::string_view body)
{
	std::string value;
	for (size_t i = 0; i < body.size(); i++) {
		char c = body[i];
		if (c != '\\') {
			value += c;
			continue;
		}
		if (++i == body.size())
			return std::nullopt;
		c = body[i];
		switch (c) {
		case 'n': value += '\n'; break;
		case 't': value += '\t'; break;
		case 'r': value += '\r'; break;
		case 'a': value += '\a'; break;
		case 'b': value += '\b'; break;
		case 'f': value += '\f'; break;
		case 'v': value += '\v'; break;
		case '\\': case '"': case '\'': case '?': value += c; break;
		case 'x': {
			unsigned v = 0;
			size_t digits = 0;
			while (i + 1 < body.size() && isxdigit(static_cast<unsigned char>(body[i + 1]))) {
				char d = body[++i];
				v = v * 16 + static_cast<unsigned>(isdigit(static_cast<unsigned char>(d)) ? d - '0'
													: (d | 0x20) - 'a' + 10);
				digits++;
			}
			if (digits == 0 || v > 0xff)
				return std::nullopt;
			value += static_cast<char>(v);
			break;
		}
		default:
			if (c < '0' || c > '7')
				return std::nullopt;
			unsigned v = static_cast<unsigned>(c - '0');
			for (int k = 0; k < 2 && i + 1 < body.size() && body[i + 1] >= '0' && body[i + 1] <= '7'; k++)
				v = v * 8 + static_cast<unsigned>(body[++i] - '0');
			if (v > 0xff)
				return std::nullopt;
			value += static_cast<char>(v);
		}
	}
	return value;
}

source_strings scan_source(std::string_view src)
{
	// Tokens: literals (value), punctuation of the brace lists, and words.
	struct token {
		enum kind { literal, punct, word } kind;
		std::string text;
	};
	std::vector<token> tokens;
	bool line_start = true;
	for (size_t i = 0; i < src.size();) {
		char c = src[i];
		if (c == '\n') {
			line_start = true;
			i++;
			continue;
		}
		if (c == ' ' || c == '\t' || c == '\r') {
			i++;
			continue;
		}
		if (line_start && c == '#') {
			// directives: include names are not strings; a continued line stays one
			while (i < src.size() && !(src[i] == '\n' && src[i - 1] != '\\'))
				i++;
			continue;
		}
		line_start = false;
		if (src.substr(i, 2) == "//") {
			i = std::min(src.find('\n', i), src.size());
		} else if (src.substr(i, 2) == "/*") {
			size_t end = src.find("*/", i + 2);
			i = end == std::string_view::npos ? src.size() : end + 2;
		} else if (c == '\'') {
			for (i++; i < src.size() && src[i] != '\''; i++)
				if (src[i] == '\\')
					i++;
			i++;
		} else if (c == '"') {
			size_t n = literal_length(src.substr(i));
			if (n == 0)
				break; // unterminated: nothing more to read
			auto value = unescape(src.substr(i + 1, n - 2));
			tokens.push_back({token::literal, value.value_or("")});
			i += n;
		} else if (isalnum(static_cast<unsigned char>(c)) || c == '_') {
			size_t start = i;
			while (i < src.size() && (isalnum(static_cast<unsigned char>(src[i])) || src[i] == '_'))
				i++;
			// a prefix such as u8 or L belongs to the literal it stands before
			if (i < src.size() && src[i] == '"')
				continue;
			tokens.push_back({token::word, std::string(src.substr(start, i - start))});
		} else {
			tokens.push_back({token::punct, std::string(1, c)});
			i++;
		}
	}

	source_strings out;
	for (size_t i = 0; i < tokens.size(); i++) {
		if (tokens[i].kind != token::literal)
			continue;
		std::string joined = tokens[i].text;
		out.literals.push_back(joined);
		for (size_t k = i + 1; k < tokens.size() && tokens[k].kind == token::literal; k++) {
			joined += tokens[k].text;
			out.literals.push_back(joined);
		}
	}

	for (size_t open = 0; open < tokens.size(); open++) {
		if (tokens[open].kind != token::punct || tokens[open].text != "{")
			continue;
		std::vector<element> elements;
		element current{true, {}};
		size_t count = 0;
		int depth = 0;
		size_t k = open + 1;
		bool trailing_null = false;
		for (; k < tokens.size(); k++) {
			const token &t = tokens[k];
			bool opens = t.kind == token::punct && (t.text == "{" || t.text == "(" || t.text == "[");
			bool closes = t.kind == token::punct && (t.text == "}" || t.text == ")" || t.text == "]");
			if (depth == 0 && (closes || (t.kind == token::punct && t.text == ","))) {
				if (count > 0) {
					trailing_null = !current.literal && (current.value == "nullptr" || current.value == "NULL");
					elements.push_back(current);
				}
				current = {true, {}};
				count = 0;
				if (closes)
					break;
				continue;
			}
			depth += opens ? 1 : closes ? -1 : 0;
			if (t.kind == token::literal && current.literal)
				current.value += t.text;
			else if (count == 0 && t.kind == token::word)
				current = {false, t.text};
			else
				current = {false, {}};
			count++;
		}
		if (k < tokens.size() && tokens[k].text == "}" && trailing_null && elements.size() >= 2 &&
		    elements.front().literal) {
			elements.pop_back();
			out.argvs.push_back(elements);
		}
	}
	return out;
}

std::optional<std::string> generate(std::string_view id, problems &out)
{
	problems tables; // reported once, by regenerate
	auto methods = methods_by_name(tables);
	if (id == "objects")
		return objects_block();
	if (id.starts_with("arguments ")) {
		std::string_view name = id.substr(strlen("arguments "));
		for (const auto *m : methods) {
			if (name == m->name)
				return arguments_block(*m, out);
		}
	}
	out.push_back("no table has a method for the block \"" + std::string(id) + "\"");
	return std::nullopt;
}

std::string regenerate(std::string_view doc, problems &out)
{
	check_required_rows(methods_by_name(out), out);
	return walk_blocks(doc, out, [&](std::string_view id, size_t line) -> std::optional<std::string> {
		problems why;
		auto block = generate(id, why);
		for (const auto &p : why)
			out.push_back(at(line) + p);
		return block;
	});
}

problems check(std::string_view doc, const source_reader &read, const std::vector<std::string> &all_sources)
{
	problems out = check_blocks(doc);
	problems texts = check_texts(doc, read, all_sources);
	out.insert(out.end(), texts.begin(), texts.end());
	return out;
}

problems check_blocks(std::string_view doc)
{
	problems out;
	std::string fresh = regenerate(doc, out);
	if (out.empty() && fresh != doc) {
		auto had = split_lines(doc), has = split_lines(fresh);
		size_t i = 0;
		while (i < had.size() && i < has.size() && had[i] == has[i])
			i++;
		auto line_of = [](const auto &lines, size_t k) {
			return std::string(k < lines.size() ? trim_newline(lines[k]) : std::string_view("(end)"));
		};
		out.push_back(at(i) + "a generated block differs from the tables: it reads \"" + line_of(had, i) +
			      "\" where they give \"" + line_of(has, i) + "\" (scripts/methods-doc rewrites it)");
	}
	return out;
}

problems check_texts(std::string_view doc, const source_reader &read, const std::vector<std::string> &all_sources)
{
	problems out;
	std::string missing;
	auto src = load_sources(all_sources, read, missing);
	if (!src) {
		out.push_back("cannot read " + missing);
		return out;
	}
	src->names = "the sources of src/methods, src/access, src/bus and src/config";
	auto lines = split_lines(doc);
	bool fenced = false, generated = false;
	for (size_t i = 0; i < lines.size(); i++) {
		std::string_view line = trim_newline(lines[i]);
		if (line.starts_with("```")) {
			fenced = !fenced;
			continue;
		}
		if (fenced)
			continue;
		if (marker_body(line, generated_open)) {
			generated = true;
			continue;
		}
		if (line == generated_close) {
			generated = false;
			continue;
		}
		if (generated)
			continue;
		if (auto names = marker_body(line, sources_open)) {
			std::vector<std::string> paths;
			for (size_t p = 0; p < names->size();) {
				size_t end = std::min(names->find(' ', p), names->size());
				if (end > p)
					paths.emplace_back(names->substr(p, end - p));
				p = end + 1;
			}
			for (const auto &path : paths) {
				if (!allowed_source(path))
					out.push_back(at(i) + path + " is not a file of src/methods, src/access, src/bus or src/config");
			}
			auto narrowed = paths.empty() ? std::nullopt : load_sources(paths, read, missing);
			if (!narrowed) {
				out.push_back(at(i) + (paths.empty() ? "a sources marker names no file" : "cannot read " + missing));
				continue;
			}
			src = std::move(narrowed);
			continue;
		}
		for (size_t p = line.find('`'); p != std::string_view::npos; p = line.find('`', p)) {
			size_t end = line.find('`', p + 1);
			if (end == std::string_view::npos) {
				out.push_back(at(i) + "a code span is not closed on its line");
				break;
			}
			std::string_view span = line.substr(p + 1, end - p - 1);
			if (!span.empty() && span[0] == '"')
				check_span(span, i, *src, out);
			p = end + 1;
		}
	}
	if (fenced)
		out.push_back("a fenced code block is not closed");
	return out;
}

std::vector<std::string> daemon_sources(const std::string &root)
{
	std::vector<std::string> paths;
	for (const char *dir : {"src/methods", "src/access", "src/bus", "src/config"}) {
		std::error_code ec;
		for (const auto &entry : std::filesystem::directory_iterator(root + "/" + dir, ec)) {
			std::string path = std::string(dir) + "/" + entry.path().filename().string();
			if (allowed_source(path))
				paths.push_back(path);
		}
	}
	std::sort(paths.begin(), paths.end());
	return paths;
}

source_reader file_reader(const std::string &root)
{
	return [root](const std::string &path) -> std::optional<std::string> {
		std::ifstream in(root + "/" + path, std::ios::binary);
		if (!in)
			return std::nullopt;
		std::ostringstream text;
		text << in.rdbuf();
		return text.str();
	};
}

} // namespace methods_doc
