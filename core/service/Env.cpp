#include "Env.h"

#include <QSettings>

namespace pq {

namespace {

// An address that can serve as a deployment base: absolute, http or https, with a host.
std::optional<QUrl> baseAddress(const QByteArray& text) {
    if (text.isEmpty())
        return std::nullopt;
    const QUrl url(QString::fromUtf8(text), QUrl::StrictMode);
    const QString scheme = url.scheme();
    if (!url.isValid() || url.host().isEmpty() ||
        (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
        return std::nullopt;
    return url;
}

} // namespace

QList<Env::Name> Env::allNames() {
    return {Name::production, Name::e2e, Name::local};
}

QString Env::rawValue(Name name) {
    switch (name) {
    case Name::production:
        return QStringLiteral("production");
    case Name::e2e:
        return QStringLiteral("e2e");
    case Name::local:
        return QStringLiteral("local");
    }
    Q_UNREACHABLE();
}

std::optional<Env::Name> Env::nameFrom(const QString& raw) {
    for (Name name : allNames())
        if (rawValue(name) == raw)
            return name;
    return std::nullopt;
}

Env Env::named(Name name) {
    switch (name) {
    case Name::production:
        return {name, QUrl(QStringLiteral("https://api.parloquent.com")),
                QUrl(QStringLiteral("https://app.parloquent.com"))};
    case Name::e2e:
        return {name, QUrl(QStringLiteral("https://api.e2e.parloquent.com")),
                QUrl(QStringLiteral("https://app.e2e.parloquent.com"))};
    case Name::local:
        return {name, QUrl(QStringLiteral("http://127.0.0.1:8080")),
                QUrl(QStringLiteral("http://127.0.0.1:5176"))};
    }
    Q_UNREACHABLE();
}

Env Env::current() {
    const QSettings settings{QLatin1String(settingsOrganization),
                             QLatin1String(settingsApplication)};
    const QVariant pref = settings.value(QStringLiteral("env"));
    const Name name =
        pref.isValid() ? nameFrom(pref.toString()).value_or(Name::production) : Name::production;
    Env env = named(name);
    if (const auto api = baseAddress(qgetenv("PARLOQUENT_API"))) {
        env.api = *api;
        if (const auto app = baseAddress(qgetenv("PARLOQUENT_APP")))
            env.app = *app;
    }
    return env;
}

QUrl Env::dashboard(const QString& path) const {
    const QUrl relative(path);
    Q_ASSERT_X(relative.isValid(), "Env::dashboard", "path does not form an address");
    return app.resolved(relative);
}

} // namespace pq
