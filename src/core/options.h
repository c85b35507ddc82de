// Command line of the daemon.
#pragma once

// The -g argument itself (not a copy), or NULL: the fixed gateway address.
extern const char *static_vimbd_ip;

struct in_addr;
// An IPv4 address in inet_aton's forms with nothing after it; false when
// TEXT is not one.
bool ipv4_from_text(const char *text, struct in_addr *out);

int test_set_vimbd_ip(const char *text);

enum class options_result {
	run,
	usage,     // unknown option or missing argument
	bad_gateway,
};

struct options {
	bool daemon_mode;
};

// Applies the options one by one, in command-line order.
options_result parse_options(int argc, char **argv, options &opts);
void print_usage(const char *prog);
