#include "QMErrorAdvice.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QStringList>

#include <vector>

namespace {

const char *const kContext = "QMErrorAdvice";

// The keys errors are raised with, and what to do. An empty advice: the message itself says.
struct Entry
{
    const char *key;
    const char *advice;
};

const Entry kEntries[] = {
    // Creating, mounting, ejecting.
    {"Unable to create RamDisk",
     QT_TRANSLATE_NOOP("QMErrorAdvice", "Check that the computer has enough free memory and that the mount directory "
                                        "exists and is yours, then create the RAM disk again.")},
    {"Unable to mount disk",
     QT_TRANSLATE_NOOP("QMErrorAdvice", "Check that the mount directory exists, is yours and has nothing else "
                                        "mounted on it, then mount the RAM disk again.")},
    {"Unable to erase and mount disk",
     QT_TRANSLATE_NOOP("QMErrorAdvice", "Choose a mount directory of your own for the RAM disk, then create it again.")},
    {"Another volume is mounted",
     QT_TRANSLATE_NOOP("QMErrorAdvice", "Eject the other volume, or choose another mount directory for the RAM disk, "
                                        "then try again.")},
    {"The target is not a directory",
     QT_TRANSLATE_NOOP("QMErrorAdvice", "Choose a folder as the mount directory, then try again.")},
    {"Unable to eject disk",
     QT_TRANSLATE_NOOP("QMErrorAdvice", "Close the files and quit the programs that use the RAM disk, then eject it "
                                        "again.")},
    {"Unable to eject RamDisk",
     QT_TRANSLATE_NOOP("QMErrorAdvice", "Close the files and quit the programs that use the RAM disk, then eject it "
                                        "again.")},
    {"Unable to calculate size of base directory.",
     QT_TRANSLATE_NOOP("QMErrorAdvice", "Check that you may read every file of the folder the RAM disk covers, then "
                                        "create it again.")},
    {"Insufficient space to create RamDisk (RamDisk: %@, Base: %@)",
     QT_TRANSLATE_NOOP("QMErrorAdvice", "Give the RAM disk a larger size, or remove files from the folder it covers, "
                                        "then create it again.")},
    {"Unable to move current base (%@) before create RamDisk",
     QT_TRANSLATE_NOOP("QMErrorAdvice", "Check that the folder the RAM disk covers is yours and that no program uses "
                                        "it, then create the RAM disk again.")},
    {"Unable to delete previous backup base (%@)",
     QT_TRANSLATE_NOOP("QMErrorAdvice", "Move the folder named above out of the way (it holds an earlier copy of the "
                                        "folder the RAM disk covers), then create the RAM disk again.")},
    {"Can not execute post-command",
     QT_TRANSLATE_NOOP("QMErrorAdvice", "Check the RAM disk's post command: it must be a program you may run. The RAM "
                                        "disk itself is ready.")},
    {"Can not apply status of MD Index",
     QT_TRANSLATE_NOOP("QMErrorAdvice", "Set the RAM disk's indexing to its default and create it again; the RAM disk "
                                        "itself is ready.")},
    {"The RAM disk holds data; mounting it in the default place would erase it",
     QT_TRANSLATE_NOOP("QMErrorAdvice", "Choose a mount directory of your own for the RAM disk and mount it again; "
                                        "its files are kept.")},
    // Saving and restoring.
    {"Can not create backup",
     QT_TRANSLATE_NOOP("QMErrorAdvice", "Check that the disk of the backup folder has room and that you may write "
                                        "there, then save the RAM disk again. Its files are still on the RAM disk.")},
    {"Can not restore backup",
     QT_TRANSLATE_NOOP("QMErrorAdvice", "Check that the backup folder is there and that you may read it, then create "
                                        "the RAM disk again.")},
    {"Unable to measure the %1 of the RamDisk (%2)",
     QT_TRANSLATE_NOOP("QMErrorAdvice", "Check that you may read every file there, then try again.")},
    {"The RamDisk is too small for its %1: %2 are needed, a RamDisk of %3 holds %4",
     QT_TRANSLATE_NOOP("QMErrorAdvice", "Give the RAM disk a larger size, then create it again.")},
    {"The RamDisk is too small for its %1: it holds %2 items, a RamDisk of %3 has room for %4",
     QT_TRANSLATE_NOOP("QMErrorAdvice", "Give the RAM disk a larger size, then create it again.")},
    // Actions and the list.
    {"An other action is running:%1",
     QT_TRANSLATE_NOOP("QMErrorAdvice", "Wait until the other action ends, then try again.")},
    {"Unable to lock the RamDisk for this action",
     QT_TRANSLATE_NOOP("QMErrorAdvice", "Wait until the other program's action on this RAM disk ends, then try "
                                        "again.")},
    {"The RamDisk is not mounted", QT_TRANSLATE_NOOP("QMErrorAdvice", "Create or mount the RAM disk first.")},
    {"The list of RAM disks cannot be locked",
     QT_TRANSLATE_NOOP("QMErrorAdvice", "Another Quilmo program is changing the list: wait until it is done, then "
                                        "try again.")},
    {"The list of RAM disks %1 is damaged (%2)",
     QT_TRANSLATE_NOOP("QMErrorAdvice", "Move the damaged file away to start with an empty list, or put back a copy "
                                        "of it from a backup.")},
    {"The list of RAM disks %1 cannot be used: %2",
     QT_TRANSLATE_NOOP("QMErrorAdvice", "Check that the file is yours and that you may read and write it, then try "
                                        "again.")},
    // These say what to do themselves.
    {"The list of RAM disks %1 is damaged (%2); it was kept as %3", ""},
    {"The backup of the RamDisk is missing (%1); it was last saved on %2. Connect the disk that holds it, or turn the "
     "backup off to start empty.",
     ""},
    {"The RamDisk's contents are incomplete: its restore did not copy everything, so they do not replace the last "
     "complete copy (%1). Back it up explicitly to replace that copy.",
     ""},
    {"The volume %1 is in use by %2. Quit them or close their files, then eject again.", ""},
};

// The contexts errors are raised from with translated keys.
const char *const kRaisedContexts[] = {"Localizable", "QMRamDiskLocalizable"};

// A key as a pattern: its "%1".."%9" and "%@" places stand for any text.
QRegularExpression patternOf(const QString &text)
{
    static const QRegularExpression place(QStringLiteral("%[1-9@]"));
    QString pattern;
    qsizetype from = 0;
    for (auto it = place.globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        pattern += QRegularExpression::escape(text.mid(from, m.capturedStart() - from)) + QStringLiteral(".*");
        from = m.capturedEnd();
    }
    pattern += QRegularExpression::escape(text.mid(from));
    return QRegularExpression(QRegularExpression::anchoredPattern(pattern),
                              QRegularExpression::DotMatchesEverythingOption);
}

bool matches(const QString &message, const QString &key)
{
    if (message == key)
        return true;
    return key.contains(QLatin1Char('%')) && patternOf(key).match(message).hasMatch();
}

} // namespace

std::optional<QString> QMErrorAdvice::adviceForMessage(const QString &message)
{
    if (message.isEmpty())
        return std::nullopt;
    for (const Entry &e : kEntries) {
        const QString key = QString::fromUtf8(e.key);
        bool found = matches(message, key);
        for (const char *context : kRaisedContexts)
            found = found || matches(message, QCoreApplication::translate(context, e.key));
        if (found)
            return *e.advice ? QCoreApplication::translate(kContext, e.advice) : QString(QLatin1String(""));
    }
    return std::nullopt;
}

QString QMErrorAdvice::displayMessage(const QString &message)
{
    if (message.isEmpty())
        return message;
    const QByteArray key = message.toUtf8();
    for (const char *context : kRaisedContexts) {
        const QString text = QCoreApplication::translate(context, key.constData());
        if (text != message)
            return text;
    }
    return message;
}

QString QMErrorAdvice::readableCause(const QString &text)
{
    const QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QString line;
    for (auto it = lines.crbegin(); it != lines.crend() && line.isEmpty(); ++it)
        line = it->trimmed();
    // The disk tool speaks under the names of the tools it stands in for; people know it
    // as Quilmo's.
    static const QRegularExpression toolName(
        QStringLiteral("^(hdiutil|newfs_hfs|diskutil|mount|umount|mdutil|purge|quilmo-disktool|pkexec):\\s*"));
    const bool fromTool = toolName.match(line).hasMatch();
    line.remove(toolName);
    // What the log says for developers: a failed condition, a function and its line, an
    // error record.
    static const QRegularExpression code(
        QStringLiteral("==|!=|\\b[A-Za-z_][A-Za-z0-9_:]*\\(\\d+\\)|<QMError|\\(null\\)|Error Domain="));
    if (line.isEmpty() || code.match(line).hasMatch())
        return {};
    // Kept as written, a program's name first among them ("quilmoctl (pid 7) is ...").
    const QChar last = line.back();
    if (last != u'.' && last != u'!' && last != u'?' && last != QChar(0x2026))
        line += QLatin1Char('.');
    return fromTool ? QCoreApplication::translate(kContext, "Quilmo's disk tool says: %1").arg(line) : line;
}

QString QMErrorAdvice::tryAgainAdvice()
{
    return QCoreApplication::translate(kContext, "Try again. If it keeps failing, the details below tell Quilmo's "
                                                 "support what went wrong.");
}
