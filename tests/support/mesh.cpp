#include "mesh.h"

#include "proc.h"

#include <csignal>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>

namespace testing_support {

mesh::mesh(const std::vector<std::string> &modes)
{
	std::string list;
	for (size_t i = 0; i < modes.size(); i++) {
		list += (i ? "," : "") + modes[i];
		satellites_.push_back({"192.0.2." + std::to_string(11 + i), modes[i]});
	}
	launcher_ = std::make_unique<spawned>(
		std::vector<std::string>{bin_path("mesh"), "start", dir_.path(), "--modes", list});
	struct stat st;
	// Six sandboxes start at once; a minute seen on two cores under builds.
	up_ = wait_until([&] { return stat(dir_.file("state/ready").c_str(), &st) == 0; }, 120000);
	if (!up_)
		fprintf(stderr, "the mesh did not come up:\n%s\n", launcher_->err().c_str());
}

// SIGKILL to the launcher ends the mesh's PID namespace and all inside.
mesh::~mesh()
{
	end_sandbox(*launcher_, dir_.file("state/init.pid"), 10000);
}

run_result mesh::exec(const std::string &where, const std::vector<std::string> &cmd, int ms) const
{
	std::vector<std::string> argv = {bin_path("mesh"), "exec", dir_.path(), where, "--"};
	argv.insert(argv.end(), cmd.begin(), cmd.end());
	spawned p(argv);
	auto status = p.wait(static_cast<int>(scaled_ms(ms)));
	return {p.out(), p.err(), status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1};
}

run_result mesh::sh(const std::string &where, const std::string &script, int ms) const
{
	return exec(where, {"sh", "-c", script}, ms);
}

run_result mesh::vimb(const std::string &where, const std::vector<std::string> &args) const
{
	std::vector<std::string> argv = {bin_path("mesh"), "vimb", dir_.path(), where};
	argv.insert(argv.end(), args.begin(), args.end());
	spawned p(argv);
	auto status = p.wait(static_cast<int>(scaled_ms(20000)));
	return {p.out(), p.err(), status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1};
}

std::vector<std::string> mesh::objects() const
{
	std::vector<std::string> out;
	std::istringstream in(vimb("cap", {"list"}).out);
	for (std::string line; std::getline(in, line);)
		if (!line.empty())
			out.push_back(line);
	return out;
}

bool mesh::fault(const std::vector<std::string> &args) const
{
	std::vector<std::string> argv = {bin_path("mesh"), "fault", dir_.path()};
	argv.insert(argv.end(), args.begin(), args.end());
	spawned p(argv);
	auto status = p.wait(static_cast<int>(scaled_ms(60000)));
	if (!status || !WIFEXITED(*status) || WEXITSTATUS(*status) != 0) {
		fprintf(stderr, "mesh fault failed: %s\n", p.err().c_str());
		return false;
	}
	return true;
}

std::string mesh::file(const std::string &address, const std::string &path) const
{
	return read_file(dir_.file("sat/" + address + "/" + path));
}

std::vector<call_record> mesh::calls(const std::string &address, const std::string &name) const
{
	return read_calls(dir_.file("sat/" + address), name);
}

} // namespace testing_support
