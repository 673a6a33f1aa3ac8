#include "FileJob.h"

#include "FeedHub.h"
#include "MainThreadQueue.h"
#include "MediaDecoder.h"
#include "Recognizer.h"
#include "ServerConfig.h"
#include "SoundFile.h"
#include "SpeechEngine.h"
#include "SqlStatement.h"
#include "Store.h"
#include "TranscriptBuilder.h"
#include "Translator.h"
#include "UrlFetcher.h"
#include "WorkerThread.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QUrl>

Q_LOGGING_CATEGORY(lcJob, "parloquent.server.job")

namespace pq::server {

FileJob::FileJob(JobRow job, Store& store, FeedHub& feeds, Translator& translator,
                 SpeechEngine& engine, const ServerConfig& config, QObject* parent)
    : QObject(parent), StoredTranscript(job.recordingId, store, feeds, translator, 0, 1),
      m_job(std::move(job)), m_store(store), m_engine(engine), m_config(config),
      m_cancel(std::make_shared<std::atomic<bool>>(false)) {
    m_builder = new TranscriptBuilder(this, &translator, this);
    m_results = new MainThreadQueue(this);
}

FileJob::~FileJob() {
    // The decoding loop looks at the flag after each block; the worker is then ended before
    // the recogniser it uses.
    m_cancel->store(true);
    if (m_worker) {
        m_worker->stop([r = m_recognizer.get()] { r->close(); });
        m_worker.reset();
    }
    m_recognizer.reset();
    if (!m_removeAtEnd.isEmpty())
        QFile::remove(m_removeAtEnd);
}

void FileJob::start() {
    const QUrl url(m_job.source);
    if (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https")) {
        const QString path =
            QDir(m_config.uploadsDir()).filePath(m_job.recordingId + QStringLiteral(".fetch"));
        m_removeAtEnd = path;
        run(path, url);
        return;
    }
    if (url.isLocalFile()) {
        setState(QStringLiteral("fetching"), 0);
        const QFileInfo file(url.toLocalFile());
        if (!file.isFile() || !file.isReadable()) {
            fail(QStringLiteral("There is no readable file at this address."));
            return;
        }
        run(file.filePath(), {}); // read where it is: it is not ours to remove
        return;
    }
    m_removeAtEnd = m_job.source; // a received file
    run(m_job.source, {});
}

void FileJob::run(const QString& path, const QUrl& fetch) {
    setState(fetch.isEmpty() ? QStringLiteral("transcribing") : QStringLiteral("fetching"), 0);
    if (m_engine.state() == SpeechEngine::State::Failed) {
        fail(QStringLiteral("Parloquent's speech recogniser could not start: %1")
                 .arg(m_engine.error()));
        return;
    }
    Recognizer::Callbacks callbacks;
    callbacks.ready = [] {};
    callbacks.failed = [this](QString message) {
        m_results->post([this, m = std::move(message)] {
            fail(QStringLiteral("Parloquent could not start speech recognition: %1").arg(m));
        });
    };
    callbacks.utterance = [this](QString hypothesis, double start, double end) {
        m_results->post(
            [this, h = std::move(hypothesis), start, end] { m_builder->utterance(h, start, end); });
    };
    callbacks.flushed = [this](int) {
        m_results->post([this] { m_builder->barrier([this] { drained(); }); });
    };
    m_recognizer =
        std::make_unique<Recognizer>(m_engine.take(), m_engine.options(), std::move(callbacks));
    m_worker = std::make_unique<WorkerThread>(QStringLiteral("job ") + m_job.recordingId.right(8));
    QDir().mkpath(QFileInfo(m_config.mediaPath(m_job.recordingId)).path());
    if (!fetch.isEmpty()) {
        // The address first, on the worker too.
        m_worker->post([results = m_results, cancel = m_cancel, fetch, path,
                        max = m_config.maxUploadBytes, this] {
            const std::string error = UrlFetcher::fetch(
                fetch, path, max, *cancel, [results, this](qint64 received, qint64 expected) {
                    if (expected > 0) {
                        const int pct = int(std::min<qint64>(99, received * 100 / expected));
                        results->post([this, pct] { setState(QStringLiteral("fetching"), pct); });
                    }
                });
            if (cancel->load())
                return;
            if (!error.empty()) {
                cancel->store(true); // nothing more to do on this worker
                results->post([this, error] {
                    decoded(0, QString::fromStdString(error));
                    drained();
                });
                return;
            }
            results->post([this] { setState(QStringLiteral("transcribing"), 0); });
        });
    }
    m_worker->post([r = m_recognizer.get(), results = m_results, cancel = m_cancel, path,
                    media = m_config.mediaPath(m_job.recordingId), this] {
        if (cancel->load())
            return; // the job ended (a failed fetch, or the service stopping)
        MediaDecoder decoder;
        // Texts go to the other thread as plain copies, nothing shared with this one.
        if (!decoder.open(path)) {
            results->post([this, e = decoder.error().toStdString()] {
                decoded(0, QString::fromStdString(e));
            });
            results->post([this] { drained(); });
            return;
        }
        // start() reports a failure through the callbacks; the job then ends, and the flag
        // stops this loop.
        r->start();
        SoundFile sound;
        if (!sound.create(media, MediaDecoder::kRate))
            qCWarning(lcJob) << "cannot keep the sound of" << media << sound.error();
        std::vector<float> samples;
        int lastPct = -1;
        while (!cancel->load() && decoder.read(samples)) {
            if (sound.isOpen() && !sound.write(samples.data(), qsizetype(samples.size())))
                qCWarning(lcJob) << "cannot keep the sound of" << media << sound.error();
            for (size_t at = 0; at < samples.size(); at += kFeedSamples) {
                const size_t n = std::min(samples.size() - at, size_t(kFeedSamples));
                r->feed(QByteArray(reinterpret_cast<const char*>(samples.data() + at),
                                   qsizetype(n * sizeof(float))));
            }
            const double share = decoder.durationS() > 0 ? decoder.decodedS() / decoder.durationS()
                                                         : decoder.fraction();
            const int pct = std::clamp(int(share * 100), 0, 99);
            if (pct != lastPct) {
                lastPct = pct;
                results->post([this, pct] { setState(QStringLiteral("transcribing"), pct); });
            }
        }
        sound.close();
        if (cancel->load())
            return;
        results->post([this, s = decoder.decodedS(), e = decoder.error().toStdString()] {
            decoded(s, QString::fromStdString(e));
        });
        r->flush(1); // `flushed` follows, after the last utterance
    });
}

void FileJob::setState(const QString& state, int pct) {
    if (m_ended)
        return;
    m_job.state = state;
    m_job.pct = pct;
    try {
        m_store.setJob(m_job.transcriptionId, state, pct);
    } catch (const StoreError& e) {
        qCWarning(lcJob) << "cannot store the progress of" << m_job.transcriptionId << e.what();
    }
}

void FileJob::decoded(double seconds, const QString& error) {
    m_seconds = seconds;
    m_decodeError = error;
}

void FileJob::drained() {
    if (!m_decodeError.isEmpty()) {
        fail(m_decodeError);
        return;
    }
    if (m_ended)
        return;
    try {
        m_store.finishRecording(m_job.recordingId, m_seconds);
        m_store.setJob(m_job.transcriptionId, QStringLiteral("done"), 100);
    } catch (const StoreError& e) {
        qCWarning(lcJob) << "cannot finish" << m_job.transcriptionId << e.what();
    }
    qCInfo(lcJob) << "transcribed" << m_job.transcriptionId << m_seconds << "s";
    end();
}

void FileJob::fail(const QString& error) {
    if (m_ended)
        return;
    qCInfo(lcJob) << m_job.transcriptionId << "failed:" << error;
    try {
        m_store.setJob(m_job.transcriptionId, QStringLiteral("failed"), m_job.pct, error);
        m_store.endRecording(m_job.recordingId, QStringLiteral("failed"), m_seconds);
    } catch (const StoreError& e) {
        qCWarning(lcJob) << "cannot store the failure of" << m_job.transcriptionId << e.what();
    }
    end();
}

void FileJob::end() {
    m_ended = true;
    m_cancel->store(true);
    if (!m_removeAtEnd.isEmpty()) {
        QFile::remove(m_removeAtEnd);
        m_removeAtEnd.clear();
    }
    emit finished(m_job.transcriptionId, m_job.recordingId);
}

} // namespace pq::server
