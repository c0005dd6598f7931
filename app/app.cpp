#include "app/app.h"

#include "app/credential.h"
#include "app/jpeg_encoding.h"
#include "foundation/atomic_file.h"
#include "foundation/paths.h"
#include "version.h"

#include <algorithm>

namespace zarvo {
namespace {

const char* const kModeTitles[] = {"主体替换", "虚拟试穿", "背景替换", "风格迁移"};
const char* const kEditingTypes[] = {"subject_replacement", "virtual_tryon",
                                     "background_replacement", "style_transfer"};

} // namespace

const char* const App::kMaskedPhoneKey = "accountMaskedPhone";

App::App(Loop& loop, UserDefaults& defaults, AppHosts hosts, AppWiring wiring)
    : usageSyncedAt(loop.now()), credential(std::move(wiring.credential)),
      routes(loop, defaults, std::move(wiring.clock), std::move(wiring.sender)), loop_(loop),
      defaults_(defaults), hosts_(hosts), video_(wiring.video), output_(wiring.output),
      activity_(wiring.activity),
      encodeJpeg_(wiring.encodeJpeg ? std::move(wiring.encodeJpeg) : JpegEncoder(reencodeAsJpeg)) {
    for (int tag = 0; tag < 4; ++tag)
        modeButtons.push_back({tag, false, kModeTitles[tag]});
    if (wiring.credentialStore)
        credentialKeeper =
            std::make_unique<CredentialKeeper>(loop, std::move(wiring.credentialStore));
    routes.setUnauthorizedHandler(
        [life = life_.watch(), this](const std::string& token, const std::string&) {
            if (life.alive())
                credentialRefused(token);
        });
}

void App::loadStoredCredential() {
    if (!credentialKeeper)
        return;
    credentialKeeper->read([life = life_.watch(), this](CredentialRead read) {
        if (!life.alive() || credential || !read.ok())
            return;
        credential = acceptedAccountCredential(*read);
        if (credential) {
            maskedPhone = defaults_.string(kMaskedPhoneKey).value_or("");
            refreshState();
        }
    });
}

App::~App() = default;

std::string App::editingType(int mode) {
    return kEditingTypes[mode >= 0 && mode < 4 ? mode : 0];
}

int App::selectedModeIndex() const {
    for (const auto& button : modeButtons)
        if (button.selectedMode)
            return button.tag;
    return 0;
}

RequestDone App::guarded(std::function<void(std::optional<Json>, std::optional<std::string>)> f) {
    return [life = life_.watch(), f = std::move(f)](std::optional<Json> json,
                                                    std::optional<std::string> error) {
        if (life.alive())
            f(std::move(json), std::move(error));
    };
}

void App::clearLiveFrames() {
    ++switchTicket;
    liveSwitchBusy = false;
    switchRequestedAt.reset();
    switchRequestedUptime_.reset();
    switchNotice.clear();
    liveActivity.reset();
    if (video_)
        video_->stop();
    if (output_)
        output_->clear();
    hosts_.window.clearAIPictures();
}

void App::videoStatus(const std::string& text) {
    if (!aiStopping)
        status.text = text;
}

void App::chooseModeButton(int tag) {
    for (auto& button : modeButtons)
        button.selectedMode = button.tag == tag;
}

void App::selectMode(int tag) {
    auto button = std::find_if(modeButtons.begin(), modeButtons.end(),
                               [tag](const StudioButton& b) { return b.tag == tag; });
    if (button == modeButtons.end())
        return;
    if (aiActive) {
        if (!selectedReferenceData) {
            status.text = "请先停止 AI，再切换模式";
            return;
        }
        switchLive(*selectedReferenceData, tag, [this, tag] {
            chooseModeButton(tag);
            defaults_.set("editingMode", tag);
        });
    } else if (aiBusy) {
        status.text = "请先停止 AI，再切换模式";
    } else {
        defaults_.set("editingMode", tag);
        chooseModeButton(tag);
        status.text = "已选择 " + button->title + " · 添加参考图以准备编辑";
    }
}

void App::modeChanged() {
    status.text = "编辑模式已更新 · 尚未创建收费会话";
}

void App::writeStopReport(const RemoteFrameStats& stats) {
    Json report = {
        {"stopped_at", epochSeconds(loop_.now())},
        {"reason", stopReason.empty() ? std::string("用户或业务流程停止") : stopReason},
        {"remote_frames", stats.count},
        {"last_remote_at", stats.last ? Json(epochSeconds(*stats.last)) : Json(0)},
        {"poll_failures", aiPollFailures},
    };
    try {
        // The reason may carry a service text; never let a bad byte stop the stop.
        auto text = report.dump(-1, ' ', false, Json::error_handler_t::replace);
        (void)writeFileAtomically(
            diagnosticsDirectory() / ("stop-" + std::string(kVersion) + ".json"), text);
    } catch (const std::exception&) {
    }
}

void App::writeSmokeReport(const Json& record) {
    if (!smokeReport)
        return;
    try {
        (void)writeFileAtomically(*smokeReport,
                                  record.dump(-1, ' ', false, Json::error_handler_t::replace));
    } catch (const std::exception&) {
    }
}

} // namespace zarvo
