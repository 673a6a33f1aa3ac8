#include "SqlStatement.h"

#include <sqlite3.h>

namespace pq::server {

SqlStatement::SqlStatement(sqlite3* db, const char* sql) : m_db(db) {
    if (sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr) != SQLITE_OK)
        fail("prepare");
}

SqlStatement::~SqlStatement() {
    sqlite3_finalize(m_stmt);
}

void SqlStatement::fail(const char* what) const {
    throw StoreError(std::string("database ") + what + ": " + sqlite3_errmsg(m_db));
}

SqlStatement& SqlStatement::bind(int index, const QString& value) {
    const QByteArray utf8 = value.toUtf8();
    if (sqlite3_bind_text(m_stmt, index, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT) !=
        SQLITE_OK)
        fail("bind");
    return *this;
}

SqlStatement& SqlStatement::bind(int index, const std::optional<QString>& value) {
    return value ? bind(index, *value) : bindNull(index);
}

SqlStatement& SqlStatement::bind(int index, qint64 value) {
    if (sqlite3_bind_int64(m_stmt, index, value) != SQLITE_OK)
        fail("bind");
    return *this;
}

SqlStatement& SqlStatement::bind(int index, double value) {
    if (sqlite3_bind_double(m_stmt, index, value) != SQLITE_OK)
        fail("bind");
    return *this;
}

SqlStatement& SqlStatement::bindNull(int index) {
    if (sqlite3_bind_null(m_stmt, index) != SQLITE_OK)
        fail("bind");
    return *this;
}

bool SqlStatement::step() {
    const int rc = sqlite3_step(m_stmt);
    if (rc == SQLITE_ROW)
        return true;
    if (rc == SQLITE_DONE)
        return false;
    fail("step");
}

void SqlStatement::run() {
    while (step()) {
    }
}

QString SqlStatement::text(int column) const {
    const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(m_stmt, column));
    return data ? QString::fromUtf8(data, sqlite3_column_bytes(m_stmt, column)) : QString();
}

std::optional<QString> SqlStatement::optionalText(int column) const {
    if (isNull(column))
        return std::nullopt;
    return text(column);
}

qint64 SqlStatement::integer(int column) const {
    return sqlite3_column_int64(m_stmt, column);
}

double SqlStatement::real(int column) const {
    return sqlite3_column_double(m_stmt, column);
}

bool SqlStatement::isNull(int column) const {
    return sqlite3_column_type(m_stmt, column) == SQLITE_NULL;
}

} // namespace pq::server
