#include "DesktopEntries.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QProcess>
#include <QStandardPaths>

#include <set>

namespace pq {

namespace {

// The program an Exec line starts: its first word, past "env" and its assignments.
QString programOf(const QString& exec) {
    const QStringList words = QProcess::splitCommand(exec);
    for (int i = 0; i < words.size(); ++i) {
        const QString name = QFileInfo(words[i]).fileName();
        if (name == QLatin1String("env")) {
            // Skip its options and assignments; "-u NAME" takes the next word too.
            while (i + 1 < words.size() &&
                   (words[i + 1].contains(QLatin1Char('=')) || words[i + 1].startsWith('-'))) {
                if (words[i + 1] == QLatin1String("-u") && i + 2 < words.size())
                    ++i;
                ++i;
            }
            continue;
        }
        return name;
    }
    return {};
}

} // namespace

DesktopEntries::DesktopEntries(QStringList folders) : m_fixed(std::move(folders)) {}

std::optional<DesktopEntry> DesktopEntries::read(const QString& path, const QString& id) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return std::nullopt;
    const QString locale = QLocale::system().name(); // e.g. "de_DE"
    const QString language = locale.section(QLatin1Char('_'), 0, 0);
    QString name, localName, languageName, type, exec;
    DesktopEntry entry;
    entry.id = id;
    bool inMain = false;
    bool hidden = false;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('['))) {
            inMain = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        if (!inMain)
            continue;
        const int eq = line.indexOf(QLatin1Char('='));
        if (eq <= 0)
            continue;
        const QString key = line.left(eq).trimmed();
        const QString value = line.mid(eq + 1).trimmed();
        if (key == QLatin1String("Name"))
            name = value;
        else if (key == QStringLiteral("Name[%1]").arg(locale))
            localName = value;
        else if (key == QStringLiteral("Name[%1]").arg(language))
            languageName = value;
        else if (key == QLatin1String("Icon"))
            entry.icon = value;
        else if (key == QLatin1String("Exec"))
            exec = value;
        else if (key == QLatin1String("StartupWMClass"))
            entry.wmClass = value;
        else if (key == QLatin1String("Type"))
            type = value;
        else if (key == QLatin1String("NoDisplay"))
            entry.noDisplay = value == QLatin1String("true");
        else if (key == QLatin1String("Hidden"))
            hidden = value == QLatin1String("true");
    }
    if (hidden || (!type.isEmpty() && type != QLatin1String("Application")))
        return std::nullopt;
    entry.name = !localName.isEmpty() ? localName : !languageName.isEmpty() ? languageName : name;
    entry.program = programOf(exec);
    return entry;
}

void DesktopEntries::refresh() {
    const QStringList folders =
        m_fixed ? *m_fixed
                : QStandardPaths::standardLocations(QStandardPaths::ApplicationsLocation);
    std::vector<QDateTime> stamps;
    for (const QString& folder : folders)
        stamps.push_back(QFileInfo(folder).lastModified());
    if (m_loaded && folders == m_folders && stamps == m_stamps)
        return;
    m_folders = folders;
    m_stamps = std::move(stamps);
    m_entries.clear();
    m_loaded = true;

    // An id found in an earlier folder hides the same id further down.
    std::set<QString> seen;
    for (const QString& folder : folders) {
        const QDir root(folder);
        QDirIterator it(folder, {QStringLiteral("*.desktop")}, QDir::Files,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            QString id = root.relativeFilePath(path);
            id.chop(int(sizeof(".desktop") - 1));
            id.replace(QLatin1Char('/'), QLatin1Char('-'));
            if (!seen.insert(id).second)
                continue;
            if (auto entry = read(path, id))
                m_entries.push_back(std::move(*entry));
        }
    }
}

std::optional<DesktopEntry> DesktopEntries::byId(const QString& id) {
    if (id.isEmpty())
        return std::nullopt;
    refresh();
    for (const auto& entry : m_entries)
        if (entry.id == id)
            return entry;
    return std::nullopt;
}

std::optional<DesktopEntry> DesktopEntries::forProgram(const QStringList& programs) {
    refresh();
    const auto matches = [&](const QString& value) {
        if (value.isEmpty())
            return false;
        for (const QString& program : programs)
            if (!program.isEmpty() && value.compare(program, Qt::CaseInsensitive) == 0)
                return true;
        return false;
    };
    for (const auto& entry : m_entries)
        if (matches(entry.id) || matches(entry.id.section(QLatin1Char('.'), -1)))
            return entry;
    for (const auto& entry : m_entries)
        if (matches(entry.wmClass))
            return entry;
    for (const auto& entry : m_entries)
        if (matches(entry.program))
            return entry;
    return std::nullopt;
}

} // namespace pq
