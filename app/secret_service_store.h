// The desktop keyring: the Secret Service on the session bus, through libsecret. One item per
// service host, under a schema named after the application id, labelled so a user recognises it
// in a keyring manager.
#pragma once

#include "app/credential_store.h"
#include "foundation/time.h"

#include <gio/gio.h>

#include <chrono>
#include <memory>
#include <string>

namespace zarvo {

class SecretServiceCredentialStore final : public CredentialStore {
public:
    // Every call gives up after `deadline`: a locked keyring may wait for a user who is not there,
    // and a prompt that is never completed would hold libsecret for ever even when cancelled. The
    // call then goes on, abandoned, on a thread of its own; until it ends every call fails at once.
    explicit SecretServiceCredentialStore(std::string serviceHost,
                                          Duration deadline = std::chrono::seconds(20));
    ~SecretServiceCredentialStore() override;

    CredentialStorage storage() const override { return CredentialStorage::keyring; }
    CredentialRead read() override;
    CredentialWrite write(const std::string& token) override;
    CredentialWrite erase() override;
    // A Secret Service answers on the session bus. Blocking, bounded by the deadline.
    bool answers();

    // The attribute that names the service host, and the label of the item.
    static constexpr const char* kHostAttribute = "host";
    static std::string itemLabel(const std::string& serviceHost);

private:
    struct Call;
    // Runs `call` on a thread of its own with a cancellable that is cancelled at the deadline;
    // none when it did not finish in time or an earlier call is still stuck. Called on one
    // thread at a time (the keeper's queue).
    template <class R> std::optional<R> bounded(std::function<R(GCancellable*)> call);

    std::string host_;
    Duration deadline_;
    std::shared_ptr<Call> stuck_; // the abandoned call, still running or done since
};

} // namespace zarvo
