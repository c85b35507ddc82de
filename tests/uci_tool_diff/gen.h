// The cases uci_tool_diff runs, and the generator of command scripts.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace uci_tool_diff {

struct command {
	std::vector<std::string> args;
	bool raw = false;       // no -c c -t s before the arguments
	bool has_input = false; // else standard input is /dev/null
	std::string input;
};

struct test_case {
	std::string name;
	std::string origin; // where it was read, or which seed made it
	std::string differs; // a deliberate difference this case shows
	std::vector<std::string> dirs;
	std::vector<std::pair<std::string, std::string>> links; // path, target
	int device_limit_ms = 0; // a hang the device's tool is known for: kill it sooner
	std::vector<std::pair<std::string, std::string>> files;
	std::vector<command> cmds;
};

// Script `n` of the generator started with `seed`: the same pair gives the
// same script.
test_case generate_case(unsigned long seed, long n);

// The case in the case-file format.
std::string write_case(const test_case &c);

} // namespace uci_tool_diff
