// Launch to page loaded: from the start of the program (display connection, web engine start,
// page load) to the web view's load completion of the studio page. Run under Xvfb:
//   xvfb-run -a build/bench/studio_launch_bench [page.html]
// Target: under 1.5 s.
#include "studio/webkit_studio_view.h"

#include <gtk/gtk.h>

#include <chrono>
#include <cstdio>

using Clock = std::chrono::steady_clock;

int main(int argc, char** argv) {
    auto start = Clock::now();
    if (!gtk_init_check()) {
        std::fprintf(stderr, "studio_launch_bench: no display (run under xvfb-run)\n");
        return 1;
    }
    std::filesystem::path page = argc > 1 ? argv[1] : ZARVO_STUDIO_PAGE;
    GtkWidget* window = gtk_window_new();
    gtk_window_set_default_size(GTK_WINDOW(window), 1240, 840);
    auto* web = new zarvo::WebKitStudioView();
    gtk_window_set_child(GTK_WINDOW(window), web->widget());
    gtk_window_present(GTK_WINDOW(window));
    bool loaded = false;
    web->onLoadFinished = [&] { loaded = true; };
    web->loadFile(page, page.parent_path());
    while (!loaded && Clock::now() - start < std::chrono::seconds(60))
        g_main_context_iteration(nullptr, TRUE);
    double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    std::printf("studio_launch_bench: launch to page loaded %.0f ms (target < 1500 ms)%s\n", ms,
                loaded ? "" : " - the page did not load");
    delete web;
    gtk_window_destroy(GTK_WINDOW(window));
    return loaded ? 0 : 1;
}
