#include "support/SecretServiceSession.h"

#include <fcntl.h>
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <utility>
#include <vector>

#include "platform/SecretServiceKeychainStore.h"
#include "support/TestSupport.h"

namespace quarra::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* kPassword = "test-login-password";
constexpr const char* kSecrets = "org.freedesktop.secrets";
constexpr const char* kServicePath = "/org/freedesktop/secrets";

// A session bus that owns names freely and knows no service files.
constexpr const char* kBusConfig = R"(<!DOCTYPE busconfig PUBLIC
 "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:tmpdir=/tmp</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

// Starts `argv` with `environment` added, stdin from `input` (or /dev/null), stdout and stderr to
// `log`, and `keep` left open. The child ends with this process.
pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
            int input, const fs::path& log, int keep = -1) {
    // Everything that allocates happens before the fork: other threads may hold the heap's lock.
    std::vector<char*> args;
    for (const auto& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    // getenv takes the first match, so the additions go before the inherited entries.
    std::vector<char*> env;
    for (const auto& entry : environment)
        env.push_back(const_cast<char*>(entry.c_str()));
    for (char** entry = environ; *entry; ++entry)
        env.push_back(*entry);
    env.push_back(nullptr);
    int devnull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    pid_t pid = ::fork();
    if (pid != 0) {
        ::close(devnull);
        ::close(out);
        return pid;
    }
    if (pid != 0)
        return pid;
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    ::dup2(input >= 0 ? input : devnull, 0);
    ::dup2(out, 1);
    ::dup2(out, 2);
    for (int fd = 3; fd < 1024; ++fd) {
        if (fd != keep)
            ::close(fd);
    }
    ::execvpe(args[0], args.data(), env.data());
    _exit(127);
}

struct Connection {
    GDBusConnection* bus = nullptr;
    ~Connection() {
        if (bus)
            g_object_unref(bus);
    }
};

std::string takeError(GError* error) {
    std::string text = error ? error->message : "unknown error";
    if (error)
        g_error_free(error);
    return text;
}

// Calls a method of the keyring's service object; the reply, or nothing and `*failure`.
GVariant* call(GDBusConnection* bus, const char* path, const char* interface, const char* method,
               GVariant* arguments, std::string* failure) {
    GError* error = nullptr;
    GVariant* reply =
        g_dbus_connection_call_sync(bus, kSecrets, path, interface, method, arguments, nullptr,
                                    G_DBUS_CALL_FLAGS_NONE, 30000, nullptr, &error);
    if (!reply)
        *failure = std::string(method) + ": " + takeError(error);
    return reply;
}

std::string defaultCollection(GDBusConnection* bus, std::string* failure) {
    GVariant* reply = call(bus, kServicePath, "org.freedesktop.Secret.Service", "ReadAlias",
                           g_variant_new("(s)", "default"), failure);
    if (!reply)
        return "";
    const char* path = nullptr;
    g_variant_get(reply, "(&o)", &path);
    std::string result = path;
    g_variant_unref(reply);
    return result;
}

Connection connect(const std::string& address, std::string* failure) {
    GError* error = nullptr;
    Connection connection;
    connection.bus = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    if (!connection.bus)
        *failure = "cannot connect to the test bus: " + takeError(error);
    return connection;
}

}  // namespace

SecretServiceSession& SecretServiceSession::shared() {
    static SecretServiceSession* session = new SecretServiceSession();
    return *session;
}

SecretServiceSession::SecretServiceSession() {
    failure_ = start();
}

SecretServiceSession::~SecretServiceSession() {
    for (pid_t pid : {keyring_, bus_}) {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
    }
}

std::string SecretServiceSession::start() {
    const fs::path dir = sandbox() / "secret-service";
    const fs::path home = dir / "home";
    const fs::path runtime = dir / "run";
    fs::create_directories(home);
    fs::create_directories(runtime);
    fs::permissions(runtime, fs::perms::owner_all);
    writeFile(dir / "bus.conf", kBusConfig);

    // The bus is ready when it prints its address.
    int address[2];
    if (::pipe(address) != 0)
        return "pipe: " + std::string(strerror(errno));
    bus_ = spawn({"dbus-daemon", "--config-file=" + (dir / "bus.conf").string(), "--nofork",
                  "--nopidfile", "--print-address=" + std::to_string(address[1])},
                 {}, -1, dir / "bus.log", address[1]);
    ::close(address[1]);
    char c;
    while (::read(address[0], &c, 1) == 1 && c != '\n')
        address_ += c;
    ::close(address[0]);
    if (address_.empty())
        return "dbus-daemon did not start (is it installed? see " + (dir / "bus.log").string() +
               ")";
    setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);

    std::string failure;
    Connection connection = connect(address_, &failure);
    if (!connection.bus)
        return failure;

    if (std::string failed = startKeyring(""); !failed.empty())
        return failed;
    std::string collection = defaultCollection(connection.bus, &failure);
    if (collection.empty() || collection == "/")
        return "the test keyring has no default collection " + failure;
    return "";
}

// Starts the keyring and waits until it owns the service's name under another owner than
// `previousOwner` (the unique name of a keyring that was just ended, whose name may not yet be
// released). Empty on success, else why not.
std::string SecretServiceSession::startKeyring(const std::string& previousOwner) {
    std::string failure;
    Connection connection = connect(address_, &failure);
    if (!connection.bus)
        return failure;
    int password[2];
    if (::pipe(password) != 0)
        return "pipe: " + std::string(strerror(errno));
    // The keyring is ready when it owns the service's name on the bus; watched before it starts.
    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
    struct Wait {
        std::string previousOwner;
        bool appeared = false;
        bool exited = false;
    } wait{previousOwner};
    guint watch = g_bus_watch_name_on_connection(
        connection.bus, kSecrets, G_BUS_NAME_WATCHER_FLAGS_NONE,
        [](GDBusConnection*, const gchar*, const gchar* owner, gpointer data) {
            auto* wait = static_cast<Wait*>(data);
            wait->appeared = wait->appeared || wait->previousOwner != owner;
        },
        nullptr, &wait, nullptr);

    const fs::path dir = sandbox() / "secret-service";
    const fs::path home = dir / "home";
    const fs::path runtime = dir / "run";
    keyring_ = spawn(
        {"gnome-keyring-daemon", "--foreground", "--unlock", "--components=secrets"},
        {"HOME=" + home.string(), "XDG_RUNTIME_DIR=" + runtime.string(),
         "XDG_DATA_HOME=" + (home / ".local" / "share").string(),
         "XDG_CONFIG_HOME=" + (home / ".config").string(), "DBUS_SESSION_BUS_ADDRESS=" + address_},
        password[0], dir / "keyring.log");
    ::close(password[0]);
    (void)!::write(password[1], kPassword, strlen(kPassword));
    ::close(password[1]);

    GSource* child = g_child_watch_source_new(keyring_);
    GChildWatchFunc exited = [](GPid, gint, gpointer data) {
        static_cast<Wait*>(data)->exited = true;
    };
    g_source_set_callback(child, G_SOURCE_FUNC(exited), &wait, nullptr);
    g_source_attach(child, context);
    while (!wait.appeared && !wait.exited)
        g_main_context_iteration(context, TRUE);
    g_bus_unwatch_name(watch);
    g_source_destroy(child);
    g_source_unref(child);
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
    if (!wait.appeared) {
        keyring_ = -1;
        return "gnome-keyring-daemon ended at start (is it installed? see " +
               (dir / "keyring.log").string() + ")";
    }
    return "";
}

std::string SecretServiceSession::restartKeyring() {
    std::string failure;
    Connection connection = connect(address_, &failure);
    if (!connection.bus)
        return failure;
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(
        connection.bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "GetNameOwner", g_variant_new("(s)", kSecrets), G_VARIANT_TYPE("(s)"),
        G_DBUS_CALL_FLAGS_NONE, 30000, nullptr, &error);
    if (!reply)
        return "GetNameOwner: " + takeError(error);
    const char* owner = nullptr;
    g_variant_get(reply, "(&s)", &owner);
    const std::string previousOwner = owner;
    g_variant_unref(reply);
    if (keyring_ > 0) {
        ::kill(keyring_, SIGTERM);
        ::waitpid(keyring_, nullptr, 0);
        keyring_ = -1;
    }
    if (std::string failed = startKeyring(previousOwner); !failed.empty())
        return failed;
    std::string collection = defaultCollection(connection.bus, &failure);
    if (collection.empty() || collection == "/")
        return "the restarted keyring has no default collection " + failure;
    return "";
}

std::string SecretServiceSession::lock() {
    std::string failure;
    Connection connection = connect(address_, &failure);
    std::string collection = connection.bus ? defaultCollection(connection.bus, &failure) : "";
    if (collection.empty())
        return failure;
    const char* paths[] = {collection.c_str()};
    GVariant* reply = call(connection.bus, kServicePath, "org.freedesktop.Secret.Service", "Lock",
                           g_variant_new("(@ao)", g_variant_new_objv(paths, 1)), &failure);
    if (reply)
        g_variant_unref(reply);
    return failure;
}

std::string SecretServiceSession::unlock() {
    std::string failure;
    Connection connection = connect(address_, &failure);
    std::string collection = connection.bus ? defaultCollection(connection.bus, &failure) : "";
    if (collection.empty())
        return failure;
    // The password travels in a plain session, which lives as long as this connection.
    GVariant* opened =
        call(connection.bus, kServicePath, "org.freedesktop.Secret.Service", "OpenSession",
             g_variant_new("(sv)", "plain", g_variant_new_string("")), &failure);
    if (!opened)
        return failure;
    GVariant* output = nullptr;
    const char* session = nullptr;
    g_variant_get(opened, "(v&o)", &output, &session);
    GVariant* secret = g_variant_new(
        "(o@ay@ays)", session, g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, "", 0, 1),
        g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, kPassword, strlen(kPassword), 1),
        "text/plain");
    GVariant* reply = call(connection.bus, kServicePath,
                           "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface",
                           "UnlockWithMasterPassword",
                           g_variant_new("(o@(oayays))", collection.c_str(), secret), &failure);
    if (reply)
        g_variant_unref(reply);
    g_variant_unref(output);
    g_variant_unref(opened);
    return failure;
}

SecretServiceSession::SilentPrompter::SilentPrompter() {
    Connection connection = connect(SecretServiceSession::shared().address_, &failure_);
    if (!connection.bus)
        return;
    // Method calls to this connection are dropped before anything could answer them.
    g_dbus_connection_add_filter(
        connection.bus,
        [](GDBusConnection*, GDBusMessage* message, gboolean incoming, gpointer) -> GDBusMessage* {
            if (incoming &&
                g_dbus_message_get_message_type(message) == G_DBUS_MESSAGE_TYPE_METHOD_CALL) {
                g_object_unref(message);
                return nullptr;
            }
            return message;
        },
        nullptr, nullptr);
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(
        connection.bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "RequestName", g_variant_new("(su)", "org.gnome.keyring.SystemPrompter", 0u),
        G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 30000, nullptr, &error);
    if (!reply) {
        failure_ = "RequestName: " + takeError(error);
        return;
    }
    guint32 result = 0;
    g_variant_get(reply, "(u)", &result);
    g_variant_unref(reply);
    if (result != 1)  // DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER
        failure_ = "the prompter's name is taken";
    bus_ = std::exchange(connection.bus, nullptr);
}

SecretServiceSession::SilentPrompter::~SilentPrompter() {
    if (bus_) {
        // Closing drops the name; the keyring's calls then fail instead of waiting on.
        g_dbus_connection_close_sync(static_cast<GDBusConnection*>(bus_), nullptr, nullptr);
        g_object_unref(bus_);
    }
}

std::shared_ptr<KeychainStore> keychainStoreOfThisTest(const std::string& host) {
    return std::make_shared<SecretServiceKeychainStore>(
        host + "." + testing::UnitTest::GetInstance()->current_test_info()->name() + "." +
            std::to_string(::getpid()),
        sandbox() / "keychain.lock");
}

}  // namespace quarra::test
