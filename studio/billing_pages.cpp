#include "studio/billing_pages.h"

namespace zarvo {

BillingPages::BillingPages(Request request, Evaluate evaluate)
    : request_(std::move(request)), evaluate_(std::move(evaluate)) {}

std::string BillingPages::path(List list, int64_t page) {
    if (list == List::account)
        return "client/billing?page=" + std::to_string(page);
    return "client/session-billing?page=" + std::to_string(page) + "&page_size=20";
}

std::optional<std::string> BillingPages::answer(List list, const Json& payload) {
    std::string text;
    try {
        text = payload.dump();
    } catch (const Json::exception&) {
        // Text that is not valid UTF-8 cannot be handed to the page.
        return std::nullopt;
    }
    const char* function = list == List::account ? "receiveBilling" : "receiveSessionBilling";
    return std::string("window.") + function + " && window." + function + "(" + text + ")";
}

void BillingPages::request(List list, const Json& value) {
    ZARVO_DCHECK_THREAD(mainThread_);
    int64_t page = value.is_number_integer() ? value.get<int64_t>() : 1;
    if (value.is_number_unsigned() && value.get<uint64_t>() > uint64_t(INT64_MAX))
        page = INT64_MAX;
    if (page < 1)
        page = 1;
    int64_t& counter = list == List::account ? billingGeneration : sessionBillingGeneration;
    const int64_t generation = ++counter;
    if (!request_)
        return;
    request_(path(list, page), [this, alive = life_.watch(), list, generation](
                                   std::optional<Json> json, std::optional<std::string> error) {
        if (alive.alive())
            complete(list, generation, std::move(json), std::move(error));
    });
}

void BillingPages::complete(List list, int64_t generation, std::optional<Json> json,
                            std::optional<std::string> error) {
    ZARVO_DCHECK_THREAD(mainThread_);
    const int64_t current = list == List::account ? billingGeneration : sessionBillingGeneration;
    if (current != generation)
        return;
    Json payload = json ? std::move(*json)
                        : Json{{"error", error && !error->empty() ? *error : "账单加载失败"}};
    if (auto script = answer(list, payload); script && evaluate_)
        evaluate_(*script);
}

} // namespace zarvo
