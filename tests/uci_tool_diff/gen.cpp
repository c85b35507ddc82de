// Generated command scripts over generated packages. Names, types and
// values come from small pools so that commands meet what earlier ones
// made, renamed or deleted; values carry the bytes that quoting must get
// right.
#include "gen.h"

#include <uci.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace uci_tool_diff {

namespace {

const char *const packages[] = {"net", "wl"};
const char *const types[] = {"iface", "host", "t"};
const char *const names[] = {"lan", "wan", "a", "b2"};
const char *const options[] = {"ip", "name", "m", "x"};
const char *const values[] = {
	"1", "0", "a b", "it's", "q\"d", "", "\xc3\xa4", "\xff", "t\tab", "n\nl", "b\\s", "$v", "#h", "  ",
	"x'y z", "10.0.0.1",
};

struct gen {
	std::mt19937_64 rng;
	explicit gen(unsigned long long seed) : rng(seed) {}

	size_t below(size_t n) { return static_cast<size_t>(rng() % n); }
	bool chance(int percent) { return below(100) < static_cast<size_t>(percent); }
	template <typename T, size_t N> const char *pick(T (&a)[N]) { return a[below(N)]; }

	struct section {
		std::string name; // empty: anonymous
		std::string type;
	};
	struct package {
		std::string name;
		std::vector<section> sections;
		std::vector<std::string> generated; // names of its anonymous sections
	};
	std::vector<package> pkgs;
	int renamed = 0;

	std::string quote(const std::string &v)
	{
		std::string o = "'";
		for (char c : v)
			o += c == '\'' ? std::string("'\\''") : std::string(1, c);
		return o + "'";
	}

	std::string file_text(package &p)
	{
		std::string t;
		if (chance(10))
			t += "package " + p.name + "\n";
		size_t n = 1 + below(5);
		for (size_t i = 0; i < n; i++) {
			section s;
			s.type = pick(types);
			if (chance(50)) {
				// Same name, other type: a load error, kept rare.
				size_t k = below(4);
				s.name = names[k];
				if (!chance(5))
					s.type = types[k % 3];
			}
			p.sections.push_back(s);
			t += "\nconfig " + s.type + (s.name.empty() ? "" : " " + quote(s.name)) + "\n";
			size_t opts = below(4);
			for (size_t j = 0; j < opts; j++) {
				bool list = chance(25);
				t += std::string(list ? "\tlist " : "\toption ") + pick(options) + " " + quote(pick(values)) + "\n";
			}
		}
		// Now and then a line the parser must refuse, or one only the
		// loose mode skips.
		static const char *const broken[] = {"\toption bad\x01 'v'\n", "config t 'unterminated\n",
						     "\toption a b c\n", "bogus line\n", "config t.x\n"};
		if (chance(4))
			t += pick(broken);
		return t;
	}

	// The names a load gives the anonymous sections.
	void learn_generated(package &p, const std::string &text)
	{
		char dir[] = "/tmp/uci_gen.XXXXXX";
		if (!mkdtemp(dir))
			return;
		std::string path = std::string(dir) + "/" + p.name;
		if (FILE *f = fopen(path.c_str(), "w")) {
			fwrite(text.data(), 1, text.size(), f);
			fclose(f);
		}
		struct uci_context *ctx = uci_alloc_context();
		uci_set_confdir(ctx, dir);
		struct uci_package *pk = nullptr;
		if (uci_load(ctx, p.name.c_str(), &pk) == UCI_OK) {
			struct uci_element *e;
			uci_foreach_element(&pk->sections, e) {
				if (uci_to_section(e)->anonymous)
					p.generated.push_back(e->name);
			}
		}
		uci_free_context(ctx);
		unlink(path.c_str());
		rmdir(dir);
	}

	std::string section_ref(const package &p)
	{
		switch (below(5)) {
		case 0:
			if (!p.generated.empty())
				return p.generated[below(p.generated.size())];
			[[fallthrough]];
		case 1: {
			// what an `add` of an existing type will be called
			if (!p.generated.empty()) {
				std::string g = p.generated[below(p.generated.size())];
				char c[3];
				snprintf(c, sizeof c, "%02zx", p.sections.size() + below(2));
				return "cfg" + std::string(c) + g.substr(5);
			}
			return pick(names);
		}
		case 2:
			return pick(names);
		default: {
			int i = static_cast<int>(below(4)) - 1;
			if (chance(10))
				i = -2;
			return std::string("@") + pick(types) + "[" + std::to_string(i) + "]";
		}
		}
	}

	std::string pkg_ref()
	{
		if (chance(3))
			return "nope";
		return pkgs[below(pkgs.size())].name;
	}

	// One change, as words after `uci`.
	std::vector<std::string> change(bool in_batch)
	{
		const package &p = pkgs[below(pkgs.size())];
		std::string s = p.name + "." + section_ref(p);
		std::string o = s + "." + pick(options);
		std::string v = pick(values);
		if (in_batch && v.find('\n') != std::string::npos)
			v = "nl";
		switch (below(11)) {
		case 0:
		case 1:
		case 2:
			return {"set", o + "=" + v};
		case 3:
			// By name: through a missing @type[i] the device reports
			// success and does nothing (a case names that difference).
			return {"set", p.name + "." + pick(names) + "=" + pick(types)};
		case 4:
			return {"add_list", o + "=" + v};
		case 5:
			return {"del_list", o + "=" + v};
		case 6:
			if (chance(30))
				return {"delete", o + "=" + std::to_string(below(3))};
			return {"delete", chance(50) ? s : o};
		case 7:
			return {"add", pkg_ref(), pick(types)};
		case 8:
			// Onto a fresh name: onto a taken one the device makes two
			// sections of one name (a case names that difference).
			return {"rename", (chance(50) ? s : o) + "=r" + std::to_string(renamed++)};
		case 9:
			return {"reorder", s + "=" + std::to_string(below(4))};
		default:
			return {"revert", chance(50) ? pkg_ref() : s};
		}
	}

	std::vector<std::string> look()
	{
		const package &p = pkgs[below(pkgs.size())];
		std::string s = p.name + "." + section_ref(p);
		std::vector<std::string> a;
		switch (below(6)) {
		case 0:
			a = {"get", chance(70) ? s + "." + pick(options) : s};
			break;
		case 1:
			a = {"show"};
			if (chance(70))
				a.push_back(chance(50) ? p.name : s);
			break;
		case 2:
			a = {"export"};
			if (chance(70))
				a.push_back(p.name);
			break;
		case 3:
			a = {"changes"};
			if (chance(50))
				a.push_back(p.name);
			break;
		default:
			a = {"commit"};
			if (chance(70))
				a.push_back(pkg_ref());
			break;
		}
		return a;
	}

	std::string batch_line(const std::vector<std::string> &words)
	{
		std::string l;
		for (const auto &w : words) {
			if (!l.empty())
				l += " ";
			size_t eq = w.find('=');
			if (eq != std::string::npos && chance(80))
				l += w.substr(0, eq + 1) + quote(w.substr(eq + 1));
			else
				l += w;
		}
		return l + "\n";
	}

	test_case make(const std::string &name)
	{
		test_case c;
		c.name = name;
		size_t np = 1 + below(2);
		for (size_t i = 0; i < np; i++) {
			package p;
			p.name = packages[i];
			std::string text = file_text(p);
			learn_generated(p, text);
			c.files.emplace_back("c/" + p.name, text);
			pkgs.push_back(std::move(p));
		}
		std::vector<std::string> global;
		if (chance(15))
			global.push_back("-q");
		if (chance(10))
			global.push_back("-S");
		if (chance(10))
			global.push_back("-X");
		if (chance(10)) {
			c.dirs.push_back("st");
			global.insert(global.end(), {"-P", "st"});
		}
		size_t n = 1 + below(3);
		for (size_t i = 0; i < n; i++) {
			command cmd;
			cmd.args = global;
			if (chance(20)) {
				cmd.args.push_back("batch");
				cmd.has_input = true;
				size_t lines = 2 + below(4);
				for (size_t j = 0; j < lines; j++)
					cmd.input += batch_line(chance(80) ? change(true) : look());
			} else {
				auto w = chance(60) ? change(false) : look();
				if (w[0] == "export" && chance(40))
					cmd.args.push_back(chance(50) ? "-n" : "-N");
				if ((w[0] == "show" || w[0] == "get") && chance(20))
					cmd.args.insert(cmd.args.end(), {"-d", ","});
				cmd.args.insert(cmd.args.end(), w.begin(), w.end());
			}
			c.cmds.push_back(std::move(cmd));
		}
		// End by looking at what is staged, and half the time writing it:
		// one batch, one process each.
		command last;
		last.args = {"batch"};
		last.has_input = true;
		last.input = chance(50) ? "changes\ncommit\n" : "changes\n";
		c.cmds.push_back(std::move(last));
		return c;
	}
};

} // namespace

test_case generate_case(unsigned long seed, long n)
{
	gen g(seed * 1000003ULL + static_cast<unsigned long long>(n));
	test_case c = g.make("gen-" + std::to_string(seed) + "-" + std::to_string(n));
	c.origin = "generated";
	return c;
}

} // namespace uci_tool_diff
