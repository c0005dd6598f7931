// The stand-in's API: request bodies and query strings into the real billing service. The input
// is a series of requests split at "\n--\n"; each starts with a byte choosing the call. After each,
// the account's points are never negative and paid + gift = total.
#include "devservice/api_handler.h"
#include "devservice/billing/billing_service.h"
#include "foundation/virtual_loop.h"
#include "fuzz/fuzz_support.h"

namespace {

using namespace zarvo;
using namespace zarvo::devservice;

void checkAccount(BillingService& service, const std::string& token) {
    ApiRequest state{"primary", "GET", "client/state", {}, {}, "", token};
    auto reply = service.handle(state);
    ZARVO_FUZZ_CHECK(reply.status == 200);
    const Json& b = reply.body;
    for (auto& [key, value] : b.items())
        if (key.ends_with("_points") && value.is_number_integer())
            ZARVO_FUZZ_CHECK(value.get<int64_t>() >= 0);
    auto paid = jsonInteger(b, "available_paid_points"),
         gift = jsonInteger(b, "available_gift_points"), total = jsonInteger(b, "available_points");
    if (paid && gift && total)
        ZARVO_FUZZ_CHECK(*paid + *gift == *total);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const char* const calls[][2] = {
        {"POST", "live/start"},  {"POST", "live/switch"},   {"POST", "live/stop"},
        {"GET", "live/current"}, {"GET", "client/billing"}, {"GET", "client/session-billing"},
        {"GET", "client/state"}, {"POST", "client/state"},
    };
    VirtualLoop loop;
    BillingConfig config;
    config.accounts.push_back({"fuzz-token", "开发账号", 3000, 600});
    config.maxImageBytes = 64 * 1024;
    BillingService service(loop, config);
    const std::string input = fuzz::text(data, size);
    size_t start = 0;
    for (int n = 0; n < 8 && start < input.size(); n++) {
        size_t end = input.find("\n--\n", start);
        if (end == std::string::npos)
            end = input.size();
        const std::string part = input.substr(start, end - start);
        start = end + 4;
        if (part.empty())
            continue;
        const uint8_t choice = uint8_t(part[0]);
        ApiRequest request{"primary", calls[choice % 8][0], calls[choice % 8][1], {},
                           {},        part.substr(1),       "fuzz-token"};
        if (request.method == std::string("GET")) {
            // The body becomes the query: "key=value&…".
            size_t at = 0;
            while (at < request.body.size()) {
                size_t amp = request.body.find('&', at);
                std::string pair = request.body.substr(
                    at, amp == std::string::npos ? std::string::npos : amp - at);
                size_t eq = pair.find('=');
                request.query.emplace_back(pair.substr(0, eq),
                                           eq == std::string::npos ? "" : pair.substr(eq + 1));
                at = amp == std::string::npos ? request.body.size() : amp + 1;
            }
            request.body.clear();
        }
        (void)service.handle(request);
        loop.advance(std::chrono::milliseconds(100 + 300 * (choice >> 4)));
        checkAccount(service, "fuzz-token");
    }
    return 0;
}
