#include "satellite.h"

#include "proc.h"

#include <algorithm>
#include <csignal>
#include <dirent.h>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testing_support {

namespace {
bool exists(const std::string &path)
{
	struct stat st;
	return stat(path.c_str(), &st) == 0;
}
} // namespace

satellite::satellite(const satellite_options &opts)
{
	std::vector<std::string> argv = {bin_path("satellite"), "start", dir_.path(), "--mode", opts.mode,
					  "--lan-address", opts.lan_address};
	for (const auto &gw : opts.gateways) {
		argv.push_back("--gateway");
		argv.push_back(gw);
	}
	if (!opts.start_kestrad)
		argv.push_back("--no-kestrad");
	if (!opts.ubusd.empty()) {
		argv.push_back("--ubusd");
		argv.push_back(opts.ubusd);
	}
	procd_ = opts.procd;
	if (procd_)
		argv.push_back("--procd");
	// Set for this launcher alone: our own children stay native.
	if (!opts.kestrad_bin.empty() || !opts.kestrad_emulator.empty())
		argv.insert(argv.begin(), {"env", "KESTRAD_BIN=" + opts.kestrad_bin,
					   "KESTRAD_EMULATOR=" + opts.kestrad_emulator});
	launcher_ = std::make_unique<spawned>(argv);
	if (opts.wait_up)
		wait_up();
}

bool satellite::wait_up()
{
	up_ = wait_until([&] {
		return exists(dir_.file("state/ready")) && exists(dir_.file("state/init.pid"));
	}, 30000); // 13 s seen on two busy cores shared by several builds
	if (!up_)
		fprintf(stderr, "satellite did not come up:\n%s\n", launcher_->err().c_str());
	return up_;
}

bool satellite::wait_down(int ms)
{
	return launcher_->wait(ms).has_value();
}

double satellite::boot_start() const
{
	std::string text = read_file(dir_.file("state/boot.start"));
	return text.empty() ? 0 : std::stod(text);
}

void end_sandbox(spawned &launcher, const std::string &init_pid_file, int ms)
{
	launcher.signal(SIGKILL);
	launcher.wait(ms);
	std::string pid = read_file(init_pid_file);
	if (!pid.empty())
		wait_until([&] { return !process_alive(std::stoi(pid)); }, ms);
}

// Killing unshare kills the sandbox's init, and with it everything inside.
satellite::~satellite()
{
	end_sandbox(*launcher_, dir_.file("state/init.pid"), 5000);
}

run_result satellite::exec(const std::vector<std::string> &cmd, int ms) const
{
	std::vector<std::string> argv = {bin_path("satellite"), "exec", dir_.path(), "--"};
	argv.insert(argv.end(), cmd.begin(), cmd.end());
	spawned p(argv);
	auto status = p.wait(ms);
	return {p.out(), p.err(), status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1};
}

run_result satellite::vimb(const std::vector<std::string> &args) const
{
	std::vector<std::string> cmd = {"vimb", "-t", "5"};
	cmd.insert(cmd.end(), args.begin(), args.end());
	return exec(cmd);
}

std::string satellite::object(int ms) const
{
	std::string name;
	wait_until([&] {
		name = vimb({"list"}).out;
		return !name.empty();
	}, ms);
	if (!name.empty() && name.back() == '\n')
		name.pop_back();
	return name;
}

bool satellite::svc(const std::string &action, const std::string &service) const
{
	return exec({"svc", action, service}).status == 0;
}

std::string satellite::log() const
{
	return read_file(dir_.file(procd_ ? "log/messages" : "kestrad.log"));
}
std::string satellite::out() const { return read_file(dir_.file("kestrad.out")); }

bool satellite::wait_log(const std::string &text, int ms) const
{
	return wait_until([&] { return log().find(text) != std::string::npos; }, ms);
}

std::string satellite::config(const std::string &package) const
{
	return read_file(dir_.file("config/" + package));
}

void satellite::set_config(const std::string &package, const std::string &text) const
{
	std::ofstream(dir_.file("config/" + package)) << text;
}

void satellite::behave(const std::string &name, const std::string &assignments) const
{
	std::ofstream(dir_.file("behave/" + name)) << assignments << "\n";
}

std::vector<call_record> satellite::calls(const std::string &name) const
{
	return read_calls(dir_.path(), name);
}

std::vector<call_record> read_calls(const std::string &dir, const std::string &name)
{
	std::vector<std::string> stems;
	if (DIR *d = opendir((dir + "/records").c_str())) {
		while (struct dirent *e = readdir(d)) {
			std::string n = e->d_name;
			const std::string suffix = ".argv";
			if (n.rfind(name + ".", 0) == 0 && n.size() > suffix.size() &&
			    n.compare(n.size() - suffix.size(), suffix.size(), suffix) == 0)
				stems.push_back(n.substr(0, n.size() - suffix.size()));
		}
		closedir(d);
	}
	std::sort(stems.begin(), stems.end()); // by start time, then pid
	std::vector<call_record> out;
	for (const auto &stem : stems) {
		std::string base = dir + "/records/" + stem;
		call_record r;
		std::string argv = read_file(base + ".argv");
		for (size_t pos = 0, nul; (nul = argv.find('\0', pos)) != std::string::npos; pos = nul + 1)
			r.argv.push_back(argv.substr(pos, nul - pos));
		std::string start = read_file(base + ".start"), end = read_file(base + ".end"),
			    status = read_file(base + ".status");
		r.start = start.empty() ? 0 : std::stod(start);
		r.end = end.empty() ? 0 : std::stod(end);
		r.status = status.empty() ? -1 : std::stoi(status);
		out.push_back(r);
	}
	return out;
}

} // namespace testing_support
