// Ledger entries, per-session records and their snapshot form.
#include "devservice/billing/billing_internal.h"
#include "foundation/encoding.h"

namespace zarvo::devservice::billing {

namespace {

Json timeOrNull(bool present, WallTime at) {
    return present ? Json(formatIso8601(at)) : Json(nullptr);
}

} // namespace

void addLedgerEntry(BillingService::Account& account, std::string_view kind,
                    const std::string* sessionID, int64_t paidDelta, int64_t giftDelta,
                    const std::string& description, WallTime at) {
    // Balances count reserved points as still the account's own: a hold is not a movement.
    int64_t paidBalance = account.paid + account.reservedPaid;
    int64_t giftBalance = account.gift + account.reservedGift;
    account.ledger.push_back(Json{
        {"entry_id", account.nextEntryID++},
        {"created_at", formatIso8601(at)},
        {"kind", std::string(kind)},
        {"session_id", sessionID ? Json(*sessionID) : Json(nullptr)},
        {"points", paidDelta + giftDelta},
        {"paid_points", paidDelta},
        {"gift_points", giftDelta},
        {"balance_after", paidBalance + giftBalance},
        {"paid_balance_after", paidBalance},
        {"gift_balance_after", giftBalance},
        {"description", description},
    });
}

Json sessionRecord(const BillingService::Session& s) {
    return Json{
        {"session_id", s.id},
        {"editing_type", s.editingType},
        {"state", s.state},
        {"started_at", formatIso8601(s.createdAt)},
        {"ended_at", timeOrNull(s.hasEnded, s.endedAt)},
        {"elapsed_seconds", s.elapsedSeconds},
        {"reserved_points", s.reserved()},
        {"reserved_paid_points", s.reservedPaid},
        {"reserved_gift_points", s.reservedGift},
        {"consumed_points", s.consumed()},
        {"consumed_paid_points", s.consumedPaid},
        {"consumed_gift_points", s.consumedGift},
        {"refunded_points", s.confirmed ? s.reserved() - s.consumed() : 0},
        {"bill_confirmed", s.confirmed},
        {"confirmed_bill", s.confirmed ? Json(s.consumed()) : Json(nullptr)},
        {"end_reason", s.endReason.empty() ? Json(nullptr) : Json(s.endReason)},
    };
}

Json accountToJson(const BillingService::Account& account) {
    Json signIns = Json::array();
    for (const auto& s : account.signIns)
        signIns.push_back(
            Json{{"token", s.token},
                 {"issued_at_ms", static_cast<int64_t>(epochMilliseconds(s.issuedAt))},
                 {"revoked", s.revoked}});
    Json sessions = Json::array();
    for (const auto& s : account.sessions) {
        Json record = sessionRecord(*s);
        record["idempotency_key"] = s->idempotencyKey;
        record["render_uid"] = s->renderUID;
        record["rtc"] = {
            {"token", s->rtc.token}, {"channel_id", s->rtc.channelID}, {"user_id", s->rtc.userID}};
        sessions.push_back(std::move(record));
    }
    return Json{
        {"token", account.token},
        {"name", account.name},
        {"available_paid_points", account.paid},
        {"available_gift_points", account.gift},
        {"next_entry_id", account.nextEntryID},
        {"ledger", account.ledger},
        {"sessions", sessions},
        {"idempotency", account.idempotency},
        {"phone", account.phone},
        {"sign_ins", signIns},
    };
}

namespace {

// Reads snapshot members and remembers the first one of the wrong type: a snapshot the service
// did not write as it reads it is set aside whole, never read as zeros. Absent or null members
// take their default.
class StrictReader {
public:
    std::string problem;

    std::string text(const Json& object, std::string_view key, std::string_view fallback = "") {
        const Json* member = present(object, key);
        if (!member)
            return std::string(fallback);
        if (!member->is_string())
            return wrong(key, std::string(fallback));
        return member->get<std::string>();
    }
    int64_t count(const Json& object, std::string_view key, int64_t fallback = 0) {
        const Json* member = present(object, key);
        if (!member)
            return fallback;
        if (!member->is_number_integer() || member->get<int64_t>() < 0)
            return wrong(key, fallback);
        return member->get<int64_t>();
    }
    bool flag(const Json& object, std::string_view key) {
        const Json* member = present(object, key);
        if (!member)
            return false;
        if (!member->is_boolean())
            return wrong(key, false);
        return member->get<bool>();
    }
    const Json* list(const Json& object, std::string_view key) {
        const Json* member = present(object, key);
        if (member && !member->is_array())
            return wrong(key, nullptr);
        return member;
    }
    const Json* record(const Json& object, std::string_view key) {
        const Json* member = present(object, key);
        if (member && !member->is_object())
            return wrong(key, nullptr);
        return member;
    }
    void require(bool ok, std::string_view what) {
        if (!ok && problem.empty())
            problem = std::string(what);
    }

private:
    static const Json* present(const Json& object, std::string_view key) {
        const Json* member = jsonMember(object, key);
        return member && !member->is_null() ? member : nullptr;
    }
    template <class T> T wrong(std::string_view key, T fallback) {
        if (problem.empty())
            problem = "member \"" + std::string(key) + "\" has the wrong type";
        return fallback;
    }
};

} // namespace

Result<std::unique_ptr<BillingService::Account>> accountFromJson(const Json& json) {
    StrictReader read;
    read.require(json.is_object(), "an account is not an object");
    if (!read.problem.empty())
        return unexpected(Error{read.problem, 1});
    auto account = std::make_unique<BillingService::Account>();
    account->token = read.text(json, "token");
    read.require(!account->token.empty(), "an account has no token");
    account->name = read.text(json, "name");
    account->paid = read.count(json, "available_paid_points");
    account->gift = read.count(json, "available_gift_points");
    account->nextEntryID = std::max<int64_t>(1, read.count(json, "next_entry_id", 1));
    if (const Json* ledger = read.list(json, "ledger"))
        for (const Json& entry : *ledger) {
            read.require(entry.is_object(), "a ledger entry is not an object");
            if (entry.is_object())
                account->ledger.push_back(entry);
        }
    if (const Json* sessions = read.list(json, "sessions")) {
        for (const Json& item : *sessions) {
            read.require(item.is_object(), "a session is not an object");
            if (!item.is_object())
                continue;
            auto s = std::make_unique<BillingService::Session>();
            s->id = read.text(item, "session_id");
            read.require(!s->id.empty(), "a session has no id");
            s->idempotencyKey = read.text(item, "idempotency_key");
            s->editingType = read.text(item, "editing_type");
            s->state = read.text(item, "state", "STOPPED");
            s->renderUID = read.text(item, "render_uid");
            s->endReason = read.text(item, "end_reason");
            if (const Json* rtc = read.record(item, "rtc")) {
                s->rtc.token = read.text(*rtc, "token");
                s->rtc.channelID = read.text(*rtc, "channel_id");
                s->rtc.userID = read.text(*rtc, "user_id");
            }
            s->reservedPaid = read.count(item, "reserved_paid_points");
            s->reservedGift = read.count(item, "reserved_gift_points");
            s->consumedPaid = std::min(s->reservedPaid, read.count(item, "consumed_paid_points"));
            s->consumedGift = std::min(s->reservedGift, read.count(item, "consumed_gift_points"));
            s->elapsedSeconds = read.count(item, "elapsed_seconds");
            s->confirmed = read.flag(item, "bill_confirmed");
            if (auto started = parseIso8601(read.text(item, "started_at")))
                s->createdAt = *started;
            if (auto ended = parseIso8601(read.text(item, "ended_at"))) {
                s->endedAt = *ended;
                s->hasEnded = true;
            }
            // Holds are rebuilt from the sessions themselves, so they can never disagree.
            if (!s->confirmed) {
                account->reservedPaid += s->reservedPaid;
                account->reservedGift += s->reservedGift;
            }
            account->sessions.push_back(std::move(s));
        }
    }
    if (const Json* keys = read.record(json, "idempotency"))
        for (auto it = keys->begin(); it != keys->end(); ++it) {
            read.require(it->is_string(), "an idempotency entry is not a text");
            if (it->is_string())
                account->idempotency[it.key()] = it->get<std::string>();
        }
    account->phone = read.text(json, "phone");
    if (const Json* signIns = read.list(json, "sign_ins"))
        for (const Json& item : *signIns) {
            read.require(item.is_object(), "a sign-in is not an object");
            if (!item.is_object())
                continue;
            BillingService::SignIn signIn;
            signIn.token = read.text(item, "token");
            read.require(!signIn.token.empty(), "a sign-in has no token");
            signIn.issuedAt = WallTime(std::chrono::milliseconds(read.count(item, "issued_at_ms")));
            signIn.revoked = read.flag(item, "revoked");
            account->signIns.push_back(std::move(signIn));
        }
    if (!read.problem.empty())
        return unexpected(Error{read.problem, 1});
    return account;
}

} // namespace zarvo::devservice::billing
