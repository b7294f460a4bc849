#include "QMAboutWindow.h"

#include "QMFunctions.h"
#include "QMLicenseAgreement.h"
#include "QMLog.h"
#include "QMRamDiskManager.h"
#include "QMWindowTitle.h"
#include "RamDiskConfigPresentation.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace {
using P = RamDiskConfigPresentation;
}

QString QMAboutWindow::versionText()
{
    return P::fill(P::localizedDefault("Version %@ (build %@)"), {QMFunctions::appVersion(), QMFunctions::appBuild()});
}

QString QMAboutWindow::licenseName()
{
    return QMLicenseAgreement::licenseText().section(QLatin1Char('\n'), 0, 0).trimmed();
}

QMAboutWindow::QMAboutWindow(QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("AboutQuilmo"));
    setWindowTitle(P::localizedDefault("About Quilmo"));
    auto *layout = new QVBoxLayout(this);
    layout->setSpacing(8);
    layout->setContentsMargins(24, 20, 24, 16);

    auto *icon = new QLabel(this);
    icon->setPixmap(QPixmap::fromImage(QMRamDiskManager::ramDiskIcon(128)).scaled(
        64, 64, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    icon->setAlignment(Qt::AlignCenter);
    layout->addWidget(icon);

    auto *name = new QLabel(QStringLiteral("Quilmo"), this);
    QFont big = name->font();
    big.setBold(true);
    big.setPointSizeF(big.pointSizeF() * 1.5);
    name->setFont(big);
    name->setAlignment(Qt::AlignCenter);
    layout->addWidget(name);

    auto *version = new QLabel(versionText(), this);
    version->setObjectName(QStringLiteral("aboutVersion"));
    version->setAlignment(Qt::AlignCenter);
    version->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(version);

    auto *summary = new QLabel(P::localizedDefault("RAM disks for the Linux desktop."), this);
    summary->setAlignment(Qt::AlignCenter);
    layout->addWidget(summary);

    const QString website = QMLog::vendorWebsiteURL().toString();
    auto *homepage = new QLabel(QStringLiteral("<a href=\"%1\">%1</a>").arg(website.toHtmlEscaped()), this);
    homepage->setObjectName(QStringLiteral("aboutHomepage"));
    homepage->setAlignment(Qt::AlignCenter);
    homepage->setOpenExternalLinks(true);
    layout->addWidget(homepage);

    auto *license = new QLabel(P::fill(P::localizedDefault("Released under the %@."), {licenseName()}), this);
    license->setObjectName(QStringLiteral("aboutLicense"));
    license->setAlignment(Qt::AlignCenter);
    layout->addWidget(license);

    // The licence on the left, OK where a dialog's answer goes.
    auto *buttons = new QHBoxLayout;
    auto *showLicense = new QPushButton(P::localizedDefault("License…"), this);
    showLicense->setObjectName(QStringLiteral("aboutShowLicense"));
    showLicense->setAutoDefault(false);
    auto *ok = new QPushButton(P::localizedDefault("OK"), this);
    ok->setDefault(true);
    buttons->addWidget(showLicense);
    buttons->addStretch(1);
    buttons->addWidget(ok);
    connect(showLicense, &QPushButton::clicked, this, &QMAboutWindow::licenseRequested);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    layout->addSpacing(4);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    QMWindowTitle::fitWidthToTitle(this);
}
