// What every test of the shipped page in Zarvo's own web view starts from: GTK on the Xvfb display,
// a scratch folder holding the user's data and settings, a presented window with the view in it,
// and waits that run the main context until the page has answered.
#pragma once

#include "foundation/json.h"
#include "studio/webkit_studio_view.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include <unistd.h>

namespace zarvo::testing {

// Runs the main context until `done` holds; generous, as a loaded machine starts WebKit slowly.
inline bool spinUntil(const std::function<bool()>& done,
                      std::chrono::seconds limit = std::chrono::seconds(120)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    guint wake = g_timeout_add(
        20, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
    while (!done() && std::chrono::steady_clock::now() < deadline)
        g_main_context_iteration(nullptr, TRUE);
    g_source_remove(wake);
    return done();
}

// Stands where the shell's link stands: hands the page's messages and loads to the controller under
// test once it is attached, and counts the actions it hands on.
class TestPageLink final : public StudioWebViewClient {
public:
    void didReceiveMessage(const Json& body, bool mainFrame) override {
        if (const Json* action = jsonMember(body, "action"); action && action->is_string())
            ++received[action->get<std::string>()];
        if (controller)
            controller->didReceiveMessage(body, mainFrame);
    }
    void didFinishLoad() override {
        if (controller)
            controller->didFinishLoad();
    }

    StudioWebViewClient* controller = nullptr;
    std::map<std::string, int> received;
};

// One window and one page for the whole suite: the engine starts once, which is what takes long.
class StudioWindowTest : public ::testing::Test {
protected:
    // Starts GTK and gives the process a fresh scratch folder named `prefix` and the process id,
    // with the user's data and settings below it.
    static ::testing::AssertionResult openScratchFolder(const std::string& prefix) {
        if (!gtk_init_check())
            return ::testing::AssertionFailure() << "no display; run under xvfb-run";
        folder = std::filesystem::temp_directory_path() / (prefix + "-" + std::to_string(getpid()));
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
        setenv("XDG_DATA_HOME", (folder / "data").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (folder / "config").c_str(), 1);
        return ::testing::AssertionSuccess();
    }
    // A presented window of the main window's size with Zarvo's web view as its content; the view
    // reports to `link`.
    static void openWindow() {
        window = gtk_window_new();
        gtk_window_set_default_size(GTK_WINDOW(window), 1240, 840);
        link = new TestPageLink();
        web = new WebKitStudioView(*link);
        gtk_window_set_child(GTK_WINDOW(window), web->widget());
        gtk_window_present(GTK_WINDOW(window));
    }
    static ::testing::AssertionResult pageLoaded() {
        if (spinUntil([] { return web->loaded(); }))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "the page did not load";
    }
    // After whatever holds the view (the studio) is gone.
    static void closeWindow() {
        delete web;
        web = nullptr;
        delete link;
        link = nullptr;
        if (window)
            gtk_window_destroy(GTK_WINDOW(window));
        window = nullptr;
    }
    static void removeScratchFolder() { std::filesystem::remove_all(folder); }

    // The page's answer to `script`, waited for; none when the script failed.
    static std::optional<Json> evaluate(const std::string& script) {
        bool answered = false;
        std::optional<Json> result;
        web->evaluate(script, [&](std::optional<Json> value) {
            result = std::move(value);
            answered = true;
        });
        EXPECT_TRUE(spinUntil([&] { return answered; })) << script;
        return result;
    }

    static inline std::filesystem::path folder;
    static inline GtkWidget* window = nullptr;
    static inline TestPageLink* link = nullptr;
    static inline WebKitStudioView* web = nullptr;
};

} // namespace zarvo::testing
