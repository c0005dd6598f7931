#include "app/secret_service_store.h"

#include "foundation/owned.h"
#include "version.h"

#include <libsecret/secret.h>

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

// Cancels the call in flight once the deadline passes; gone with the call.
struct SecretServiceCredentialStore::Deadline {
    Deadline(SerialQueue& watchdog, Duration after) : cancellable(adoptRef(g_cancellable_new())) {
        timer = watchdog.postDelayed(after, [c = cancellable] { g_cancellable_cancel(c.get()); });
    }
    GCancellable* get() const { return cancellable.get(); }
    GRef<GCancellable> cancellable;
    TimerHandle timer;
};

SecretServiceCredentialStore::SecretServiceCredentialStore(std::string serviceHost,
                                                           Duration deadline)
    : host_(std::move(serviceHost)), deadline_(deadline) {}

SecretServiceCredentialStore::~SecretServiceCredentialStore() = default;

std::string SecretServiceCredentialStore::itemLabel(const std::string& serviceHost) {
    return "Zarvo 账户凭据（" + serviceHost + "）";
}

bool SecretServiceCredentialStore::answers() {
    Deadline deadline(watchdog_, deadline_);
    GErrorHolder error;
    // Opening a session is a real call to the service: a bus without one refuses it.
    GRef<SecretService> service =
        adoptRef(secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, deadline.get(), error.out()));
    return service && !error;
}

CredentialRead SecretServiceCredentialStore::read() {
    Deadline deadline(watchdog_, deadline_);
    GErrorHolder error;
    SecretPassword password(secret_password_lookup_sync(
        credentialSchema(), deadline.get(), error.out(), kHostAttribute, host_.c_str(), nullptr));
    if (error)
        return unexpected(std::string("无法从系统钥匙环读取账户凭据"));
    if (!password)
        return std::optional<std::string>{};
    return std::optional<std::string>(password.get());
}

CredentialWrite SecretServiceCredentialStore::write(const std::string& token) {
    Deadline deadline(watchdog_, deadline_);
    GErrorHolder error;
    const std::string label = itemLabel(host_);
    const bool stored = secret_password_store_sync(
        credentialSchema(), SECRET_COLLECTION_DEFAULT, label.c_str(), token.c_str(), deadline.get(),
        error.out(), kHostAttribute, host_.c_str(), nullptr);
    if (!stored || error)
        return unexpected(std::string("无法把账户凭据存入系统钥匙环"));
    return Ok{};
}

CredentialWrite SecretServiceCredentialStore::erase() {
    Deadline deadline(watchdog_, deadline_);
    GErrorHolder error;
    // False without an error: there was nothing to remove.
    secret_password_clear_sync(credentialSchema(), deadline.get(), error.out(), kHostAttribute,
                               host_.c_str(), nullptr);
    if (error)
        return unexpected(std::string("无法从系统钥匙环删除账户凭据"));
    return Ok{};
}

} // namespace zarvo
