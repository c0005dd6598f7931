#include "app/gtk_shell.h"

#include "app/app.h"
#include "app/command_line.h"
#include "version.h"

#include <gtk/gtk.h>

#include <iostream>

namespace zarvo {

void showModalAlert(const std::string& message, const std::string& informative,
                    const std::string& button) {
    if (!gtk_init_check()) {
        std::cerr << message << "\n" << informative << "\n";
        return;
    }
    GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_WARNING,
                                               GTK_BUTTONS_NONE, "%s", message.c_str());
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s",
                                             informative.c_str());
    gtk_dialog_add_button(GTK_DIALOG(dialog), button.c_str(), GTK_RESPONSE_OK);
    gtk_window_set_title(GTK_WINDOW(dialog), "Zarvo");

    // GTK 4 has no synchronous dialog run; spin a nested loop until the dialog answers or closes.
    GMainLoop* nested = g_main_loop_new(nullptr, FALSE);
    auto quit = +[](GtkDialog*, int, gpointer loop) { g_main_loop_quit(static_cast<GMainLoop*>(loop)); };
    g_signal_connect(dialog, "response", G_CALLBACK(quit), nested);
    gtk_window_present(GTK_WINDOW(dialog));
    g_main_loop_run(nested);
    g_main_loop_unref(nested);
    gtk_window_destroy(GTK_WINDOW(dialog));
}

namespace {

struct ShellContext {
    App* app;
    const CommandLineOptions* options;
};

void activate(GtkApplication* application, gpointer data) {
    auto* context = static_cast<ShellContext*>(data);
    (void)context;
    GtkWidget* window = gtk_application_window_new(application);
    gtk_window_set_title(GTK_WINDOW(window), (std::string("Zarvo · ") + kVersion).c_str());
    gtk_window_set_default_size(GTK_WINDOW(window), 1240, 840);
    gtk_widget_set_size_request(window, 1100, 800);
    GtkWidget* label = gtk_label_new(context->app->status.text.c_str());
    gtk_window_set_child(GTK_WINDOW(window), label);
    gtk_window_present(GTK_WINDOW(window));
}

} // namespace

int runApplication(App& app, const CommandLineOptions& options) {
    // NON_UNIQUE: the single-instance rule is ours, and must not depend on a session bus.
    GtkApplication* application =
        gtk_application_new(nullptr, G_APPLICATION_NON_UNIQUE);
    ShellContext context{&app, &options};
    g_signal_connect(application, "activate", G_CALLBACK(activate), &context);
    int status = g_application_run(G_APPLICATION(application), 0, nullptr);
    g_object_unref(application);
    return status;
}

} // namespace zarvo
