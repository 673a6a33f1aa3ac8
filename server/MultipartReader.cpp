#include "MultipartReader.h"

#include <QList>

namespace pq::server {

namespace {

// The parameters of a header value: `form-data; name="file"; filename="a b.wav"`.
QList<std::pair<QByteArray, QByteArray>> parameters(const QByteArray& value) {
    QList<std::pair<QByteArray, QByteArray>> out;
    qsizetype i = value.indexOf(';');
    while (i >= 0 && i < value.size()) {
        ++i;
        while (i < value.size() && (value[i] == ' ' || value[i] == '\t'))
            ++i;
        const qsizetype eq = value.indexOf('=', i);
        if (eq < 0)
            break;
        const QByteArray name = value.mid(i, eq - i).trimmed().toLower();
        i = eq + 1;
        QByteArray v;
        if (i < value.size() && value[i] == '"') {
            ++i;
            while (i < value.size() && value[i] != '"') {
                if (value[i] == '\\' && i + 1 < value.size())
                    ++i;
                v.append(value[i]);
                ++i;
            }
            i = value.indexOf(';', i);
        } else {
            const qsizetype end = value.indexOf(';', i);
            v = value.mid(i, end < 0 ? -1 : end - i).trimmed();
            i = end;
        }
        out.append({name, v});
    }
    return out;
}

} // namespace

MultipartReader::MultipartReader(const QByteArray& boundary, Handler handler)
    : m_delimiter("\r\n--" + boundary), m_matcher(m_delimiter), m_handler(std::move(handler)),
      m_buffer("\r\n") {} // so that a body that opens with its delimiter is found like the rest

std::optional<QByteArray> MultipartReader::boundaryOf(const QByteArray& contentType) {
    const qsizetype semicolon = contentType.indexOf(';');
    const QByteArray type =
        contentType.left(semicolon < 0 ? contentType.size() : semicolon).trimmed().toLower();
    if (type != "multipart/form-data")
        return std::nullopt;
    for (const auto& [name, value] : parameters(contentType)) {
        if (name != "boundary")
            continue;
        // RFC 2046: 1 to 70 characters of a restricted set, not ending in a space.
        static const QByteArray allowed = "'()+_,-./:=? ";
        if (value.isEmpty() || value.size() > 70 || value.endsWith(' '))
            return std::nullopt;
        for (char c : value) {
            const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                            (c >= '0' && c <= '9') || allowed.contains(c);
            if (!ok)
                return std::nullopt;
        }
        return value;
    }
    return std::nullopt;
}

void MultipartReader::fail(const QString& error) {
    if (m_state == State::Failed)
        return;
    m_state = State::Failed;
    m_error = error;
    m_buffer.clear();
}

bool MultipartReader::feed(const char* data, qsizetype size) {
    if (m_state == State::Failed)
        return false;
    if (m_state == State::Done)
        return true; // the epilogue is ignored
    m_buffer.append(data, size);
    while (step()) {
    }
    return m_state != State::Failed;
}

bool MultipartReader::step() {
    switch (m_state) {
    case State::Preamble: {
        const qsizetype at = m_matcher.indexIn(m_buffer);
        if (at < 0) {
            // Keep only what could be the start of the delimiter.
            const qsizetype keep = std::min(m_buffer.size(), m_delimiter.size() - 1);
            m_buffer.remove(0, m_buffer.size() - keep);
            return false;
        }
        m_buffer.remove(0, at + m_delimiter.size());
        m_state = State::AfterDelimiter;
        return true;
    }
    case State::AfterDelimiter: {
        if (m_buffer.size() < 2)
            return false;
        if (m_buffer.startsWith("--")) {
            m_state = State::Done;
            m_buffer.clear();
            return false;
        }
        // Transport padding (spaces and tabs) may follow a delimiter before its line break.
        qsizetype i = 0;
        while (i < m_buffer.size() && (m_buffer[i] == ' ' || m_buffer[i] == '\t'))
            ++i;
        if (i > 256) {
            fail(QStringLiteral("A boundary line of the upload is malformed."));
            return false;
        }
        if (m_buffer.size() < i + 2)
            return false;
        if (m_buffer[i] != '\r' || m_buffer[i + 1] != '\n') {
            fail(QStringLiteral("A boundary line of the upload is malformed."));
            return false;
        }
        m_buffer.remove(0, i + 2);
        m_state = State::Headers;
        return true;
    }
    case State::Headers: {
        qsizetype end = -1;
        qsizetype skip = 0;
        if (m_buffer.startsWith("\r\n")) {
            end = 0;
            skip = 2;
        } else {
            end = m_buffer.indexOf("\r\n\r\n");
            skip = end + 4;
        }
        if (end < 0) {
            if (m_buffer.size() > kMaxHeaders)
                fail(QStringLiteral("The headers of an upload part are too large."));
            return false;
        }
        if (end > kMaxHeaders) {
            fail(QStringLiteral("The headers of an upload part are too large."));
            return false;
        }
        const QByteArray block = m_buffer.left(end);
        m_buffer.remove(0, skip);
        if (!parseHeaders(block))
            return false;
        m_state = State::Data;
        return true;
    }
    case State::Data: {
        const qsizetype at = m_matcher.indexIn(m_buffer);
        if (at < 0) {
            const qsizetype keep = std::min(m_buffer.size(), m_delimiter.size() - 1);
            const qsizetype give = m_buffer.size() - keep;
            if (give > 0) {
                if (m_handler.data && !m_handler.data(m_buffer.constData(), give)) {
                    fail(QStringLiteral("The upload was stopped."));
                    return false;
                }
                m_buffer.remove(0, give);
            }
            return false;
        }
        if (at > 0 && m_handler.data && !m_handler.data(m_buffer.constData(), at)) {
            fail(QStringLiteral("The upload was stopped."));
            return false;
        }
        m_buffer.remove(0, at + m_delimiter.size());
        if (m_handler.end && !m_handler.end()) {
            fail(QStringLiteral("The upload was stopped."));
            return false;
        }
        m_state = State::AfterDelimiter;
        return true;
    }
    case State::Done:
    case State::Failed:
        return false;
    }
    return false;
}

bool MultipartReader::parseHeaders(const QByteArray& block) {
    Part part;
    bool disposition = false;
    for (const QByteArray& line : block.split('\n')) {
        const QByteArray l = line.endsWith('\r') ? line.chopped(1) : line;
        if (l.trimmed().isEmpty())
            continue;
        const qsizetype colon = l.indexOf(':');
        if (colon <= 0) {
            fail(QStringLiteral("A header of an upload part is malformed."));
            return false;
        }
        const QByteArray name = l.left(colon).trimmed().toLower();
        const QByteArray value = l.mid(colon + 1).trimmed();
        if (name == "content-disposition") {
            const qsizetype semicolon = value.indexOf(';');
            if (value.left(semicolon < 0 ? value.size() : semicolon).trimmed().toLower() !=
                "form-data") {
                fail(QStringLiteral("An upload part is not form data."));
                return false;
            }
            disposition = true;
            for (const auto& [key, v] : parameters(value)) {
                if (key == "name")
                    part.name = QString::fromUtf8(v);
                else if (key == "filename")
                    part.fileName = QString::fromUtf8(v);
            }
        } else if (name == "content-type") {
            part.contentType = value;
        }
    }
    if (!disposition || part.name.isEmpty()) {
        fail(QStringLiteral("An upload part has no form field name."));
        return false;
    }
    if (m_handler.begin && !m_handler.begin(part)) {
        if (m_state != State::Failed)
            fail(QStringLiteral("The upload was stopped."));
        return false;
    }
    return true;
}

} // namespace pq::server
