#include "QMAlert.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QGridLayout>
#include <QPlainTextEdit>
#include <QScreen>
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

// The text in a view of its own below the message: however long it is, the box keeps a
// size that fits the screen, and the text scrolls.
void addOutputView(QMessageBox *box, const QString &text)
{
    auto *view = new QPlainTextEdit(box);
    view->setObjectName(QStringLiteral("outputText"));
    view->setReadOnly(true);
    view->setLineWrapMode(QPlainTextEdit::NoWrap);
    view->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    view->setPlainText(text);
    const QFontMetrics metrics(view->font());
    QSize size(metrics.horizontalAdvance(QLatin1Char('m')) * 72, metrics.lineSpacing() * 16);
    if (const QScreen *screen = box->screen())
        size = size.boundedTo(screen->availableSize() * 2 / 3);
    view->setFixedSize(size + QSize(2 * view->frameWidth() + 16, 2 * view->frameWidth() + 8));
    // The message box lays its parts out in a grid: the text goes under the message, above
    // the buttons.
    auto *grid = qobject_cast<QGridLayout *>(box->layout());
    auto *buttons = box->findChild<QDialogButtonBox *>();
    if (!grid || !buttons)
        return;
    const int index = grid->indexOf(buttons);
    if (index < 0)
        return;
    int row = 0, column = 0, rowSpan = 0, columnSpan = 0;
    grid->getItemPosition(index, &row, &column, &rowSpan, &columnSpan);
    grid->removeWidget(buttons);
    grid->addWidget(view, row, 0, 1, grid->columnCount());
    grid->addWidget(buttons, row + 1, 0, 1, grid->columnCount());
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
        titles << QCoreApplication::translate("Localizable", "OK");
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
    if (!request.outputText.isEmpty())
        addOutputView(box, request.outputText);
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
