// Modal dialogs on GTK 4 for every window of the program. GTK 4.8 has no synchronous dialog run,
// and the callers expect an answer on return, so each dialog runs in a nested main loop; timers
// and other sources keep firing meanwhile. Main thread only. Kept out of zarvo_foundation: only
// the GTK adapters link zarvo_foundation_gtk.
#pragma once

#include <gtk/gtk.h>

#include <string>

namespace zarvo {

// A modal message dialog over `parent` (may be null) without buttons; the caller adds them.
GtkWidget* newMessageDialog(GtkWindow* parent, GtkMessageType type, const std::string& message,
                            const std::string& informative);

// Presents `dialog` (a GtkDialog) and runs until it answers; returns the response, or
// GTK_RESPONSE_DELETE_EVENT when it was closed or abandoned. The dialog stays the caller's.
int runModalDialog(GtkWidget* dialog);

// The same for a native dialog (the file chooser), which is shown modal.
int runModalNativeDialog(GtkNativeDialog* dialog);

// Whether one of these runs is under way.
bool modalDialogRunning();

// Ends the innermost run as if its dialog had been closed (a quit signal before the window
// answers it); false when none runs.
bool abandonModalDialog();

} // namespace zarvo
