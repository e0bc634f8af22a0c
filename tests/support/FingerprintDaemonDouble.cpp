#include "support/FingerprintDaemonDouble.h"

#include <gio/gio.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <stdexcept>
#include <thread>

#include "support/TestSupport.h"

extern char** environ;

namespace quarra::test {
namespace {

constexpr const char* kDevicePath = "/net/reactivated/Fprint/Device/0";
constexpr const char* kIntrospection = R"(
<node>
  <interface name="net.reactivated.Fprint.Manager">
    <method name="GetDefaultDevice"><arg type="o" direction="out"/></method>
  </interface>
  <interface name="net.reactivated.Fprint.Device">
    <method name="ListEnrolledFingers">
      <arg type="s" direction="in"/><arg type="as" direction="out"/>
    </method>
    <method name="Claim"><arg type="s" direction="in"/></method>
    <method name="Release"/>
    <method name="VerifyStart"><arg type="s" direction="in"/></method>
    <method name="VerifyStop"/>
    <signal name="VerifyStatus"><arg type="s"/><arg type="b"/></signal>
  </interface>
</node>)";

}  // namespace

struct FingerprintDaemonDouble::Service {
    mutable std::mutex mutex;
    bool readerPresent = true;
    std::vector<std::string> fingers{"right-index-finger"};
    std::string verifyResult = "verify-match";
    std::vector<std::string> calls;

    GMainContext* context = nullptr;
    GMainLoop* loop = nullptr;
    GDBusConnection* connection = nullptr;
    std::thread thread;

    static void onCall(GDBusConnection* connection, const gchar*, const gchar* path,
                       const gchar* interface, const gchar* method, GVariant*,
                       GDBusMethodInvocation* invocation, gpointer data) {
        auto* self = static_cast<Service*>(data);
        std::unique_lock lock(self->mutex);
        self->calls.push_back(method);
        std::string name = method;
        if (name == "GetDefaultDevice") {
            if (!self->readerPresent) {
                g_dbus_method_invocation_return_dbus_error(
                    invocation, "net.reactivated.Fprint.Error.NoSuchDevice",
                    "No devices available");
                return;
            }
            g_dbus_method_invocation_return_value(invocation, g_variant_new("(o)", kDevicePath));
        } else if (name == "ListEnrolledFingers") {
            if (self->fingers.empty()) {
                g_dbus_method_invocation_return_dbus_error(
                    invocation, "net.reactivated.Fprint.Error.NoEnrolledPrints", "No prints");
                return;
            }
            GVariantBuilder list;
            g_variant_builder_init(&list, G_VARIANT_TYPE("as"));
            for (const auto& finger : self->fingers)
                g_variant_builder_add(&list, "s", finger.c_str());
            g_dbus_method_invocation_return_value(invocation, g_variant_new("(as)", &list));
        } else {
            if (name == "VerifyStart") {
                g_dbus_connection_emit_signal(
                    connection, nullptr, path, interface, "VerifyStatus",
                    g_variant_new("(sb)", self->verifyResult.c_str(), TRUE), nullptr);
            }
            g_dbus_method_invocation_return_value(invocation, nullptr);
        }
    }

    void start(const std::string& address) {
        std::mutex readyMutex;
        std::condition_variable readyChanged;
        bool ready = false;
        std::string failure;
        thread = std::thread([&] {
            context = g_main_context_new();
            g_main_context_push_thread_default(context);
            loop = g_main_loop_new(context, FALSE);
            GError* error = nullptr;
            connection = g_dbus_connection_new_for_address_sync(
                address.c_str(),
                static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                  G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                nullptr, nullptr, &error);
            if (connection) {
                GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
                static const GDBusInterfaceVTable vtable{onCall, nullptr, nullptr, {}};
                g_dbus_connection_register_object(connection, "/net/reactivated/Fprint/Manager",
                                                  node->interfaces[0], &vtable, this, nullptr,
                                                  nullptr);
                g_dbus_connection_register_object(connection, kDevicePath, node->interfaces[1],
                                                  &vtable, this, nullptr, nullptr);
                g_dbus_node_info_unref(node);
                GVariant* reply = g_dbus_connection_call_sync(
                    connection, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                    "org.freedesktop.DBus", "RequestName",
                    g_variant_new("(su)", "net.reactivated.Fprint", 0u), nullptr,
                    G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, &error);
                if (reply)
                    g_variant_unref(reply);
            }
            {
                std::lock_guard lock(readyMutex);
                if (error) {
                    failure = error->message;
                    g_error_free(error);
                }
                ready = true;
                // Told under the lock: the waiter, and with it this condition variable, cannot
                // be gone before the signal is.
                readyChanged.notify_one();
            }
            g_main_loop_run(loop);
            if (connection) {
                g_dbus_connection_close_sync(connection, nullptr, nullptr);
                g_object_unref(connection);
            }
            g_main_loop_unref(loop);
            g_main_context_pop_thread_default(context);
            g_main_context_unref(context);
        });
        std::unique_lock lock(readyMutex);
        readyChanged.wait(lock, [&] { return ready; });
        if (!failure.empty())
            throw std::runtime_error("fingerprint daemon double: " + failure);
    }

    void stop() {
        if (!thread.joinable())
            return;
        g_main_context_invoke(
            context,
            [](gpointer data) -> gboolean {
                g_main_loop_quit(static_cast<GMainLoop*>(data));
                return G_SOURCE_REMOVE;
            },
            loop);
        thread.join();
    }
};

FingerprintDaemonDouble::FingerprintDaemonDouble(bool serve) {
    static std::atomic<int> counter{0};
    std::string socket = (sandbox() / ("bus" + std::to_string(counter++))).string();
    std::string listen = "--address=unix:path=" + socket;
    int out[2];
    if (pipe(out) != 0)
        throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const char* argv[] = {"dbus-daemon",     "--session",    "--nofork",
                          "--print-address", listen.c_str(), nullptr};
    pid_t pid;
    int spawned = posix_spawnp(&pid, "dbus-daemon", &actions, nullptr,
                               const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (spawned != 0) {
        close(out[0]);
        throw std::runtime_error("cannot start dbus-daemon");
    }
    daemonPid_ = pid;
    // The daemon prints its address once it listens; EOF means it died.
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n')
        address_ += c;
    close(out[0]);
    if (address_.empty())
        throw std::runtime_error("dbus-daemon printed no address");
    if (serve) {
        service_ = std::make_unique<Service>();
        service_->start(address_);
    }
}

FingerprintDaemonDouble::~FingerprintDaemonDouble() {
    if (service_)
        service_->stop();
    if (daemonPid_ > 0) {
        kill(daemonPid_, SIGTERM);
        int status;
        waitpid(daemonPid_, &status, 0);
    }
}

void FingerprintDaemonDouble::setReaderPresent(bool present) {
    std::lock_guard lock(service_->mutex);
    service_->readerPresent = present;
}

void FingerprintDaemonDouble::setEnrolledFingers(std::vector<std::string> fingers) {
    std::lock_guard lock(service_->mutex);
    service_->fingers = std::move(fingers);
}

void FingerprintDaemonDouble::setVerifyResult(std::string result) {
    std::lock_guard lock(service_->mutex);
    service_->verifyResult = std::move(result);
}

std::vector<std::string> FingerprintDaemonDouble::calls() const {
    std::lock_guard lock(service_->mutex);
    return service_->calls;
}

}  // namespace quarra::test
