// Real TLS against the in-process stand-in: a state folder per test, and a network thread that
// owns a SoupHttpClient so the route layer can run on a VirtualLoop while exchanges are real.
#pragma once

#include "devservice/devservice.h"
#include "foundation/virtual_loop.h"
#include "service/deployment.h"
#include "service/soup_http_client.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>
#include <unistd.h>

namespace zarvo::test {

inline std::filesystem::path freshStateDirectory(const std::string& name) {
    static int counter = 0;
    auto dir =
        std::filesystem::temp_directory_path() /
        ("zarvo-https-" + name + "-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
    std::filesystem::remove_all(dir);
    return dir;
}

// Polls a condition that other threads make true (real I/O, never a timer of ours).
template <class Pred>
bool eventually(Pred pred, std::chrono::seconds limit = std::chrono::seconds(20)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

class NetworkThread {
public:
    explicit NetworkThread(Deployment deployment) {
        context_ = g_main_context_new();
        loop_ = g_main_loop_new(context_, FALSE);
        thread_ = std::thread([this, deployment = std::move(deployment)] {
            g_main_context_push_thread_default(context_);
            client_ = std::make_unique<SoupHttpClient>(deployment);
            g_main_loop_run(loop_);
            client_.reset();
            while (g_main_context_iteration(context_, FALSE)) {
            }
            g_main_context_pop_thread_default(context_);
        });
    }
    ~NetworkThread() {
        invoke([this] { g_main_loop_quit(loop_); });
        thread_.join();
        g_main_loop_unref(loop_);
        g_main_context_unref(context_);
    }
    // The route layer's sender: every exchange runs on this thread.
    Sender sender() {
        return [this](const HttpRequest& request, SendCompletion complete) {
            invoke([this, request, complete] { client_->send(request, complete); });
        };
    }
    void invoke(std::function<void()> task) {
        g_main_context_invoke_full(
            context_, G_PRIORITY_DEFAULT,
            [](gpointer data) -> gboolean {
                (*static_cast<std::function<void()>*>(data))();
                return G_SOURCE_REMOVE;
            },
            new std::function<void()>(std::move(task)),
            [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
    }

private:
    GMainContext* context_;
    GMainLoop* loop_;
    std::thread thread_;
    std::unique_ptr<SoupHttpClient> client_;
};

class StandIn : public ::testing::Test {
protected:
    void SetUp() override {
        state =
            freshStateDirectory(::testing::UnitTest::GetInstance()->current_test_info()->name());
        devservice::DevServiceOptions options;
        options.stateDirectory = state;
        options.adminEndpoint = true;
        service = std::make_unique<devservice::DevService>(options);
        auto started = service->start();
        ASSERT_TRUE(started) << started.error().message;
        auto loaded = readDeploymentFile(service->deploymentFile());
        ASSERT_TRUE(loaded) << loaded.error().message;
        deployment = *loaded;
        setCurrentDeployment(deployment);
    }
    void TearDown() override {
        service.reset();
        std::filesystem::remove_all(state);
    }

    std::filesystem::path state;
    std::unique_ptr<devservice::DevService> service;
    Deployment deployment;
};

} // namespace zarvo::test
