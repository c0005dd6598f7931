#include "media/output/camera_setup_gtk.h"

#include "foundation/gtk_modal.h"
#include "media/output/virtual_camera.h"

#include <gtk/gtk.h>

#include <iostream>

namespace zarvo {

namespace {

// Shows the model modally and answers the index of the chosen button (-1 when closed).
int presentModal(const CameraSetupDialog& model, GtkWindow* parent) {
    GtkWidget* dialog = newMessageDialog(parent, GTK_MESSAGE_INFO, model.title, model.text);
    // Commands shown for a terminal must be copyable.
    GtkWidget* area = gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(dialog));
    for (GtkWidget* child = gtk_widget_get_first_child(area); child;
         child = gtk_widget_get_next_sibling(child))
        if (GTK_IS_LABEL(child))
            gtk_label_set_selectable(GTK_LABEL(child), TRUE);
    for (size_t i = 0; i < model.buttons.size(); ++i)
        gtk_dialog_add_button(GTK_DIALOG(dialog), model.buttons[i].title.c_str(), int(i));
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), 0);

    const int response = runModalDialog(dialog);
    gtk_window_destroy(GTK_WINDOW(dialog));
    if (response < 0 || size_t(response) >= model.buttons.size())
        return -1;
    return response;
}

} // namespace

CameraSetupAction showCameraSetupDialog(GtkWindow* parent) {
    CameraSetupDialog model =
        cameraSetupDialog(VirtualCamera::availableDeviceName(), VirtualCamera::pipeWireAvailable());
    if (!gtk_init_check()) {
        std::cerr << model.title << "\n" << model.text << "\n";
        return CameraSetupAction::Done;
    }
    int response = presentModal(model, parent);
    if (response < 0)
        return CameraSetupAction::Done;
    CameraSetupAction action = model.buttons[size_t(response)].action;
    auto env = detectCameraSetupEnvironment();
    if (action == CameraSetupAction::OpenCameraManagement && !cameraSetupCommand(action, env)) {
        // Nothing root-owned to run: the user types the commands, never our bundle's script.
        presentModal(cameraSetupTerminalDialog(), parent);
        return action;
    }
    auto started = runCameraSetupAction(action, env);
    if (!started.ok())
        std::cerr << "camera setup: " << started.error().message << "\n";
    return action;
}

} // namespace zarvo
