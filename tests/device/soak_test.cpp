// Many calls on the simulated satellite through one bus connection
// (tests/soak/soak_client.cpp): judged by growth, not by time. After the
// last call kestrad's RssAnon is within a page of, and its descriptors equal
// to, what they were at call 1,000; no child is left, all 20 worker slots
// are free and kestrad still answers. The time, calls per second and CPU
// time per call are printed as figures. $KESTRAD_SOAK_CALLS sets the count
// (5,000 by default); $KESTRAD_SOAK_VALGRIND=1 runs kestrad under valgrind
// memcheck.
#include "support/proc.h"
#include "support/satellite.h"
#include "support/spawn.h"
#include "support/method_calls.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fstream>
#include <map>
#include <sstream>
#include <unistd.h>

using namespace testing_support;

namespace {

long env_long(const char *name, long fallback)
{
	const char *v = getenv(name);
	return v && *v ? atol(v) : fallback;
}

struct sample {
	long rss_kb;
	int fds, children;
};

TEST(Soak, AFixedMixLeavesNothingBehind)
{
	REQUIRE_ROOT();
	const long calls = env_long("KESTRAD_SOAK_CALLS", 5000);
	const bool valgrind = env_long("KESTRAD_SOAK_VALGRIND", 0) != 0;
	temp_dir vg;
	satellite_options opts;
	if (valgrind)
		opts.kestrad_emulator = "valgrind --leak-check=full --show-leak-kinds=definite,indirect "
					"--errors-for-leak-kinds=definite,indirect --log-file=" +
					vg.path() + "/memcheck.%p.log";
	satellite sat(opts);
	ASSERT_TRUE(sat.up());
	std::ofstream(sat.dir() + "/state/no-records").put('\n');
	std::string object = sat.object(valgrind ? 60000 : 5000);
	ASSERT_FALSE(object.empty()) << sat.log();
	std::string pid = testing_support::read_file(sat.dir() + "/state/kestrad.pid");
	ASSERT_FALSE(pid.empty());
	pid.erase(pid.find_last_not_of("\n") + 1);

	// Only a guard against a hang (each call also has its own 10 s): the
	// time itself is a figure, since this machine's process starts set it.
	const long per_call_ms = valgrind ? 400 : 100;
	auto run = sat.exec({bin_path("soak_client"), object, pid, std::to_string(calls), "20261208"},
			    static_cast<int>(600 * 1000 + calls * per_call_ms));
	ASSERT_EQ(run.status, 0) << run.err << run.out << sat.log().substr(0, 4000);
	std::cout << run.out;

	std::map<long, sample> marks;
	std::map<long, std::pair<long, long>> cpu; // kestrad's ms, its children's
	double seconds = 0;
	std::istringstream lines(run.out);
	for (std::string line; std::getline(lines, line);) {
		std::istringstream words(line);
		std::string kind;
		words >> kind;
		if (kind == "mark") {
			long at;
			sample s;
			words >> at >> s.rss_kb >> s.fds >> s.children;
			marks[at] = s;
		} else if (kind == "cpu_ms") {
			long at;
			words >> at >> cpu[at].first >> cpu[at].second;
		} else if (kind == "seconds") {
			words >> seconds;
		} else if (kind == "replies") {
			std::string text;
			words >> text;
			// Every call did its work, or found every slot taken while
			// the stand-ins of earlier ones ran; nothing failed.
			bool busy = line.find("worker_get() error") != std::string::npos ||
				    line.find(" fail, sync work active!") != std::string::npos;
			EXPECT_TRUE(text.find(":success") != std::string::npos || busy) << line;
		}
	}
	ASSERT_TRUE(marks.count(1000) && marks.count(calls) && cpu.count(calls)) << run.out;
	const sample &first = marks[1000], &last = marks[calls];
	const auto [self_ms, children_ms] = cpu[calls];
	printf("soak: %ld calls in %.1f s, %.1f calls per second; CPU per call: kestrad %.2f ms, its children "
	       "%.2f ms; RssAnon %ld -> %ld kB, descriptors %d -> %d, children %d\n",
	       calls, seconds, seconds > 0 ? calls / seconds : 0.0, double(self_ms) / calls,
	       double(children_ms) / calls, first.rss_kb, last.rss_kb, first.fds, last.fds, last.children);
	EXPECT_EQ(last.children, 0); // zombies included
	EXPECT_EQ(last.fds, first.fds);
	if (!valgrind) { // valgrind's own heap is in RssAnon too
		const long page_kb = sysconf(_SC_PAGESIZE) / 1024;
		// The heap's highest block no longer rises after the first few
		// hundred calls, but a short run on a fresh machine still touched
		// three new pages between calls 1,000 and 5,000; it keeps 64 kB,
		// the long run one page.
		const long slack_kb = calls >= 100000 ? page_kb : 64;
		EXPECT_LE(last.rss_kb, first.rss_kb + slack_kb);
		EXPECT_GE(last.rss_kb, first.rss_kb - page_kb);
		for (const auto &[at, s] : marks) {
			if (at > 50000) {
				EXPECT_LE(s.rss_kb, marks[50000].rss_kb) << "after call " << at;
			}
		}
	}

	// kestrad still answers a call of its own, from a new client.
	auto answer = sat.vimb({"call", object, "access", R"({"policy":0,"list":""})"});
	EXPECT_EQ(answer.status, 0) << answer.err;
	EXPECT_NE(answer.out.find("\"return\": \"success\""), std::string::npos) << answer.out;

	// Every slot free: 20 calls whose stand-in hangs all start, a 21st
	// finds none.
	sat.behave(whc_sync_script_name, "delay=20");
	auto slots = sat.exec({bin_path("soak_client"), object, pid, "0", "1", "21"}, 120 * 1000);
	EXPECT_NE(slots.out.find("slots success 20\n"), std::string::npos) << slots.out << slots.err;
	EXPECT_NE(slots.out.find("slots  fail, sync work active! 1\n"), std::string::npos) << slots.out;

	if (valgrind) {
		// Let the hanging workers end, then SIGTERM: the handler's _exit
		// makes memcheck write its summary.
		EXPECT_TRUE(testing_support::wait_until([&] {
			return sat.exec({"sh", "-c", "cat /proc/" + pid + "/task/" + pid + "/children"}).out.empty();
		}, 60000));
		ASSERT_TRUE(sat.svc("stop", "kestrad"));
		std::string summary;
		ASSERT_TRUE(testing_support::wait_until([&] {
			summary.clear();
			if (DIR *d = opendir(vg.path().c_str())) {
				while (struct dirent *e = readdir(d))
					if (e->d_name[0] != '.')
						summary += testing_support::read_file(vg.path() + "/" + e->d_name);
				closedir(d);
			}
			return summary.find("ERROR SUMMARY") != std::string::npos;
		}, 60000)) << summary;
		std::cout << summary.substr(summary.find("HEAP SUMMARY")) << "\n";
		EXPECT_NE(summary.find("ERROR SUMMARY: 0 errors"), std::string::npos) << summary;
		EXPECT_EQ(summary.find("definitely lost: "), summary.find("definitely lost: 0 bytes")) << summary;
		EXPECT_EQ(summary.find("indirectly lost: "), summary.find("indirectly lost: 0 bytes")) << summary;
	}
}

} // namespace
