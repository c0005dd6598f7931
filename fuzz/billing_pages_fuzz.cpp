// The billing lists' replies ("client/billing", "client/session-billing"): the first byte picks
// the list, the page asked for and whether an older request's reply arrives late; the rest is the
// reply as the transport received it. The page gets the records exactly as the service sent them
// (the script's argument reads back as the same object), an answer for the list that asked, and
// never an older page's reply after a newer request.
#include "foundation/json.h"
#include "fuzz/fuzz_support.h"
#include "studio/billing_pages.h"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace zarvo;
    if (size < 1)
        return 0;
    const uint8_t control = data[0];
    const std::string body = fuzz::text(data + 1, size - 1);
    const auto list = control & 1 ? BillingPages::List::session : BillingPages::List::account;
    const bool stale = control & 2;
    const Json page = control & 4 ? Json(int64_t(control >> 3) - 8) : Json("x");

    std::vector<std::pair<std::string, BillingPages::Reply>> asked;
    std::vector<std::string> scripts;
    BillingPages pages([&](const std::string& path,
                           BillingPages::Reply done) { asked.emplace_back(path, std::move(done)); },
                       [&](const std::string& script) { scripts.push_back(script); });
    pages.request(list, page);
    if (stale)
        pages.request(list, Json(2));
    ZARVO_FUZZ_CHECK(asked.size() == (stale ? 2u : 1u));
    ZARVO_FUZZ_CHECK(asked[0].first.find("page=") != std::string::npos);
    ZARVO_FUZZ_CHECK(asked[0].first.find("page=-") == std::string::npos &&
                     asked[0].first.find("page=0") == std::string::npos);

    // The transport hands over an object or an error text.
    auto reply = parseJsonObject(body);
    if (reply)
        asked[0].second(*reply, std::nullopt);
    else
        asked[0].second(std::nullopt, body);
    if (stale) {
        ZARVO_FUZZ_CHECK(scripts.empty());
        return 0;
    }
    if (scripts.empty()) {
        // Only text that cannot be serialised is held back.
        if (reply)
            ZARVO_FUZZ_CHECK(!BillingPages::answer(list, *reply));
        return 0;
    }
    ZARVO_FUZZ_CHECK(scripts.size() == 1);
    const std::string function =
        list == BillingPages::List::account ? "receiveBilling" : "receiveSessionBilling";
    const std::string prefix = "window." + function + " && window." + function + "(";
    const std::string& script = scripts[0];
    ZARVO_FUZZ_CHECK(script.starts_with(prefix) && script.ends_with(")"));
    const Json handed = Json::parse(script.substr(prefix.size(), script.size() - prefix.size() - 1),
                                    nullptr, false);
    ZARVO_FUZZ_CHECK(!handed.is_discarded() && handed.is_object());
    if (reply)
        ZARVO_FUZZ_CHECK(handed == *reply);
    else
        ZARVO_FUZZ_CHECK(handed.size() == 1 && handed.contains("error"));
    return 0;
}
