#pragma once

#include <QCoroTask>
#include <QStringList>

#include <optional>

namespace pq::cli {

class Credentials;
class Interrupts;

// transcribe: uploads files, waits for the service to transcribe each and prints the transcripts.
// Returns the process's exit status: non-zero when any file failed.
class FileCommands {
public:
    FileCommands(Credentials& credentials, Interrupts& interrupts)
        : m_credentials(credentials), m_interrupts(interrupts) {}

    QCoro::Task<int> transcribe(QStringList files, std::optional<QString> name,
                                std::optional<QString> language);

    // Whether a job state means the service is still working on the file.
    static bool isPending(const QString& jobState);
    // "name  [#####-----]  42%" in `columns` characters at most.
    static QString progressBar(const QString& name, double fraction, int columns);

private:
    Credentials& m_credentials;
    Interrupts& m_interrupts;
};

} // namespace pq::cli
