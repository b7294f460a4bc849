#include "QMMainWindow.h"

#include <QCloseEvent>

QMMainWindow::QMMainWindow(QWidget *parent) : QMainWindow(parent)
{
    setObjectName(QStringLiteral("MainWindow"));
}

void QMMainWindow::closeEvent(QCloseEvent *event)
{
    event->accept();
    emit windowWillClose();
}

void QMMainWindow::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    emit visibilityChanged(true);
}

void QMMainWindow::hideEvent(QHideEvent *event)
{
    QMainWindow::hideEvent(event);
    emit visibilityChanged(false);
}
