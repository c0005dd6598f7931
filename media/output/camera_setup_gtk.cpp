#include "media/output/camera_setup_gtk.h"

#include "media/output/virtual_camera.h"

#include <gtk/gtk.h>

#include <iostream>

namespace zarvo {

namespace {

// Shows the model modally and answers the index of the chosen button (-1 when closed).
int presentModal(const CameraSetupDialog& model, GtkWindow* parent) {
    GtkWidget* dialog = gtk_message_dialog_new(parent, GTK_DIALOG_MODAL, GTK_MESSAGE_INFO,
                                               GTK_BUTTONS_NONE, "%s", model.title.c_str());
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", model.text.c_str());
    // Commands shown for a terminal must be copyable.
    GtkWidget* area = gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(dialog));
    for (GtkWidget* child = gtk_widget_get_first_child(area); child;
         child = gtk_widget_get_next_sibling(child))
        if (GTK_IS_LABEL(child))
            gtk_label_set_selectable(GTK_LABEL(child), TRUE);
    for (size_t i = 0; i < model.buttons.size(); ++i)
        gtk_dialog_add_button(GTK_DIALOG(dialog), model.buttons[i].title.c_str(), int(i));
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), 0);

    struct Answer {
        GMainLoop* loop;
        int response = -1;
    } answer{g_main_loop_new(nullptr, FALSE)};
    auto done = +[](GtkDialog*, int response, gpointer data) {
        auto* answer = static_cast<Answer*>(data);
        answer->response = response;
        g_main_loop_quit(answer->loop);
    };
    g_signal_connect(dialog, "response", G_CALLBACK(done), &answer);
    gtk_window_present(GTK_WINDOW(dialog));
    // GTK 4 has no synchronous run; a nested loop keeps the application's timers going meanwhile.
    g_main_loop_run(answer.loop);
    g_main_loop_unref(answer.loop);
    gtk_window_destroy(GTK_WINDOW(dialog));
    if (answer.response < 0 || size_t(answer.response) >= model.buttons.size())
        return -1;
    return answer.response;
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
