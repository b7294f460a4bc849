#pragma once

#include "QMRamDisk.h"
#include "RamDiskEditorPresentation.h"

#include <QImage>
#include <QPointer>
#include <QWidget>

class PostCmdWindowController;
class PostCommandTextField;
class QCheckBox;
class QComboBox;
class QGridLayout;
class QLabel;
class QLineEdit;
class QMSpinner;
class QProgressBar;
class QPushButton;
class QSlider;
class RamDiskConfigController;

// The editor pane of the main window: every setting of the selected RAM disk, and the one
// button that creates, mounts or ejects it, with a spinner and a line of progress or of the
// reason it cannot be created. Each edit goes into the record at once and is saved by the
// configuration controller half a second later; every refresh rebuilds the controls from
// the record, so the pane keeps no state of its own.
//
// Controls carry their field names (without the underscore) as object names.
class RamDiskEditorPane : public QWidget
{
    Q_OBJECT

public:
    RamDiskEditorPane(RamDiskConfigController *controller, QWidget *parent = nullptr);

    // Rebuilds every control from the RAM disk.
    void updateRamDiskView(const QMRamDisk::Ptr &ramDisk);
    // Brings "Saved 3 minutes ago" up to date, if the progress line shows it: the clock
    // moves without any refresh.
    void updateSavedText(const QMRamDisk::Ptr &ramDisk);
    // The one reaction to the pane's controls (the name and post-command fields also call it
    // on every keystroke).
    void changeAction(QObject *sender);

    // The folder choosers of the mount point and of the backup.
    void chooseMountDirectory();
    void chooseBackupDirectory();
    // panel:validateURL:error: of the mount-directory chooser, for the RAM disk `ramDisk`.
    static bool validateMountDirectory(const QString &path, const QMRamDisk::Ptr &ramDisk, QString *message);
    static bool validateBackupDirectory(const QString &path, const QMRamDisk::Ptr &ramDisk, QString *message);

    // Made on first use and kept.
    PostCmdWindowController *postCmdWindowController() const;

    // Puts the keyboard on the capacity slider of a mounted RAM disk that can be resized
    // ("Resize…"): the slider chooses the size, the Resize button applies it.
    void beginResize();

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    QMRamDisk::Ptr selectedRamDisk() const;
    void prepare();
    void addRow(QLabel *label, QWidget *control, QWidget *extra = nullptr);
    // Where the backdrop image goes: the free place under the labels.
    QRect backdropArea() const;
    void openPostCmdSheet();
    void postCommandEdited();
    void fillMenu(QComboBox *combo, const RamDiskEditorPresentation::Menu &menu);
    // True when the menu's list is open: its refresh waits until it closes.
    bool deferredWhileOpen(QComboBox *menu);
    QIcon iconOfItem(const RamDiskEditorPresentation::MenuItem &item) const;
    // After an edit that may have given or taken the RAM disk's save (type, mount point,
    // backup): its schedule follows.
    void followSaving(const QMRamDisk::Ptr &ramDisk, bool savedBefore);

    RamDiskConfigController *_controller = nullptr;
    QGridLayout *_grid = nullptr;
    int _rows = 0;
    int _typeSelected = -1; // the type menu's entry at the last refresh
    bool _refreshing = false;
    bool _showsSavedText = false; // the progress line says when the RAM disk was saved
    // While mounted, the slider chooses the size the Resize button gives the volume; the
    // record keeps the size the volume has until the resize is done.
    quint64 _resizeSize = 0;
    QString _resizeFor; // the identifier of the RAM disk _resizeSize is for
    bool _refreshWhenClosed = false; // a refresh skipped an open menu

    // Fields of the design.
    QWidget *_rdImageView = nullptr;
    QLabel *_rdTypeLabel = nullptr;
    QComboBox *_rdTypePopUp = nullptr;
    QLabel *_rdNameLabel = nullptr;
    QLineEdit *_rdNameField = nullptr;
    QLabel *_rdSizeLabel = nullptr;
    QSlider *_rdSizeSlider = nullptr;
    QLabel *_rdSizeValueLabel = nullptr;
    QProgressBar *_rdUsageIndictator = nullptr;
    QPushButton *_rdResizeButton = nullptr;
    QLabel *_rdMountLabel = nullptr;
    QComboBox *_rdMountPointPopUp = nullptr;
    QLabel *_rdOptionsLabel = nullptr;
    QCheckBox *_rdCreateAtLoginButton = nullptr;
    QCheckBox *_rdPreferWiredButton = nullptr;
    QLabel *_rdCaseNoteLabel = nullptr;
    QLabel *_rdPostCmdLabel = nullptr;
    PostCommandTextField *_rdPostCmdField = nullptr;
    QLabel *rdMdIndexLabel = nullptr;
    QComboBox *rdMdIndexPopup = nullptr;
    QLabel *_rdBackupLabel = nullptr;
    QComboBox *_rdBackupPopup = nullptr;
    QLabel *_rdAutoSaveLabel = nullptr;
    QComboBox *_rdAutoSavePopup = nullptr;
    QLabel *_rdBackupStartLabel = nullptr;
    QPushButton *_rdCreateButton = nullptr;
    QMSpinner *_rdCreatePIndicator = nullptr;
    QLabel *_rdCreatePIndicatorLabel = nullptr;

    QPointer<PostCmdWindowController> _postCmdWindowController;
};
