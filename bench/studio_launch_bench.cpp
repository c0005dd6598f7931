// Launch to page loaded: from the start of the program (display connection, web engine start,
// page load) to the web view's load completion of the studio page. Run under Xvfb:
//   xvfb-run -a build/bench/studio_launch_bench [page.html]
// Target: under 1.5 s. Besides the wall time it prints when each step was reached and the processor
// time this process and the engine's helper processes used, so a busy machine (where the wall time
// mostly measures waiting for a core) can be told apart from a slow launch.
#include "studio/webkit_studio_view.h"

#include <gtk/gtk.h>
#include <sys/resource.h>
#include <unistd.h>
#include <webkit/webkit.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

Clock::time_point start;

double since() {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Step {
    const char* name;
    double at;
};
std::vector<Step> steps;

void mark(const char* name) {
    steps.push_back({name, since()});
}

// User plus system time in milliseconds of the direct child processes (the engine's web and
// network processes), read from /proc before they exit.
double childProcessorMs(std::string& names) {
    double total = 0;
    long tick = sysconf(_SC_CLK_TCK);
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream file(entry.path() / "stat");
        std::string line;
        if (!std::getline(file, line))
            continue;
        auto close = line.rfind(')');
        auto open = line.find('(');
        if (close == std::string::npos || open == std::string::npos)
            continue;
        std::istringstream rest(line.substr(close + 2));
        std::string state;
        long parent = 0;
        rest >> state >> parent;
        if (parent != getpid())
            continue;
        std::string skip;
        for (int i = 0; i < 9; ++i)
            rest >> skip;
        unsigned long user = 0, system = 0;
        rest >> user >> system;
        total += 1000.0 * static_cast<double>(user + system) / static_cast<double>(tick);
        names += (names.empty() ? "" : ", ") + line.substr(open + 1, close - open - 1);
    }
    return total;
}

double ownProcessorMs() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

// The page's messages go nowhere here; only the load is timed.
struct LoadMark final : zarvo::StudioWebViewClient {
    void didReceiveMessage(const zarvo::Json&, bool) override {}
    void didFinishLoad() override {
        loaded = true;
        mark("load finished");
    }
    bool loaded = false;
};

} // namespace

int main(int argc, char** argv) {
    start = Clock::now();
    if (!gtk_init_check()) {
        std::fprintf(stderr, "studio_launch_bench: no display (run under xvfb-run)\n");
        return 1;
    }
    mark("display connected");
    std::filesystem::path page = argc > 1 ? argv[1] : ZARVO_STUDIO_PAGE;
    GtkWidget* window = gtk_window_new();
    gtk_window_set_default_size(GTK_WINDOW(window), 1240, 840);
    LoadMark loadMark;
    auto* web = new zarvo::WebKitStudioView(loadMark);
    mark("web view created");
    g_signal_connect(web->widget(), "load-changed",
                     G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent event, gpointer) {
                         if (event == WEBKIT_LOAD_STARTED)
                             mark("load started (web process up)");
                         else if (event == WEBKIT_LOAD_COMMITTED)
                             mark("load committed (first bytes)");
                     }),
                     nullptr);
    // The application's order: the page load starts before the window is shown.
    web->loadFile(page, page.parent_path());
    gtk_window_set_child(GTK_WINDOW(window), web->widget());
    gtk_window_present(GTK_WINDOW(window));
    mark("window presented");
    while (!loadMark.loaded && Clock::now() - start < std::chrono::seconds(60))
        g_main_context_iteration(nullptr, TRUE);
    double ms = since();
    std::string helpers;
    double helperMs = childProcessorMs(helpers);
    double loadAverage[3] = {};
    getloadavg(loadAverage, 3);
    for (const auto& step : steps)
        std::printf("  %7.0f ms  %s\n", step.at, step.name);
    std::printf("  processor time: this process %.0f ms, helpers %.0f ms (%s); load average %.1f\n",
                ownProcessorMs(), helperMs, helpers.c_str(), loadAverage[0]);
    std::printf("studio_launch_bench: launch to page loaded %.0f ms (target < 1500 ms)%s\n", ms,
                loadMark.loaded ? "" : " - the page did not load");
    delete web;
    gtk_window_destroy(GTK_WINDOW(window));
    return loadMark.loaded ? 0 : 1;
}
