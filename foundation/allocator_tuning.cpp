#include "foundation/allocator_tuning.h"

#include <malloc.h>

namespace zarvo {

void tuneAllocatorForVideoFrames() {
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    mallopt(M_ARENA_MAX, 2);
}

} // namespace zarvo
