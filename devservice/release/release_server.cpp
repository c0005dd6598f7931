#include "devservice/release/release_server.h"

#include "foundation/atomic_file.h"
#include "foundation/encoding.h"
#include "foundation/owned.h"

#include <libsoup/soup.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

namespace zarvo::devservice {

namespace {
constexpr const char* kFolderPath = "/downloads/workbench/zarvo/linux/";
constexpr size_t kChunk = 65536;
} // namespace

struct ReleaseServer::State {
    std::filesystem::path folder;
    mutable std::mutex mutex;
    ReleaseFaults faults;
    int packageRequests = 0;
    std::vector<ReleaseRequest> recorded;
};

namespace {

struct HandlerContext {
    std::shared_ptr<ReleaseServer::State> state;
    std::string host;
};

// One package body being written, possibly at a limited rate. Lives until the message finishes.
struct BodyWriter {
    SoupServerMessage* msg = nullptr;
    UniqueFd fd;
    int64_t offset = 0;
    int64_t remaining = 0;
    int64_t rate = 0; // bytes per second, 0: unlimited
    GRef<GSource> timer;
    gulong wroteChunk = 0, finished = 0;
    guint lastChunk = 0; // the size of the piece appended last

    ~BodyWriter() { cancelTimer(); }

    void cancelTimer() {
        if (timer)
            g_source_destroy(timer.get());
        timer.reset();
    }

    // Appends the next piece (or completes the body) and lets libsoup write it.
    void feed() {
        SoupMessageBody* body = soup_server_message_get_response_body(msg);
        if (remaining == 0) {
            soup_message_body_complete(body);
            soup_server_message_unpause(msg);
            return;
        }
        int64_t want = std::min<int64_t>(remaining, kChunk);
        if (rate > 0)
            want = std::min<int64_t>(want, std::max<int64_t>(rate / 20, 1)); // one 50 ms tick
        GOwned<char> buffer(static_cast<char*>(g_malloc(size_t(want))));
        ssize_t n = ::pread(fd.get(), buffer.get(), size_t(want), offset);
        if (n <= 0) {
            remaining = 0;
            soup_message_body_complete(body);
            soup_server_message_unpause(msg);
            return;
        }
        offset += n;
        remaining -= n;
        lastChunk = guint(n);
        soup_message_body_append(body, SOUP_MEMORY_TAKE, buffer.release(), size_t(n));
        soup_server_message_unpause(msg);
    }

    void onChunkWritten(guint size) {
        if (remaining == 0 && size == 0)
            return; // the completing empty chunk
        if (rate <= 0)
            return feed();
        // Held until the next tick appends more.
        soup_server_message_pause(msg);
        guint delay = guint(std::max<int64_t>(1, int64_t(size) * 1000 / rate));
        cancelTimer();
        timer = adoptRef(g_timeout_source_new(delay));
        g_source_set_callback(
            timer.get(),
            [](gpointer data) -> gboolean {
                auto* self = static_cast<BodyWriter*>(data);
                self->timer.reset();
                self->feed();
                return G_SOURCE_REMOVE;
            },
            this, nullptr);
        g_source_attach(timer.get(), g_main_context_get_thread_default());
    }
};

void startBody(SoupServerMessage* msg, UniqueFd fd, int64_t offset, int64_t length, int64_t rate) {
    auto* writer = new BodyWriter;
    writer->msg = msg;
    writer->fd = std::move(fd);
    writer->offset = offset;
    writer->remaining = length;
    writer->rate = rate;
    soup_message_body_set_accumulate(soup_server_message_get_response_body(msg), FALSE);
    writer->wroteChunk =
        g_signal_connect(msg, "wrote-chunk", G_CALLBACK(+[](SoupServerMessage*, gpointer data) {
                             auto* self = static_cast<BodyWriter*>(data);
                             self->onChunkWritten(self->lastChunk);
                         }),
                         writer);
    // The message owns the writer, so it goes with the message however the exchange ends.
    g_object_set_data_full(G_OBJECT(msg), "zarvo-body-writer", writer,
                           [](gpointer data) { delete static_cast<BodyWriter*>(data); });
    writer->finished =
        g_signal_connect(msg, "finished", G_CALLBACK(+[](SoupServerMessage* m, gpointer data) {
                             auto* self = static_cast<BodyWriter*>(data);
                             g_signal_handler_disconnect(m, self->wroteChunk);
                             g_signal_handler_disconnect(m, self->finished);
                             self->cancelTimer();
                         }),
                         writer);
    writer->feed();
}

void plainReply(SoupServerMessage* msg, int status, const std::string& type,
                const std::string& body) {
    soup_server_message_set_status(msg, guint(status), nullptr);
    soup_server_message_set_response(msg, type.c_str(), SOUP_MEMORY_COPY, body.data(), body.size());
}

// "bytes=a-b", "bytes=a-" or "bytes=-n" against `size`; none when it is not one such range.
bool parseRange(const std::string& header, int64_t size, int64_t& start, int64_t& end) {
    if (!header.starts_with("bytes=") || header.find(',') != std::string::npos)
        return false;
    std::string spec = header.substr(6);
    auto dash = spec.find('-');
    if (dash == std::string::npos)
        return false;
    std::string first = spec.substr(0, dash), last = spec.substr(dash + 1);
    auto number = [](const std::string& t, int64_t& out) {
        if (t.empty() || t.size() > 18 || t.find_first_not_of("0123456789") != std::string::npos)
            return false;
        out = std::stoll(t);
        return true;
    };
    if (first.empty()) {
        int64_t suffix = 0;
        if (!number(last, suffix) || suffix == 0)
            return false;
        start = std::max<int64_t>(0, size - suffix);
        end = size - 1;
        return true;
    }
    if (!number(first, start))
        return false;
    if (last.empty())
        end = size - 1;
    else if (!number(last, end) || end < start)
        return false;
    end = std::min(end, size - 1);
    return true;
}

void servePackage(ReleaseServer::State& state, const std::string& host, SoupServerMessage* msg,
                  const std::filesystem::path& file, ReleaseRequest& record) {
    ReleaseFaults faults;
    int number = 0;
    {
        std::lock_guard lock(state.mutex);
        number = state.packageRequests++;
        faults = state.faults;
        if (host == "download" && state.faults.unavailableOnDownloadHost > 0)
            --state.faults.unavailableOnDownloadHost;
    }
    SoupMessageHeaders* out = soup_server_message_get_response_headers(msg);
    if (!faults.redirect.empty()) {
        soup_message_headers_append(out, "Location", faults.redirect.c_str());
        record.status = 302;
        return plainReply(msg, 302, "text/plain", "moved");
    }
    if (host == "download" && faults.unavailableOnDownloadHost > 0) {
        record.status = 503;
        return plainReply(msg, 503, "application/json", "{\"detail\":\"下载线路维护中\"}");
    }
    UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0) {
        record.status = 404;
        return plainReply(msg, 404, "application/json", "{\"detail\":\"not found\"}");
    }
    const int64_t size = info.st_size;
    std::string etag = "\"" + std::to_string(size) + "-" + std::to_string(info.st_mtim.tv_sec) +
                       "." + std::to_string(info.st_mtim.tv_nsec);
    if (faults.changeEtagAfter >= 0 && number >= faults.changeEtagAfter)
        etag += "-republished";
    etag += "\"";
    if (faults.weakEtag)
        etag = "W/" + etag;

    int64_t start = 0, end = size - 1;
    bool ranged = !record.range.empty() && !faults.ignoreRanges &&
                  (record.ifRange.empty() || record.ifRange == etag || faults.ignoreIfRange);
    if (ranged && !parseRange(record.range, size, start, end))
        ranged = false;
    soup_message_headers_append(out, "Accept-Ranges", "bytes");
    soup_message_headers_append(out, "ETag", etag.c_str());
    if (ranged && start >= size) {
        soup_message_headers_append(out, "Content-Range",
                                    ("bytes */" + std::to_string(size)).c_str());
        record.status = 416;
        return plainReply(msg, 416, "text/plain", "");
    }
    if (!ranged) {
        start = 0;
        end = size - 1;
    }
    record.status = ranged ? 206 : 200;
    soup_server_message_set_status(msg, guint(record.status), nullptr);
    soup_message_headers_set_content_type(out, "application/zip", nullptr);
    if (ranged)
        soup_message_headers_append(out, "Content-Range",
                                    ("bytes " + std::to_string(start) + "-" + std::to_string(end) +
                                     "/" + std::to_string(size))
                                        .c_str());
    if (faults.gzipEncoding)
        soup_message_headers_append(out, "Content-Encoding", "gzip");
    int64_t length = end - start + 1;
    if (faults.shortBody) {
        // Without a length the body ends when the connection closes: one byte early.
        soup_message_headers_set_encoding(out, SOUP_ENCODING_EOF);
        length -= 1;
    } else {
        soup_message_headers_set_content_length(out, goffset(length));
    }
    if (std::string(soup_server_message_get_method(msg)) == "HEAD") {
        soup_message_body_complete(soup_server_message_get_response_body(msg));
        return;
    }
    startBody(msg, std::move(fd), start, length, faults.bytesPerSecondPerConnection);
}

void serve(ReleaseServer::State& state, const std::string& host, SoupServerMessage* msg,
           const char* rawPath) {
    ReleaseRequest record;
    record.host = host;
    record.path = rawPath ? rawPath : "";
    SoupMessageHeaders* in = soup_server_message_get_request_headers(msg);
    if (const char* range = soup_message_headers_get_one(in, "Range"))
        record.range = range;
    if (const char* ifRange = soup_message_headers_get_one(in, "If-Range"))
        record.ifRange = ifRange;
    const std::string method = soup_server_message_get_method(msg);
    const std::string name = record.path.starts_with(kFolderPath)
                                 ? record.path.substr(std::string(kFolderPath).size())
                                 : std::string();
    if (method != "GET" && method != "HEAD") {
        record.status = 405;
        plainReply(msg, 405, "application/json", "{\"detail\":\"method not allowed\"}");
    } else if (name == "latest.json" && host == "primary") {
        auto manifest = readFile(state.folder / name);
        record.status = manifest ? 200 : 404;
        plainReply(msg, record.status, "application/json",
                   manifest.value_or("{\"detail\":\"no release published\"}"));
    } else if (name.starts_with("Zarvo-") && name.ends_with(".zip") &&
               name.find('/') == std::string::npos && name.find("..") == std::string::npos) {
        servePackage(state, host, msg, state.folder / name, record);
    } else {
        record.status = 404;
        plainReply(msg, 404, "application/json", "{\"detail\":\"not found\"}");
    }
    std::lock_guard lock(state.mutex);
    state.recorded.push_back(record);
}

// The development signing key: made once, kept in the state folder (0600).
std::string ensureSigningKey(const std::filesystem::path& pem) {
    EVP_PKEY* key = nullptr;
    if (FILE* in = std::fopen(pem.c_str(), "r")) {
        key = PEM_read_PrivateKey(in, nullptr, nullptr, nullptr);
        std::fclose(in);
    }
    if (!key) {
        key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
        UniqueFd fd(key ? ::open(pem.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600) : -1);
        if (FILE* out = fd ? fdopen(fd.get(), "w") : nullptr) {
            (void)fd.release(); // the stream closes it
            PEM_write_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr);
            std::fclose(out);
        }
    }
    unsigned char raw[32];
    size_t length = sizeof raw;
    std::string publicKey;
    if (key && EVP_PKEY_get_raw_public_key(key, raw, &length) == 1)
        publicKey.assign(reinterpret_cast<char*>(raw), length);
    EVP_PKEY_free(key);
    return publicKey;
}

} // namespace

ReleaseServer::ReleaseServer(DevService& service, std::filesystem::path folder)
    : service_(service), folder_(std::move(folder)), state_(std::make_shared<State>()) {
    std::error_code ec;
    std::filesystem::create_directories(folder_, ec);
    state_->folder = folder_;
    std::string publicKey = ensureSigningKey(signingKey());
    if (publicKey.size() == 32)
        service_.setDeploymentMember("release_key", Json{{"key_id", kDevelopmentKeyID},
                                                         {"public_key", base64Encode(publicKey)}});
    service_.runOnServer([this] {
        for (const char* host : {"primary", "download"}) {
            SoupServer* server = service_.server(host);
            if (!server)
                continue;
            soup_server_add_handler(
                server, "/downloads",
                [](SoupServer*, SoupServerMessage* msg, const char* path, GHashTable*,
                   gpointer data) {
                    auto* context = static_cast<HandlerContext*>(data);
                    serve(*context->state, context->host, msg, path);
                },
                new HandlerContext{state_, host},
                [](gpointer data) { delete static_cast<HandlerContext*>(data); });
        }
    });
}

ReleaseServer::~ReleaseServer() {
    service_.runOnServer([this] {
        for (const char* host : {"primary", "download"})
            if (SoupServer* server = service_.server(host))
                soup_server_remove_handler(server, "/downloads");
    });
}

std::filesystem::path ReleaseServer::signingKey() const {
    return service_.deploymentFile().parent_path() / "release-key.pem";
}

void ReleaseServer::setFaults(ReleaseFaults faults) {
    std::lock_guard lock(state_->mutex);
    state_->faults = std::move(faults);
    state_->packageRequests = 0;
}

std::vector<ReleaseRequest> ReleaseServer::requests() const {
    std::lock_guard lock(state_->mutex);
    return state_->recorded;
}

void ReleaseServer::clearRequests() {
    std::lock_guard lock(state_->mutex);
    state_->recorded.clear();
}

std::unique_ptr<ReleaseServer> installReleaseServer(DevService& service,
                                                    const std::filesystem::path& stateDirectory) {
    return std::make_unique<ReleaseServer>(service, stateDirectory / "releases");
}

} // namespace zarvo::devservice
