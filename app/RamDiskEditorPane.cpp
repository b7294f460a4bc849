#include "RamDiskEditorPane.h"

#include "PostCmdWindowController.h"
#include "PostCommandTextField.h"
#include "QMAppColors.h"
#include "QMFileChooser.h"
#include "QMMacInfo.h"
#include "QMRamDiskAutoSave.h"
#include "QMRamDiskDevice.h"
#include "QMRamDiskEntries.h"
#include "QMRamDiskManager.h"
#include "QMSimDeviceList.h"
#include "QMSpinner.h"
#include "QMWorkspaceIcons.h"
#include "RamDiskConfigController.h"
#include "RamDiskConfigPresentation.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHash>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QStandardItemModel>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>

#include <cmath>
#include <functional>

namespace {

using P = RamDiskConfigPresentation;
using E = RamDiskEditorPresentation;

enum ItemRole { TagRole = Qt::UserRole, PathRole, SimDirIdRole };

// The RAM disk's large image, barely visible, in the free corner under the labels: drawn
// where no control covers it, so it shows whole and never behind a text.
class Backdrop : public QWidget
{
public:
    explicit Backdrop(QWidget *parent) : QWidget(parent)
    {
        setAttribute(Qt::WA_TransparentForMouseEvents);
    }

    void setImage(const QImage &image)
    {
        if (image.cacheKey() == _image.cacheKey())
            return;
        _image = image;
        // The drawing only, without the transparent margin around it.
        _drawn = image.isNull() ? QImage() : image.copy(opaqueBounds(image));
        update();
    }
    QImage image() const { return _image; }
    // Where the image goes, in this widget's coordinates; asked at each painting, as the
    // layout settles after the widget was resized.
    std::function<QRect()> area;

protected:
    void paintEvent(QPaintEvent *) override
    {
        const QRect place = area ? area() : rect();
        if (_drawn.isNull() || place.width() < 24 || place.height() < 16)
            return;
        QSize size = _drawn.size().scaled(place.size(), Qt::KeepAspectRatio);
        size = size.boundedTo(QSize(128, 128));
        QPainter p(this);
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        p.setOpacity(isEnabled() ? 0.15 : 0.07);
        QRect target(QPoint(), size);
        target.moveCenter(place.center());
        p.drawImage(target, _drawn);
    }

private:
    static QRect opaqueBounds(const QImage &image)
    {
        const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
        QRect bounds;
        for (int y = 0; y < argb.height(); ++y) {
            const auto *line = reinterpret_cast<const QRgb *>(argb.constScanLine(y));
            for (int x = 0; x < argb.width(); ++x)
                if (qAlpha(line[x]) > 8)
                    bounds |= QRect(x, y, 1, 1);
        }
        return bounds.isValid() ? bounds : image.rect();
    }

    QImage _image;
    QImage _drawn;
};

// A wrapping text that asks for a fixed number of lines, so the window's height never
// depends on how the text happens to wrap.
class LinesLabel : public QLabel
{
public:
    LinesLabel(int lines, QWidget *parent) : QLabel(parent), _lines(lines)
    {
        setWordWrap(true);
        setAlignment(Qt::AlignLeft | Qt::AlignTop);
    }
    bool hasHeightForWidth() const override { return false; }
    QSize sizeHint() const override { return minimumSizeHint(); }
    QSize minimumSizeHint() const override
    {
        return QSize(fontMetrics().averageCharWidth() * 12, fontMetrics().lineSpacing() * _lines + 2);
    }

private:
    int _lines;
};

QFont smallFont(const QFont &base)
{
    QFont f = base;
    if (base.pointSizeF() > 0)
        f.setPointSizeF(base.pointSizeF() * 11.0 / 13.0);
    return f;
}

// Grey text that reads on light and dark palettes.
QColor dimTextColor(const QPalette &palette)
{
    const QColor text = palette.color(QPalette::WindowText);
    const QColor window = palette.color(QPalette::Window);
    return QColor((text.red() + window.red()) / 2, (text.green() + window.green()) / 2,
                  (text.blue() + window.blue()) / 2);
}

QIcon drawnIcon(const QString &name)
{
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor ink = QApplication::palette().color(QPalette::WindowText);
    p.setPen(QPen(ink, 1.2));
    if (name == QLatin1String("computer")) {
        p.drawRoundedRect(QRectF(1.5, 2.5, 13, 9), 1, 1);
        p.drawLine(QPointF(8, 11.5), QPointF(8, 14));
        p.drawLine(QPointF(5, 14.5), QPointF(11, 14.5));
    } else {
        // A folder: a tab and a body.
        QPainterPath path;
        path.moveTo(1.5, 4);
        path.lineTo(6, 4);
        path.lineTo(7.5, 5.5);
        path.lineTo(14.5, 5.5);
        path.lineTo(14.5, 13.5);
        path.lineTo(1.5, 13.5);
        path.closeSubpath();
        QColor fill = ink;
        fill.setAlphaF(0.15);
        p.fillPath(path, fill);
        p.drawPath(path);
    }
    return QIcon(pixmap);
}

QIcon themedIcon(const QString &name)
{
    static QHash<QString, QIcon> cache;
    auto it = cache.find(name);
    if (it != cache.end())
        return *it;
    wsEnsureIconTheme();
    QIcon icon = QIcon::fromTheme(name);
    if (icon.isNull() && name != QLatin1String("computer"))
        icon = QIcon::fromTheme(QStringLiteral("folder"));
    if (icon.isNull())
        icon = drawnIcon(name);
    cache.insert(name, icon);
    return icon;
}

QIcon typeIcon(qint64 type)
{
    static QHash<qint64, QIcon> cache;
    auto it = cache.find(type);
    if (it != cache.end())
        return *it;
    const QImage image = QMRamDiskManager::imageOfType(type, 16);
    QIcon icon = image.isNull() ? QIcon() : QIcon(QPixmap::fromImage(image));
    cache.insert(type, icon);
    return icon;
}

void selectTag(QComboBox *combo, int tag)
{
    for (int i = 0; i < combo->count(); ++i)
        if (combo->itemData(i, TagRole).isValid() && combo->itemData(i, TagRole).toInt() == tag) {
            combo->setCurrentIndex(i);
            return;
        }
}

// A pop-up menu that knows whether its list is showing, and says when it closes.
class PaneMenu : public QComboBox
{
public:
    using QComboBox::QComboBox;

    std::function<void()> popupClosed;
    bool isPopupShown() const { return _shown; }

    void showPopup() override
    {
        _shown = true;
        QComboBox::showPopup();
        // However it closes (a choice, Escape, a click elsewhere), the list is hidden.
        if (QWidget *container = view()->parentWidget())
            container->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Hide && _shown && watched == view()->parentWidget()) {
            _shown = false;
            if (popupClosed)
                popupClosed();
        }
        return QComboBox::eventFilter(watched, event);
    }

private:
    bool _shown = false;
};

QComboBox *newMenu(const QString &name, QWidget *parent)
{
    auto *combo = new PaneMenu(parent);
    combo->setObjectName(name);
    // Long folder names must not widen the window.
    combo->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    combo->setMinimumContentsLength(14);
    combo->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    return combo;
}

} // namespace

RamDiskEditorPane::RamDiskEditorPane(RamDiskConfigController *controller, QWidget *parent)
    : QWidget(parent), _controller(controller)
{
    setObjectName(QStringLiteral("ramDiskEditorPane"));
    prepare();
}

// ---- Preparation ----------------------------------------------------------------------------

void RamDiskEditorPane::addRow(QLabel *label, QWidget *control, QWidget *extra)
{
    if (label) {
        label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        label->setBuddy(control);
        _grid->addWidget(label, _rows, 0);
    }
    _grid->addWidget(control, _rows, 1, 1, extra ? 1 : 2);
    if (extra)
        _grid->addWidget(extra, _rows, 2);
    ++_rows;
}

void RamDiskEditorPane::prepare()
{
    _rdImageView = new Backdrop(this);
    _rdImageView->setObjectName(QStringLiteral("rdImageView"));
    static_cast<Backdrop *>(_rdImageView)->area = [this] { return backdropArea(); };
    _rdImageView->lower();

    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(16, 14, 16, 10);
    _grid = new QGridLayout;
    _grid->setHorizontalSpacing(8);
    _grid->setVerticalSpacing(6);
    _grid->setColumnStretch(1, 1);
    outer->addLayout(_grid);

    auto label = [this](const char *name, const char *key) {
        auto *l = new QLabel(P::localized(key) + P::localizedDefault("LOC_:"), this);
        l->setObjectName(QString::fromLatin1(name));
        return l;
    };

    _rdTypeLabel = label("rdTypeLabel", "Type");
    _rdTypePopUp = newMenu(QStringLiteral("rdTypePopUp"), this);
    addRow(_rdTypeLabel, _rdTypePopUp);

    _rdNameLabel = label("rdNameLabel", "Name");
    _rdNameField = new QLineEdit(this);
    _rdNameField->setObjectName(QStringLiteral("rdNameField"));
    addRow(_rdNameLabel, _rdNameField);

    // Capacity: the slider; while mounted the usage bar under it (with the Resize button
    // beside it where the volume can change its size), or in its place where it cannot.
    _rdSizeLabel = label("rdSizeLabel", "Capacity");
    auto *sizeBox = new QWidget(this);
    auto *sizeLayout = new QGridLayout(sizeBox);
    sizeLayout->setContentsMargins(0, 0, 0, 0);
    sizeLayout->setVerticalSpacing(2);
    _rdSizeSlider = new QSlider(Qt::Horizontal, sizeBox);
    _rdSizeSlider->setObjectName(QStringLiteral("rdSizeSlider"));
    _rdSizeSlider->setMinimum(E::sliderMinimum());
    _rdSizeSlider->setMaximum(std::max(E::sliderMinimum(), E::sliderMaximum(QMMacInfo::physicalMemory())));
    // One step is the size granule, so the keyboard moves by whole steps both ways.
    _rdSizeSlider->setSingleStep(128);
    _rdSizeSlider->setPageStep(1024);
    sizeLayout->addWidget(_rdSizeSlider, 0, 0);
    _rdResizeButton = new QPushButton(P::localizedDefault("Resize"), sizeBox);
    _rdResizeButton->setObjectName(QStringLiteral("rdResizeButton"));
    _rdResizeButton->hide();
    sizeLayout->addWidget(_rdResizeButton, 0, 1, 2, 1, Qt::AlignVCenter);
    _rdUsageIndictator = new QProgressBar(sizeBox);
    _rdUsageIndictator->setObjectName(QStringLiteral("rdUsageIndictator"));
    _rdUsageIndictator->setRange(0, 1000);
    _rdUsageIndictator->setTextVisible(false);
    _rdUsageIndictator->setMaximumHeight(_rdSizeSlider->sizeHint().height());
    // Its place is kept while hidden, like the backup rows': the window's height is
    // reckoned once, and a mounted RAM disk would otherwise squeeze the rows below.
    QSizePolicy usagePolicy = _rdUsageIndictator->sizePolicy();
    usagePolicy.setRetainSizeWhenHidden(true);
    _rdUsageIndictator->setSizePolicy(usagePolicy);
    _rdUsageIndictator->hide();
    sizeLayout->addWidget(_rdUsageIndictator, 1, 0);
    _rdSizeValueLabel = new QLabel(this);
    _rdSizeValueLabel->setObjectName(QStringLiteral("rdSizeValueLabel"));
    _rdSizeValueLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    _rdSizeValueLabel->setMinimumWidth(fontMetrics().horizontalAdvance(E::sizeText(128000000000ULL)) + 4);
    addRow(_rdSizeLabel, sizeBox, _rdSizeValueLabel);
    _rdSizeLabel->setBuddy(_rdSizeSlider);

    _rdMountLabel = label("rdMountLabel", "Mount Point");
    _rdMountPointPopUp = newMenu(QStringLiteral("rdMountPointPopUp"), this);
    addRow(_rdMountLabel, _rdMountPointPopUp);

    // Options: "Prefer Wired Memory" shows where the kernel can keep a RAM disk out of swap,
    // under the other box: side by side they do not fit the window at its narrowest.
    _rdOptionsLabel = label("rdOptionsLabel", E::optionsLabelKey());
    auto *optionsBox = new QWidget(this);
    auto *optionsLayout = new QVBoxLayout(optionsBox);
    optionsLayout->setContentsMargins(0, 0, 0, 0);
    optionsLayout->setSpacing(4);
    _rdCreateAtLoginButton = new QCheckBox(P::localized("Create at Login"), optionsBox);
    _rdCreateAtLoginButton->setObjectName(QStringLiteral("rdCreateAtLoginButton"));
    optionsLayout->addWidget(_rdCreateAtLoginButton);
    _rdPreferWiredButton = new QCheckBox(P::localized("Prefer Wired Memory"), optionsBox);
    _rdPreferWiredButton->setObjectName(QStringLiteral("rdPreferWiredButton"));
    _rdPreferWiredButton->setVisible(E::preferWiredShown());
    optionsLayout->addWidget(_rdPreferWiredButton);
    addRow(_rdOptionsLabel, optionsBox);
    // Level with the first box.
    _grid->setAlignment(_rdOptionsLabel, Qt::AlignRight | Qt::AlignTop);
    _rdOptionsLabel->setContentsMargins(
        0, std::max(0, (_rdCreateAtLoginButton->sizeHint().height() - _rdOptionsLabel->sizeHint().height()) / 2), 0, 0);
    _rdOptionsLabel->setBuddy(_rdCreateAtLoginButton);
    // Keeps its place when there is nothing to say, so that the pane does not jump; two
    // lines, which the window at its narrowest needs.
    _rdCaseNoteLabel = new LinesLabel(2, this);
    _rdCaseNoteLabel->setObjectName(QStringLiteral("rdCaseNoteLabel"));
    _rdCaseNoteLabel->setFont(smallFont(font()));
    QPalette dimNote = _rdCaseNoteLabel->palette();
    dimNote.setColor(QPalette::WindowText, dimTextColor(palette()));
    _rdCaseNoteLabel->setPalette(dimNote);
    QSizePolicy notePolicy = _rdCaseNoteLabel->sizePolicy();
    notePolicy.setRetainSizeWhenHidden(true);
    _rdCaseNoteLabel->setSizePolicy(notePolicy);
    _grid->addWidget(_rdCaseNoteLabel, _rows++, 1, 1, 2);

    _rdPostCmdLabel = label("rdPostCmdLabel", "Post Command");
    _rdPostCmdField = new PostCommandTextField(this);
    _rdPostCmdField->setObjectName(QStringLiteral("rdPostCmdField"));
    addRow(_rdPostCmdLabel, _rdPostCmdField);

    rdMdIndexLabel = label("rdMdIndexLabel", "Indexing");
    rdMdIndexPopup = newMenu(QStringLiteral("rdMdIndexPopup"), this);
    rdMdIndexPopup->addItem(P::localized("By Default"), QMRamDiskMdIndexMode_default);
    rdMdIndexPopup->insertSeparator(1);
    rdMdIndexPopup->addItem(P::localized("On_F"), QMRamDiskMdIndexMode_on);
    rdMdIndexPopup->addItem(P::localized("Off_F"), QMRamDiskMdIndexMode_off);
    addRow(rdMdIndexLabel, rdMdIndexPopup);

    _rdBackupLabel = label("rdBackupLabel", "Backup");
    _rdBackupPopup = newMenu(QStringLiteral("rdBackupPopup"), this);
    addRow(_rdBackupLabel, _rdBackupPopup);
    _rdAutoSaveLabel = label("rdAutoSaveLabel", "Save every");
    _rdAutoSavePopup = newMenu(QStringLiteral("rdAutoSavePopup"), this);
    addRow(_rdAutoSaveLabel, _rdAutoSavePopup);
    _rdBackupStartLabel = new LinesLabel(3, this);
    _rdBackupStartLabel->setObjectName(QStringLiteral("rdBackupStartLabel"));
    _rdBackupStartLabel->setFont(smallFont(font()));
    QPalette dim = _rdBackupStartLabel->palette();
    dim.setColor(QPalette::WindowText, dimTextColor(palette()));
    _rdBackupStartLabel->setPalette(dim);
    _grid->addWidget(_rdBackupStartLabel, _rows++, 1, 1, 2);
    // Presets without a backup hide these rows but keep their place: the window's fixed
    // height is reckoned once, and the pane must not jump from one RAM disk to the next.
    for (QWidget *w : {static_cast<QWidget *>(_rdBackupLabel), static_cast<QWidget *>(_rdBackupPopup),
                       static_cast<QWidget *>(_rdAutoSaveLabel), static_cast<QWidget *>(_rdAutoSavePopup),
                       static_cast<QWidget *>(_rdBackupStartLabel)}) {
        QSizePolicy policy = w->sizePolicy();
        policy.setRetainSizeWhenHidden(true);
        w->setSizePolicy(policy);
    }

    outer->addStretch(1);

    // The command, its spinner and the progress line.
    auto *bottom = new QHBoxLayout;
    bottom->setSpacing(6);
    _rdCreatePIndicator = new QMSpinner(this);
    _rdCreatePIndicator->setObjectName(QStringLiteral("rdCreatePIndicator"));
    bottom->addWidget(_rdCreatePIndicator);
    _rdCreatePIndicatorLabel = new QLabel(this);
    _rdCreatePIndicatorLabel->setObjectName(QStringLiteral("rdCreatePIndicatorLabel"));
    _rdCreatePIndicatorLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    _rdCreatePIndicatorLabel->setMinimumHeight(fontMetrics().lineSpacing());
    bottom->addWidget(_rdCreatePIndicatorLabel, 1);
    _rdCreateButton = new QPushButton(P::localized("Create"), this);
    _rdCreateButton->setObjectName(QStringLiteral("rdCreateButton"));
    // Wide enough for the longest of its titles, so it does not jump.
    int buttonWidth = 0;
    for (const char *title : {"Create", "Mount", "Eject"})
        buttonWidth = std::max(buttonWidth, _rdCreateButton->fontMetrics().horizontalAdvance(P::localized(title)));
    _rdCreateButton->setMinimumWidth(buttonWidth + 40);
    bottom->addWidget(_rdCreateButton);
    outer->addLayout(bottom);

    // Every control reacts through changeAction().
    auto react = [this](QObject *sender) {
        return [this, sender] {
            if (!_refreshing)
                changeAction(sender);
        };
    };
    connect(_rdTypePopUp, &QComboBox::activated, this, react(_rdTypePopUp));
    connect(_rdNameField, &QLineEdit::textEdited, this, react(_rdNameField));
    connect(_rdSizeSlider, &QSlider::valueChanged, this, react(_rdSizeSlider));
    connect(_rdResizeButton, &QPushButton::clicked, this, react(_rdResizeButton));
    connect(_rdMountPointPopUp, &QComboBox::activated, this, react(_rdMountPointPopUp));
    connect(_rdCreateAtLoginButton, &QCheckBox::clicked, this, react(_rdCreateAtLoginButton));
    connect(_rdPreferWiredButton, &QCheckBox::clicked, this, react(_rdPreferWiredButton));
    connect(_rdPostCmdField, &QLineEdit::textEdited, this, react(_rdPostCmdField));
    connect(_rdPostCmdField, &PostCommandTextField::argumentsButtonClicked, this, react(_rdPostCmdField->argsButton()));
    connect(_rdPostCmdField, &PostCommandTextField::editingBegan, this, [this] { _rdPostCmdField->setIsFocusedRing(true); });
    connect(_rdPostCmdField, &PostCommandTextField::editingEnded, this, [this] { _rdPostCmdField->setIsFocusedRing(false); });
    connect(rdMdIndexPopup, &QComboBox::activated, this, react(rdMdIndexPopup));
    connect(_rdBackupPopup, &QComboBox::activated, this, react(_rdBackupPopup));
    connect(_rdAutoSavePopup, &QComboBox::activated, this, react(_rdAutoSavePopup));
    connect(_rdCreateButton, &QPushButton::clicked, this, react(_rdCreateButton));

    for (QComboBox *menu : {_rdTypePopUp, _rdMountPointPopUp, rdMdIndexPopup, _rdBackupPopup, _rdAutoSavePopup})
        static_cast<PaneMenu *>(menu)->popupClosed = [this] {
            if (!_refreshWhenClosed)
                return;
            // After the choice that closed it has been handled.
            QTimer::singleShot(0, this, [this] {
                if (!_refreshWhenClosed)
                    return;
                _refreshWhenClosed = false;
                if (_controller)
                    _controller->updateUIWithOptions(RamDiskConfigController::UpdateRamDiskView);
            });
        };
}

void RamDiskEditorPane::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    _rdImageView->setGeometry(rect());
}

QRect RamDiskEditorPane::backdropArea() const
{
    // Under the last label, above the button's row, as wide as the labels.
    QRect labels;
    int lastLabelRow = 0;
    for (int row = 0; row < _rows; ++row) {
        labels |= _grid->cellRect(row, 0);
        if (_grid->itemAtPosition(row, 0))
            lastLabelRow = row;
    }
    const int spacing = _grid->verticalSpacing();
    const int top = _grid->cellRect(lastLabelRow, 0).bottom() + 1 + spacing;
    const int bottom = std::min(_rdCreateButton->geometry().top(), _rdCreatePIndicatorLabel->geometry().top()) - spacing;
    return QRect(QPoint(labels.left(), top), QPoint(labels.right(), bottom - 1));
}

// ---- Refresh --------------------------------------------------------------------------------

QMRamDisk::Ptr RamDiskEditorPane::selectedRamDisk() const
{
    return _controller ? _controller->selectedRamDisk() : nullptr;
}

QIcon RamDiskEditorPane::iconOfItem(const E::MenuItem &item) const
{
    if (item.imageType >= 0)
        return typeIcon(item.imageType);
    if (!item.iconName.isEmpty())
        return themedIcon(item.iconName);
    return {};
}

void RamDiskEditorPane::fillMenu(QComboBox *combo, const E::Menu &menu)
{
    combo->clear();
    auto *model = qobject_cast<QStandardItemModel *>(combo->model());
    for (const E::MenuItem &item : menu.items) {
        if (item.separator) {
            combo->insertSeparator(combo->count());
            continue;
        }
        // One level of indentation: the simulator devices under their type.
        const QString title = item.indented ? QStringLiteral("\u2003") + item.title : item.title;
        combo->addItem(iconOfItem(item), title);
        const int i = combo->count() - 1;
        combo->setItemData(i, item.tag, TagRole);
        if (!item.path.isEmpty())
            combo->setItemData(i, item.path, PathRole);
        if (!item.simDirId.isEmpty())
            combo->setItemData(i, item.simDirId, SimDirIdRole);
        if (!item.toolTip.isEmpty())
            combo->setItemData(i, item.toolTip, Qt::ToolTipRole);
        if (!item.enabled && model)
            model->item(i)->setEnabled(false);
    }
    combo->setCurrentIndex(menu.selected);
    combo->setEnabled(menu.enabled);
}

void RamDiskEditorPane::updateRamDiskView(const QMRamDisk::Ptr &r)
{
    if (!r)
        return;
    _refreshing = true;
    const E::State state = E::state(r);

    // 2. The backdrop.
    static_cast<Backdrop *>(_rdImageView)->setImage(r->displayIcon(128));
    _rdImageView->setEnabled(state.image);

    // 3. Type.
    if (!deferredWhileOpen(_rdTypePopUp)) {
        QList<QMRamDisk::Ptr> all;
        if (QMRamDiskEntries *entries = _controller ? _controller->ramDiskEntries() : nullptr)
            all = entries->ramDisks();
        fillMenu(_rdTypePopUp, E::typeMenu(r, all, QMSimDeviceList::sharedInstance()->devices()));
        _typeSelected = _rdTypePopUp->currentIndex();
        _rdTypePopUp->setEnabled(state.type);
    }

    // 4. Name: the text is left alone while it says the same, so typing keeps its place.
    const QString name = r->name();
    if (_rdNameField->text() != name)
        _rdNameField->setText(name);
    _rdNameField->setEnabled(state.name);

    // 5. Capacity. While mounted the slider shows the size chosen for a resize, if any.
    if (!state.resizeVisible || _resizeFor != r->identifier())
        _resizeSize = 0;
    const quint64 size = r->size();
    const quint64 shownSize = _resizeSize ? _resizeSize : size;
    _rdSizeSlider->setVisible(state.sliderVisible);
    _rdUsageIndictator->setVisible(state.usageVisible);
    _rdSizeSlider->setValue(int(std::lround(double(shownSize) * 1e-6)));
    _rdUsageIndictator->setValue(int(std::lround(r->diskUsage() * _rdUsageIndictator->maximum())));
    _rdUsageIndictator->setToolTip(E::usageToolTip(size, r->volFree()));
    _rdSizeValueLabel->setText(E::sizeText(shownSize));
    for (QWidget *w : {static_cast<QWidget *>(_rdSizeSlider), static_cast<QWidget *>(_rdUsageIndictator),
                       static_cast<QWidget *>(_rdSizeValueLabel)})
        w->setEnabled(state.capacity);
    const E::Resize resize = E::resize(r, shownSize);
    _rdResizeButton->setVisible(state.resizeVisible);
    _rdResizeButton->setEnabled(resize.enabled);
    _rdResizeButton->setToolTip(resize.toolTip);

    // 6. Mount point.
    if (!deferredWhileOpen(_rdMountPointPopUp)) {
        const QString mountDirectory = r->mountDirectory();
        fillMenu(_rdMountPointPopUp, E::mountPointMenu(mountDirectory, r->type(), r->action(), r->status()));
        _rdMountPointPopUp->setEnabled(state.mountPoint);
        _rdMountPointPopUp->setToolTip(mountDirectory);
    }

    // 7. Options.
    _rdPreferWiredButton->setEnabled(state.preferWired);
    _rdPreferWiredButton->setChecked(r->preferWired());
    _rdCreateAtLoginButton->setChecked(r->createAtLogin());
    _rdCreateAtLoginButton->setEnabled(state.createAtLogin);
    const QString caseNote = E::caseNote(r);
    _rdCaseNoteLabel->setText(caseNote);
    _rdCaseNoteLabel->setVisible(!caseNote.isEmpty());

    // 8. Post command.
    _rdPostCmdField->setEnabled(state.postCommand);
    const QString postCmd = r->postCmd();
    if (_rdPostCmdField->text() != postCmd)
        _rdPostCmdField->setText(postCmd);
    _rdPostCmdField->updateUIStatus();

    // 9. Indexing.
    if (!deferredWhileOpen(rdMdIndexPopup)) {
        rdMdIndexPopup->setEnabled(state.indexing);
        selectTag(rdMdIndexPopup, int(r->mdIndexMode()));
    }

    // 10. Backup.
    const E::Backup backup = E::backup(r);
    if (!deferredWhileOpen(_rdBackupPopup)) {
        fillMenu(_rdBackupPopup, backup.menu);
        _rdBackupPopup->setEnabled(state.backup && backup.menu.enabled);
    }
    _rdBackupStartLabel->setText(backup.text);
    _rdBackupStartLabel->setToolTip(backup.text);
    if (!deferredWhileOpen(_rdAutoSavePopup)) {
        fillMenu(_rdAutoSavePopup, E::autoSaveMenu(r));
        _rdAutoSavePopup->setEnabled(state.autoSave && backup.menu.enabled);
    }
    for (QWidget *w : {static_cast<QWidget *>(_rdBackupLabel), static_cast<QWidget *>(_rdBackupPopup),
                       static_cast<QWidget *>(_rdAutoSaveLabel), static_cast<QWidget *>(_rdAutoSavePopup),
                       static_cast<QWidget *>(_rdBackupStartLabel)})
        w->setVisible(backup.visible);

    // 11. The button and the progress line.
    const E::Command command = E::command(r, _controller ? _controller->otherProgramAction(r->identifier()) : std::nullopt);
    if (command.animating)
        _rdCreatePIndicator->startAnimation();
    else
        _rdCreatePIndicator->stopAnimation();
    _rdCreateButton->setText(command.title);
    _rdCreateButton->setEnabled(command.enabled);
    QPalette progress = _rdCreatePIndicatorLabel->palette();
    progress.setColor(QPalette::WindowText, command.progressIsActive ? palette().color(QPalette::WindowText)
                                                                     : dimTextColor(palette()));
    _rdCreatePIndicatorLabel->setPalette(progress);
    _rdCreatePIndicatorLabel->setText(command.progress);
    _rdCreatePIndicatorLabel->setToolTip(command.progress);
    _showsSavedText = command.progressIsSaveDate;
    _refreshing = false;
}

bool RamDiskEditorPane::deferredWhileOpen(QComboBox *menu)
{
    // A list the user has open is never rebuilt under the pointer: it is brought up to date
    // once it closes.
    if (!static_cast<PaneMenu *>(menu)->isPopupShown())
        return false;
    _refreshWhenClosed = true;
    return true;
}

void RamDiskEditorPane::updateSavedText(const QMRamDisk::Ptr &r)
{
    if (!r || !_showsSavedText)
        return;
    const QString text =
        QMRamDiskAutoSave::savedText(r->lastSaveDate(), double(QDateTime::currentMSecsSinceEpoch()) / 1000.0);
    if (_rdCreatePIndicatorLabel->text() == text)
        return;
    _rdCreatePIndicatorLabel->setText(text);
    _rdCreatePIndicatorLabel->setToolTip(text);
}

void RamDiskEditorPane::followSaving(const QMRamDisk::Ptr &r, bool savedBefore)
{
    const qint64 interval = E::autoSaveIntervalAfterEdit(r, savedBefore);
    if (!r || interval == r->autoSaveInterval())
        return;
    r->setAutoSaveInterval(interval);
    // Quilmo-Helper runs the schedule: its login item may now be wanted, or no longer.
    if (QMRamDiskEntries *entries = _controller ? _controller->ramDiskEntries() : nullptr)
        entries->setNeedsSynchronizeHelper(true);
}

// ---- Reactions ------------------------------------------------------------------------------

void RamDiskEditorPane::changeAction(QObject *sender)
{
    const QMRamDisk::Ptr r = selectedRamDisk();
    if (!r || !_controller)
        return;
    auto refresh = [this] { _controller->updateUIWithOptions(RamDiskConfigController::UpdateRamDiskView); };
    auto save = [this] { _controller->synchronizeRamDiskEntriesDelayed(); };
    const bool savedBefore = E::saves(r);

    if (sender == _rdTypePopUp) {
        const int index = _rdTypePopUp->currentIndex();
        // Choosing the entry already chosen changes nothing: the preset is not applied again
        // over the user's settings.
        if (index < 0 || index == _typeSelected || r->status() != QMRamDiskStatus_notCreated
            || r->action() != QMRamDiskAction_none) {
            refresh();
            return;
        }
        const int tag = _rdTypePopUp->itemData(index, TagRole).toInt();
        const QString dirId = _rdTypePopUp->itemData(index, SimDirIdRole).toString();
        r->setSimId(tag == QMRamDiskType_CoreSimulator && !dirId.isEmpty() ? dirId : QString());
        r->changeToType(tag, 0);
        followSaving(r, savedBefore);
        refresh();
        save();
    } else if (sender == _rdNameField) {
        r->setName(_rdNameField->text());
        refresh();
        save();
    } else if (sender == _rdSizeSlider && E::state(r).resizeVisible) {
        // The record keeps the volume's size; the Resize button applies the new one.
        _resizeSize = E::sizeForSliderValue(_rdSizeSlider->value());
        _resizeFor = r->identifier();
        _controller->updateUIWithOptions(RamDiskConfigController::UpdateRamDiskView
                                         | RamDiskConfigController::UpdateWithoutMacInfo);
    } else if (sender == _rdResizeButton) {
        const quint64 target = _resizeSize;
        QMRamDiskEntries *entries = _controller->ramDiskEntries();
        if (entries && target && E::resize(r, target).enabled) {
            _resizeSize = 0;
            entries->resize(r, target, true);
        }
        refresh();
    } else if (sender == _rdSizeSlider) {
        r->setSize(E::sizeForSliderValue(_rdSizeSlider->value()));
        _controller->updateUIWithOptions(RamDiskConfigController::UpdateRamDiskView
                                         | RamDiskConfigController::UpdateWithoutMacInfo);
        save();
    } else if (sender == _rdMountPointPopUp) {
        if (r->status() != QMRamDiskStatus_notCreated) {
            refresh();
            return;
        }
        const int index = _rdMountPointPopUp->currentIndex();
        const int tag = _rdMountPointPopUp->itemData(index, TagRole).toInt();
        if (tag == E::MountChoose) {
            chooseMountDirectory();
            return;
        }
        if (tag == E::MountDirectory)
            r->setMountDirectory(_rdMountPointPopUp->itemData(index, PathRole).toString());
        else
            r->setMountDirectory(QString());
        // A base-synchronised RAM disk has its base only with a mount directory.
        followSaving(r, savedBefore);
        refresh();
        save();
    } else if (sender == _rdPreferWiredButton) {
        r->setPreferWired(_rdPreferWiredButton->isChecked());
        save();
    } else if (sender == _rdCreateAtLoginButton) {
        r->setCreateAtLogin(_rdCreateAtLoginButton->isChecked());
        // The helper's login item follows.
        if (QMRamDiskEntries *entries = _controller->ramDiskEntries())
            entries->setNeedsSynchronizeHelper(true);
        save();
    } else if (sender == _rdPostCmdField) {
        const QString text = _rdPostCmdField->text();
        const QString completed = QMRamDiskDevice::completePostCommand(text);
        if (!completed.isNull() && completed != text)
            _rdPostCmdField->setText(completed);
        r->setPostCmd(_rdPostCmdField->text());
        save();
        _rdPostCmdField->updateUIStatus();
    } else if (sender == rdMdIndexPopup) {
        r->setMdIndexMode(rdMdIndexPopup->currentData(TagRole).toLongLong());
        save();
    } else if (sender == _rdPostCmdField->argsButton()) {
        openPostCmdSheet();
    } else if (sender == _rdBackupPopup) {
        const int tag = _rdBackupPopup->currentData(TagRole).toInt();
        if (tag == E::BackupChoose) {
            chooseBackupDirectory();
            return;
        }
        r->setBackupMode(E::backupModeForTag(tag));
        followSaving(r, savedBefore);
        refresh();
        save();
    } else if (sender == _rdAutoSavePopup) {
        const int seconds = _rdAutoSavePopup->currentData(TagRole).toInt();
        if (seconds != E::AutoSaveKept && E::saves(r) && seconds != r->autoSaveInterval()) {
            r->setAutoSaveInterval(seconds);
            if (QMRamDiskEntries *entries = _controller->ramDiskEntries())
                entries->setNeedsSynchronizeHelper(true);
            save();
        }
        refresh();
    } else if (sender == _rdCreateButton) {
        _controller->performRamDiskCommand();
    }
}

PostCmdWindowController *RamDiskEditorPane::postCmdWindowController() const
{
    return _postCmdWindowController;
}

void RamDiskEditorPane::beginResize()
{
    if (_rdSizeSlider->isVisible() && _rdSizeSlider->isEnabled())
        _rdSizeSlider->setFocus(Qt::OtherFocusReason);
}

void RamDiskEditorPane::openPostCmdSheet()
{
    const QMRamDisk::Ptr r = selectedRamDisk();
    if (!r)
        return;
    if (!_postCmdWindowController) {
        _postCmdWindowController = new PostCmdWindowController(window());
        connect(_postCmdWindowController, &PostCmdWindowController::didEnd, this,
                [this](PostCmdWindowController *sheet) {
                    if (_controller)
                        _controller->postCmdWindowControllerDidEnd(sheet);
                });
    }
    _postCmdWindowController->beginSheetForWindow(window(), r);
}

// ---- Folder choosers ------------------------------------------------------------------------

bool RamDiskEditorPane::validateMountDirectory(const QString &path, const QMRamDisk::Ptr &r, QString *message)
{
    if (!r)
        return false;
    // A RAM disk mounted meanwhile (by the helper, or quilmoctl) cannot be mounted into itself.
    if (E::isInsideRamDisk(path, r, false, message))
        return false;
    QString why;
    if (QMRamDiskManager::canUseMountDirectory(path, r->name(), r->type(), &why))
        return true;
    if (message)
        *message = why.isEmpty() ? P::localizedDefault("The mount directory is not correct.") : why;
    return false;
}

bool RamDiskEditorPane::validateBackupDirectory(const QString &path, const QMRamDisk::Ptr &r, QString *message)
{
    // A backup kept in the volume it backs up goes with it at eject.
    return r && !E::isInsideRamDisk(path, r, true, message);
}

void RamDiskEditorPane::chooseMountDirectory()
{
    const QMRamDisk::Ptr r = selectedRamDisk();
    if (!r)
        return;
    QMFileChooserRequest request;
    request.objectName = QStringLiteral("RamDiskConfigController");
    request.title = P::localizedDefault("Choose the Mount Point");
    request.prompt = P::localizedDefault("Choose");
    request.chooseDirectories = true;
    request.showHidden = true;
    request.canCreateDirectories = true;
    const QString current = r->mountDirectory();
    request.directory = !current.isEmpty() && QFileInfo(current).isDir() ? current : QDir::homePath();
    request.validate = [r](const QString &path, QString *message) { return validateMountDirectory(path, r, message); };
    request.window = window();
    QMFileChooser::open(request, [this, r](const QString &path) {
        // The same check again, on the record as it is now.
        if (!path.isNull() && r->status() == QMRamDiskStatus_notCreated && validateMountDirectory(path, r, nullptr)) {
            const bool savedBefore = E::saves(r);
            r->setMountDirectory(QDir::cleanPath(path));
            followSaving(r, savedBefore);
        }
        if (_controller) {
            _controller->updateUIWithOptions(RamDiskConfigController::UpdateRamDiskView);
            _controller->synchronizeRamDiskEntriesDelayed();
        }
    });
}

void RamDiskEditorPane::chooseBackupDirectory()
{
    const QMRamDisk::Ptr r = selectedRamDisk();
    if (!r)
        return;
    QMFileChooserRequest request;
    request.objectName = QStringLiteral("RamDiskConfigControllerBackup");
    request.title = P::localizedDefault("Choose the Backup Folder");
    request.prompt = P::localizedDefault("Choose");
    request.chooseDirectories = true;
    request.showHidden = true;
    request.canCreateDirectories = true;
    const QString current = r->backupDir();
    request.directory = !current.isEmpty() && QFileInfo(current).isDir() ? current : QDir::homePath();
    request.validate = [r](const QString &path, QString *message) { return validateBackupDirectory(path, r, message); };
    request.window = window();
    QMFileChooser::open(request, [this, r](const QString &path) {
        if (!path.isNull() && validateBackupDirectory(path, r, nullptr)) {
            const bool savedBefore = E::saves(r);
            r->setBackupMode(QMRamDiskBackupMode_chosenDirectory);
            r->setBackupDir(QDir::cleanPath(path));
            followSaving(r, savedBefore);
        }
        if (_controller) {
            _controller->updateUIWithOptions(RamDiskConfigController::UpdateRamDiskView);
            _controller->synchronizeRamDiskEntriesDelayed();
        }
    });
}
