// What the UCI benchmarks and cost counts do with a loaded wireless: read
// each section's ifname and count its MAC list. Include <uci.h> first.
#pragma once

inline int walk_wireless(struct uci_context *ctx, struct uci_package *p)
{
	int found = 0;
	struct uci_element *e;
	uci_foreach_element(&p->sections, e) {
		struct uci_section *s = uci_to_section(e);
		if (uci_lookup_option_string(ctx, s, "ifname"))
			found++;
		if (struct uci_option *o = uci_lookup_option(ctx, s, "maclist")) {
			struct uci_element *m;
			uci_foreach_element(&o->v.list, m)
				found++;
		}
	}
	return found;
}
