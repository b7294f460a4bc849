#include "QMRamDiskEntries.h"

#include "QMDistributedNotificationCenter.h"
#include "QMFunctions.h"
#include "QMKeyedArchiver.h"
#include "QMLog.h"
#include "QMPropertyListSerialization.h"
#include "QMRamDiskAutoSave.h"
#include "QMRamDiskDevice.h"
#include "QMRamDiskManager.h"
#include "QMRamDiskUtils.h"
#include "QMSharedLoginItems.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMetaMethod>
#include <QThread>
#include <QTimer>

#include <optional>
#include <shared_mutex>

#include <fcntl.h>
#include <unistd.h>

namespace {

const QString kEntriesKey = QStringLiteral("RamDiskEntries");
const QString kShowInMenuBarKey = QStringLiteral("showInMenuBar");
const QString kShowInMenuBarAtLoginKey = QStringLiteral("showInMenuBarAtLogin");
const QString kEntriesFileInfoKey = QStringLiteral("EntriesFile");

// The archived keys of a record and the kinds they must have. A file that gives one of
// them another kind was not written by us (or was damaged): it is refused whole, as the
// platform's unarchiver refuses it with an exception.
enum class Kind { String, Integer, Boolean, StringList };
const QList<QPair<QString, Kind>> &recordSchema()
{
    static const QList<QPair<QString, Kind>> schema = {
        {QStringLiteral("type"), Kind::Integer},
        {QStringLiteral("identifier"), Kind::String},
        {QStringLiteral("preferWired"), Kind::Boolean},
        {QStringLiteral("createAtLogin"), Kind::Boolean},
        {QStringLiteral("doNotCalculateBaseSize"), Kind::Boolean},
        {QStringLiteral("format"), Kind::Integer},
        {QStringLiteral("name"), Kind::String},
        {QStringLiteral("size"), Kind::Integer},
        {QStringLiteral("mountDirectory"), Kind::String},
        {QStringLiteral("simId"), Kind::String},
        {QStringLiteral("postCmd"), Kind::String},
        {QStringLiteral("postCmdArgs"), Kind::StringList},
        {QStringLiteral("mdIndexMode"), Kind::Integer},
        {QStringLiteral("backupMode"), Kind::Integer},
        {QStringLiteral("backupDir"), Kind::String},
        {QStringLiteral("status"), Kind::Integer},
        {QStringLiteral("deviceNode"), Kind::String},
        {QStringLiteral("path"), Kind::String},
        {QStringLiteral("uuid"), Kind::String},
        {QStringLiteral("devUUID"), Kind::Integer},
        {QStringLiteral("autoSaveInterval"), Kind::Integer},
    };
    return schema;
}

// Brings a decoded value to the form the record's decoder takes; false when it has the
// wrong kind.
bool conformValue(Kind kind, QVariant *value)
{
    const int t = value->typeId();
    switch (kind) {
    case Kind::String:
        return t == QMetaType::QString;
    case Kind::Integer:
        if (t == QMetaType::LongLong || t == QMetaType::Bool)
            return true;
        if (t == QMetaType::Double) {
            const double d = value->toDouble();
            if (d != static_cast<double>(static_cast<qint64>(d)))
                return false;
            *value = static_cast<qint64>(d);
            return true;
        }
        return false;
    case Kind::Boolean:
        return t == QMetaType::Bool || t == QMetaType::LongLong;
    case Kind::StringList: {
        if (t != QMetaType::QVariantList)
            return false;
        QStringList list;
        for (const QVariant &item : value->toList()) {
            if (item.typeId() != QMetaType::QString)
                return false;
            list << item.toString();
        }
        *value = list;
        return true;
    }
    }
    return false;
}

// A record from its archived object; none with *why when the object is not one.
QMRamDisk::Ptr ramDiskFromObject(const QVariant &item, qsizetype index, QString *why)
{
    if (item.metaType() != QMetaType::fromType<QMKeyedArchiver::Object>()) {
        *why = QStringLiteral("entry %1 is not an object").arg(index);
        return nullptr;
    }
    auto object = item.value<QMKeyedArchiver::Object>();
    QString className = object.className;
    if (className != QLatin1String("QMRamDisk") && className != QLatin1String("QMRamDiskEntry")) {
        if (!object.classHierarchy.contains(QStringLiteral("QMRamDisk"))) {
            *why = QStringLiteral("entry %1 is of class %2").arg(index).arg(className);
            return nullptr;
        }
        className = QString(); // a subclass we do not know: read what it shares with ours
    }
    for (const auto &[key, kind] : recordSchema()) {
        auto it = object.values.find(key);
        if (it != object.values.end() && !conformValue(kind, &it.value())) {
            *why = QStringLiteral("entry %1 key %2 has a value of type %3")
                       .arg(index)
                       .arg(key, QString::fromLatin1(it.value().metaType().name()));
            return nullptr;
        }
    }
    QMRamDisk::Ptr ramDisk = QMRamDisk::initWithCoder(object.values, className);
    if (!ramDisk)
        *why = QStringLiteral("entry %1 could not be decoded").arg(index);
    return ramDisk;
}

QVariant objectFromRamDisk(const QMRamDisk::Ptr &ramDisk)
{
    QMKeyedArchiver::Object object;
    object.className = ramDisk->className();
    object.classHierarchy = {object.className};
    if (object.className != QLatin1String("QMRamDisk"))
        object.classHierarchy << QStringLiteral("QMRamDisk");
    ramDisk->encodeWithCoder(&object.values);
    return QVariant::fromValue(object);
}

// The keys that say what the system last saw of a RAM disk rather than what the user set.
bool isLiveStateKey(const QString &key)
{
    return key == QLatin1String("status") || key == QLatin1String("deviceNode") || key == QLatin1String("path");
}

QString identifierOfObject(const QVariant &item)
{
    if (item.metaType() != QMetaType::fromType<QMKeyedArchiver::Object>())
        return {};
    const QVariant id = item.value<QMKeyedArchiver::Object>().values.value(QStringLiteral("identifier"));
    return id.typeId() == QMetaType::QString ? id.toString() : QString();
}

QVariantMap valuesOfObject(const QVariant &item)
{
    return item.value<QMKeyedArchiver::Object>().values;
}

// The entries file as it is now.
struct EntriesFile
{
    enum class State { Missing, Ok, Refused, Damaged } state = State::Missing;
    QVariantMap dico;              // Ok: the whole dictionary
    QVariantList objects;          // Ok: the archived records, as found, identifiers given
    QList<QMRamDisk::Ptr> records; // Ok: the same, decoded (type 1 included)
    QStringList assigned;          // Ok: identifiers given to records without one, in order
    QString why;                   // Refused, Damaged
    QString keptCopy;              // Damaged: where its bytes were kept
};

// Damaged entries files are kept beside the file, so that the next write, which replaces
// them, loses nothing a person could still recover by hand.
QString keepDamagedContents(const QString &path, const QByteArray &contents)
{
    const QString copy = path + QStringLiteral(".damaged");
    QString why;
    if (!QMPropertyListSerialization::writeDataAtomically(copy, contents, &why)) {
        QMLog::logError(QStringLiteral("Unreadable entries file not kept: %1").arg(why));
        return {};
    }
    QMLog::logWarning(QStringLiteral("Unreadable entries file kept as %1").arg(copy));
    return copy;
}

// A file that is no file of ours (a link, a FIFO, a huge file) keeps its place under the
// name of a damaged copy when a write replaces it: a second name, no copy, no following.
void keepRefusedEntry(const QString &path)
{
    const QByteArray copy = QFile::encodeName(path + QStringLiteral(".damaged"));
    ::unlink(copy.constData());
    if (::linkat(AT_FDCWD, QFile::encodeName(path).constData(), AT_FDCWD, copy.constData(), 0) == 0)
        QMLog::logWarning(QStringLiteral("Unusable entries file kept as %1").arg(QFile::decodeName(copy)));
}

} // namespace

QString QMRamDiskEntries::didChangeToAllNotificationName()
{
    return QStringLiteral("QMRamDiskEntriesDidChangeToAllNotification");
}

QString QMRamDiskEntries::appSender()
{
    return QStringLiteral("Quilmo-App");
}

QString QMRamDiskEntries::helperSender()
{
    return QStringLiteral("Quilmo-Helper");
}

// The delegate that actions started by a store report to. The store lets go of it when it
// is deleted; an action that outlives the store then reports to nobody.
class QMRamDiskEntries::DelegateProxy : public QMRamDiskActionDelegateProtocol
{
public:
    explicit DelegateProxy(QMRamDiskEntries *entries) : _entries(entries) {}

    void ramDiskDidUpdated(const QMRamDisk::Ptr &ramDisk) override
    {
        std::shared_lock lock(_mutex);
        if (_entries)
            _entries->ramDiskDidUpdated(ramDisk);
    }
    void ramDiskDidReport(const QMRamDisk::Ptr &ramDisk, const QMRamDiskReport &report) override
    {
        std::shared_lock lock(_mutex);
        if (_entries)
            _entries->ramDiskDidReport(ramDisk, report);
    }
    // Waits for a report in progress, then drops the store.
    void detach()
    {
        std::unique_lock lock(_mutex);
        _entries = nullptr;
    }

private:
    std::shared_mutex _mutex;
    QMRamDiskEntries *_entries;
};

QMRamDiskEntries::QMRamDiskEntries(QObject *parent) : QMRamDiskEntries(nullptr, parent) {}

QMRamDiskEntries::QMRamDiskEntries(QMRamDiskEntriesDelegate *delegate, QObject *parent)
    : QObject(parent), _delegate(delegate), _proxy(std::make_shared<DelegateProxy>(this))
{
    qRegisterMetaType<QMRamDiskReport>();
}

QMRamDiskEntries::~QMRamDiskEntries()
{
    setUpdator(false);
    // Events are not processed here: the objects around a store being deleted may be
    // half gone. Quitting waits with waitingEndAll() first.
    if (hasRunningAction())
        waitForActions(_deletionWaitRounds, _deletionWaitIntervalMs, false);
    _proxy->detach();
}

void QMRamDiskEntries::setDeletionWait(int rounds, int intervalMs)
{
    _deletionWaitRounds = rounds;
    _deletionWaitIntervalMs = intervalMs;
}

QMRamDiskEntriesDelegate *QMRamDiskEntries::delegate() const
{
    QMutexLocker lock(&_mutex);
    return _delegate;
}

void QMRamDiskEntries::setDelegate(QMRamDiskEntriesDelegate *delegate)
{
    QMutexLocker lock(&_mutex);
    _delegate = delegate;
}

QList<QMRamDisk::Ptr> QMRamDiskEntries::ramDisks() const
{
    QMutexLocker lock(&_mutex);
    return _ramDisks;
}

qsizetype QMRamDiskEntries::count() const
{
    QMutexLocker lock(&_mutex);
    return _ramDisks.size();
}

QString QMRamDiskEntries::description() const
{
    return QStringLiteral("<QMRamDiskEntries: 0x%1> %2 records")
        .arg(reinterpret_cast<quintptr>(this), 0, 16)
        .arg(count());
}

QMRamDisk::Ptr QMRamDiskEntries::addRamDisk()
{
    QMutexLocker lock(&_mutex);
    if (_ramDisks.size() >= maximumCount)
        return nullptr;
    QMRamDisk::Ptr ramDisk = QMRamDisk::create();
    _ramDisks.append(ramDisk);
    lock.unlock();
    emit ramDisksDidChange();
    return ramDisk;
}

QMRamDisk::Ptr QMRamDiskEntries::removeEntry(const QMRamDisk::Ptr &ramDisk)
{
    if (!ramDisk)
        return nullptr;
    qsizetype index = -1;
    {
        QMutexLocker lock(&_mutex);
        for (qsizetype i = 0; i < _ramDisks.size(); ++i) {
            if (_ramDisks.at(i) == ramDisk || _ramDisks.at(i)->isEqual(ramDisk)) {
                index = i;
                break;
            }
        }
    }
    if (index < 0) {
        // Not ours: its backups may belong to a record of the file we have not read.
        QM_LogWarningMethod(this, QStringLiteral("removeEntry not in list ramDisk:%1").arg(ramDisk->description()));
        return nullptr;
    }
    ramDisk->deleteBackupDirs();
    QMRamDisk::Ptr before;
    {
        QMutexLocker lock(&_mutex);
        _ramDisks.removeAt(index);
        if (!_ramDisks.isEmpty())
            before = _ramDisks.at(index > 0 ? index - 1 : 0);
    }
    emit ramDisksDidChange();
    return before;
}

QMRamDisk::Ptr QMRamDiskEntries::ramDiskWithIdentifier(const QString &identifier) const
{
    if (identifier.isNull())
        return nullptr;
    QMutexLocker lock(&_mutex);
    for (const auto &r : _ramDisks)
        if (r->identifier() == identifier)
            return r;
    return nullptr;
}

qint64 QMRamDiskEntries::indexOfRamDiskWithIdentifier(const QString &identifier) const
{
    if (identifier.isNull())
        return -1;
    QMutexLocker lock(&_mutex);
    for (qsizetype i = 0; i < _ramDisks.size(); ++i)
        if (_ramDisks.at(i)->identifier() == identifier)
            return i;
    return -1;
}

QMRamDisk::Ptr QMRamDiskEntries::ramDiskWithName(const QString &name) const
{
    QMutexLocker lock(&_mutex);
    for (const auto &r : _ramDisks)
        if (r->name() == name)
            return r;
    return nullptr;
}

bool QMRamDiskEntries::setPositionIndex(qint64 positionIndex, const QString &ofRamDisk)
{
    if (positionIndex == NotFound || positionIndex < 0 || ofRamDisk.isNull())
        return false;
    QMutexLocker lock(&_mutex);
    const qint64 count = _ramDisks.size();
    if (count == 0 || positionIndex > count)
        return false;
    qint64 from = -1;
    for (qint64 i = 0; i < count; ++i) {
        if (_ramDisks.at(i)->identifier() == ofRamDisk) {
            from = i;
            break;
        }
    }
    if (from < 0)
        return false;
    qint64 to = from;
    if (from > positionIndex)
        to = positionIndex;
    else if (from < positionIndex)
        to = positionIndex - 1; // taking the record out shifts the gap one place up
    if (to == from)
        return true;
    _ramDisks.move(from, to);
    lock.unlock();
    emit ramDisksDidChange();
    return true;
}

void QMRamDiskEntries::create(const QMRamDisk::Ptr &ramDisk, bool inBackground)
{
    startAction(QMRamDiskAction_create, ramDisk, inBackground);
}

void QMRamDiskEntries::eject(const QMRamDisk::Ptr &ramDisk, bool inBackground)
{
    startAction(QMRamDiskAction_eject, ramDisk, inBackground);
}

void QMRamDiskEntries::startAction(qint64 action, const QMRamDisk::Ptr &forRamDisk, bool inBackground)
{
    if (!forRamDisk)
        return;
    forRamDisk->performAction(action, std::static_pointer_cast<QMRamDiskActionDelegateProtocol>(_proxy),
                              inBackground);
}

void QMRamDiskEntries::startAction(qint64 action, const QMRamDisk::Ptr &forRamDisk, bool inBackground,
                                   std::function<void(const QMRamDiskReport &)> done)
{
    // Reports go to the store as ever; the outcome goes to `done` as well.
    class OutcomeDelegate : public QMRamDiskActionDelegateProtocol
    {
    public:
        OutcomeDelegate(std::shared_ptr<DelegateProxy> proxy, std::function<void(const QMRamDiskReport &)> done)
            : _proxy(std::move(proxy)), _done(std::move(done))
        {
        }
        void ramDiskDidUpdated(const QMRamDisk::Ptr &ramDisk) override { ramDiskDidReport(ramDisk, ramDisk->report()); }
        void ramDiskDidReport(const QMRamDisk::Ptr &ramDisk, const QMRamDiskReport &report) override
        {
            _proxy->ramDiskDidReport(ramDisk, report);
            if (report.isFinal() && _done)
                _done(report);
        }

    private:
        std::shared_ptr<DelegateProxy> _proxy;
        std::function<void(const QMRamDiskReport &)> _done;
    };
    if (!forRamDisk)
        return;
    forRamDisk->performAction(action, std::make_shared<OutcomeDelegate>(_proxy, std::move(done)), inBackground);
}

void QMRamDiskEntries::resize(const QMRamDisk::Ptr &ramDisk, quint64 size, bool inBackground)
{
    if (!ramDisk)
        return;
    // Never while an action runs: that one (perhaps a resize) still reads its own target.
    if (ramDisk->action() == QMRamDiskAction_none)
        ramDisk->setResizeTarget(size);
    startAction(QMRamDiskAction_resize, ramDisk, inBackground);
}

void QMRamDiskEntries::ramDiskDidUpdated(const QMRamDisk::Ptr &ramDisk)
{
    if (!ramDisk)
        return;
    ramDiskDidReport(ramDisk, ramDisk->report());
}

void QMRamDiskEntries::ramDiskDidReport(const QMRamDisk::Ptr &ramDisk, const QMRamDiskReport &report)
{
    if (!ramDisk)
        return;
    if (QMRamDiskEntriesDelegate *d = delegate())
        d->ramDiskEntriesDidReport(this, ramDisk, report);
    emit ramDiskDidUpdate(report.identifier);
    emit ramDiskReported(report);
}

QString QMRamDiskEntries::defaultEntriesFilePath()
{
    const QString dir = QMRamDiskManager::appSupportPath();
    if (dir.isNull())
        return {};
    return dir + QLatin1Char('/') + kEntriesKey;
}

QString QMRamDiskEntries::entriesFilePath() const
{
    QMutexLocker lock(&_mutex);
    if (!_entriesFilePath.isNull())
        return _entriesFilePath;
    lock.unlock();
    return defaultEntriesFilePath();
}

void QMRamDiskEntries::setEntriesFilePath(const QString &path)
{
    QMutexLocker lock(&_mutex);
    _entriesFilePath = path;
}

// Reads and checks the entries file; logs what it refuses with the texts of the log.
// Records without an identifier get the ones in `assigned` first, in order, so that a
// record given one at a read is the same record at the next.
static EntriesFile readEntriesFile(const QMRamDiskEntries *self, const QString &path, const QStringList &assigned)
{
    EntriesFile file;
    QByteArray contents;
    QString why;
    const auto status = QMPropertyListSerialization::readFile(path, &contents, &why);
    if (status == QMPropertyListSerialization::ReadStatus::Missing)
        return file;
    auto refuse = [&](EntriesFile::State state, const QString &reason) {
        file.state = state;
        file.why = reason;
        if (state == EntriesFile::State::Damaged)
            file.keptCopy = keepDamagedContents(path, contents);
        return file;
    };
    if (status != QMPropertyListSerialization::ReadStatus::Ok) {
        QM_LogErrorMethod(self, QStringLiteral("dico==nil path:%1").arg(path));
        return refuse(EntriesFile::State::Refused, why);
    }

    // 1. The file as a dictionary.
    const QVariant value = QMPropertyListSerialization::fromData(contents);
    if (value.typeId() != QMetaType::QVariantMap) {
        QM_LogErrorMethod(self, QStringLiteral("dico==nil path:%1").arg(path));
        return refuse(EntriesFile::State::Damaged, value.isValid() ? QStringLiteral("the root is not a dictionary")
                                                                   : QStringLiteral("it is not a property list"));
    }
    file.dico = value.toMap();

    // 2. The keyed archive of the records; a file without one holds no record.
    const QVariant archived = file.dico.value(kEntriesKey);
    QVariant root = QVariantList();
    if (archived.isValid()) {
        if (archived.typeId() != QMetaType::QByteArray) {
            why = QStringLiteral("%1 is of type %2, not data")
                      .arg(kEntriesKey, QString::fromLatin1(archived.metaType().name()));
            root = QVariant();
        } else {
            root = QMKeyedArchiver::unarchiveObjectWithData(archived.toByteArray(), &why);
        }
        if (!root.isValid()) {
            QM_LogErrorMethod(self, QStringLiteral("NSKeyedUnarchiver unarchiveObjectWithData localException:%1").arg(why));
            return refuse(EntriesFile::State::Damaged, why);
        }
        if (root.typeId() != QMetaType::QVariantList) {
            QM_LogErrorMethod(self, QStringLiteral("ramDisks==nil"));
            return refuse(EntriesFile::State::Damaged, QStringLiteral("the archive holds no list of RAM disks"));
        }
    }

    // 3. Every record is decoded before anything is used, so a bad one refuses the file.
    const QVariantList items = root.toList();
    for (qsizetype i = 0; i < items.size(); ++i) {
        QVariant item = items.at(i);
        // A record without an identifier could never be found again, nor recognised on
        // its mounted volume: it gets one now, kept from the next write on.
        if (item.metaType() == QMetaType::fromType<QMKeyedArchiver::Object>()) {
            auto object = item.value<QMKeyedArchiver::Object>();
            const QVariant id = object.values.value(QStringLiteral("identifier"));
            if (!id.isValid() || (id.typeId() == QMetaType::QString && id.toString().isEmpty())) {
                const QString given = file.assigned.size() < assigned.size() ? assigned.at(file.assigned.size())
                                                                             : QMFunctions::UUIDString();
                file.assigned << given;
                object.values.insert(QStringLiteral("identifier"), given);
                item = QVariant::fromValue(object);
            }
        }
        QMRamDisk::Ptr ramDisk = ramDiskFromObject(item, i, &why);
        if (!ramDisk) {
            QM_LogErrorMethod(self, QStringLiteral("NSKeyedUnarchiver unarchiveObjectWithData localException:%1").arg(why));
            return refuse(EntriesFile::State::Damaged, why);
        }
        file.objects << item;
        file.records << ramDisk;
    }
    file.state = EntriesFile::State::Ok;
    return file;
}

// Why a file cannot be used, for the user.
static QMError::Ptr errorOfEntriesFile(const QMRamDiskEntries *self, const QString &path, const EntriesFile &file)
{
    const QString reason = qm_detail::methodLine("readRamDisksFromDefaultLocation", __LINE__, self->description(),
                                                 QStringLiteral("dico==nil path:%1").arg(path));
    if (file.state == EntriesFile::State::Damaged)
        return QMError::errorWithMessage(
            file.keptCopy.isEmpty()
                ? QStringLiteral("The list of RAM disks %1 is damaged (%2)").arg(path, file.why)
                : QStringLiteral("The list of RAM disks %1 is damaged (%2); it was kept as %3").arg(path, file.why, file.keptCopy),
            reason);
    return QMError::errorWithMessage(QStringLiteral("The list of RAM disks %1 cannot be used: %2").arg(path, file.why), reason);
}

bool QMRamDiskEntries::readRamDisksFromDefaultLocation()
{
    return readRamDisksFromDefaultLocation(nullptr);
}

bool QMRamDiskEntries::readRamDisksFromDefaultLocation(QMError::Ptr *error)
{
    if (error)
        *error = nullptr;
    const QString path = entriesFilePath();
    if (path.isNull()) {
        QM_LogErrorMethod(this, QStringLiteral("dico==nil path:%1").arg(QStringLiteral("(null)")));
        return false;
    }

    QStringList assigned;
    {
        QMutexLocker lock(&_mutex);
        assigned = _baseline.assigned;
    }
    const EntriesFile file = readEntriesFile(this, path, assigned);
    if (file.state == EntriesFile::State::Missing)
        return false; // the first start
    if (file.state != EntriesFile::State::Ok) {
        if (error)
            *error = errorOfEntriesFile(this, path, file);
        return false;
    }

    // What the file holds, before the migration and the refresh below change anything:
    // the next write merges against it.
    Baseline baseline;
    baseline.assigned = file.assigned;
    baseline.showInMenuBar = file.dico.value(kShowInMenuBarKey).toBool();
    baseline.showInMenuBarAtLogin = file.dico.value(kShowInMenuBarAtLoginKey).toBool();
    // Type 1 was never given out: such records are dropped, for good at the next write.
    QList<QMRamDisk::Ptr> decoded;
    for (const QMRamDisk::Ptr &r : file.records) {
        if (r->type() == QMRamDiskType_unassigned)
            continue;
        decoded << r;
        QVariantMap values;
        r->encodeWithCoder(&values);
        baseline.order << r->identifier();
        baseline.values.insert(r->identifier(), values);
    }

    // 4. Entries of the older format know their volume by its UUID or device number only.
    std::optional<QList<QVariantMap>> devices;
    bool devicesListed = false;
    for (const QMRamDisk::Ptr &r : std::as_const(decoded)) {
        if (!r->path().isNull() || !r->deviceNode().isNull() || (r->uuid().isNull() && !r->devUUID()))
            continue;
        if (!devicesListed) {
            devicesListed = true;
            QMError::Ptr listError;
            devices = QMRamDiskDevice::deviceList(true, &listError);
            if (!devices)
                QM_LogErrorMethod(this, QStringLiteral("devices==nil error:%1")
                                            .arg(listError ? listError->description() : QStringLiteral("(null)")));
        }
        if (!devices)
            break;
        const QVariantMap *match = nullptr;
        auto usable = [](const QVariantMap &d) {
            return !d.value(QStringLiteral("devNode")).toString().isEmpty()
                   && !d.value(QStringLiteral("mountPoint")).toString().isEmpty();
        };
        if (!r->uuid().isNull()) {
            for (const QVariantMap &d : *devices)
                if (usable(d) && d.value(QStringLiteral("uuid")).toString() == r->uuid()) {
                    match = &d;
                    break;
                }
        }
        if (!match && r->devUUID()) {
            for (const QVariantMap &d : *devices)
                if (usable(d) && d.contains(QStringLiteral("st_dev"))
                    && d.value(QStringLiteral("st_dev")).toLongLong() == *r->devUUID()) {
                    match = &d;
                    break;
                }
        }
        if (!match)
            continue;
        const QString devNode = match->value(QStringLiteral("devNode")).toString();
        const QString mountPoint = match->value(QStringLiteral("mountPoint")).toString();
        r->setDeviceNode(devNode);
        r->setPath(mountPoint);
        const QVariantMap infos{{QStringLiteral("identifier"), r->identifier()},
                                {QStringLiteral("deviceNode"), devNode}};
        if (!QMRamDiskDevice::setExtendedRamDiskInfos(infos, mountPoint))
            QM_LogErrorMethod(this, QStringLiteral("setExtendedRamDiskInfos==NO mountPoint:%1").arg(mountPoint));
    }

    // A record already in the list stays the same object: windows, sheets and choosers
    // hold it, and their edits must reach the list. An idle one takes the file's values;
    // one that an action is changing keeps its own, or the action's outcome would be lost.
    const QList<QMRamDisk::Ptr> current = ramDisks();
    for (QMRamDisk::Ptr &r : decoded) {
        for (const QMRamDisk::Ptr &old : current) {
            if (!old->isEqual(r))
                continue;
            if (old->action() == QMRamDiskAction_none)
                old->assignValuesOf(*r);
            r = old;
            break;
        }
    }

    // 5. The live state of each record.
    for (const QMRamDisk::Ptr &r : std::as_const(decoded))
        if (r->action() == QMRamDiskAction_none)
            r->update();

    // 6. The helper's settings; a missing key is false.
    {
        QMutexLocker lock(&_mutex);
        _ramDisks = decoded;
        _showInMenuBar = baseline.showInMenuBar;
        _showInMenuBarAtLogin = baseline.showInMenuBarAtLogin;
        _baseline = baseline;
    }
    emit ramDisksDidChange();
    return true;
}

QString QMRamDiskEntries::entriesLockPath() const
{
    const QString path = entriesFilePath();
    return path.isNull() ? QString() : path + QStringLiteral(".lock");
}

bool QMRamDiskEntries::lockEntriesFile(QMError::Ptr *error)
{
    if (_fileLock && _fileLock->isLocked())
        return true;
    const QString lockPath = entriesLockPath();
    QString why = QStringLiteral("no entries file");
    auto lock = std::make_unique<QMFileLock>();
    if (!lockPath.isNull()) {
        // The directory comes first; a write would make it anyway.
        QDir().mkpath(QFileInfo(lockPath).absolutePath());
        if (lock->lock(lockPath, _entriesLockTimeoutMs, &why) == QMFileLock::Result::Locked) {
            _fileLock = std::move(lock);
            return true;
        }
        if (why.isEmpty())
            why = QStringLiteral("another program keeps it locked");
    }
    QM_LogErrorMethod(this, QStringLiteral("lockEntriesFile==NO path:%1 error:%2").arg(lockPath, why));
    if (error)
        *error = QMError::errorWithMessage(QStringLiteral("The list of RAM disks cannot be locked"),
                                           qm_detail::methodLine(__func__, __LINE__, description(),
                                                                 QStringLiteral("flock==NO path:%1").arg(lockPath)),
                                           why);
    return false;
}

void QMRamDiskEntries::setEntriesLockTimeout(int milliseconds)
{
    _entriesLockTimeoutMs = milliseconds;
}

void QMRamDiskEntries::unlockEntriesFile()
{
    _fileLock.reset();
}

bool QMRamDiskEntries::writeRamDisksToDefaultLocation()
{
    const QString path = entriesFilePath();
    if (path.isNull()) {
        QM_LogErrorMethod(this, QStringLiteral("writeToFile==NO path:%1").arg(QStringLiteral("(null)")));
        return false;
    }

    // The whole read-merge-write is one step for the other programs.
    const bool lockedHere = !(_fileLock && _fileLock->isLocked());
    if (!lockEntriesFile(nullptr)) {
        QM_LogErrorMethod(this, QStringLiteral("writeToFile==NO path:%1").arg(path));
        return false;
    }
    struct Unlock
    {
        QMRamDiskEntries *self;
        bool unlock;
        ~Unlock()
        {
            if (unlock)
                self->unlockEntriesFile();
        }
    } unlock{this, lockedHere};

    // 1. What is there now.
    QList<QMRamDisk::Ptr> ours;
    Baseline baseline;
    bool showInMenuBar = false;
    bool showInMenuBarAtLogin = false;
    {
        QMutexLocker lock(&_mutex);
        ours = _ramDisks;
        baseline = _baseline;
        showInMenuBar = _showInMenuBar;
        showInMenuBarAtLogin = _showInMenuBarAtLogin;
    }
    const EntriesFile file = readEntriesFile(this, path, baseline.assigned);
    if (file.state == EntriesFile::State::Refused)
        keepRefusedEntry(path);
    const bool merging = file.state == EntriesFile::State::Ok;

    // 2. Ours and theirs, merged by identifier: what this program added, removed, moved
    // or changed since it last read or wrote the file goes over what the file holds now;
    // the rest is kept as found. A file that cannot be read holds nothing to merge.
    QStringList ourOrder;
    QHash<QString, QMRamDisk::Ptr> ourRecords;
    QHash<QString, QVariant> ourObjects;
    for (const QMRamDisk::Ptr &r : std::as_const(ours)) {
        const QString id = r->identifier();
        ourOrder << id;
        ourRecords.insert(id, r);
        ourObjects.insert(id, objectFromRamDisk(r));
    }
    QStringList fileOrder;
    QHash<QString, QVariant> fileObjects;
    QHash<QString, QMRamDisk::Ptr> fileRecords;
    if (merging) {
        for (qsizetype i = 0; i < file.objects.size(); ++i) {
            const QString id = identifierOfObject(file.objects.at(i));
            // Type 1 was never given out: gone for good. A second record of the same
            // identifier could never be told from the first: the first stands.
            if (file.records.at(i)->type() == QMRamDiskType_unassigned || fileObjects.contains(id))
                continue;
            fileOrder << id;
            fileObjects.insert(id, file.objects.at(i));
            fileRecords.insert(id, file.records.at(i));
        }
    }

    auto changedKeys = [&](const QString &id) {
        const QVariantMap mine = valuesOfObject(ourObjects.value(id));
        const QVariantMap base = baseline.values.value(id);
        QStringList keys;
        QStringList all = mine.keys() + base.keys();
        all.removeDuplicates();
        for (const QString &key : std::as_const(all))
            if (mine.value(key) != base.value(key))
                keys << key;
        return keys;
    };

    QHash<QString, QVariant> merged;
    QStringList order;
    // Theirs, in their order, less what this program removed.
    for (const QString &id : std::as_const(fileOrder)) {
        const bool known = baseline.values.contains(id);
        if (known && !ourRecords.contains(id))
            continue; // removed here
        order << id;
        if (!ourRecords.contains(id)) {
            // Another program's, as found: an identifier given only for this merge is not
            // written, the program that reads it first gives the one it keeps.
            auto object = fileObjects.value(id).value<QMKeyedArchiver::Object>();
            if (!known && file.assigned.contains(id))
                object.values.remove(QStringLiteral("identifier"));
            merged.insert(id, QVariant::fromValue(object));
            continue;
        }
        if (!known) {
            merged.insert(id, ourObjects.value(id));
            continue;
        }
        // Known to both: each key this program changed is its own, the others the file's.
        auto object = fileObjects.value(id).value<QMKeyedArchiver::Object>();
        const auto mine = ourObjects.value(id).value<QMKeyedArchiver::Object>();
        for (const QString &key : changedKeys(id)) {
            if (mine.values.contains(key))
                object.values.insert(key, mine.values.value(key));
            else
                object.values.remove(key);
        }
        object.className = mine.className;
        object.classHierarchy = mine.classHierarchy;
        merged.insert(id, QVariant::fromValue(object));
    }
    // Moved here: the records both know take this program's order, in the places they hold.
    {
        QStringList mineCommon, baseCommon;
        for (const QString &id : std::as_const(ourOrder))
            if (order.contains(id) && baseline.values.contains(id))
                mineCommon << id;
        for (const QString &id : std::as_const(baseline.order))
            if (mineCommon.contains(id))
                baseCommon << id;
        if (mineCommon != baseCommon) {
            qsizetype next = 0;
            for (QString &id : order)
                if (mineCommon.contains(id))
                    id = mineCommon.at(next++);
        }
    }
    // Added here, or removed by another program while this one still needs it (an action
    // holds it, its device exists, or its settings were changed here): after the nearest
    // record before it in this program's list.
    for (qsizetype i = 0; i < ourOrder.size(); ++i) {
        const QString &id = ourOrder.at(i);
        if (order.contains(id))
            continue;
        if (merging && baseline.values.contains(id)) {
            const QMRamDisk::Ptr &r = ourRecords.value(id);
            bool needed = r->action() != QMRamDiskAction_none || r->status() != QMRamDiskStatus_notCreated;
            for (const QString &key : changedKeys(id))
                needed = needed || !isLiveStateKey(key);
            if (!needed)
                continue; // removed there, and nothing here says otherwise
        }
        // With none of the records before it left, it stays first or goes last.
        qsizetype at = i == 0 ? 0 : order.size();
        for (qsizetype j = i - 1; j >= 0; --j) {
            const qsizetype before = order.indexOf(ourOrder.at(j));
            if (before >= 0) {
                at = before + 1;
                break;
            }
        }
        order.insert(at, id);
        merged.insert(id, ourObjects.value(id));
    }
    QVariantList objects;
    for (const QString &id : std::as_const(order))
        objects << merged.value(id);

    // 3. The settings, merged the same way; other keys of the file are kept as found.
    QVariantMap dico = merging ? file.dico : QVariantMap();
    if (merging && showInMenuBar == baseline.showInMenuBar)
        showInMenuBar = file.dico.value(kShowInMenuBarKey).toBool();
    if (merging && showInMenuBarAtLogin == baseline.showInMenuBarAtLogin)
        showInMenuBarAtLogin = file.dico.value(kShowInMenuBarAtLoginKey).toBool();
    QString why;
    const QByteArray data = QMKeyedArchiver::archivedDataWithRootObject(objects, &why);
    if (data.isEmpty()) {
        QM_LogErrorMethod(this, QStringLiteral("NSKeyedArchiver archivedDataWithRootObject localException:%1").arg(why));
        QM_LogErrorMethod(this, QStringLiteral("writeToFile==NO path:%1").arg(path));
        return false; // the file stays as it is
    }
    dico.insert(kEntriesKey, data);
    dico.insert(kShowInMenuBarKey, showInMenuBar);
    dico.insert(kShowInMenuBarAtLoginKey, showInMenuBarAtLogin);

    // 4. Atomically, flushed.
    if (!QMPropertyListSerialization::writeFileAtomically(path, dico, QMPropertyListSerialization::Format::Xml, &why)) {
        QM_LogErrorMethod(this, QStringLiteral("writeToFile==NO path:%1").arg(path));
        return false;
    }

    // 5. This program now shows what it wrote: records of others added, records removed
    // by others gone. Its own record objects stay the same objects (a window may hold
    // them); what the others changed in them shows at the next read.
    Baseline written;
    written.assigned = baseline.assigned;
    for (const QString &id : file.assigned)
        if (!written.assigned.contains(id))
            written.assigned << id;
    written.showInMenuBar = showInMenuBar;
    written.showInMenuBarAtLogin = showInMenuBarAtLogin;
    QList<QMRamDisk::Ptr> list;
    for (const QString &id : std::as_const(order)) {
        QMRamDisk::Ptr r = ourRecords.value(id);
        if (!r) {
            r = fileRecords.value(id);
            r->update();
        }
        list << r;
        written.order << id;
        // For a record of this program, what it holds now: keys it does not change again
        // keep what the file holds at the next merge.
        written.values.insert(id, ourRecords.contains(id) ? valuesOfObject(ourObjects.value(id))
                                                          : valuesOfObject(objectFromRamDisk(r)));
    }
    bool listChanged = false;
    {
        QMutexLocker lock(&_mutex);
        listChanged = list != _ramDisks;
        // Records added or removed on this thread meanwhile cannot happen (the list is the
        // main thread's); a refresh may have changed fields, which is fine.
        _ramDisks = list;
        _showInMenuBar = showInMenuBar;
        _showInMenuBarAtLogin = showInMenuBarAtLogin;
        _baseline = written;
    }
    if (listChanged)
        emit ramDisksDidChange();
    return true;
}

bool QMRamDiskEntries::hasUnsavedChanges() const
{
    QList<QMRamDisk::Ptr> ours;
    Baseline baseline;
    {
        QMutexLocker lock(&_mutex);
        if (_showInMenuBar != _baseline.showInMenuBar || _showInMenuBarAtLogin != _baseline.showInMenuBarAtLogin)
            return true;
        ours = _ramDisks;
        baseline = _baseline;
    }
    QStringList order;
    for (const QMRamDisk::Ptr &r : std::as_const(ours))
        order << r->identifier();
    if (order != baseline.order)
        return true;
    for (const QMRamDisk::Ptr &r : std::as_const(ours)) {
        QVariantMap mine;
        r->encodeWithCoder(&mine);
        const QVariantMap base = baseline.values.value(r->identifier());
        QStringList keys = mine.keys() + base.keys();
        keys.removeDuplicates();
        for (const QString &key : std::as_const(keys))
            if (!isLiveStateKey(key) && mine.value(key) != base.value(key))
                return true;
    }
    return false;
}

bool QMRamDiskEntries::hasRunningAction() const
{
    for (const QMRamDisk::Ptr &r : ramDisks())
        if (r->action() != QMRamDiskAction_none)
            return true;
    return false;
}

void QMRamDiskEntries::waitingEndAll()
{
    waitingEndAll(120, 250);
}

void QMRamDiskEntries::waitingEndAll(int rounds, int intervalMs)
{
    waitForActions(rounds, intervalMs, true);
}

void QMRamDiskEntries::waitForActions(int rounds, int intervalMs, bool processEvents)
{
    // Only the thread that owns the store runs its event loop; elsewhere plain sleeping.
    processEvents = processEvents && QThread::currentThread() == thread()
                    && QAbstractEventDispatcher::instance(QThread::currentThread());
    for (int left = rounds; left > 0; --left) {
        if (!hasRunningAction())
            return;
        QM_LogInfoMethod(this, QStringLiteral("Waiting %1").arg(left));
        if (!processEvents) {
            QThread::msleep(static_cast<unsigned long>(intervalMs));
            continue;
        }
        // The reports of the actions waited for arrive as queued events: they are shown,
        // and the round ends early once nothing runs any more.
        QDeadlineTimer round(intervalMs);
        while (!round.hasExpired() && hasRunningAction()) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            QThread::msleep(static_cast<unsigned long>(qBound(qint64(0), round.remainingTime(), qint64(10))));
        }
    }
}

void QMRamDiskEntries::setUpdator(bool run)
{
    if (run) {
        if (_updator)
            return;
        _updator = new QTimer(this);
        _updator->setInterval(1000);
        connect(_updator, &QTimer::timeout, this, &QMRamDiskEntries::updatorTick);
        _updator->start();
        return;
    }
    if (_updator) {
        _updator->stop();
        delete _updator;
        _updator = nullptr;
    }
}

bool QMRamDiskEntries::isUpdatorRunning() const
{
    return _updator != nullptr;
}

void QMRamDiskEntries::updatorTick()
{
    for (const QMRamDisk::Ptr &r : ramDisks()) {
        if (r->action() != QMRamDiskAction_none)
            continue;
        if (!r->update())
            continue;
        if (QMRamDiskEntriesDelegate *d = delegate())
            d->ramDiskEntriesUpdator(this, r);
        emit ramDiskUpdatedByUpdator(r->identifier());
    }
}

void QMRamDiskEntries::setNeedsSynchronizeHelper(bool needs)
{
    Q_UNUSED(needs); // any call marks it: the next automatic run checks the settings again
    QMutexLocker lock(&_mutex);
    _needsSynchronizeHelper = true;
}

bool QMRamDiskEntries::needsSynchronizeHelper() const
{
    QMutexLocker lock(&_mutex);
    return _needsSynchronizeHelper;
}

void QMRamDiskEntries::synchronizeHelperAuto()
{
    if (needsSynchronizeHelper())
        synchronizeHelper();
}

bool QMRamDiskEntries::helperIsWantedAtLogin() const
{
    QMutexLocker lock(&_mutex);
    if (_showInMenuBar && _showInMenuBarAtLogin)
        return true;
    for (const QMRamDisk::Ptr &r : _ramDisks) {
        if (r->createAtLogin())
            return true;
        // Quilmo-Helper saves the RAM disks on their schedule and before the session ends.
        if (QMRamDiskAutoSave::saveActionOf(r) != QMRamDiskAction_none && r->autoSaveInterval() > 0)
            return true;
    }
    return false;
}

void QMRamDiskEntries::synchronizeHelper()
{
    {
        QMutexLocker lock(&_mutex);
        _needsSynchronizeHelper = false;
    }
    const bool wanted = helperIsWantedAtLogin();
    QUrl helper = QMRamDiskUtils::helperURL();
    if (helper.isEmpty()) {
        if (wanted) {
            QM_LogErrorMethod(this, QStringLiteral("helperURL==nil"));
            return;
        }
        // A helper that is gone may still have its (now stale) entry: the entry is found by
        // the helper's name, so its would-be place is enough to remove it.
        helper = QUrl::fromLocalFile(QMRamDiskUtils::installPrefix() + QStringLiteral("/libexec/quilmo/Quilmo-Helper"));
    }
    bool isValid = false;
    const bool isLoginItem = QMSharedLoginItems::isLoginItem(helper, &isValid);
    if (wanted) {
        if (!(isLoginItem && isValid))
            QMSharedLoginItems::addLoginItem(helper);
    } else if (isLoginItem) {
        QMSharedLoginItems::removeLoginItem(helper);
    }
}

bool QMRamDiskEntries::postDidChangeToAllNotificationWithSender(const QString &sender, const QString &entriesFile)
{
    QVariantMap info;
    if (!entriesFile.isEmpty())
        info.insert(kEntriesFileInfoKey, entriesFile);
    return QMDistributedNotificationCenter::postNotificationName(didChangeToAllNotificationName(), sender, info);
}

bool QMRamDiskEntries::showInMenuBar() const
{
    QMutexLocker lock(&_mutex);
    return _showInMenuBar;
}

void QMRamDiskEntries::setShowInMenuBar(bool show)
{
    QMutexLocker lock(&_mutex);
    _showInMenuBar = show;
}

bool QMRamDiskEntries::showInMenuBarAtLogin() const
{
    QMutexLocker lock(&_mutex);
    return _showInMenuBarAtLogin;
}

void QMRamDiskEntries::setShowInMenuBarAtLogin(bool show)
{
    QMutexLocker lock(&_mutex);
    _showInMenuBarAtLogin = show;
}

void QMRamDiskEntries::connectNotify(const QMetaMethod &signal)
{
    // Qt may hold its own locks here: the connection to the bus is made from the event loop.
    if (signal == QMetaMethod::fromSignal(&QMRamDiskEntries::didChangeToAllNotification))
        QMetaObject::invokeMethod(this, &QMRamDiskEntries::startObserving, Qt::QueuedConnection);
}

void QMRamDiskEntries::startObserving()
{
    if (_observing)
        return;
    _observing = true;
    // Queued: connectNotify may run on any thread, the center lives on the main one.
    connect(QMDistributedNotificationCenter::defaultCenter(), &QMDistributedNotificationCenter::notificationPosted,
            this, [this](const QString &name, const QString &object, const QVariantMap &info, bool fromThisProcess) {
                if (name != didChangeToAllNotificationName())
                    return;
                // Programs that do not name the file mean the one of the user.
                const QString file = info.value(kEntriesFileInfoKey).toString();
                if (!file.isEmpty() && file != entriesFilePath())
                    return;
                emit didChangeToAllNotification(object, fromThisProcess);
            });
}
