#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <functional>
#include <ostream>

// Readable QString values in test failures.
inline void PrintTo(const QString &s, std::ostream *os) { *os << '"' << s.toStdString() << '"'; }

// Helpers shared by the test executables.
namespace QMTest {

// The lock that the RAM-disk tests of every build on this machine hold for the life of
// their process, so that they run one at a time (the install tests' scripts take it too).
inline constexpr char ramDiskTestLock[] = "/tmp/quilmo-ramdisk-tests.lock";

// True when the process may create loop devices, mount and format (root with /dev/loop-control).
bool canUseLoopDevices(QString *why = nullptr);

// The build tree's directory of Quilmo's private tools (build/libexec/quilmo).
QString libexecDir();

// Writes an executable shell script and returns its path.
QString writeScript(const QString &dir, const QString &name, const QString &body);

// Runs a program and returns its exit status (-1 if it could not start); output in *out.
int run(const QString &program, const QStringList &args, QString *out = nullptr, QString *err = nullptr);

// Writes the file, making its folders first; a failure fails the test.
void writeFile(const QString &path, const QByteArray &data);
// The file's contents; empty when it cannot be read.
QByteArray readFile(const QString &path);

// The temporary HOME the test process runs in.
QString testHome();

// Runs the event loop until `condition` holds or `timeoutMs` passed; the condition's last
// answer. Waits on what the program does, never a fixed sleep.
bool waitUntil(const std::function<bool()> &condition, int timeoutMs = 10000);

// Waits until process `pid` runs `program`: a started child may not have reached its exec
// yet, and until it has, it is a copy of the test seen under the test's name.
bool waitUntilRunning(qint64 pid, const QString &program, int timeoutMs = 10000);

// The environment for a child that is meant to die of a fatal signal (SIGSEGV, SIGABRT, ...):
// in a sanitizer build the sanitizer would take the signal itself, report and exit with a
// status instead, past the program's own handlers. Other builds ignore the setting.
QProcessEnvironment withFatalSignalsLeftToTheProgram(QProcessEnvironment env);

} // namespace QMTest

// Skips the current test, with the reason, where loop devices are not usable.
#define QM_REQUIRE_LOOP_DEVICES()                                   \
    do {                                                            \
        QString why_;                                               \
        if (!QMTest::canUseLoopDevices(&why_))                      \
            GTEST_SKIP() << why_.toStdString();                     \
    } while (0)
