#pragma once

// A disk that fills up: file growth beyond a size is refused while a
// file_size_limit lives. Header only, for tests with or without widgets.

#include <csignal>
#include <sys/resource.h>

namespace harness {

class file_size_limit
{
public:
    explicit file_size_limit(rlim_t bytes)
    {
        std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &old);
        rlimit limit = old;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~file_size_limit() { setrlimit(RLIMIT_FSIZE, &old); }
    file_size_limit(const file_size_limit &) = delete;
    file_size_limit &operator=(const file_size_limit &) = delete;

private:
    rlimit old{};
};

} // namespace harness
