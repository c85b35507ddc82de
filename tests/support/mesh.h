// A home on one PC per test suite: the CAP's vimbd and several simulated
// satellites on one bridge (tools/satellite/mesh). Torn down with everything
// inside when the object goes, also when the test fails.
#pragma once

#include "satellite.h"
#include "spawn.h"

#include <memory>
#include <string>
#include <vector>

namespace testing_support {

class mesh {
public:
	struct member {
		std::string address, mode;
		std::string object() const { return address + "-@kestrad"; }
	};

	// One satellite per mode, in order.
	explicit mesh(const std::vector<std::string> &modes);
	~mesh();
	mesh(const mesh &) = delete;
	mesh &operator=(const mesh &) = delete;

	bool up() const { return up_; }
	const std::vector<member> &satellites() const { return satellites_; }

	// WHERE: "cap", "switch" or a satellite's address.
	run_result exec(const std::string &where, const std::vector<std::string> &cmd, int ms = 20000) const;
	// A shell command line in WHERE: several steps for one namespace entry
	// (`gwvimb ARGS` is vimb against the CAP's vimbd).
	run_result sh(const std::string &where, const std::string &script, int ms = 20000) const;
	// vimb against the CAP's vimbd, from WHERE.
	run_result vimb(const std::string &where, const std::vector<std::string> &args) const;
	// The objects the CAP's vimbd lists, one call.
	std::vector<std::string> objects() const;
	// mesh fault readdress ADDR | drop | heal | vanish | return
	bool fault(const std::vector<std::string> &args) const;

	// A satellite's files, read from here.
	std::string file(const std::string &address, const std::string &path) const;
	std::string log(const std::string &address) const { return file(address, "kestrad.log"); }
	std::vector<call_record> calls(const std::string &address, const std::string &name) const;

private:
	temp_dir dir_;
	std::unique_ptr<spawned> launcher_;
	std::vector<member> satellites_;
	bool up_ = false;
};

} // namespace testing_support
