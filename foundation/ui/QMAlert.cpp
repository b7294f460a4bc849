#include "QMAlert.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QPushButton>
#include <QTimer>

namespace {

QMAlert::Hook &hook()
{
    static QMAlert::Hook h;
    return h;
}

int indexOfClicked(QMessageBox *box)
{
    const QList<QAbstractButton *> buttons = box->property("qmButtons").value<QList<QAbstractButton *>>();
    return int(buttons.indexOf(box->clickedButton()));
}

} // namespace

QMessageBox *QMAlert::makeBox(const QMAlertRequest &request, QWidget *parent)
{
    auto *box = new QMessageBox(parent);
    box->setObjectName(request.objectName);
    box->setIcon(request.icon);
    box->setText(request.messageText);
    box->setInformativeText(request.informativeText);
    if (!request.detailedText.isEmpty())
        box->setDetailedText(request.detailedText);
    QStringList titles = request.buttons;
    if (titles.isEmpty())
        titles << QCoreApplication::translate("Localizable", "Ok");
    QList<QAbstractButton *> buttons;
    QAbstractButton *escape = nullptr;
    for (const QString &title : titles) {
        // Roles only place the buttons; the answer is the button's index in the request.
        QPushButton *b = box->addButton(title, buttons.isEmpty() ? QMessageBox::AcceptRole : QMessageBox::ActionRole);
        if (title == QCoreApplication::translate("Localizable", "Cancel") || title == QLatin1String("Cancel"))
            escape = b;
        buttons << b;
    }
    box->setDefaultButton(qobject_cast<QPushButton *>(buttons.first()));
    box->setEscapeButton(escape ? escape : buttons.last());
    box->setProperty("qmButtons", QVariant::fromValue(buttons));
    return box;
}

int QMAlert::runModal(const QMAlertRequest &request)
{
    if (hook())
        return hook()(request);
    QMessageBox *box = makeBox(request, nullptr);
    box->setWindowModality(Qt::ApplicationModal);
    box->exec();
    const int pressed = indexOfClicked(box);
    delete box;
    return pressed;
}

void QMAlert::beginSheet(const QMAlertRequest &request, const Completion &completion)
{
    if (hook()) {
        const int pressed = hook()(request);
        if (completion)
            QTimer::singleShot(0, qApp, [completion, pressed] { completion(pressed); });
        return;
    }
    QWidget *window = request.window;
    if (!window || !window->isVisible()) {
        const int pressed = runModal(request);
        if (completion)
            completion(pressed);
        return;
    }
    QMessageBox *box = makeBox(request, window);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    QObject::connect(box, &QMessageBox::finished, box, [box, completion] {
        if (completion)
            completion(indexOfClicked(box));
    });
    box->open();
}

QMAlert::Hook QMAlert::setHook(Hook h)
{
    Hook previous = std::move(hook());
    hook() = std::move(h);
    return previous;
}
