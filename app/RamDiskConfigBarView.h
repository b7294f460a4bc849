#pragma once

#include <QPointer>
#include <QWidget>

#include <optional>

// The bar along the bottom of the main window: a gradient topped by a one-pixel line,
// flat and lighter while the application is in the background. It holds the add/remove
// control on the left, the purge button on the right and the memory summary centred
// between them.
class RamDiskConfigBarView : public QWidget
{
    Q_OBJECT

public:
    explicit RamDiskConfigBarView(QWidget *parent = nullptr);

    void setControls(QWidget *pmButton, QWidget *statusField, QWidget *purgeButton);

    // Whether the bar draws as for the active application (follows the window and the
    // application state; tests and screenshots may force it).
    bool drawsActive() const;
    void setForcedActive(std::optional<bool> active);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    // The left inset of the add/remove control; the summary keeps the same inset plus 8
    // plus the wider side's control on both sides, so that it stays centred.
    static constexpr int controlInset = 4;

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void layoutControls();

    QPointer<QWidget> _pmButton;
    QPointer<QWidget> _statusField;
    QPointer<QWidget> _purgeButton;
    std::optional<bool> _forcedActive;
};
