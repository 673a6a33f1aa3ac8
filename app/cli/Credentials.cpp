#include "Credentials.h"

#include "Terminal.h"

#include <QSettings>

namespace pq::cli {

QCoro::Task<std::optional<QString>> Credentials::key(Env::Name env) {
    QCoro::Task<std::optional<QString>> stored = m_store.read(env);
    std::optional<QString> found = co_await stored;
    if (!found && qEnvironmentVariableIsSet("PARLOQUENT_KEY"))
        found = qEnvironmentVariable("PARLOQUENT_KEY").trimmed();
    co_return found;
}

QCoro::Task<std::optional<QString>> Credentials::keyForCommand(Env::Name env) {
    QCoro::Task<std::optional<QString>> reading = key(env);
    std::optional<QString> found = co_await std::move(reading);
    if (!found)
        Terminal::printError(QStringLiteral("You are not signed in. Run “parloquent-cli sign-in”, "
                                            "or set PARLOQUENT_KEY."));
    co_return found;
}

QCoro::Task<bool> Credentials::save(QString key, QString accountName, bool viaKey, Env::Name env) {
    QCoro::Task<bool> writing = m_store.write(key, env);
    if (!co_await writing)
        co_return false;
    QSettings settings{QLatin1String(settingsOrganization), QLatin1String(settingsApplication)};
    settings.setValue(QStringLiteral("accountName"), accountName);
    settings.setValue(QStringLiteral("viaKey"), viaKey);
    settings.sync();
    co_return true;
}

QCoro::Task<void> Credentials::forget(Env::Name env) {
    QCoro::Task<void> removing = m_store.remove(env);
    co_await removing;
}

} // namespace pq::cli
