// The UCI parser on any file text; what it accepts is exported as a commit
// writes it, and reading that export back must give the same tree, whose
// export is then the same text. With $KESTRAD_REFERENCE set, the device's
// libuci is the oracle: the text is loaded (strict) here and by
// tests/uci_diff/driver.c built against the device's, in a child process,
// and both must accept or refuse it alike, with the same tree or the same
// error and position.
#include "internal.h"

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct uci_context *ctx;

// The device's side, and the directory both load the text from.
struct oracle {
	std::string dir, bin;
	pid_t pid = -1;
	int to = -1, from = -1;
	struct uci_context *ctx = nullptr; // ours, loading from dir
};
oracle device;

void start_driver()
{
	int in[2], out[2];
	if (pipe(in) || pipe(out))
		abort();
	device.pid = fork();
	if (device.pid == 0) {
		dup2(in[0], 0);
		dup2(out[1], 1);
		close(in[1]);
		close(out[0]);
		execl(device.bin.c_str(), device.bin.c_str(), static_cast<char *>(nullptr));
		_exit(127);
	}
	close(in[0]);
	close(out[1]);
	device.to = in[1];
	device.from = out[0];
	std::string setup = "confdir " + device.dir + "\nsavedir " + device.dir + "/s\n";
	if (write(device.to, setup.data(), setup.size()) != static_cast<ssize_t>(setup.size()))
		abort();
}

void stop_driver()
{
	close(device.to);
	close(device.from);
	waitpid(device.pid, nullptr, 0);
	device.pid = -1;
}

void start_oracle()
{
	const char *ref = getenv("KESTRAD_REFERENCE");
	if (!ref || !*ref) {
		fprintf(stdout, "KESTRAD_REFERENCE unset: the parser is not compared with the device's\n");
		return;
	}
	char dir[] = "/dev/shm/kestrad-uci-oracle-XXXXXX";
	if (!mkdtemp(dir))
		abort();
	device.dir = dir;
	device.bin = device.dir + "/driver";
	std::string cmd = std::string("cc -std=gnu11 -O1 -w -I") + ref + "/include " KESTRAD_SOURCE_DIR
			  "/tests/uci_diff/driver.c -o " + device.bin + " -L" + ref + "/lib -luci -lubox -Wl,-rpath," +
			  ref + "/lib";
	if (system(cmd.c_str()) != 0) {
		fprintf(stdout, "cannot build the oracle: %s\n", cmd.c_str());
		abort();
	}
	signal(SIGPIPE, SIG_IGN);
	start_driver();
	device.ctx = uci_alloc_context();
	uci_set_confdir(device.ctx, dir);
	uci_set_savedir(device.ctx, (device.dir + "/s").c_str());
	atexit([] { (void)system(("rm -rf " + device.dir).c_str()); });
}

void put_text(std::string &out, const char *s)
{
	out += '\'';
	for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s); *p; p++) {
		if (*p < 0x20 || *p >= 0x7f || *p == '\'' || *p == '\\') {
			char hex[8];
			snprintf(hex, sizeof(hex), "\\x%02x", *p);
			out += hex;
		} else {
			out += static_cast<char>(*p);
		}
	}
	out += '\'';
}

// What driver.c prints for "load f", from our libuci.
std::string our_load()
{
	std::string out;
	uci_package *p = nullptr;
	int r = uci_load(device.ctx, "f", &p);
	out = "load -> " + std::to_string(r);
	if (r == UCI_ERR_PARSE) {
		char *err = nullptr;
		uci_get_errorstr(device.ctx, &err, "");
		out += " [" + std::string(err ? err : "") + "]";
		free(err);
	}
	out += '\n';
	if (!p)
		return out;
	out += " package f n=" + std::to_string(p->n_section) + "\n";
	struct uci_element *se, *oe, *ie;
	uci_foreach_element(&p->sections, se) {
		auto *s = uci_to_section(se);
		out += std::string("  config ") + s->type + " " + se->name + (s->anonymous ? " anon" : "") + "\n";
		uci_foreach_element(&s->options, oe) {
			auto *o = uci_to_option(oe);
			if (o->type == UCI_TYPE_STRING) {
				out += std::string("   option ") + oe->name + " ";
				put_text(out, o->v.string);
			} else {
				out += std::string("   list ") + oe->name;
				uci_foreach_element(&o->v.list, ie) {
					out += ' ';
					put_text(out, ie->name);
				}
			}
			out += '\n';
		}
	}
	uci_unload(device.ctx, p);
	return out;
}

// What the device's driver prints for "load f", or "" when it died on it.
std::string device_load()
{
	static const char ask[] = "load f\nunload f\nwalk end\n";
	if (write(device.to, ask, sizeof(ask) - 1) != static_cast<ssize_t>(sizeof(ask) - 1))
		return "";
	std::string got;
	char buf[4096];
	while (got.size() < 11 || got.compare(got.size() - 11, 11, "> walk end\n") != 0) {
		ssize_t n = read(device.from, buf, sizeof(buf));
		if (n <= 0)
			return "";
		got.append(buf, static_cast<size_t>(n));
	}
	size_t from = got.find("> load f\n");
	size_t to = got.find("> unload f\n");
	if (from == std::string::npos || to == std::string::npos)
		return "";
	return got.substr(from + 9, to - from - 9);
}

void compare_with_device(std::string_view text)
{
	std::string path = device.dir + "/f";
	FILE *f = fopen(path.c_str(), "w");
	if (!f || fwrite(text.data(), 1, text.size(), f) != text.size() || fclose(f) != 0)
		abort();
	std::string ours = our_load();
	std::string theirs = device_load();
	if (theirs.empty()) {
		// The device's library died on this input: its fault, not ours.
		stop_driver();
		start_driver();
		return;
	}
	// Left out on purpose: around a NUL the device's parser cuts lines and
	// counts them in ways ours follows only in part (outside quotes ours
	// refuses the file).
	if (text.find('\0') != std::string_view::npos)
		return;
	if (ours != theirs) {
		fprintf(stdout, "differs from the device's libuci\n--- device:\n%s--- ours:\n%s", theirs.c_str(),
			ours.c_str());
		fflush(stdout);
		abort();
	}
}

bool same_option(const uci_option *a, const uci_option *b)
{
	if (strcmp(a->e.name, b->e.name) != 0 || a->type != b->type)
		return false;
	if (a->type == UCI_TYPE_STRING)
		return strcmp(a->v.string, b->v.string) == 0;
	const struct uci_list *la = a->v.list.next, *lb = b->v.list.next;
	for (; la != &a->v.list && lb != &b->v.list; la = la->next, lb = lb->next) {
		if (strcmp(list_to_element(la)->name, list_to_element(lb)->name) != 0)
			return false;
	}
	return la == &a->v.list && lb == &b->v.list;
}

bool same_section(const uci_section *a, const uci_section *b)
{
	if (strcmp(a->e.name, b->e.name) != 0 || strcmp(a->type, b->type) != 0 || a->anonymous != b->anonymous)
		return false;
	const struct uci_list *la = a->options.next, *lb = b->options.next;
	for (; la != &a->options && lb != &b->options; la = la->next, lb = lb->next) {
		if (!same_option(uci_to_option(list_to_element(la)), uci_to_option(list_to_element(lb))))
			return false;
	}
	return la == &a->options && lb == &b->options;
}

bool same_tree(const uci_package *a, const uci_package *b)
{
	const struct uci_list *la = a->sections.next, *lb = b->sections.next;
	for (; la != &a->sections && lb != &b->sections; la = la->next, lb = lb->next) {
		if (!same_section(uci_to_section(list_to_element(la)), uci_to_section(list_to_element(lb))))
			return false;
	}
	return la == &a->sections && lb == &b->sections;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	ctx = uci_alloc_context();
	start_oracle();
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	std::string_view text(reinterpret_cast<const char *>(data), size);
	if (device.pid > 0)
		compare_with_device(text);
	uci_package *first = uci_impl::package_new(ctx, "fuzz");
	if (uci_impl::parse_package(ctx, first, text) != UCI_OK) {
		uci_impl::package_free(first);
		return 0;
	}
	uci_impl::text written;
	uci_impl::export_package(first, written, false);

	uci_package *again = uci_impl::package_new(ctx, "fuzz");
	if (uci_impl::parse_package(ctx, again, written.view()) != UCI_OK)
		abort(); // what we wrote we cannot read
	if (!same_tree(first, again))
		abort(); // read back as another tree
	uci_impl::text rewritten;
	uci_impl::export_package(again, rewritten, false);
	if (rewritten.view() != written.view())
		abort();
	uci_impl::package_free(again);
	uci_impl::package_free(first);
	return 0;
}
