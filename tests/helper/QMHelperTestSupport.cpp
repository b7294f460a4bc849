#include "QMHelperTestSupport.h"

#include "QMKeyedArchiver.h"
#include "QMPropertyListSerialization.h"
#include "QMRamDiskEntries.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QMenu>

namespace QMHelperTest {

UrlCatcher::UrlCatcher()
{
    QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "open");
}

UrlCatcher::~UrlCatcher()
{
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
}

QMRamDisk::Ptr record(qint64 status, qint64 backupMode, qint64 action, quint64 volSize, quint64 volFree)
{
    QMRamDisk::Ptr r = QMRamDisk::create();
    r->setStatus(status);
    r->setBackupMode(backupMode);
    r->setAction(action);
    r->setVolSize(volSize);
    r->setVolFree(volFree);
    return r;
}

QMRamDisk::Ptr withType(const QMRamDisk::Ptr &ramDisk, qint64 type)
{
    QVariantMap coder;
    ramDisk->encodeWithCoder(&coder);
    coder.insert(QStringLiteral("type"), type);
    QMRamDisk::Ptr r = QMRamDisk::initWithCoder(coder, ramDisk->className());
    r->setStatus(ramDisk->status());
    r->setAction(ramDisk->action());
    r->setVolSize(ramDisk->volSize());
    r->setVolFree(ramDisk->volFree());
    return r;
}

bool writeEntries(const QList<QMRamDisk::Ptr> &ramDisks, bool showInMenuBar, const QString &path)
{
    QVariantList objects;
    for (const QMRamDisk::Ptr &r : ramDisks) {
        QMKeyedArchiver::Object object;
        object.className = r->className();
        object.classHierarchy = {object.className};
        if (object.className != QLatin1String("QMRamDisk"))
            object.classHierarchy << QStringLiteral("QMRamDisk");
        r->encodeWithCoder(&object.values);
        objects << QVariant::fromValue(object);
    }
    const QVariantMap dico{
        {QStringLiteral("RamDiskEntries"), QMKeyedArchiver::archivedDataWithRootObject(objects)},
        {QStringLiteral("showInMenuBar"), showInMenuBar},
        {QStringLiteral("showInMenuBarAtLogin"), false},
    };
    return QMPropertyListSerialization::writeFileAtomically(
        path.isEmpty() ? QMRamDiskEntries::defaultEntriesFilePath() : path, dico,
        QMPropertyListSerialization::Format::Xml);
}

QStringList itemNames(const QMenu *menu)
{
    QStringList names;
    for (const QAction *a : menu->actions()) {
        if (a->isSeparator())
            names << QStringLiteral("-");
        else
            names << (a->isEnabled() ? QString() : QStringLiteral("!")) + a->objectName();
    }
    return names;
}

QAction *item(const QMenu *menu, const QString &name)
{
    for (QAction *a : menu->actions())
        if (!a->isSeparator() && a->objectName() == name)
            return a;
    return nullptr;
}

void openAndClose(QMenu *menu)
{
    menu->popup(QPoint(10, 10));
    QApplication::processEvents();
    menu->hide();
    QApplication::processEvents();
}

} // namespace QMHelperTest
