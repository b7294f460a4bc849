#pragma once

#include "PostCmdField.h"

class QPushButton;

// The editor pane's post-command field: an "Edit arguments…" button sits inside its right
// end, shown while the pointer is over the field or while it is being edited.
class PostCommandTextField : public PostCmdField
{
    Q_OBJECT

public:
    explicit PostCommandTextField(QWidget *parent = nullptr);

    // Shows the arguments button while the field is edited.
    void setIsFocusedRing(bool focused);
    bool isFocusedRing() const { return _isFocusedRing; }
    // The field and its button together.
    void setEnabled(bool enabled);

    QPushButton *argsButton() const { return _argsButton; }

signals:
    void argumentsButtonClicked();
    void editingBegan();
    void editingEnded();

protected:
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void placeButton();

    QPushButton *_argsButton = nullptr;
    bool _isFocusedRing = false;
};
