#include "SpeechEngine.h"

#include "MainThreadQueue.h"
#include "WorkerThread.h"

#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcEngine, "parloquent.server.engine")

namespace pq::server {

SpeechEngine::SpeechEngine(DecoderOptions options, int warm, QObject* parent)
    : QObject(parent), m_options(std::move(options)), m_warm(std::max(0, warm)),
      m_results(new MainThreadQueue(this)),
      m_loader(std::make_unique<WorkerThread>(QStringLiteral("asr loader"))) {}

SpeechEngine::~SpeechEngine() {
    m_loader.reset(); // waits for a load under way
}

void SpeechEngine::start() {
    // The first load checks the model even when no decoder is to be kept warm.
    if (m_loading == 0 && m_state == State::Loading)
        load();
}

void SpeechEngine::load() {
    ++m_loading;
    m_loader->post([this] {
        QString error;
        // A decoder whose result is never delivered (the engine went first) is freed with it.
        auto slot = std::make_shared<std::unique_ptr<Decoder>>(Decoder::load(m_options, &error));
        m_results->post([this, slot, e = std::move(error)] { loaded(std::move(*slot), e); });
    });
}

void SpeechEngine::loaded(std::unique_ptr<Decoder> decoder, const QString& error) {
    --m_loading;
    if (m_state == State::Loading) {
        m_state = decoder ? State::Ready : State::Failed;
        m_error = error;
        if (decoder)
            qCInfo(lcEngine) << "speech recogniser ready";
        else
            qCWarning(lcEngine).noquote() << "speech recogniser failed:" << error;
        emit stateChanged();
    }
    if (decoder && int(m_spares.size()) < m_warm)
        m_spares.push_back(std::move(decoder));
    refill();
}

void SpeechEngine::refill() {
    if (m_state != State::Ready)
        return;
    while (int(m_spares.size()) + m_loading < m_warm)
        load();
}

std::unique_ptr<Decoder> SpeechEngine::take() {
    std::unique_ptr<Decoder> out;
    if (!m_spares.empty()) {
        out = std::move(m_spares.back());
        m_spares.pop_back();
    }
    refill();
    return out;
}

} // namespace pq::server
