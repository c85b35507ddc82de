#include "methods_doc.h"

#include "bus/objects.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <set>

namespace methods_doc {

namespace {

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

// Every method once by name, in the order of first appearance; a name that
// two tables give different facts would need two descriptions.
std::vector<const method_facts *> methods_by_name(problems &out)
{
	std::vector<const method_facts *> methods;
	for (const auto &obj : kestrad_objects) {
		for (const method_facts *m : obj.methods) {
			auto same_name = std::find_if(methods.begin(), methods.end(), [&](const method_facts *known) {
				return strcmp(known->method->name, m->method->name) == 0;
			});
			if (same_name == methods.end())
				methods.push_back(m);
			else if (*same_name != m)
				out.push_back(std::string("method ") + m->method->name + " of " + obj.symbol +
					      " has other facts than its namesake in another table");
		}
	}
	return methods;
}

const method_facts *method_named(std::string_view name)
{
	problems ignored;
	for (const method_facts *m : methods_by_name(ignored)) {
		if (name == m->method->name)
			return m;
	}
	return nullptr;
}

std::string quoted(std::string_view text)
{
	std::string s = "\"";
	for (char c : text) {
		if (c == '\n')
			s += "\\n";
		else if (c == '"' || c == '\\')
			s += std::string("\\") + c;
		else
			s += c;
	}
	return s + "\"";
}

std::string required_text(const method_facts &m, size_t i, problems &out)
{
	if (i >= m.needs.size()) {
		out.push_back(std::string("method ") + m.method->name + " has no need for field " +
			      m.method->policy[i].name);
		return "?";
	}
	auto field = [&](size_t k) { return std::string("`") + m.method->policy[k].name + "`"; };
	switch (m.needs[i]) {
	case field_need::no: return "no";
	case field_need::yes: return "yes";
	case field_need::with_next:
		if (i + 1 < m.needs.size())
			return "with " + field(i + 1);
		break;
	case field_need::with_prev:
		if (i > 0)
			return "with " + field(i - 1);
		break;
	case field_need::one_of: {
		static const char *const words[] = {"none", "one", "two", "three", "four", "five", "six"};
		auto n = static_cast<size_t>(std::count(m.needs.begin(), m.needs.end(), field_need::one_of));
		return std::string("one of ") + (n < std::size(words) ? words[n] : std::to_string(n).c_str());
	}
	}
	out.push_back(std::string("method ") + m.method->name + " field " + m.method->policy[i].name +
		      " is paired with no field");
	return "?";
}

std::string objects_block()
{
	std::string s = "| Mode | Object | Slot | Method | Arguments |\n|---|---|---|---|---|\n";
	for (const auto &obj : kestrad_objects) {
		for (size_t i = 0; i < obj.methods.size(); i++) {
			const struct ubus_method &m = *obj.methods[i]->method;
			s += "| " + std::string(i == 0 ? obj.mode : "") + " | " +
			     (i == 0 ? std::string("`") + obj.symbol + "`" : std::string()) + " | " +
			     std::to_string(i + 1) + " | [" + m.name + "](#" + m.name + ") | " +
			     std::to_string(m.n_policy) + " |\n";
		}
	}
	return s;
}

std::string arguments_block(const method_facts &m, problems &out)
{
	std::string s = "| # | Field | blobmsg type | Required |\n|---|---|---|---|\n";
	for (int i = 0; i < m.method->n_policy; i++) {
		const struct blobmsg_policy &p = m.method->policy[i];
		s += "| " + std::to_string(i) + " | `\"" + p.name + "\"` | " + type_text(p.type) + " | " +
		     required_text(m, static_cast<size_t>(i), out) + " |\n";
	}
	if (m.method->n_policy == 0)
		s += "| | (none) | | |\n";
	if (m.needs.size() > static_cast<size_t>(m.method->n_policy))
		out.push_back(std::string("method ") + m.method->name + " has more needs than fields");
	return s;
}

// As the handler's argv comes out: the tool's words, then the arguments,
// each value slot shown by its name.
std::string command_line(const command_fact &c)
{
	std::string s;
	auto add = [&](const std::string &word) { s += (s.empty() ? "" : " ") + word; };
	if (c.limit_s) {
		for (const char *word : {TIME_LIMIT_TOOL, "-t", c.limit_s, "-s", "9"})
			add(quoted(word));
	}
	size_t value = 0;
	for (const char *a : c.args)
		add(a ? quoted(a) : value < c.values.size() ? std::string(c.values[value++]) : "?");
	return s;
}

std::string commands_block(const method_facts &m)
{
	std::string s = "| Command | Worker time-out |\n|---|---|\n";
	for (const command_fact &c : m.commands)
		s += "| `" + command_line(c) + "` | " + std::to_string(c.worker_s) + " s |\n";
	if (m.commands.empty())
		s += "| (none) | |\n";
	return s;
}

constexpr std::string_view generated_open = "<!-- generated: ";
constexpr std::string_view generated_close = "<!-- end of generated -->";
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

// "<!-- generated: id -->" gives id.
std::optional<std::string_view> block_id(std::string_view line)
{
	line = trim_newline(line);
	if (!line.starts_with(generated_open) || !line.ends_with(comment_end) ||
	    line.size() < generated_open.size() + comment_end.size())
		return std::nullopt;
	return line.substr(generated_open.size(), line.size() - generated_open.size() - comment_end.size());
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
		auto id = block_id(lines[i]);
		if (!id) {
			if (trim_newline(lines[i]) == generated_close)
				out.push_back(at(i) + "end of a generated block that was not opened");
			continue;
		}
		if (!seen.insert(std::string(*id)).second)
			out.push_back(at(i) + "a second block \"" + std::string(*id) + "\"");
		size_t close = i + 1;
		while (close < lines.size() && trim_newline(lines[close]) != generated_close && !block_id(lines[close]))
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

	problems ignored; // reported once by regenerate
	for (const method_facts *m : methods_by_name(ignored)) {
		if (!seen.count(std::string("arguments ") + m->method->name))
			out.push_back(std::string("no block \"arguments ") + m->method->name + "\" for method " +
				      m->method->name);
		if (!m->commands.empty() && !seen.count(std::string("commands ") + m->method->name))
			out.push_back(std::string("no block \"commands ") + m->method->name + "\" for method " +
				      m->method->name);
	}
	if (!seen.count("objects"))
		out.push_back("no block \"objects\"");
	return result;
}

// The value of a code span written `"..."` in the document's notation
// (\n a newline, \" and \\ themselves), or nullopt for any other span.
std::optional<std::string> quoted_text(std::string_view span)
{
	if (span.size() < 2 || span.front() != '"' || span.back() != '"')
		return std::nullopt;
	std::string value;
	for (size_t i = 1; i + 1 < span.size(); i++) {
		char c = span[i];
		if (c == '"')
			return std::nullopt; // several literals: not one text
		if (c == '\\' && i + 2 < span.size()) {
			c = span[++i];
			value += c == 'n' ? '\n' : c;
		} else {
			value += c;
		}
	}
	return value;
}

std::vector<std::string_view> code_spans(std::string_view line)
{
	std::vector<std::string_view> spans;
	for (size_t p = line.find('`'); p != std::string_view::npos; p = line.find('`', p)) {
		size_t end = line.find('`', p + 1);
		if (end == std::string_view::npos)
			break;
		spans.push_back(line.substr(p + 1, end - p - 1));
		p = end + 1;
	}
	return spans;
}

// The quoted texts of each method's own section, and every reply table's
// entries held against the method's replies.
void check_replies(std::string_view doc, problems &out)
{
	auto lines = split_lines(doc);
	std::map<const method_facts *, std::set<std::string>> quoted_in;
	const method_facts *section = nullptr;
	std::set<const method_facts *> described;
	bool fenced = false, generated = false, reply_table = false;
	for (size_t i = 0; i < lines.size(); i++) {
		std::string_view line = trim_newline(lines[i]);
		if (line.starts_with("```"))
			fenced = !fenced;
		if (block_id(line))
			generated = true;
		if (line == generated_close)
			generated = false;
		if (fenced || generated || line.starts_with("```"))
			continue;
		if (line.starts_with("#")) {
			const method_facts *m = line.starts_with("### ") ? method_named(line.substr(4)) : nullptr;
			section = m && described.insert(m).second ? m : nullptr;
			if (line.starts_with("### ") && !m)
				out.push_back(at(i) + "a section for no method: " + std::string(line));
			continue;
		}
		if (!line.starts_with("|")) {
			reply_table = false;
		} else if (i + 1 < lines.size() && trim_newline(lines[i + 1]).starts_with("|---")) {
			reply_table = line.find("`\"return\"`") != std::string_view::npos;
			continue;
		}
		for (std::string_view span : code_spans(line)) {
			if (auto text = quoted_text(span); text && section)
				quoted_in[section].insert(*text);
		}
		if (!reply_table || !section)
			continue;
		// a reply table's texts stand in its last cell
		std::string_view row = line.substr(0, line.find_last_not_of(" |") + 1);
		for (std::string_view span : code_spans(row.substr(row.rfind('|') + 1))) {
			auto text = quoted_text(span);
			const auto &replies = section->replies;
			if (text && std::find(replies.begin(), replies.end(), *text) == replies.end())
				out.push_back(at(i) + quoted(*text) + " is no reply of " + section->method->name);
		}
	}

	problems ignored;
	auto methods = methods_by_name(ignored);
	for (const method_facts *m : methods) {
		if (!described.count(m))
			out.push_back(std::string("no section \"### ") + m->method->name + "\"");
		for (const char *reply : m->replies) {
			bool found = std::any_of(methods.begin(), methods.end(), [&](const method_facts *other) {
				return other->replies.data() == m->replies.data() && quoted_in[other].count(reply);
			});
			if (!found)
				out.push_back(std::string("the reply ") + quoted(reply) + " of " + m->method->name +
					      " is not in its section");
		}
	}
}

} // namespace

std::optional<std::string> generate(std::string_view id, problems &out)
{
	if (id == "objects")
		return objects_block();
	for (std::string_view kind : {"arguments ", "commands "}) {
		if (!id.starts_with(kind))
			continue;
		if (const method_facts *m = method_named(id.substr(kind.size())))
			return kind == "commands " ? commands_block(*m) : arguments_block(*m, out);
	}
	out.push_back("no table has a method for the block \"" + std::string(id) + "\"");
	return std::nullopt;
}

std::string regenerate(std::string_view doc, problems &out)
{
	methods_by_name(out);
	return walk_blocks(doc, out, [&](std::string_view id, size_t line) -> std::optional<std::string> {
		problems why;
		auto block = generate(id, why);
		for (const auto &p : why)
			out.push_back(at(line) + p);
		return block;
	});
}

problems check(std::string_view doc)
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
	check_replies(doc, out);
	return out;
}

} // namespace methods_doc
