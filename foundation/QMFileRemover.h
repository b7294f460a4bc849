#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

// The one way Quilmo deletes files and trees. It works from directory descriptors
// (openat, unlinkat, O_NOFOLLOW | O_DIRECTORY), so that a name swapped for a symbolic link
// while it runs is never followed: a link is removed, never what it points to. It never
// enters a directory on another mount than the one it started on (a RAM disk or a bind
// mount inside a tree stays whole), and it goes on past what it cannot remove and reports
// it.
class QMFileRemover
{
public:
    struct Result
    {
        quint64 removed = 0;   // entries removed
        quint64 failed = 0;    // entries that could not be removed
        QStringList problems;  // "<reason> (<path>)" of the first of them, as the log writes a path
        bool ok() const { return failed == 0; }
        // The problems in one line, with the count of those not listed.
        QString summary() const;
    };
    // How many problems a result lists by name.
    static constexpr int maximumProblemsListed = 20;

    // Names (raw bytes) left in place by removeContents().
    using KeepFilter = std::function<bool(const QByteArray &name)>;

    // Removes `name`, an entry of the directory open at `dirFd`, with everything beneath
    // it. `shownAs` names the entry in the problems (default: `name`). A missing entry is a
    // failure.
    static Result removeEntry(int dirFd, const QByteArray &name, const QString &shownAs = QString());
    // Removes what the directory open at `dirFd` holds, leaving the directory itself and
    // the names `keep` accepts. `shownAs` names the directory in the problems.
    static Result removeContents(int dirFd, const QString &shownAs, const KeepFilter &keep = {});
    // Removes the item at `path`: the directories leading to it are the caller's, the item
    // itself is never followed. A missing item is a failure.
    static Result removePath(const QString &path);

    // How many entries removeContents() would remove from the directory open at `dirFd`
    // (everything beneath it, links counted as themselves, other mounts not entered).
    static quint64 countContents(int dirFd);
};
