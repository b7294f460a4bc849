#pragma once

#include <QString>

#include <optional>

// One iOS simulator device found in the simulator's devices directory.
class QMSimDevice
{
public:
    enum State : qint64 { StateHasData = 1 }; // its data library holds at least one file

    // <home>/Library/Developer/CoreSimulator/Devices, computed once.
    static QString devicesDirPath();
    // Tests point the devices directory elsewhere; a null path goes back to the default.
    static void setDevicesDirPathForTesting(const QString &path);

    // The device of directory `dirId`, read from disk now; none when it is not an iOS device.
    static std::optional<QMSimDevice> simDeviceWithDirId(const QString &dirId);

    QString displayName() const;
    QString description() const;

    QString type() const { return _type; }
    QString dirId() const { return _dirId; }
    QString name() const { return _name; }
    QString version() const { return _version; }
    double plistModDate() const { return _plistModDate; }
    qint64 state() const { return _state; }

    void setType(const QString &type) { _type = type; }
    void setDirId(const QString &dirId) { _dirId = dirId; }
    void setName(const QString &name) { _name = name; }
    void setVersion(const QString &version) { _version = version; }
    void setPlistModDate(double date) { _plistModDate = date; }
    void setState(qint64 state) { _state = state; }

private:
    QString _type;
    QString _dirId;
    QString _name;
    QString _version;
    double _plistModDate = 0;
    qint64 _state = 0;
};
