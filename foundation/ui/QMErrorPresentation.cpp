// The widget side of QMError: kept out of the core library so that the engine and the
// command line do not need the widget library.
#include "QMError.h"

#include <QMessageBox>
#include <QWidget>

void QMError::presentWIthTitle(const QString &title, QWidget *window) const
{
    auto *box = new QMessageBox(window && window->isVisible() ? window : nullptr);
    box->setObjectName(QStringLiteral("QMErrorAlert"));
    box->setText(alertMessageText(title));
    box->setInformativeText(alertInformativeText(title));
    box->addButton(QStringLiteral("Ok"), QMessageBox::AcceptRole);
    if (window && window->isVisible()) {
        // A sheet: window-modal on the given window, with no completion action.
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setWindowModality(Qt::WindowModal);
        box->open();
        return;
    }
    box->setWindowModality(Qt::ApplicationModal);
    box->exec();
    delete box;
}
