// uci_tool_diff: runs the project's uci and the device's on copies of the same
// config and save directories, command by command, and compares what each
// prints, its exit status and every file it leaves.
//
//   uci_tool_diff [options] FILE...           the cases in each case file
//   uci_tool_diff [options] --generate N      N generated scripts
//   uci_tool_diff [options] --seconds T       generated scripts for T seconds
//
// Options: --seed S (generated scripts; default 1), --keep DIR (write each
// failing generated script there as a case file), --ours PATH (default: the
// build's bin/uci). The device's tool is $KESTRAD_REFERENCE/bin/uci; without
// it this says so and exits 77 (skipped).
//
// Case files: `case NAME` starts a case on empty directories; `file PATH`
// (or `file-nonl PATH`, without the last newline) writes the lines up to
// `end`; `dir PATH` makes a directory; `link PATH TARGET` a symbolic link;
// `differs REASON` names a deliberate difference the case must show (its
// first difference passes, none fails; a hang of ours never passes);
// `device-hangs MS` kills the device's tool after MS ms instead of 10 s, for
// a case naming a hang of it; `uci ARGS` runs the tool as `uci -c c -t s
// ARGS`, `uci-raw ARGS` as `uci ARGS`, and a last argument `<<` feeds it the
// lines up to `end`. Arguments split at blanks; '...' quotes; \xHH is a byte
// anywhere, in files too.
#include "gen.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace uci_tool_diff {

namespace {

std::string hex_decode(const std::string &s)
{
	std::string out;
	for (size_t i = 0; i < s.size(); i++) {
		if (s[i] == '\\' && i + 3 < s.size() + 0 && s[i + 1] == 'x' && isxdigit((unsigned char)s[i + 2]) &&
		    isxdigit((unsigned char)s[i + 3])) {
			out += static_cast<char>(std::stoi(s.substr(i + 2, 2), nullptr, 16));
			i += 3;
		} else {
			out += s[i];
		}
	}
	return out;
}

std::string hex_byte(unsigned char c)
{
	char b[5];
	snprintf(b, sizeof b, "\\x%02x", c);
	return b;
}

// Words of a command line: blanks split, '...' quotes, \xHH is a byte.
std::vector<std::string> split_args(const std::string &line)
{
	std::vector<std::string> words;
	size_t i = 0;
	while (i < line.size()) {
		while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
			i++;
		if (i == line.size())
			break;
		std::string raw;
		while (i < line.size() && line[i] != ' ' && line[i] != '\t') {
			if (line[i] == '\'') {
				size_t close = line.find('\'', i + 1);
				if (close == std::string::npos)
					close = line.size();
				raw += line.substr(i + 1, close - i - 1);
				i = close + 1;
			} else {
				raw += line[i++];
			}
		}
		words.push_back(hex_decode(raw));
	}
	return words;
}

std::string escape_arg(const std::string &s)
{
	if (s.empty())
		return "''";
	std::string out;
	for (unsigned char c : s) {
		if (isalnum(c) || strchr("._@[]=+-/:,%^*!?#$&(){}<>~|\"`;", c))
			out += static_cast<char>(c);
		else
			out += hex_byte(c);
	}
	return out;
}

std::string escape_line(const std::string &s)
{
	std::string out;
	for (size_t i = 0; i < s.size(); i++) {
		unsigned char c = s[i];
		if ((c < 0x20 && c != '\t') || c >= 0x7f || (c == '\\' && i + 1 < s.size() && s[i + 1] == 'x'))
			out += hex_byte(c);
		else
			out += static_cast<char>(c);
	}
	return out;
}

void write_body(std::ostream &o, const std::string &text)
{
	size_t start = 0;
	while (start < text.size()) {
		size_t nl = text.find('\n', start);
		if (nl == std::string::npos)
			nl = text.size();
		o << escape_line(text.substr(start, nl - start)) << "\n";
		start = nl + 1;
	}
	o << "end\n";
}

} // namespace

std::string write_case(const test_case &c)
{
	std::ostringstream o;
	o << "case " << c.name << "\n";
	for (const auto &d : c.dirs)
		o << "dir " << d << "\n";
	for (const auto &[path, target] : c.links)
		o << "link " << path << " " << target << "\n";
	if (c.device_limit_ms)
		o << "device-hangs " << c.device_limit_ms << "\n";
	for (const auto &[path, text] : c.files) {
		bool nl = text.empty() || text.back() == '\n';
		o << (nl ? "file " : "file-nonl ") << path << "\n";
		write_body(o, nl && !text.empty() ? text.substr(0, text.size() - 1) : text);
	}
	for (const auto &cmd : c.cmds) {
		o << (cmd.raw ? "uci-raw" : "uci");
		for (const auto &a : cmd.args)
			o << " " << escape_arg(a);
		if (cmd.has_input) {
			o << " <<\n";
			write_body(o, cmd.input.empty() ? cmd.input : cmd.input.substr(0, cmd.input.size() - 1));
		} else {
			o << "\n";
		}
	}
	return o.str();
}

namespace {

bool read_cases(const std::string &path, std::vector<test_case> &out)
{
	std::ifstream in(path);
	if (!in) {
		fprintf(stderr, "uci_tool_diff: cannot read %s\n", path.c_str());
		return false;
	}
	std::string line;
	int lineno = 0;
	auto body = [&](std::string &text) {
		while (std::getline(in, line)) {
			lineno++;
			if (line == "end")
				return true;
			text += hex_decode(line) + "\n";
		}
		return false;
	};
	while (std::getline(in, line)) {
		lineno++;
		if (line.empty() || line[0] == '#')
			continue;
		size_t sp = line.find(' ');
		std::string word = line.substr(0, sp);
		std::string rest = sp == std::string::npos ? "" : line.substr(sp + 1);
		if (word == "case") {
			out.push_back({});
			out.back().name = rest;
			out.back().origin = path + ":" + std::to_string(lineno);
			continue;
		}
		if (out.empty()) {
			fprintf(stderr, "%s:%d: no case before this line\n", path.c_str(), lineno);
			return false;
		}
		test_case &c = out.back();
		bool ok = true;
		if (word == "file" || word == "file-nonl") {
			std::string text;
			ok = body(text);
			if (word == "file-nonl" && !text.empty())
				text.pop_back();
			c.files.emplace_back(rest, text);
		} else if (word == "dir") {
			c.dirs.push_back(rest);
		} else if (word == "link") {
			size_t at = rest.find(' ');
			ok = at != std::string::npos;
			if (ok)
				c.links.emplace_back(rest.substr(0, at), rest.substr(at + 1));
		} else if (word == "device-hangs") {
			c.device_limit_ms = atoi(rest.c_str());
		} else if (word == "differs") {
			c.differs = rest;
		} else if (word == "uci" || word == "uci-raw") {
			command cmd;
			cmd.raw = word == "uci-raw";
			cmd.args = split_args(rest);
			if (!cmd.args.empty() && cmd.args.back() == "<<") {
				cmd.args.pop_back();
				cmd.has_input = true;
				ok = body(cmd.input);
			}
			c.cmds.push_back(std::move(cmd));
		} else {
			fprintf(stderr, "%s:%d: unknown line\n", path.c_str(), lineno);
			return false;
		}
		if (!ok) {
			fprintf(stderr, "%s:%d: %s\n", path.c_str(), lineno, word == "link" ? "link PATH TARGET" : "no end");
			return false;
		}
	}
	return true;
}

std::string slurp(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	std::ostringstream s;
	s << in.rdbuf();
	return s.str();
}

void spit(const std::string &path, const std::string &text)
{
	std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

void remove_tree(const std::string &path)
{
	if (DIR *d = opendir(path.c_str())) {
		while (struct dirent *e = readdir(d)) {
			std::string n = e->d_name;
			if (n == "." || n == "..")
				continue;
			std::string p = path + "/" + n;
			struct stat st;
			if (lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
				remove_tree(p);
			else
				unlink(p.c_str());
		}
		closedir(d);
	}
	rmdir(path.c_str());
}

void make_parents(const std::string &path)
{
	for (size_t i = 1; i < path.size(); i++) {
		if (path[i] == '/')
			mkdir(path.substr(0, i).c_str(), 0755);
	}
}

// Every file and directory under `dir`, by path relative to `root`.
void snapshot(const std::string &root, const std::string &rel, std::map<std::string, std::string> &out)
{
	std::string dir = rel.empty() ? root : root + "/" + rel;
	DIR *d = opendir(dir.c_str());
	if (!d)
		return;
	while (struct dirent *e = readdir(d)) {
		std::string n = e->d_name;
		if (n == "." || n == "..")
			continue;
		std::string r = rel.empty() ? n : rel + "/" + n;
		struct stat st;
		if (lstat((root + "/" + r).c_str(), &st) != 0)
			continue;
		if (S_ISDIR(st.st_mode)) {
			out[r + "/"] = "";
			snapshot(root, r, out);
		} else {
			out[r] = slurp(root + "/" + r);
		}
	}
	closedir(d);
}

// Inside a batch the device's tool follows its n-th error message with
// n - 1 empty lines, and after a parse error it adds that error's reason and
// position to every later message ("Entry not found (EOF with unterminated
// ') at line 1, byte 12"). A warning of a loose load (-S) leaves the same
// residue. Neither is worth matching: the residue is taken out of both sides
// before the comparison.
std::string batch_residue_removed(const std::string &err)
{
	std::string out;
	size_t start = 0;
	while (start < err.size()) {
		size_t nl = err.find('\n', start);
		if (nl == std::string::npos)
			nl = err.size();
		std::string line = err.substr(start, nl - start);
		start = nl + 1;
		if (line.empty())
			continue;
		size_t reason = line.find(" (");
		if (reason != std::string::npos && line.find("Parse error") == std::string::npos &&
		    line.find(") at line ", reason) != std::string::npos)
			line.erase(reason);
		out += line + (nl < err.size() ? "\n" : "");
	}
	return out;
}

struct result {
	std::string out, err;
	int status = 0;
	bool hung = false;
	std::map<std::string, std::string> files;
};

struct tool {
	std::string path;
	std::vector<std::string> env; // added to the runner's
};

struct runner {
	tool ours, device;
	std::string scratch;
	long commands = 0;
	long cases = 0;
	long named = 0;
	long failed = 0;
	bool verbose = false;
	bool trace = false; // print what the device's tool does, command by command

	std::vector<char *> environment(const tool &t, std::vector<std::string> &store)
	{
		std::vector<char *> env;
		for (char **e = environ; *e; e++) {
			if (strncmp(*e, "LD_LIBRARY_PATH=", 16) != 0)
				env.push_back(*e);
		}
		store = t.env;
		for (auto &s : store)
			env.push_back(s.data());
		env.push_back(nullptr);
		return env;
	}

	struct started {
		pid_t pid = -1;
		std::string out, err;
		result r;
	};

	started start(const tool &t, const std::string &root, const command &cmd, const std::string &tag)
	{
		std::vector<std::string> args = {"uci"};
		if (!cmd.raw)
			args.insert(args.end(), {"-c", "c", "-t", "s"});
		args.insert(args.end(), cmd.args.begin(), cmd.args.end());
		std::vector<char *> argv;
		for (auto &a : args)
			argv.push_back(a.data());
		argv.push_back(nullptr);
		started s;
		std::string in = scratch + "/in";
		s.out = scratch + "/out-" + tag;
		s.err = scratch + "/err-" + tag;
		posix_spawn_file_actions_t fa;
		posix_spawn_file_actions_init(&fa);
		posix_spawn_file_actions_addopen(&fa, 0, cmd.has_input ? in.c_str() : "/dev/null", O_RDONLY, 0);
		posix_spawn_file_actions_addopen(&fa, 1, s.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
		posix_spawn_file_actions_addopen(&fa, 2, s.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
		posix_spawn_file_actions_addchdir_np(&fa, root.c_str());
		std::vector<std::string> store;
		auto env = environment(t, store);
		int e = posix_spawn(&s.pid, t.path.c_str(), &fa, nullptr, argv.data(), env.data());
		posix_spawn_file_actions_destroy(&fa);
		if (e != 0) {
			s.pid = -1;
			s.r.status = -1;
			s.r.err = std::string("spawn failed: ") + strerror(e);
		}
		return s;
	}

	result finish(started &s, const std::string &root, int limit_ms = 10000)
	{
		result &r = s.r;
		if (s.pid < 0)
			return r;
		// A hang is a finding too: give it 10 s, then kill it.
		int pfd = static_cast<int>(syscall(SYS_pidfd_open, s.pid, 0));
		struct pollfd p = {pfd, POLLIN, 0};
		if (pfd >= 0 && poll(&p, 1, limit_ms) == 0) {
			kill(s.pid, SIGKILL);
			r.hung = true;
			r.err = "(hung: killed after " + std::to_string(limit_ms) + " ms)\n";
		}
		if (pfd >= 0)
			close(pfd);
		int st = 0;
		waitpid(s.pid, &st, 0);
		r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 1000 + WTERMSIG(st);
		r.out = slurp(s.out);
		r.err += slurp(s.err);
		snapshot(root, "", r.files);
		return r;
	}

	void prepare(const std::string &root, const test_case &c)
	{
		remove_tree(root);
		mkdir(root.c_str(), 0755);
		mkdir((root + "/c").c_str(), 0755);
		mkdir((root + "/s").c_str(), 0755);
		for (const auto &d : c.dirs) {
			make_parents(root + "/" + d + "/");
		}
		for (const auto &[path, target] : c.links) {
			make_parents(root + "/" + path);
			if (symlink(target.c_str(), (root + "/" + path).c_str()) != 0)
				perror(path.c_str());
		}
		for (const auto &[path, text] : c.files) {
			make_parents(root + "/" + path);
			spit(root + "/" + path, text);
		}
	}

	static std::string show(const std::string &s)
	{
		std::string o = "\"";
		for (unsigned char c : s) {
			if (c == '\n')
				o += "\\n";
			else if (c == '\\')
				o += "\\\\";
			else if (c < 0x20 || c >= 0x7f)
				o += hex_byte(c);
			else
				o += static_cast<char>(c);
		}
		return o + "\"";
	}

	// The first difference between two results, or "".
	static std::string compare(const result &a, const result &b)
	{
		std::string d;
		if (a.status != b.status)
			d += "  status: ours " + std::to_string(a.status) + ", device " + std::to_string(b.status) + "\n";
		if (a.out != b.out)
			d += "  stdout: ours " + show(a.out) + "\n          device " + show(b.out) + "\n";
		if (a.err != b.err)
			d += "  stderr: ours " + show(a.err) + "\n          device " + show(b.err) + "\n";
		for (const auto &[path, text] : a.files) {
			auto it = b.files.find(path);
			if (it == b.files.end())
				d += "  " + path + ": only ours has it\n";
			else if (it->second != text)
				d += "  " + path + ": ours " + show(text) + "\n     device " + show(it->second) + "\n";
		}
		for (const auto &[path, text] : b.files) {
			if (!a.files.count(path))
				d += "  " + path + ": only the device has it\n";
		}
		return d;
	}

	// True when both tools agree on every command (or differ where the case
	// names the difference).
	bool run_case(const test_case &c, std::string *report)
	{
		cases++;
		std::string a = scratch + "/ours", b = scratch + "/device";
		prepare(a, c);
		prepare(b, c);
		for (size_t i = 0; i < c.cmds.size(); i++) {
			commands++;
			// Both at once: they share nothing but the input file.
			spit(scratch + "/in", c.cmds[i].input);
			started sa = start(ours, a, c.cmds[i], "ours");
			started sb = start(device, b, c.cmds[i], "device");
			result ra = finish(sa, a);
			result rb = c.device_limit_ms ? finish(sb, b, c.device_limit_ms) : finish(sb, b);
			const auto &args = c.cmds[i].args;
			if (std::find(args.begin(), args.end(), "batch") != args.end() ||
			    std::find(args.begin(), args.end(), "-S") != args.end()) {
				ra.err = batch_residue_removed(ra.err);
				rb.err = batch_residue_removed(rb.err);
			}
			std::string d = compare(ra, rb);
			if (trace) {
				test_case one;
				one.cmds = {c.cmds[i]};
				printf("%s: %s\n  -> %d %s %s\n", c.name.c_str(), write_case(one).c_str() + 6, rb.status,
				       show(rb.out).c_str(), show(rb.err).c_str());
			}
			if (d.empty())
				continue;
			std::string line = c.origin + " " + c.name + ": command " + std::to_string(i + 1) + ": uci";
			for (const auto &w : c.cmds[i].args)
				line += " " + escape_arg(w);
			if (!c.differs.empty() && !ra.hung) {
				named++;
				if (verbose)
					printf("named difference, %s\n  (%s)\n%s", line.c_str(), c.differs.c_str(), d.c_str());
				return true;
			}
			*report = line + "\n" + d;
			if (trace)
				continue;
			return false;
		}
		// A named difference that is gone is a finding too: the case or
		// the note that names it is out of date.
		if (!c.differs.empty()) {
			*report = c.origin + " " + c.name + ": names a difference (" + c.differs + ") that no command shows\n";
			return false;
		}
		return true;
	}
};

int usage()
{
	fputs("usage: uci_tool_diff [--ours PATH] [--seed S] [--keep DIR] [-v] (FILE... | --generate N | --seconds T)\n",
	      stderr);
	return 2;
}

} // namespace

} // namespace uci_tool_diff

int main(int argc, char **argv)
{
	using namespace uci_tool_diff;
	runner r;
	r.ours.path = KESTRAD_BIN_DIR "/uci";
	unsigned long seed = 1;
	long generate = 0;
	double seconds = 0;
	std::string keep;
	std::vector<std::string> files;
	for (int i = 1; i < argc; i++) {
		std::string a = argv[i];
		auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
		if (a == "--ours")
			r.ours.path = next();
		else if (a == "--seed")
			seed = strtoul(next().c_str(), nullptr, 10);
		else if (a == "--generate")
			generate = atol(next().c_str());
		else if (a == "--seconds")
			seconds = atof(next().c_str());
		else if (a == "--keep")
			keep = next();
		else if (a == "-v")
			r.verbose = true;
		else if (a == "--trace")
			r.trace = true;
		else if (a.size() > 1 && a[0] == '-')
			return usage();
		else
			files.push_back(a);
	}
	if (files.empty() && !generate && seconds <= 0)
		return usage();
	const char *ref = getenv("KESTRAD_REFERENCE");
	if (!ref || !*ref) {
		printf("KESTRAD_REFERENCE is unset (scripts/reference builds the device's uci): skipped\n");
		return 77;
	}
	r.device.path = std::string(ref) + "/bin/uci";
	r.device.env = {"LD_LIBRARY_PATH=" + std::string(ref) + "/lib"};
	if (access(r.device.path.c_str(), X_OK) != 0) {
		printf("no %s: skipped\n", r.device.path.c_str());
		return 77;
	}
	char tmpl[] = "/tmp/uci_tool_diff.XXXXXX";
	if (!mkdtemp(tmpl)) {
		perror("mkdtemp");
		return 1;
	}
	r.scratch = tmpl;

	for (const auto &f : files) {
		std::vector<test_case> cases;
		if (!read_cases(f, cases)) {
			r.failed++;
			continue;
		}
		for (const auto &c : cases) {
			std::string report;
			if (!r.run_case(c, &report)) {
				r.failed++;
				printf("DIFFERS %s", report.c_str());
			}
		}
	}

	auto start = std::chrono::steady_clock::now();
	long scripts = 0;
	for (long n = 0;; n++) {
		if (generate && n >= generate)
			break;
		if (!generate) {
			if (seconds <= 0)
				break;
			std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
			if (spent.count() >= seconds)
				break;
		}
		test_case c = generate_case(seed, n);
		scripts++;
		std::string report;
		if (r.run_case(c, &report))
			continue;
		r.failed++;
		printf("DIFFERS %s", report.c_str());
		if (!keep.empty()) {
			std::string path = keep + "/" + c.name + ".case";
			spit(path, "# kept by uci_tool_diff: a generated script on which the tools differ\n" + write_case(c));
			printf("  kept as %s\n", path.c_str());
		} else {
			printf("%s", write_case(c).c_str());
		}
	}
	remove_tree(r.scratch);
	printf("uci_tool_diff: %ld cases (%ld generated, seed %lu), %ld commands, %ld named differences, %ld unexplained\n",
	       r.cases, scripts, seed, r.commands, r.named, r.failed);
	return r.failed ? 1 : 0;
}
