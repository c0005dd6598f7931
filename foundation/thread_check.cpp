#include "foundation/thread_check.h"

#include <cstdio>
#include <cstdlib>

namespace zarvo {

void threadCheckFailed(const char* what, const char* function, const char* file, int line) {
    std::fprintf(stderr, "thread check failed: %s in %s (%s:%d)\n", what, function, file, line);
    std::fflush(stderr);
    std::abort();
}

} // namespace zarvo
