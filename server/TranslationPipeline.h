#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <deque>
#include <functional>
#include <optional>

class QProcess;

namespace pq::server {

// One apertium language pair kept running as a persistent pipeline (the chain of
// `apertium-wblank-mode -z`): each text goes in followed by "\n\0", and its translation comes
// out in order, ending with a NUL. Starting the chain costs ~0.5 s; a sentence through a
// running chain ~3 ms. A chain that dies or hangs is restarted; what was waiting fails.
class TranslationPipeline : public QObject {
    Q_OBJECT

public:
    using Done = std::function<void(std::optional<QString>)>;

    TranslationPipeline(QString modeFile, QObject* parent = nullptr);
    ~TranslationPipeline() override;

    // Calls done later on this thread with the translation, or nothing on failure. done is
    // dropped if context is destroyed first.
    void translate(const QString& text, QObject* context, Done done);

    // The running chain's process group (its leader's pid), or 0.
    qint64 processGroup() const;

    static QByteArray escape(const QString& text);
    static QString unescape(const QByteArray& output);

    static constexpr int kMaxPending = 2000;
    static constexpr int kAnswerTimeoutMs = 10'000;

private:
    struct Request {
        QPointer<QObject> context;
        Done done;
    };

    bool start();
    void stop();
    void onOutput();
    void failAll();
    static void finish(Request request, std::optional<QString> result);

    QString m_modeFile;
    QString m_script;
    QProcess* m_process = nullptr;
    QByteArray m_buffer;
    std::deque<Request> m_pending;
    QTimer m_watchdog;
};

} // namespace pq::server
