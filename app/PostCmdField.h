#pragma once

#include <QLineEdit>

// The path of a post command: a text field that checks the path as it is typed and turns
// red, with the reason as its tooltip, when the command could not be started.
class PostCmdField : public QLineEdit
{
    Q_OBJECT

public:
    explicit PostCmdField(QWidget *parent = nullptr);

    // Colours the field by the validity of its path: an empty path is no error.
    void updateUIStatus();
    // The reason shown for the current path; null when it is fine or empty.
    QString errorReason() const { return _errorReason; }

    // The text colour of a refused path, readable on light and dark palettes.
    static QColor errorColor(const QPalette &palette);

protected:
    void changeEvent(QEvent *event) override;

private:
    void applyColour();

    QString _errorReason;
};
