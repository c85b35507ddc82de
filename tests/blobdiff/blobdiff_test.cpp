// blob and blobmsg against the device's libubox: the hand-made cases of
// cases.txt and 100,000 generated records go through driver.c built against
// each library, and every line of the two outputs must agree.
//
// The device's side is compiled here from driver.c against
// $KESTRAD_REFERENCE (scripts/reference); without it the test skips.
#include "records.h"
#include "support/spawn.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>
#include <unistd.h>

using namespace blobdiff;
using testing_support::temp_dir;

namespace {

struct run_result {
	std::vector<std::string> lines; // one per record; "CRASH" where the driver died
	std::vector<size_t> crashed;
};

std::vector<std::string> split_lines(const std::string &s)
{
	std::vector<std::string> out;
	std::istringstream in(s);
	std::string line;
	while (std::getline(in, line))
		out.push_back(line);
	return out;
}

// Runs `driver` over the framed records in `input`; after a crash, again
// from the record after the one it died on.
run_result run_driver(const std::string &driver, const std::string &input, size_t count, const temp_dir &dir,
		      const std::string &side, bool hash)
{
	run_result res;
	std::string out_path = dir.file("out-" + side);
	while (res.lines.size() < count) {
		size_t from = res.lines.size();
		pid_t pid = fork();
		if (pid == 0) {
			int in = open(input.c_str(), O_RDONLY);
			int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
			if (in < 0 || out < 0)
				_exit(127);
			dup2(in, 0);
			dup2(out, 1);
			std::string f = std::to_string(from);
			execl(driver.c_str(), driver.c_str(), "--from", f.c_str(), hash ? "--hash" : nullptr,
			      static_cast<char *>(nullptr));
			_exit(127);
		}
		int status = 0;
		while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
		}
		auto got = split_lines(testing_support::read_file(out_path));
		res.lines.insert(res.lines.end(), got.begin(), got.end());
		if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
			if (res.lines.size() != count)
				ADD_FAILURE() << driver << ": " << res.lines.size() << " lines for " << count << " records";
			break;
		}
		if (!WIFSIGNALED(status) || res.lines.size() >= count) {
			ADD_FAILURE() << driver << " failed with status " << status;
			break;
		}
		res.crashed.push_back(res.lines.size());
		res.lines.push_back("CRASH");
	}
	res.lines.resize(count);
	return res;
}

std::string hex(const bytes &b)
{
	static const char digits[] = "0123456789abcdef";
	std::string s;
	for (uint8_t c : b) {
		s += digits[c >> 4];
		s += digits[c & 15];
	}
	return s;
}

const int max_shown = getenv("KESTRAD_BLOBDIFF_SHOW") ? atoi(getenv("KESTRAD_BLOBDIFF_SHOW")) : 8;

class BlobDiff : public ::testing::Test {
protected:
	void SetUp() override
	{
		const char *ref = getenv("KESTRAD_REFERENCE");
		if (!ref || !*ref)
			GTEST_SKIP() << "KESTRAD_REFERENCE unset: no device libubox to compare with (scripts/reference)";
		ours_ = std::string(KESTRAD_BIN_DIR) + "/blobdiff_driver";
		device_ = dir_.file("device_driver");
		std::string cmd = device_driver_command(KESTRAD_SOURCE_DIR, ref, device_);
		ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
	}

	// Both drivers over the records; the lines that differ, described.
	// `faults` are the records on which the device's library is known to
	// fault: there it must crash and ours must give `sound`.
	void compare(const std::vector<bytes> &records, const std::vector<std::string> &names, bool hash = false)
	{
		run_result ours, device;
		run_both(records, hash, ours, device);
		EXPECT_TRUE(ours.crashed.empty()) << "the project's library crashed on record " << ours.crashed[0];
		for (size_t c : device.crashed)
			ADD_FAILURE() << names[c] << ": the device's library crashed (" << hex(records[c]) << ")";
		std::vector<size_t> differ;
		for (size_t i = 0; i < records.size(); i++) {
			if (ours.lines[i] != device.lines[i])
				differ.push_back(i);
		}
		// Hashes differ: the lines themselves, of the first few.
		if (hash && !differ.empty()) {
			std::vector<bytes> some;
			for (size_t k = 0; k < differ.size() && k < static_cast<size_t>(max_shown); k++)
				some.push_back(records[differ[k]]);
			run_both(some, false, ours, device);
		}
		for (size_t k = 0; k < differ.size() && k < static_cast<size_t>(max_shown); k++) {
			size_t i = differ[k], line = hash ? k : i;
			ADD_FAILURE() << names[i] << " (" << hex(records[i]) << ")\n  device: " << device.lines[line]
				      << "\n  ours:   " << ours.lines[line];
		}
		EXPECT_EQ(differ.size(), 0u) << "of " << records.size() << " records";
	}

	void run_both(const std::vector<bytes> &records, bool hash, run_result &ours, run_result &device)
	{
		std::string file;
		for (const auto &r : records)
			append_framed(file, r);
		std::string input = dir_.file("records");
		std::ofstream(input, std::ios::binary) << file;
		// One driver per core.
		std::thread other([&] { device = run_driver(device_, input, records.size(), dir_, "device", hash); });
		ours = run_driver(ours_, input, records.size(), dir_, "ours", hash);
		other.join();
	}

	temp_dir dir_;
	std::string ours_, device_;
};

std::vector<policy_entry> policy_named(const std::string &which, std::vector<std::string> &names_store)
{
	static const char *types[] = {"unspec", "array", "table", "string", "int64",
				      "int32", "int16", "int8", "double"};
	if (which == "every")
		return every_type();
	if (which == "sync")
		return sync_policy();
	if (which == "mixed")
		return mixed_policy();
	if (which == "none")
		return {};
	std::vector<policy_entry> p;
	std::istringstream in(which);
	std::string e;
	names_store.reserve(64);
	while (std::getline(in, e, ',')) {
		size_t colon = e.find(':');
		std::string t = e.substr(0, colon), n = e.substr(colon + 1);
		int type = -1;
		for (int k = 0; k < 9; k++)
			if (t == types[k])
				type = k;
		EXPECT_GE(type, 0) << "policy type " << t;
		size_t star = n.find('*');
		if (star == 1)
			n = std::string(std::stoul(n.substr(2)), n[0]);
		names_store.push_back(n);
		p.push_back({type, n == "(null)" ? nullptr : names_store.back().c_str()});
	}
	return p;
}

bytes from_hex(const std::string &s)
{
	bytes b;
	std::string digits;
	for (char c : s)
		if (isxdigit(static_cast<unsigned char>(c)))
			digits += c;
	for (size_t i = 0; i + 1 < digits.size(); i += 2)
		b.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
	return b;
}

// cases.txt: NAME POLICY PAYLOAD, or NAME build HEX for a builder program.
TEST_F(BlobDiff, HandMadeCases)
{
	std::ifstream in(std::string(KESTRAD_SOURCE_DIR) + "/tests/blobdiff/cases.txt");
	ASSERT_TRUE(in) << "cases.txt";
	std::vector<bytes> records;
	std::vector<std::string> names;
	std::vector<std::string> store;
	std::string line;
	while (std::getline(in, line)) {
		if (line.empty() || line[0] == '#')
			continue;
		std::istringstream ls(line);
		std::string name, policy, rest;
		ls >> name >> policy;
		std::getline(ls, rest);
		names.push_back(name);
		if (policy == "build") {
			bytes prog = {'B'};
			bytes body = from_hex(rest);
			prog.insert(prog.end(), body.begin(), body.end());
			records.push_back(prog);
			continue;
		}
		bool null_data = rest.find("null") != std::string::npos;
		records.push_back(parse_record(policy_named(policy, store), from_hex(rest), null_data ? 1 : 0));
	}
	ASSERT_GE(records.size(), 40u);
	compare(records, names);
}

TEST_F(BlobDiff, HundredThousandMutatedMessages)
{
	size_t n = 100000;
	if (const char *e = getenv("KESTRAD_BLOBDIFF_RECORDS"))
		n = strtoul(e, nullptr, 10);
	std::vector<bytes> records = generate(20261208, n);
	std::vector<std::string> names;
	for (size_t i = 0; i < records.size(); i++)
		names.push_back("generated #" + std::to_string(i));
	compare(records, names, true);
	std::printf("%zu generated records compared\n", records.size());
}

} // namespace
