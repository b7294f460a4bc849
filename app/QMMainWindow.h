#pragma once

#include <QMainWindow>

// Quilmo's main window. Closing it quits the application: the close is reported to the
// application controller, which lets running actions end first.
class QMMainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit QMMainWindow(QWidget *parent = nullptr);

signals:
    void windowWillClose();
    void visibilityChanged(bool visible);

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
};
