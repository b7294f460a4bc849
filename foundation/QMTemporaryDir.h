#pragma once

#include <QString>

// A directory made fresh for one use (mkdtemp: a new name, mode 0700, never one that was
// lying there) and removed with everything in it when it goes (QMFileRemover: no link
// followed, no mount entered).
class QMTemporaryDir
{
public:
    // In the system's temporary directory ($TMPDIR).
    QMTemporaryDir();
    // `templatePath` ends with "XXXXXX", which is replaced; it is appended when missing.
    explicit QMTemporaryDir(const QString &templatePath);
    ~QMTemporaryDir();
    QMTemporaryDir(const QMTemporaryDir &) = delete;
    QMTemporaryDir &operator=(const QMTemporaryDir &) = delete;

    // The template of a directory of the user's own for `name`, to pass to the constructor:
    // in $XDG_CACHE_HOME/quilmo (made 0700 when missing), never in a directory that others
    // share such as /tmp.
    static QString userCacheTemplate(const QString &name);

    bool isValid() const { return !_path.isEmpty(); }
    QString path() const { return _path; }
    QString filePath(const QString &fileName) const;
    QString errorString() const { return _error; }

    bool autoRemove() const { return _autoRemove; }
    void setAutoRemove(bool on) { _autoRemove = on; }
    // Removes the directory now (path() stays what it was); false (with errorString() telling what stayed) when
    // something could not be removed.
    bool remove();

private:
    void create(const QString &templatePath);

    QString _path;
    QString _error;
    bool _autoRemove = true;
    bool _removed = false;
};
