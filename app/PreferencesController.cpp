#include "PreferencesController.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QVBoxLayout>

PreferencesController::PreferencesController(QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("PreferencesController"));
    setWindowTitle(tr("Quilmo Preferences"));
    auto *layout = new QVBoxLayout(this);
    auto *label = new QLabel(tr("The tray helper's settings will be here."), this);
    label->setObjectName(QStringLiteral("preferencesPlaceholder"));
    layout->addWidget(label);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}
