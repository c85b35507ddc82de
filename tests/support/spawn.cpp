#include "spawn.h"

#include "proc.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testing_support {

// $KESTRAD_BIN_DIR runs the tests against another build's programs (musl's).
static std::string bin_dir()
{
	const char *dir = getenv("KESTRAD_BIN_DIR");
	return dir && *dir ? dir : KESTRAD_BIN_DIR;
}

std::string bin_path(const std::string &name)
{
	return bin_dir() + "/" + name;
}

namespace {
bool is_elf(const std::string &path)
{
	char magic[4] = {};
	std::ifstream(path, std::ios::binary).read(magic, sizeof(magic));
	return memcmp(magic, "\x7f" "ELF", 4) == 0;
}
} // namespace

std::vector<std::string> emulated(const std::vector<std::string> &argv)
{
	const char *emulator = getenv("KESTRAD_EMULATOR");
	const std::string dir = bin_dir() + "/";
	if (!emulator || !*emulator || argv.empty() || argv[0].rfind(dir, 0) != 0 || !is_elf(argv[0]))
		return argv;
	std::vector<std::string> out;
	std::istringstream words(emulator);
	for (std::string w; words >> w;)
		out.push_back(w);
	out.insert(out.end(), argv.begin(), argv.end());
	return out;
}

std::string shell_program(const std::string &program)
{
	std::string line;
	for (const auto &word : emulated({program}))
		line += (line.empty() ? "" : " ") + word;
	return line;
}

std::string read_file(const std::string &path)
{
	std::ifstream f(path, std::ios::binary);
	std::stringstream ss;
	ss << f.rdbuf();
	return ss.str();
}

void write_file(const std::string &path, const std::string &text, mode_t mode)
{
	std::ofstream(path, std::ios::binary) << text;
	chmod(path.c_str(), mode);
}

std::vector<std::string> nul_split(const std::string &s)
{
	std::vector<std::string> out;
	for (size_t pos = 0, nul; (nul = s.find('\0', pos)) != std::string::npos; pos = nul + 1)
		out.push_back(s.substr(pos, nul - pos));
	return out;
}

temp_dir::temp_dir()
{
	char tmpl[] = "/tmp/kestrad-test-XXXXXX";
	const char *p = mkdtemp(tmpl);
	path_ = p ? p : "/tmp";
}

temp_dir::~temp_dir()
{
	std::error_code ec;
	std::filesystem::remove_all(path_, ec);
}

spawned::spawned(const std::vector<std::string> &argv)
{
	std::string out = dir_.file("stdout"), err = dir_.file("stderr");
	const std::vector<std::string> command = emulated(argv);
	std::vector<char *> args;
	for (const auto &a : command)
		args.push_back(const_cast<char *>(a.c_str()));
	args.push_back(nullptr);

	pid_ = fork();
	if (pid_ == 0) {
		prctl(PR_SET_PDEATHSIG, SIGKILL); // a test that dies takes its children along
		int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
		int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
		int n = open("/dev/null", O_RDONLY);
		dup2(n, 0);
		dup2(o, 1);
		dup2(e, 2);
		execvp(args[0], args.data());
		_exit(127);
	}
}

spawned::~spawned()
{
	if (pid_ > 0 && !reaped_) {
		kill(pid_, SIGKILL);
		waitpid(pid_, nullptr, 0);
	}
}

std::string spawned::out() const { return read_file(dir_.file("stdout")); }
std::string spawned::err() const { return read_file(dir_.file("stderr")); }

std::optional<int> spawned::wait(int ms)
{
	if (reaped_)
		return status_;
	bool done = wait_until([&] {
		pid_t r = waitpid(pid_, &status_, WNOHANG);
		return r == pid_;
	}, ms);
	if (!done)
		return std::nullopt;
	reaped_ = true;
	return status_;
}

bool spawned::wait_err(const std::string &text, int ms) const
{
	return wait_until([&] { return err().find(text) != std::string::npos; }, ms);
}

void spawned::signal(int signo) const
{
	if (pid_ > 0 && !reaped_)
		kill(pid_, signo);
}

bool have_root()
{
	return geteuid() == 0;
}

} // namespace testing_support
