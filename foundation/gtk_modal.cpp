#include "foundation/gtk_modal.h"

#include "foundation/owned.h"

#include <utility>

namespace zarvo {
namespace {

struct Run {
    GRef<GMainLoop> loop = adoptRef(g_main_loop_new(nullptr, FALSE));
    int response = GTK_RESPONSE_DELETE_EVENT;
};

// The innermost run; an answer to an outer one waits until the inner run has ended.
Run* innermost = nullptr;

void answered(gpointer, int response, gpointer data) {
    auto* run = static_cast<Run*>(data);
    run->response = response;
    g_main_loop_quit(run->loop.get());
}

int runUntilAnswered(gpointer dialog, Run& run) {
    const gulong handler = g_signal_connect(dialog, "response", G_CALLBACK(answered), &run);
    Run* outer = std::exchange(innermost, &run);
    g_main_loop_run(run.loop.get());
    innermost = outer;
    g_signal_handler_disconnect(dialog, handler);
    return run.response;
}

} // namespace

GtkWidget* newMessageDialog(GtkWindow* parent, GtkMessageType type, const std::string& message,
                            const std::string& informative) {
    GtkWidget* dialog = gtk_message_dialog_new(parent, GTK_DIALOG_MODAL, type, GTK_BUTTONS_NONE,
                                               "%s", message.c_str());
    if (!informative.empty())
        gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s",
                                                 informative.c_str());
    return dialog;
}

int runModalDialog(GtkWidget* dialog) {
    Run run;
    gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
    gtk_window_present(GTK_WINDOW(dialog));
    return runUntilAnswered(dialog, run);
}

int runModalNativeDialog(GtkNativeDialog* dialog) {
    Run run;
    gtk_native_dialog_set_modal(dialog, TRUE);
    gtk_native_dialog_show(dialog);
    return runUntilAnswered(dialog, run);
}

bool modalDialogRunning() {
    return innermost != nullptr;
}

bool abandonModalDialog() {
    if (!innermost)
        return false;
    innermost->response = GTK_RESPONSE_DELETE_EVENT;
    g_main_loop_quit(innermost->loop.get());
    return true;
}

} // namespace zarvo
