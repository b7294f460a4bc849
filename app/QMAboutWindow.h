#pragma once

#include <QDialog>

// Help > About Quilmo: the version and build, the licence and the homepage.
class QMAboutWindow : public QDialog
{
    Q_OBJECT

public:
    explicit QMAboutWindow(QWidget *parent = nullptr);

    // "Version 1.2.0 (build 373)".
    static QString versionText();
    // The licence's name, as its text begins ("MIT License").
    static QString licenseName();

signals:
    // The licence's text is asked for.
    void licenseRequested();
};
