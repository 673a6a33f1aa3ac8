#pragma once

#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace pq::server {

class TranslationPipeline;

// Translates recognised English into the reading languages this machine has an apertium pair
// for. Pipelines are started on first use and kept running.
class Translator : public QObject {
    Q_OBJECT

public:
    using Done = std::function<void(std::optional<QString>)>;

    explicit Translator(const QString& modesDir, QObject* parent = nullptr);
    ~Translator() override;

    // Language codes there is an engine for, in a stable order.
    QStringList targets() const { return m_targets; }
    bool canTranslate(const QString& lang) const { return m_modes.contains(lang); }
    // Those of `langs` there is an engine for, in their order.
    QStringList translatable(const QStringList& langs) const;

    // Calls done later on this thread (unless context is gone) with the translation, or
    // nothing when the language has no engine or the engine failed.
    void translate(const QString& lang, const QString& text, QObject* context, Done done);

private:
    QHash<QString, QString> m_modes; // code -> mode file
    QStringList m_targets;
    QHash<QString, TranslationPipeline*> m_pipelines;
};

} // namespace pq::server
