/*
 * One side of the differential test of blob and blobmsg: built once against
 * the project's libubox and once against the device's, and fed the same
 * records; the runner compares the two outputs line for line.
 *
 * Why two processes: both libraries export the same symbol names, so one
 * process cannot hold both without one shadowing the other in some call
 * (dlopen with RTLD_DEEPBIND would isolate the device's copy, but the
 * sanitizers of the fuzz build refuse it). A process per library also
 * keeps a crash of the device's library from taking the runner down: the
 * runner sees which record it died on.
 *
 * Input, on stdin: records of a 32-bit little-endian size and that many
 * bytes. 'P' records parse: a policy (type, 16-bit name length, name),
 * flags and a payload, which is copied
 * so that its last byte is the last readable one (a guard page follows).
 * 'B' records build: a program of builder calls. Each record gives one
 * line on stdout, which describes every value the calls returned with
 * offsets instead of addresses.
 *
 *   driver              run records from stdin
 *   driver --from N     skip the first N records (after a crash)
 *   driver --hash       print a hash of each line instead of the line
 *   driver --bench N    time N parses of a whc_sync request; prints ns each
 */
#include <libubox/blobmsg.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

enum { max_record = 1 << 20, max_policy = 64, max_depth = 8 };

void blobdiff_record(const unsigned char *rec, size_t n, FILE *o);

static FILE *out;
static unsigned char *area;	/* guarded area: max_record + 8 bytes, then a guard page */
static size_t area_len;
static const unsigned char *base; /* payload start: offsets are relative to it */

static void setup_area(void)
{
	size_t page = (size_t)sysconf(_SC_PAGESIZE);
	area_len = (max_record + 8 + page - 1) / page * page;
	unsigned char *m = mmap(NULL, area_len + page, PROT_READ | PROT_WRITE,
				MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
	if (m == MAP_FAILED || mprotect(m + area_len, page, PROT_NONE)) {
		perror("mmap");
		exit(2);
	}
	area = m;
}

static long off(const void *p)
{
	return (long)((const unsigned char *)p - base);
}

static void put_hex(const void *p, size_t n)
{
	const unsigned char *b = p;
	for (size_t i = 0; i < n; i++)
		fprintf(out, "%02x", b[i]);
}

/* A field the library validated: its header, name and value. */
static void describe(struct blob_attr *a, int depth);

static void describe_children(struct blob_attr *a, int depth)
{
	struct blob_attr *pos;
	size_t rem;
	int valid = blobmsg_check_array(a, BLOBMSG_TYPE_UNSPEC) >= 0;

	fputc('{', out);
	blobmsg_for_each_attr(pos, a, rem) {
		if (valid && depth < max_depth)
			describe(pos, depth + 1);
		else
			fprintf(out, "@%ld:%08x", off(pos), be32_to_cpu(pos->id_len));
		fputc(' ', out);
	}
	fprintf(out, "rem=%zu}", rem);
}

static void describe(struct blob_attr *a, int depth)
{
	int type = blobmsg_type(a);
	size_t dlen;
	const unsigned char *d;

	fprintf(out, "@%ld:%08x", off(a), be32_to_cpu(a->id_len));
	fprintf(out, ",id%u,x%d,l%zu,r%zu,p%zu", blob_id(a), (int)blob_is_extended(a),
		(size_t)blob_len(a), (size_t)blob_raw_len(a), (size_t)blob_pad_len(a));
	if (blob_is_extended(a))
		fputs(",n", out), put_hex(blobmsg_name(a), strlen(blobmsg_name(a)));
	d = blobmsg_data(a);
	dlen = blobmsg_data_len(a);
	fprintf(out, ",d%ld+%zu/%zu", off(d), dlen, (size_t)blobmsg_len(a));
	fprintf(out, ",c%d%d", blobmsg_check_attr(a, false), blobmsg_check_attr(a, true));
	fprintf(out, ",cl%d%d", blobmsg_check_attr_len(a, false, blob_raw_len(a) - 1),
		blobmsg_check_attr_len(a, true, blob_raw_len(a) + 5));
	switch (type) {
	case BLOBMSG_TYPE_STRING:
		fprintf(out, ",s%ld:", off(blobmsg_get_string(a)));
		put_hex(d, strnlen((const char *)d, dlen));
		break;
	case BLOBMSG_TYPE_INT8:
		if (dlen >= 1)
			fprintf(out, ",u8=%u,b%d", blobmsg_get_u8(a), (int)blobmsg_get_bool(a));
		break;
	case BLOBMSG_TYPE_INT16:
		if (dlen >= 2)
			fprintf(out, ",u16=%u", blobmsg_get_u16(a));
		break;
	case BLOBMSG_TYPE_INT32:
		if (dlen >= 4)
			fprintf(out, ",u32=%u", blobmsg_get_u32(a));
		break;
	case BLOBMSG_TYPE_INT64:
		if (dlen >= 8)
			fprintf(out, ",u64=%llu", (unsigned long long)blobmsg_get_u64(a));
		break;
	case BLOBMSG_TYPE_DOUBLE:
		if (dlen >= 8)
			fprintf(out, ",dbl=%a", blobmsg_get_double(a));
		break;
	case BLOBMSG_TYPE_TABLE:
	case BLOBMSG_TYPE_ARRAY:
		fprintf(out, ",ca");
		for (int t = BLOBMSG_TYPE_UNSPEC; t <= BLOBMSG_TYPE_LAST; t++)
			fprintf(out, "%s%d", t ? "/" : "", blobmsg_check_array(a, t));
		describe_children(a, depth);
		break;
	default:
		break;
	}
}

/*
 * An attribute as a walk over the payload yields it. A header claiming
 * fewer than 4 bytes makes the device's blob_len() wrap around, so the
 * payload length is shown only from 4 bytes on.
 */
static void walked(struct blob_attr *pos, size_t len)
{
	size_t left = len - (size_t)off(pos);
	fprintf(out, " @%ld:%08x,p%zu,c%d%d", off(pos), be32_to_cpu(pos->id_len),
		(size_t)blob_pad_len(pos), blobmsg_check_attr_len(pos, false, left),
		blobmsg_check_attr_len(pos, true, left));
	if (blob_raw_len(pos) >= 4)
		fprintf(out, ",l%zu", (size_t)blob_len(pos));
	if (blob_raw_len(pos) >= 8)
		fprintf(out, ",g%u/%u", blob_get_u32(pos), blob_get_u8(pos));
}

/* What parsing found; an attribute found before is named by its entry. */
static void put_table(struct blob_attr **tb, int n)
{
	for (int k = 0; k < n; k++) {
		int j = 0;
		while (j < k && tb[j] != tb[k])
			j++;
		if (!tb[k])
			fputs(" -", out);
		else if (j < k)
			fprintf(out, " =%d", j);
		else
			fputc(' ', out), describe(tb[k], 0);
	}
}

static void run_parse(const unsigned char *rec, size_t n)
{
	struct blobmsg_policy policy[max_policy];
	static char names[max_policy][1024];
	struct blob_attr *tb[max_policy];
	struct blob_attr *container, *pos;
	size_t i = 1, rem;
	int npol, flags, r;

	if (n < 3)
		goto bad;
	npol = rec[i++];
	if (npol > max_policy)
		goto bad;
	for (int k = 0; k < npol; k++) {
		if (i + 3 > n)
			goto bad;
		policy[k].type = (enum blobmsg_type)rec[i++];
		unsigned int nl = (unsigned int)rec[i] << 8 | rec[i + 1];
		i += 2;
		if (nl == 0xffff) {
			policy[k].name = NULL;
			continue;
		}
		if (nl >= sizeof(names[k]) || i + nl > n)
			goto bad;
		memcpy(names[k], rec + i, nl);
		names[k][nl] = 0;
		policy[k].name = names[k];
		i += nl;
	}
	if (i >= n)
		goto bad;
	flags = rec[i++];

	/* The payload ends at the guard page, behind a container header. */
	size_t len = n - i;
	unsigned char *data = area + area_len - len;
	memset(area, 0, area_len - len);
	memcpy(data, rec + i, len);
	container = (struct blob_attr *)(data - 4);
	container->id_len = cpu_to_be32((uint32_t)(len + 4) & BLOB_ATTR_LEN_MASK);
	base = data;
	void *arg = (flags & 1) ? NULL : data;

	fputc('p', out);
	r = blobmsg_parse(policy, npol, tb, arg, (unsigned int)len);
	fprintf(out, " %d", r);
	put_table(tb, npol);
	if (npol > 0) {
		r = blobmsg_parse_array(policy, npol, tb, arg, (unsigned int)len);
		fprintf(out, " | a %d", r);
		put_table(tb, npol);
	}

	/* The attributes as blob walks them, each checked with what is left. */
	fputs(" | w", out);
	blob_for_each_attr(pos, container, rem)
		fprintf(out, " @%ld", off(pos));
	fprintf(out, " rem=%zu | w_", rem);
	rem = len;
	__blob_for_each_attr(pos, data, rem)
		walked(pos, len);
	fprintf(out, " rem=%zu | wl", rem);
	blob_for_each_attr_len(pos, container, len + 4, rem)
		fprintf(out, " @%ld", off(pos));
	fprintf(out, " rem=%zu", rem);
	blob_for_each_attr_len(pos, container, len + 3, rem)
		fprintf(out, " @%ld", off(pos));
	fprintf(out, " rem=%zu\n", rem);
	return;
bad:
	fputs("bad record\n", out);
}

/* Builder programs: each call's result, then the buffer's bytes. */
static const unsigned char *take_name(const unsigned char **p, const unsigned char *end, char *buf)
{
	if (*p >= end)
		return NULL;
	unsigned int nl = *(*p)++;
	if (nl == 0xff)
		return (const unsigned char *)"";
	if ((size_t)(end - *p) < nl)
		return NULL;
	memcpy(buf, *p, nl);
	buf[nl] = 0;
	*p += nl;
	return (const unsigned char *)buf;
}

static uint64_t take_u64(const unsigned char **p, const unsigned char *end)
{
	uint64_t v = 0;
	for (int k = 0; k < 8 && *p < end; k++)
		v = v << 8 | *(*p)++;
	return v;
}

static void run_build(const unsigned char *rec, size_t n)
{
	static struct blob_buf b;
	void *stack[64];
	int depth = 0;
	char name[256], str[256];
	const unsigned char *p = rec + 1, *end = rec + n;

	blob_buf_init(&b, 0);
	fputc('b', out);
	while (p < end) {
		int op = *p++;
		const char *nm = NULL;
		if (op == 's' || op == 'n' || op == 'f' || op == 't' || op == 'a') {
			const unsigned char *np = p;
			if (!take_name(&p, end, name))
				break;
			nm = *np == 0xff ? NULL : name;
		}
		switch (op) {
		case 'i':
			if (p >= end)
				goto done;
			depth = 0;
			fprintf(out, " i%d", blob_buf_init(&b, *p++));
			break;
		case 's': {
			const char *value = (const char *)take_name(&p, end, str);
			if (!value)
				goto done;
			fprintf(out, " s%d", blobmsg_add_string(&b, nm, value));
			break;
		}
		case 'n': {
			if (p >= end)
				goto done;
			int type = *p++;
			uint64_t v = take_u64(&p, end);
			int r;
			switch (type % 5) {
			case 0: r = blobmsg_add_u8(&b, nm, (uint8_t)v); break;
			case 1: r = blobmsg_add_u16(&b, nm, (uint16_t)v); break;
			case 2: r = blobmsg_add_u32(&b, nm, (uint32_t)v); break;
			case 3: r = blobmsg_add_u64(&b, nm, v); break;
			default: {
				double d;
				memcpy(&d, &v, sizeof(d));
				r = blobmsg_add_double(&b, nm, d);
			}
			}
			fprintf(out, " n%d", r);
			break;
		}
		case 'f': {
			if (end - p < 2)
				goto done;
			int type = *p++;
			unsigned int len = *p++;
			if ((size_t)(end - p) < len)
				goto done;
			fprintf(out, " f%d", blobmsg_add_field(&b, type, nm, p, len));
			p += len;
			break;
		}
		case 't':
		case 'a':
			if (depth == 64)
				goto done;
			stack[depth] = blobmsg_open_nested(&b, nm, op == 'a');
			fprintf(out, " %c%d", op, stack[depth] != NULL);
			if (stack[depth])
				depth++;
			break;
		case 'N':
			if (p >= end || depth == 64)
				goto done;
			stack[depth] = blob_nest_start(&b, *p++);
			fprintf(out, " N%d", stack[depth] != NULL);
			if (stack[depth])
				depth++;
			break;
		case 'c':
			if (depth)
				blob_nest_end(&b, stack[--depth]);
			fputs(" c", out);
			break;
		case 'u':
		case 'b':
		case 'S':
		case 'r': {
			if (p >= end)
				goto done;
			int id = *p++;
			struct blob_attr *a;
			if (op == 'u') {
				a = blob_put_u32(&b, id, (uint32_t)take_u64(&p, end));
			} else if (op == 'b') {
				a = blob_put_u8(&b, id, (uint8_t)take_u64(&p, end));
			} else if (op == 'S') {
				const char *value = (const char *)take_name(&p, end, str);
				if (!value)
					goto done;
				a = blob_put_string(&b, id, value);
			} else {
				if (p >= end || (size_t)(end - p) < (size_t)*p + 1)
					goto done;
				unsigned int len = *p++;
				a = blob_put(&b, id, p, len);
				p += len;
			}
			fprintf(out, " %c%ld", op, a ? (long)((char *)a - (char *)b.buf) : -1L);
			break;
		}
		default:
			goto done;
		}
	}
done:
	/* Everything written so far, as the outermost header counts it. */
	fprintf(out, " head@%ld =", (long)((char *)b.head - (char *)b.buf));
	put_hex(b.buf, blob_pad_len(b.buf));
	fputc('\n', out);
}

/* One record, its line written to `o`: what the fuzz target calls. */
void blobdiff_record(const unsigned char *rec, size_t n, FILE *o)
{
	out = o;
	if (!area)
		setup_area();
	if (n && rec[0] == 'P')
		run_parse(rec, n);
	else if (n && rec[0] == 'B')
		run_build(rec, n);
	else
		fputs("bad record\n", out);
}

#ifndef BLOBDIFF_NO_MAIN
static int bench(long n)
{
	static const char *fields[] = {
		"ssid", "pswd", "mgmt", "txpwr_2g", "txpwr_5g", "hidden", "ch_2g",
		"ch_5g", "bw_2g", "bw_5g", "txbf", "gst_disab", "gst_ssid", "gst_pswd",
		"gst_mgmt", "flt_policy", "flt_list", "timezone", "ota_auto", "ota_time",
		"led_blue",
	};
	enum { nf = sizeof(fields) / sizeof(fields[0]) };
	struct blobmsg_policy policy[nf];
	struct blob_attr *tb[nf];
	struct blob_buf b;
	char value[64];
	struct timespec t0, t1;
	long found = 0;

	memset(&b, 0, sizeof(b));
	blob_buf_init(&b, 0);
	for (int i = 0; i < nf; i++) {
		policy[i].name = fields[i];
		policy[i].type = BLOBMSG_TYPE_STRING;
		snprintf(value, sizeof(value), "value-of-%s", fields[i]);
		blobmsg_add_string(&b, fields[i], value);
	}
	clock_gettime(CLOCK_MONOTONIC, &t0);
	for (long k = 0; k < n; k++) {
		blobmsg_parse(policy, nf, tb, blob_data(b.head), (unsigned int)blob_len(b.head));
		found += tb[k % nf] != NULL;
		__asm__ volatile("" : : "r"(tb) : "memory");
	}
	clock_gettime(CLOCK_MONOTONIC, &t1);
	double ns = ((double)(t1.tv_sec - t0.tv_sec) * 1e9 + (double)(t1.tv_nsec - t0.tv_nsec)) / (double)n;
	printf("%.1f\n", ns);
	blob_buf_free(&b);
	return found == n ? 0 : 1;
}

int main(int argc, char **argv)
{
	long from = 0, index = 0;
	int hash = 0;
	static unsigned char rec[max_record];
	static char line[4 << 20];

	if (argc == 3 && !strcmp(argv[1], "--bench"))
		return bench(atol(argv[2]));
	for (int i = 1; i < argc; i++) {
		if (!strcmp(argv[i], "--hash")) {
			hash = 1;
		} else if (!strcmp(argv[i], "--from") && i + 1 < argc) {
			from = atol(argv[++i]);
		} else {
			fprintf(stderr, "usage: driver [--hash] [--from N] | --bench N\n");
			return 2;
		}
	}
	/* Line by line: a crash loses no line of the records before it. */
	setvbuf(stdout, NULL, _IOLBF, 1 << 16);
	out = hash ? fmemopen(line, sizeof(line), "w") : stdout;
	for (;; index++) {
		unsigned char sz[4];
		if (fread(sz, 1, 4, stdin) != 4)
			break;
		size_t n = (size_t)sz[0] | (size_t)sz[1] << 8 | (size_t)sz[2] << 16 | (size_t)sz[3] << 24;
		if (n > max_record || fread(rec, 1, n, stdin) != n) {
			puts("bad record");
			return 1;
		}
		if (index < from)
			continue;
		blobdiff_record(rec, n, hash ? out : stdout);
		if (hash) {
			/* FNV-1a of the line: the runner shows lines only where they differ. */
			fflush(out);
			long len = ftell(out);
			uint64_t h = 14695981039346656037ULL;
			for (long k = 0; k < len; k++)
				h = (h ^ (unsigned char)line[k]) * 1099511628211ULL;
			printf("%016llx\n", (unsigned long long)h);
			rewind(out);
		}
	}
	return 0;
}
#endif
