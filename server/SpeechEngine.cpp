#include "SpeechEngine.h"

#include <QLoggingCategory>
#include <QMetaObject>

Q_LOGGING_CATEGORY(lcEngine, "parloquent.server.engine")

namespace pq::server {

SpeechEngine::SpeechEngine(DecoderOptions options, int warm, QObject* parent)
    : QObject(parent), m_options(std::move(options)), m_warm(std::max(0, warm)) {
    m_pool.setMaxThreadCount(1);
}

SpeechEngine::~SpeechEngine() { m_pool.waitForDone(); }

void SpeechEngine::start() {
    if (m_loading == 0 && m_state == State::Loading) {
        // The first load checks the model even when no decoder is to be kept warm.
        ++m_loading;
        m_pool.start([this] {
            QString error;
            auto slot = std::make_shared<std::unique_ptr<Decoder>>(Decoder::load(m_options, &error));
            QMetaObject::invokeMethod(
                this, [this, slot, error] { loaded(std::move(*slot), error); },
                Qt::QueuedConnection);
        });
    }
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
    while (int(m_spares.size()) + m_loading < m_warm) {
        ++m_loading;
        m_pool.start([this] {
            QString error;
            auto slot = std::make_shared<std::unique_ptr<Decoder>>(Decoder::load(m_options, &error));
            QMetaObject::invokeMethod(
                this, [this, slot, error] { loaded(std::move(*slot), error); },
                Qt::QueuedConnection);
        });
    }
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
