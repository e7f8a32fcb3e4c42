// TZyPack: creating, loading, filling and writing back pack files.
#include "support/Zypack.h"

#include "framework/application.h"
#include "framework/component_registry.h"
#include "kanji/sjis_bytes.h"
#include "support/Zyrene.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

static_assert(std::endian::native == std::endian::little, "pack records are kept in memory as stored");

namespace {

constexpr int CopyPiece = 32768;
constexpr std::uint16_t Version1 = 0x0100, Version2 = 0x0200, Version3 = 0x0300;
// 1989-12-31 15:00:00 UTC: the time given to entries of packs that kept none.
constexpr std::uint64_t OldPackTime = 0x01B41DDEA8EE9800ull;
// FILETIME of 1970-01-01.
constexpr std::uint64_t UnixEpoch = 116444736000000000ull;

FILETIME MakeFileTime(std::uint64_t t)
{
    return {static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
}

FILETIME ModificationTime(const struct stat& st)
{
    std::int64_t units = std::int64_t{st.st_mtim.tv_sec} * 10000000 + st.st_mtim.tv_nsec / 100;
    return MakeFileTime(UnixEpoch + static_cast<std::uint64_t>(units));
}

std::FILE* File(void* handle)
{
    return static_cast<std::FILE*>(handle);
}

// Upper-cases ASCII letters, stepping over the second bytes of double-byte
// characters.
std::string UpperName(const char* name)
{
    std::string s(name);
    for (size_t i = 0; i < s.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (IsSjisLeadByte(c))
            ++i;
        else if (c >= 'a' && c <= 'z')
            s[i] = static_cast<char>(c - 'a' + 'A');
    }
    return s;
}

// The next free temporary name from number `from` on, or -1.
int FindTempName(char* name, int from)
{
    for (int i = from; i < 1000; ++i) {
        std::memcpy(name, "ZyTmp000.Lunder", 16);
        name[5] = static_cast<char>('0' + i / 100);
        name[6] = static_cast<char>('0' + i / 10 % 10);
        name[7] = static_cast<char>('0' + i % 10);
        if (!FileIsExist(name))
            return i;
    }
    return -1;
}

Exception BadName(const char* name)
{
    return Exception(Sjis("ファイル名") + name + Sjis("が不正です。"));
}

Exception CannotOpen(const char* path)
{
    return Exception(Sjis("ファイル") + path + Sjis("が開けません。"));
}

Exception CannotWrite(const char* path)
{
    return Exception(Sjis("ファイル") + path + Sjis("に書き込めません。"));
}

// Deletes `name` only while it is still the file open on `fd`: a file that
// was put in its place since is left alone.
void RemoveIfSame(const char* name, int fd)
{
    struct stat open {}, named {};
    if (fstat(fd, &open) == 0 && lstat(name, &named) == 0 && open.st_dev == named.st_dev && open.st_ino == named.st_ino)
        std::remove(name);
}

// Creates a new file beside `path` ("<path>.ZyTmp000" on, the first name
// that is free), exclusively, with `mode` less the umask, open for reading
// and writing.
std::FILE* CreateBeside(const std::string& path, mode_t mode, std::string& name)
{
    for (int i = 0; i < 1000; ++i) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, ".ZyTmp%03d", i);
        name = path + suffix;
        int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd < 0 && errno == EEXIST)
            continue;
        std::FILE* f = fd < 0 ? nullptr : fdopen(fd, "w+b");
        if (fd >= 0 && !f) {
            RemoveIfSame(name.c_str(), fd);
            ::close(fd);
        }
        return f;
    }
    return nullptr;
}

// Copies the first `length` bytes of descriptor `from` to the start of `to`.
bool CopyStart(int from, int to, off_t length)
{
    off_t in = 0, out = 0;
    while (in < length) {
        ssize_t n = ::copy_file_range(from, &in, to, &out, static_cast<size_t>(length - in), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
    }
    return true;
}

// A copy into the pack `pack` that stopped: a write that failed is the
// pack's fault, else the read from `path`.
Exception CopyFailed(std::FILE* pack, const AnsiString& packName, const char* path)
{
    const bool written = !std::ferror(pack);
    std::clearerr(pack);
    return written ? CannotOpen(path) : CannotWrite(packName.c_str());
}

// The files one AddFile call opens; closed however the call ends. The
// temporary file stays open from its creation to the end, so its bytes are
// never taken from whatever has its name by then, and it is deleted only
// when the name still belongs to it.
struct AddFiles {
    std::FILE* Source = nullptr;
    std::FILE* Temp = nullptr;
    char TempName[16] = {};

    ~AddFiles()
    {
        if (Source)
            std::fclose(Source);
        if (Temp) {
            RemoveIfSame(TempName, fileno(Temp));
            std::fclose(Temp);
        }
    }
};

} // namespace

void TZyPack::ReportBroken()
{
    if (Application)
        Application->MessageBox(Sjis("Packﾌｧｲﾙが壊れています。"), Sjis("CRCｴﾗｰ"), MB_OK | MB_ICONERROR);
}

TZyPack::TZyPack(TComponent* Owner) : TComponent(Owner), FCrc(new TCrcCheck) {}

TZyPack::~TZyPack()
{
    EndPack();
    delete FCrc;
}

void TZyPack::SetReadOnly(bool value)
{
    if (!IsOpen())
        FReadOnly = value;
}

// ---- header and table -----------------------------------------------------

int TZyPack::Count() const
{
    std::int32_t v;
    std::memcpy(&v, FHeader + 12, 4);
    return v;
}

std::int32_t TZyPack::DataSize() const
{
    std::int32_t v;
    std::memcpy(&v, FHeader + 8, 4);
    return v;
}

void TZyPack::SetHeader(std::uint16_t version, std::int32_t dataSize, std::int32_t count)
{
    std::memcpy(FHeader, "ZyPack", 6);
    std::memcpy(FHeader + 6, &version, 2);
    std::memcpy(FHeader + 8, &dataSize, 4);
    std::memcpy(FHeader + 12, &count, 4);
}

int TZyPack::GetFileNum() const
{
    return IsOpen() ? Count() : 0;
}

bool TZyPack::SeekTo(long pos)
{
    if (std::fseek(FHandle, pos, SEEK_SET) != 0)
        return false;
    FFilePos = pos;
    return true;
}

// ---- names ----------------------------------------------------------------

void TZyPack::MakeFTName(TZyFileTable3& entry, const char* name)
{
    std::memset(entry.Name, 0, sizeof entry.Name + sizeof entry.Ext);
    const char* dot = std::strchr(name, '.');
    size_t base = dot ? static_cast<size_t>(dot - name) : std::strlen(name);
    std::memcpy(entry.Name, name, std::min(base, sizeof entry.Name));
    if (dot)
        std::memcpy(entry.Ext, dot + 1, strnlen(dot + 1, sizeof entry.Ext));
}

bool TZyPack::GetFileName(int index, char* name) const
{
    if (!IsOpen() || index < 0 || index >= Count())
        return false;
    const TZyFileTable3& e = FTable[static_cast<size_t>(index)];
    size_t base = strnlen(e.Name, sizeof e.Name);
    std::memcpy(name, e.Name, base);
    if (e.Ext[0]) {
        name[base++] = '.';
        size_t ext = strnlen(e.Ext, sizeof e.Ext);
        std::memcpy(name + base, e.Ext, ext);
        base += ext;
    }
    name[base] = 0;
    return true;
}

int TZyPack::CheckFileName(const char* name) const
{
    if (!IsOpen() || std::strlen(name) > MaxNameLength)
        return -1;
    std::string wanted = UpperName(name);
    char stored[26];
    for (int i = 0; i < Count(); ++i)
        if (GetFileName(i, stored) && UpperName(stored) == wanted)
            return i;
    return -1;
}

// ---- creating, loading, ending ---------------------------------------------

bool TZyPack::NewPack(const char* name)
{
    if (FReadOnly)
        return false;
    EndPack();
    FHandle = CreateBeside(name, 0666, FWorkName);
    if (!FHandle)
        return false;
    FPackName = name;
    SetHeader(Version3, 0, 0);
    FFilePos = HeaderBytes;
    if (std::fwrite(FHeader, 1, HeaderBytes, FHandle) != HeaderBytes || !Commit()) {
        EndPack();
        return false;
    }
    return true;
}

bool TZyPack::LoadPack(const char* name)
{
    EndPack();
    // Opened for writing only when it exists: a pack too short for its
    // header fails anyway, and no empty file is left behind.
    FHandle = std::fopen(name, FReadOnly ? "rb" : "r+b");
    if (!FHandle)
        return false;
    if (!LoadTable()) {
        FTable.clear();
        std::fclose(FHandle);
        FHandle = nullptr;
        return false;
    }
    FFilePos = std::ftell(FHandle);
    FModified = false;
    FPackName = name;
    return true;
}

// Reads and checks header, table and check word. A version other than the
// three fails silently; a table or check word beyond the end of the file,
// or a wrong check word, counts as a damaged pack and is shown.
bool TZyPack::LoadTable()
{
    struct stat st;
    if (std::fread(FHeader, 1, HeaderBytes, FHandle) != HeaderBytes || fstat(fileno(FHandle), &st) != 0)
        return false;
    std::uint16_t version;
    std::memcpy(&version, FHeader + 6, 2);
    const int recordBytes = version == Version1 ? 32 : version == Version2 ? 40 : version == Version3 ? 48 : 0;
    if (recordBytes == 0)
        return false;
    const std::int64_t count = Count(), dataSize = DataSize();
    const bool checked = version == Version3 && !EachFileCrc;
    const std::int64_t tableAt = HeaderBytes + dataSize;
    if (count < 0 || dataSize < 0 || tableAt + recordBytes * count + (checked ? 2 : 0) > st.st_size) {
        ReportBroken();
        return false;
    }
    std::vector<unsigned char> raw(static_cast<size_t>(recordBytes * count));
    if (count > 0 && (!SeekTo(static_cast<long>(tableAt)) || std::fread(raw.data(), 1, raw.size(), FHandle) != raw.size()))
        return false;
    FTable.assign(static_cast<size_t>(count), TZyFileTable3{});
    for (size_t i = 0; i < FTable.size(); ++i) {
        TZyFileTable3& e = FTable[i];
        const unsigned char* r = raw.data() + i * static_cast<size_t>(recordBytes);
        if (version == Version3) {
            std::memcpy(&e, r, sizeof e);
            continue;
        }
        std::memcpy(&e, r, 32); // name, offset, size
        e.StoredSize = e.Size;
        if (version == Version2) {
            std::memcpy(&e.StoredSize, r + 32, 4);
            e.Compressed = r[36];
        }
        e.Time = MakeFileTime(OldPackTime);
    }
    SetHeader(Version3, DataSize(), Count());
    if (checked && !CheckPackCrc()) {
        ReportBroken();
        return false;
    }
    return true;
}

bool TZyPack::CheckPackCrc()
{
    const long covered = HeaderBytes + DataSize() + 48L * Count();
    unsigned short crc = FileCrc(0, covered);
    unsigned char word[2];
    return FMoved == covered && std::fread(word, 1, 2, FHandle) == 2 && crc == (word[0] | word[1] << 8);
}

unsigned short TZyPack::FileCrc(long offset, long size)
{
    FMoved = 0;
    unsigned short crc = 0xFFFF;
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[CopyPiece]);
    if (!buffer || !SeekTo(offset))
        return crc;
    while (FMoved < size) {
        size_t piece = static_cast<size_t>(std::min<long>(CopyPiece, size - FMoved));
        size_t got = std::fread(buffer.get(), 1, piece, FHandle);
        crc = FCrc->UpDateCrc(crc, buffer.get(), static_cast<int>(got));
        FMoved += static_cast<long>(got);
        FFilePos += static_cast<long>(got);
        if (got < piece)
            break;
    }
    return crc;
}

void TZyPack::EndPack()
{
    if (!IsOpen())
        return;
    CloseFile();
    if (FModified && !WriteBack() && Application)
        Application->ShowException(CannotWrite(FPackName.c_str()));
    if (!FWorkName.empty())
        RemoveIfSame(FWorkName.c_str(), fileno(FHandle));
    std::fclose(FHandle);
    FHandle = nullptr;
    FWorkName.clear();
    FTable.clear();
    FModified = false;
    FPackName.clear();
}

void TZyPack::CancelPack()
{
    FModified = false;
    EndPack();
}

// Changes are written to a copy beside the pack, made at the first change:
// the pack itself is only ever replaced whole, by Commit.
bool TZyPack::BeginChange()
{
    if (!FWorkName.empty())
        return true;
    struct stat st;
    if (fstat(fileno(FHandle), &st) != 0)
        return false;
    std::string name;
    std::FILE* work = CreateBeside(FPackName, st.st_mode & 07777, name);
    if (!work)
        return false;
    // The copy keeps the pack's own permissions.
    if (fchmod(fileno(work), st.st_mode & 07777) != 0 || !CopyStart(fileno(FHandle), fileno(work), HeaderBytes + DataSize())) {
        RemoveIfSame(name.c_str(), fileno(work));
        std::fclose(work);
        return false;
    }
    std::fclose(FHandle);
    FHandle = work;
    FWorkName = std::move(name);
    FFilePos = 0;
    return true;
}

// Header, table and check word into the working copy, which then takes the
// pack's place.
bool TZyPack::WriteBack()
{
    const long tableAt = HeaderBytes + DataSize(), covered = tableAt + 48L * Count();
    if (!BeginChange() || !SeekTo(0) || std::fwrite(FHeader, 1, HeaderBytes, FHandle) != HeaderBytes || !SeekTo(tableAt)
        || std::fwrite(FTable.data(), sizeof(TZyFileTable3), FTable.size(), FHandle) != FTable.size()
        || std::fflush(FHandle) != 0)
        return false;
    unsigned short crc = FileCrc(0, covered);
    unsigned char word[2] = {static_cast<unsigned char>(crc), static_cast<unsigned char>(crc >> 8)};
    return FMoved == covered && SeekTo(covered) && std::fwrite(word, 1, 2, FHandle) == 2
        && ftruncate(fileno(FHandle), covered + 2) == 0 && Commit();
}

// Makes the working copy durable and renames it over the pack; the handle
// stays open on it.
bool TZyPack::Commit()
{
    if (std::fflush(FHandle) != 0 || fsync(fileno(FHandle)) != 0 || std::rename(FWorkName.c_str(), FPackName.c_str()) != 0)
        return false;
    FWorkName.clear();
    return true;
}

void TZyPack::ClosePack()
{
    EndPack();
}

bool TZyPack::OpenPack(AnsiString name)
{
    if (name.empty()) {
        EndPack();
        return true;
    }
    return LoadPack(name.c_str());
}

void TZyPack::SetPackName(AnsiString name)
{
    OpenPack(std::move(name));
}

// ---- adding and deleting --------------------------------------------------

bool TZyPack::AddFile(const char* name, const char* path, bool comp)
{
    if (FReadOnly)
        return false;
    if (!IsOpen())
        return true;
    AddFiles files;
    try {
        if (std::strlen(name) > MaxNameLength || CheckFileName(name) >= 0)
            throw BadName(name);
        struct stat st;
        files.Source = std::fopen(path, "rb");
        if (!files.Source || fstat(fileno(files.Source), &st) != 0 || !S_ISREG(st.st_mode)
            || st.st_size > INT32_MAX - HeaderBytes - DataSize() - 15)
            throw CannotOpen(path);
        TZyFileTable3 entry{};
        MakeFTName(entry, name);
        entry.Offset = DataSize();
        entry.Size = static_cast<std::int32_t>(st.st_size);
        entry.Time = ModificationTime(st);
        std::FILE* from = files.Source;
        int stored = entry.Size;
        if (comp && entry.Size > 0) {
            int n = FindTempName(files.TempName, 0);
            // Created exclusively: a name taken since the test moves on.
            while (n >= 0 && !(files.Temp = std::fopen(files.TempName, "w+bx"))) {
                if (errno != EEXIST)
                    throw CannotOpen(files.TempName);
                n = FindTempName(files.TempName, n + 1);
            }
            if (n < 0)
                throw Exception(Sjis("テンポラリファイルが作れません。"));
            int packed = FileEncode(files.Temp, files.Source, entry.Size);
            if (packed > 0 && packed < entry.Size && std::fflush(files.Temp) == 0
                && std::fseek(files.Temp, 0, SEEK_SET) == 0) {
                from = files.Temp;
                stored = packed;
                entry.Compressed = 1;
            } else {
                std::rewind(files.Source);
            }
        }
        entry.CrcValid = 1;
        entry.StoredSize = stored;
        if (!BeginChange() || !SeekTo(HeaderBytes + DataSize()))
            throw CannotWrite(PackName().c_str());
        entry.Crc = FileCopy(FHandle, from, stored);
        if (FMoved != stored || !AppendEntry(entry))
            throw CopyFailed(FHandle, PackName(), entry.Compressed ? files.TempName : path);
    } catch (const std::exception& E) {
        if (Application)
            Application->ShowException(E);
        return false;
    }
    return true;
}

// Pads the entry just copied to 16 + data size, then adds its record.
bool TZyPack::AppendEntry(const TZyFileTable3& entry)
{
    static const unsigned char zeros[16] = {};
    const int padding = (16 - entry.StoredSize % 16) % 16;
    if (std::fwrite(zeros, 1, static_cast<size_t>(padding), FHandle) != static_cast<size_t>(padding)
        || std::fflush(FHandle) != 0)
        return false;
    FFilePos += padding;
    FTable.push_back(entry);
    FModified = true;
    SetHeader(Version3, DataSize() + entry.StoredSize + padding, Count() + 1);
    return true;
}

bool TZyPack::DelFile(const char* name)
{
    if (FReadOnly || !IsOpen())
        return false;
    int index = CheckFileName(name);
    if (index < 0)
        return false;
    TZyFileTable3& e = FTable[static_cast<size_t>(index)];
    std::memset(e.Name, 0, sizeof e.Name + sizeof e.Ext);
    FModified = true;
    return true;
}

// ---- copies, coding and progress -------------------------------------------

void TZyPack::FireProgress(int percent)
{
    if (OnProgress) {
        FProgPercent = percent;
        FireEvent(OnProgress, this);
    }
}

void TZyPack::Progress(std::int64_t done, std::int64_t total)
{
    if (total <= 0)
        FireProgress(100);
    else if (total <= 0x4000000)
        FireProgress(static_cast<int>(done * 100 / total));
    else
        FireProgress(static_cast<int>((done / CopyPiece) * 100 / (total / CopyPiece)));
}

// Moves `size` bytes in pieces from `read` to `dst`; FMoved counts the bytes
// that arrived, and the result is their check word.
unsigned short TZyPack::CopyPieces(std::FILE* dst, int size, const std::function<bool(unsigned char*, int)>& read)
{
    FMoved = 0;
    unsigned short crc = 0xFFFF;
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[CopyPiece]);
    if (!buffer)
        return 0;
    FireProgress(0);
    while (FMoved < size) {
        int piece = std::min(CopyPiece, size - static_cast<int>(FMoved));
        if (!read(buffer.get(), piece) || std::fwrite(buffer.get(), 1, static_cast<size_t>(piece), dst) != static_cast<size_t>(piece))
            break;
        crc = FCrc->UpDateCrc(crc, buffer.get(), piece);
        FMoved += piece;
        if (piece < CopyPiece)
            FireProgress(100); // the last, short piece
        else
            Progress(FMoved, size);
    }
    if (dst == FHandle)
        FFilePos = std::ftell(FHandle); // also after a short write
    return crc;
}

unsigned short TZyPack::FileCopy(void* dst, void* src, int size)
{
    return CopyPieces(File(dst), size, [&](unsigned char* buf, int n) {
        return std::fread(buf, 1, static_cast<size_t>(n), File(src)) == static_cast<size_t>(n);
    });
}

int TZyPack::FileEncode(void* dst, void* src, int size)
{
    TLunderEncode enc;
    unsigned char* out = enc.Open(size);
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[LunderBlockSize]);
    if (!out || !buffer)
        return 0;
    FireProgress(0);
    int read = 0;
    while (!enc.Finished) {
        int n = std::min(LunderBlockSize, size - read);
        if (n > 0 && std::fread(buffer.get(), 1, static_cast<size_t>(n), File(src)) != static_cast<size_t>(n))
            return 0;
        read += n;
        int ready = enc.Encode(buffer.get());
        if (std::fwrite(out, 1, static_cast<size_t>(ready), File(dst)) != static_cast<size_t>(ready))
            return 0;
        Progress(read, size);
    }
    return enc.OutComplete;
}

TZyPack::TDecoded TZyPack::DecodePieces(std::FILE* src, int size, int compsize, const TPut& put)
{
    if (size < 0 || compsize < 0 || size > TLunderDecode::MaxSize(compsize))
        return TDecoded::Broken;
    TLunderDecode dec;
    unsigned char* out = dec.Open(size, compsize);
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[LunderBlockSize]);
    if (!out || !buffer)
        return TDecoded::NoMemory;
    FireProgress(0);
    int read = 0, written = 0;
    while (!dec.Finished) {
        if (dec.NeedData) {
            int n = std::min(LunderBlockSize, compsize - read);
            if (std::fread(buffer.get(), 1, static_cast<size_t>(n), src) != static_cast<size_t>(n))
                return TDecoded::Broken;
            read += n;
            Progress(read, compsize);
        }
        int ready = dec.Decode(buffer.get());
        if (ready > 0 && !put(out, ready))
            return TDecoded::NoMemory;
        written += ready;
    }
    return !dec.Broken && written == size ? TDecoded::Done : TDecoded::Broken;
}

bool TZyPack::FileDecode(unsigned char* dst, void* src, int size, int compsize)
{
    // The decoder never gives more than `size` bytes in all.
    return DecodePieces(File(src), size, compsize, [&](const unsigned char* bytes, int n) {
        std::memcpy(dst, bytes, static_cast<size_t>(n));
        dst += n;
        return true;
    }) == TDecoded::Done;
}

bool TZyPack::MakeTempFile(char* name)
{
    return FindTempName(name, 0) >= 0;
}

namespace Zypack {

void Register()
{
    RegisterComponents("Zyrene", {"TZyPack"});
}

} // namespace Zypack
