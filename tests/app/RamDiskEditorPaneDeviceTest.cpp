// The editor pane on a real RAM disk: set up in the pane, created with its button (spinner
// and progress line while it runs), ejected with its button into its backup.
#include "AppDeviceTestSupport.h"
#include "QMRamDiskDevice.h"
#include "QMRamDiskTestSupport.h"
#include "QMSpinner.h"
#include "QMTestSupport.h"
#include "RamDiskConfigController.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>

using namespace QMAppTest;

namespace {

int indexOf(QComboBox *combo, const QString &title)
{
    for (int i = 0; i < combo->count(); ++i)
        if (combo->itemText(i).trimmed() == title)
            return i;
    return -1;
}

void choose(QComboBox *combo, const QString &title)
{
    const int index = indexOf(combo, title);
    ASSERT_GE(index, 0) << title.toStdString();
    combo->setCurrentIndex(index);
    emit combo->activated(index);
}

} // namespace

using EditorPaneDeviceTest = AppDeviceTest;

TEST_F(EditorPaneDeviceTest, SetUpInThePaneCreatedAndEjectedIntoItsBackup)
{
    const QString mountDirectory = sandbox.mkdir(QStringLiteral("mnt"));
    writeRecords(1);
    AlertAnswers alerts(QStringLiteral("OK"));
    Window w;
    QMRamDisk::Ptr r = w.controller->ramDiskEntries()->ramDisks().first();
    sandbox.watch(r);
    FinalReports finals(w.controller->ramDiskEntries());
    w.controller->setSelectedRamDisk(r);
    auto find = [&](const char *name) { return w.controller->findChild<QWidget *>(QString::fromLatin1(name)); };
    auto *button = static_cast<QPushButton *>(find("rdCreateButton"));
    auto *spinner = static_cast<QMSpinner *>(find("rdCreatePIndicator"));
    auto *progress = static_cast<QLabel *>(find("rdCreatePIndicatorLabel"));

    // Name, capacity, mount point and backup, all from the pane.
    auto *name = static_cast<QLineEdit *>(find("rdNameField"));
    name->setText(QStringLiteral("PaneDisk"));
    emit name->textEdited(name->text());
    static_cast<QSlider *>(find("rdSizeSlider"))->setValue(256);
    {
        ChooserAnswers answers({mountDirectory});
        choose(static_cast<QComboBox *>(find("rdMountPointPopUp")), QStringLiteral("Choose…"));
        ASSERT_TRUE(QMTest::waitUntil([&] { return r->mountDirectory() == mountDirectory; }, 3000));
    }
    choose(static_cast<QComboBox *>(find("rdBackupPopup")), QStringLiteral("Default Location"));
    EXPECT_EQ(r->name(), QStringLiteral("PaneDisk"));
    EXPECT_EQ(r->size(), 256000000ULL);
    EXPECT_EQ(r->backupMode(), qint64(QMRamDiskBackupMode_defaultLocation));
    ASSERT_TRUE(button->isEnabled()) << progress->text().toStdString();
    ASSERT_EQ(button->text(), QStringLiteral("Create"));

    // Create: the spinner turns and the line tells each step until it is mounted.
    button->click();
    EXPECT_TRUE(spinner->isAnimating());
    EXPECT_FALSE(button->isEnabled());
    QStringList lines;
    ASSERT_TRUE(QMTest::waitUntil(
        [&] {
            // Idle, before and after, the line tells the last save.
            if (!progress->text().isEmpty() && progress->text() != QStringLiteral("Never saved")
                && !lines.contains(progress->text()))
                lines << progress->text();
            return finals.count == 1;
        },
        120000))
        << alerts.asked().join(u',').toStdString();
    ASSERT_EQ(r->status(), QMRamDiskStatus_mounted);
    EXPECT_FALSE(lines.isEmpty());
    for (const QString &line : lines)
        EXPECT_TRUE(line.endsWith(QStringLiteral("…"))) << line.toStdString();
    EXPECT_TRUE(alerts.asked().isEmpty()) << alerts.asked().join(u',').toStdString();
    EXPECT_EQ(r->path(), mountDirectory + QStringLiteral("/PaneDisk"));
    EXPECT_EQ(button->text(), QStringLiteral("Eject"));
    EXPECT_TRUE(button->isEnabled());
    EXPECT_FALSE(spinner->isAnimating());
    EXPECT_EQ(progress->text(), QStringLiteral("Never saved"));
    EXPECT_TRUE(find("rdUsageIndictator")->isVisible());
    EXPECT_FALSE(find("rdNameField")->isEnabled());

    // Mounted, it grows in place: the slider chooses, Resize applies, the files stay.
    ASSERT_TRUE(QMEngineTest::writeFile(r->path() + QStringLiteral("/before.txt"), QByteArray("written before")));
    auto *slider = static_cast<QSlider *>(find("rdSizeSlider"));
    auto *resize = static_cast<QPushButton *>(find("rdResizeButton"));
    EXPECT_TRUE(slider->isVisible());
    EXPECT_TRUE(resize->isVisible());
    EXPECT_FALSE(resize->isEnabled()) << "the size it has";
    slider->setValue(512);
    EXPECT_EQ(r->size(), 256000000ULL) << "the record keeps the volume's size until it is resized";
    ASSERT_TRUE(resize->isEnabled()) << resize->toolTip().toStdString();
    resize->click();
    ASSERT_TRUE(QMTest::waitUntil([&] { return finals.count == 2; }, 60000)) << alerts.asked().join(u',').toStdString();
    EXPECT_FALSE(r->lastError());
    EXPECT_EQ(r->size(), 512000000ULL);
    EXPECT_EQ(r->status(), QMRamDiskStatus_mounted);
    EXPECT_GE(r->volSize(), 512000000ULL);
    EXPECT_EQ(QMEngineTest::readFile(r->path() + QStringLiteral("/before.txt")), QByteArray("written before"));
    EXPECT_TRUE(alerts.asked().isEmpty()) << alerts.asked().join(u',').toStdString();

    // Eject: the backup holds what was written.
    ASSERT_TRUE(QMEngineTest::writeFile(r->path() + QStringLiteral("/kept.txt"), QByteArray("from the pane")));
    button->click();
    EXPECT_TRUE(spinner->isAnimating());
    ASSERT_TRUE(QMTest::waitUntil([&] { return finals.count == 3; }, 60000)) << alerts.asked().join(u',').toStdString();
    ASSERT_EQ(r->status(), QMRamDiskStatus_notCreated);
    EXPECT_TRUE(alerts.asked().isEmpty()) << alerts.asked().join(u',').toStdString();
    EXPECT_EQ(QMEngineTest::readFile(r->backupDirPath() + QStringLiteral("/kept.txt")), QByteArray("from the pane"));
    EXPECT_EQ(button->text(), QStringLiteral("Create"));
    EXPECT_EQ(progress->text(), QStringLiteral("Saved just now")) << "the ejection's backup counts";
    EXPECT_TRUE(find("rdNameField")->isEnabled());
    EXPECT_FALSE(QFileInfo::exists(mountDirectory + QStringLiteral("/PaneDisk/kept.txt")));
}
