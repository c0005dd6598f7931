#include "devservice/billing/billing_service.h"

#include "devservice/billing/billing_internal.h"
#include "foundation/atomic_file.h"
#include "foundation/encoding.h"

#include <algorithm>
#include <cstdio>

namespace zarvo::devservice {

using namespace billing;

struct BillingService::Listeners {
    std::mutex mutex;
    std::map<int, Listener> byID;
    int nextID = 1;
};

namespace billing {

bool isLive(std::string_view state) {
    return state == "RESERVED" || state == "CREATING" || state == "CREATED" || state == "RUNNING";
}

bool isStartable(std::string_view state) {
    return state == "IDLE" || state == "ENDED" || state == "STOPPED" || state == "FAILED";
}

bool isEditingType(std::string_view type) {
    return type == "subject_replacement" || type == "virtual_tryon" ||
           type == "background_replacement" || type == "style_transfer";
}

std::string randomHex(size_t length) {
    return secureRandomHex(length);
}

Json errorBody(std::string_view detail) {
    return Json{{"detail", std::string(detail)}};
}

} // namespace billing

BillingService::BillingService(Loop& loop, BillingConfig config)
    : loop_(loop), config_(std::move(config)), listeners_(std::make_shared<Listeners>()) {
    std::lock_guard lock(mutex_);
    loadSnapshot();
    if (config_.accounts.empty() && accounts_.empty())
        developmentToken_ = createAccount(BillingAccountConfig{}).token;
    for (const auto& account : config_.accounts) {
        Account* known = accountForToken(account.token);
        std::string token = known ? known->token : createAccount(account).token;
        if (developmentToken_.empty())
            developmentToken_ = token;
    }
    if (developmentToken_.empty() && !accounts_.empty())
        developmentToken_ = accounts_.front()->token;
    saveSnapshot();
}

BillingService::~BillingService() {
    std::lock_guard lock(mutex_);
    // A clean stop loses no billed second. The loop may be gone already: the wall clock dates it.
    if (counterSavePending_)
        saveSnapshot(WallClock::now());
    counterSave_.cancel();
    // Timers hold plain pointers into the accounts; stop them before the accounts go.
    for (auto& account : accounts_)
        for (auto& session : account->sessions) {
            session->stepTimer.cancel();
            session->billingTimer.cancel();
            session->heartbeatTimer.cancel();
        }
}

std::string BillingService::developmentToken() const {
    std::lock_guard lock(mutex_);
    return developmentToken_;
}

std::string BillingService::addAccount(const BillingAccountConfig& account) {
    std::lock_guard lock(mutex_);
    if (!account.token.empty())
        if (Account* existing = accountForToken(account.token))
            return existing->token;
    std::string token = createAccount(account).token;
    saveSnapshot();
    return token;
}

void BillingService::failNextSwitch(const std::string& errorCode) {
    std::lock_guard lock(mutex_);
    pendingSwitchFailures_.push_back(errorCode);
}

std::string BillingService::snapshotProblem() const {
    std::lock_guard lock(mutex_);
    return snapshotProblem_;
}

BillingService::Account& BillingService::createAccount(const BillingAccountConfig& config) {
    auto account = std::make_unique<Account>();
    account->token = config.token.empty() ? "zdev_" + randomHex(32) : config.token;
    account->name = config.name;
    // Opening balances enter the ledger like any other movement, so the pages add up.
    if (config.paidPoints > 0) {
        account->paid = config.paidPoints;
        addLedgerEntry(*account, "grant", nullptr, config.paidPoints, 0, "充值积分", loop_.now());
    }
    if (config.giftPoints > 0) {
        account->gift = config.giftPoints;
        addLedgerEntry(*account, "grant", nullptr, 0, config.giftPoints, "赠送积分", loop_.now());
    }
    accounts_.push_back(std::move(account));
    return *accounts_.back();
}

BillingService::Account* BillingService::accountForToken(const std::string& token,
                                                         std::string* refusal) {
    if (refusal)
        *refusal = "登录状态已失效，请重新登录";
    if (token.empty())
        return nullptr;
    // Every token is compared in full, so the time taken tells nothing about the tokens.
    Account* found = nullptr;
    const SignIn* signIn = nullptr;
    for (auto& account : accounts_) {
        if (constantTimeEquals(account->token, token) && !found && account->phone.empty())
            found = account.get();
        for (const auto& s : account->signIns)
            if (constantTimeEquals(s.token, token) && !found) {
                found = account.get();
                signIn = &s;
            }
    }
    if (!signIn)
        return found;
    if (signIn->revoked) {
        if (refusal)
            *refusal = "登录已失效（已退出或被撤销），请重新登录";
        return nullptr;
    }
    if (config_.tokenLifetime && loop_.now() - signIn->issuedAt >= *config_.tokenLifetime) {
        if (refusal)
            *refusal = "登录已过期，请重新登录";
        return nullptr;
    }
    return found;
}

BillingService::Session* BillingService::findSession(const std::string& sessionID,
                                                     Account** owner) {
    for (auto& account : accounts_)
        for (auto& session : account->sessions)
            if (session->id == sessionID) {
                if (owner)
                    *owner = account.get();
                return session.get();
            }
    return nullptr;
}

// ---- Lifecycle -----------------------------------------------------------------------------

void BillingService::advanceTo(Session& session, const std::string& state) {
    session.state = state;
    saveSnapshot();
}

void BillingService::scheduleStep(Session& session) {
    if (session.state == "RESERVED") {
        session.stepTimer = loop_.postDelayed(config_.reserveDelay, [this, &session] {
            std::lock_guard lock(mutex_);
            if (session.state != "RESERVED")
                return;
            advanceTo(session, "CREATING");
            scheduleStep(session);
        });
    } else if (session.state == "CREATING") {
        session.stepTimer = loop_.postDelayed(config_.createDelay, [this, &session] {
            std::lock_guard lock(mutex_);
            if (session.state == "CREATING")
                onCreated(session);
        });
    }
}

void BillingService::onCreated(Session& session) {
    Account* account = nullptr;
    findSession(session.id, &account);
    session.state = "CREATED";
    // The upstream session exists and holds capacity from here on: the billing clock runs.
    session.billing = true;
    session.billingTimer = loop_.repeating(seconds(1), [this, account, &session] {
        std::lock_guard lock(mutex_);
        billOneSecond(*account, session);
    });
    if (session.videoSeen) {
        session.state = "RUNNING";
    } else if (session.participant) {
        session.stepTimer =
            loop_.postDelayed(config_.participantTimeout, [this, account, &session] {
                std::lock_guard lock(mutex_);
                if (session.state == "CREATED")
                    failSession(*account, session, "participant_timeout");
            });
    } else {
        session.stepTimer = loop_.postDelayed(config_.runningDelay, [this, &session] {
            std::lock_guard lock(mutex_);
            if (session.state == "CREATED")
                advanceTo(session, "RUNNING");
        });
    }
    saveSnapshot();
}

void BillingService::billOneSecond(Account& account, Session& session) {
    if (!session.billing)
        return;
    ++session.elapsedSeconds;
    if (session.consumedGift < session.reservedGift)
        ++session.consumedGift;
    else if (session.consumedPaid < session.reservedPaid)
        ++session.consumedPaid;
    if (session.consumed() >= session.reserved())
        endSession(account, session, "reservation_exhausted", "ENDED");
    else
        saveCountersSoon();
}

void BillingService::checkHeartbeat(Account& account, Session& session) {
    if (!isLive(session.state))
        return;
    Duration quiet = loop_.uptime() - session.lastHeartbeat;
    if (quiet >= config_.heartbeatTimeout) {
        endSession(account, session, "heartbeat_timeout", "STOPPED");
        return;
    }
    session.heartbeatTimer =
        loop_.postDelayed(config_.heartbeatTimeout - quiet, [this, &account, &session] {
            std::lock_guard lock(mutex_);
            checkHeartbeat(account, session);
        });
}

void BillingService::endSession(Account& account, Session& session, const std::string& reason,
                                const std::string& finalState) {
    if (!isLive(session.state))
        return;
    session.stepTimer.cancel();
    session.billingTimer.cancel();
    session.heartbeatTimer.cancel();
    session.billing = false;
    session.endReason = reason;
    session.state = "STOPPING";
    saveSnapshot();
    notify(SessionEventKind::Ended, session);
    session.stepTimer =
        loop_.postDelayed(config_.stoppingDelay, [this, &account, &session, finalState] {
            std::lock_guard lock(mutex_);
            if (session.state != "STOPPING")
                return;
            advanceTo(session, "RECONCILE_REQUIRED");
            session.stepTimer =
                loop_.postDelayed(config_.settlementDelay, [this, &account, &session, finalState] {
                    std::lock_guard lock(mutex_);
                    if (session.state == "RECONCILE_REQUIRED")
                        settle(account, session, finalState);
                });
        });
}

void BillingService::settle(Account& account, Session& session, const std::string& finalState) {
    account.reservedPaid -= session.reservedPaid;
    account.reservedGift -= session.reservedGift;
    account.paid += session.reservedPaid - session.consumedPaid;
    account.gift += session.reservedGift - session.consumedGift;
    session.confirmed = true;
    session.state = finalState;
    session.endedAt = loop_.now();
    session.hasEnded = true;
    if (session.consumed() > 0)
        addLedgerEntry(
            account, "session_charge", &session.id, -session.consumedPaid, -session.consumedGift,
            "AI 会话扣费 · " + std::to_string(session.consumed()) + " 秒", session.endedAt);
    saveSnapshot();
}

void BillingService::failSession(Account& account, Session& session, const std::string& reason) {
    if (!isLive(session.state))
        return;
    session.stepTimer.cancel();
    session.billingTimer.cancel();
    session.heartbeatTimer.cancel();
    session.billing = false;
    session.endReason = reason;
    // The edited video never came: nothing is charged for the connection attempt.
    session.consumedPaid = 0;
    session.consumedGift = 0;
    settle(account, session, "FAILED");
    notify(SessionEventKind::Ended, session);
}

// ---- Registry ------------------------------------------------------------------------------

SessionMedia BillingService::mediaOf(const Session& session) const {
    SessionMedia media;
    media.sessionID = session.id;
    media.state = session.state;
    media.channelID = session.rtc.channelID;
    media.clientUserID = session.rtc.userID;
    media.renderUID = session.renderUID;
    media.editingType = session.editingType;
    media.referenceJpeg = session.referenceJpeg;
    media.switchSeq = session.mediaSeq;
    return media;
}

std::optional<SessionMedia> BillingService::validateJoin(const RTCCredentials& join) {
    std::lock_guard lock(mutex_);
    for (auto& account : accounts_) {
        Session* session = account->current();
        // The token is the secret; a client may leave channel and user out, but not get them wrong.
        if (session && isLive(session->state) && !join.token.empty() &&
            constantTimeEquals(session->rtc.token, join.token) &&
            (join.channelID.empty() || session->rtc.channelID == join.channelID) &&
            (join.userID.empty() || session->rtc.userID == join.userID))
            return mediaOf(*session);
    }
    return std::nullopt;
}

std::optional<SessionMedia> BillingService::sessionMedia(const std::string& sessionID) {
    std::lock_guard lock(mutex_);
    Session* session = findSession(sessionID);
    if (!session || !isLive(session->state))
        return std::nullopt;
    return mediaOf(*session);
}

bool BillingService::attachParticipant(const std::string& sessionID) {
    std::lock_guard lock(mutex_);
    Account* account = nullptr;
    Session* session = findSession(sessionID, &account);
    if (!session || !isLive(session->state))
        return false;
    session->participant = true;
    if (session->state == "CREATED" && !session->videoSeen)
        session->stepTimer =
            loop_.postDelayed(config_.participantTimeout, [this, account, session] {
                std::lock_guard lock(mutex_);
                if (session->state == "CREATED")
                    failSession(*account, *session, "participant_timeout");
            });
    return true;
}

void BillingService::videoFlowing(const std::string& sessionID) {
    std::lock_guard lock(mutex_);
    Session* session = findSession(sessionID);
    if (!session || !isLive(session->state))
        return;
    session->videoSeen = true;
    if (session->state == "CREATED") {
        session->stepTimer.cancel();
        advanceTo(*session, "RUNNING");
    }
}

void BillingService::switchFailed(const std::string& sessionID, int64_t seqID,
                                  const std::string& errorCode) {
    std::lock_guard lock(mutex_);
    if (Session* session = findSession(sessionID))
        session->switchError = SwitchError{seqID, errorCode};
}

int BillingService::addListener(Listener listener) {
    std::lock_guard lock(listeners_->mutex);
    int id = listeners_->nextID++;
    listeners_->byID.emplace(id, std::move(listener));
    return id;
}

void BillingService::removeListener(int id) {
    std::lock_guard lock(listeners_->mutex);
    listeners_->byID.erase(id);
}

void BillingService::notify(SessionEventKind kind, const Session& session) {
    SessionEvent event{kind, mediaOf(session)};
    std::weak_ptr<Listeners> weak = listeners_;
    // Listeners run later on the loop, never under the service's lock, so they may call back in.
    loop_.post([weak, event = std::move(event)] {
        auto listeners = weak.lock();
        if (!listeners)
            return;
        std::vector<Listener> targets;
        {
            std::lock_guard lock(listeners->mutex);
            for (auto& [id, listener] : listeners->byID)
                targets.push_back(listener);
        }
        for (auto& listener : targets)
            listener(event);
    });
}

// ---- Snapshot ------------------------------------------------------------------------------

void BillingService::saveCountersSoon() {
    if (!config_.snapshotPath || counterSavePending_)
        return;
    counterSavePending_ = true;
    counterSave_ = loop_.postDelayed(config_.counterSaveDelay, [this] {
        std::lock_guard lock(mutex_);
        saveSnapshot();
    });
}

void BillingService::saveSnapshot(std::optional<WallTime> at) {
    if (!config_.snapshotPath)
        return;
    // This write carries the counters too.
    counterSave_.cancel();
    counterSavePending_ = false;
    Json accounts = Json::array();
    for (auto& account : accounts_)
        accounts.push_back(accountToJson(*account));
    Json root{
        {"format", 1}, {"saved_at", formatIso8601(at ? *at : loop_.now())}, {"accounts", accounts}};
    // It holds every account's token: owner-only from the moment it exists.
    auto written = writeFileAtomically(
        *config_.snapshotPath, root.dump(1, ' ', false, Json::error_handler_t::replace), 0600);
    if (!written.ok() && snapshotProblem_.empty())
        snapshotProblem_ =
            "cannot write " + config_.snapshotPath->string() + ": " + written.error().message;
}

void BillingService::loadSnapshot() {
    if (!config_.snapshotPath)
        return;
    auto text = readFile(*config_.snapshotPath);
    if (!text)
        return; // a first start
    // Read whole or not at all: a snapshot with one wrong member would otherwise come back with
    // balances silently read as zero.
    std::string problem;
    std::vector<std::unique_ptr<Account>> loaded;
    auto root = parseJsonObject(*text);
    const Json* list = root ? jsonMember(*root, "accounts") : nullptr;
    if (!list || !list->is_array())
        problem = "no account list";
    for (size_t i = 0; problem.empty() && i < list->size(); ++i) {
        auto account = accountFromJson((*list)[i]);
        if (!account)
            problem = "account " + std::to_string(i + 1) + ": " + account.error().message;
        else
            loaded.push_back(std::move(*account));
    }
    if (!problem.empty()) {
        // Keep the unreadable file for inspection instead of overwriting it with a fresh start.
        const std::string setAside = config_.snapshotPath->string() + ".unreadable";
        std::error_code ignored;
        std::filesystem::rename(*config_.snapshotPath, setAside, ignored);
        snapshotProblem_ = "unreadable snapshot " + config_.snapshotPath->string() + " (" +
                           problem + "), set aside as " + setAside +
                           "; starting with a fresh development account";
        return;
    }
    for (auto& account : loaded) {
        if (accountForToken(account->token))
            continue;
        accounts_.push_back(std::move(account));
    }
    // A restarted service lost track of whatever was live: it reconciles those sessions with
    // the seconds billed before the restart and marks them STOPPED, as it would for a lost client.
    for (auto& account : accounts_) {
        for (auto& session : account->sessions) {
            if (session->confirmed)
                continue;
            // A stop that was already under way settles as it would have; anything else is lost.
            bool stopping = session->endReason == "client_stop" ||
                            session->endReason == "reservation_exhausted";
            std::string finalState = stopping ? "ENDED" : "STOPPED";
            if (session->endReason.empty())
                session->endReason = "service_restarted";
            session->state = "RECONCILE_REQUIRED";
            Account* owner = account.get();
            Session* lost = session.get();
            session->stepTimer =
                loop_.postDelayed(config_.settlementDelay, [this, owner, lost, finalState] {
                    std::lock_guard lock(mutex_);
                    if (lost->state == "RECONCILE_REQUIRED")
                        settle(*owner, *lost, finalState);
                });
        }
    }
}

} // namespace zarvo::devservice
