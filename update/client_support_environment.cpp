// The production environment of the update workflow: the running bundle, the manifest fetch on
// libsoup and detached child processes.
#include "foundation/child_process.h"
#include "foundation/paths.h"
#include "service/deployment.h"
#include "service/soup_http_client.h"
#include "update/client_support.h"
#include "update/code_signature.h"
#include "update/release_validation.h"
#include "update/url_error.h"
#include "version.h"

#include <libsoup/soup.h>

#include <unistd.h>

namespace zarvo {

namespace fs = std::filesystem;

namespace {

struct SessionHolder {
    SoupSession* session = nullptr;
    ~SessionHolder() {
        if (session) {
            soup_session_abort(session);
            g_object_unref(session);
        }
    }
};

struct ManifestExchange {
    std::shared_ptr<SessionHolder> holder;
    SoupMessage* message = nullptr;
    GInputStream* stream = nullptr;
    std::string url;
    std::string body;
    UpdateMirror::FetchReply reply;

    ~ManifestExchange() {
        if (stream)
            g_object_unref(stream);
        if (message)
            g_object_unref(message);
    }
    void done(std::optional<Error> error) {
        std::optional<HttpResponseInfo> response;
        if (message && soup_message_get_status(message) != 0) {
            char* final = g_uri_to_string(soup_message_get_uri(message));
            response = HttpResponseInfo{int(soup_message_get_status(message)), final ? final : ""};
            g_free(final);
        }
        if (error)
            reply(std::nullopt, response, error);
        else
            reply(body, response, std::nullopt);
    }
    // Reads at most one byte past the manifest limit: a longer body is refused anyway.
    void readMore() {
        g_input_stream_read_bytes_async(
            stream, 16384, G_PRIORITY_DEFAULT, nullptr,
            [](GObject* source, GAsyncResult* result, gpointer data) {
                std::unique_ptr<ManifestExchange> self(static_cast<ManifestExchange*>(data));
                GError* error = nullptr;
                GBytes* bytes =
                    g_input_stream_read_bytes_finish(G_INPUT_STREAM(source), result, &error);
                if (!bytes) {
                    Error mapped = URLError::fromGError(error);
                    g_error_free(error);
                    return self->done(mapped);
                }
                gsize length = 0;
                auto* chunk = static_cast<const char*>(g_bytes_get_data(bytes, &length));
                self->body.append(chunk ? chunk : "", length);
                g_bytes_unref(bytes);
                if (length == 0 || self->body.size() > ReleaseValidation::maximumManifestSize)
                    return self->done(std::nullopt);
                self.release()->readMore();
            },
            this);
    }
};

void fetchManifest(const std::shared_ptr<SessionHolder>& holder, const std::string& url,
                   UpdateMirror::FetchReply reply) {
    if (!holder->session) {
        holder->session =
            createServiceSession(*currentDeployment(), currentDeployment()->primaryHost);
        if (holder->session)
            g_object_set(holder->session, "timeout", 12u, nullptr);
    }
    SoupMessage* message = holder->session ? soup_message_new("GET", url.c_str()) : nullptr;
    if (!message)
        return reply(std::nullopt, std::nullopt, URLError::make(URLError::kUnknown));
    soup_message_add_flags(message, SOUP_MESSAGE_NO_REDIRECT);
    auto* exchange = new ManifestExchange{holder, message, nullptr, url, {}, std::move(reply)};
    soup_session_send_async(
        holder->session, message, G_PRIORITY_DEFAULT, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<ManifestExchange> self(static_cast<ManifestExchange*>(data));
            GError* error = nullptr;
            self->stream = soup_session_send_finish(SOUP_SESSION(source), result, &error);
            if (!self->stream) {
                Error mapped = URLError::fromGError(error);
                g_error_free(error);
                return self->done(mapped);
            }
            self.release()->readMore();
        },
        exchange);
}

bool startDetached(const std::vector<std::string>& arguments) {
    ChildOptions options;
    options.argv = arguments;
    // Its own session: the installer outlives Zarvo and must not get Zarvo's terminal signals.
    options.newSession = true;
    return !arguments.empty() && static_cast<bool>(startChild(options));
}

} // namespace

namespace {

// "<bundle>.app/Contents/MacOS/<executable>": the bundle this process runs from.
std::optional<fs::path> runningBundle(fs::path& executableFolder) {
    std::error_code ec;
    const fs::path executable = fs::read_symlink("/proc/self/exe", ec);
    executableFolder = executable.parent_path();
    const fs::path bundle = executableFolder.parent_path().parent_path();
    if (ec || executableFolder.filename() != "MacOS" || bundle.extension() != ".app")
        return std::nullopt;
    return bundle;
}

} // namespace

std::string runningVersion() {
    fs::path folder;
    if (auto bundle = runningBundle(folder))
        if (auto version =
                plistString(*bundle / "Contents/Info.plist", "CFBundleShortVersionString");
            version && ReleaseValidation::components(*version))
            return *version;
    return kVersion; // a build-tree run
}

ClientSupportEnvironment ClientSupportEnvironment::forThisProcess(std::function<void()> terminate) {
    ClientSupportEnvironment environment;
    std::error_code ec;
    fs::path macos;
    environment.currentBundle = runningBundle(macos);
    environment.currentVersion = runningVersion();
    environment.updaterExecutable = macos / "ZarvoUpdater";
    environment.terminate = std::move(terminate);
    environment.startProcess = startDetached;
    auto holder = std::make_shared<SessionHolder>();
    environment.fetch = [holder](const std::string& url, UpdateMirror::FetchReply reply) {
        fetchManifest(holder, url, std::move(reply));
    };
    fs::path support = fs::weakly_canonical(storageDirectory(), ec);
    environment.supportFolder = ec ? storageDirectory() : support;
    return environment;
}

} // namespace zarvo
