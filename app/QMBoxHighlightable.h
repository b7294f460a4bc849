#pragma once

#include <QFrame>

// A box that lights up under the pointer and reports a click anywhere inside it (the
// placeholder shown when no RAM disk is selected: a click there creates one).
class QMBoxHighlightable : public QFrame
{
    Q_OBJECT

public:
    explicit QMBoxHighlightable(QWidget *parent = nullptr);
    bool isHighlighted() const { return _highlighted; }

signals:
    void boxHighlightableClicked();

protected:
    void paintEvent(QPaintEvent *event) override;
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    bool _highlighted = false;
    bool _pressed = false;
};
