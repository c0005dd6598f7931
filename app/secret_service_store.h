// The desktop keyring: the Secret Service on the session bus, through libsecret. One item per
// service host, under a schema named after the application id, labelled so a user recognises it
// in a keyring manager.
#pragma once

#include "app/credential_store.h"
#include "foundation/time.h"

#include <chrono>
#include <string>

namespace zarvo {

class SecretServiceCredentialStore final : public CredentialStore {
public:
    // Every call gives up after `deadline`: a locked keyring may wait for a user who is not there.
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
    struct Deadline;
    std::string host_;
    Duration deadline_;
    SerialQueue watchdog_{"zarvo.credential.deadline"};
};

} // namespace zarvo
