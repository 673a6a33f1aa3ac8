#pragma once

#include <QByteArray>
#include <QString>

#include <optional>
#include <stdexcept>

struct sqlite3;
struct sqlite3_stmt;

namespace pq::server {

// A storage failure: the database could not be read or written.
class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One prepared SQLite statement. Parameters are bound by position (1-based), columns read by
// index (0-based). Every failure throws StoreError with SQLite's message.
class SqlStatement {
public:
    SqlStatement(sqlite3* db, const char* sql);
    ~SqlStatement();
    SqlStatement(const SqlStatement&) = delete;
    SqlStatement& operator=(const SqlStatement&) = delete;

    SqlStatement& bind(int index, const QString& value);
    SqlStatement& bind(int index, const std::optional<QString>& value);
    SqlStatement& bind(int index, qint64 value);
    SqlStatement& bind(int index, int value) { return bind(index, qint64(value)); }
    SqlStatement& bind(int index, double value);
    SqlStatement& bindNull(int index);

    // Runs one step: true while a row is available.
    bool step();
    // Runs the statement to its end (for writes).
    void run();

    QString text(int column) const;
    std::optional<QString> optionalText(int column) const;
    qint64 integer(int column) const;
    double real(int column) const;
    bool isNull(int column) const;

private:
    [[noreturn]] void fail(const char* what) const;

    sqlite3* m_db;
    sqlite3_stmt* m_stmt = nullptr;
};

} // namespace pq::server
