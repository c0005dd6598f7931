// Process-wide malloc settings for programs that move video frames; called from main.
#pragma once

namespace zarvo {

// A fixed mmap threshold turns off glibc's dynamic one, which otherwise climbs past the frame size
// after the first frames are freed; and each join's fresh GStreamer threads would otherwise
// spread over new malloc arenas. Either left resident memory growing over join cycles.
void tuneAllocatorForVideoFrames();

} // namespace zarvo
