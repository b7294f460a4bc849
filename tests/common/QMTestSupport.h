#pragma once

#include <QString>
#include <QStringList>

#include <ostream>

// Readable QString values in test failures.
inline void PrintTo(const QString &s, std::ostream *os) { *os << '"' << s.toStdString() << '"'; }

// Helpers shared by the test executables.
namespace QMTest {

// True when the process may create loop devices, mount and format (root with /dev/loop-control).
bool canUseLoopDevices(QString *why = nullptr);

// The build tree's directory of Quilmo's private tools (build/libexec/quilmo).
QString libexecDir();

// Writes an executable shell script and returns its path.
QString writeScript(const QString &dir, const QString &name, const QString &body);

// Runs a program and returns its exit status (-1 if it could not start); output in *out.
int run(const QString &program, const QStringList &args, QString *out = nullptr, QString *err = nullptr);

// The temporary HOME the test process runs in.
QString testHome();

} // namespace QMTest

// Skips the current test, with the reason, where loop devices are not usable.
#define QM_REQUIRE_LOOP_DEVICES()                                   \
    do {                                                            \
        QString why_;                                               \
        if (!QMTest::canUseLoopDevices(&why_))                      \
            GTEST_SKIP() << why_.toStdString();                     \
    } while (0)
