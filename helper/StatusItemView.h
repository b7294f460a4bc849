#pragma once

#include <QIcon>
#include <QImage>
#include <QWidget>

#include <array>

class StatusItemView;

// Told when the status view is pressed (left or right button); pops up the status menu.
class StatusItemViewDelegate
{
public:
    virtual ~StatusItemViewDelegate() = default;
    virtual void statusItemViewPressed(StatusItemView *view) = 0;
};

// The helper's icon in the tray: colour or monochrome by the user's choice, a pressed look
// while the menu Qt draws is open, and a red silhouette while a RAM disk is nearly full.
// The same drawing paints the widget and renders the tray icon's images.
class StatusItemView : public QWidget
{
    Q_OBJECT

public:
    // The status item's length and the height of a status bar, in points.
    static constexpr int itemLength = 28;
    static constexpr int itemHeight = 22;

    // The image names among the bundled images.
    static QString colorImageName();   // "QuilmoStatusItemColor"
    static QString whiteImageName();   // "QuilmoStatusItemWhite"
    static QString blackImageName();   // "QuilmoStatusItemBlack"
    static QString pressedImageName(); // "QuilmoStatusItemPressed"

    // `initWithDelegate:`; the delegate is not owned.
    explicit StatusItemView(StatusItemViewDelegate *delegate, QWidget *parent = nullptr);

    qint64 badgeStyle() const { return _badgeStyle; }
    // 1 and 2 monochrome, any other value colour.
    void setBadgeStyle(qint64 style);
    bool isPressed() const { return _isPressed; }
    void setIsPressed(bool pressed);
    bool isWarn() const { return _isWarn; }
    void setIsWarn(bool warn);
    // The appearance the images were loaded for.
    bool isDarkMode() const { return _isDarkMode; }

    // Loads the three images for the current appearance.
    void updateStatusImages();

    // Draws the look of the moment into `bounds` (`drawRect:`).
    void drawRect(QPainter *painter, const QRect &bounds);
    // The look of the moment as an image of `size` points at `devicePixelRatio`.
    QImage renderImage(const QSize &size, qreal devicePixelRatio);
    // The tray's icon: the look of the moment at the sizes trays ask for.
    QIcon icon();

    // Loads a bundled image at 1x, or its "@2x" form; null when missing.
    static QImage loadImage(const QString &name, int scale);

signals:
    // Something that changes the look changed; the tray icon is rendered again.
    void needsDisplay();

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void changeEvent(QEvent *event) override;
    bool event(QEvent *event) override;

private:
    enum Slot { Color = 0, Monochrome = 1, Pressed = 2 };
    void redisplay();
    const QImage &chosenImage(bool twice) const;

    StatusItemViewDelegate *_delegate = nullptr;
    qint64 _badgeStyle = 0;
    bool _isPressed = false;
    bool _isDarkMode = false;
    bool _isWarn = false;
    bool _imagesLoaded = false;
    std::array<QImage, 3> _images;
    std::array<QImage, 3> _images2x;
};
