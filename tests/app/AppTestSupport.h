#pragma once

#include "QMAlert.h"
#include "QMFileChooser.h"
#include "QMLog.h"
#include "QMOwnAnnouncements.h"
#include "QMRamDiskEntries.h"
#include "QMTemporaryDir.h"

#include <QObject>
#include <QStringList>
#include <QUrl>

#include <functional>
#include <memory>

class QMainWindow;
class RamDiskConfigController;

namespace QMAppTest {

// Answers every alert: `answer(request)` gives the button's title (a title not offered
// presses the first button); what was asked is kept.
class AlertAnswers
{
public:
    explicit AlertAnswers(std::function<QString(const QMAlertRequest &)> answer);
    explicit AlertAnswers(const QString &alwaysPress);
    ~AlertAnswers();
    QStringList asked() const { return _asked; }
    QList<QMAlertRequest> requests() const { return _requests; }

private:
    QMAlert::Hook _previous;
    QStringList _asked;
    QList<QMAlertRequest> _requests;
};

// Keeps the log's lines while it lives, instead of writing them.
class QuietLog
{
public:
    QuietLog() { _previous = QMLog::setSink([this](const QString &line) { lines << line; }); }
    ~QuietLog() { QMLog::setSink(_previous); }
    QStringList lines;

private:
    QMLog::Sink _previous;
};

// Answers every file chooser with the paths given, one per opening (a null text cancels).
class ChooserAnswers
{
public:
    explicit ChooserAnswers(const QStringList &paths);
    ~ChooserAnswers();
    QList<QMFileChooserRequest> requests() const { return _requests; }

private:
    QMFileChooser::Hook _previous;
    QStringList _paths;
    QList<QMFileChooserRequest> _requests;
};

// What would open in the desktop's file manager, browser or mail program.
class UrlRecorder : public QObject
{
    Q_OBJECT
public:
    UrlRecorder();
    ~UrlRecorder() override;
    QStringList urls;
public slots:
    void open(const QUrl &url);
};

// An installation of its own for the helper and the purge tool: P/libexec/quilmo holds a
// helper that waits until it is stopped; programs named in `path` (a directory put first in
// PATH) stand in for the desktop's task manager and disk utility, writing a file when run.
class FakeInstallation
{
public:
    explicit FakeInstallation(bool withHelper = true, bool withPurge = false);
    ~FakeInstallation();
    QString prefix() const { return _dir.path(); }
    QString helperPath() const;
    // Adds a program to PATH that writes `<dir>/<name>.ran` when started.
    QString addProgram(const QString &name);
    QString ranMarker(const QString &name) const;

private:
    QMTemporaryDir _dir;
    QByteArray _oldPath;
};

// Starts from nothing: no entries file, no user defaults.
void resetState();

// Another program (a process of its own on the session bus) announces a change of the
// entries file with `sender` ("Quilmo-Helper", "Quilmo-App"), as the helper or the window
// of another session does. Returns once the bus has it.
bool announceFromAnotherProgram(const QString &sender);
using QMTest::listenOnTheBus;
using QMTest::OwnAnnouncements;

// Runs the build tree's quilmoctl in this test's HOME and XDG places; its exit status.
int runQuilmoctl(const QStringList &args, QString *out = nullptr, QString *err = nullptr);

// A store over the entries file the controller uses (another program's view of it).
std::unique_ptr<QMRamDiskEntries> readStore();
// Writes `count` records, not created, named "Disk 1"... into the entries file.
QStringList writeRecords(int count);

// A shown main window holding a controller whose first refresh ran.
struct Window
{
    Window();
    ~Window();
    QMainWindow *window = nullptr;
    RamDiskConfigController *controller = nullptr;
};

} // namespace QMAppTest
