// The studio page's two billing lists. Each list has its own request counter, so paging quickly
// never shows an older page last, and a request of one list never hides the reply of the other.
// Main thread only; the records are handed to the page exactly as the service sent them.
#pragma once

#include "foundation/json.h"
#include "foundation/thread_check.h"
#include "foundation/weak_owner.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace zarvo {

class BillingPages {
public:
    enum class List { account, session };
    using Reply = std::function<void(std::optional<Json> json, std::optional<std::string> error)>;
    // A GET of `path` (relative to the API root) with the account's credential; `done` is called
    // once on the main thread.
    using Request = std::function<void(const std::string& path, Reply done)>;
    // Evaluates a script in the page.
    using Evaluate = std::function<void(const std::string& script)>;

    BillingPages(Request request, Evaluate evaluate);

    // The "billing" and "sessionBilling" actions: `value` is the message's "value" member (or
    // null when it had none); anything but an integer asks for page 1, as does a page below 1.
    void request(List list, const Json& value);

    // The path a request for `page` of `list` goes to (page already clamped).
    static std::string path(List list, int64_t page);
    // The script that hands `payload` to the page for `list`; none when it cannot be serialised.
    static std::optional<std::string> answer(List list, const Json& payload);

    int64_t billingGeneration = 0;
    int64_t sessionBillingGeneration = 0;

private:
    void complete(List list, int64_t generation, std::optional<Json> json,
                  std::optional<std::string> error);

    ThreadChecker mainThread_;

    Request request_;
    Evaluate evaluate_;
    WeakOwner life_;
};

} // namespace zarvo
