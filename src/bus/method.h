// What each method is, once: its bus record and policy, what it needs of
// the request, the texts it can answer and the commands it starts. The
// handler works from these facts and the method reference is generated from
// them (tools/methods-doc), so neither restates the other.
#pragma once

#include "ubus.h"

#include <cstdint>
#include <initializer_list>
#include <span>

struct worker;

// What a handler needs of one policy field.
enum class field_need : uint8_t {
	no,        // used when present
	yes,       // the handler acts only when it is present
	with_next, // needed together with the next field of the policy
	with_prev, // needed together with the previous field
	one_of,    // the first present of these fields is acted on
};

// A command started under a worker. Each nullptr of `args` is a value the
// handler supplies, in order; `values` names them for the reference.
struct command_fact {
	std::span<const char *const> args;
	std::span<const char *const> values;
	const char *limit_s; // the time-limit tool's seconds (signal 9) around args, or nullptr
	int32_t worker_s;    // the worker's time-out
};

struct method_facts {
	const struct ubus_method *method; // name, handler and policy as the bus takes them
	std::span<const field_need> needs; // one per policy field
	std::span<const char *const> replies; // every "return" text the handler can give
	std::span<const command_fact> commands;
};

// The fields whose need is yes are all present.
bool required_present(const method_facts &m, struct blob_attr *const *tb);
// Field i is present, and so is the field it is needed with.
bool pair_present(const method_facts &m, struct blob_attr *const *tb, int i);

// Takes the lowest free worker slot and starts the command with `values` in
// its slots. NULL when no slot is free; nothing is started then.
worker *command_start(const command_fact &c, std::initializer_list<const char *> values);
// The same on a slot the caller has already taken.
void command_launch(worker *slot, const command_fact &c, std::initializer_list<const char *> values);

// The time-limit tool's call form, "-t" seconds "-s" "9" before the command.
constexpr const char *TIME_LIMIT_TOOL = "/usr/bin/timeout";

// The longest argument vector a command may have, the tool's five words and
// the terminator included.
constexpr size_t COMMAND_ARGV_MAX = 16;

// For the static_assert beside each method's commands: it fits, and has a
// name for each value slot.
constexpr bool command_well_formed(const command_fact &c)
{
	size_t slots = 0;
	for (const char *a : c.args)
		slots += a == nullptr;
	return slots == c.values.size() && c.args.size() + (c.limit_s ? 5 : 0) < COMMAND_ARGV_MAX;
}
