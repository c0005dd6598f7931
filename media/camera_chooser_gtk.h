// Shows the camera chooser in a GtkDropDown. The model is replaced with the change handler
// blocked, so filling the drop-down never counts as the user's pick (and never stores a camera).
#pragma once

#include "media/camera_chooser.h"

typedef struct _GtkDropDown GtkDropDown;

namespace zarvo {

// Connects the drop-down's user changes to `chooser.userPicked`. Both must outlive the binding.
void bindCameraDropDown(GtkDropDown* dropDown, CameraChooser& chooser);
// Redraws the drop-down from the chooser (call it from CameraChooserHost::menuChanged).
void showCameraMenu(GtkDropDown* dropDown, const CameraChooser& chooser);

} // namespace zarvo
