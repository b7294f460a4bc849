#pragma once

#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <functional>

class QWidget;

// What an alert says and offers. Buttons are listed in order, the first being the default;
// a button titled "Cancel" (or, with several buttons, the last one) answers Escape.
struct QMAlertRequest
{
    QString objectName; // how tests and screenshots find the box
    QMessageBox::Icon icon = QMessageBox::Warning;
    QString messageText;
    QString informativeText;
    // A program's output, shown under the message in a bounded, scrollable, monospace view;
    // empty: none.
    QString outputText;
    // Behind "Show Details…": what only support needs (functions, conditions, tool output).
    QString detailedText;
    QStringList buttons; // none: a single "OK"
    // A sheet on this window when it is shown, else application-modal.
    QPointer<QWidget> window;
};

// The one way Quilmo's windows ask the user something, so that tests can answer.
//
// Sheets are window-modal boxes opened with open(); the completion runs from the event
// loop once a button is pressed. Application-modal alerts run with exec(). With a hook set
// (tests), nothing is shown: the hook receives each request and returns the index of the
// button pressed, and a sheet's completion still runs later from the event loop, as it
// would on screen.
class QMAlert
{
public:
    using Completion = std::function<void(int button)>;
    using Hook = std::function<int(const QMAlertRequest &request)>;

    // Application-modal; the index of the button pressed.
    static int runModal(const QMAlertRequest &request);
    // A sheet on request.window when it is visible; otherwise application-modal, and the
    // completion has run when the call returns. The completion may be empty.
    static void beginSheet(const QMAlertRequest &request, const Completion &completion);

    // Tests: answer every alert through `hook`; an empty hook shows them again. Returns the
    // hook that was set before.
    static Hook setHook(Hook hook);

    // The box the request describes, not yet shown (screenshots render it).
    static QMessageBox *makeBox(const QMAlertRequest &request, QWidget *parent);
};
