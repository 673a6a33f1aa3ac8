#pragma once

#include <QList>
#include <QString>
#include <QUrl>

#include <optional>

namespace pq {

// A deployment of the service: where its REST interface, WebSockets and web application live.
struct Env {
    enum class Name { production, e2e, local };

    Name name = Name::production;
    QUrl api;
    QUrl app;

    // In picker order.
    static QList<Name> allNames();
    static QString rawValue(Name name);
    static std::optional<Name> nameFrom(const QString& raw);

    static Env named(Name name);

    // The "env" preference (production unless it says "e2e" or "local"), with the API and web
    // application addresses overridden by PARLOQUENT_API / PARLOQUENT_APP when PARLOQUENT_API
    // holds an absolute http(s) address. Read afresh on every call.
    static Env current();

    // `path` resolved against the web application's address.
    QUrl dashboard(const QString& path) const;

    bool operator==(const Env&) const = default;
};

// The preference store of the application ("Parloquent"/"Parloquent").
inline constexpr const char* settingsOrganization = "Parloquent";
inline constexpr const char* settingsApplication = "Parloquent";

} // namespace pq
