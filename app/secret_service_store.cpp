#include "app/secret_service_store.h"

#include "foundation/owned.h"
#include "version.h"

#include <libsecret/secret.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace zarvo {
namespace {

const SecretSchema* credentialSchema() {
    static const SecretSchema schema = [] {
        SecretSchema s{};
        s.name = kBundleIdentifier;
        s.flags = SECRET_SCHEMA_NONE;
        s.attributes[0] = {SecretServiceCredentialStore::kHostAttribute,
                           SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[1] = {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING};
        return s;
    }();
    return &schema;
}

struct SecretPasswordDeleter {
    void operator()(char* password) const { secret_password_free(password); }
};
using SecretPassword = std::unique_ptr<char, SecretPasswordDeleter>;

} // namespace

// What a bounded call and its thread share.
struct SecretServiceCredentialStore::Call {
    std::mutex mutex;
    std::condition_variable finished;
    std::atomic<bool> done{false};
    GRef<GCancellable> cancellable = adoptRef(g_cancellable_new());
};

template <class R>
std::optional<R> SecretServiceCredentialStore::bounded(std::function<R(GCancellable*)> call) {
    if (stuck_ && !stuck_->done)
        return std::nullopt;
    stuck_.reset();
    auto shared = std::make_shared<Call>();
    auto result = std::make_shared<std::optional<R>>();
    std::thread([shared, result, call = std::move(call)] {
        R value = call(shared->cancellable.get());
        std::lock_guard lock(shared->mutex);
        *result = std::move(value);
        shared->done = true;
        shared->finished.notify_all();
    }).detach();
    std::unique_lock lock(shared->mutex);
    auto finished = [&] { return shared->done.load(); };
    if (shared->finished.wait_for(lock, deadline_, finished))
        return std::move(*result);
    // A well-behaved service ends its prompt on the cancel, and the call returns within a second
    // deadline; one that does not keeps the thread.
    g_cancellable_cancel(shared->cancellable.get());
    if (shared->finished.wait_for(lock, deadline_, finished))
        return std::move(*result);
    stuck_ = shared;
    return std::nullopt;
}

SecretServiceCredentialStore::SecretServiceCredentialStore(std::string serviceHost,
                                                           Duration deadline)
    : host_(std::move(serviceHost)), deadline_(deadline) {}

SecretServiceCredentialStore::~SecretServiceCredentialStore() = default;

std::string SecretServiceCredentialStore::itemLabel(const std::string& serviceHost) {
    return "Zarvo 账户凭据（" + serviceHost + "）";
}

bool SecretServiceCredentialStore::answers() {
    auto answered = bounded<bool>([](GCancellable* cancellable) {
        GErrorHolder error;
        // Opening a session is a real call to the service: a bus without one refuses it.
        GRef<SecretService> service = adoptRef(
            secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, cancellable, error.out()));
        return service && !error;
    });
    return answered.value_or(false);
}

CredentialRead SecretServiceCredentialStore::read() {
    auto read = bounded<CredentialRead>([host =
                                             host_](GCancellable* cancellable) -> CredentialRead {
        GErrorHolder error;
        SecretPassword password(secret_password_lookup_sync(
            credentialSchema(), cancellable, error.out(), kHostAttribute, host.c_str(), nullptr));
        if (error)
            return unexpected(std::string("无法从系统钥匙环读取账户凭据"));
        if (!password)
            return std::optional<std::string>{};
        return std::optional<std::string>(password.get());
    });
    if (!read)
        return unexpected(std::string("系统钥匙环没有应答，无法读取账户凭据"));
    return std::move(*read);
}

CredentialWrite SecretServiceCredentialStore::write(const std::string& token) {
    auto written = bounded<CredentialWrite>(
        [host = host_, token](GCancellable* cancellable) -> CredentialWrite {
            GErrorHolder error;
            const std::string label = itemLabel(host);
            const bool stored = secret_password_store_sync(
                credentialSchema(), SECRET_COLLECTION_DEFAULT, label.c_str(), token.c_str(),
                cancellable, error.out(), kHostAttribute, host.c_str(), nullptr);
            if (!stored || error)
                return unexpected(std::string("无法把账户凭据存入系统钥匙环"));
            return Ok{};
        });
    if (!written)
        return unexpected(std::string("系统钥匙环没有应答，无法保存账户凭据"));
    return std::move(*written);
}

CredentialWrite SecretServiceCredentialStore::erase() {
    auto erased =
        bounded<CredentialWrite>([host = host_](GCancellable* cancellable) -> CredentialWrite {
            GErrorHolder error;
            // False without an error: there was nothing to remove.
            secret_password_clear_sync(credentialSchema(), cancellable, error.out(), kHostAttribute,
                                       host.c_str(), nullptr);
            if (error)
                return unexpected(std::string("无法从系统钥匙环删除账户凭据"));
            return Ok{};
        });
    if (!erased)
        return unexpected(std::string("系统钥匙环没有应答，无法删除账户凭据"));
    return std::move(*erased);
}

} // namespace zarvo
