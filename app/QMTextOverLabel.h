#pragma once

#include <QWidget>

// A one-line centred text that acts like a link: underlined under the pointer, grey while
// pressed, and a click (release inside) reports textOverLabelPressed(). Without a target
// (setClickable(false)) it is a plain label.
class QMTextOverLabel : public QWidget
{
    Q_OBJECT

public:
    enum class Style { Normal, Hovered, Pressed };

    explicit QMTextOverLabel(QWidget *parent = nullptr);

    void setText(const QString &text);
    QString text() const { return _text; }
    // Shorter forms of the text, most complete first, shown when the text does not fit:
    // what matters least is left out rather than cut in the middle.
    void setShorterTexts(const QStringList &texts);
    // What the label shows at its width.
    QString shownText() const;
    void setClickable(bool clickable);
    bool isClickable() const { return _clickable; }
    Style currentStyle() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

signals:
    void textOverLabelPressed();

protected:
    void paintEvent(QPaintEvent *event) override;
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    QString _text;
    QStringList _shorterTexts;
    bool _clickable = true;
    bool _hovered = false;
    bool _pressed = false;
};
