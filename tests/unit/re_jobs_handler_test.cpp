// bind, smart_sync and common_set called in-process: their replies, the
// slot each one fills (time-out, armed timer), and a full pool.
#include "core/log.h"
#include "methods/bind.h"
#include "methods/common_set.h"
#include "worker/worker.h"

#include "support/capture.h"
#include "support/handler_harness.h"
#include "support/proc.h"

#include <gtest/gtest.h>

#include <regex>

using namespace testing_support;

namespace {

class ReJobHandlers : public ::testing::Test {
protected:
	void SetUp() override
	{
		log_mode_set(LOG_MODE_STDERR);
		log_level = 2; // quiet but where a test reads the lines
		ASSERT_TRUE(h_.ok());
	}
	void TearDown() override
	{
		log_level = LOG_LEVEL_DEBUG;
		log_mode_set(LOG_MODE_SYSLOG);
	}

	template <typename F>
	static std::string debug_log(F fn)
	{
		log_level = LOG_LEVEL_DEBUG;
		std::string out = capture_stderr(fn);
		log_level = 2;
		return out;
	}

	std::vector<reply> replies(ubus_handler_t handler, request &req)
	{
		handler_result r = h_.call(handler, req);
		EXPECT_EQ(r.status, 0);
		return r.replies;
	}

	// The one slot a call took, before the loop could reap its child.
	static worker *taken_slot()
	{
		worker *found = nullptr;
		for (int i = 0; i < WORKER_COUNT; i++) {
			if (wk[i].in_use) {
				EXPECT_EQ(found, nullptr) << "more than one slot taken";
				found = &wk[i];
			}
		}
		return found;
	}

	handler_harness h_;
};

// Names as the device's own calls spell them.
const ubus_handler_t bind_h = kestrad_handle_whc_client_bind;
const ubus_handler_t smart_h = kestrad_handle_whc_smart_msg;
const ubus_handler_t common_h = kestrad_handle_whc_client_common_set_api;

TEST_F(ReJobHandlers, RequestsThatStartNothingGetTheirReplyText)
{
	// As on the device: a field whose length runs past the payload ends the
	// parse without an error and is absent; a string field without a value
	// is refused.
	const uint8_t cut[] = {0x83, 0x00, 0x00, 0x40, 0x00, 0x03, 'm', 's', 'g', 0, 0, 0};
	const uint8_t broken[] = {0x83, 0x00, 0x00, 0x0c, 0x00, 0x03, 'm', 's', 'g', 0, 0, 0};
	struct {
		ubus_handler_t handler;
		std::function<void(request &)> fill;
		const char *text;
	} cases[] = {
		{bind_h, [](request &) {}, "parse param failed"},
		{bind_h, [](request &r) { r.str("record", "R").str("deviceID", "D"); }, "parse param failed"},
		{bind_h, [](request &r) { r.u32("record", 1).str("deviceID", "D").str("sign", "S"); }, "parse param failed"},
		{bind_h, [&](request &r) { r.raw(broken, sizeof broken); }, "blobmsg_parse error"},
		{bind_h, [&](request &r) { r.raw(cut, sizeof cut); }, "parse param failed"},
		{smart_h, [](request &) {}, "parse param failed"},
		{smart_h, [](request &r) { r.u32("msg", 2); }, "parse param failed"},
		{smart_h, [&](request &r) { r.raw(broken, sizeof broken); }, "blobmsg_parse error"},
		{smart_h, [&](request &r) { r.raw(cut, sizeof cut); }, "parse param failed"},
		{common_h, [](request &) {}, "api not found"},
		{common_h, [](request &r) { r.u32("action", 1).str("other", "x"); }, "api not found"},
		{common_h, [&](request &r) { r.raw(broken, sizeof broken); }, "blobmsg_parse error"},
		{common_h, [&](request &r) { r.raw(cut, sizeof cut); }, "api not found"},
	};
	for (auto &c : cases) {
		SCOPED_TRACE(c.text);
		request req;
		c.fill(req);
		EXPECT_EQ(replies(c.handler, req), std::vector<reply>{returned(c.text)});
		EXPECT_EQ(taken_slot(), nullptr);
	}
}

// The long limits are shown here rather than waited for: the slot's
// time-out and what is left on its timer right after the call.
TEST_F(ReJobHandlers, EachJobArmsItsSlotWithItsTimeout)
{
	struct {
		ubus_handler_t handler;
		std::function<void(request &)> fill;
		int32_t timeout;
	} cases[] = {
		{bind_h, [](request &r) { r.str("record", "R").str("deviceID", "D").str("sign", "S"); }, 5},
		{smart_h, [](request &r) { r.str("msg", ""); }, 5},
		{common_h, [](request &r) { r.str("log_upload", "k"); }, 90},
		{common_h, [](request &r) { r.str("newgw", "g"); }, 65},
		{common_h, [](request &r) { r.str("action", "a"); }, 30},
	};
	for (auto &c : cases) {
		SCOPED_TRACE(c.timeout);
		request req;
		c.fill(req);
		long long before = testing_support::monotonic_ms();
		EXPECT_EQ(replies(c.handler, req), std::vector<reply>{returned("success")});
		worker *slot = taken_slot();
		ASSERT_NE(slot, nullptr);
		int left = uloop_timeout_remaining(&slot->timer);
		// up to the reading of the timer: a busy machine may pause us anywhere before it
		long long took = testing_support::monotonic_ms() - before;
		EXPECT_EQ(slot->timeout, c.timeout);
		EXPECT_EQ(slot->env, nullptr);
		EXPECT_EQ(slot->proc.cb, task_complete);
		EXPECT_TRUE(slot->timer.pending);
		EXPECT_LE(left, c.timeout * 1000);
		EXPECT_GE(left, c.timeout * 1000 - took - 1);
		kill_process(slot);
	}
}

TEST_F(ReJobHandlers, LogLinesCarryTheHandlersNames)
{
	request bind_req, smart_req, common_req;
	bind_req.str("record", "R").str("deviceID", "D1").str("sign", "S1");
	smart_req.str("msg", "M1");
	common_req.str("newgw", "G1");
	std::string log = debug_log([&] {
		h_.call(bind_h, bind_req);
		kill_process(taken_slot());
		h_.call(smart_h, smart_req);
		kill_process(taken_slot());
		h_.call(common_h, common_req);
		kill_process(taken_slot());
	});
	for (const char *line : {
		     R"(kestrad_handle_whc_client_bind\(\d+\): kestrad_handle_whc_client_bind recv method bind !\n\n)",
		     R"(kestrad_handle_whc_client_bind\(\d+\): get deviceID: D1 !\n\n)",
		     R"(kestrad_handle_whc_client_bind\(\d+\): get signature: S1 !\n\n)",
		     R"(kestrad_handle_whc_client_bind\(\d+\): kestrad_handle_whc_client_bind resm: success !\n\n)",
		     R"(kestrad_handle_whc_smart_msg\(\d+\): RE get smart msg: M1 \n\n)",
		     R"(kestrad_handle_whc_smart_msg\(\d+\): kestrad_handle_whc_smart_msg resm: success !\n\n)",
		     R"(kestrad_handle_whc_client_common_set_api\(\d+\): kestrad_handle_whc_client_common_set_api get in !\n\n)",
		     R"(kestrad_handle_whc_client_common_set_api\(\d+\): kestrad_handle_whc_client_common_set_api get new gateway update notify on cap: G1 \n\n)",
	     })
		EXPECT_TRUE(std::regex_search(log, std::regex(line))) << line << "\n" << log;
}

TEST_F(ReJobHandlers, AFullPoolRefusesEveryJobUntilASlotFrees)
{
	for (int i = 0; i < WORKER_COUNT; i++)
		ASSERT_NE(worker_get(), nullptr);
	request bind_req, smart_req, newgw_req, action_req, upload_req;
	bind_req.str("record", "R").str("deviceID", "D").str("sign", "S");
	smart_req.str("msg", "M");
	newgw_req.str("newgw", "G");
	action_req.str("action", "A");
	upload_req.str("log_upload", "K");
	std::string log = debug_log([&] {
		for (auto [handler, req] : {std::pair{bind_h, &bind_req}, {smart_h, &smart_req},
					   {common_h, &newgw_req}, {common_h, &action_req}, {common_h, &upload_req}})
			EXPECT_EQ(replies(handler, *req), std::vector<reply>{returned("worker_get() error\n")});
	});
	// the key is built and logged before the pool refuses
	std::smatch m;
	ASSERT_TRUE(std::regex_search(log, m, std::regex(R"(get log upload key: common-K7X-[^ ]*-\d+ \n\n(.*)\n)")))
		<< log;
	EXPECT_NE(m[1].str().find("Not available worker"), std::string::npos) << log;
	EXPECT_EQ(log.find("resm: success"), std::string::npos);

	worker_put(&wk[7]);
	EXPECT_EQ(replies(smart_h, smart_req), std::vector<reply>{returned("success")});
	EXPECT_TRUE(wk[7].timer.pending);
	EXPECT_EQ(wk[7].timeout, 5);
	kill_process(&wk[7]);
	for (int i = 0; i < WORKER_COUNT; i++)
		worker_put(&wk[i]);
}

} // namespace
