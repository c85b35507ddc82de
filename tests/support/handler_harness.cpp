#include "handler_harness.h"

#include "bus_peer.h"
#include "etc_config.h"
#include "proc.h"

#include "bus/connection.h"
#include "worker/worker.h"

#include <cstdlib>
#include <endian.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace testing_support {

using namespace ubus_wire;

namespace {

// Sent after the handler's replies: once the peer reads it, it has read
// everything the handler sent.
constexpr uint16_t sentinel_seq = 0xffff;
constexpr uint32_t sentinel_object = 0xffffffff;

reply decode(const struct blob_attr *data)
{
	reply out;
	const struct blob_attr *a;
	unsigned rem;
	blob_for_each_attr(a, data, rem) {
		reply_field f{blobmsg_name(a), blobmsg_type(a), ""};
		switch (blobmsg_type(a)) {
		case BLOBMSG_TYPE_STRING:
			f.value = blobmsg_get_string(const_cast<struct blob_attr *>(a));
			break;
		case BLOBMSG_TYPE_INT32:
			f.value = std::to_string(static_cast<int32_t>(blobmsg_get_u32(const_cast<struct blob_attr *>(a))));
			break;
		case BLOBMSG_TYPE_INT8:
			f.value = std::to_string(blobmsg_get_u8(const_cast<struct blob_attr *>(a)));
			break;
		default:
			break;
		}
		out.push_back(f);
	}
	return out;
}

} // namespace

request::request() : bytes_(sizeof(struct blob_attr)) {}
request::~request() = default;

request &request::raw(const void *data, size_t len)
{
	auto *p = static_cast<const uint8_t *>(data);
	bytes_.insert(bytes_.end(), p, p + len);
	return *this;
}

request &request::str(const char *name, const std::string &value)
{
	struct blob_buf b = {};
	blob_buf_init(&b, 0);
	// blobmsg_add_string stops at a NUL; the value goes in whole.
	blobmsg_add_field(&b, BLOBMSG_TYPE_STRING, name, value.c_str(), static_cast<unsigned>(value.size() + 1));
	raw(blob_data(b.head), blob_len(b.head));
	blob_buf_free(&b);
	return *this;
}

request &request::u32(const char *name, uint32_t value)
{
	struct blob_buf b = {};
	blob_buf_init(&b, 0);
	blobmsg_add_u32(&b, name, value);
	raw(blob_data(b.head), blob_len(b.head));
	blob_buf_free(&b);
	return *this;
}

struct blob_attr *request::msg()
{
	auto *attr = reinterpret_cast<struct blob_attr *>(bytes_.data());
	attr->id_len = htobe32(static_cast<uint32_t>(ATTR_DATA) << BLOB_ATTR_ID_SHIFT |
			       static_cast<uint32_t>(bytes_.size()));
	return attr;
}

handler_harness::handler_harness()
{
	uloop_init();
	if (!wk)
		worker_init();
	listen_fd_ = bus_peer::listen_unix(dir_.file("bus"));
	if (listen_fd_ < 0)
		return;
	std::thread hello([&] {
		int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
		daemon_ = std::make_unique<bus_peer>(fd);
		daemon_->out().reset();
		daemon_->send(MSG_HELLO, 0, 0x10);
	});
	ctx_ = ubus_connect(dir_.file("bus").c_str());
	hello.join();
	if (!ctx_)
		return;
	ubus_add_uloop(ctx_);
	vimb_ctx = ctx_;
}

handler_harness::~handler_harness()
{
	if (wk)
		worker_done();
	if (vimb_ctx == ctx_)
		vimb_ctx = nullptr;
	if (ctx_)
		ubus_free(ctx_);
	daemon_.reset();
	if (listen_fd_ >= 0)
		close(listen_fd_);
	uloop_done();
}

handler_result handler_harness::call(ubus_handler_t handler, request &req, const char *method)
{
	return call(handler, req.msg(), method);
}

handler_result handler_harness::call(ubus_handler_t handler, struct blob_attr *msg, const char *method)
{
	handler_result out{-1, {}};
	if (!ok())
		return out;
	seq_ = static_cast<uint16_t>(seq_ % 0xfffe + 1);
	struct ubus_request_data rd = {0x42, 0x1234, seq_, false};
	out.status = handler(ctx_, nullptr, &rd, method, msg);

	struct blob_buf empty = {};
	blob_buf_init(&empty, 0);
	struct ubus_request_data sentinel = {sentinel_object, 0, sentinel_seq, false};
	ubus_send_reply(ctx_, &sentinel, empty.head);
	blob_buf_free(&empty);

	while (auto m = daemon_->next(5000)) {
		if (m->seq == sentinel_seq && m->m.u32(ATTR_OBJID) == sentinel_object)
			break;
		if (m->type == MSG_DATA && m->seq == seq_ && m->m.tb[ATTR_DATA])
			out.replies.push_back(decode(m->m.tb[ATTR_DATA]));
	}
	return out;
}

bool handler_harness::run_until(const std::function<bool()> &pred, int ms)
{
	long long end = monotonic_ms() + ms;
	while (!pred()) {
		long long left = end - monotonic_ms();
		if (left <= 0)
			return false;
		uloop_run_timeout(static_cast<int>(left < 10 ? left : 10));
	}
	return true;
}

int busy_slots()
{
	int n = 0;
	for (int i = 0; i < WORKER_COUNT; i++)
		n += wk[i].in_use;
	return n;
}

void handler_files_test::SetUp()
{
	REQUIRE_ROOT();
	for (const char *sub : {"config", "bin", "scratch"})
		mkdir(dir.file(sub).c_str(), 0755);
	write_file(dir.file("bin/timeout"),
		   "#!/bin/sh\nprintf '%s\\0' \"$@\" >/run/timeout.argv.$$\n"
		   "while [ -e /run/hang ]; do sleep 0.05; done\n",
		   0755);
}

void handler_files_test::add_files(files config, files stand_ins)
{
	if (IsSkipped() || HasFatalFailure())
		return;
	for (const auto &[name, text] : config)
		write_file(conf + "/" + name, text);
	for (const auto &[name, script] : stand_ins)
		write_file(dir.file("bin/") + name, script, 0755);
}

void handler_files_test::in_private(const std::function<void(handler_harness &)> &fn)
{
	std::string bin = dir.file("bin");
	EXPECT_TRUE(with_etc_config(conf, dir.file("scratch"), [&] {
		ASSERT_EQ(mount("tmpfs", "/run", "tmpfs", 0, "mode=755"), 0);
		ASSERT_EQ(mount((bin + "/timeout").c_str(), "/usr/bin/timeout", nullptr, MS_BIND, nullptr), 0);
		setenv("PATH", (bin + ":/usr/sbin:/usr/bin:/sbin:/bin").c_str(), 1);
		handler_harness h;
		ASSERT_TRUE(h.ok());
		fn(h);
	}));
}

} // namespace testing_support
