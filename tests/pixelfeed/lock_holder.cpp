// Test helper: takes the sender lock at the given path, says "locked" on standard output and waits
// to be terminated. Built twice, under the name "pixelfeed" and under another name.
#include "pixelfeed/sender_lock.h"

#include <cstdio>
#include <exception>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 2)
        return 2;
    try {
        pixelfeed::acquireSenderLock(argv[1]);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    std::puts("locked");
    std::fflush(stdout);
    for (;;)
        ::pause();
}
