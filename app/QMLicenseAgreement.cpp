#include "QMLicenseAgreement.h"

#include "QMUserDefaults.h"

#include <QCloseEvent>
#include <QFile>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSettings>
#include <QStyle>
#include <QTextDocument>
#include <QVBoxLayout>

namespace {
const QString kAcceptedVersionKey = QStringLiteral("QMLicenseAgreement-AcceptedVersion");
}

QString QMLicenseAgreement::licenseText()
{
    QFile f(QStringLiteral(":/quilmo/LICENSE"));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll());
}

bool QMLicenseAgreement::isAccepted()
{
    return QMUserDefaults::standardUserDefaults()->value(kAcceptedVersionKey, 0).toInt() >= fileVersion;
}

void QMLicenseAgreement::recordAnswer(bool accepted)
{
    QSettings *defaults = QMUserDefaults::standardUserDefaults();
    defaults->setValue(kAcceptedVersionKey, accepted ? fileVersion : 0);
    defaults->sync();
}

QMLicenseAgreement::QMLicenseAgreement(QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("QMLicenseAgreement"));
    setWindowTitle(tr("Quilmo License"));
    auto *layout = new QVBoxLayout(this);
    auto *intro = new QLabel(tr("Please read Quilmo's license. By clicking \"Accept\" you agree to its terms."), this);
    intro->setObjectName(QStringLiteral("licenseIntro"));
    intro->setWordWrap(true);
    layout->addWidget(intro);
    auto *text = new QPlainTextEdit(licenseText(), this);
    text->setObjectName(QStringLiteral("licenseText"));
    text->setReadOnly(true);
    text->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    // The licence's own line breaks, 80 columns, all visible without wrapping.
    text->setLineWrapMode(QPlainTextEdit::NoWrap);
    const QFontMetrics fm(text->font());
    const int frame = 2 * (text->frameWidth() + int(text->document()->documentMargin()));
    text->setMinimumSize(fm.horizontalAdvance(QString(80, QLatin1Char('x'))) + frame
                             + text->style()->pixelMetric(QStyle::PM_ScrollBarExtent) + 4,
                         fm.lineSpacing() * 18);
    layout->addWidget(text, 1);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    _quitButton = new QPushButton(tr("Quit"), this);
    _quitButton->setObjectName(QStringLiteral("licenseQuit"));
    _acceptButton = new QPushButton(tr("Accept"), this);
    _acceptButton->setObjectName(QStringLiteral("licenseAccept"));
    _acceptButton->setDefault(true);
    _closeButton = new QPushButton(tr("Close"), this);
    _closeButton->setObjectName(QStringLiteral("licenseClose"));
    buttons->addWidget(_quitButton);
    buttons->addWidget(_acceptButton);
    buttons->addWidget(_closeButton);
    layout->addLayout(buttons);
    connect(_acceptButton, &QPushButton::clicked, this, [this] { answer(true); });
    connect(_quitButton, &QPushButton::clicked, this, [this] { answer(false); });
    connect(_closeButton, &QPushButton::clicked, this, [this] { answer(true); });
    setAsksForAgreement(true);
}

void QMLicenseAgreement::setAsksForAgreement(bool asks)
{
    _asks = asks;
    _answered = false;
    _acceptButton->setVisible(asks);
    _quitButton->setVisible(asks);
    _closeButton->setVisible(!asks);
    (asks ? _acceptButton : _closeButton)->setDefault(true);
}

void QMLicenseAgreement::answer(bool accepted)
{
    if (_answered)
        return;
    _answered = true;
    hide();
    emit licenseAgreementUserAccepts(this, accepted);
}

void QMLicenseAgreement::closeEvent(QCloseEvent *event)
{
    // Closing the window is no agreement.
    answer(!_asks);
    event->accept();
}

void QMLicenseAgreement::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape) {
        answer(!_asks);
        return;
    }
    QDialog::keyPressEvent(event);
}
