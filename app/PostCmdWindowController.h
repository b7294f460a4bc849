#pragma once

#include "QMRamDisk.h"

#include <QDialog>
#include <QStringList>

#include <memory>

class PostCmdField;
class QMSegmentedControl;
class QMSpinner;
class QPushButton;
class QStringListModel;
class QTableView;
class QTimer;

// The post-command sheet: the command's path (typed, or chosen in a file chooser), its
// arguments as an editable list, and a test run in the RAM disk's directory whose output
// is shown in an alert. There is no cancel: closing the sheet keeps the path as edited and
// stores the arguments. Made once by the editor pane and reused for every RAM disk.
class PostCmdWindowController : public QDialog
{
    Q_OBJECT

public:
    // What a test run hands back to the main thread. `sender` is the run that produced it:
    // a result whose run is no longer the current one is dropped.
    struct TestResult
    {
        quint64 sender = 0;
        bool run = false; // the command was started
        qint64 status = 0;
        QString report;
    };

    explicit PostCmdWindowController(QWidget *parent = nullptr);
    ~PostCmdWindowController() override;

    // Opens the sheet on `window` for the RAM disk (window-modal; returns at once).
    void beginSheetForWindow(QWidget *window, const QMRamDisk::Ptr &ramDisk);
    // Drops a running test, tells the pane, and closes the sheet.
    void endSheetWindow();

    // The sheet's buttons.
    void choosePath();
    void addRemoveSegAction(int segment);
    void testButtonAction();
    void okButtonAction();

    // The arguments to store or run: each row trimmed, empty rows dropped, order kept.
    QStringList argumentsFromObjectList() const;
    static QStringList argumentsFromRows(const QStringList &rows);
    // "OUTPUT:\n%@\n\nERROR:\n%@\n", "<nothing>" for an empty stream.
    static QString reportFromOutput(const QString &stdOut, const QString &stdErr);

    QMRamDisk::Ptr ramDisk() const { return _ramDisk; }
    QStringList objectList() const;
    bool isTesting() const { return _testOp != 0; }

    // Closing the sheet (Escape, the window's close button) is the OK button.
    void reject() override;

signals:
    void didEnd(PostCmdWindowController *controller);

private:
    struct Relay;

    void mt_testOp(const TestResult &result);
    void setTesting(bool testing);
    void updateRemoveSegment();
    void pathEdited(const QString &text);

    QMRamDisk::Ptr _ramDisk;
    quint64 _testOp = 0; // the current run; 0 when none
    quint64 _lastTestOp = 0;
    std::shared_ptr<Relay> _relay;

    PostCmdField *_mPathField = nullptr;
    QPushButton *_mPathChooseButton = nullptr;
    QTableView *_mTableView = nullptr;
    QStringListModel *_model = nullptr; // holds `_objectList`
    QMSegmentedControl *_mPlusMinusSegControl = nullptr;
    QMSpinner *_mTestIndicator = nullptr;
    QPushButton *_mTestButton = nullptr;
    QPushButton *_mOkButton = nullptr;
    QTimer *_editTimer = nullptr;
};
