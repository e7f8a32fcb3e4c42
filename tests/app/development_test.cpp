// The support library as its users get it: the development component
// installed into a folder of its own, an outside CMake project built
// against it (a program linked with the library, and a module that links
// none of it), the program run on a real pack and a real BMP file, and the
// module loaded into this test program, which carries and exports the
// library as NimboChat does. And NimboChat's own export table.
#include "support/Zypack.h"
#include "support/zybitmap_files.h"

#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <dlfcn.h>

namespace {

// Runs a program to its end; its output, or a failure with everything it said.
testing::AssertionResult RunProgram(const QString& program, const QStringList& args, QString* output = nullptr)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return testing::AssertionFailure() << program.toStdString() << " " << args.join(' ').toStdString() << " failed:\n"
                                           << p.readAllStandardOutput().toStdString() << p.readAllStandardError().toStdString();
    if (output)
        *output = QString::fromUtf8(p.readAllStandardOutput());
    return testing::AssertionSuccess();
}

void WriteFile(const QString& path, const Bytes& bytes)
{
    std::ofstream(path.toStdString(), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

unsigned CrcOf(const Bytes& bytes)
{
    return TCrcCheck().Crc(bytes.data(), static_cast<int>(bytes.size()));
}

class Development : public testing::Test {
protected:
    // The installed tree and the outside project, built once for all tests.
    static void SetUpTestSuite()
    {
        dir = new QTemporaryDir;
        const QString prefix = dir->filePath("usr"), build = dir->filePath("build");
        built = RunProgram("cmake", {"--install", NIMBO_BINARY_DIR, "--component", "development", "--prefix", prefix});
        if (built)
            built = RunProgram("cmake", {"-S", NIMBO_OUTSIDE_PROJECT, "-B", build, "-G", NIMBO_GENERATOR, "-DCMAKE_PREFIX_PATH=" + prefix,
                                  "-DCMAKE_CXX_FLAGS=" NIMBO_OUTSIDE_FLAGS, "-DCMAKE_EXE_LINKER_FLAGS=" NIMBO_OUTSIDE_FLAGS});
        if (built)
            built = RunProgram("cmake", {"--build", build});
    }
    static void TearDownTestSuite() { delete dir; }

    void SetUp() override
    {
        ASSERT_TRUE(built);
        // A pack of a text, a 24-bit and an 8-bit picture, all stored plain,
        // and the 8-bit picture as a file of its own.
        WriteFile(dir->filePath("note.txt"), Bytes{'1', '2', '3', '4', '5', '6', '7', '8', '9'});
        WriteFile(dir->filePath("photo.bmp"), photo);
        WriteFile(dir->filePath("picture.bmp"), picture);
        TZyPack pack(nullptr);
        pack.SetReadOnly(false);
        ASSERT_TRUE(pack.NewPack(Path("test.pak").toStdString().c_str()));
        for (const char* name : {"note.txt", "photo.bmp", "picture.bmp"})
            ASSERT_TRUE(pack.AddFile(name, Path(name).toStdString().c_str(), false));
        pack.EndPack();
    }
    static std::string Built(const char* name) { return dir->filePath(QString("build/") + name).toStdString(); }
    static QString Path(const char* name) { return dir->filePath(name); }

    static inline QTemporaryDir* dir = nullptr;
    static inline testing::AssertionResult built = testing::AssertionFailure();
    const Bytes photo = BmpBytes(Numbered24(3, 2));
    const Bytes picture = BmpBytes(Numbered8(5, 4));
};

TEST_F(Development, AProgramOfItsOwnLinksTheInstalledLibrary)
{
    QString out;
    ASSERT_TRUE(RunProgram(QString::fromStdString(Built("packcheck")), {Path("test.pak"), Path("picture.bmp")}, &out));
    char expected[160];
    // The top row of the picture is its last file row: pixel 16 * 3 + 1 = 49,
    // whose colour is {blue 49, green 98, red 147}.
    std::snprintf(expected, sizeof expected, "note.txt 9 6F91\nphoto.bmp %zu %04X\npicture.bmp %zu %04X\n5x4 49 936231\n",
                  photo.size(), CrcOf(photo), picture.size(), CrcOf(picture));
    EXPECT_EQ(out.toStdString(), expected);
}

TEST_F(Development, AModuleTakesTheLibraryFromTheProgramThatLoadsIt)
{
    // RTLD_NOW: every name the module calls must be found in this program.
    void* module = dlopen(Built("libzyprobe.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    auto probe = reinterpret_cast<int (*)(const char*, char*, int)>(dlsym(module, "ZyreneProbe"));
    ASSERT_NE(probe, nullptr);
    char out[160] = {};
    EXPECT_EQ(probe(Path("test.pak").toStdString().c_str(), out, sizeof out), 1);
    // The text and its check word, the 24-bit picture's size and top-left
    // colour (file row 1: blue 16, green 100, red 201), a new generator's
    // first number, a counter stepped once by 3, the formatted entry count.
    EXPECT_STREQ(out, "123456789|6F91|3x2 C96410|41491 3|3 entries");
    dlclose(module);
}

// The names a module may use, as `nm -C` shows them in the dynamic symbol
// table of the NimboChat executable.
TEST(NimboChatExports, TheSupportLibraryAndTheWindowObjects)
{
    QString table;
    ASSERT_TRUE(RunProgram("nm", {"-D", "-C", "--defined-only", NIMBOCHAT_BINARY}, &table));
    for (const char* name :
         {"TZyDib::TZyDib(TComponent*)", "TZyDib::DrawBmpPack(TZyPack*", "TZyDib::SetPal1(int, TZyRGB const*)",
          "TZyPack::TZyPack(TComponent*)", "TZyPack::Zyfopen(char const*)", "TCrcCheck::UpDateCrc(",
          "TLunderEncode::Encode(", "TLunderDecode::Decode(", "TCounter::AddVal(int)", "TRandom::Rnd()",
          "LoadBmpFile(", "LoadBmp24Pack(TZyPack*", "LoadActFile(", "hstrncpy(char*, char const*, unsigned int, bool)",
          "Ansiprintf[abi:cxx11](char const*, int)", "FileIsExist(char const*)", "Zypack::Register()", "Zydib::Register()",
          "typeinfo for TZyPack", " NimboChat\n", " KeyEditForm\n"})
        EXPECT_TRUE(table.contains(name)) << name;
}

} // namespace
