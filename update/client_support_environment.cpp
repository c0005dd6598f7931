// The production environment of the update workflow: the running bundle, the manifest fetch on
// libsoup and detached child processes.
#include "foundation/child_process.h"
#include "foundation/owned.h"
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
    GRef<SoupSession> session;
    ~SessionHolder() {
        if (session)
            soup_session_abort(session.get());
    }
};

struct ManifestExchange {
    std::shared_ptr<SessionHolder> holder;
    GRef<SoupMessage> message;
    GRef<GInputStream> stream;
    std::string url;
    std::string body;
    UpdateMirror::FetchReply reply;

    void done(std::optional<Error> error) {
        std::optional<HttpResponseInfo> response;
        if (message && soup_message_get_status(message.get()) != 0) {
            GOwned<char> final(g_uri_to_string(soup_message_get_uri(message.get())));
            response = HttpResponseInfo{int(soup_message_get_status(message.get())),
                                        final ? final.get() : ""};
        }
        if (error)
            reply(std::nullopt, response, error);
        else
            reply(body, response, std::nullopt);
    }
    // Reads at most one byte past the manifest limit: a longer body is refused anyway.
    void readMore() {
        g_input_stream_read_bytes_async(
            stream.get(), 16384, G_PRIORITY_DEFAULT, nullptr,
            [](GObject* source, GAsyncResult* result, gpointer data) {
                std::unique_ptr<ManifestExchange> self(static_cast<ManifestExchange*>(data));
                GErrorHolder error;
                auto bytes = adoptRef(
                    g_input_stream_read_bytes_finish(G_INPUT_STREAM(source), result, error.out()));
                if (!bytes)
                    return self->done(URLError::fromGError(error.get()));
                gsize length = 0;
                auto* chunk = static_cast<const char*>(g_bytes_get_data(bytes.get(), &length));
                self->body.append(chunk ? chunk : "", length);
                bytes.reset();
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
            adoptRef(createServiceSession(*currentDeployment(), currentDeployment()->primaryHost));
        if (holder->session)
            g_object_set(holder->session.get(), "timeout", 12u, nullptr);
    }
    auto message =
        holder->session ? adoptRef(soup_message_new("GET", url.c_str())) : GRef<SoupMessage>();
    if (!message)
        return reply(std::nullopt, std::nullopt, URLError::make(URLError::kUnknown));
    soup_message_add_flags(message.get(), SOUP_MESSAGE_NO_REDIRECT);
    SoupMessage* sent = message.get();
    auto* exchange =
        new ManifestExchange{holder, std::move(message), nullptr, url, {}, std::move(reply)};
    soup_session_send_async(
        holder->session.get(), sent, G_PRIORITY_DEFAULT, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<ManifestExchange> self(static_cast<ManifestExchange*>(data));
            GErrorHolder error;
            self->stream =
                adoptRef(soup_session_send_finish(SOUP_SESSION(source), result, error.out()));
            if (!self->stream)
                return self->done(URLError::fromGError(error.get()));
            self.release()->readMore();
        },
        exchange);
}

// Its own session, not waited for: the installer outlives Zarvo, gets none of Zarvo's terminal
// signals and never lingers as a zombie if the quit is held up.
bool startInstaller(const std::vector<std::string>& arguments) {
    ChildOptions options;
    options.argv = arguments;
    return !arguments.empty() && startDetached(options).ok();
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

ClientSupportEnvironment ClientSupportEnvironment::forThisProcess() {
    ClientSupportEnvironment environment;
    std::error_code ec;
    fs::path macos;
    environment.currentBundle = runningBundle(macos);
    environment.currentVersion = runningVersion();
    // The build's own release day; a bundle restamped with another version has no known day.
    if (environment.currentVersion == kVersion)
        environment.currentDate = kReleaseDate;
    environment.updaterExecutable = macos / "ZarvoUpdater";
    environment.startProcess = startInstaller;
    auto holder = std::make_shared<SessionHolder>();
    environment.fetch = [holder](const std::string& url, UpdateMirror::FetchReply reply) {
        fetchManifest(holder, url, std::move(reply));
    };
    fs::path support = fs::weakly_canonical(storageDirectory(), ec);
    environment.supportFolder = ec ? storageDirectory() : support;
    return environment;
}

} // namespace zarvo
