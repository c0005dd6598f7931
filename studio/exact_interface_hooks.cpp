// The studio's gallery, preset, billing-page and camera-selection operations. They are kept in a
// file of their own so that each can be filled in without touching the bridge; until then they do
// nothing and the page shows empty lists.
#include "studio/exact_interface.h"

#include "app/app.h"

namespace zarvo {

void ExactInterface::loadGallery() {}
void ExactInterface::carryOverReference() {}
void ExactInterface::chooseReference(const std::string&, bool) {}
void ExactInterface::previewReference(const std::string&) {}
void ExactInterface::importImages() {}
void ExactInterface::savePreset(std::optional<std::string>) {}
void ExactInterface::applyPreset(const std::string&) {}
void ExactInterface::persistPresets() {}
Json ExactInterface::readPresets() {
    return Json::array();
}
void ExactInterface::requestSessionBilling(int64_t) {}
void ExactInterface::requestBilling(int64_t) {}
void ExactInterface::startPreview() {}
void ExactInterface::cameraChanged() {}
void ExactInterface::mirrorChanged() {
    app_.defaults().set("mirrorPreview", host_.mirror());
}

} // namespace zarvo
