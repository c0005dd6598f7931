#include "studio/exact_interface.h"

#include "app/app.h"
#include "app/session_presentation.h"
#include "foundation/paths.h"
#include "studio/exact_interface_core.h"
#include "studio/studio_state.h"

#include <limits>
#include <system_error>

namespace zarvo {
namespace {

const Json* valueOf(const Json& body) {
    return jsonMember(body, "value");
}

// A value counts only with the type the action takes; anything else is missing.
std::optional<std::string> stringValue(const Json* value) {
    if (value && value->is_string())
        return value->get<std::string>();
    return std::nullopt;
}

std::optional<int64_t> integerValue(const Json* value) {
    if (!value)
        return std::nullopt;
    if (value->is_number_unsigned()) {
        auto v = value->get<uint64_t>();
        if (v > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
            return std::nullopt;
        return static_cast<int64_t>(v);
    }
    if (value->is_number_integer())
        return value->get<int64_t>();
    return std::nullopt;
}

std::optional<VideoFrame> frameValue(const Json* value) {
    if (!value)
        return std::nullopt;
    auto x = jsonNumber(*value, "x"), y = jsonNumber(*value, "y");
    auto width = jsonNumber(*value, "width"), height = jsonNumber(*value, "height");
    // A negative size has no sensible placement; the region keeps its frame.
    if (!x || !y || !width || !height || *width < 0 || *height < 0)
        return std::nullopt;
    return VideoFrame{*x, *y, *width, *height};
}

} // namespace

ExactInterface::ExactInterface(App& app, StudioWebView& web, StudioHost& host,
                               StudioSupport& support, const std::filesystem::path& page,
                               StudioParts parts)
    : app_(app), web_(web), host_(host), support_(support) {
    web_.addDocumentStartScript(
        themeScript(app_.defaults().string("studioAppearance").value_or("")));

    buildParts(std::move(parts));

    web_.loadFile(page, page.parent_path());
    OwnerWatch alive = life_.watch();
    timer_ = app_.loop().repeating(seconds(1.0), [this, alive] {
        if (alive.alive())
            refresh();
    });
}

ExactInterface::~ExactInterface() {
    timer_.cancel();
    life_.invalidate();
    releaseParts();
}

std::string ExactInterface::themeScript(const std::string& appearance) {
    std::string t = appearance == "dark" ? "dark" : "light";
    return "document.documentElement.dataset.theme='" + t + "';window.nativeAppearance='" + t +
           "';";
}

bool ExactInterface::aiBusy() const {
    return app_.sessionBusy();
}

void ExactInterface::didFinishLoad() {
    sentGalleryRevision = -1;
    app_.routes.check();
    refresh();
    probeLoadedPage(++loadGeneration_, 0);
}

// The page's scripts are modules, which the engine may still be running when it reports the load
// finished; the probe asks again for a while, and a page that is up gets its state at once.
void ExactInterface::probeLoadedPage(int64_t generation, int attempt) {
    OwnerWatch alive = life_.watch();
    web_.evaluate("typeof window.refreshStudio === 'function' && "
                  "!!document.getElementById('software-update')",
                  [this, alive, generation, attempt](std::optional<Json> result) {
                      if (!alive.alive() || generation != loadGeneration_)
                          return;
                      if (result && result->is_boolean() && result->get<bool>()) {
                          if (attempt > 0)
                              refresh();
                          support_.markLaunchReady();
                          return;
                      }
                      if (attempt >= 100)
                          return;
                      probeTimer_ = app_.loop().postDelayed(
                          std::chrono::milliseconds(100), [this, alive, generation, attempt] {
                              if (alive.alive())
                                  probeLoadedPage(generation, attempt + 1);
                          });
                  });
}

Json ExactInterface::buildState() {
    // Without a camera the chooser shows a placeholder item; the page has its own disabled entry
    // and hint for an empty list, and must not offer the placeholder as a camera.
    const std::vector<std::string> cameras =
        chooser_->devices().empty() ? std::vector<std::string>{} : chooser_->menuItems;
    Json update = support_.snapshot();
    Json routes = app_.routes.snapshot();
    SessionVideo* video = app_.video();

    StudioStateInputs in;
    in.usage = app_.usageSnapshot ? &*app_.usageSnapshot : nullptr;
    in.usageSyncedAt = app_.usageSyncedAt;
    in.now = app_.loop().now();
    in.networkState = app_.networkState;
    in.sessionBusy = app_.sessionBusy();
    in.liveDuration = app_.liveDuration.text;
    in.sessionBadge = app_.sessionBadge.text;
    in.pointsLabel = app_.pointsLabel.text;
    in.status = app_.status.text;
    in.syncLabel = app_.syncLabel.text;
    in.referenceName = app_.referenceName.text;
    in.switchNotice = app_.switchNotice;
    in.mode = app_.selectedModeIndex();
    in.cameras = &cameras;
    in.camera = chooser_->selectedIndex ? static_cast<int>(*chooser_->selectedIndex) : -1;
    in.mirror = preview_->mirror;
    in.hasReferenceData = app_.selectedReferenceData.has_value();
    in.bridgeResetting = video && video->resetting();
    in.bridgeHasEngine = video && video->hasEngine();
    in.bridgeResetTimedOut = video && video->resetTimedOut();
    in.presets = &presets_->presets();
    Json gallery;
    if (sentGalleryRevision != gallery_->galleryRevision()) {
        gallery = gallery_->galleryJson();
        in.gallery = &gallery;
        in.galleryRevision = gallery_->galleryRevision();
        sentGalleryRevision = gallery_->galleryRevision();
    }
    in.selectedReference = gallery_->selectedReference();
    in.update = &update;
    in.routes = &routes;
    if (app_.credentialKeeper && app_.credentialKeeper->storage() == CredentialStorage::file) {
        in.credentialInKeyring = false;
        in.credentialStorageText = kCredentialFileFallbackText;
    }
    in.signedIn = app_.credential.has_value();
    in.accountLocked = app_.sessionUnsettled();
    in.maskedPhone = app_.maskedPhone;
    in.signInNotice = app_.signInNotice;
    return buildStudioState(in);
}

void ExactInterface::refresh() {
    Json state = buildState();
    std::string text;
    try {
        text = state.dump(-1, ' ', false, Json::error_handler_t::strict);
    } catch (const Json::exception&) {
        return; // text that is not UTF-8; the next push tries again
    }
    web_.evaluate("window.refreshStudio && window.refreshStudio(" + text + ")");
}

void ExactInterface::openStudioPage(const std::string& page) {
    // A page opened on the application's behalf is not reported back by the page, so the video
    // region follows here; otherwise it would stay over the bill or settings page.
    host_.setVideoVisible(page == "live" || page == "presets");
    Json name = page;
    web_.evaluate("window.openStudioPage && window.openStudioPage(" + name.dump() + ")");
    // Nor does it ask for the bill lists then: the first page of each comes from here.
    if (page == "bill") {
        billing_->request(BillingPages::List::account, Json(1));
        billing_->request(BillingPages::List::session, Json(1));
    }
}

void ExactInterface::didReceiveMessage(const Json& body, bool mainFrame) {
    if (!mainFrame || !body.is_object())
        return;
    auto action = jsonString(body, "action");
    if (!action)
        return;
    const Json* value = valueOf(body);
    const std::string& a = *action;

    if (a == "rect") {
        if (auto frame = frameValue(value))
            host_.placeVideo(*frame);
    } else if (a == "routeMode") {
        if (auto mode = stringValue(value))
            app_.routes.select(*mode);
    } else if (a == "routeProbe") {
        app_.routes.check();
    } else if (a == "appearance") {
        auto t = stringValue(value);
        if (!t || (*t != "light" && *t != "dark"))
            return;
        app_.defaults().set("studioAppearance", *t);
        host_.setDarkAppearance(*t == "dark");
    } else if (a == "enlarge") {
        host_.enlargeOutput();
    } else if (a == "start") {
        app_.startAI();
    } else if (a == "stop") {
        app_.stopAI();
    } else if (a == "local") {
        host_.showLocalPreview();
        if (!app_.aiActive)
            preview_->startPreview();
    } else if (a == "ai") {
        host_.showAIOutput();
    } else if (a == "savePreset") {
        presets_->savePreset(stringValue(value), *presetCore_);
    } else if (a == "applyPreset") {
        if (auto id = stringValue(value))
            presets_->applyPreset(*id, *presetCore_);
    } else if (a == "deletePreset") {
        if (auto id = stringValue(value))
            presets_->deletePreset(*id);
    } else if (a == "previewReference") {
        if (auto path = stringValue(value))
            gallery_->previewReference(*path);
    } else if (a == "image") {
        gallery_->importImages();
    } else if (a == "selectReference") {
        if (auto path = stringValue(value))
            gallery_->chooseReference(*path, false);
    } else if (a == "removeReference") {
        // A cancelled or failed deletion ends without a push.
        if (auto path = stringValue(value); path && !gallery_->removeReference(*path))
            return;
    } else if (a == "page") {
        host_.setVideoVisible(stringValue(value).value_or("live") == "live");
    } else if (a == "sessionBilling") {
        billing_->request(BillingPages::List::session, value ? *value : Json());
    } else if (a == "billing") {
        billing_->request(BillingPages::List::account, value ? *value : Json());
    } else if (a == "refresh") {
        if (app_.stateBusy)
            app_.syncLabel.text = "正在同步积分，请稍候…";
        else
            app_.refreshState();
    } else if (a == "cameraCheck") {
        cameraCheck(integerValue(value).value_or(0));
    } else if (a == "cameraSetup") {
        support_.showCameraSetup();
    } else if (a == "diagnostics") {
        support_.exportDiagnostics();
    } else if (a == "checkUpdates") {
        support_.checkForUpdates(true);
    } else if (a == "updateNotes") {
        support_.showRelease();
    } else if (a == "downloadUpdate") {
        support_.downloadAvailable();
    } else if (a == "installUpdate") {
        support_.installDownloaded();
    } else if (a == "restartClient") {
        if (!restartClient())
            return;
    } else if (a == "mode") {
        auto index = integerValue(value);
        if (index && *index >= 0 && *index < static_cast<int64_t>(app_.modeButtons.size()))
            app_.selectMode(app_.modeButtons[static_cast<size_t>(*index)].tag);
    } else if (a == "camera") {
        // The chooser refuses a change while a session may hold the camera.
        if (auto index = integerValue(value))
            chooser_->chooseIndex(*index);
    } else if (a == "mirror") {
        preview_->setMirror(!preview_->mirror);
    } else if (a == "bill" || a == "settings") {
        openStudioPage(a);
    } else if (a == "signInCode" || a == "signIn") {
        const Json* fields = value && value->is_object() ? value : nullptr;
        std::string phone = fields ? jsonString(*fields, "phone", "") : "";
        std::string step = a == "signInCode" ? "code" : "login";
        auto answer = [this, alive = life_.watch(), step](std::optional<std::string> error) {
            if (!alive.alive())
                return;
            signInAnswer(step, error);
            refresh();
        };
        if (a == "signInCode")
            app_.requestSignInCode(phone, std::move(answer));
        else
            app_.signIn(phone, fields ? jsonString(*fields, "code", "") : "", std::move(answer));
    } else if (a == "signOut") {
        signInAnswer("logout", app_.signOut());
    } else if (a == "notice") {
        host_.alert("Zarvo", stringValue(value).value_or(""));
    }
    refresh();
}

// The outcome of a sign-in step for the page: {"step", "error"} (error null on success).
void ExactInterface::signInAnswer(const std::string& step,
                                  const std::optional<std::string>& error) {
    Json reply{{"step", step}, {"error", error ? Json(*error) : Json(nullptr)}};
    std::string text;
    try {
        text = reply.dump(-1, ' ', false, Json::error_handler_t::replace);
    } catch (const Json::exception&) {
        return;
    }
    web_.evaluate("window.receiveSignIn && window.receiveSignIn(" + text + ")");
}

bool ExactInterface::restartClient() {
    std::string state = "IDLE";
    if (app_.usageSnapshot)
        state = jsonString(*app_.usageSnapshot, "session_state", "IDLE");
    if (aiBusy() || !SessionPresentation::canStart(SessionPresentation::upperCased(state))) {
        host_.alert("Zarvo", "请先停止 AI 并等待结算，再重启客户端");
        return false;
    }
    host_.relaunch();
    host_.terminate();
    return true;
}

void ExactInterface::cameraCheck(int64_t ticket) {
    OwnerWatch alive = life_.watch();
    Loop& loop = app_.loop();
    StudioHost& host = host_;
    checkQueue_.async([this, alive, &loop, &host, ticket] {
        bool found = host.virtualCameraName().has_value();
        loop.post([this, alive, found, ticket] {
            if (!alive.alive())
                return;
            web_.evaluate(std::string("window.receiveCameraCheck(") + (found ? "true" : "false") +
                          "," + std::to_string(ticket) + ")");
        });
    });
}

} // namespace zarvo
