#pragma once
// What the process writes to file descriptor 2 while a function runs, from any writer (stdio, the log, C
// libraries).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace plindo::testing {

template <typename F>
std::string stderrOf(F&& f) {
    char path[] = "/tmp/plindo-stderr-XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0) return "no temp file";
    std::fflush(stderr);
    const int saved = ::dup(2);
    ::dup2(fd, 2);
    f();
    std::fflush(stderr);
    ::dup2(saved, 2);
    ::close(saved);
    ::close(fd);
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    ::unlink(path);
    return text.str();
}

}  // namespace plindo::testing
