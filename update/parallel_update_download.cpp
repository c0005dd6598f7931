#include "update/parallel_update_download.h"

#include "foundation/encoding.h"
#include "foundation/owned.h"
#include "service/deployment.h"
#include "service/soup_http_client.h"
#include "update/release_validation.h"
#include "update/update_mirror.h"
#include "update/url_error.h"

#include <glib.h>
#include <libsoup/soup.h>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <thread>

namespace zarvo {

namespace fs = std::filesystem;

namespace {

constexpr int64_t kCopyBuffer = 262'144;
constexpr gsize kReadSize = 65'536;

Error failure(const char* message) {
    return Error{message, 1};
}

double uptimeSeconds() {
    return double(g_get_monotonic_time()) / 1e6;
}

std::string hostOf(const std::string& url) {
    auto uri = adoptRef(g_uri_parse(url.c_str(), G_URI_FLAGS_NONE, nullptr));
    if (!uri)
        return {};
    return g_uri_get_host(uri.get()) ? g_uri_get_host(uri.get()) : "";
}

Status<> writeAll(int fd, const char* data, size_t length) {
    while (length > 0) {
        ssize_t n = ::write(fd, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return unexpected(Error{std::string("写入更新文件失败：") + std::strerror(errno), 1});
        data += n;
        length -= size_t(n);
    }
    return Ok{};
}

struct Part {
    int64_t index = 0, start = 0, end = 0;
    fs::path url;
    int64_t received = 0;
    UniqueFd handle;
    bool responseAccepted = false;
    GRef<SoupMessage> message;
    GRef<GInputStream> stream;
    GRef<GCancellable> cancellable = adoptRef(g_cancellable_new());

    int64_t length() const { return end - start + 1; }
    ~Part() { g_cancellable_cancel(cancellable.get()); }
};

} // namespace

struct ParallelUpdateDownload::Impl : std::enable_shared_from_this<Impl> {
    // The queue: a thread running its own main context.
    GRef<GMainContext> context = adoptRef(g_main_context_new());
    std::thread thread;
    std::atomic<bool> stopping{false};
    int outstanding = 0; // libsoup calls whose callback has not run yet

    std::mutex cancellationLock;
    bool cancelled = false;
    double expiresAt = std::numeric_limits<double>::infinity();
    std::string expectedURL;
    int64_t size = 0;
    Progress onProgress;
    Completion completion;
    GRef<SoupSession> session; // released before the context it runs on
    std::optional<fs::path> folder;
    std::map<uint64_t, std::unique_ptr<Part>> parts;
    uint64_t nextTask = 1;
    std::map<int64_t, fs::path> files;
    int64_t next = 1, completed = 0, received = 0, maxObserved = 0;
    std::optional<std::string> etag;
    bool serial = false, finished = false;
    GRef<GSource> deadline;
    double totalTimeout = 1800.0;
    std::atomic<int64_t> peakConnections{0};

    void post(std::function<void()> task) {
        auto source = adoptRef(g_idle_source_new());
        g_source_set_callback(
            source.get(),
            [](gpointer data) -> gboolean {
                (*static_cast<std::function<void()>*>(data))();
                return G_SOURCE_REMOVE;
            },
            new std::function<void()>(std::move(task)),
            [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
        g_source_attach(source.get(), context.get());
    }

    void run() {
        pthread_setname_np(pthread_self(), "zarvo.update.do");
        g_main_context_push_thread_default(context.get());
        while (!(stopping && outstanding == 0))
            g_main_context_iteration(context.get(), TRUE);
        if (session)
            soup_session_abort(session.get());
        while (g_main_context_iteration(context.get(), FALSE)) {
        }
        g_main_context_pop_thread_default(context.get());
    }

    int64_t partCount() const { return (size + kChunkSize - 1) / kChunkSize; }

    std::optional<Error> checkBudget() {
        {
            std::lock_guard lock(cancellationLock);
            if (cancelled)
                return URLError::make(URLError::kCancelled);
        }
        if (uptimeSeconds() >= expiresAt)
            return URLError::make(URLError::kTimedOut);
        return std::nullopt;
    }

    void begin() {
        if (finished || session)
            return;
        expiresAt = uptimeSeconds() + totalTimeout;
        if (!ReleaseValidation::trustedURL(expectedURL) || size < 1 ||
            size > ReleaseValidation::maximumPackageSize)
            return finish(std::nullopt, failure("更新下载参数无效"));
        if (auto error = checkBudget())
            return finish(std::nullopt, *error);
        fs::path made = fs::temp_directory_path() / ("ZarvoDownload-" + randomUuid());
        std::error_code ec;
        fs::create_directories(made, ec);
        if (ec || ::chmod(made.c_str(), 0700) != 0)
            return finish(std::nullopt, Error{"无法创建更新临时文件", 1});
        folder = made;
        session = newSession();
        if (!session)
            return finish(std::nullopt, URLError::make(URLError::kCannotConnectToHost));
        deadline = adoptRef(g_timeout_source_new(guint(std::min(totalTimeout * 1000.0, 4e9))));
        auto* weak = new std::weak_ptr<Impl>(weak_from_this());
        g_source_set_callback(
            deadline.get(),
            [](gpointer data) -> gboolean {
                if (auto self = static_cast<std::weak_ptr<Impl>*>(data)->lock())
                    self->finish(std::nullopt, URLError::make(URLError::kTimedOut));
                return G_SOURCE_REMOVE;
            },
            weak, [](gpointer data) { delete static_cast<std::weak_ptr<Impl>*>(data); });
        g_source_attach(deadline.get(), context.get());
        serial = size < kThreshold;
        launch(0);
    }

    // The host's session as the service client makes it (loopback address and CA of a
    // development deployment), remade with four connections per host: the limit is fixed at
    // construction and libsoup's default is two.
    GRef<SoupSession> newSession() {
        auto base = adoptRef(createServiceSession(*currentDeployment(), hostOf(expectedURL)));
        if (!base)
            return nullptr;
        GSocketConnectable* connectable = nullptr;
        g_object_get(base.get(), "remote-connectable", &connectable, nullptr);
        auto heldConnectable = adoptRef(connectable);
        GTlsDatabase* database = soup_session_get_tls_database(base.get());
        auto made = adoptRef(soup_session_new_with_options(
            "max-conns-per-host", kConnections, "max-conns", kConnections, "timeout", 60u,
            "idle-timeout", 60u, "remote-connectable", connectable, "tls-database", database,
            nullptr));
        soup_session_remove_feature_by_type(made.get(), SOUP_TYPE_CONTENT_DECODER);
        return made;
    }

    struct Call {
        std::shared_ptr<Impl> impl;
        uint64_t task;
    };

    void launch(int64_t index) {
        if (finished || !folder)
            return;
        auto part = std::make_unique<Part>();
        part->index = index;
        if (serial) {
            part->start = 0;
            part->end = size - 1;
        } else {
            part->start = index * kChunkSize;
            part->end = std::min(part->start + kChunkSize - 1, size - 1);
        }
        part->url = *folder / ("part-" + std::to_string(index));
        auto owned = adoptRef(soup_message_new("GET", expectedURL.c_str()));
        SoupMessage* message = owned.get();
        if (!message)
            return finish(std::nullopt, failure("更新下载参数无效"));
        soup_message_add_flags(message, SOUP_MESSAGE_NO_REDIRECT);
        SoupMessageHeaders* headers = soup_message_get_request_headers(message);
        soup_message_headers_replace(headers, "Accept-Encoding", "identity");
        if (!serial) {
            std::string range =
                "bytes=" + std::to_string(part->start) + "-" + std::to_string(part->end);
            soup_message_headers_replace(headers, "Range", range.c_str());
            if (etag)
                soup_message_headers_replace(headers, "If-Range", etag->c_str());
        }
        part->message = std::move(owned);
        const uint64_t task = nextTask++;
        GCancellable* cancellable = part->cancellable.get();
        parts[task] = std::move(part);
        maxObserved = std::max<int64_t>(maxObserved, int64_t(parts.size()));
        peakConnections = maxObserved;
        ++outstanding;
        soup_session_send_async(session.get(), message, G_PRIORITY_DEFAULT, cancellable, onSent,
                                new Call{shared_from_this(), task});
    }

    static void onSent(GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<Call> call(static_cast<Call*>(data));
        Impl& self = *call->impl;
        --self.outstanding;
        GErrorHolder error;
        auto stream = adoptRef(soup_session_send_finish(SOUP_SESSION(source), result, error.out()));
        auto it = self.parts.find(call->task);
        if (self.finished || it == self.parts.end())
            return;
        if (!stream)
            return self.taskCompleted(call->task, URLError::fromGError(error.get()));
        it->second->stream = std::move(stream);
        if (!self.responseAccepted(call->task))
            return;
        // The first range's answer proved ranges and fixed the strong ETag that every later range
        // names in If-Range: the other connections need not wait for its body.
        if (!self.serial && it->second->index == 0)
            self.fillConnections();
        self.readNext(call->task);
    }

    // Tops the requests in flight up to four while parts remain.
    void fillConnections() {
        while (!finished && int64_t(parts.size()) < kConnections && next < partCount()) {
            launch(next);
            ++next;
        }
    }

    void cancelTask(uint64_t task) {
        auto it = parts.find(task);
        if (it != parts.end())
            g_cancellable_cancel(it->second->cancellable.get());
    }

    void serialFallback(uint64_t task) {
        cancelTask(task);
        parts.erase(task);
        serial = true;
        etag.reset();
        received = 0;
        if (onProgress)
            onProgress(0, size);
        launch(0);
    }

    // The response check; false when the task was cancelled, restarted or the download ended.
    bool responseAccepted(uint64_t task) {
        Part& part = *parts.at(task);
        SoupMessage* message = part.message.get();
        auto fail = [&](const char* text) {
            cancelTask(task);
            finish(std::nullopt, failure(text));
            return false;
        };
        GOwned<char> url(g_uri_to_string(soup_message_get_uri(message)));
        if (!url || expectedURL != url.get())
            return fail("更新地址校验失败");
        const int status = int(soup_message_get_status(message));
        if (!serial && part.index == 0 && (status == 200 || status == 501)) {
            serialFallback(task);
            return false;
        }
        if (status != (serial ? 200 : 206))
            return fail(UpdateMirror::retryableStatus(status) ? "下载线路暂不可用"
                                                              : "更新响应校验失败");
        SoupMessageHeaders* headers = soup_message_get_response_headers(message);
        if (const char* encoding = soup_message_headers_get_one(headers, "Content-Encoding");
            encoding && g_ascii_strcasecmp(encoding, "identity") != 0)
            return fail("更新响应编码无效");
        if (const char* length = soup_message_headers_get_one(headers, "Content-Length")) {
            if (!UpdateMirror::lengthText(length) || std::stoll(length) != part.length())
                return fail("更新响应长度无效");
        }
        if (!serial) {
            const char* range = soup_message_headers_get_one(headers, "Content-Range");
            std::string expected = "bytes " + std::to_string(part.start) + "-" +
                                   std::to_string(part.end) + "/" + std::to_string(size);
            if (!range || expected != range)
                return fail("更新分段范围无效");
            const char* tag = soup_message_headers_get_one(headers, "ETag");
            if (part.index == 0) {
                if (!tag || !UpdateMirror::strongETag(tag)) {
                    serialFallback(task);
                    return false;
                }
                etag = tag;
            } else if (!tag || *etag != tag) {
                return fail("更新分段版本变化");
            }
        }
        part.handle =
            UniqueFd(::open(part.url.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        if (!part.handle)
            return fail("无法创建更新临时文件");
        part.responseAccepted = true;
        return true;
    }

    void readNext(uint64_t task) {
        Part& part = *parts.at(task);
        ++outstanding;
        g_input_stream_read_bytes_async(part.stream.get(), kReadSize, G_PRIORITY_DEFAULT,
                                        part.cancellable.get(), onRead,
                                        new Call{shared_from_this(), task});
    }

    static void onRead(GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<Call> call(static_cast<Call*>(data));
        Impl& self = *call->impl;
        --self.outstanding;
        GErrorHolder error;
        auto bytes =
            adoptRef(g_input_stream_read_bytes_finish(G_INPUT_STREAM(source), result, error.out()));
        auto it = self.parts.find(call->task);
        if (self.finished || it == self.parts.end() || !it->second->responseAccepted)
            return;
        if (!bytes)
            return self.taskCompleted(call->task, URLError::fromGError(error.get()));
        gsize length = 0;
        const char* chunk = static_cast<const char*>(g_bytes_get_data(bytes.get(), &length));
        if (length == 0)
            return self.taskCompleted(call->task, std::nullopt);
        bool more = self.dataArrived(*it->second, chunk, length);
        bytes.reset();
        if (more)
            self.readNext(call->task);
    }

    bool dataArrived(Part& part, const char* chunk, gsize length) {
        if (int64_t(length) > part.length() - part.received) {
            finish(std::nullopt, failure("更新分段超过声明大小"));
            return false;
        }
        if (auto error = checkBudget()) {
            finish(std::nullopt, *error);
            return false;
        }
        if (auto written = writeAll(part.handle.get(), chunk, length); !written) {
            finish(std::nullopt, written.error());
            return false;
        }
        part.received += int64_t(length);
        received += int64_t(length);
        if (onProgress)
            onProgress(received, size);
        return true;
    }

    void taskCompleted(uint64_t task, std::optional<Error> error) {
        if (finished)
            return;
        auto node = parts.extract(task);
        if (node.empty())
            return;
        Part& part = *node.mapped();
        if (!error && part.responseAccepted && part.received == part.length()) {
            bool synced = ::fsync(part.handle.get()) == 0;
            bool closed = part.handle.close() == 0;
            if (!synced || !closed)
                return finish(std::nullopt, Error{"写入更新文件失败", 1});
            files[part.index] = part.url;
            ++completed;
            if (serial)
                return finish(part.url, std::nullopt);
            if (completed == partCount()) {
                if (auto assembled = assemble(); !assembled)
                    finish(std::nullopt, assembled.error());
                return;
            }
            fillConnections();
            return;
        }
        part.handle.reset();
        finish(std::nullopt, error.value_or(failure("更新分段长度校验失败")));
    }

    Status<> assemble() {
        if (!folder)
            return unexpected(failure("更新目录无效"));
        const fs::path output = *folder / "package.zip";
        UniqueFd out(::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        if (!out)
            return unexpected(failure("无法创建更新文件"));
        std::vector<char> buffer(kCopyBuffer);
        auto fail = [](Error error) { return unexpected(std::move(error)); };
        for (int64_t index = 0; index < partCount(); ++index) {
            if (auto error = checkBudget())
                return fail(*error);
            auto it = files.find(index);
            if (it == files.end())
                return fail(failure("更新分段缺失"));
            UniqueFd in(::open(it->second.c_str(), O_RDONLY | O_CLOEXEC));
            if (!in)
                return fail(failure("更新分段缺失"));
            for (;;) {
                ssize_t n = ::read(in.get(), buffer.data(), buffer.size());
                if (n < 0 && errno == EINTR)
                    continue;
                if (n < 0)
                    return fail(Error{"读取更新分段失败", 1});
                if (n == 0)
                    break;
                if (auto error = checkBudget())
                    return fail(*error);
                if (auto written = writeAll(out.get(), buffer.data(), size_t(n)); !written)
                    return fail(written.error());
            }
            in.reset();
            ::unlink(it->second.c_str());
        }
        if (::fsync(out.get()) != 0 || out.close() != 0)
            return unexpected(Error{"写入更新文件失败", 1});
        finish(output, std::nullopt);
        return Ok{};
    }

    void finish(std::optional<fs::path> file, std::optional<Error> error) {
        if (finished)
            return;
        if (!error)
            error = checkBudget();
        if (error)
            file.reset();
        finished = true;
        if (deadline) {
            g_source_destroy(deadline.get());
            deadline.reset();
        }
        parts.clear(); // closes handles and cancels what is in flight
        if (session)
            soup_session_abort(session.get());
        Completion done = std::move(completion);
        completion = nullptr;
        if (done)
            done(file, error);
        if (folder) {
            std::error_code ec;
            fs::remove_all(*folder, ec);
        }
    }
};

ParallelUpdateDownload::ParallelUpdateDownload(std::string url, int64_t size, Progress onProgress,
                                               Completion completion)
    : impl_(std::make_shared<Impl>()) {
    impl_->expectedURL = std::move(url);
    impl_->size = size;
    impl_->onProgress = std::move(onProgress);
    impl_->completion = std::move(completion);
}

ParallelUpdateDownload::~ParallelUpdateDownload() {
    if (!impl_->thread.joinable())
        return;
    cancel();
    auto impl = impl_;
    impl->post([impl] {
        impl->completion = nullptr; // nobody is left to tell
        impl->finish(std::nullopt, URLError::make(URLError::kCancelled));
        impl->stopping = true;
    });
    if (impl->thread.get_id() == std::this_thread::get_id())
        impl->thread.detach();
    else
        impl->thread.join();
}

void ParallelUpdateDownload::setTotalTimeout(double seconds) {
    impl_->totalTimeout = seconds;
}

void ParallelUpdateDownload::start() {
    if (impl_->thread.joinable())
        return;
    auto impl = impl_;
    impl->thread = std::thread([impl] { impl->run(); });
    impl->post([impl] { impl->begin(); });
}

void ParallelUpdateDownload::cancel() {
    std::lock_guard lock(impl_->cancellationLock);
    impl_->cancelled = true;
}

int64_t ParallelUpdateDownload::peakConnections() const {
    return impl_->peakConnections;
}

} // namespace zarvo
