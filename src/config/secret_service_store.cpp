#include "config/secret_service_store.h"

#include <libsecret/secret.h>

#include <future>
#include <memory>

namespace quorvel {

namespace {

const SecretSchema kSchema = {
    "com.velmora.quorvel.DeviceKey",
    SECRET_SCHEMA_DONT_MATCH_NAME,
    {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING}, {"account", SECRET_SCHEMA_ATTRIBUTE_STRING}, {nullptr, {}}},
    0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

using Problem = KeyStoreProblem;
using Kind = KeyStoreProblem::Kind;

struct ErrorDeleter {
    void operator()(GError* error) const { g_error_free(error); }
};
using ErrorPtr = std::unique_ptr<GError, ErrorDeleter>;

struct ObjectDeleter {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <typename T>
using ObjectPtr = std::unique_ptr<T, ObjectDeleter>;

struct HashTableDeleter {
    void operator()(GHashTable* table) const { g_hash_table_unref(table); }
};

struct ItemListDeleter {
    void operator()(GList* list) const { g_list_free_full(list, g_object_unref); }
};

// The quick answers that mean there is no Secret Service on this machine.
bool meansNoService(const GError* error) {
    return g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_SERVICE_UNKNOWN) ||
           g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_NAME_HAS_NO_OWNER);
}

Problem problemFrom(const GError* error) {
    const std::string message = error != nullptr ? error->message : "unknown error";
    if (error == nullptr) return {Kind::failed, message};
    if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED) ||
        g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT) ||
        g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_TIMEOUT) ||
        g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_NO_REPLY))
        return {Kind::timedOut, "The Secret Service did not answer: " + message};
    if (meansNoService(error)) return {Kind::unavailable, message};
    if (g_error_matches(error, SECRET_ERROR, SECRET_ERROR_IS_LOCKED)) return {Kind::locked, message};
    return {Kind::failed, message};
}

Problem lockedProblem() {
    return {Kind::locked, "The keyring is locked; unlock it (for example by logging in again)."};
}

}  // namespace

struct SecretServiceStore::Session {
    explicit Session(const Options& options) : options(options) {}
    ~Session() = default;

    const Options options;
    ObjectPtr<SecretService> service;

    std::unique_ptr<GHashTable, HashTableDeleter> attributes() const {
        return std::unique_ptr<GHashTable, HashTableDeleter>(secret_attributes_build(
            &kSchema, "service", options.service.c_str(), "account", options.account.c_str(), nullptr));
    }

    std::optional<Problem> connect(GCancellable* cancellable) {
        if (service) return std::nullopt;
        GError* raw = nullptr;
        // Any failure to reach the session bus means there is no Secret Service here.
        ObjectPtr<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, cancellable, &raw));
        ErrorPtr busError(raw);
        if (!bus) {
            if (g_error_matches(raw, G_IO_ERROR, G_IO_ERROR_CANCELLED)) return problemFrom(raw);
            return Problem{Kind::unavailable, std::string("No session bus: ") + raw->message};
        }
        raw = nullptr;
        SecretService* opened = secret_service_open_sync(SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_OPEN_SESSION,
                                                          cancellable, &raw);
        ErrorPtr error(raw);
        if (opened == nullptr) return problemFrom(raw);
        service.reset(opened);
        return std::nullopt;
    }

    // The default collection; absent with no problem when there is none.
    Expected<ObjectPtr<SecretCollection>, Problem> defaultCollection(GCancellable* cancellable) {
        GError* raw = nullptr;
        ObjectPtr<SecretCollection> collection(secret_collection_for_alias_sync(
            service.get(), SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, cancellable, &raw));
        ErrorPtr error(raw);
        if (raw != nullptr) return problemFrom(raw);
        return collection;
    }

    Expected<KeyStoreDone, Problem> probe(GCancellable* cancellable) {
        if (auto problem = connect(cancellable)) return *problem;
        auto collection = defaultCollection(cancellable);
        if (!collection) return collection.error();
        if (!*collection) return Problem{Kind::unavailable, "The Secret Service has no default keyring."};
        return KeyStoreDone{};
    }

    // Matching items, locked ones included: a locked keyring must not look like "no key".
    Expected<std::unique_ptr<GList, ItemListDeleter>, Problem> items(GCancellable* cancellable) {
        if (auto problem = connect(cancellable)) return *problem;
        GError* raw = nullptr;
        auto attrs = attributes();
        std::unique_ptr<GList, ItemListDeleter> found(
            secret_service_search_sync(service.get(), &kSchema, attrs.get(), SECRET_SEARCH_ALL, cancellable, &raw));
        ErrorPtr error(raw);
        if (raw != nullptr) return problemFrom(raw);
        for (GList* node = found.get(); node != nullptr; node = node->next)
            if (secret_item_get_locked(SECRET_ITEM(node->data))) return lockedProblem();
        if (!found) {
            auto collection = defaultCollection(cancellable);
            if (!collection) return collection.error();
            if (*collection && secret_collection_get_locked(collection->get())) return lockedProblem();
        }
        return found;
    }

    Expected<std::optional<std::string>, Problem> read(GCancellable* cancellable) {
        auto found = items(cancellable);
        if (!found) return found.error();
        if (!*found) return std::optional<std::string>();
        SecretItem* item = SECRET_ITEM(found->get()->data);
        GError* raw = nullptr;
        secret_item_load_secret_sync(item, cancellable, &raw);
        ErrorPtr error(raw);
        if (raw != nullptr) return problemFrom(raw);
        SecretValue* value = secret_item_get_secret(item);
        if (value == nullptr) return std::optional<std::string>();
        gsize length = 0;
        const gchar* bytes = secret_value_get(value, &length);
        std::string result(bytes != nullptr ? bytes : "", bytes != nullptr ? length : 0);
        secret_value_unref(value);
        return std::optional<std::string>(std::move(result));
    }

    Expected<KeyStoreDone, Problem> remove(GCancellable* cancellable) {
        auto found = items(cancellable);
        if (!found) return found.error();
        if (!*found) return KeyStoreDone{};
        GError* raw = nullptr;
        auto attrs = attributes();
        secret_service_clear_sync(service.get(), &kSchema, attrs.get(), cancellable, &raw);
        ErrorPtr error(raw);
        if (raw != nullptr) return problemFrom(raw);
        return KeyStoreDone{};
    }

    Expected<KeyStoreDone, Problem> write(const std::string& bytes, GCancellable* cancellable) {
        // Never updated in place: delete, then add, so at most one item remains.
        if (auto removed = remove(cancellable); !removed) return removed.error();
        SecretValue* value = secret_value_new(bytes.c_str(), static_cast<gssize>(bytes.size()),
                                              "application/octet-stream");
        GError* raw = nullptr;
        auto attrs = attributes();
        const gboolean stored = secret_service_store_sync(service.get(), &kSchema, attrs.get(),
                                                          SECRET_COLLECTION_DEFAULT, "Quorvel device key", value,
                                                          cancellable, &raw);
        secret_value_unref(value);
        ErrorPtr error(raw);
        if (!stored) return problemFrom(raw);
        return KeyStoreDone{};
    }
};

SecretServiceStore::SecretServiceStore(Options options)
    : options_(std::move(options)), session_(std::make_shared<Session>(options_)), queue_("quorvel.secrets") {}

SecretServiceStore::~SecretServiceStore() = default;

template <typename T, typename Work>
Expected<T, KeyStoreProblem> SecretServiceStore::run(Work work) {
    struct Call {
        ObjectPtr<GCancellable> cancellable{g_cancellable_new()};
        std::promise<Expected<T, Problem>> result;
    };
    auto call = std::make_shared<Call>();
    auto future = call->result.get_future();
    queue_.executor().post([call, session = session_, work = std::move(work)] {
        // A request whose caller gave up while it queued behind a hung one is skipped.
        if (g_cancellable_is_cancelled(call->cancellable.get())) return;
        auto result = work(*session, call->cancellable.get());
        // After anything but a locked keyring, reconnect next time: the daemon may have
        // gone or been replaced, and a cancelled call may leave the proxy half-set-up.
        if (!result && result.error().kind != Kind::locked) session->service.reset();
        call->result.set_value(std::move(result));
    });
    if (future.wait_for(options_.timeout) == std::future_status::ready) return future.get();
    g_cancellable_cancel(call->cancellable.get());
    return Problem{Kind::timedOut, "The Secret Service did not answer within " +
                                       std::to_string(options_.timeout.count()) + " ms."};
}

Expected<KeyStoreDone, KeyStoreProblem> SecretServiceStore::probe() {
    return run<KeyStoreDone>([](Session& session, GCancellable* cancellable) { return session.probe(cancellable); });
}

Expected<std::optional<std::string>, KeyStoreProblem> SecretServiceStore::read() {
    return run<std::optional<std::string>>(
        [](Session& session, GCancellable* cancellable) { return session.read(cancellable); });
}

Expected<KeyStoreDone, KeyStoreProblem> SecretServiceStore::write(std::string_view bytes) {
    return run<KeyStoreDone>([bytes = std::string(bytes)](Session& session, GCancellable* cancellable) {
        return session.write(bytes, cancellable);
    });
}

Expected<KeyStoreDone, KeyStoreProblem> SecretServiceStore::remove() {
    return run<KeyStoreDone>([](Session& session, GCancellable* cancellable) { return session.remove(cancellable); });
}

std::string SecretServiceStore::description() const { return "Secret Service"; }

}  // namespace quorvel
