// Ledger entries, per-session records and their snapshot form.
#include "devservice/billing/billing_internal.h"
#include "foundation/encoding.h"

namespace zarvo::devservice::billing {

namespace {

Json timeOrNull(bool present, WallTime at) {
    return present ? Json(formatIso8601(at)) : Json(nullptr);
}

int64_t nonNegative(const Json& json, std::string_view key) {
    return std::max<int64_t>(0, jsonInteger(json, key, 0));
}

} // namespace

void addLedgerEntry(BillingService::Account& account, std::string_view kind,
                    const std::string* sessionId, int64_t paidDelta, int64_t giftDelta,
                    const std::string& description, WallTime at) {
    // Balances count reserved points as still the account's own: a hold is not a movement.
    int64_t paidBalance = account.paid + account.reservedPaid;
    int64_t giftBalance = account.gift + account.reservedGift;
    account.ledger.push_back(Json{
        {"entry_id", account.nextEntryId++},
        {"created_at", formatIso8601(at)},
        {"kind", std::string(kind)},
        {"session_id", sessionId ? Json(*sessionId) : Json(nullptr)},
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
    Json sessions = Json::array();
    for (const auto& s : account.sessions) {
        Json record = sessionRecord(*s);
        record["idempotency_key"] = s->idempotencyKey;
        record["render_uid"] = s->renderUid;
        record["rtc"] = {
            {"token", s->rtc.token}, {"channel_id", s->rtc.channelId}, {"user_id", s->rtc.userId}};
        sessions.push_back(std::move(record));
    }
    return Json{
        {"token", account.token},
        {"name", account.name},
        {"available_paid_points", account.paid},
        {"available_gift_points", account.gift},
        {"next_entry_id", account.nextEntryId},
        {"ledger", account.ledger},
        {"sessions", sessions},
        {"idempotency", account.idempotency},
    };
}

std::unique_ptr<BillingService::Account> accountFromJson(const Json& json) {
    auto token = jsonString(json, "token");
    if (!token || token->empty())
        return nullptr;
    auto account = std::make_unique<BillingService::Account>();
    account->token = *token;
    account->name = jsonString(json, "name", "");
    account->paid = nonNegative(json, "available_paid_points");
    account->gift = nonNegative(json, "available_gift_points");
    account->nextEntryId = std::max<int64_t>(1, jsonInteger(json, "next_entry_id", 1));
    if (const Json* ledger = jsonMember(json, "ledger"); ledger && ledger->is_array())
        for (const Json& entry : *ledger)
            if (entry.is_object())
                account->ledger.push_back(entry);
    if (const Json* sessions = jsonMember(json, "sessions"); sessions && sessions->is_array()) {
        for (const Json& item : *sessions) {
            auto id = jsonString(item, "session_id");
            if (!id || id->empty())
                continue;
            auto s = std::make_unique<BillingService::Session>();
            s->id = *id;
            s->idempotencyKey = jsonString(item, "idempotency_key", "");
            s->editingType = jsonString(item, "editing_type", "");
            s->state = jsonString(item, "state", "STOPPED");
            s->renderUid = jsonString(item, "render_uid", "");
            s->endReason = jsonString(item, "end_reason", "");
            if (const Json* rtc = jsonMember(item, "rtc")) {
                s->rtc.token = jsonString(*rtc, "token", "");
                s->rtc.channelId = jsonString(*rtc, "channel_id", "");
                s->rtc.userId = jsonString(*rtc, "user_id", "");
            }
            s->reservedPaid = nonNegative(item, "reserved_paid_points");
            s->reservedGift = nonNegative(item, "reserved_gift_points");
            s->consumedPaid = std::min(s->reservedPaid, nonNegative(item, "consumed_paid_points"));
            s->consumedGift = std::min(s->reservedGift, nonNegative(item, "consumed_gift_points"));
            s->elapsedSeconds = nonNegative(item, "elapsed_seconds");
            s->confirmed = jsonBool(item, "bill_confirmed", false);
            if (auto started = parseIso8601(jsonString(item, "started_at", "")))
                s->createdAt = *started;
            if (auto ended = parseIso8601(jsonString(item, "ended_at", ""))) {
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
    if (const Json* keys = jsonMember(json, "idempotency"); keys && keys->is_object())
        for (auto it = keys->begin(); it != keys->end(); ++it)
            if (it->is_string())
                account->idempotency[it.key()] = it->get<std::string>();
    return account;
}

} // namespace zarvo::devservice::billing
