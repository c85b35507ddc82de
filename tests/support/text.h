// Reading what a test captured: logs, replies, files.
#pragma once

#include <iterator>
#include <regex>
#include <string>

namespace testing_support {

// How often `what` stands in `text` (overlapping places count).
inline size_t count(const std::string &text, const std::string &what)
{
	size_t n = 0;
	for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
		n++;
	return n;
}

// How many matches of the regular expression `pattern` text holds.
inline size_t count_re(const std::string &text, const std::string &pattern)
{
	std::regex re(pattern);
	return static_cast<size_t>(std::distance(std::sregex_iterator(text.begin(), text.end(), re),
						 std::sregex_iterator()));
}

// Whether the regular expression `pattern` matches somewhere in text.
inline bool has(const std::string &text, const std::string &pattern)
{
	return std::regex_search(text, std::regex(pattern));
}

} // namespace testing_support
