#include "platform/ui/FingerprintBiometrics.h"

#include <gio/gio.h>

#include "quarra/Dispatch.h"
#include "quarra/Json.h"
#include "quarra/Result.h"

namespace quarra::ui {
namespace {

constexpr const char* kService = "net.reactivated.Fprint";
constexpr const char* kManagerPath = "/net/reactivated/Fprint/Manager";
constexpr const char* kManagerInterface = "net.reactivated.Fprint.Manager";
constexpr const char* kDeviceInterface = "net.reactivated.Fprint.Device";

struct GErrorFree {
    void operator()(GError* e) const { g_error_free(e); }
};
using GErrorPtr = std::unique_ptr<GError, GErrorFree>;
struct ObjectUnref {
    void operator()(gpointer o) const { g_object_unref(o); }
};
using Connection = std::unique_ptr<GDBusConnection, ObjectUnref>;
struct VariantUnref {
    void operator()(GVariant* v) const { g_variant_unref(v); }
};
using Variant = std::unique_ptr<GVariant, VariantUnref>;

// The daemon's answer that the user has no finger enrolled.
bool isNoEnrolledPrints(const GError* error) {
    if (!error || !g_dbus_error_is_remote_error(error))
        return false;
    char* name = g_dbus_error_get_remote_error(error);
    bool noPrints = name && std::string(name) == "net.reactivated.Fprint.Error.NoEnrolledPrints";
    g_free(name);
    return noPrints;
}

ErrorPtr errorFor(long code, const GError* cause) {
    ErrorPtr error = biometricError(code);
    if (!cause)
        return error;
    return Error::make(BiometricErrorDomain, code,
                       Json{{LocalizedDescriptionKey, error->localizedDescription()},
                            {LocalizedFailureReasonKey, cause->message}});
}

class Bus {
  public:
    Bus(const std::string& address, std::chrono::milliseconds timeout)
        : timeout_(static_cast<int>(timeout.count())) {
        GError* raw = nullptr;
        std::string where = address;
        if (where.empty()) {
            gchar* system = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, &raw);
            if (system) {
                where = system;
                g_free(system);
            }
        }
        if (!where.empty()) {
            connection_.reset(g_dbus_connection_new_for_address_sync(
                where.c_str(),
                static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                  G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                nullptr, nullptr, &raw));
        }
        error_.reset(raw);
    }

    GDBusConnection* get() const { return connection_.get(); }
    const GError* error() const { return error_.get(); }

    Variant call(const std::string& path, const char* interface, const char* method,
                 GVariant* arguments, const char* replyType, GErrorPtr& error) const {
        GError* raw = nullptr;
        GVariant* reply = g_dbus_connection_call_sync(
            connection_.get(), kService, path.c_str(), interface, method, arguments,
            replyType ? G_VARIANT_TYPE(replyType) : nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START,
            timeout_, nullptr, &raw);
        error.reset(raw);
        return Variant(reply);
    }

    // The default reader's object path; empty, with `error` set, when there is none.
    std::string defaultDevice(GErrorPtr& error) const {
        Variant reply =
            call(kManagerPath, kManagerInterface, "GetDefaultDevice", nullptr, "(o)", error);
        if (!reply)
            return {};
        const gchar* path = nullptr;
        g_variant_get(reply.get(), "(&o)", &path);
        return path ? path : "";
    }

  private:
    Connection connection_;
    GErrorPtr error_;
    int timeout_;
};

class FingerprintContext : public BiometricContext {
  public:
    explicit FingerprintContext(std::shared_ptr<FingerprintBiometricService> service)
        : service_(std::move(service)) {}

    ErrorPtr canEvaluatePolicy(long) override {
        ErrorPtr reason = check();
        type_ = reason ? BiometryType::None : BiometryType::TouchID;
        return reason;
    }

    BiometryType biometryType() override { return type_; }

    void evaluatePolicy(long, const std::string&, Reply reply) override {
        auto service = service_;
        DispatchQueue::global()->async([service, reply = std::move(reply)] {
            ErrorPtr error = verify(*service);
            reply(error == nullptr, error);
        });
    }

  private:
    // The default reader's object path; fails when the bus or the reader cannot be reached.
    static Result<std::string> defaultReader(const Bus& bus) {
        if (!bus.get())
            return errorFor(BiometricErrorNotAvailable, bus.error());
        GErrorPtr error;
        std::string device = bus.defaultDevice(error);
        if (device.empty())
            return errorFor(BiometricErrorNotAvailable, error.get());
        return device;
    }

    ErrorPtr check() const {
        Bus bus(service_->busAddress(), service_->callTimeout());
        Result<std::string> reader = defaultReader(bus);
        if (!reader)
            return reader.error();
        const std::string& device = *reader;
        GErrorPtr error;
        // The empty user name is the daemon's word for the calling user.
        Variant fingers = bus.call(device, kDeviceInterface, "ListEnrolledFingers",
                                   g_variant_new("(s)", ""), "(as)", error);
        if (!fingers) {
            return errorFor(isNoEnrolledPrints(error.get()) ? BiometricErrorNotEnrolled
                                                            : BiometricErrorNotAvailable,
                            error.get());
        }
        GVariant* list = g_variant_get_child_value(fingers.get(), 0);
        gsize count = g_variant_n_children(list);
        g_variant_unref(list);
        return count > 0 ? nullptr : errorFor(BiometricErrorNotEnrolled, nullptr);
    }

    struct Verification {
        std::string result;
        bool done = false;
        bool unsubscribed = false;
    };

    static void onUnsubscribed(gpointer data) {
        static_cast<Verification*>(data)->unsubscribed = true;
    }

    static void onStatus(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                         GVariant* parameters, gpointer data) {
        auto* state = static_cast<Verification*>(data);
        const gchar* result = nullptr;
        gboolean done = FALSE;
        g_variant_get(parameters, "(&sb)", &result, &done);
        state->result = result ? result : "";
        state->done = state->done || done;
    }

    static gboolean onTimeout(gpointer data) {
        static_cast<Verification*>(data)->done = true;
        return G_SOURCE_REMOVE;
    }

    // Runs on a worker thread with a main context of its own, where the bus delivers the
    // daemon's status signals.
    static ErrorPtr verify(const FingerprintBiometricService& service) {
        GMainContext* context = g_main_context_new();
        g_main_context_push_thread_default(context);
        ErrorPtr outcome = verifyOn(service, context);
        g_main_context_pop_thread_default(context);
        g_main_context_unref(context);
        return outcome;
    }

    static ErrorPtr verifyOn(const FingerprintBiometricService& service, GMainContext* context) {
        Bus bus(service.busAddress(), service.callTimeout());
        Result<std::string> reader = defaultReader(bus);
        if (!reader)
            return reader.error();
        const std::string& device = *reader;
        GErrorPtr error;
        if (!bus.call(device, kDeviceInterface, "Claim", g_variant_new("(s)", ""), nullptr, error))
            return errorFor(BiometricErrorSystemCancel, error.get());

        Verification state;
        guint subscription = g_dbus_connection_signal_subscribe(
            bus.get(), nullptr, kDeviceInterface, "VerifyStatus", device.c_str(), nullptr,
            G_DBUS_SIGNAL_FLAGS_NONE, onStatus, &state, onUnsubscribed);
        ErrorPtr outcome;
        if (bus.call(device, kDeviceInterface, "VerifyStart", g_variant_new("(s)", "any"), nullptr,
                     error)) {
            GSource* timer =
                g_timeout_source_new(static_cast<guint>(service.verifyTimeout().count()));
            g_source_set_callback(timer, onTimeout, &state, nullptr);
            g_source_attach(timer, context);
            while (!state.done)
                g_main_context_iteration(context, TRUE);
            g_source_destroy(timer);
            g_source_unref(timer);
            if (state.result == "verify-match")
                outcome = nullptr;
            else if (state.result == "verify-no-match")
                outcome = errorFor(BiometricErrorAuthenticationFailed, nullptr);
            else
                outcome = errorFor(BiometricErrorSystemCancel, nullptr);
            GErrorPtr ignored;
            bus.call(device, kDeviceInterface, "VerifyStop", nullptr, nullptr, ignored);
        } else {
            outcome = errorFor(BiometricErrorSystemCancel, error.get());
        }
        g_dbus_connection_signal_unsubscribe(bus.get(), subscription);
        // Signals already queued for this context must not reach `state` after it is gone: the
        // subscription is over once the bus has said so in this context.
        while (!state.unsubscribed)
            g_main_context_iteration(context, TRUE);
        GErrorPtr ignored;
        bus.call(device, kDeviceInterface, "Release", nullptr, nullptr, ignored);
        return outcome;
    }

    std::shared_ptr<FingerprintBiometricService> service_;
    BiometryType type_ = BiometryType::None;
};

}  // namespace

FingerprintBiometricService::FingerprintBiometricService(std::string busAddress,
                                                         std::chrono::milliseconds callTimeout,
                                                         std::chrono::milliseconds verifyTimeout)
    : busAddress_(std::move(busAddress)),
      callTimeout_(callTimeout),
      verifyTimeout_(verifyTimeout) {}

std::shared_ptr<BiometricContext> FingerprintBiometricService::makeContext() {
    return std::make_shared<FingerprintContext>(
        std::static_pointer_cast<FingerprintBiometricService>(shared_from_this()));
}

}  // namespace quarra::ui
