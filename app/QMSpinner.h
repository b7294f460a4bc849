#pragma once

#include <QWidget>

class QTimer;

// The small spinning indicator shown while something runs; nothing shows while stopped.
class QMSpinner : public QWidget
{
    Q_OBJECT

public:
    explicit QMSpinner(QWidget *parent = nullptr);

    void startAnimation();
    void stopAnimation();
    bool isAnimating() const;

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QTimer *_timer = nullptr;
    int _step = 0;
};
