#include "method_calls.h"

#include "proc.h"

#include <gtest/gtest.h>

#include <sstream>
#include <sys/stat.h>

namespace testing_support {

namespace {
const std::string obj = "192.0.2.2-@kestrad";

std::string quoted(const std::string &s)
{
	std::string q = "'";
	for (char c : s)
		q += c == '\'' ? std::string("'\\''") : std::string(1, c);
	return q + "'";
}
} // namespace

const std::map<std::string, std::string> method_examples = {
	{"test", R"({"hello":"abc"})"},
	{"notice", R"({"ssid":"SG9tZQ==","passwd":"c2VjcmV0MTI="})"},
	{"access", R"({"policy":1,"list":"02:00:00:00:00:01;02:00:00:00:00:02","level":1,"auth":0})"},
	{"whc_sync", R"({"ssid":"Caf\u00e9 net","pswd":"secret12","ch_2g":"6","timezone":"UTC"})"},
	{"whc_quire", R"({"cap_devid":"CAP0001","webpasswd":"admin123"})"},
	{"bind", R"({"record":"r1","deviceID":"D1","sign":"S1"})"},
	{"smart_sync", R"({"msg":"hello"})"},
	{"common_set", R"({"action":"status"})"},
};

std::vector<std::string> methods_of(const std::string &listing)
{
	std::vector<std::string> methods;
	std::istringstream lines(listing);
	for (std::string line; std::getline(lines, line);) {
		if (line.size() >= 3 && line[0] == '\t')
			methods.push_back(line.substr(2, line.find('"', 2) - 2));
	}
	return methods;
}

std::map<std::string, std::string> run_mode(const satellite &sat, const std::vector<std::string> &client,
					    std::vector<std::string> methods)
{
	std::map<std::string, std::string> seen;
	sat.behave("readmac", "output='02:00:00:00:aa:bb'");
	sat.behave("bhstat", "status=17");
	std::vector<std::string> list = client;
	list.insert(list.end(), {"-v", "list"});
	run_result listing = sat.exec(list);
	// The object's id is the bus daemon's count of what connected and
	// published before it; vimbd, ubusd and the device's library count
	// differently.
	std::string ids_out = listing.out;
	if (size_t at = ids_out.find("' @"); at != std::string::npos)
		ids_out.replace(at + 3, 8, "ID");
	seen["list -v"] = ids_out + listing.err;

	// Every call in one shell inside: a `satellite exec` each would be
	// most of the test's time.
	const std::string out = sat.dir() + "/calls";
	mkdir(out.c_str(), 0755);
	std::string script = "cd " + quoted(out) + " || exit 1\n";
	std::vector<std::string> calls;
	if (methods.empty())
		methods = methods_of(listing.out);
	for (const std::string &method : methods) {
		auto example = method_examples.find(method);
		for (const std::string &args :
		     {example == method_examples.end() ? std::string("{}") : example->second, std::string("{}")}) {
			std::string n = std::to_string(calls.size());
			calls.push_back(method + " " + args);
			script += "\"$@\" call " + obj + " " + method + " " + quoted(args) + " >" + n + ".out 2>" + n +
				  ".err; echo $? >" + n + ".status\n";
		}
	}
	script += "cat /var/run/kestrad_whc_sync >settings 2>/dev/null\nexit 0\n";
	std::vector<std::string> shell = {"sh", "-c", script, "sh"};
	shell.insert(shell.end(), client.begin(), client.end());
	run_result ran = sat.exec(shell, 120000);
	EXPECT_EQ(ran.status, 0) << ran.err;
	for (size_t i = 0; i < calls.size(); i++) {
		std::string n = out + "/" + std::to_string(i);
		seen[calls[i]] = read_file(n + ".out") + "status " + read_file(n + ".status") + read_file(n + ".err");
	}
	seen["settings file"] = read_file(out + "/settings");
	for (const char *package : {"wireless", "devicelist", "bind", "account", "marovela", "network"}) {
		seen[std::string("file ") + package] = sat.config(package);
	}
	return seen;
}

std::vector<std::vector<std::string>> argv_of(const satellite &sat, const char *script)
{
	std::vector<std::vector<std::string>> all;
	for (const auto &c : sat.calls(script))
		all.push_back(c.argv);
	return all;
}

} // namespace testing_support
