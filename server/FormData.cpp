#include "FormData.h"

namespace pq::server {

namespace {

QString decode(QByteArray part) {
    part.replace('+', ' ');
    return QString::fromUtf8(QByteArray::fromPercentEncoding(part));
}

} // namespace

FormData FormData::parse(const QByteArray& body) {
    FormData form;
    for (const QByteArray& pair : body.split('&')) {
        if (pair.isEmpty())
            continue;
        const qsizetype eq = pair.indexOf('=');
        if (eq < 0)
            form.m_items.append({decode(pair), QString()});
        else
            form.m_items.append({decode(pair.left(eq)), decode(pair.mid(eq + 1))});
    }
    return form;
}

std::optional<QString> FormData::value(const QString& name) const {
    for (const auto& [n, v] : m_items) {
        if (n == name)
            return v;
    }
    return std::nullopt;
}

int FormData::count(const QString& name) const {
    int n = 0;
    for (const auto& item : m_items)
        n += item.first == name ? 1 : 0;
    return n;
}

} // namespace pq::server
