#include "method.h"

#include "../worker/runner.h"

[[gnu::hot]] bool required_present(const method_facts &m, struct blob_attr *const *tb)
{
	for (size_t i = 0; i < m.needs.size(); i++) {
		if (m.needs[i] == field_need::yes && !tb[i])
			return false;
	}
	return true;
}

bool pair_present(const method_facts &m, struct blob_attr *const *tb, int i)
{
	field_need need = m.needs[static_cast<size_t>(i)];
	int other = need == field_need::with_next ? i + 1 : need == field_need::with_prev ? i - 1 : i;
	return tb[i] && tb[other];
}

namespace {

// argv in `out`: the tool's words when the command has a limit, then args
// with each value slot filled in order; a slot without a value ends it.
void build_argv(const command_fact &c, std::initializer_list<const char *> values,
		const char *(&out)[COMMAND_ARGV_MAX])
{
	size_t n = 0;
	if (c.limit_s) {
		for (const char *word : {TIME_LIMIT_TOOL, "-t", c.limit_s, "-s", "9"})
			out[n++] = word;
	}
	const char *const *value = values.begin();
	for (const char *a : c.args) {
		if (n + 1 >= COMMAND_ARGV_MAX || (!a && value == values.end()))
			break;
		out[n++] = a ? a : *value++;
	}
	out[n] = nullptr;
}

} // namespace

worker *command_start(const command_fact &c, std::initializer_list<const char *> values)
{
	const char *argv[COMMAND_ARGV_MAX];
	build_argv(c, values, argv);
	return worker_start(argv, c.worker_s);
}

void command_launch(worker *slot, const command_fact &c, std::initializer_list<const char *> values)
{
	const char *argv[COMMAND_ARGV_MAX];
	build_argv(c, values, argv);
	worker_launch(slot, argv, c.worker_s);
}
