#include "Keychain.h"

#include "OwnThread.h"

#include <QCoroFuture>
#include <QStringDecoder>
#include <QTimer>

// libsecret's headers use "signals" as an identifier.
#undef signals
#include <libsecret/secret.h>
#define signals Q_SIGNALS

namespace pq {

namespace {

const SecretSchema* schema() {
    static const SecretSchema s = {Keychain::schemaName,
                                   SECRET_SCHEMA_NONE,
                                   {
                                       {"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                       {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                       {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
                                   },
                                   0,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr};
    return &s;
}

GHashTable* attributes(const QByteArray& account) {
    GHashTable* table = g_hash_table_new_full(g_str_hash, g_str_equal, nullptr, g_free);
    g_hash_table_insert(table, const_cast<char*>("service"), g_strdup(Keychain::service));
    g_hash_table_insert(table, const_cast<char*>("account"), g_strdup(account.constData()));
    return table;
}

// Runs `call` with a cancellable on a worker thread; cancels it when `timeout` passes first.
template <class T, class Call>
QCoro::Task<T> runWithTimeout(std::chrono::milliseconds timeout, Call call) {
    GCancellable* cancellable = g_cancellable_new();
    g_object_ref(cancellable); // one reference for the worker
    auto work = [cancellable, call] {
        T result = call(cancellable);
        g_object_unref(cancellable);
        return result;
    };
    QCoro::Task<T> running = runOnOwnThread(std::move(work));
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout,
                     [cancellable] { g_cancellable_cancel(cancellable); });
    timer.start(timeout);
    const T result = co_await std::move(running);
    timer.stop();
    g_object_unref(cancellable);
    co_return result;
}

QByteArray accountOf(Env::Name env) {
    return Env::rawValue(env).toUtf8();
}

} // namespace

Keychain::Keychain(std::chrono::milliseconds timeout) : m_timeout(timeout) {}

QCoro::Task<std::optional<QString>> Keychain::read(Env::Name env) {
    const QByteArray account = accountOf(env);
    auto lookup = [account](GCancellable* cancellable) -> std::optional<QByteArray> {
        GHashTable* attrs = attributes(account);
        GError* error = nullptr;
        SecretValue* value =
            secret_password_lookupv_binary_sync(schema(), attrs, cancellable, &error);
        g_hash_table_unref(attrs);
        if (error)
            g_error_free(error);
        if (!value)
            return std::nullopt;
        gsize length = 0;
        const gchar* bytes = secret_value_get(value, &length);
        QByteArray out(bytes, static_cast<qsizetype>(length));
        secret_value_unref(value);
        return out;
    };
    QCoro::Task<std::optional<QByteArray>> pending =
        runWithTimeout<std::optional<QByteArray>>(m_timeout, std::move(lookup));
    const std::optional<QByteArray> bytes = co_await pending;
    if (!bytes)
        co_return std::nullopt;
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = utf8.decode(*bytes);
    if (utf8.hasError())
        co_return std::nullopt;
    co_return text;
}

QCoro::Task<bool> Keychain::write(QString key, Env::Name env) {
    const QByteArray account = accountOf(env);
    const QByteArray secret = key.toUtf8();
    auto store = [account, secret](GCancellable* cancellable) {
        GHashTable* attrs = attributes(account);
        GError* error = nullptr;
        // Delete first, so an old item never survives beside the new one.
        secret_password_clearv_sync(schema(), attrs, cancellable, &error);
        g_clear_error(&error);
        SecretValue* value = secret_value_new(secret.constData(), secret.size(), "text/plain");
        const gboolean stored =
            secret_password_storev_binary_sync(schema(), attrs, SECRET_COLLECTION_DEFAULT,
                                               Keychain::label, value, cancellable, &error);
        secret_value_unref(value);
        g_hash_table_unref(attrs);
        g_clear_error(&error);
        return stored == TRUE;
    };
    QCoro::Task<bool> pending = runWithTimeout<bool>(m_timeout, std::move(store));
    co_return co_await pending;
}

QCoro::Task<void> Keychain::remove(Env::Name env) {
    const QByteArray account = accountOf(env);
    auto clear = [account](GCancellable* cancellable) {
        GHashTable* attrs = attributes(account);
        GError* error = nullptr;
        secret_password_clearv_sync(schema(), attrs, cancellable, &error);
        g_hash_table_unref(attrs);
        g_clear_error(&error);
        return true;
    };
    QCoro::Task<bool> pending = runWithTimeout<bool>(m_timeout, std::move(clear));
    co_await pending;
}

} // namespace pq
