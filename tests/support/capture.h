// Everything a piece of code writes to stderr.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace testing_support {

template <typename F>
std::string capture_stderr(F fn)
{
	char path[] = "/tmp/kestrad-stderr-XXXXXX";
	int fd = mkstemp(path);
	fflush(stderr);
	int saved = dup(2);
	dup2(fd, 2);
	fn();
	fflush(stderr);
	dup2(saved, 2);
	close(saved);
	std::string out;
	lseek(fd, 0, SEEK_SET);
	char buf[4096];
	ssize_t n;
	while ((n = read(fd, buf, sizeof(buf))) > 0)
		out.append(buf, static_cast<size_t>(n));
	close(fd);
	unlink(path);
	return out;
}

} // namespace testing_support
