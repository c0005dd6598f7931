// The gallery's image work on gdk-pixbuf: one decode per file gives the pixel size and the 120 × 80
// aspect-filled thumbnail, decoded straight at thumbnail scale where the format allows it.
#pragma once

#include "studio/reference_gallery_files.h"

namespace zarvo {

class GdkGalleryCodec final : public GalleryImageCodec {
public:
    std::optional<Inspection> inspect(std::string_view bytes) override;
};

} // namespace zarvo
