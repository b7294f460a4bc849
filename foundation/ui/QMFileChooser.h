#pragma once

#include <QPointer>
#include <QString>

#include <functional>

class QFileDialog;
class QWidget;

// What a file or folder chooser offers. The validation runs when the user accepts: a
// refused choice shows its message and keeps the chooser open.
struct QMFileChooserRequest
{
    QString objectName;
    QString title;
    QString prompt; // the accept button's text; empty: the dialog's own
    QString directory; // where browsing starts
    bool chooseDirectories = true; // else files only
    bool showHidden = true;
    bool canCreateDirectories = false;
    // Returns false with a message (shown to the user) to refuse a path.
    std::function<bool(const QString &path, QString *message)> validate;
    // A sheet on this window when it is shown, else application-modal.
    QPointer<QWidget> window;
};

// The one way Quilmo's windows ask for a file or a folder, so that tests can answer. The
// chooser is Qt's own dialog (not the desktop's native one), so that validation happens
// inside it. With a hook set (tests), nothing is shown: the hook is asked for a path (a
// null text cancels); a path the validation refuses is told through QMAlert (object name
// "QMFileChooserRefusal") and the hook is asked again, as a user would choose again.
class QMFileChooser
{
public:
    // The chosen path, or a null text when cancelled.
    using Completion = std::function<void(const QString &path)>;
    using Hook = std::function<QString(const QMFileChooserRequest &request)>;

    // A sheet on request.window when it is visible (completion from the event loop),
    // otherwise application-modal (the completion has run when the call returns).
    static void open(const QMFileChooserRequest &request, const Completion &completion);

    static Hook setHook(Hook hook);

    // The dialog the request describes, not yet shown (screenshots render it).
    static QFileDialog *makeDialog(const QMFileChooserRequest &request, QWidget *parent);
};
