// An object that needs the C++ runtime, for the check that kestrad's
// objects do not: an allocation through operator new and a bounds check that
// may throw.
#include <new>
#include <string_view>

void *cxx_runtime_allocation() { return ::operator new(8); }
std::string_view cxx_runtime_throwing(std::string_view s) { return s.substr(4); }
