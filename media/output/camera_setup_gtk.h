// The camera setup dialog on GTK: checks for the device, shows the dialog modally and runs the
// chosen button's action. Main thread.
#pragma once

#include "media/output/camera_setup_dialog.h"

typedef struct _GtkWindow GtkWindow;

namespace zarvo {

// Returns the button chosen ("完成" when closed). Without a display the texts go to standard
// error and nothing runs.
CameraSetupAction showCameraSetupDialog(GtkWindow* parent = nullptr);

} // namespace zarvo
