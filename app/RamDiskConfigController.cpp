#include "RamDiskConfigController.h"

#include "MainSplitView.h"
#include "PostCmdWindowController.h"
#include "QMAppColors.h"
#include "QMAppIcons.h"
#include "QMAlert.h"
#include "QMBoxHighlightable.h"
#include "QMFileManager.h"
#include "QMLog.h"
#include "QMMacInfo.h"
#include "QMRamDiskActionLock.h"
#include "QMRamDiskAutoSave.h"
#include "QMRamDiskFunctions.h"
#include "QMRamDiskManager.h"
#include "QMRamDiskUtils.h"
#include "QMRunningApplications.h"
#include "QMSegmentedControl.h"
#include "QMSharedLoginItems.h"
#include "QMTextOverLabel.h"
#include "QMUserDefaults.h"
#include "QMWorkspaceIcons.h"
#include "RamDiskConfigBarView.h"
#include "RamDiskConfigCell.h"
#include "RamDiskConfigPresentation.h"
#include "RamDiskEditorPane.h"
#include "RamDiskListModel.h"

#include <QAction>
#include <QApplication>
#include <QFileInfo>
#include <QGraphicsDropShadowEffect>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QResizeEvent>
#include <QSettings>
#include <QTableView>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include <cmath>

namespace {

const QString kSelectedRamDiskKey = QStringLiteral("SelectedRamDisk.identifier");
const QString kSplitViewKey = QStringLiteral("SplitView:MainView");

using P = RamDiskConfigPresentation;

// The right pane of the split view: it shows one view at a time, as wide as the pane, at
// its own height (the whole pane when it grows vertically), centred vertically.
class SplitPaneView : public QWidget
{
public:
    explicit SplitPaneView(QWidget *parent) : QWidget(parent) {}

    QWidget *content() const { return _content; }

    void setContent(QWidget *view)
    {
        for (QObject *child : children())
            if (auto *w = qobject_cast<QWidget *>(child); w && w != view)
                w->hide();
        _content = view;
        if (view) {
            if (view->parentWidget() != this)
                view->setParent(this);
            place();
            view->show();
        }
    }

    QSize minimumSizeHint() const override
    {
        int h = 0;
        for (QObject *child : children())
            if (auto *w = qobject_cast<QWidget *>(child))
                h = std::max(h, std::max(w->minimumSizeHint().height(), w->minimumHeight()));
        return QSize(MainSplitView::minimumPaneWidth, h);
    }

protected:
    void resizeEvent(QResizeEvent *event) override
    {
        QWidget::resizeEvent(event);
        place();
    }

private:
    void place()
    {
        if (!_content)
            return;
        const bool fills = _content->sizePolicy().verticalPolicy() & QSizePolicy::ExpandFlag;
        const int h = fills ? height() : std::max(_content->sizeHint().height(), _content->minimumHeight());
        const int y = int(std::floor((height() - h) / 2.0));
        if (y < 0)
            QMLog::logError(QStringLiteral("%1(%2) %3 %4")
                                .arg(QStringLiteral("setSplitViewContent"))
                                .arg(__LINE__)
                                .arg(QStringLiteral("<RamDiskConfigController>"), QStringLiteral("ptY<0")));
        _content->setGeometry(0, y, width(), h);
    }

    QPointer<QWidget> _content;
};

// A font `factor` times the desktop's own size: the design's sizes are relative to a
// 13-point system font.
QFont scaledFont(const QFont &base, double factor)
{
    QFont f = base;
    if (base.pointSizeF() > 0)
        f.setPointSizeF(base.pointSizeF() * factor);
    else
        f.setPixelSize(qRound(base.pixelSize() * factor));
    return f;
}

bool launchProgram(const QUrl &url)
{
    if (url.isEmpty())
        return false;
    return QProcess::startDetached(url.toLocalFile(), {});
}

} // namespace

RamDiskConfigController::RamDiskConfigController(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("RamDiskConfigController"));
    loadView();
}

RamDiskConfigController::~RamDiskConfigController()
{
    stopAutoUpdateUI();
    if (_ramDiskEntries) {
        // The store outlives every action that reports to it; nothing reaches this
        // controller once its destruction started.
        _ramDiskEntries->setDelegate(nullptr);
        _ramDiskEntries->setUpdator(false);
        if (_ramDiskEntries->hasRunningAction())
            _ramDiskEntries->waitingEndAll();
        delete _ramDiskEntries;
        _ramDiskEntries = nullptr;
    }
}

QString RamDiskConfigController::description() const
{
    return QStringLiteral("<RamDiskConfigController: 0x%1>").arg(reinterpret_cast<quintptr>(this), 0, 16);
}

// ---- Loading the view --------------------------------------------------------------------

void RamDiskConfigController::loadView()
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    // The list.
    _splitView = new MainSplitView(this);
    _tableView = new QTableView(_splitView);
    _tableView->setObjectName(QStringLiteral("tableView"));
    _listModel = new RamDiskListModel(this);
    _listModel->setDropHandler([this](int row, const QString &identifier) { return moveRamDisk(row, identifier); });
    _tableView->setModel(_listModel);
    _tableView->setItemDelegate(new RamDiskConfigCell(_tableView));
    _tableView->horizontalHeader()->hide();
    _tableView->verticalHeader()->hide();
    _tableView->horizontalHeader()->setStretchLastSection(true);
    _tableView->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    _tableView->verticalHeader()->setDefaultSectionSize(RamDiskConfigCell::rowHeight(_tableView->font()));
    _tableView->setShowGrid(false);
    _tableView->setSelectionBehavior(QAbstractItemView::SelectRows);
    _tableView->setSelectionMode(QAbstractItemView::SingleSelection);
    _tableView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    _tableView->setWordWrap(false);
    _tableView->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    _tableView->setFrameShape(QFrame::NoFrame);
    _tableView->setMinimumWidth(MainSplitView::minimumListWidth);
    // Rows are reordered by dragging one at a time.
    _tableView->setDragEnabled(true);
    _tableView->setAcceptDrops(true);
    _tableView->viewport()->setAcceptDrops(true);
    _tableView->setDragDropMode(QAbstractItemView::DragDrop);
    _tableView->setDragDropOverwriteMode(false);
    _tableView->setDefaultDropAction(Qt::MoveAction);
    _tableView->setDropIndicatorShown(true);
    _tableView->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(_tableView, &QWidget::customContextMenuRequested, this, &RamDiskConfigController::contextMenuRequested);
    connect(_tableView, &QAbstractItemView::doubleClicked, this,
            [this](const QModelIndex &index) { openSelectedInFileManager(index.row()); });
    connect(_tableView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &RamDiskConfigController::selectionDidChange);

    _tableMenu = new QMenu(QStringLiteral("TableView-Menu"), this);
    _tableMenu->setObjectName(QStringLiteral("TableView-Menu"));
    connect(_tableMenu, &QMenu::triggered, this, &RamDiskConfigController::mi_rightMenu);

    // The right pane: the editor, or the placeholder.
    _rightPane = new SplitPaneView(_splitView);
    _rightPane->setObjectName(QStringLiteral("splitRightPane"));
    _rightPane->setMinimumWidth(MainSplitView::minimumPaneWidth);

    _ramDiskView = new QWidget(_rightPane);
    _ramDiskView->setObjectName(QStringLiteral("ramDiskView"));
    _ramDiskView->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);
    _ramDiskView->hide();

    _ntView = new QWidget(_rightPane);
    _ntView->setObjectName(QStringLiteral("ntView"));
    _ntView->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);
    auto *ntLayout = new QVBoxLayout(_ntView);
    ntLayout->setContentsMargins(20, 20, 20, 20);
    ntBox = new QMBoxHighlightable(_ntView);
    ntBox->setObjectName(QStringLiteral("ntBox"));
    ntBox->setToolTip(P::localizedDefault("Click to add a RAM disk"));
    ntLayout->addWidget(ntBox);
    auto *boxLayout = new QVBoxLayout(ntBox);
    _ntLabel = new QLabel(P::localized("NO_SELECTED_RAMDISK"), ntBox);
    _ntLabel->setObjectName(QStringLiteral("ntLabel"));
    _ntLabel->setAlignment(Qt::AlignCenter);
    _ntLabel->setWordWrap(true);
    _ntLabel->setFont(scaledFont(font(), 16.0 / 13.0));
    boxLayout->addWidget(_ntLabel);
    connect(ntBox, &QMBoxHighlightable::boxHighlightableClicked, this, &RamDiskConfigController::createNewRamDisk);

    _splitView->addWidget(_tableView);
    _splitView->addWidget(_rightPane);
    _splitView->setStretchFactor(0, 0);
    _splitView->setStretchFactor(1, 1);
    layout->addWidget(_splitView, 1);

    // The bottom bar.
    _barView = new RamDiskConfigBarView(this);
    _pmButton = new QMSegmentedControl(_barView);
    _pmButton->setObjectName(QStringLiteral("pmButton"));
    _pmButton->addSegment(QMAppIcons::addIcon(palette()), QStringLiteral("+"), P::localizedDefault("Add a RAM disk"));
    _pmButton->addSegment(QMAppIcons::removeIcon(palette()), QStringLiteral("\u2212"),
                          P::localizedDefault("Remove the selected RAM disk"));
    connect(_pmButton, &QMSegmentedControl::segmentClicked, this, &RamDiskConfigController::plusMoinSegAction);

    _statusField = new QMTextOverLabel(_barView);
    _statusField->setObjectName(QStringLiteral("statusField"));
    _statusField->setClickable(!QMRamDiskUtils::activityMonitorURL().isEmpty());
    connect(_statusField, &QMTextOverLabel::textOverLabelPressed, this, &RamDiskConfigController::textOverLabelPressed);

    _purgeButton = new QPushButton(P::localized("Free Up Inactive Memory"), _barView);
    _purgeButton->setObjectName(QStringLiteral("purgeButton"));
    _purgeButton->setVisible(QMRamDiskUtils::canPurgeMemory());
    connect(_purgeButton, &QPushButton::clicked, this, &RamDiskConfigController::purgeMemory);
    _barView->setControls(_pmButton, _statusField, _purgeButton);
    layout->addWidget(_barView);

    // The toolbar's commands.
    _addAction = new QAction(QMAppIcons::addIcon(palette()), P::localizedDefault("Add"), this);
    _addAction->setObjectName(QStringLiteral("addRamDiskAction"));
    _addAction->setToolTip(P::localizedDefault("Add a RAM disk"));
    connect(_addAction, &QAction::triggered, this, &RamDiskConfigController::createNewRamDisk);
    _removeAction = new QAction(QMAppIcons::removeIcon(palette()), P::localizedDefault("Remove"), this);
    _removeAction->setObjectName(QStringLiteral("removeRamDiskAction"));
    _removeAction->setToolTip(P::localizedDefault("Remove the selected RAM disk"));
    connect(_removeAction, &QAction::triggered, this, [this] { plusMoinSegAction(1); });
    _ramDiskCommandAction = new QAction(this);
    _ramDiskCommandAction->setObjectName(QStringLiteral("ramDiskCommandAction"));
    connect(_ramDiskCommandAction, &QAction::triggered, this, &RamDiskConfigController::performRamDiskCommand);

    // Saving is debounced.
    _saveTimer = new QTimer(this);
    _saveTimer->setSingleShot(true);
    _saveTimer->setInterval(500);
    connect(_saveTimer, &QTimer::timeout, this, &RamDiskConfigController::synchronizeRamDiskEntries);

    // The placeholder's text: grey, with a light shadow on a light palette.
    QPalette labelPalette = _ntLabel->palette();
    labelPalette.setColor(QPalette::WindowText, QMAppColors::placeholderTextColor(palette()));
    _ntLabel->setPalette(labelPalette);
    const QColor shadow = QMAppColors::placeholderShadowColor(palette());
    if (shadow.isValid()) {
        auto *effect = new QGraphicsDropShadowEffect(_ntLabel);
        effect->setColor(shadow);
        effect->setOffset(2, 2);
        effect->setBlurRadius(1);
        _ntLabel->setGraphicsEffect(effect);
    }

    prepareRamDiskView();
    // The divider where the user left it.
    const QVariant position = QMUserDefaults::standardUserDefaults()->value(kSplitViewKey);
    _splitView->setSizes({position.isValid() ? std::max(MainSplitView::minimumListWidth, position.toInt()) : 220, 600});
    connect(_splitView, &QSplitter::splitterMoved, this, [this] {
        QMUserDefaults::standardUserDefaults()->setValue(kSplitViewKey, _splitView->dividerPosition());
    });
    setSplitViewContent(_ntView);
    updateCommands();
}

void RamDiskConfigController::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // The window becoming main or losing key focus, and its resizing.
    if (window() != _observedWindow) {
        if (_observedWindow)
            _observedWindow->removeEventFilter(this);
        _observedWindow = window();
        if (_observedWindow && _observedWindow != this)
            _observedWindow->installEventFilter(this);
    }
}

bool RamDiskConfigController::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == _observedWindow) {
        switch (event->type()) {
        case QEvent::WindowActivate:
            if (_ramDiskEntries)
                updateRamDiskView();
            _barView->update();
            break;
        case QEvent::WindowDeactivate:
            _barView->update();
            break;
        case QEvent::Resize:
            QTimer::singleShot(0, this, [this] {
                qm_assureMinimumSizes(_splitView, MainSplitView::minimumListWidth, MainSplitView::minimumPaneWidth);
            });
            break;
        default:
            break;
        }
    }
    return QWidget::eventFilter(watched, event);
}

// ---- Refresh ------------------------------------------------------------------------------

void RamDiskConfigController::updateUI()
{
    startAutoUpdateUI();
    if (!_ramDiskEntries) {
        _ramDiskEntries = new QMRamDiskEntries(static_cast<QMRamDiskEntriesDelegate *>(this), this);
        _ramDiskEntries->readRamDisksFromDefaultLocation();
        _ramDiskEntries->setUpdator(true);
        connect(_ramDiskEntries, &QMRamDiskEntries::didChangeToAllNotification, this,
                [this](const QString &sender, bool fromThisProcess) {
                    n_ramDiskEntriesDidChangeToAllNotification(sender, fromThisProcess);
                });
        connect(_ramDiskEntries, &QMRamDiskEntries::ramDisksDidChange, this,
                &RamDiskConfigController::ramDisksDidChange);
        _listModel->setEntries(_ramDiskEntries);
    }
    updateUIWithOptions(UpdateEverything);
}

void RamDiskConfigController::updateUIWithOptions(int options)
{
    if (options == UpdateEverything || (options & UpdateRamDiskList)) {
        const QMRamDisk::Ptr selected = selectedRamDisk();
        _reloading = true;
        _listModel->reload();
        _reloading = false;
        preserveLastSelectedRamDisk(selected ? selected->identifier() : QString());
    }
    if (options == UpdateEverything || (options & UpdateRamDiskView))
        updateRamDiskView();
    redrawRow(selectedRamDisk());
    _pmButton->setEnabled(1, selectedRamDisk() != nullptr);
    updateCommands();
    if (!(options & UpdateRamDiskView) && !(options & UpdateWithoutMacInfo))
        updateUIMacInfo();
}

void RamDiskConfigController::preserveLastSelectedRamDisk(const QString &previousSelection)
{
    // The selection of the last run comes back at the first load; later reloads keep the
    // selection as it is.
    QString identifier = previousSelection;
    if (!_rememberedSelection) {
        identifier = QMUserDefaults::standardUserDefaults()->value(kSelectedRamDiskKey).toString();
        _rememberedSelection = identifier;
    }
    _reloading = true;
    setSelectedRamDisk(_ramDiskEntries ? _ramDiskEntries->ramDiskWithIdentifier(identifier) : nullptr);
    _reloading = false;
}

void RamDiskConfigController::startAutoUpdateUI()
{
    if (_autoUpdate)
        return;
    _autoUpdate = new QTimer(this);
    _autoUpdate->setInterval(1000);
    connect(_autoUpdate, &QTimer::timeout, this, &RamDiskConfigController::updateUITimer);
    _autoUpdate->start();
}

void RamDiskConfigController::stopAutoUpdateUI()
{
    if (!_autoUpdate)
        return;
    _autoUpdate->stop();
    delete _autoUpdate;
    _autoUpdate = nullptr;
}

bool RamDiskConfigController::isAutoUpdating() const
{
    return _autoUpdate != nullptr;
}

QMRamDisk::Ptr RamDiskConfigController::selectedRamDisk() const
{
    if (!_ramDiskEntries)
        return nullptr;
    const QModelIndexList rows = _tableView->selectionModel()->selectedRows();
    if (rows.isEmpty())
        return nullptr;
    return _ramDiskEntries->ramDiskWithIdentifier(_listModel->identifierAtRow(rows.first().row()));
}

void RamDiskConfigController::setSelectedRamDisk(const QMRamDisk::Ptr &ramDisk)
{
    const int row = ramDisk ? _listModel->rowOfIdentifier(ramDisk->identifier()) : -1;
    if (row < 0) {
        _tableView->clearSelection();
        _tableView->selectionModel()->clearCurrentIndex();
        return;
    }
    const QModelIndex index = _listModel->index(row);
    _tableView->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect
                                                             | QItemSelectionModel::Rows);
    _tableView->scrollTo(index);
}

void RamDiskConfigController::selectionDidChange()
{
    if (_reloading)
        return;
    rememberSelection();
    updateUIWithOptions(UpdateRamDiskView);
    emit selectedRamDiskDidChange();
}

void RamDiskConfigController::rememberSelection()
{
    const QMRamDisk::Ptr r = selectedRamDisk();
    const QString identifier = r ? r->identifier() : QString();
    if (_rememberedSelection && *_rememberedSelection == identifier)
        return;
    _rememberedSelection = identifier;
    QSettings *defaults = QMUserDefaults::standardUserDefaults();
    if (identifier.isEmpty())
        defaults->remove(kSelectedRamDiskKey);
    else
        defaults->setValue(kSelectedRamDiskKey, identifier);
}

void RamDiskConfigController::redrawRow(const QMRamDisk::Ptr &ramDisk)
{
    if (ramDisk)
        _listModel->reloadRowOfIdentifier(ramDisk->identifier());
}

void RamDiskConfigController::updateCommands()
{
    const QMRamDisk::Ptr r = selectedRamDisk();
    _removeAction->setEnabled(r != nullptr);
    QString message;
    const bool valid = r && QMRamDiskManager::canCreateWithName(r->name(), r->size(), r->type(),
                                                                r->mountDirectory(), &message);
    const P::RamDiskCommand command = P::ramDiskCommand(r, valid);
    _ramDiskCommandAction->setText(command.title);
    _ramDiskCommandAction->setIcon(wsIconForFileHFSType(command.iconTypeCode, 32));
    _ramDiskCommandAction->setEnabled(r && command.enabled);
    _ramDiskCommandAction->setToolTip(r && !valid ? message : command.title);
    _addAction->setEnabled(true);
}

void RamDiskConfigController::updateUIMacInfo()
{
    QMMemoryStatistics statistics;
    if (!QMMacInfo::getMemoryStatistics(&statistics)) {
        _statusField->setText(QString());
        _statusField->setShorterTexts({});
        _statusField->setToolTip(QString());
        return;
    }
    const QString summary = P::memorySummary(statistics);
    _statusField->setText(summary);
    _statusField->setShorterTexts(P::shorterMemorySummaries(statistics));
    _statusField->setToolTip(P::memorySummaryToolTip(summary));
    _barView->update();
}

QStringList RamDiskConfigController::runningApplications() const
{
    // The applications whose running matters here: those the presets serve, and the helper.
    static const QStringList known = {
        QStringLiteral("com.apple.Safari"),       QStringLiteral("com.apple.dt.Xcode"),
        QStringLiteral("com.apple.iphonesimulator"), QStringLiteral("com.jetbrains.AppCode"),
        QStringLiteral("org.mozilla.firefox"),    QStringLiteral("com.google.Chrome"),
        QStringLiteral("org.chromium.Chromium"),
        QMRamDiskUtils::helperBundleIdentifier(),
    };
    QStringList running;
    for (const QString &identifier : known) {
        if (QMRunningApplications::applicationForIdentifier(identifier).executables.isEmpty())
            continue;
        if (!QMRunningApplications::processIds(identifier).isEmpty())
            running << identifier;
    }
    return running;
}

void RamDiskConfigController::updateUITimer()
{
    updateUIMacInfo();
    refreshOtherProgramsActions();
    if (RamDiskEditorPane *pane = ramDiskEditorPane())
        pane->updateSavedText(selectedRamDisk());
    const QStringList running = runningApplications();
    if (!_runningApps) {
        _runningApps = running;
    } else if (*_runningApps != running) {
        // Whether a preset may be created depends on which applications run.
        _runningApps = running;
        updateRamDiskView();
        updateCommands();
    }
}

// ---- The split view ----------------------------------------------------------------------

void RamDiskConfigController::setSplitViewContent(QWidget *view)
{
    auto *pane = static_cast<SplitPaneView *>(_rightPane);
    if (pane->content() == view && view && view->isVisibleTo(pane))
        return;
    pane->setContent(view);
}

QWidget *RamDiskConfigController::splitViewContent() const
{
    return static_cast<SplitPaneView *>(_rightPane)->content();
}

// ---- The editor pane ---------------------------------------------------------------------

void RamDiskConfigController::prepareRamDiskView()
{
    // The pane's controls are made here, once.
    auto *layout = new QVBoxLayout(_ramDiskView);
    layout->setContentsMargins(0, 0, 0, 0);
    _editorPane = new RamDiskEditorPane(this, _ramDiskView);
    layout->addWidget(_editorPane);
}

void RamDiskConfigController::updateRamDiskView()
{
    const QMRamDisk::Ptr ramDisk = selectedRamDisk();
    if (!ramDisk) {
        setSplitViewContent(_ntView);
        return;
    }
    setSplitViewContent(_ramDiskView);
    _editorPane->updateRamDiskView(ramDisk);
}

void RamDiskConfigController::postCmdWindowControllerDidEnd(PostCmdWindowController *)
{
    updateUIWithOptions(UpdateRamDiskView);
    synchronizeRamDiskEntriesDelayed();
}

int RamDiskConfigController::neededContentHeight() const
{
    const int pane = std::max({_ramDiskView->minimumSizeHint().height(), _ramDiskView->minimumHeight(),
                               _ntView->minimumSizeHint().height()});
    return pane + _barView->sizeHint().height();
}

// ---- User commands -----------------------------------------------------------------------

void RamDiskConfigController::createNewRamDisk()
{
    if (!_ramDiskEntries)
        return;
    const QMRamDisk::Ptr ramDisk = _ramDiskEntries->addRamDisk();
    updateUIWithOptions(UpdateRamDiskList);
    // At the limit nothing is added: the selection is cleared and the placeholder shows.
    setSelectedRamDisk(ramDisk);
    updateUIWithOptions(UpdateRamDiskView);
    synchronizeRamDiskEntriesDelayed();
}

void RamDiskConfigController::plusMoinSegAction(int segment)
{
    if (segment == 0) {
        createNewRamDisk();
        return;
    }
    const QMRamDisk::Ptr ramDisk = selectedRamDisk();
    if (!ramDisk || ramDisk->action() != QMRamDiskAction_none || otherProgramAction(ramDisk->identifier()))
        return;
    // The user's files kept in Quilmo's folder go to the trash with the RAM disk; that is
    // asked first, like files on the RAM disk itself.
    const QMRamDisk::BackupDirs backup = ramDisk->backupDirsInAppSupport();
    if (ramDisk->status() == QMRamDiskStatus_notCreated) {
        if (backup.files > 0)
            presentRemovalAlert(ramDisk, backup);
        else
            finishRemoval(ramDisk);
        return;
    }
    if (ramDisk->hasContents() != 0 || backup.files > 0)
        presentRemovalAlert(ramDisk, backup);
    else
        ejectAndRemoveRamDisk(ramDisk);
}

void RamDiskConfigController::presentRemovalAlert(const QMRamDisk::Ptr &ramDisk, const QMRamDisk::BackupDirs &backup)
{
    const bool created = ramDisk->status() != QMRamDiskStatus_notCreated;
    QMAlertRequest alert;
    alert.objectName = QStringLiteral("RemoveRamDiskAlert");
    alert.icon = QMessageBox::Warning;
    alert.messageText = P::fill(P::localized("Are you sure you want to remove \"%@\"?"), {ramDisk->name()});
    alert.informativeText = P::removalText(created, ramDisk->backupMode() == QMRamDiskBackupMode_defaultLocation,
                                           backup.files > 0, backup.bytes);
    alert.buttons = {P::localizedDefault("Cancel"),
                     created ? P::localized("Eject and Remove") : P::localizedDefault("Remove")};
    beginRamDiskSheet(std::move(alert), ramDisk, [this](const QMRamDisk::Ptr &r) {
        if (otherProgramAction(r->identifier()))
            return;
        if (r->status() == QMRamDiskStatus_notCreated)
            finishRemoval(r);
        else
            ejectAndRemoveRamDisk(r);
    });
}

void RamDiskConfigController::beginRamDiskSheet(QMAlertRequest alert, const QMRamDisk::Ptr &ramDisk,
                                                std::function<void(const QMRamDisk::Ptr &)> confirmed)
{
    alert.window = window();
    const QString identifier = ramDisk->identifier();
    QMAlert::beginSheet(alert, [this, identifier, confirmed = std::move(confirmed)](int button) {
        if (button != 1 || !_ramDiskEntries)
            return;
        const QMRamDisk::Ptr r = _ramDiskEntries->ramDiskWithIdentifier(identifier);
        if (r && r->action() == QMRamDiskAction_none)
            confirmed(r);
    });
}

void RamDiskConfigController::backUpNow(const QMRamDisk::Ptr &ramDisk)
{
    if (!ramDisk->contentsIncomplete()) {
        _ramDiskEntries->startAction(QMRamDiskAction_backup, ramDisk, true);
        return;
    }
    QMAlertRequest alert;
    alert.objectName = QStringLiteral("BackupIncompleteAlert");
    alert.icon = QMessageBox::Warning;
    alert.messageText = P::fill(P::localizedDefault("Replace the complete copy of \"%@\" with incomplete contents?"),
                                {ramDisk->name()});
    alert.informativeText = P::localizedDefault(
        "Its restore did not copy everything, so the RAM disk holds less than its last complete copy. Backing it up "
        "replaces that copy with what it holds now. To keep the complete copy, eject the RAM disk by force instead.");
    alert.buttons = {P::localizedDefault("Cancel"), P::localizedDefault("Back Up Anyway")};
    beginRamDiskSheet(std::move(alert), ramDisk, [this](const QMRamDisk::Ptr &r) {
        if (r->status() != QMRamDiskStatus_mounted)
            return;
        r->setReplacesIncompleteCopy(true);
        _ramDiskEntries->startAction(QMRamDiskAction_backup, r, true);
    });
}

void RamDiskConfigController::ejectAndRemoveRamDisk(const QMRamDisk::Ptr &ramDisk)
{
    if (!ramDisk || !_ramDiskEntries || ramDisk->action() != QMRamDiskAction_none)
        return;
    // On a worker like any other action, its progress in the row: a RAM disk saved to its
    // backup first may take a while. Its end, after the window has shown it, removes it.
    const QString identifier = ramDisk->identifier();
    _ramDiskEntries->startAction(QMRamDiskAction_eject, ramDisk, true, [this, identifier](const QMRamDiskReport &outcome) {
        QMetaObject::invokeMethod(
            this, [this, identifier, outcome] { removalEjectDidEnd(identifier, outcome); }, Qt::QueuedConnection);
    });
    redrawRow(ramDisk);
    updateUIWithOptions(UpdateRamDiskView | UpdateWithoutMacInfo);
}

void RamDiskConfigController::removalEjectDidEnd(const QString &identifier, const QMRamDiskReport &outcome)
{
    const QMRamDisk::Ptr ramDisk = _ramDiskEntries ? _ramDiskEntries->ramDiskWithIdentifier(identifier) : nullptr;
    if (!ramDisk)
        return;
    if (outcome.error || ramDisk->status() != QMRamDiskStatus_notCreated) {
        // The error, if any, was shown with the report; the entry stays.
        QM_LogErrorMethod(this, QStringLiteral("Unable to eject RamDisk:%1").arg(ramDisk->description()));
        updateUIWithOptions(UpdateEverything);
        return;
    }
    finishRemoval(ramDisk);
}

void RamDiskConfigController::finishRemoval(const QMRamDisk::Ptr &ramDisk)
{
    // A backup in Quilmo's folder that holds files goes to the trash, never deleted: the
    // user may want them back. If it cannot go there, the RAM disk stays, backup and all.
    // An empty one goes with the entry.
    QString why;
    if (ramDisk->backupDirsInAppSupport().files > 0 && !ramDisk->trashBackupDirs(nullptr, &why)) {
        QMAlertRequest alert;
        alert.objectName = QStringLiteral("RemoveRamDiskTrashAlert");
        alert.icon = QMessageBox::Warning;
        alert.messageText = P::fill(P::localizedDefault("The backup of \"%@\" could not be moved to the trash."),
                                    {ramDisk->name()});
        alert.informativeText = P::fill(P::localizedDefault("The RAM disk was not removed. %@"), {why});
        alert.window = window();
        QMAlert::beginSheet(alert, {});
        updateUIWithOptions(UpdateEverything);
        return;
    }
    const QMRamDisk::Ptr neighbour = _ramDiskEntries->removeEntry(ramDisk);
    updateUIWithOptions(UpdateRamDiskList);
    setSelectedRamDisk(neighbour);
    updateUIWithOptions(UpdateEverything);
    // The removal reaches the file, and the other programs, like any other edit.
    synchronizeRamDiskEntriesDelayed();
}

void RamDiskConfigController::contextMenuRequested(const QPoint &position)
{
    const QModelIndex index = _tableView->indexAt(position);
    setClickedRow(index.isValid() ? index.row() : -1);
    menuNeedsUpdate(_tableMenu);
    // An empty menu is not shown at all.
    if (!_tableMenu->isEmpty())
        _tableMenu->popup(_tableView->viewport()->mapToGlobal(position));
}

void RamDiskConfigController::menuNeedsUpdate(QMenu *menu)
{
    menu->clear();
    if (!_ramDiskEntries)
        return;
    const QMRamDisk::Ptr ramDisk = _ramDiskEntries->ramDiskWithIdentifier(_listModel->identifierAtRow(_clickedRow));
    if (!ramDisk || ramDisk->action() != QMRamDiskAction_none)
        return;
    QString message;
    const bool valid = QMRamDiskManager::canCreateWithName(ramDisk->name(), ramDisk->size(), ramDisk->type(),
                                                           ramDisk->mountDirectory(), &message);
    const bool hasDiskUtility = !QMRamDiskUtils::diskUtilityURL().isEmpty();
    for (const P::MenuItem &item : P::contextMenuItems(ramDisk, valid, hasDiskUtility)) {
        if (item.separator) {
            menu->addSeparator();
            continue;
        }
        QAction *action = menu->addAction(item.title);
        action->setObjectName(QStringLiteral("contextMenuItem%1").arg(int(item.command)));
        action->setEnabled(item.enabled);
        action->setCheckable(item.checkable);
        action->setChecked(item.checked);
        if (!item.iconTypeCode.isEmpty())
            action->setIcon(wsIconForFileHFSType(item.iconTypeCode, 16));
        else if (!item.iconName.isEmpty())
            action->setIcon(QIcon(QPixmap::fromImage(QMRamDiskFunctions::icon16Named(item.iconName))));
        action->setData(QVariantList{int(item.command), ramDisk->identifier()});
    }
}

void RamDiskConfigController::mi_rightMenu(QAction *item)
{
    const QVariantList data = item ? item->data().toList() : QVariantList();
    if (data.size() != 2 || !_ramDiskEntries)
        return;
    const auto command = static_cast<P::Command>(data.at(0).toInt());
    const QMRamDisk::Ptr r = _ramDiskEntries->ramDiskWithIdentifier(data.at(1).toString());
    if (!r)
        return;
    const bool idle = r->action() == QMRamDiskAction_none;
    const qint64 status = r->status();
    switch (command) {
    case P::OpenDiskUtility:
        launchProgram(QMRamDiskUtils::diskUtilityURL());
        return;
    case P::Create:
        if (idle && status == QMRamDiskStatus_notCreated)
            _ramDiskEntries->create(r, true);
        break;
    case P::Mount:
        if (idle && status == QMRamDiskStatus_created)
            _ramDiskEntries->startAction(QMRamDiskAction_remount, r, true);
        break;
    case P::RevealInFinder:
        QMFileManager::openFolder(r->path(), window());
        return;
    case P::RevealBaseDirectory:
        QMFileManager::openFolder(QFileInfo(r->path()).absolutePath(), window());
        return;
    case P::Eject:
        if (idle && status == QMRamDiskStatus_mounted)
            _ramDiskEntries->eject(r, true);
        break;
    case P::Rebuild:
        if (idle && status == QMRamDiskStatus_mounted)
            _ramDiskEntries->startAction(QMRamDiskAction_rebuild, r, true);
        break;
    case P::Resize:
        if (idle && status == QMRamDiskStatus_mounted) {
            setSelectedRamDisk(r);
            _editorPane->beginResize();
        }
        break;
    case P::SynchroniseNow:
        if (idle && status == QMRamDiskStatus_mounted)
            _ramDiskEntries->startAction(QMRamDiskAction_copyToBase, r, true);
        break;
    case P::BackupNow:
        if (idle && status == QMRamDiskStatus_mounted)
            backUpNow(r);
        break;
    case P::CaseSensitive:
        if (status == QMRamDiskStatus_notCreated)
            r->setFormat(r->format() == QMRamDiskFormat_caseSensitiveHFSPlus ? QMRamDiskFormat_HFSPlus
                                                                             : QMRamDiskFormat_caseSensitiveHFSPlus);
        synchronizeRamDiskEntriesDelayed();
        break;
    case P::CalculateBaseSize:
        if (status == QMRamDiskStatus_notCreated)
            r->setDoNotCalculateBaseSize(!r->doNotCalculateBaseSize());
        synchronizeRamDiskEntriesDelayed();
        break;
    }
    redrawRow(r);
    if (r == selectedRamDisk())
        updateUIWithOptions(UpdateRamDiskView | UpdateWithoutMacInfo);
}

void RamDiskConfigController::performRamDiskCommand()
{
    const QMRamDisk::Ptr r = selectedRamDisk();
    if (!r || !_ramDiskEntries || r->action() != QMRamDiskAction_none)
        return;
    switch (r->status()) {
    case QMRamDiskStatus_mounted:
        _ramDiskEntries->eject(r, true);
        break;
    case QMRamDiskStatus_created:
        _ramDiskEntries->startAction(QMRamDiskAction_remount, r, true);
        break;
    default:
        _ramDiskEntries->create(r, true);
        break;
    }
    redrawRow(r);
    updateUIWithOptions(UpdateRamDiskView | UpdateWithoutMacInfo);
}

void RamDiskConfigController::openSelectedInFileManager(int row)
{
    if (!_ramDiskEntries)
        return;
    const QMRamDisk::Ptr r = _ramDiskEntries->ramDiskWithIdentifier(_listModel->identifierAtRow(row));
    if (r && r->status() == QMRamDiskStatus_mounted && !r->path().isEmpty())
        QMFileManager::openFolder(r->path(), window());
}

bool RamDiskConfigController::moveRamDisk(int row, const QString &identifier)
{
    if (!_ramDiskEntries || !_ramDiskEntries->setPositionIndex(row, identifier))
        return false;
    // The list is read again; the RAM disk selected before the drop stays selected.
    updateUIWithOptions(UpdateRamDiskList);
    return true;
}

void RamDiskConfigController::textOverLabelPressed()
{
    launchProgram(QMRamDiskUtils::activityMonitorURL());
}

void RamDiskConfigController::purgeMemory()
{
    if (!QMRamDiskUtils::purgeMemory())
        QM_LogErrorMethod(this, QStringLiteral("purgeMemory==NO"));
}

// ---- Saving ------------------------------------------------------------------------------

void RamDiskConfigController::synchronizeRamDiskEntriesDelayed()
{
    _saveTimer->start(); // restarts a pending one
}

bool RamDiskConfigController::hasPendingSave() const
{
    return _saveTimer->isActive();
}

void RamDiskConfigController::synchronizeRamDiskEntries()
{
    _saveTimer->stop();
    if (!_ramDiskEntries)
        return;
    _ramDiskEntries->synchronizeHelperAuto();
    // Every save is told: the helper's schedule and the other windows follow the file.
    if (_ramDiskEntries->writeRamDisksToDefaultLocation())
        QMRamDiskEntries::postDidChangeToAllNotificationWithSender(QMRamDiskEntries::appSender(),
                                                                   _ramDiskEntries->entriesFilePath());
    // A RAM disk mounted here, or given a backup while mounted, is saved by Quilmo-Helper
    // for the rest of the session, tray menu or not.
    QMRamDiskAutoSave::ensureGuardFor(_ramDiskEntries->ramDisks());
}

void RamDiskConfigController::synchronize()
{
    synchronizeRamDiskEntries();
    // The selection was remembered when it changed.
    QMUserDefaults::standardUserDefaults()->sync();
}

// ---- Application events ------------------------------------------------------------------

void RamDiskConfigController::wantTerminate()
{
    _terminating = true;
    if (_ramDiskEntries)
        _ramDiskEntries->waitingEndAll();
    stopAutoUpdateUI();
}

void RamDiskConfigController::applicationWillTerminate()
{
    if (!_ramDiskEntries)
        return;
    // RAM disks stay mounted. The helper stays for its menu when it is wanted at login, and
    // for the RAM disks it saves: those are saved for the rest of the session (the helper
    // takes its menu away by itself once Quilmo has gone). Otherwise it is asked to quit.
    const QList<QMRamDisk::Ptr> ramDisks = _ramDiskEntries->ramDisks();
    if (QMRamDiskAutoSave::needsGuard(ramDisks))
        QMRamDiskAutoSave::ensureGuardFor(ramDisks);
    else if (!(_ramDiskEntries->showInMenuBar() && _ramDiskEntries->showInMenuBarAtLogin()))
        QMRamDiskUtils::setHelperIsRunning(false);
}

// ---- The menu-bar helper -----------------------------------------------------------------

bool RamDiskConfigController::helperIsRunning() const
{
    return QMRamDiskUtils::helperIsRunning();
}

void RamDiskConfigController::setHelperIsRunning(bool running)
{
    if (!_ramDiskEntries)
        return;
    _ramDiskEntries->setShowInMenuBar(running);
    if (!running)
        setHelperIsAtLogin(false);
    // Both flags reach the file together, so the helper never reads one without the other;
    // a running helper hears of them (the save is announced) and shows or takes away its
    // menu.
    synchronizeRamDiskEntries();
    if (running)
        QMRamDiskUtils::ensureHelperIsRunning();
    else if (!QMRamDiskAutoSave::needsGuard(_ramDiskEntries->ramDisks()))
        QMRamDiskUtils::setHelperIsRunning(false);
}

bool RamDiskConfigController::helperIsAtLogin() const
{
    if (!_ramDiskEntries)
        return false;
    bool valid = false;
    const QUrl helper = QMRamDiskUtils::helperURL();
    return !helper.isEmpty() && QMSharedLoginItems::isLoginItem(helper, &valid) && valid
           && _ramDiskEntries->showInMenuBarAtLogin();
}

void RamDiskConfigController::setHelperIsAtLogin(bool atLogin)
{
    if (!_ramDiskEntries)
        return;
    _ramDiskEntries->setShowInMenuBarAtLogin(atLogin);
    _ramDiskEntries->setNeedsSynchronizeHelper(true);
    _ramDiskEntries->synchronizeHelperAuto();
    synchronizeRamDiskEntriesDelayed();
}

// ---- The store's callbacks ---------------------------------------------------------------

void RamDiskConfigController::ramDiskEntries(QMRamDiskEntries *entries, const QMRamDisk::Ptr &ramDisk)
{
    ramDiskEntriesDidReport(entries, ramDisk, ramDisk->report());
}

void RamDiskConfigController::ramDiskEntriesDidReport(QMRamDiskEntries *, const QMRamDisk::Ptr &ramDisk,
                                                      const QMRamDiskReport &report)
{
    // On the action's thread: handed to the main thread without waiting. The report keeps
    // the values of its moment; the record will have moved on when it is read there.
    QMetaObject::invokeMethod(
        this, [this, ramDisk, report] { mt_ramDiskDidUpdated(ramDisk, report); }, Qt::QueuedConnection);
}

void RamDiskConfigController::mt_ramDiskDidUpdated(const QMRamDisk::Ptr &ramDisk, const QMRamDiskReport &report)
{
    if (report.action == QMRamDiskAction_none)
        _listModel->clearProgress(ramDisk->identifier());
    else
        _listModel->setProgress(ramDisk->identifier(), report.action, report.actionInfo);
    redrawRow(ramDisk);
    if (ramDisk == selectedRamDisk())
        updateUIWithOptions(UpdateRamDiskView | UpdateWithoutMacInfo);
    updateUIMacInfo();
    if (report.action == QMRamDiskAction_none) {
        synchronizeRamDiskEntries();
        // Something the user must hear of although the action succeeded.
        if (!report.warning.isEmpty() && !_terminating) {
            QMAlertRequest alert;
            alert.objectName = QStringLiteral("RamDiskWarningAlert");
            alert.icon = QMessageBox::Information;
            alert.messageText = ramDisk->displayName();
            alert.informativeText = report.warning;
            alert.window = window();
            QMAlert::beginSheet(alert, {});
        }
    }
    // Each error is shown once.
    if (report.error && !report.error->isNotified()) {
        report.error->setIsNotified(true);
        if (!_terminating)
            report.error->presentWIthTitle(QString(), window());
    }
    // What another program announced meanwhile.
    if (_reloadPending && _ramDiskEntries && !_ramDiskEntries->hasRunningAction())
        reloadFromFile();
    emit selectedRamDiskDidChange();
}

void RamDiskConfigController::ramDisksDidChange()
{
    // This view's own changes reload the list where they are made; what is left are
    // changes made elsewhere (the file read again, say).
    if (!_listModel->matchesEntries())
        updateUIWithOptions(UpdateRamDiskList);
}

void RamDiskConfigController::ramDiskEntriesUpdator(QMRamDiskEntries *, const QMRamDisk::Ptr &ramDisk)
{
    redrawRow(ramDisk);
    if (ramDisk == selectedRamDisk()) {
        updateRamDiskView();
        updateCommands();
        emit selectedRamDiskDidChange();
    }
    updateUIMacInfo();
}

void RamDiskConfigController::n_ramDiskEntriesDidChangeToAllNotification(const QString &sender,
                                                                         bool fromThisProcess)
{
    Q_UNUSED(sender); // the helper, quilmoctl, or the window of another session
    if (fromThisProcess || !_ramDiskEntries || _terminating)
        return;
    refreshOtherProgramsActions();
    if (_ramDiskEntries->hasRunningAction()) {
        // Read once the action has ended.
        QM_LogErrorMethod(this, QStringLiteral("hasRunningAction==YES"));
        _reloadPending = true;
        return;
    }
    reloadFromFile();
}

void RamDiskConfigController::reloadFromFile()
{
    _reloadPending = false;
    // What was edited here and not yet written goes into the file first; the read then
    // brings the others' changes into the same record objects.
    if (hasPendingSave() || _ramDiskEntries->hasUnsavedChanges())
        synchronizeRamDiskEntries();
    _ramDiskEntries->readRamDisksFromDefaultLocation();
    closeEditorsOfRemovedRamDisks();
    updateUI();
}

void RamDiskConfigController::closeEditorsOfRemovedRamDisks()
{
    PostCmdWindowController *sheet = _editorPane->postCmdWindowController();
    if (!sheet || !sheet->isVisible() || !sheet->ramDisk()
        || _ramDiskEntries->ramDiskWithIdentifier(sheet->ramDisk()->identifier()))
        return;
    const QString name = sheet->ramDisk()->name();
    sheet->endSheetWindow();
    QMAlertRequest alert;
    alert.objectName = QStringLiteral("RamDiskRemovedAlert");
    alert.icon = QMessageBox::Information;
    alert.messageText = P::fill(P::localizedDefault("\"%@\" was removed by another program."), {name});
    alert.informativeText = P::localizedDefault("Its post command was not kept.");
    alert.window = window();
    QMAlert::beginSheet(alert, {});
}

std::optional<QPair<qint64, qint64>> RamDiskConfigController::otherProgramAction(const QString &identifier) const
{
    const auto it = _otherProgramActions.constFind(identifier);
    if (it == _otherProgramActions.constEnd())
        return std::nullopt;
    return *it;
}

void RamDiskConfigController::refreshOtherProgramsActions()
{
    if (!_ramDiskEntries)
        return;
    QHash<QString, QPair<qint64, qint64>> now;
    for (const QMRamDisk::Ptr &r : _ramDiskEntries->ramDisks()) {
        if (r->action() != QMRamDiskAction_none)
            continue; // this program's own: its reports show it
        const auto holder = QMRamDiskActionLock::holderOf(r->identifier());
        if (holder && holder->action > 0 && holder->pid != QCoreApplication::applicationPid())
            now.insert(r->identifier(), {holder->action, holder->actionInfo});
    }
    if (now == _otherProgramActions)
        return;
    QSet<QString> changed;
    for (auto it = now.cbegin(); it != now.cend(); ++it)
        if (_otherProgramActions.value(it.key()) != it.value())
            changed << it.key();
    for (auto it = _otherProgramActions.cbegin(); it != _otherProgramActions.cend(); ++it)
        if (!now.contains(it.key()))
            changed << it.key();
    _otherProgramActions = now;
    for (const QString &identifier : std::as_const(changed)) {
        const QMRamDisk::Ptr r = _ramDiskEntries->ramDiskWithIdentifier(identifier);
        if (!r)
            continue;
        if (const auto running = otherProgramAction(identifier))
            _listModel->setOtherProgramProgress(identifier, running->first, running->second);
        else
            _listModel->clearOtherProgramProgress(identifier);
        // Done there: what it left shows at once, not at the next refresh.
        if (!now.contains(identifier))
            r->update();
        redrawRow(r);
        if (r == selectedRamDisk()) {
            updateRamDiskView();
            updateCommands();
        }
    }
}

// ---- The problem report ------------------------------------------------------------------

QMCrashReporter::RamDiskProfile RamDiskConfigController::ramDiskProfile() const
{
    QMCrashReporter::RamDiskProfile profile;
    if (!_ramDiskEntries)
        return profile;
    int n = 0;
    for (const QMRamDisk::Ptr &r : _ramDiskEntries->ramDisks()) {
        profile.lines << QStringLiteral("%1. %2, type %3, format %4, backup mode %5, indexing %6, status %7, "
                                        "action %8, create at login %9")
                             .arg(++n)
                             .arg(QMRamDiskFunctions::stringFromBytesWithBin1000Style(qint64(r->size())))
                             .arg(r->type())
                             .arg(r->format())
                             .arg(r->backupMode())
                             .arg(r->mdIndexMode())
                             .arg(r->status())
                             .arg(r->action())
                             .arg(r->createAtLogin() ? QStringLiteral("yes") : QStringLiteral("no"));
    }
    return profile;
}
