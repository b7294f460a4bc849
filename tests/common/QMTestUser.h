#pragma once

#include <QList>
#include <QProcessEnvironment>
#include <QString>

#include <functional>
#include <memory>

#include <sys/types.h>

class QProcess;
class QMTemporaryDir;

// A second real local user for a test: made with useradd (no home, no login), removed with
// userdel when it goes, after every process still running as it is ended (all of them
// were started by the test: the user is new). Tests that need one skip where it cannot be
// made (not root, no useradd).
class QMTestUser
{
public:
    // `tag` goes into the unique name ("qm<tag>-<random>").
    explicit QMTestUser(const QString &tag);
    ~QMTestUser();
    QMTestUser(const QMTestUser &) = delete;
    QMTestUser &operator=(const QMTestUser &) = delete;

    bool isValid() const { return _valid; }
    QString why() const { return _why; }
    QString name() const { return _name; }
    uid_t uid() const { return _uid; }
    gid_t gid() const { return _gid; }

    // Runs `work` in a child process as this user (no supplementary groups) and returns
    // the child's pid; the child exits with what `work` returns. Only plain system calls
    // belong in `work`: it runs in a forked copy of the test process.
    pid_t spawn(const std::function<int()> &work) const;

    // Starts `process` as this user (no supplementary groups) when it is started.
    void runAs(QProcess &process) const;

    // A fresh home of this user's at `parent`/<name>, with the XDG folders in it; empty when
    // it cannot be made. `parent` must be reachable by the user.
    QString makeHome(const QString &parent) const;
    // The test's environment for a program of this user's in `home`, without the session
    // bus (the test's belongs to root and lets no one else in).
    QProcessEnvironment environment(const QString &home) const;

    // The processes running as this user.
    QList<pid_t> processIds() const;

private:
    QString _name, _why;
    uid_t _uid = 0;
    gid_t _gid = 0;
    bool _valid = false;
};

// An ordinary user's session: a user of the test's own, its home, and an installation of
// the build tree whose disk tool reaches root without polkit (which this machine does not
// run) the other way an administrator may install it: set-user-ID root, open to this user
// only. The tool then takes the real user as its caller, as it takes pkexec's.
class QMTestUserSession
{
public:
    explicit QMTestUserSession(const QString &tag);
    ~QMTestUserSession();

    // Makes the home and the installation under the test's root; the environment is
    // taken now (the test's applications root included).
    bool setUp(QString *why);

    QString cacheHome() const { return home + QStringLiteral("/.cache"); }
    QString configHome() const { return home + QStringLiteral("/.config"); }
    // Sets up a process of this session's: this user, this home, this installation.
    void prepare(QProcess &process) const;
    // The user's processes that run `program` (a file name).
    QList<pid_t> running(const QString &program) const;

    QMTestUser user;
    QString home;
    QProcessEnvironment environment;

private:
    std::unique_ptr<QMTemporaryDir> _prefix;
};

// Waits for a child started by QMTestUser::spawn() for at most `timeoutMs`; its exit
// status, or -1 when it did not end in time (it is then killed) or did not exit normally.
int QMTestWaitForChild(pid_t pid, int timeoutMs);

// The attack of another user on a folder it may write in a place the victim cleans: as
// `attacker`, makes `dir` with `files` files and a folder named `bait` (the name of a
// folder of the victim's), and once something is deleted in `dir` renames it aside
// ("<dir>.moved") and puts a symbolic link to `target` in its place. Returns when the trap
// is set: the child's pid (it exits 0 once it swapped, 3 when nothing was deleted within
// `timeoutMs`), or -1.
pid_t QMTestStartLinkSwapAttack(const QMTestUser &attacker, const QString &dir, int files, const QString &bait,
                                const QString &target, int timeoutMs);

#define QM_REQUIRE_TEST_USER(user)                        \
    do {                                                  \
        if (!(user).isValid())                            \
            GTEST_SKIP() << (user).why().toStdString();   \
    } while (0)
