// Zypack: the support library's CRC-16 checker, the Lunder compression codec
// and the pack archive component with stream access to its entries.
//
// Nothing here throws to the caller: failures come back as false, 0, null or
// -1, and damaged pack files are reported with message boxes through the
// application object.
#pragma once

#include "framework/classes.h"
#include "framework/file_time.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <vector>

// ---------------------------------------------------------------------------
// CRC-16 over byte blocks, right-shifting (reflected) table form.
//
// Mode cm8408 (the default) is CRC-16/MCRF4XX: polynomial 0x1021 reflected,
// start 0xFFFF, no final XOR. cmC001 uses 0x8003 reflected. Any other mode
// value builds the cm8408 table.

enum TCrcMode : unsigned char { cm8408 = 0, cmC001 = 1 };

class TCrcCheck : public TObject {
public:
    TCrcCheck();

    // Read them freely; change the mode only through SetCrcMode, which keeps
    // the table (and the faster tables derived from it) in step.
    TCrcMode Mode;
    unsigned short Table[256];

    void MakeCrcTable();
    void SetCrcMode(TCrcMode mode);
    // Continues `crc` over `len` bytes at `data`. A block fed in pieces, each
    // call taking the previous result, gives the value of one call over the
    // whole block. With `len` <= 0 the input value is returned and `data` is
    // not read.
    unsigned short UpDateCrc(unsigned short crc, const unsigned char* data, int len) const;
    // UpDateCrc from 0xFFFF.
    unsigned short Crc(const unsigned char* data, int len) const;

private:
    // FSlice[k][i]: the table entry for byte i followed by k zero bytes; the
    // checker runs eight bytes per step with them. FSlice[0] is Table.
    unsigned short FSlice[8][256];
};

// ---------------------------------------------------------------------------
// Lunder codec: greedy LZ77 with a 1535-byte look-back, copies of 1 to 8192
// bytes, items in groups of 32 behind a little-endian 32-bit flag word
// (bit 31 for the first item; set = copy, clear = literal). The stream has no
// header: the container keeps the uncompressed and compressed lengths.
//
// Both classes work on one stream at a time between Open and Close with
// fixed buffers that they own and allocate in Open. The caller feeds blocks
// of LunderBlockSize bytes (the last one shorter) and takes finished bytes
// out of the object's buffer before the next call.

constexpr int LunderBlockSize = 16384;
constexpr int LunderHistory = 1536;
constexpr int LunderMaxDistance = 1535;
constexpr int LunderMaxLength = 8192;

class TLunderEncode : public TObject {
public:
    TLunderEncode();
    ~TLunderEncode() override;
    TLunderEncode(const TLunderEncode&) = delete;
    TLunderEncode& operator=(const TLunderEncode&) = delete;

    bool Opened = false;
    bool Finished = true;
    // Stream position of the end of the last closed group; after the last
    // Encode call, the compressed length.
    int OutComplete = 0;

    // Starts a stream of `size` bytes (at least 1) and returns the output
    // buffer, or null when `size` is below 1 or the buffers cannot be
    // allocated (the object is closed then). An open object is closed first.
    unsigned char* Open(int size);
    // Takes the next input block (LunderBlockSize bytes, the last one
    // shorter; not read once all blocks were given) and returns how many
    // finished compressed bytes now start the output buffer. Call until
    // Finished. The first call of an input longer than one block returns 0.
    // Returns 0 when closed or finished.
    int Encode(const unsigned char* block);
    // The number of leading bytes in which the two runs agree, at most
    // `maxlen`; both runs must hold `maxlen` readable bytes.
    static unsigned short Search(const unsigned char* candidate, const unsigned char* current, unsigned short maxlen);
    bool Close();

private:
    struct Matcher;

    void encodeItems();
    void putItem(int length, int distance);
    void closeGroup();
    void insertUpTo(int position);

    int FSize = 0;
    int FBlocks = 0;
    unsigned char* FWindow = nullptr;
    unsigned char* FOutput = nullptr;
    int FInPos = 0;
    int FOutLength = 0;
    unsigned char* FOutPtr = nullptr;
    int FWindowBase = 0;
    int FOutDelivered = 0;
    std::uint32_t FFlag = 0;
    std::uint32_t FMask = 0;
    int FItems = 0;
    unsigned char* FFlagPlace = nullptr;
    Matcher* FMatcher = nullptr; // match-finding tables; see Zypack_encode.cpp
};

class TLunderDecode : public TObject {
public:
    TLunderDecode();
    ~TLunderDecode() override;
    TLunderDecode(const TLunderDecode&) = delete;
    TLunderDecode& operator=(const TLunderDecode&) = delete;

    bool Opened = false;
    bool Finished = true;
    // True when the next Decode call takes a new block of compressed bytes.
    bool NeedData = false;
    // Set together with Finished when the stream turned out not to be one the
    // encoder makes: a distance before the start of the output or of 0, a
    // length above 8192, a copy past the uncompressed length, or compressed
    // bytes that end too early. The bytes decoded before the fault are
    // reported as usual; the rest of the output is never written.
    bool Broken = false;

    // The most bytes that `compsize` stream bytes can decode to: an item
    // gives at most 8192 / 3 bytes for each of its bytes (14 for a one-byte
    // item, 255 for two bytes, 8192 for three or more) and a flag word none.
    static std::int64_t MaxSize(int compsize);
    // Starts a stream of `size` uncompressed bytes stored in `compsize`
    // bytes and returns the output pointer, or null when a length is
    // negative, `size` is above MaxSize(compsize) (no stream of that length
    // can hold it), or the buffers cannot be allocated.
    unsigned char* Open(int size, int compsize);
    // When NeedData is set, takes min(LunderBlockSize, compressed bytes not
    // yet given) bytes from `block`; otherwise `block` is not read. Returns
    // how many decoded bytes are at the output pointer; fewer than 1536 are
    // held back (returned as 0) until the stream is finished. Returns 0 when
    // closed or finished. Whatever the bytes, it reads and writes only inside
    // its own buffers and `block`.
    int Decode(const unsigned char* block);
    bool Close();

private:
    void takeBlock(const unsigned char* block);
    void decodeItems();
    void fail();

    int FSize = 0;
    int FCompSize = 0;
    unsigned char* FInput = nullptr;
    unsigned char* FWindow = nullptr;
    int FInPos = 0;
    int FOutPos = 0;
    const unsigned char* FInPtr = nullptr;
    unsigned char* FOutPtr = nullptr;
    int FInBase = 0;
    int FReceived = 0;
    int FOutBase = 0;
    std::uint32_t FFlag = 0;
    std::uint32_t FMask = 0;
    int FItems = 0;
};

// ---------------------------------------------------------------------------
// Pack archive.
//
// File layout (little-endian): "ZyPack", version (0x0300; 0x0100 and 0x0200
// are read and converted), data size, entry count; the data area (each
// entry's stored bytes padded with zeros to a multiple of 16); the table of
// 48-byte records; a CRC-16 over everything before it.

#pragma pack(push, 1)
struct TZyFileTable3 {
    char Name[21];          // base name, zero-padded, no terminator when 21 long
    char Ext[3];            // extension, zero-padded
    std::int32_t Offset;    // within the data area (file offset - 16)
    std::int32_t Size;      // uncompressed length
    std::int32_t StoredSize;// bytes in the data area, padding excluded
    std::uint8_t Compressed;// 1: the stored bytes are a Lunder stream
    std::uint8_t CrcValid;  // 1: Crc is valid
    std::uint16_t Crc;      // over the stored bytes, from 0xFFFF
    FILETIME Time;          // last-write time of the source file
};
#pragma pack(pop)
static_assert(sizeof(TZyFileTable3) == 48);

// The handle of one open entry: created by ZyfopenComp, freed by Zyfclose.
// It refers to its pack's table and file, so it must be closed before the
// pack is ended.
struct ZyFILE {
    int Index;
    int Offset;             // file offset of the stored bytes
    int Size;               // uncompressed size
    int StoredSize;
    bool Compressed;
    unsigned char* Data;    // the decoded bytes, or null (owned; std::free)
    int Position;
};

class TZyPack : public TComponent {
public:
    explicit TZyPack(TComponent* Owner);
    ~TZyPack() override;

    // Properties. ReadOnly (default true) is changed only while no pack is
    // open. With EachFileCrc false (default) LoadPack tests the whole pack's
    // check word; with it true each entry's check word is tested when the
    // entry is opened instead.
    bool ReadOnly() const { return FReadOnly; }
    void SetReadOnly(bool value);
    bool EachFileCrc = false;
    int ProgPercent() const { return FProgPercent; }
    // Fired with the pack as Sender as copies, compression and decoding
    // progress; ProgPercent runs from 0 to 100. It runs inside the copy.
    TNotifyEvent OnProgress;
    // An empty name ends the open pack (true); any other is loaded.
    const AnsiString& PackName() const { return FPackName; }
    void SetPackName(AnsiString name);
    bool OpenPack(AnsiString name);
    // Holds the whole entry `name` in FileStream, replacing the one held;
    // an empty name holds none (true). False, with FileName empty, when
    // the entry cannot be read.
    const AnsiString& FileName() const { return FFileName; }
    void SetFileName(AnsiString name);
    bool OpenFile(AnsiString name);
    // The entry held by OpenFile, or null; owned by the pack.
    TMemoryStream* FileStream() const { return FFileStream; }

    // Creates (replacing) an empty pack file; false when ReadOnly or the
    // file cannot be written. The empty pack is written beside the name
    // and renamed over it, so a failure leaves the old file as it was.
    bool NewPack(const char* name);
    // Opens an existing pack (for writing too unless ReadOnly); false when it
    // cannot be opened, is shorter than its header or has an unknown
    // version. A negative size or count, a table or check word reaching past
    // the end of the file, or a wrong check word is shown as
    // "Packﾌｧｲﾙが壊れています。" and fails as well. No byte that was not read
    // is used, and nothing stays open on failure.
    bool LoadPack(const char* name);
    // Writes header, table and check word when something changed, closes.
    // Changes never touch the pack file itself: the first one copies header
    // and data area to "<pack>.ZyTmpNNN" beside it, everything is written
    // there, and EndPack renames the copy over the pack once every write,
    // flush and sync has succeeded. When one fails the old pack stays as it
    // was, the copy is deleted, and "ファイル<pack>に書き込めません。" is
    // shown in the standard exception box.
    void EndPack();
    // Closes without writing back: the changes made since the pack was
    // opened are dropped with the working copy, and the pack file stays as
    // it was when it was opened.
    void CancelPack();
    void ClosePack();
    void CloseFile();

    // Adds the disk file `path` under `name` (at most 25 characters, not
    // present yet), compressed when `comp` and when that makes it smaller;
    // when the codec cannot start the file is stored plain. The temporary
    // file is created exclusively, never through an existing name or link,
    // read back through the same descriptor, and deleted only while its
    // name still refers to it. A write into the pack that fails shows
    // "ファイル<pack>に書き込めません。".
    // Errors are shown in the standard exception box and give false with
    // the pack's contents unchanged (the table is written back at EndPack
    // if the copy had begun). True with nothing done when no pack is open.
    bool AddFile(const char* name, const char* path, bool comp);
    // Copies entry `srcname` of the open pack `src` as stored, compressed
    // bytes unchanged. False, without a message, when the name is taken or
    // too long, the entry cannot be opened or copied, or `src` is this pack.
    bool AddPack(const char* name, TZyPack* src, const char* srcname);
    // Clears the record's name; its bytes and the count stay.
    bool DelFile(const char* name);

    int GetFileNum() const;
    // Bytes in the data area of the open pack, padding included: an entry
    // can only be added while its padded size still fits beside them below
    // 2^31 bytes.
    std::int32_t DataSize() const;
    // The entry name of record `index` into `name`, which holds 26 bytes.
    bool GetFileName(int index, char* name) const;
    // Index of the entry, ignoring ASCII case, or -1.
    int CheckFileName(const char* name) const;
    static void MakeFTName(TZyFileTable3& entry, const char* name);

    // The file arguments are std::FILE* handles open for the direction
    // used. Each returns 0 / false when its buffers cannot be allocated, and
    // stops at the first short read or write.
    // FileCopy: copies `size` bytes from `src` to `dst`, returns their
    // check word.
    unsigned short FileCopy(void* dst, void* src, int size);
    // Compresses `size` bytes of `src` into `dst`; the compressed length, or
    // 0 when the codec cannot start or a read or write fails.
    int FileEncode(void* dst, void* src, int size);
    // Decodes `compsize` bytes of `src` into `dst` (room for `size` bytes);
    // false also when the stream is broken or the file ends early, and at
    // once, reading nothing, when `compsize` bytes cannot hold `size`.
    bool FileDecode(unsigned char* dst, void* src, int size, int compsize);
    // Copies `size` bytes of the open entry `f` of `src` into file `dst`.
    unsigned short PackCopy(void* dst, TZyPack* src, ZyFILE* f, int size);
    // The first of "ZyTmp000.Lunder" ... "ZyTmp999.Lunder" in the current
    // directory that does not exist, into `name` (16 bytes); false when
    // all exist.
    static bool MakeTempFile(char* name);

    // Entry access. Handles of one pack share its file; they must be closed
    // with Zyfclose before the pack is ended. A compressed entry is decoded
    // whole when opened with `decode`; opened without, reads give its
    // stored bytes. Null when no pack is open, the name is not found, the
    // record points outside the data area or past a file offset of
    // INT32_MAX, the bytes cannot be decoded, or
    // an entry check (EachFileCrc) fails, shown as "Packﾌｧｲﾙが壊れています。".
    // The sizes in the record are never trusted for memory: an uncompressed
    // size that the stored bytes cannot decode to is shown as damaged before
    // anything is reserved, and the decoded block grows with the bytes that
    // really come out. Running out of memory fails without a message.
    ZyFILE* ZyfopenComp(const char* name, bool decode);
    ZyFILE* Zyfopen(const char* name);
    int Zyfclose(ZyFILE* f);
    int Zyfsize(ZyFILE* f) const;
    int Zydsize(ZyFILE* f) const;
    bool ZyIsComp(ZyFILE* f) const;
    // Origin 0 from the start, 1 from the position, 2 from the limit; the
    // position is kept within 0 ... limit.
    bool Zyfseek(ZyFILE* f, int offset, int origin);
    bool Zyfgetpos(ZyFILE* f, int* pos) const;
    bool Zyfsetpos(ZyFILE* f, int* pos);
    // Reads whole items of `size` bytes, as many of the `n` as fit before the
    // limit; returns how many were read (0: nothing read, position kept).
    unsigned Zyfread(void* buf, unsigned size, unsigned n, ZyFILE* f);
    // A null handle or one whose index is out of range answers false / 0.
    bool ZyIsCrc(ZyFILE* f) const;
    unsigned short ZyGetCrc(ZyFILE* f) const;
    bool ZyGetFileTime(ZyFILE* f, FILETIME* time) const;
    // The whole uncompressed entry as a new stream at position 0, owned by
    // the caller; null when the entry cannot be opened or read.
    TMemoryStream* ZyMakeStream(const char* name);

private:
    static constexpr int HeaderBytes = 16;
    static constexpr int MaxNameLength = 25;

    bool IsOpen() const { return FHandle != nullptr; }
    int Count() const;
    void SetHeader(std::uint16_t version, std::int32_t dataSize, std::int32_t count);
    bool LoadTable();
    bool CheckPackCrc();
    unsigned short FileCrc(long offset, long size);
    bool SeekTo(long pos);
    void FireProgress(int percent);
    void Progress(std::int64_t done, std::int64_t total);
    unsigned short CopyPieces(std::FILE* dst, int size, const std::function<bool(unsigned char*, int)>& read);
    // Decodes `compsize` bytes of `src`, handing the `size` decoded bytes
    // piece by piece to a put, which returns false when it has no memory
    // for them. A size that the stream cannot hold is refused before
    // anything is allocated.
    enum class TDecoded { Done, NoMemory, Broken };
    using TPut = std::function<bool(const unsigned char*, int)>;
    TDecoded DecodePieces(std::FILE* src, int size, int compsize, const TPut& put);
    bool DecodeEntry(ZyFILE& f);
    bool AppendEntry(const TZyFileTable3& entry);
    bool BeginChange();
    bool WriteBack();
    bool Commit();
    bool RecordFits(const TZyFileTable3& entry) const;
    int Limit(const ZyFILE* f) const;
    const TZyFileTable3* RecordOf(const ZyFILE* f) const;
    static void ReportBroken();

    bool FReadOnly = true;
    std::FILE* FHandle = nullptr;
    unsigned char FHeader[16] = {};
    std::vector<TZyFileTable3> FTable;
    bool FModified = false;
    long FFilePos = 0;
    int FProgPercent = 0;
    AnsiString FPackName;
    AnsiString FFileName;
    TMemoryStream* FFileStream = nullptr;
    // The working copy beside the pack that changes go to (FHandle is open
    // on it), or empty while the pack is unchanged.
    std::string FWorkName;
    TCrcCheck* FCrc = nullptr;
    long FMoved = 0; // bytes that the last copy or check really moved
};

namespace Zypack {
// Registers TZyPack on the component palette page "Zyrene".
void Register();
} // namespace Zypack
