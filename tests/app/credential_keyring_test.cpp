// The credential against a real Secret Service (gnome-keyring on a private session bus, started by
// tests/app/with-keyring.sh), checked from outside with secret-tool; and the private file where no
// Secret Service answers.
#include "app/credential.h"
#include "app/desktop_credential_store.h"
#include "app/secret_service_store.h"
#include "foundation/atomic_file.h"
#include "foundation/glib_loop.h"
#include "foundation/owned.h"
#include "version.h"

#include <gtest/gtest.h>

#include <glib.h>

#include <atomic>
#include <condition_variable>
#include <gio/gio.h>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace zarvo {
namespace {

namespace fs = std::filesystem;

const std::string kHost = "api.zarvo-keyring-test.invalid";

struct Outside {
    bool ok = false;
    std::string out;
};

// secret-tool, a separate process on the same bus: what any keyring manager would see.
Outside secretTool(std::vector<std::string> arguments) {
    std::vector<char*> argv;
    arguments.insert(arguments.begin(), "secret-tool");
    for (auto& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    char* out = nullptr;
    int status = 0;
    Outside result;
    if (g_spawn_sync(nullptr, argv.data(), nullptr,
                     static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_STDERR_TO_DEV_NULL),
                     nullptr, nullptr, &out, nullptr, &status, nullptr)) {
        result.ok = g_spawn_check_wait_status(status, nullptr);
        result.out = out ? out : "";
    }
    g_free(out);
    return result;
}

mode_t modeOf(const fs::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

class KeyringCredentialTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* config = std::getenv("XDG_CONFIG_HOME");
        ASSERT_TRUE(config) << "run through tests/app/with-keyring.sh";
        folder = fs::path(config) / "Zarvo";
        file = folder / "credential";
        fs::remove_all(folder);
    }

    // One call through a keeper, as the client makes it: on the queue, the answer on the loop.
    template <class R, class Call> R through(CredentialKeeper& keeper, Call call) {
        std::optional<R> answer;
        call(keeper, [&](R result) { answer = std::move(result); });
        EXPECT_TRUE(loop.runUntil([&] { return answer.has_value(); }, std::chrono::seconds(60)));
        return answer ? std::move(*answer) : R(unexpected(std::string("没有回答")));
    }
    CredentialRead read(CredentialKeeper& keeper) {
        return through<CredentialRead>(keeper,
                                       [](CredentialKeeper& k, auto done) { k.read(done); });
    }
    CredentialWrite write(CredentialKeeper& keeper, const std::string& token) {
        return through<CredentialWrite>(
            keeper, [&](CredentialKeeper& k, auto done) { k.write(token, done); });
    }
    CredentialWrite erase(CredentialKeeper& keeper) {
        return through<CredentialWrite>(keeper,
                                        [](CredentialKeeper& k, auto done) { k.erase(done); });
    }
    Outside lookup() {
        return secretTool({"lookup", SecretServiceCredentialStore::kHostAttribute, kHost});
    }

    GLibLoop loop;
    fs::path folder, file;
};

// A keyring that answers but refuses every write, as one would that a user keeps locked.
class RefusingKeyring final : public CredentialStore {
public:
    explicit RefusingKeyring(std::shared_ptr<CredentialStore> real) : real_(std::move(real)) {}
    CredentialStorage storage() const override { return CredentialStorage::keyring; }
    CredentialRead read() override { return real_->read(); }
    CredentialWrite write(const std::string&) override {
        return unexpected(std::string("无法把账户凭据存入系统钥匙环"));
    }
    CredentialWrite erase() override { return real_->erase(); }

private:
    std::shared_ptr<CredentialStore> real_;
};

TEST_F(KeyringCredentialTest, ASignedInCredentialSurvivesARestartInTheKeyringNotInAFile) {
    const std::string token = "kr_4f9a1c7e2b8d4e6f9a0b1c2d3e4f5a6b";
    {
        CredentialKeeper keeper(loop, desktopCredentialStore(kHost, file));
        ASSERT_TRUE(write(keeper, token).ok());
        EXPECT_EQ(keeper.storage(), CredentialStorage::keyring);
    }
    EXPECT_FALSE(fs::exists(file));
    // Seen from outside: one item, under the application's schema, labelled for people.
    auto outside = lookup();
    ASSERT_TRUE(outside.ok);
    EXPECT_EQ(outside.out, token);
    auto found =
        secretTool({"search", "--all", SecretServiceCredentialStore::kHostAttribute, kHost});
    EXPECT_NE(found.out.find("label = " + SecretServiceCredentialStore::itemLabel(kHost)),
              std::string::npos)
        << found.out;
    EXPECT_NE(found.out.find(std::string("schema = ") + kBundleIdentifier), std::string::npos)
        << found.out;
    EXPECT_EQ(found.out.find("[/"), found.out.rfind("[/")) << "more than one item: " << found.out;

    // The next start reads it back from the keyring and signs in with it.
    {
        CredentialKeeper keeper(loop, desktopCredentialStore(kHost, file));
        auto again = read(keeper);
        ASSERT_TRUE(again.ok()) << again.error();
        EXPECT_EQ(acceptedAccountCredential(*again), token);
        // A new sign-in replaces the item rather than adding one; a sign-out removes it.
        ASSERT_TRUE(write(keeper, token + "x").ok());
        EXPECT_EQ(lookup().out, token + "x");
        ASSERT_TRUE(erase(keeper).ok());
        EXPECT_FALSE(lookup().ok);
        auto gone = read(keeper);
        ASSERT_TRUE(gone.ok());
        EXPECT_EQ(*gone, std::nullopt);
    }
    EXPECT_FALSE(fs::exists(file));
}

TEST_F(KeyringCredentialTest, AnOldCredentialFileMovesInOnlyOnceTheKeyringConfirmedIt) {
    const std::string token = "kr_old_file_0123456789abcdef0123456789";
    ASSERT_TRUE(FileCredentialStore(file).write(token).ok());

    // The keyring answers but refuses the write: the file stays as it was and still signs in.
    {
        auto real = std::make_shared<SecretServiceCredentialStore>(kHost);
        auto store = std::make_shared<DesktopCredentialStore>(
            std::make_shared<RefusingKeyring>(real), [real] { return real->answers(); },
            std::make_shared<FileCredentialStore>(file));
        CredentialKeeper keeper(loop, store);
        auto signedIn = read(keeper);
        ASSERT_TRUE(signedIn.ok());
        EXPECT_EQ(acceptedAccountCredential(*signedIn), token);
        EXPECT_EQ(store->migration(), CredentialMigration::keptFile);
    }
    EXPECT_EQ(acceptedAccountCredential(readPrivateCredentialFile(file)), token);
    EXPECT_EQ(modeOf(file), 0600u);
    EXPECT_FALSE(lookup().ok);

    // The next start with a keyring that takes it: in the keyring, and only then the file goes.
    {
        auto store = desktopCredentialStore(kHost, file);
        CredentialKeeper keeper(loop, store);
        auto signedIn = read(keeper);
        ASSERT_TRUE(signedIn.ok());
        EXPECT_EQ(acceptedAccountCredential(*signedIn), token);
        EXPECT_EQ(store->migration(), CredentialMigration::moved);
    }
    EXPECT_EQ(lookup().out, token);
    EXPECT_FALSE(fs::exists(file));
}

// Run with a session bus address that leads nowhere: no Secret Service answers.
TEST_F(KeyringCredentialTest, WithoutASecretServiceThePrivateFileKeepsIt) {
    const std::string token = "kr_headless_0123456789abcdef012345";
    {
        CredentialKeeper keeper(loop, desktopCredentialStore(kHost, file));
        ASSERT_TRUE(write(keeper, token).ok());
        EXPECT_EQ(keeper.storage(), CredentialStorage::file);
    }
    EXPECT_EQ(modeOf(file), 0600u);
    EXPECT_EQ(modeOf(folder), 0700u);
    CredentialKeeper keeper(loop, desktopCredentialStore(kHost, file));
    auto again = read(keeper);
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(acceptedAccountCredential(*again), token);
    EXPECT_EQ(keeper.storage(), CredentialStorage::file);
}

// A Secret Service whose every item is locked and whose unlock prompt never completes, as a
// keyring waiting for a password nobody types. Runs on a thread and a connection of its own.
class EverPromptingKeyring {
public:
    EverPromptingKeyring() {
        thread_ = std::thread([this] { run(); });
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [this] { return started_; });
    }
    ~EverPromptingKeyring() {
        g_main_loop_quit(loop_.get());
        thread_.join();
    }
    bool owned() const { return owned_; }

private:
    static constexpr const char* kIntrospection = R"(<node>
  <interface name="org.freedesktop.Secret.Service">
    <property name="Collections" type="ao" access="read"/>
    <method name="OpenSession"><arg direction="in" type="s"/><arg direction="in" type="v"/>
      <arg direction="out" type="v"/><arg direction="out" type="o"/></method>
    <method name="SearchItems"><arg direction="in" type="a{ss}"/>
      <arg direction="out" type="ao"/><arg direction="out" type="ao"/></method>
    <method name="Unlock"><arg direction="in" type="ao"/>
      <arg direction="out" type="ao"/><arg direction="out" type="o"/></method>
  </interface>
  <interface name="org.freedesktop.Secret.Prompt">
    <method name="Prompt"><arg direction="in" type="s"/></method>
    <method name="Dismiss"/>
    <signal name="Completed"><arg type="b"/><arg type="v"/></signal>
  </interface>
</node>)";

    static void call(GDBusConnection*, const char*, const char*, const char*, const char* method,
                     GVariant* parameters, GDBusMethodInvocation* invocation, gpointer) {
        const std::string name = method;
        const char* algorithm = nullptr;
        if (name == "OpenSession")
            g_variant_get_child(parameters, 0, "&s", &algorithm);
        if (name == "OpenSession" && g_strcmp0(algorithm, "plain") != 0)
            // Only the plain session: the client falls back to it.
            g_dbus_method_invocation_return_dbus_error(
                invocation, "org.freedesktop.DBus.Error.NotSupported", "plain only");
        else if (name == "OpenSession")
            g_dbus_method_invocation_return_value(
                invocation, g_variant_new("(vo)", g_variant_new_string(""),
                                          "/org/freedesktop/secrets/session/s1"));
        else if (name == "SearchItems")
            g_dbus_method_invocation_return_value(
                invocation,
                g_variant_new_parsed("(@ao [], [objectpath "
                                     "'/org/freedesktop/secrets/collection/login/1'])"));
        else if (name == "Unlock")
            g_dbus_method_invocation_return_value(
                invocation,
                g_variant_new("(@aoo)", g_variant_new_array(G_VARIANT_TYPE_OBJECT_PATH, nullptr, 0),
                              "/org/freedesktop/secrets/prompt/p1"));
        else // Prompt and Dismiss: answered, but the prompt never completes
            g_dbus_method_invocation_return_value(invocation, nullptr);
    }
    static GVariant* property(GDBusConnection*, const char*, const char*, const char*, const char*,
                              GError**, gpointer) {
        return g_variant_new_array(G_VARIANT_TYPE_OBJECT_PATH, nullptr, 0);
    }

    void run() {
        auto context = adoptRef(g_main_context_new());
        g_main_context_push_thread_default(context.get());
        loop_ = adoptRef(g_main_loop_new(context.get(), FALSE));
        GErrorHolder error;
        auto connection = adoptRef(g_dbus_connection_new_for_address_sync(
            std::getenv("DBUS_SESSION_BUS_ADDRESS"),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, error.out()));
        GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
        if (connection) {
            static const GDBusInterfaceVTable vtable = {call, property, nullptr, {}};
            g_dbus_connection_register_object(connection.get(), "/org/freedesktop/secrets",
                                              node->interfaces[0], &vtable, nullptr, nullptr,
                                              nullptr);
            g_dbus_connection_register_object(
                connection.get(), "/org/freedesktop/secrets/prompt/p1", node->interfaces[1],
                &vtable, nullptr, nullptr, nullptr);
            GVariant* reply = g_dbus_connection_call_sync(
                connection.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                "org.freedesktop.DBus", "RequestName",
                g_variant_new("(su)", "org.freedesktop.secrets", 4u), G_VARIANT_TYPE("(u)"),
                G_DBUS_CALL_FLAGS_NONE, 30000, nullptr, nullptr);
            if (reply) {
                guint32 answer = 0;
                g_variant_get(reply, "(u)", &answer);
                owned_ = answer == 1; // the primary owner
                g_variant_unref(reply);
            }
        }
        {
            std::lock_guard lock(mutex_);
            started_ = true;
        }
        ready_.notify_all();
        if (connection)
            g_main_loop_run(loop_.get());
        if (connection)
            g_dbus_connection_close_sync(connection.get(), nullptr, nullptr);
        g_dbus_node_info_unref(node);
        g_main_context_pop_thread_default(context.get());
    }

    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable ready_;
    bool started_ = false;
    std::atomic<bool> owned_{false};
    GRef<GMainLoop> loop_;
};

// Run on a session bus whose Secret Service this test brings itself.
TEST_F(KeyringCredentialTest, AKeyringThatKeepsPromptingNeverHoldsUpTheSignIn) {
    EverPromptingKeyring keyring;
    ASSERT_TRUE(keyring.owned());
    const std::string token = "kr_prompting_0123456789abcdef0123";
    ASSERT_TRUE(FileCredentialStore(file).write(token).ok());

    auto stuck = std::make_shared<SecretServiceCredentialStore>(kHost, std::chrono::seconds(2));
    ASSERT_TRUE(stuck->answers());
    EXPECT_FALSE(stuck->read().ok()); // gave up on the prompt instead of waiting for it
    // While that call still hangs, the keyring counts as absent: the file signs in.
    {
        auto store = std::make_shared<DesktopCredentialStore>(
            stuck, [stuck] { return stuck->answers(); },
            std::make_shared<FileCredentialStore>(file));
        CredentialKeeper keeper(loop, store);
        auto signedIn = read(keeper);
        ASSERT_TRUE(signedIn.ok());
        EXPECT_EQ(acceptedAccountCredential(*signedIn), token);
        EXPECT_EQ(keeper.storage(), CredentialStorage::file);
    }

    // A fresh start: the keyring answers, but the migration cannot confirm anything behind the
    // prompt, so the file stays and still signs in.
    auto real = std::make_shared<SecretServiceCredentialStore>(kHost, std::chrono::seconds(2));
    auto store = std::make_shared<DesktopCredentialStore>(
        real, [real] { return real->answers(); }, std::make_shared<FileCredentialStore>(file));
    CredentialKeeper keeper(loop, store);
    auto signedIn = read(keeper);
    ASSERT_TRUE(signedIn.ok());
    EXPECT_EQ(acceptedAccountCredential(*signedIn), token);
    EXPECT_EQ(store->migration(), CredentialMigration::keptFile);
    EXPECT_EQ(acceptedAccountCredential(readPrivateCredentialFile(file)), token);
    EXPECT_EQ(modeOf(file), 0600u);
}

} // namespace
} // namespace zarvo
