#include "options.h"

#include "log.h"

#include <arpa/inet.h>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <unistd.h>

const char *static_vimbd_ip;

namespace {
// Parsing stops at the first word that is no option; glibc only does that
// with a leading '+', musl always does.
#ifdef __GLIBC__
constexpr const char option_string[] = "+Sdg:";
#else
constexpr const char option_string[] = "Sdg:";
#endif
constexpr const char usage_text[] =
	"Usage: %s [ostions]\n"
	"   -S:\t\tUse stderr instead of syslog for log messages\n"
	"   -d:\t\tEnable deamon modleaaaa\n";
} // namespace

bool ipv4_from_text(const char *text, struct in_addr *out)
{
	// glibc's inet_aton takes "192.0.2.1 x" for 192.0.2.1; musl, the
	// device's, takes nothing after the address.
	for (const char *p = text; *p; p++) {
		if (isspace(static_cast<unsigned char>(*p)))
			return false;
	}
	return inet_aton(text, out) != 0;
}

int test_set_vimbd_ip(const char *text)
{
	if (!text)
		return -1;
	struct in_addr addr;
	if (!ipv4_from_text(text, &addr)) {
		KLOG_ERR("ip format error \n");
		return -1;
	}
	static_vimbd_ip = text;
	return 0;
}

void print_usage(const char *prog)
{
	fprintf(stderr, usage_text, prog);
}

// getopt's complaint as musl words it, whichever libc this is: the
// device's text on every build.
static void complain(const char *prog, int opt)
{
	bool known = isalpha(opt) && strchr(option_string, opt);
	fprintf(stderr, "%s: %s: %c\n", prog, known ? "option requires an argument" : "unrecognized option",
		opt);
}

options_result parse_options(int argc, char **argv, options &opts)
{
	int ch;
	opterr = 0;
	while ((ch = getopt(argc, argv, option_string)) != -1) {
		KLOG_AS(LOG_LEVEL_DEBUG, "main", "get ch:%c :%d", ch, ch);
		switch (ch) {
		case 'S':
			log_mode_set(LOG_MODE_STDERR);
			break;
		case 'd':
			opts.daemon_mode = true;
			break;
		case 'g':
			if (test_set_vimbd_ip(optarg) != 0) {
				KLOG_AS(LOG_LEVEL_ERR, "main", "set gw ip error\n");
				return options_result::bad_gateway;
			}
			break;
		default:
			complain(argv[0], optopt);
			return options_result::usage;
		}
	}
	return options_result::run;
}
