#include "QMFileChooser.h"

#include "QMAlert.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QTimer>

namespace {

QMFileChooser::Hook &hook()
{
    static QMFileChooser::Hook h;
    return h;
}

void tellRefusal(const QString &message, QWidget *window)
{
    QMAlertRequest alert;
    alert.objectName = QStringLiteral("QMFileChooserRefusal");
    alert.messageText = message;
    alert.window = window;
    QMAlert::runModal(alert);
}

// A QFileDialog that asks the request's validation before it lets the user accept.
class ValidatingFileDialog : public QFileDialog
{
public:
    ValidatingFileDialog(QWidget *parent, std::function<bool(const QString &, QString *)> validate)
        : QFileDialog(parent), _validate(std::move(validate))
    {
    }

    void accept() override
    {
        if (_validate) {
            const QStringList chosen = selectedFiles();
            QString message;
            if (!chosen.isEmpty() && !_validate(chosen.first(), &message)) {
                tellRefusal(message, this);
                return; // stays open
            }
        }
        QFileDialog::accept();
    }

private:
    std::function<bool(const QString &, QString *)> _validate;
};

} // namespace

QFileDialog *QMFileChooser::makeDialog(const QMFileChooserRequest &request, QWidget *parent)
{
    auto *dialog = new ValidatingFileDialog(parent, request.validate);
    dialog->setObjectName(request.objectName);
    dialog->setWindowTitle(request.title);
    dialog->setOption(QFileDialog::DontUseNativeDialog, true);
    dialog->setOption(QFileDialog::ReadOnly, !request.canCreateDirectories);
    if (request.chooseDirectories) {
        dialog->setFileMode(QFileDialog::Directory);
        dialog->setOption(QFileDialog::ShowDirsOnly, true);
    } else {
        dialog->setFileMode(QFileDialog::ExistingFile);
    }
    QDir::Filters filters = dialog->filter();
    if (request.showHidden)
        filters |= QDir::Hidden;
    dialog->setFilter(filters);
    if (!request.prompt.isEmpty())
        dialog->setLabelText(QFileDialog::Accept, request.prompt);
    dialog->setDirectory(request.directory.isEmpty() ? QDir::homePath() : request.directory);
    return dialog;
}

void QMFileChooser::open(const QMFileChooserRequest &request, const Completion &completion)
{
    if (hook()) {
        QString chosen;
        for (;;) {
            chosen = hook()(request);
            QString message;
            if (chosen.isNull() || !request.validate || request.validate(chosen, &message))
                break;
            tellRefusal(message, request.window);
        }
        if (completion)
            QTimer::singleShot(0, qApp, [completion, chosen] { completion(chosen); });
        return;
    }
    QWidget *window = request.window;
    const bool sheet = window && window->isVisible();
    QFileDialog *dialog = makeDialog(request, sheet ? window : nullptr);
    auto finish = [dialog, completion](int result) {
        const QStringList chosen = dialog->selectedFiles();
        const QString path = result == QDialog::Accepted && !chosen.isEmpty() ? chosen.first() : QString();
        if (completion)
            completion(path);
    };
    if (sheet) {
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        dialog->setWindowModality(Qt::WindowModal);
        QObject::connect(dialog, &QFileDialog::finished, dialog, finish);
        dialog->open();
        return;
    }
    dialog->setWindowModality(Qt::ApplicationModal);
    finish(dialog->exec());
    delete dialog;
}

QMFileChooser::Hook QMFileChooser::setHook(Hook h)
{
    Hook previous = std::move(hook());
    hook() = std::move(h);
    return previous;
}
