// One call of "test" to every kestrad object on a CAP's vimbd, ROUNDS
// times: first to each in turn, then to all at once (every invoke written
// before any reply is read). Prints p50 and p99 per call for both and the
// median time of a whole push to all; with SAMPLES_PREFIX, each call's
// microseconds go to PREFIX.turn and PREFIX.burst.
//   mesh_calls ADDRESS:PORT ROUNDS [SAMPLES_PREFIX]
// With --watch, after a restart of vimbd that began at T0 (seconds of the
// real-time clock): one line "SECONDS COUNT" each time the number of
// kestrad objects grows, until there are N or LIMIT seconds have passed.
//   mesh_calls ADDRESS:PORT --watch N LIMIT T0
#include <libubus.h>

#include "wire.h"

#include <arpa/inet.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;
using ubus_wire::io;
using ubus_wire::message;

std::vector<uint32_t> ids;

void on_object(struct ubus_context *, struct ubus_object_data *obj, void *)
{
	std::string path = obj->path;
	if (path.size() > 9 && path.compare(path.size() - 9, 9, "-@kestrad") == 0)
		ids.push_back(obj->id);
}

bool parse_address(const std::string &text, struct sockaddr_in &sin)
{
	size_t colon = text.rfind(':');
	sin = {};
	sin.sin_family = AF_INET;
	if (colon == std::string::npos || !inet_aton(text.substr(0, colon).c_str(), &sin.sin_addr))
		return false;
	sin.sin_port = htons(static_cast<uint16_t>(atoi(text.c_str() + colon + 1)));
	return true;
}

// A bare bus connection: invokes written by hand, replies read as they come.
struct raw_client {
	int fd = -1;
	ubus_wire::stream s;
	ubus_wire::body b;
	struct blob_buf args = {};
	uint16_t seq = 0;

	~raw_client()
	{
		if (fd >= 0)
			close(fd);
		blob_buf_free(&args);
	}

	bool open(const struct sockaddr_in &sin)
	{
		fd = socket(AF_INET, SOCK_STREAM, 0);
		if (fd < 0 || connect(fd, reinterpret_cast<const struct sockaddr *>(&sin), sizeof(sin)) < 0)
			return false;
		ubus_wire::tune_tcp(fd);
		blob_buf_init(&args, 0);
		blobmsg_add_string(&args, "hello", "mesh");
		message m;
		return next(m) && m.type == ubus_wire::MSG_HELLO;
	}

	// The next whole message, waiting for it.
	bool next(message &m)
	{
		for (;;) {
			bool bad = false;
			if (s.next(m, bad))
				return true;
			if (bad)
				return false;
			s.consume();
			struct pollfd pfd = {fd, POLLIN, 0};
			if (poll(&pfd, 1, 10000) <= 0 || s.fill(fd) != io::ok)
				return false;
		}
	}

	uint16_t queue_invoke(uint32_t id)
	{
		b.reset();
		b.put_u32(ubus_wire::ATTR_OBJID, id);
		b.put_string(ubus_wire::ATTR_METHOD, "test");
		b.put_raw(ubus_wire::ATTR_DATA, blob_data(args.head), blob_len(args.head));
		s.queue(ubus_wire::MSG_INVOKE, ++seq, id, b.head());
		return seq;
	}

	bool flush()
	{
		for (;;) {
			io r = s.flush(fd);
			if (r == io::ok)
				return true;
			if (r != io::blocked)
				return false;
			struct pollfd pfd = {fd, POLLOUT, 0};
			poll(&pfd, 1, 1000);
		}
	}
};

double us_since(clock_type::time_point t0)
{
	return std::chrono::duration<double, std::micro>(clock_type::now() - t0).count();
}

void report(const char *what, std::vector<double> v, const std::string &file)
{
	if (!file.empty()) {
		if (FILE *f = fopen(file.c_str(), "w")) {
			for (double x : v)
				fprintf(f, "%.2f\n", x);
			fclose(f);
		}
	}
	std::sort(v.begin(), v.end());
	printf("%s: %zu calls, p50 %.1f us, p99 %.1f us\n", what, v.size(), v[v.size() / 2], v[v.size() * 99 / 100]);
}

double realtime_s()
{
	struct timespec ts;
	clock_gettime(CLOCK_REALTIME, &ts);
	return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

int watch(const struct sockaddr_in &sin, size_t n, double limit, double t0)
{
	struct ubus_context *ctx = nullptr;
	size_t seen = 0;
	while (realtime_s() - t0 < limit) {
		if (!ctx)
			ctx = vimb_connect(&sin);
		ids.clear();
		if (ctx && ubus_lookup(ctx, nullptr, on_object, nullptr) != 0) {
			ubus_free(ctx);
			ctx = nullptr;
		}
		if (ids.size() > seen) {
			seen = ids.size();
			printf("%.3f %zu\n", realtime_s() - t0, seen);
			fflush(stdout);
		}
		if (seen >= n)
			break;
		usleep(20000);
	}
	ubus_free(ctx);
	return seen >= n ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
	if (argc == 6 && strcmp(argv[2], "--watch") == 0) {
		struct sockaddr_in sin;
		if (!parse_address(argv[1], sin))
			return 1;
		return watch(sin, static_cast<size_t>(atoi(argv[3])), atof(argv[4]), atof(argv[5]));
	}
	if (argc != 3 && argc != 4) {
		fprintf(stderr, "usage: mesh_calls ADDRESS:PORT ROUNDS [SAMPLES_PREFIX]\n");
		return 1;
	}
	struct sockaddr_in sin;
	int rounds = atoi(argv[2]);
	if (!parse_address(argv[1], sin) || rounds <= 0) {
		fprintf(stderr, "mesh_calls: bad address or rounds\n");
		return 1;
	}
	std::string prefix = argc == 4 ? argv[3] : "";
	struct ubus_context *ctx = vimb_connect(&sin);
	if (!ctx || ubus_lookup(ctx, nullptr, on_object, nullptr) != 0 || ids.empty()) {
		fprintf(stderr, "mesh_calls: no kestrad objects on %s\n", argv[1]);
		return 1;
	}
	ubus_free(ctx);

	raw_client c;
	if (!c.open(sin)) {
		fprintf(stderr, "mesh_calls: cannot connect to %s\n", argv[1]);
		return 1;
	}
	size_t n = ids.size();
	std::vector<double> turn, burst, pushes;
	message m;
	for (int r = 0; r < rounds; r++) {
		for (uint32_t id : ids) {
			auto t0 = clock_type::now();
			uint16_t seq = c.queue_invoke(id);
			if (!c.flush())
				return 1;
			do {
				if (!c.next(m))
					return fprintf(stderr, "mesh_calls: connection lost\n"), 1;
			} while (m.type != ubus_wire::MSG_STATUS || m.seq != seq);
			turn.push_back(us_since(t0));
		}
	}
	for (int r = 0; r < rounds; r++) {
		auto t0 = clock_type::now();
		uint16_t first = static_cast<uint16_t>(c.seq + 1);
		for (uint32_t id : ids)
			c.queue_invoke(id);
		if (!c.flush())
			return 1;
		for (size_t done = 0; done < n;) {
			if (!c.next(m))
				return fprintf(stderr, "mesh_calls: connection lost\n"), 1;
			if (m.type == ubus_wire::MSG_STATUS && static_cast<uint16_t>(m.seq - first) < n) {
				burst.push_back(us_since(t0));
				done++;
			}
		}
		pushes.push_back(us_since(t0));
	}
	printf("%zu objects, %d rounds\n", n, rounds);
	report("in turn", turn, prefix.empty() ? "" : prefix + ".turn");
	report("all at once", burst, prefix.empty() ? "" : prefix + ".burst");
	std::sort(pushes.begin(), pushes.end());
	printf("whole push to all: median %.1f us\n", pushes[pushes.size() / 2]);
	return 0;
}
