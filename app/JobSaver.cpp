#include "app/JobSaver.h"

#include <QDirIterator>

#include <cerrno>
#include <cstring>

QByteArray Bytes(const std::string& bytes) {
    return QByteArray(bytes.data(), qsizetype(bytes.size()));
}

QString Save(const QString& path, const QByteArray& bytes) {
    // Written aside and renamed into place: a reader, or a stop in the middle, never sees half a
    // file. Not synced to disk: the files are a record of a test run, and a sync per file would
    // cost more than the job itself.
    const QString aside = path + QStringLiteral(".part");
    QFile file(aside);
    QString why = file.open(QIODevice::WriteOnly) ? WriteWhole(file, bytes) : file.errorString();
    if (why.isEmpty() &&
        std::rename(QFile::encodeName(aside).constData(), QFile::encodeName(path).constData()) != 0)
        why = QString::fromLocal8Bit(std::strerror(errno));
    if (why.isEmpty())
        return why;
    QFile::remove(aside);
    return path + QStringLiteral(": ") + why;
}

uint64_t LastJobNumber(const QString& dir) {
    uint64_t last = 0;
    // Name by name, unsorted: a folder of many thousand jobs is not held as a sorted list.
    QDirIterator names(dir, {QStringLiteral("job-*.*")}, QDir::AllEntries | QDir::NoDotAndDotDot);
    while (names.hasNext()) {
        names.next();
        const QString name = names.fileName();
        bool number = false;
        const uint64_t n = name.mid(4, name.indexOf(QLatin1Char('.')) - 4).toULongLong(&number);
        if (number)
            last = std::max(last, n);
    }
    return last;
}
