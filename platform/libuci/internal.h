// Internals of the project's libuci, shared by its files.
#pragma once

#include <uci.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace uci_impl {

// One recorded change, replayed on the file's current contents at commit.
// add: `section` is the name the context gave the new section, `value` its
// type; rename: `value` is the new name; reorder: `value` the position.
enum class delta_op { set, add_list, del_list, remove, add, rename, reorder };

struct delta {
	delta_op op;
	std::string section;
	std::string option; // empty: the change is to the section itself
	std::string value;
	// The section was anonymous: its name holds only while the sections
	// before it in the file are the ones the context read.
	bool positional = false;
};

} // namespace uci_impl

struct uci_delta_log {
	std::vector<uci_impl::delta> items;
	// One hash of name and type per section, as the file was last read or
	// written by this context.
	std::vector<uint64_t> shape;
};

namespace uci_impl {

bool valid_name(std::string_view s);  // section and option names
bool valid_type(std::string_view s);  // section types also allow '-'
bool valid_argument(std::string_view s); // a pointer given as text: no control characters but tab, CR, LF
bool valid_package_name(std::string_view s);

int set_error(struct uci_context *ctx, int err, const char *func);

// Tree building; names and values are copied.
uci_package *package_new(struct uci_context *ctx, std::string_view name);
void package_free(uci_package *p);
void package_clear(uci_package *p);
// A NULL name gives the section the generated name of an anonymous one.
uci_section *section_add(uci_package *p, std::string_view type, const char *name);
void element_rename(struct uci_element *e, std::string_view name);
void section_move(uci_section *s, long pos);
// Gives anonymous sections the names a fresh read of the package would.
void section_names_refresh(uci_package *p);
std::vector<uint64_t> package_shape(const uci_package *p);
void section_free(uci_section *s);
uci_section *find_section(uci_package *p, std::string_view name);
uci_option *find_option(uci_section *s, std::string_view name);
bool option_set(uci_section *s, std::string_view name, std::string_view value);
uci_option *option_add_item(uci_section *s, std::string_view name, std::string_view value);
void option_append_item(uci_option *list, std::string_view value);
void option_free(uci_option *o);

// Applies a change to a tree; false when it does not fit the tree.
// `section` overrides d.section; an add names the section it made in *added.
bool apply_delta(uci_package *p, const delta &d, std::string_view section,
		 std::string *added = nullptr);

// Parses a whole file into an empty package.
int parse_package(struct uci_context *ctx, uci_package *p, std::string_view text);
void export_package(const uci_package *p, std::string &out, bool header);

int read_fd(int fd, std::string &out);

} // namespace uci_impl
