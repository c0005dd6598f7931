#include "shell/process_entry.h"

#include "app/app.h"
#include "app/command_line.h"
#include "app/credential.h"
#include "app/desktop_credential_store.h"
#include "app/running_applications.h"
#include "app/storage_migration.h"
#include "foundation/atomic_file.h"
#include "foundation/glib_loop.h"
#include "foundation/paths.h"
#include "media/camera/camera_device_relay.h"
#include "media/camera/camera_devices.h"
#include "media/camera/camera_input.h"
#include "media/output/virtual_camera.h"
#include "media/rtc/rtc_bridge.h"
#include "media/rtc/rtc_engine_deployment.h"
#include "service/deployment.h"
#include "shell/gtk_activity.h"
#include "shell/gtk_shell.h"
#include "shell/update_link.h"
#include "version.h"

#include <cstdio>
#include <iostream>
#include <unistd.h>

namespace zarvo {

std::string instanceConflictInformativeText() {
    return std::string("请先手动退出旧版，再启动 ") + kVersion +
           "。为保护测试中的会话，本程序不会关闭旧版。";
}

int runZarvo(const std::vector<std::string>& arguments) {
    auto parsed = CommandLineOptions::parse(arguments);
    if (!parsed) {
        std::cerr << parsed.error().message << "\n";
        return 1;
    }
    const CommandLineOptions& options = *parsed;
    if (options.referencePreview && !readFile(*options.referencePreview)) {
        std::cerr << "Zarvo：参考图无法读取 " << *options.referencePreview << "\n";
        return 1;
    }

    if (!migrateStorage(storageDirectory(), legacyStorageDirectory())) {
        std::cerr << kStorageMigrationFailed;
        return 1;
    }

    if (!options.snapshotMode) {
        auto self = bundleIdentifierOfExecutable(std::filesystem::read_symlink("/proc/self/exe"));
        if (hasConflictingInstance(listRunningApplications("/proc", getuid()), getpid(), self)) {
            // The other copy may be running a billed session under test: never signal it.
            showModalAlert(kInstanceConflictMessage, instanceConflictInformativeText(),
                           kInstanceConflictButton);
            return 0;
        }
    }

    // Never fall back to the production hosts when a development deployment was asked for.
    auto deployment = loadDeployment();
    if (!deployment) {
        std::cerr << deployment.error().message << "\n";
        return 1;
    }
    setCurrentDeployment(*deployment);
    // The trust for the deployment's hosts, built as the request pipeline builds it.
    auto gateway = rtcGatewayConfig(*deployment);
    if (!gateway) {
        std::cerr << gateway.error().message << "\n";
        return 1;
    }

    // The first start of GStreamer builds its plugin registry: here, on the main thread before the
    // web view starts, not on a camera queue racing WebKit's start (which could hang the exit).
    ensureGStreamer();
    GLibLoop loop;
    UserDefaults defaults(userDefaultsFile());
    // A user whose network lets nothing but a relay through sets "rtcRelayOnly" in the settings;
    // a deployment may ask for it too.
    gateway->relayOnly = gateway->relayOnly || defaults.boolean("rtcRelayOnly").value_or(false);
    GtkSystemActivity activity;
    // A join looks its camera up in the chooser's list (demo cameras included) instead of
    // probing the devices again.
    auto cameraDevices = std::make_shared<CameraDeviceRelay>();
    // What the video link and the system output report; App and the window attach below.
    VideoLink video;
    VirtualCamera virtualCamera(loop, video);
    video.attachOutput(&virtualCamera);
    auto bridge = RTCBridge::create(
        loop, std::make_shared<WebRTCEngineFactory>(std::move(*gateway)), video, [cameraDevices] {
            return std::make_shared<CameraInput>(
                [cameraDevices] { return cameraDevices->devices(); });
        });
    AppWiring wiring;
    wiring.video = bridge.get();
    wiring.output = &virtualCamera;
    wiring.activity = &activity;
    // The environment's or a development deployment's token is there at once; a kept one is read
    // off the main thread and taken when it arrives.
    const auto credentialSources = accountCredentialSources();
    wiring.credential = overridingAccountCredential(credentialSources);
    const bool storedCredential = accountCredentialFromStore(credentialSources);
    if (storedCredential)
        wiring.credentialStore =
            std::make_shared<FileCredentialStore>(credentialSources.credentialFile);
    // What App asks of the window and of the update workflow; both attach once the window is up.
    WindowLink window;
    UpdateLink update(cameraDevices);
    App app(loop, defaults, AppHosts{update, window, window}, std::move(wiring));
    if (storedCredential)
        app.loadStoredCredential();
    video.attach(&app);
    const int status = runApplication(
        {&app, &window, &update, &video, bridge, &virtualCamera, cameraDevices}, options);
    // Nothing of the engine may still run when the exit handlers free what it uses: when a release
    // outlives the bound, leave at once (output flushed) instead of running them.
    std::cout.flush();
    if (!bridge->finishBeforeExit()) {
        std::fflush(nullptr);
        ::_exit(status);
    }
    return status;
}

} // namespace zarvo
