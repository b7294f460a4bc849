#pragma once

#include <QDialog>

class QPushButton;

// The licence agreement: the text of Quilmo's licence with "Accept" and "Quit" the first
// time Quilmo starts (the answer goes to the delegate, AppController), or a plain
// "Close" when it is shown again from the menu after it was accepted.
class QMLicenseAgreement : public QDialog
{
    Q_OBJECT

public:
    // The licence file version the answer is recorded for.
    static constexpr int fileVersion = 1;

    explicit QMLicenseAgreement(QWidget *parent = nullptr);

    // The licence text shipped with the program.
    static QString licenseText();

    // Whether the licence of `fileVersion` was accepted; recording an answer.
    static bool isAccepted();
    static void recordAnswer(bool accepted);

    // With the question (first start) or only for reading.
    void setAsksForAgreement(bool asks);
    bool asksForAgreement() const { return _asks; }

signals:
    void licenseAgreementUserAccepts(QMLicenseAgreement *window, bool accepted);

protected:
    void closeEvent(QCloseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    void answer(bool accepted);

    QPushButton *_acceptButton = nullptr;
    QPushButton *_quitButton = nullptr;
    QPushButton *_closeButton = nullptr;
    bool _asks = true;
    bool _answered = false;
};
