#include "store/keychain.h"

#include "core/diagnostics.h"
#include "store/keychain_file.h"

#include <gio/gio.h>
#include <libsecret/secret.h>
#include <mutex>

namespace {

constexpr char kDomain[] = "QuarryShareKeychain";
constexpr char kSecretsBusName[] = "org.freedesktop.secrets";
// Bound on each question to the bus daemon while deciding where secrets go.
constexpr int kBusCallTimeoutMs = 5000;

// Items match on service and account alone, so items written by other tools (secret-tool) are found.
const SecretSchema* keychainSchema() {
    static const SecretSchema schema = [] {
        SecretSchema value{};
        value.name = "app.brightloom.share.Secret";
        value.flags = SECRET_SCHEMA_DONT_MATCH_NAME;
        value.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
        value.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
        return value;
    }();
    return &schema;
}

QuarryError keychainError(const GError* error) {
    const int code = error ? error->code : -1;
    QString message = error && error->message ? QString::fromUtf8(error->message) : QString();
    if (message.isEmpty())
        message = QStringLiteral("Keychain error %1.").arg(code);
    return {QString::fromLatin1(kDomain), code, message};
}

GVariant* callBusDaemon(GDBusConnection* bus, const char* method, GVariant* parameters,
                        const char* replyType) {
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", method, parameters,
        G_VARIANT_TYPE(replyType), G_DBUS_CALL_FLAGS_NONE, kBusCallTimeoutMs, nullptr, &error);
    g_clear_error(&error);
    return reply;
}

bool providerRunningOrActivatable(GDBusConnection* bus) {
    bool found = false;
    if (GVariant* reply = callBusDaemon(bus, "NameHasOwner", g_variant_new("(s)", kSecretsBusName), "(b)")) {
        gboolean hasOwner = FALSE;
        g_variant_get(reply, "(b)", &hasOwner);
        found = hasOwner;
        g_variant_unref(reply);
    }
    if (found)
        return true;
    if (GVariant* reply = callBusDaemon(bus, "ListActivatableNames", nullptr, "(as)")) {
        const gchar** names = nullptr;
        g_variant_get(reply, "(^a&s)", &names);
        for (const gchar** name = names; name && *name && !found; ++name)
            found = g_strcmp0(*name, kSecretsBusName) == 0;
        g_free(names);
        g_variant_unref(reply);
    }
    return found;
}

// Whether a Secret Service can be reached at all: a session bus with a provider of the secrets
// interface, running or startable on demand.
bool secretServiceReachable() {
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    g_clear_error(&error);
    if (!bus)
        return false;
    // Losing the session bus makes the secrets unreachable; it is no reason to end the application.
    g_dbus_connection_set_exit_on_close(bus, FALSE);
    const bool reachable = !g_dbus_connection_is_closed(bus) && providerRunningOrActivatable(bus);
    g_object_unref(bus);
    return reachable;
}

// Whether the Secret Service holds a matching item that is locked. Asked over D-Bus directly: the
// question needs no unlocking and no item objects.
bool lockedItemExists(const QByteArray& accountText) {
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    g_clear_error(&error);
    if (!bus)
        return false;
    GVariantBuilder attributes;
    g_variant_builder_init(&attributes, G_VARIANT_TYPE("a{ss}"));
    g_variant_builder_add(&attributes, "{ss}", "service", QuarryShareKeychain::serviceName);
    g_variant_builder_add(&attributes, "{ss}", "account", accountText.constData());
    GVariant* reply = g_dbus_connection_call_sync(
        bus, kSecretsBusName, "/org/freedesktop/secrets", "org.freedesktop.Secret.Service", "SearchItems",
        g_variant_new("(a{ss})", &attributes), G_VARIANT_TYPE("(aoao)"), G_DBUS_CALL_FLAGS_NONE,
        kBusCallTimeoutMs, nullptr, &error);
    g_clear_error(&error);
    bool found = false;
    if (reply) {
        GVariant* locked = g_variant_get_child_value(reply, 1);
        found = g_variant_n_children(locked) > 0;
        g_variant_unref(locked);
        g_variant_unref(reply);
    }
    g_object_unref(bus);
    return found;
}

bool useFallbackFile() {
    if (secretServiceReachable())
        return false;
    // Said once for each file the secrets go to (the state folder follows XDG_DATA_HOME).
    static std::mutex lock;
    static QString announcedFile;
    const QString file = QuarryKeychainFile::filePath();
    const std::lock_guard locker(lock);
    if (announcedFile != file) {
        announcedFile = file;
        logDiagnostic(
            QStringLiteral(
                "No Secret Service is reachable; secrets are kept in %1, readable by this user only.")
                .arg(file));
    }
    return true;
}

} // namespace

namespace QuarryShareKeychain {

QuarryResult<void> save(const QString& value, const QString& account) {
    if (useFallbackFile())
        return QuarryKeychainFile::save(QString::fromLatin1(serviceName), account, value);
    const QByteArray secret = value.toUtf8();
    const QByteArray accountText = account.toUtf8();
    const QByteArray label = QStringLiteral("brightloom Share: %1").arg(account).toUtf8();
    SecretValue* secretValue = secret_value_new(secret.constData(), secret.size(), "text/plain");
    GError* error = nullptr;
    // Storing under the same attributes replaces the item that is there.
    const gboolean stored = secret_password_store_binary_sync(
        keychainSchema(), SECRET_COLLECTION_DEFAULT, label.constData(), secretValue, nullptr, &error,
        "service", serviceName, "account", accountText.constData(), nullptr);
    secret_value_unref(secretValue);
    if (!stored || error) {
        const QuarryError failure = keychainError(error);
        g_clear_error(&error);
        return failure;
    }
    return {};
}

QuarryResult<std::optional<QString>> read(const QString& account) {
    if (useFallbackFile())
        return QuarryKeychainFile::read(QString::fromLatin1(serviceName), account);
    const QByteArray accountText = account.toUtf8();
    GError* error = nullptr;
    SecretValue* secretValue =
        secret_password_lookup_binary_sync(keychainSchema(), nullptr, &error, "service", serviceName,
                                           "account", accountText.constData(), nullptr);
    if (error) {
        const QuarryError failure = keychainError(error);
        g_clear_error(&error);
        if (secretValue)
            secret_value_unref(secretValue);
        return failure;
    }
    if (!secretValue) {
        // The lookup also answers nothing when the item exists in a keyring that stays locked.
        if (lockedItemExists(accountText))
            return QuarryError{QString::fromLatin1(kDomain), SECRET_ERROR_IS_LOCKED,
                               QStringLiteral("The keyring that holds this secret is locked.")};
        return std::optional<QString>();
    }
    gsize length = 0;
    const gchar* bytes = secret_value_get(secretValue, &length);
    // Invalid UTF-8 reads as U+FFFD rather than failing.
    const QString text = QString::fromUtf8(bytes, static_cast<qsizetype>(length));
    secret_value_unref(secretValue);
    return std::optional<QString>(text);
}

void remove(const QString& account) {
    if (useFallbackFile()) {
        QuarryKeychainFile::remove(QString::fromLatin1(serviceName), account);
        return;
    }
    const QByteArray accountText = account.toUtf8();
    GError* error = nullptr;
    secret_password_clear_sync(keychainSchema(), nullptr, &error, "service", serviceName, "account",
                               accountText.constData(), nullptr);
    g_clear_error(&error);
}

} // namespace QuarryShareKeychain
