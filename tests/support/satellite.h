// A simulated satellite per test: kestrad with the real paths of a device,
// its gateway's vimbd, stand-ins that record their calls. Torn down with
// everything inside when the object goes, also when the test fails.
#pragma once

#include "spawn.h"

#include <memory>
#include <string>
#include <vector>

namespace testing_support {

struct satellite_options {
	std::string mode = "re";
	std::string lan_address = "192.0.2.2"; // "none": br-lan without an address
	std::vector<std::string> gateways;     // default routes, in order
	bool start_kestrad = true;
	// Another kestrad binary (a cross build's) and the command line that
	// starts it (an emulator's, words split at spaces); vimbd and the
	// tools stay the host's.
	std::string kestrad_bin;
	std::string kestrad_emulator;
	// The device's ubusd, behind busrelay, as the gateway's bus instead of
	// vimbd; its socket inside is ubusd_socket.
	std::string ubusd;
	// false: the constructor only starts it, and wait_up() waits (for
	// satellites brought up side by side; a start is seconds of waiting).
	bool wait_up = true;
	// Boots as the device does (`satellite start --procd`, the userland of
	// $KESTRAD_USERLAND): procd starts kestrad from its package; exec()
	// enters the device, log() is its syslog.
	bool procd = false;
};

inline const char *const ubusd_socket = "/var/run/ubus/ubus.sock";

struct run_result {
	std::string out, err;
	int status; // exit status, or -1
};

// One call of a stand-in.
struct call_record {
	std::vector<std::string> argv;
	double start = 0;
	double end = 0; // 0 while it runs
	int status = -1; // -1 when it was killed
};

// The calls of stand-in NAME that a sandbox directory's records/ holds, by
// start time.
std::vector<call_record> read_calls(const std::string &dir, const std::string &name);

class satellite {
public:
	explicit satellite(const satellite_options &opts = {});
	~satellite();
	satellite(const satellite &) = delete;
	satellite &operator=(const satellite &) = delete;

	bool up() const { return up_; }
	bool wait_up();
	// The launcher's end (the device shut down), waiting up to `ms`.
	bool wait_down(int ms);
	// When procd was started (seconds since the epoch), 0 if it was not.
	double boot_start() const;
	const std::string &dir() const { return dir_.path(); }

	run_result exec(const std::vector<std::string> &cmd, int ms = 10000) const;
	run_result vimb(const std::vector<std::string> &args) const;
	// The published object's name, waiting up to `ms`; empty if none.
	std::string object(int ms = 5000) const;
	// svc start|stop|kill|restart vimbd|kestrad
	bool svc(const std::string &action, const std::string &service) const;

	std::string log() const;  // kestrad's stderr; with procd, the syslog
	std::string out() const;  // kestrad's stdout
	bool wait_log(const std::string &text, int ms) const;
	std::string config(const std::string &package) const;
	void set_config(const std::string &package, const std::string &text) const;

	// How a stand-in behaves from now on: shell assignments of status,
	// delay and output.
	void behave(const std::string &name, const std::string &assignments) const;
	std::vector<call_record> calls(const std::string &name) const;

private:
	temp_dir dir_;
	std::unique_ptr<spawned> launcher_;
	bool up_ = false;
	bool procd_ = false;
};

// Ends a sandbox's launcher with SIGKILL (its init, and with it everything
// in the PID namespace, goes too) and waits up to ms for the init whose pid
// init_pid_file holds to be gone.
void end_sandbox(spawned &launcher, const std::string &init_pid_file, int ms);

// The object kestrad publishes on the simulated satellite (its br-lan address).
inline const std::string kestrad_object = "192.0.2.2-@kestrad";

// What `vimb call` prints for a reply whose one field "return" is TEXT,
// written as JSON escapes it ("worker_get() error\\n").
inline std::string vimb_return(const std::string &text)
{
	return "{\n\t\"return\": \"" + text + "\"\n}\n";
}

} // namespace testing_support
