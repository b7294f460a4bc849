#include "QMCtlValues.h"

#include "QMRamDiskAutoSave.h"

#include <QRegularExpression>

#include <cmath>

std::optional<quint64> QMCtlValues::parseSize(const QString &text)
{
    static const QRegularExpression re(QStringLiteral("^\\s*([0-9]+(?:\\.[0-9]+)?)\\s*([kKmMgGtT]?)(i?)[bB]?\\s*$"));
    const auto m = re.match(text);
    if (!m.hasMatch())
        return std::nullopt;
    bool ok = false;
    const double number = m.captured(1).toDouble(&ok);
    if (!ok)
        return std::nullopt;
    const QString unit = m.captured(2).toUpper();
    const bool binary = !m.captured(3).isEmpty();
    if (binary && unit.isEmpty())
        return std::nullopt;
    const double base = binary ? 1024.0 : 1000.0;
    int power = 0;
    if (unit == QLatin1String("K"))
        power = 1;
    else if (unit == QLatin1String("M"))
        power = 2;
    else if (unit == QLatin1String("G"))
        power = 3;
    else if (unit == QLatin1String("T"))
        power = 4;
    const double bytes = std::round(number * std::pow(base, power));
    if (bytes > 1.8e19)
        return std::nullopt;
    return static_cast<quint64>(bytes);
}

std::optional<QMCtlValues::Backup> QMCtlValues::parseBackup(const QString &text)
{
    if (text == QLatin1String("none"))
        return Backup{0, {}};
    if (text == QLatin1String("default"))
        return Backup{1, {}};
    if (text == QLatin1String("base"))
        return Backup{3, {}};
    if (text.startsWith(QLatin1Char('/')) || text.startsWith(QLatin1Char('~')) || text.startsWith(QLatin1Char('.')))
        return Backup{2, text};
    return std::nullopt;
}

QString QMCtlValues::backupText(qint64 mode, const QString &directory)
{
    switch (mode) {
    case 0: return QStringLiteral("none");
    case 1: return QStringLiteral("default");
    case 2: return directory.isEmpty() ? QStringLiteral("directory") : directory;
    case 3: return QStringLiteral("base");
    default: return QString::number(mode);
    }
}

std::optional<qint64> QMCtlValues::parseIndexMode(const QString &text)
{
    if (text == QLatin1String("default"))
        return 0;
    if (text == QLatin1String("on"))
        return 1;
    if (text == QLatin1String("off"))
        return 2;
    return std::nullopt;
}

QString QMCtlValues::indexModeText(qint64 mode)
{
    switch (mode) {
    case 1: return QStringLiteral("on");
    case 2: return QStringLiteral("off");
    default: return QStringLiteral("default");
    }
}

std::optional<qint64> QMCtlValues::parseAutoSave(const QString &text)
{
    if (text == QLatin1String("off"))
        return 0;
    bool ok = false;
    const qint64 minutes = text.toLongLong(&ok);
    if (!ok || minutes <= 0 || !QMRamDiskAutoSave::intervalChoices().contains(minutes * 60))
        return std::nullopt;
    return minutes * 60;
}

QString QMCtlValues::autoSaveText(qint64 seconds)
{
    if (seconds <= 0)
        return QStringLiteral("off");
    if (seconds % 60 == 0)
        return QStringLiteral("%1 min").arg(seconds / 60);
    return QStringLiteral("%1 s").arg(seconds);
}

QString QMCtlValues::statusWord(qint64 status)
{
    switch (status) {
    case 1: return QStringLiteral("created");
    case 2: return QStringLiteral("mounted");
    default: return QStringLiteral("not created");
    }
}

QString QMCtlValues::sizeText(quint64 bytes)
{
    const double mb = static_cast<double>(bytes) / 1e6;
    if (mb >= 1000 && std::fmod(mb, 1000) == 0)
        return QStringLiteral("%1 GB").arg(mb / 1000);
    return QStringLiteral("%1 MB").arg(std::round(mb));
}

QString QMCtlValues::table(const QList<QStringList> &rows)
{
    QList<qsizetype> widths;
    for (const QStringList &row : rows)
        for (qsizetype i = 0; i < row.size(); ++i) {
            if (widths.size() <= i)
                widths.append(0);
            widths[i] = std::max(widths[i], row[i].size());
        }
    QString out;
    for (const QStringList &row : rows) {
        QString line;
        for (qsizetype i = 0; i < row.size(); ++i) {
            line += i + 1 < row.size() ? row[i].leftJustified(widths[i] + 2) : row[i];
        }
        out += line.trimmed() + QLatin1Char('\n');
    }
    return out;
}

namespace {
struct TypeWord
{
    qint64 type;
    const char *word;
};
// The type menu's order: custom, the browsers, then the developer tools.
constexpr TypeWord kTypeWords[] = {
    {0, "custom"},       {2, "safari"},         {7, "firefox"},         {8, "chrome"},
    {9, "chromium"},     {3, "xcode-build"},    {4, "ios-simulator"},   {5, "core-simulator"},
    {6, "appcode"},
};
} // namespace

QString QMCtlValues::typeWord(qint64 type)
{
    if (type == 1) // never given out; it shows as custom
        type = 0;
    for (const TypeWord &t : kTypeWords)
        if (t.type == type)
            return QString::fromLatin1(t.word);
    return QString::number(type);
}

std::optional<qint64> QMCtlValues::parseType(const QString &text)
{
    for (const TypeWord &t : kTypeWords)
        if (text == QLatin1String(t.word))
            return t.type;
    return std::nullopt;
}

QList<qint64> QMCtlValues::typesInMenuOrder()
{
    QList<qint64> types;
    for (const TypeWord &t : kTypeWords)
        types << t.type;
    return types;
}
