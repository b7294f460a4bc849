// The widget side of QMError: kept out of the core library so that the engine and the
// command line do not need the widget library.
#include "QMError.h"

#include "QMAlert.h"

#include <QWidget>

void QMError::presentWIthTitle(const QString &title, QWidget *window) const
{
    QMAlertRequest alert;
    alert.objectName = QStringLiteral("QMErrorAlert");
    alert.messageText = alertMessageText(title);
    // What happened and what to do, in words; how it failed (functions, lines, conditions,
    // the tools' own output) is for the details and the log.
    QStringList paragraphs{alertInformativeText(title), alertAdviceText(title)};
    paragraphs.removeAll(QString());
    paragraphs.removeAll(QLatin1String(""));
    alert.informativeText = paragraphs.join(QStringLiteral("\n\n"));
    alert.detailedText = alertDetailedText();
    alert.buttons = {QStringLiteral("OK")};
    alert.window = window;
    // A sheet has no completion action; without a shown window the call waits.
    QMAlert::beginSheet(alert, {});
}
