#include "PostCmdWindowController.h"

#include "PostCmdField.h"
#include "QMAlert.h"
#include "QMAppIcons.h"
#include "QMFileChooser.h"
#include "QMFunctions.h"
#include "QMLog.h"
#include "QMRamDiskDevice.h"
#include "QMSegmentedControl.h"
#include "QMSpinner.h"
#include "QMWindowTitle.h"
#include "RamDiskConfigPresentation.h"

#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QPushButton>
#include <QStringListModel>
#include <QTableView>
#include <QTimer>

#include <mutex>
#include <thread>

namespace {

using P = RamDiskConfigPresentation;

// The argument rows: editable only while no test runs, and an empty edit keeps the row.
class ArgumentsModel : public QStringListModel
{
public:
    using QStringListModel::QStringListModel;

    bool editable = true;

    Qt::ItemFlags flags(const QModelIndex &index) const override
    {
        Qt::ItemFlags f = QStringListModel::flags(index) & ~(Qt::ItemIsDragEnabled | Qt::ItemIsDropEnabled);
        if (!editable)
            f &= ~Qt::ItemIsEditable;
        return f;
    }

    bool setData(const QModelIndex &index, const QVariant &value, int role) override
    {
        if (role == Qt::EditRole && value.toString().isEmpty())
            return false;
        return QStringListModel::setData(index, value, role);
    }
};

// A table that can hand an open editor's text to the model before it is read.
class ArgumentsTable : public QTableView
{
public:
    using QTableView::QTableView;

    void commitOpenEditor()
    {
        if (state() != EditingState)
            return;
        if (QWidget *editor = indexWidget(currentIndex())) {
            commitData(editor);
            closeEditor(editor, QAbstractItemDelegate::NoHint);
        }
    }
};

ArgumentsTable *table(QTableView *view)
{
    return static_cast<ArgumentsTable *>(view);
}

} // namespace

// Where a test run's result goes: nowhere once the sheet is gone, so a run that outlives it
// never reaches a deleted object.
struct PostCmdWindowController::Relay
{
    std::mutex mutex;
    PostCmdWindowController *target = nullptr;
};

PostCmdWindowController::PostCmdWindowController(QWidget *parent)
    : QDialog(parent), _relay(std::make_shared<Relay>())
{
    _relay->target = this;
    setObjectName(QStringLiteral("PostCmdWindowController"));
    setWindowTitle(P::localizedDefault("Post Command"));
    setModal(false);

    auto *grid = new QGridLayout(this);
    auto *pathLabel = new QLabel(P::localizedDefault("Command:"), this);
    grid->addWidget(pathLabel, 0, 0);
    _mPathField = new PostCmdField(this);
    _mPathField->setObjectName(QStringLiteral("mPathField"));
    _mPathField->setMinimumWidth(_mPathField->fontMetrics().horizontalAdvance(QString(44, QLatin1Char('x'))));
    pathLabel->setBuddy(_mPathField);
    grid->addWidget(_mPathField, 0, 1);
    _mPathChooseButton = new QPushButton(P::localizedDefault("Choose…"), this);
    _mPathChooseButton->setObjectName(QStringLiteral("mPathChooseButton"));
    _mPathChooseButton->setAutoDefault(false);
    grid->addWidget(_mPathChooseButton, 0, 2);

    auto *argsLabel = new QLabel(P::localizedDefault("Arguments:"), this);
    grid->addWidget(argsLabel, 1, 0, 1, 3);
    _model = new ArgumentsModel(this);
    _mTableView = new ArgumentsTable(this);
    _mTableView->setObjectName(QStringLiteral("mTableView"));
    _mTableView->setModel(_model);
    _mTableView->horizontalHeader()->hide();
    _mTableView->horizontalHeader()->setStretchLastSection(true);
    _mTableView->verticalHeader()->hide();
    _mTableView->setSelectionBehavior(QAbstractItemView::SelectRows);
    _mTableView->setSelectionMode(QAbstractItemView::SingleSelection);
    _mTableView->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed
                                 | QAbstractItemView::SelectedClicked);
    _mTableView->setAlternatingRowColors(true);
    _mTableView->setMinimumHeight(_mTableView->verticalHeader()->defaultSectionSize() * 5 + 4);
    argsLabel->setBuddy(_mTableView);
    grid->addWidget(_mTableView, 2, 0, 1, 3);
    grid->setRowStretch(2, 1);
    grid->setColumnStretch(1, 1);

    auto *bottom = new QHBoxLayout;
    _mPlusMinusSegControl = new QMSegmentedControl(this);
    _mPlusMinusSegControl->setObjectName(QStringLiteral("mPlusMinusSegControl"));
    _mPlusMinusSegControl->addSegment(QMAppIcons::addIcon(palette()), QStringLiteral("+"),
                                      P::localizedDefault("Add an argument"));
    _mPlusMinusSegControl->addSegment(QMAppIcons::removeIcon(palette()), QStringLiteral("\u2212"),
                                      P::localizedDefault("Remove the selected argument"));
    bottom->addWidget(_mPlusMinusSegControl);
    bottom->addStretch(1);
    _mTestIndicator = new QMSpinner(this);
    _mTestIndicator->setObjectName(QStringLiteral("mTestIndicator"));
    bottom->addWidget(_mTestIndicator);
    _mTestButton = new QPushButton(P::localizedDefault("Test"), this);
    _mTestButton->setObjectName(QStringLiteral("mTestButton"));
    _mTestButton->setAutoDefault(false);
    _mTestButton->setToolTip(P::localizedDefault("Runs the command now, in the RAM disk's folder, and shows what it printed"));
    bottom->addWidget(_mTestButton);
    _mOkButton = new QPushButton(P::localizedDefault("OK"), this);
    _mOkButton->setObjectName(QStringLiteral("mOkButton"));
    _mOkButton->setDefault(true);
    bottom->addWidget(_mOkButton);
    grid->addLayout(bottom, 3, 0, 1, 3);

    _editTimer = new QTimer(this);
    _editTimer->setSingleShot(true);
    _editTimer->setInterval(330);
    connect(_editTimer, &QTimer::timeout, this, [this] {
        const int last = _model->rowCount() - 1;
        if (last >= 0 && !isTesting())
            _mTableView->edit(_model->index(last, 0));
    });

    connect(_mPathField, &QLineEdit::textEdited, this, &PostCmdWindowController::pathEdited);
    connect(_mPathChooseButton, &QPushButton::clicked, this, &PostCmdWindowController::choosePath);
    connect(_mPlusMinusSegControl, &QMSegmentedControl::segmentClicked, this,
            &PostCmdWindowController::addRemoveSegAction);
    connect(_mTableView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &PostCmdWindowController::updateRemoveSegment);
    connect(_mTestButton, &QPushButton::clicked, this, &PostCmdWindowController::testButtonAction);
    connect(_mOkButton, &QPushButton::clicked, this, &PostCmdWindowController::okButtonAction);
    updateRemoveSegment();
    QMWindowTitle::fitWidthToTitle(this);
}

PostCmdWindowController::~PostCmdWindowController()
{
    std::lock_guard lock(_relay->mutex);
    _relay->target = nullptr;
}

QStringList PostCmdWindowController::objectList() const
{
    return _model->stringList();
}

void PostCmdWindowController::beginSheetForWindow(QWidget *window, const QMRamDisk::Ptr &ramDisk)
{
    if (!window) {
        QM_CriticalException(this, "window==nil");
        return;
    }
    _ramDisk = ramDisk;
    _testOp = 0;
    setTesting(false);
    _mPathField->setText(ramDisk ? ramDisk->postCmd() : QString());
    _mPathField->updateUIStatus();
    _model->setStringList(ramDisk ? ramDisk->postCmdArgs().value_or(QStringList()) : QStringList());
    _mTableView->clearSelection();
    updateRemoveSegment();

    if (parentWidget() != window)
        setParent(window, Qt::Dialog);
    setWindowModality(Qt::WindowModal);
    open();
}

void PostCmdWindowController::endSheetWindow()
{
    _testOp = 0;
    _editTimer->stop();
    setTesting(false);
    emit didEnd(this);
    QDialog::done(QDialog::Accepted);
}

void PostCmdWindowController::reject()
{
    okButtonAction();
}

void PostCmdWindowController::pathEdited(const QString &text)
{
    const QString completed = QMRamDiskDevice::completePostCommand(text);
    if (!completed.isNull() && completed != text)
        _mPathField->setText(completed);
    if (_ramDisk)
        _ramDisk->setPostCmd(_mPathField->text());
    _mPathField->updateUIStatus();
}

void PostCmdWindowController::choosePath()
{
    QMFileChooserRequest request;
    request.objectName = QStringLiteral("PostCmdFileChooser");
    request.title = P::localizedDefault("Choose the Post Command");
    request.chooseDirectories = false;
    request.showHidden = true;
    request.canCreateDirectories = false;
    const QString current = _ramDisk ? _ramDisk->postCmd() : QString();
    const QString folder = current.isEmpty() ? QString() : QFileInfo(current).absolutePath();
    request.directory = !folder.isEmpty() && QFileInfo(folder).isDir() ? folder : QDir::homePath();
    request.validate = [](const QString &path, QString *message) {
        QString reason;
        if (QMRamDiskDevice::canStartPostCommand(path, &reason))
            return true;
        if (message)
            *message = reason;
        return false;
    };
    request.window = this;
    QMFileChooser::open(request, [this, ramDisk = _ramDisk](const QString &path) {
        if (path.isNull() || !ramDisk || ramDisk != _ramDisk)
            return;
        ramDisk->setPostCmd(path);
        _mPathField->setText(path);
        _mPathField->updateUIStatus();
    });
}

void PostCmdWindowController::addRemoveSegAction(int segment)
{
    if (isTesting())
        return;
    if (segment == 0) {
        _editTimer->stop();
        const int row = _model->rowCount();
        _model->insertRows(row, 1);
        _mTableView->selectionModel()->setCurrentIndex(_model->index(row, 0), QItemSelectionModel::ClearAndSelect
                                                                                    | QItemSelectionModel::Rows);
        // The new row opens for typing a moment later, once the table has settled.
        _editTimer->start();
        return;
    }
    const QModelIndexList selected = _mTableView->selectionModel()->selectedRows();
    if (selected.isEmpty())
        return;
    const int row = selected.first().row();
    if (row < 0 || row >= _model->rowCount())
        return;
    table(_mTableView)->commitOpenEditor();
    _model->removeRows(row, 1);
    updateRemoveSegment();
}

void PostCmdWindowController::updateRemoveSegment()
{
    const bool hasSelection = _mTableView->selectionModel() && _mTableView->selectionModel()->hasSelection();
    _mPlusMinusSegControl->setEnabled(1, hasSelection && !isTesting());
}

QStringList PostCmdWindowController::argumentsFromRows(const QStringList &rows)
{
    QStringList arguments;
    for (const QString &row : rows) {
        const QString trimmed = row.trimmed();
        if (!trimmed.isEmpty())
            arguments << trimmed;
    }
    return arguments;
}

QStringList PostCmdWindowController::argumentsFromObjectList() const
{
    return argumentsFromRows(_model->stringList());
}

QString PostCmdWindowController::reportFromOutput(const QString &stdOut, const QString &stdErr)
{
    const QString nothing = QStringLiteral("<nothing>");
    QString report = QStringLiteral("OUTPUT:\n");
    report += (stdOut.isEmpty() ? nothing : stdOut) + QLatin1Char('\n');
    report += QStringLiteral("\nERROR:\n");
    report += (stdErr.isEmpty() ? nothing : stdErr) + QLatin1Char('\n');
    return report;
}

void PostCmdWindowController::setTesting(bool testing)
{
    if (testing)
        _mTestIndicator->startAnimation();
    else
        _mTestIndicator->stopAnimation();
    static_cast<ArgumentsModel *>(_model)->editable = !testing;
    if (testing)
        table(_mTableView)->commitOpenEditor();
    _mPathChooseButton->setEnabled(!testing);
    _mTableView->setEnabled(!testing);
    _mPlusMinusSegControl->QWidget::setEnabled(!testing);
    _mTestButton->setEnabled(!testing);
    _mOkButton->setEnabled(!testing);
    updateRemoveSegment();
}

void PostCmdWindowController::testButtonAction()
{
    if (!_ramDisk || isTesting())
        return;
    table(_mTableView)->commitOpenEditor();
    const QString command = _ramDisk->postCmd().trimmed();
    const QStringList arguments = argumentsFromObjectList();
    // The RAM disk's folder; one that is not mounted has none yet, and the command then
    // runs in the home folder rather than wherever Quilmo was started.
    QString directory = _ramDisk->path();
    if (directory.isEmpty() || !QFileInfo(directory).isDir())
        directory = QDir::homePath();

    _testOp = ++_lastTestOp;
    setTesting(true);
    const quint64 sender = _testOp;
    std::shared_ptr<Relay> relay = _relay;
    // The thread gets copies that share nothing with the window's strings: those are let go
    // inside Qt, whose reference counting the thread checker cannot follow.
    const auto unshared = [](const QString &s) { return QString(s.constData(), s.size()); };
    QStringList threadArguments;
    for (const QString &argument : arguments)
        threadArguments << unshared(argument);
    // A plain detached thread: a command that never ends must not hold up Quilmo's quit.
    std::thread([relay, sender, command = unshared(command), arguments = std::move(threadArguments),
                 directory = unshared(directory)] {
        TestResult result;
        result.sender = sender;
        QString out, err;
        result.run = QMFunctions::executeCommand(command, arguments, std::nullopt, directory, &result.status, &out,
                                                 &err);
        result.report = reportFromOutput(out, err);
        std::lock_guard lock(relay->mutex);
        if (PostCmdWindowController *target = relay->target)
            QMetaObject::invokeMethod(target, [target, result] { target->mt_testOp(result); }, Qt::QueuedConnection);
    }).detach();
}

void PostCmdWindowController::mt_testOp(const TestResult &result)
{
    if (result.sender == 0 || result.sender != _testOp)
        return; // a run that was replaced, or the sheet closed meanwhile
    _testOp = 0;
    setTesting(false);
    QMAlertRequest alert;
    alert.objectName = QStringLiteral("PostCmdTestAlert");
    alert.window = this;
    if (!result.run) {
        alert.icon = QMessageBox::Warning;
        alert.messageText = P::localizedDefault("Unable to start post-command");
        alert.informativeText = P::localizedDefault("Check that the command is a program you may run: its file "
                                                    "exists and is executable.");
    } else {
        alert.icon = result.status == 0 ? QMessageBox::Information : QMessageBox::Warning;
        alert.messageText = P::fill(P::localizedDefault("Terminated with status: %@"), {QString::number(result.status)});
        alert.outputText = result.report;
    }
    QMAlert::beginSheet(alert, {});
}

void PostCmdWindowController::okButtonAction()
{
    table(_mTableView)->commitOpenEditor();
    if (_ramDisk) {
        const QStringList arguments = argumentsFromObjectList();
        _ramDisk->setPostCmdArgs(arguments.isEmpty() ? std::nullopt : std::optional<QStringList>(arguments));
    }
    endSheetWindow();
}
