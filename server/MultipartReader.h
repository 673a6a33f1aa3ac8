#pragma once

#include <QByteArray>
#include <QByteArrayMatcher>
#include <QString>

#include <functional>
#include <optional>

namespace pq::server {

// Reads a multipart/form-data body as it arrives, in pieces of any size, without holding it:
// each part's bytes are handed on as soon as they cannot be the start of the next delimiter,
// so only a delimiter's length is kept between pieces. Malformed bodies are refused with a
// sentence saying what is wrong.
class MultipartReader {
public:
    struct Part {
        QString name;     // the form field's name
        QString fileName; // the file's name, for file fields
        QByteArray contentType;
    };
    // Each returns false to stop reading (the reader then fails with the handler's reason).
    struct Handler {
        std::function<bool(const Part&)> begin;
        std::function<bool(const char* data, qsizetype size)> data;
        std::function<bool()> end;
    };

    static constexpr qsizetype kMaxHeaders = 16 * 1024;

    MultipartReader(const QByteArray& boundary, Handler handler);

    // Consumes the next piece of the body; false once the body is refused.
    bool feed(const char* data, qsizetype size);
    bool feed(const QByteArray& data) { return feed(data.constData(), data.size()); }
    // The closing delimiter has been read.
    bool finished() const { return m_state == State::Done; }
    bool failed() const { return m_state == State::Failed; }
    QString error() const { return m_error; }
    void fail(const QString& error);

    // The boundary of a "multipart/form-data; boundary=…" content type, if it has a valid one.
    static std::optional<QByteArray> boundaryOf(const QByteArray& contentType);

private:
    enum class State { Preamble, AfterDelimiter, Headers, Data, Done, Failed };

    bool step();
    bool parseHeaders(const QByteArray& block);

    QByteArray m_delimiter; // CRLF "--" boundary
    QByteArrayMatcher m_matcher;
    Handler m_handler;
    State m_state = State::Preamble;
    QByteArray m_buffer;
    QString m_error;
};

} // namespace pq::server
