// blobmsg_parse against the policy of every method the daemon publishes:
// the first byte picks the method, the rest is the argument table's payload.
// With $KESTRAD_REFERENCE set, the device's libubox is the oracle: the
// payload goes through driver.c (tests/blobdiff) here, against the
// project's library, and in a child process built against the device's,
// and the two lines must agree. Either way, every field found must be safe
// to read as its type says.
#include "bus/objects.h"
#include "fuzz_log.h"
#include "records.h"

extern "C" void blobdiff_record(const unsigned char *rec, size_t n, FILE *out);

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::vector<const struct ubus_method *> methods;

void collect(const struct ubus_object &obj)
{
	for (int i = 0; i < obj.n_methods; i++) {
		bool seen = false;
		for (const auto *m : methods)
			seen = seen || m->policy == obj.methods[i].policy;
		if (!seen)
			methods.push_back(&obj.methods[i]);
	}
}

// The device's side: driver.c built against $KESTRAD_REFERENCE, in a
// child process (both libraries export the same names), answering each
// record with a hash of its line.
struct oracle {
	pid_t pid = -1;
	int to = -1, from = -1;
};
oracle device;

void start_oracle()
{
	const char *ref = getenv("KESTRAD_REFERENCE");
	if (!ref || !*ref) {
		fprintf(stdout, "KESTRAD_REFERENCE unset: blobmsg_parse is not compared with the device's\n");
		return;
	}
	char dir[] = "/tmp/kestrad-oracle-XXXXXX";
	if (!mkdtemp(dir))
		abort();
	std::string bin = std::string(dir) + "/driver";
	std::string cmd = blobdiff::device_driver_command(KESTRAD_SOURCE_DIR, ref, bin);
	if (system(cmd.c_str()) != 0) {
		fprintf(stdout, "cannot build the oracle: %s\n", cmd.c_str());
		abort();
	}
	// Close-on-exec, or the driver would hold its own stdin's write end and
	// never see the end of its input: it would outlive the target.
	int in[2], out[2];
	if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC))
		abort();
	device.pid = fork();
	if (device.pid == 0) {
		dup2(in[0], 0);
		dup2(out[1], 1);
		execl(bin.c_str(), bin.c_str(), "--hash", static_cast<char *>(nullptr));
		_exit(127);
	}
	close(in[0]);
	close(out[1]);
	device.to = in[1];
	device.from = out[0];
	signal(SIGPIPE, SIG_IGN);
	static std::string made;
	made = dir;
	atexit([] { (void)system(("rm -rf " + made).c_str()); });
}

uint64_t fnv(const char *p, size_t n)
{
	uint64_t h = 14695981039346656037ULL;
	for (size_t k = 0; k < n; k++)
		h = (h ^ static_cast<unsigned char>(p[k])) * 1099511628211ULL;
	return h;
}

void compare_with_device(const blobdiff::bytes &rec)
{
	static char line[1 << 20];
	FILE *f = fmemopen(line, sizeof(line), "w");
	blobdiff_record(rec.data(), rec.size(), f);
	fflush(f);
	size_t len = static_cast<size_t>(ftell(f));
	fclose(f);
	char want[32];
	snprintf(want, sizeof(want), "%016llx\n", static_cast<unsigned long long>(fnv(line, len)));

	std::string framed;
	blobdiff::append_framed(framed, rec);
	if (write(device.to, framed.data(), framed.size()) != static_cast<ssize_t>(framed.size())) {
		fprintf(stdout, "the device's driver is gone\n");
		abort();
	}
	char got[17];
	size_t have = 0;
	while (have < sizeof(got)) {
		ssize_t n = read(device.from, got + have, sizeof(got) - have);
		if (n <= 0) {
			fprintf(stdout, "the device's libubox crashed on this input\n");
			abort();
		}
		have += static_cast<size_t>(n);
	}
	if (memcmp(got, want, sizeof(got)) != 0) {
		fprintf(stdout, "differs from the device's libubox; ours: %.*s", static_cast<int>(len), line);
		abort();
	}
}

// What a handler does with a field must stay inside the payload.
void read_fields(const struct ubus_method &m, struct blob_attr **tb, const uint8_t *end)
{
	for (int i = 0; i < m.n_policy; i++) {
		struct blob_attr *a = tb[i];
		if (!a)
			continue;
		if (reinterpret_cast<const uint8_t *>(a) + blob_raw_len(a) > end)
			abort();
		switch (m.policy[i].type) {
		case BLOBMSG_TYPE_STRING: {
			const char *s = blobmsg_get_string(a);
			if (strnlen(s, blobmsg_data_len(a)) >= blobmsg_data_len(a))
				abort(); // not terminated inside the field
			break;
		}
		case BLOBMSG_TYPE_INT32:
			if (blobmsg_data_len(a) != 4)
				abort();
			(void)blobmsg_get_u32(a);
			break;
		case BLOBMSG_TYPE_TABLE:
		case BLOBMSG_TYPE_ARRAY:
			(void)blobmsg_check_array(a, BLOBMSG_TYPE_UNSPEC);
			break;
		default:
			break;
		}
	}
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	fuzz_log_to_null();
	collect(kestrad_master_vimb_object);
	collect(kestrad_vimb_object);
	collect(kestrad_re_vimb_object);
	collect(kestrad_lanAP_vimb_object);
	start_oracle();
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 1)
		return 0;
	const struct ubus_method &m = *methods[data[0] % methods.size()];
	// An exact copy, so that ASan sees any read past the payload; aligned
	// as a message body is.
	size_t len = size - 1;
	auto *payload = static_cast<uint8_t *>(malloc(len ? len : 1));
	memcpy(payload, data + 1, len);
	std::vector<struct blob_attr *> tb(static_cast<size_t>(m.n_policy) + 1);
	blobmsg_parse(m.policy, m.n_policy, tb.data(), len ? payload : nullptr, static_cast<unsigned>(len));
	read_fields(m, tb.data(), payload + len);
	free(payload);

	if (device.pid > 0) {
		std::vector<blobdiff::policy_entry> policy;
		for (int i = 0; i < m.n_policy; i++)
			policy.push_back({m.policy[i].type, m.policy[i].name});
		compare_with_device(blobdiff::parse_record(policy, blobdiff::bytes(data + 1, data + size)));
	}
	return 0;
}
