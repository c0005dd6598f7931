#include "devservice/rtc/loopback_rtc_service.h"

#include "devservice/rtc/rtc_gateway.h"
#include "foundation/glib_loop.h"
#include "foundation/owned.h"

#include <libsoup/soup.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

namespace zarvo::devservice {

namespace {

class TableRegistry final : public SessionRegistry {
public:
    std::optional<SessionMedia> validateJoin(const RTCCredentials& join) override {
        std::lock_guard lock(mutex_);
        for (auto& [id, entry] : sessions_)
            if (entry.credentials.token == join.token &&
                (join.channelID.empty() || join.channelID == entry.credentials.channelID) &&
                (join.userID.empty() || join.userID == entry.credentials.userID))
                return entry.media;
        return std::nullopt;
    }
    std::optional<SessionMedia> sessionMedia(const std::string& sessionID) override {
        std::lock_guard lock(mutex_);
        auto it = sessions_.find(sessionID);
        if (it == sessions_.end())
            return std::nullopt;
        return it->second.media;
    }
    bool attachParticipant(const std::string& sessionID) override {
        std::lock_guard lock(mutex_);
        return sessions_.count(sessionID) > 0;
    }
    void videoFlowing(const std::string& sessionID) override {
        std::lock_guard lock(mutex_);
        auto it = sessions_.find(sessionID);
        if (it != sessions_.end()) {
            it->second.flowing = true;
            it->second.media.state = "RUNNING";
        }
    }
    void switchFailed(const std::string&, int64_t seqID, const std::string& code) override {
        std::lock_guard lock(mutex_);
        failures_.push_back(std::to_string(seqID) + ":" + code);
    }
    int addListener(Listener listener) override {
        listeners_[++nextListener_] = std::move(listener);
        return nextListener_;
    }
    void removeListener(int id) override { listeners_.erase(id); }

    // Loop thread only.
    void emit(const SessionEvent& event) {
        auto copy = listeners_;
        for (auto& [id, listener] : copy)
            listener(event);
    }

    struct Entry {
        SessionMedia media;
        RTCCredentials credentials;
        bool flowing = false;
    };
    mutable std::mutex mutex_;
    std::map<std::string, Entry> sessions_;
    std::vector<std::string> failures_;
    std::map<int, Listener> listeners_;
    int nextListener_ = 0;
};

} // namespace

struct LoopbackRTCService::State {
    GRef<GMainContext> context = adoptRef(g_main_context_new());
    GRef<GMainLoop> mainLoop = adoptRef(g_main_loop_new(context.get(), FALSE));
    std::thread thread;
    TableRegistry registry;
    std::unique_ptr<GLibLoop> loop;
    std::unique_ptr<RTCGateway> gateway;
    GRef<SoupServer> server;
    uint16_t port = 0;

    // Runs `task` on the server thread and waits for it.
    void sync(const std::function<void()>& task) {
        std::mutex mutex;
        std::condition_variable cv;
        bool done = false;
        loop->post([&] {
            task();
            std::lock_guard lock(mutex);
            done = true;
            cv.notify_one();
        });
        std::unique_lock lock(mutex);
        cv.wait(lock, [&] { return done; });
    }
};

LoopbackRTCService::LoopbackRTCService() : state_(std::make_unique<State>()) {
    std::mutex mutex;
    std::condition_variable cv;
    bool ready = false;
    State* s = state_.get();
    s->thread = std::thread([s, &mutex, &cv, &ready] {
        g_main_context_push_thread_default(s->context.get());
        s->loop = std::make_unique<GLibLoop>(s->context.get());
        s->gateway = std::make_unique<RTCGateway>(*s->loop, s->registry);
        s->server = adoptRef(soup_server_new(nullptr, nullptr));
        GErrorHolder error;
        soup_server_listen_local(s->server.get(), 0, SOUP_SERVER_LISTEN_IPV4_ONLY, error.out());
        GSList* uris = soup_server_get_uris(s->server.get());
        if (uris)
            s->port = static_cast<uint16_t>(g_uri_get_port(static_cast<GUri*>(uris->data)));
        g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
        s->gateway->attach(s->server.get(), "/rtc");
        {
            std::lock_guard lock(mutex);
            ready = true;
            cv.notify_one();
        }
        g_main_loop_run(s->mainLoop.get());
        s->gateway.reset();
        soup_server_disconnect(s->server.get());
        s->server.reset();
        while (g_main_context_pending(s->context.get()))
            g_main_context_iteration(s->context.get(), FALSE);
        s->loop.reset();
        g_main_context_pop_thread_default(s->context.get());
    });
    std::unique_lock lock(mutex);
    cv.wait(lock, [&] { return ready; });
}

LoopbackRTCService::~LoopbackRTCService() {
    State* s = state_.get();
    s->sync([s] { g_main_loop_quit(s->mainLoop.get()); });
    s->thread.join();
}

uint16_t LoopbackRTCService::port() const {
    return state_->port;
}

void LoopbackRTCService::addSession(const SessionMedia& media, const RTCCredentials& credentials) {
    std::lock_guard lock(state_->registry.mutex_);
    state_->registry.sessions_[media.sessionID] = {media, credentials, false};
}

void LoopbackRTCService::switchSession(const std::string& sessionID, const std::string& editingType,
                                       const std::string& referenceImage, int64_t seq) {
    State* s = state_.get();
    s->sync([&] {
        SessionEvent event{SessionEventKind::Switched, {}};
        {
            std::lock_guard lock(s->registry.mutex_);
            auto& media = s->registry.sessions_[sessionID].media;
            media.editingType = editingType;
            media.referenceJpeg = referenceImage;
            media.switchSeq = seq;
            event.media = media;
        }
        s->registry.emit(event);
    });
}

void LoopbackRTCService::endSession(const std::string& sessionID) {
    State* s = state_.get();
    s->sync([&] {
        SessionEvent event{SessionEventKind::Ended, {}};
        {
            std::lock_guard lock(s->registry.mutex_);
            auto it = s->registry.sessions_.find(sessionID);
            if (it == s->registry.sessions_.end())
                return;
            event.media = it->second.media;
            event.media.state = "STOPPED";
            s->registry.sessions_.erase(it);
        }
        s->registry.emit(event);
    });
}

void LoopbackRTCService::failSession(const std::string& sessionID, int code) {
    state_->sync([&] { state_->gateway->failSession(sessionID, code); });
}

void LoopbackRTCService::dropSession(const std::string& sessionID) {
    state_->sync([&] { state_->gateway->dropSession(sessionID); });
}

void LoopbackRTCService::refuseAnswers(bool refuse) {
    state_->sync([&] { state_->gateway->refuseAnswers(refuse); });
}

void LoopbackRTCService::setNetworkShape(const NetworkShape& shape) {
    state_->sync([&] { state_->gateway->setNetworkShape(shape); });
}

void LoopbackRTCService::setAdaptiveSending(bool adaptive) {
    state_->sync([&] { state_->gateway->setAdaptiveSending(adaptive); });
}

std::map<std::string, double> LoopbackRTCService::linkStats(const std::string& sessionID) const {
    std::map<std::string, double> stats;
    state_->sync([&] { stats = state_->gateway->linkStats(sessionID); });
    return stats;
}

bool LoopbackRTCService::videoFlowing(const std::string& sessionID) const {
    std::lock_guard lock(state_->registry.mutex_);
    auto it = state_->registry.sessions_.find(sessionID);
    return it != state_->registry.sessions_.end() && it->second.flowing;
}

std::vector<std::string> LoopbackRTCService::switchFailures() const {
    std::lock_guard lock(state_->registry.mutex_);
    return state_->registry.failures_;
}

size_t LoopbackRTCService::connectionCount() const {
    size_t count = 0;
    state_->sync([&] { count = state_->gateway->connectionCount(); });
    return count;
}

} // namespace zarvo::devservice
