// Feeds arbitrary bytes to the stay file reader as a file: once as they are,
// once with the SHA-256 at the end made right, so that damaged counts and
// lengths get past the checksum and reach the contents reader. Checks what
// the reader promises:
//   - any file loads as Loaded or Damaged, Damaged always with a reason;
//   - a file that loads is saved again byte for byte as it was (each state
//     has one spelling), so nothing read is lost or made up.
#include "relay/stay_file.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>

#include <cstdint>
#include <cstdlib>
#include <unistd.h>

namespace {

void Require(bool Condition)
{
    if (!Condition)
        std::abort();
}

QByteArray ReadAll(const QString& Path)
{
    QFile f(Path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void Check(const QByteArray& Bytes)
{
    static const QString path = QDir::tempPath() + "/fuzz_stay_file." + QString::number(getpid());
    static const QString again = path + ".again";
    {
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(Bytes) != Bytes.size())
            return;
    }
    TStayFile file;
    QString error;
    const TStayLoad loaded = LoadStayFile(path, file, error);
    Require(loaded != TStayLoad::Missing);
    Require((loaded == TStayLoad::Damaged) == !error.isEmpty());
    if (loaded == TStayLoad::Loaded) {
        Require(SaveStayFile(again, file, error));
        Require(ReadAll(again) == Bytes);
    }
    RemoveStayFile(path);
    RemoveStayFile(again);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    Check(bytes);
    if (bytes.size() >= 32) {
        const QByteArray covered = bytes.chopped(32);
        Check(covered + QCryptographicHash::hash(covered, QCryptographicHash::Sha256));
    }
    return 0;
}
