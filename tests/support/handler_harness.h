// Calling a method handler in-process, on a real bus context, and reading
// back what it replied. The context is connected over a unix socket to a
// bus_peer that plays the bus daemon; the loop is initialised and the worker
// pool `wk` exists for the harness's lifetime (both torn down with it, every
// still running child killed).
#pragma once

#include <libubus.h>

#include "spawn.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace testing_support {

class bus_peer;

// One field of a reply. `value` is the string for a string field and the
// decimal number for an integer field.
struct reply_field {
	std::string name;
	int type; // enum blobmsg_type
	std::string value;
	bool operator==(const reply_field &) const = default;
};
using reply = std::vector<reply_field>;

// The reply most handlers give: the one string field "return".
inline reply returned(const std::string &text)
{
	return {{"return", BLOBMSG_TYPE_STRING, text}};
}

struct handler_result {
	int status;                 // what the handler returned
	std::vector<reply> replies; // one per ubus_send_reply, in order
};

// A request message: blobmsg fields in the order they are added.
class request {
public:
	request();
	~request();
	request(const request &) = delete;
	request &operator=(const request &) = delete;

	request &str(const char *name, const std::string &value);
	request &u32(const char *name, uint32_t value);
	// Bytes appended to the payload as they are (a malformed field, say).
	request &raw(const void *data, size_t len);
	// The attribute a handler is given; valid until the next change.
	struct blob_attr *msg();

private:
	std::vector<uint8_t> bytes_; // header + payload
};

class handler_harness {
public:
	handler_harness();
	~handler_harness();
	handler_harness(const handler_harness &) = delete;
	handler_harness &operator=(const handler_harness &) = delete;

	bool ok() const { return ctx_ != nullptr; }
	struct ubus_context *ctx() const { return ctx_; }

	// Calls `handler` as the library would for a request to `method`, and
	// returns once every reply it sent has been read back.
	handler_result call(ubus_handler_t handler, request &req, const char *method = "");
	handler_result call(ubus_handler_t handler, struct blob_attr *msg, const char *method = "");

	// Runs the loop until `pred` holds or `ms` have passed.
	bool run_until(const std::function<bool()> &pred, int ms);

private:
	temp_dir dir_;
	int listen_fd_ = -1;
	struct ubus_context *ctx_ = nullptr;
	std::unique_ptr<bus_peer> daemon_;
	uint16_t seq_ = 0;
};

// The slots of the pool `wk` that are taken.
int busy_slots();

// A fixture for handler tests that touch files: `conf` is the directory a
// child will see as /etc/config (fill it in SetUp, after this one's, which
// may skip), `dir/bin` holds stand-ins found first on PATH, and
// /usr/bin/timeout becomes a stand-in that records its arguments
// NUL-separated in /run/timeout.argv.PID and hangs while /run/hang exists.
class handler_files_test : public ::testing::Test {
protected:
	void SetUp() override;

	// Writes each (package, text) into conf and each (name, script) as an
	// executable into dir/bin; nothing once SetUp skipped or failed.
	using files = std::initializer_list<std::pair<const char *, std::string>>;
	void add_files(files config, files stand_ins = {});

	// Runs fn in a forked child that sees conf at /etc/config, a fresh tmpfs
	// at /run and the stand-in timeout; the harness is made there, after the
	// mount namespace, which needs a single thread.
	void in_private(const std::function<void(handler_harness &)> &fn);

	temp_dir dir;
	std::string conf = dir.file("config");
};

} // namespace testing_support
