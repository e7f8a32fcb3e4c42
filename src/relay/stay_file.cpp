// The stay session's file. Layout, all numbers little-endian:
//
//   magic (16 bytes)  "NimboChatStay\r\n\x1a"
//   version           u32, 1
//   body              text Host, u32 Port, text Nick, text Prefix,
//                     text CaseMapping, text ChanTypes,
//                     u32 n, n × (text Name, text Key, text Topic),
//                     u32 n, n × text Cap,
//                     u32 n, n × (text Name, u32 m, m × (i64 At, text Line))
//   SHA-256           of everything before it (32 bytes)
//
// A text is a u32 length and that many bytes, any bytes. The CR LF and ^Z in
// the magic make a copy that rewrote line ends read as a foreign file.
#include "relay/stay_file.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include <cerrno>
#include <cstdint>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::string_view Magic{"NimboChatStay\r\n\x1a", 16};
constexpr std::uint32_t Version = 1;
constexpr size_t VersionBytes = 4;
constexpr size_t HashBytes = 32;
// The least bytes one item of each list takes in the file.
constexpr size_t ChannelBytes = 3 * 4, CapBytes = 4, ConversationBytes = 4 + 4, LineBytes = 8 + 4;

std::string Sha256(std::string_view bytes)
{
    return QCryptographicHash::hash(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())),
        QCryptographicHash::Sha256)
        .toStdString();
}

// ---- writing ----------------------------------------------------------------

class TWriter {
public:
    void Number(std::uint64_t value, int bytes)
    {
        for (int i = 0; i < bytes; ++i)
            FBytes += static_cast<char>(value >> (8 * i));
    }
    void U32(std::uint32_t value) { Number(value, 4); }
    void I64(std::int64_t value) { Number(static_cast<std::uint64_t>(value), 8); }
    // Lengths and counts past 4 GiB cannot occur: the whole file is refused
    // beyond MaxStayFileBytes before it is written.
    void Count(size_t n) { U32(static_cast<std::uint32_t>(n)); }
    void Text(std::string_view text)
    {
        Count(text.size());
        FBytes += text;
    }
    std::string& Bytes() { return FBytes; }

private:
    std::string FBytes;
};

std::string Encode(const TStayFile& File)
{
    TWriter w;
    w.Bytes() += Magic;
    w.U32(Version);
    const TStayState& s = File.State;
    w.Text(File.Host);
    w.U32(static_cast<std::uint32_t>(File.Port));
    w.Text(s.Nick);
    w.Text(s.Prefix);
    w.Text(s.CaseMapping);
    w.Text(s.ChanTypes);
    w.Count(s.Channels.size());
    for (const auto& c : s.Channels) {
        w.Text(c.Name);
        w.Text(c.Key);
        w.Text(c.Topic);
    }
    w.Count(s.Caps.size());
    for (const AnsiString& cap : s.Caps)
        w.Text(cap);
    w.Count(s.Conversations.size());
    for (const auto& c : s.Conversations) {
        w.Text(c.Name);
        w.Count(c.Lines.size());
        for (const TKeptLine& line : c.Lines) {
            w.I64(line.At);
            w.Text(line.Line);
        }
    }
    w.Bytes() += Sha256(w.Bytes());
    return std::move(w.Bytes());
}

// ---- reading ----------------------------------------------------------------

// Reads from the bytes not yet read; every read that would pass their end
// fails and reads nothing.
class TReader {
public:
    explicit TReader(std::string_view bytes) : FRest(bytes) {}
    bool Number(std::uint64_t& value, size_t bytes)
    {
        if (FRest.size() < bytes)
            return false;
        value = 0;
        for (size_t i = 0; i < bytes; ++i)
            value |= std::uint64_t(static_cast<unsigned char>(FRest[i])) << (8 * i);
        FRest.remove_prefix(bytes);
        return true;
    }
    bool U32(std::uint32_t& value)
    {
        std::uint64_t v = 0;
        if (!Number(v, 4))
            return false;
        value = static_cast<std::uint32_t>(v);
        return true;
    }
    bool I64(std::int64_t& value)
    {
        std::uint64_t v = 0;
        if (!Number(v, 8))
            return false;
        value = static_cast<std::int64_t>(v);
        return true;
    }
    // A count of items that take at least ItemBytes each: no more than the
    // bytes left can hold, so that it is safe to reserve.
    bool Count(size_t ItemBytes, size_t& n)
    {
        std::uint32_t v = 0;
        if (!U32(v) || v > FRest.size() / ItemBytes)
            return false;
        n = v;
        return true;
    }
    bool Text(AnsiString& text)
    {
        size_t n = 0;
        if (!Count(1, n))
            return false;
        text.assign(FRest.substr(0, n));
        FRest.remove_prefix(n);
        return true;
    }
    bool AtEnd() const { return FRest.empty(); }

private:
    std::string_view FRest;
};

bool ReadChannels(TReader& r, std::vector<TStayState::TChannelState>& channels)
{
    size_t n = 0;
    if (!r.Count(ChannelBytes, n))
        return false;
    channels.resize(n);
    for (auto& c : channels)
        if (!r.Text(c.Name) || !r.Text(c.Key) || !r.Text(c.Topic))
            return false;
    return true;
}

bool ReadCaps(TReader& r, std::vector<AnsiString>& caps)
{
    size_t n = 0;
    if (!r.Count(CapBytes, n))
        return false;
    caps.resize(n);
    for (AnsiString& cap : caps)
        if (!r.Text(cap))
            return false;
    return true;
}

bool ReadConversations(TReader& r, std::vector<TStayState::TConversationState>& conversations)
{
    size_t n = 0;
    if (!r.Count(ConversationBytes, n))
        return false;
    conversations.resize(n);
    for (auto& c : conversations) {
        size_t lines = 0;
        if (!r.Text(c.Name) || !r.Count(LineBytes, lines))
            return false;
        c.Lines.resize(lines);
        for (TKeptLine& line : c.Lines)
            if (!r.I64(line.At) || !r.Text(line.Line))
                return false;
    }
    return true;
}

bool ReadBody(std::string_view body, TStayFile& File)
{
    TReader r(body);
    std::uint32_t port = 0;
    TStayState& s = File.State;
    const bool read = r.Text(File.Host) && r.U32(port) && r.Text(s.Nick) && r.Text(s.Prefix) &&
                      r.Text(s.CaseMapping) && r.Text(s.ChanTypes) &&
                      ReadChannels(r, s.Channels) && ReadCaps(r, s.Caps) && ReadConversations(r, s.Conversations);
    File.Port = static_cast<int>(port);
    return read && r.AtEnd();
}

// The file's bytes into File: empty when they are a sound stay file,
// otherwise what is wrong with them.
QString Decode(std::string_view bytes, TStayFile& File)
{
    if (!bytes.starts_with(Magic))
        return Magic.starts_with(bytes) ? "cut off" : "not a NimboChat stay file";
    if (bytes.size() < Magic.size() + VersionBytes + HashBytes)
        return "cut off";
    std::uint32_t version = 0;
    TReader(bytes.substr(Magic.size())).U32(version);
    if (version != Version)
        return QString("version %1, not %2").arg(version).arg(Version);
    const std::string_view covered = bytes.substr(0, bytes.size() - HashBytes);
    if (Sha256(covered) != bytes.substr(covered.size()))
        return "checksum does not match (cut off or changed)";
    if (!ReadBody(covered.substr(Magic.size() + VersionBytes), File))
        return "contents do not add up";
    return {};
}

// The file's bytes, or why they cannot be had.
QString ReadBytes(const QString& Path, QByteArray& Bytes)
{
    if (!QFileInfo(Path).isFile())
        return "not a plain file";
    QFile file(Path);
    if (!file.open(QIODevice::ReadOnly))
        return "cannot be read: " + file.errorString();
    const qint64 size = file.size();
    if (size > MaxStayFileBytes)
        return QString("too large (%1 bytes)").arg(size);
    Bytes = file.read(size + 1); // one byte more shows a file that grew
    if (file.error() != QFileDevice::NoError)
        return "cannot be read: " + file.errorString();
    if (Bytes.size() != size)
        return "changed while being read";
    return {};
}

// Creates the file's folder, 0700, and its parents as needed.
bool MakeFolder(const QString& Folder)
{
    if (QFileInfo(Folder).isDir())
        return true;
    const auto userOnly = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadUser |
                          QFile::WriteUser | QFile::ExeUser;
    return QDir().mkpath(QFileInfo(Folder).absolutePath()) &&
           (QDir().mkdir(Folder, userOnly) || QFileInfo(Folder).isDir());
}

} // namespace

QString StayFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + "/NimboChat/stay-session";
}

bool SaveStayFile(const QString& Path, const TStayFile& File, QString& Error)
{
    const std::string bytes = Encode(File);
    if (static_cast<qint64>(bytes.size()) > MaxStayFileBytes) {
        Error = QString("%1: too large (%2 bytes)").arg(Path).arg(bytes.size());
        return false;
    }
    const QString folder = QFileInfo(Path).absolutePath();
    if (!MakeFolder(folder)) {
        Error = QString("%1: the folder %2 cannot be made").arg(Path, folder);
        return false;
    }
    QSaveFile file(Path);
    // The temporary file takes the old file's mode; whatever that was, the
    // new one is the user's alone.
    const bool written = file.open(QIODevice::WriteOnly) && ::fchmod(file.handle(), 0600) == 0 &&
                         file.write(bytes.data(), static_cast<qint64>(bytes.size())) ==
                             static_cast<qint64>(bytes.size()) &&
                         file.commit();
    if (!written) {
        Error = QString("%1: %2").arg(Path, file.errorString());
        file.cancelWriting();
    }
    return written;
}

TStayLoad LoadStayFile(const QString& Path, TStayFile& File, QString& Error)
{
    if (!QFileInfo::exists(Path))
        return TStayLoad::Missing;
    QByteArray bytes;
    TStayFile read;
    QString reason = ReadBytes(Path, bytes);
    if (reason.isEmpty())
        reason = Decode(std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())), read);
    if (!reason.isEmpty()) {
        Error = Path + ": " + reason;
        return TStayLoad::Damaged;
    }
    File = std::move(read);
    return TStayLoad::Loaded;
}

QString SetStayFileAside(const QString& Path)
{
    const QString base = Path + ".damaged-" + QDateTime::currentDateTime().toString("yyyyMMdd-HHmmss");
    for (int n = 1; n < 1000; ++n) {
        const QString aside = n == 1 ? base : QString("%1-%2").arg(base).arg(n);
        if (QFile::rename(Path, aside))
            return aside;
        if (!QFileInfo(aside).exists() && !QFileInfo(aside).isSymLink())
            return {}; // not a name taken: the file cannot be moved
    }
    return {};
}

bool RemoveStayFile(const QString& Path)
{
    return ::unlink(QFile::encodeName(Path).constData()) == 0 || errno == ENOENT;
}
