// The shell's start over posix_spawn. The header gives the rules; here is
// how:
//   - Every path is checked with stat() first, so that the result codes
//     name what is wrong (file, folder, rights) before anything is started.
//   - What is started is started by a forked intermediate that calls
//     posix_spawn and reports through a pipe: for a program the result of
//     the spawn, at once; for a document's opener (a small shell script
//     that looks the association up and runs xdg-open) how it ended, once
//     it has. Everything posix_spawn needs is prepared before the fork, so
//     the intermediate only spawns, waits, writes and exits. We reap the
//     intermediate by its pid: a program's at once, an opener's when its
//     report arrives on a socket notifier.
#include "winapi/shell.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iconv.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

extern char** environ;

namespace {


// Shift_JIS bytes to UTF-8; bytes that do not convert are kept as they are.
// A name behind the UTF-8 byte-order mark is UTF-8 already.
std::string ToLocal(const char* text)
{
    std::string in = text ? text : "";
    if (in.compare(0, 3, "\xEF\xBB\xBF") == 0)
        return in.substr(3);
    bool ascii = true;
    for (unsigned char c : in)
        ascii = ascii && c < 0x80;
    if (ascii)
        return in;
    iconv_t cd = iconv_open("UTF-8", "CP932");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return in;
    std::string out(in.size() * 3 + 4, '\0');
    char* src = in.data();
    size_t srcLeft = in.size();
    char* dst = out.data();
    size_t dstLeft = out.size();
    size_t rc = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    iconv_close(cd);
    if (rc == static_cast<size_t>(-1) || srcLeft != 0)
        return in;
    out.resize(out.size() - dstLeft);
    return out;
}

std::string Slashes(std::string path)
{
    for (char& c : path)
        if (c == '\\')
            c = '/';
    return path;
}

std::string Dirname(const std::string& path)
{
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string Absolute(const std::string& path)
{
    if (!path.empty() && path[0] == '/')
        return path;
    char buf[4096];
    if (!getcwd(buf, sizeof buf))
        return path;
    return std::string(buf) + '/' + path;
}

bool IsDir(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsProgramFile(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// The result for a path that stat() could not find.
std::intptr_t MissingCode(const std::string& path, int err)
{
    switch (err) {
    case EACCES:
        return SE_ERR_ACCESSDENIED;
    case ENOENT:
        return IsDir(Dirname(path)) ? SE_ERR_FNF : SE_ERR_PNF;
    case ENOMEM:
        return SE_ERR_OOM;
    default: // ENOTDIR, ENAMETOOLONG, ELOOP
        return SE_ERR_PNF;
    }
}

std::intptr_t SpawnErrorCode(int err)
{
    switch (err) {
    case 0:
        return Started;
    case ENOENT:
        return SE_ERR_FNF;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
        return SE_ERR_PNF;
    case EACCES:
    case EPERM:
    case EISDIR:
        return SE_ERR_ACCESSDENIED;
    case ENOMEM:
    case E2BIG:
        return SE_ERR_OOM;
    case ENOEXEC:
    case ELIBBAD:
        return ERROR_BAD_FORMAT;
    case ETXTBSY:
        return SE_ERR_SHARE;
    case EAGAIN:
    case EMFILE:
    case ENFILE:
        return SE_ERR_OUT_OF_RESOURCES;
    default:
        return SE_ERR_UNKNOWN;
    }
}

std::string FindOnPath(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::string dirs = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t colon = dirs.find(':', start);
        std::string dir = dirs.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        std::string candidate = (dir.empty() ? std::string(".") : dir) + '/' + name;
        if (IsProgramFile(candidate))
            return Absolute(candidate);
        if (colon == std::string::npos)
            break;
        start = colon + 1;
    }
    return {};
}

// Everything the intermediate needs, made before the fork. What it starts
// runs in a session of its own with standard input from /dev/null.
struct SpawnPlan {
    std::vector<std::string> Args;
    std::vector<char*> Argv;
    posix_spawn_file_actions_t Actions;
    posix_spawnattr_t Attr;
    bool Ready = false;

    SpawnPlan(std::vector<std::string> args, const std::string& dir)
        : Args(std::move(args))
    {
        for (auto& a : Args)
            Argv.push_back(a.data());
        Argv.push_back(nullptr);
        if (posix_spawn_file_actions_init(&Actions) != 0)
            return;
        if (posix_spawnattr_init(&Attr) != 0) {
            posix_spawn_file_actions_destroy(&Actions);
            return;
        }
        Ready = true;
        bool ok = dir.empty() || posix_spawn_file_actions_addchdir_np(&Actions, dir.c_str()) == 0;
        sigset_t none, defaults;
        sigemptyset(&none);
        sigemptyset(&defaults);
        for (int sig : {SIGPIPE, SIGCHLD, SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGTSTP, SIGTTIN, SIGTTOU})
            sigaddset(&defaults, sig);
        const short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID;
        ok = ok && posix_spawn_file_actions_addopen(&Actions, 0, "/dev/null", O_RDONLY, 0) == 0
            && posix_spawnattr_setsigmask(&Attr, &none) == 0 && posix_spawnattr_setsigdefault(&Attr, &defaults) == 0
            && posix_spawnattr_setflags(&Attr, flags) == 0;
        if (!ok)
            Release();
    }

    void Release()
    {
        if (Ready) {
            posix_spawn_file_actions_destroy(&Actions);
            posix_spawnattr_destroy(&Attr);
            Ready = false;
        }
    }

    ~SpawnPlan() { Release(); }
    SpawnPlan(const SpawnPlan&) = delete;
    SpawnPlan& operator=(const SpawnPlan&) = delete;
};

// What the intermediate writes into the pipe.
struct SpawnReport {
    int Error = EAGAIN; // of posix_spawn; EAGAIN when nothing came
    int Status = 0;     // of waitpid, when the started process was waited for
};

// A started intermediate: its pid and the read end of its report pipe.
struct Intermediate {
    pid_t Pid = -1;
    int Fd = -1;
    int Error = 0; // why none could be started
};

void ReapChild(pid_t pid)
{
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

// Forks the intermediate that starts args[0] (an absolute path) in dir and
// reports; with wait it reports once the started process has ended.
Intermediate StartIntermediate(std::vector<std::string> args, const std::string& dir, bool wait)
{
    SpawnPlan plan(std::move(args), dir);
    if (!plan.Ready)
        return {.Error = ENOMEM};
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return {.Error = errno};
    pid_t middle = ::fork();
    if (middle == 0) {
        ::close(fds[0]);
        pid_t pid = 0;
        SpawnReport report;
        report.Error = posix_spawn(&pid, plan.Argv[0], &plan.Actions, &plan.Attr, plan.Argv.data(), environ);
        while (wait && report.Error == 0 && ::waitpid(pid, &report.Status, 0) < 0 && errno == EINTR) {
        }
        ssize_t ignored = ::write(fds[1], &report, sizeof report);
        (void)ignored;
        ::_exit(0);
    }
    int err = errno;
    ::close(fds[1]);
    if (middle < 0) {
        ::close(fds[0]);
        return {.Error = err};
    }
    return {.Pid = middle, .Fd = fds[0]};
}

// Reads the report (one write below PIPE_BUF arrives whole), closes the
// pipe and reaps the intermediate.
SpawnReport FinishIntermediate(const Intermediate& middle)
{
    SpawnReport report;
    ssize_t n = 0;
    do
        n = ::read(middle.Fd, &report, sizeof report);
    while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(sizeof report))
        report = SpawnReport {};
    ::close(middle.Fd);
    ReapChild(middle.Pid);
    return report;
}

// Starts a program without keeping it as a child.
std::intptr_t StartProgram(const std::string& path, const std::string& dir)
{
    Intermediate middle = StartIntermediate({path}, dir, false);
    if (middle.Pid < 0)
        return SpawnErrorCode(middle.Error);
    return SpawnErrorCode(FinishIntermediate(middle).Error);
}

// A file that would run if it had execute permission.
bool LooksLikeProgram(const std::string& path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    char head[4] = {};
    ssize_t n = ::read(fd, head, sizeof head);
    ::close(fd);
    return (n >= 4 && std::memcmp(head, "\x7f" "ELF", 4) == 0) || (n >= 2 && head[0] == '#' && head[1] == '!');
}

// The opener: looks the association up as xdg-open's desktop lookup does
// and opens the document ($1). It ends with NoOpener when there is none.
constexpr int NoOpener = 100;
const char* const OpenerScript =
    "command -v xdg-mime >/dev/null && command -v xdg-open >/dev/null || exit 100\n"
    "type=$(xdg-mime query filetype \"$1\" 2>/dev/null) || exit 100\n"
    "type=${type%%;*}\n" // "text/plain; charset=..." -> "text/plain"
    "[ -n \"$type\" ] && [ -n \"$(xdg-mime query default \"$type\" 2>/dev/null)\" ] || exit 100\n"
    "exec xdg-open \"$1\"\n";

// How the opener ended, as a result; none is the result for "no association".
std::intptr_t OpenerCode(const SpawnReport& report, std::intptr_t none)
{
    if (report.Error != 0)
        return SpawnErrorCode(report.Error);
    if (!WIFEXITED(report.Status))
        return SE_ERR_UNKNOWN;
    switch (WEXITSTATUS(report.Status)) {
    case 0: return Started;
    case NoOpener: return none;
    case 2: return SE_ERR_FNF;               // xdg-open: the file is gone
    case 3: return SE_ERR_NOASSOC;           // xdg-open: no way to open it
    case 4: return SE_ERR_ASSOCINCOMPLETE;   // xdg-open: its program failed
    default: return SE_ERR_UNKNOWN;
    }
}

// Hands the opener's end to Done from the event loop. The notifier belongs
// to the application object, so Done dies with it when the opener outlives
// the program.
void WatchOpener(const Intermediate& middle, std::intptr_t none, TShellDone Done)
{
    auto* notifier = new QSocketNotifier(middle.Fd, QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [notifier, middle, none, Done] {
        notifier->setEnabled(false);
        notifier->deleteLater();
        Done(OpenerCode(FinishIntermediate(middle), none));
    });
}

void OpenDocument(const std::string& path, const std::string& dir, TShellDone Done)
{
    const std::intptr_t none = LooksLikeProgram(path) ? SE_ERR_ACCESSDENIED : SE_ERR_NOASSOC;
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if ((!(display && *display) && !(wayland && *wayland)) || !QCoreApplication::instance())
        return Done(none);
    Intermediate middle = StartIntermediate({"/bin/sh", "-c", OpenerScript, "sh", path}, dir, true);
    if (middle.Pid < 0)
        return Done(SpawnErrorCode(middle.Error));
    WatchOpener(middle, none, std::move(Done));
}

// The result for the working directory: Started when it will do.
std::intptr_t DirectoryCode(const std::string& dir)
{
    if (dir.empty())
        return Started;
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0)
        return errno == EACCES ? SE_ERR_ACCESSDENIED : SE_ERR_PNF;
    if (!S_ISDIR(st.st_mode))
        return SE_ERR_PNF;
    return ::access(dir.c_str(), X_OK) != 0 ? SE_ERR_ACCESSDENIED : Started;
}

// Where the file is, "" when it is nowhere; then *err is the result.
std::string FindFile(const std::string& file, const std::string& dir, std::intptr_t* err)
{
    // First match wins. When none matches, the first candidate (the path as
    // the caller wrote it) names the error.
    std::vector<std::string> candidates;
    if (file[0] == '/') {
        candidates.push_back(file);
    } else {
        candidates.push_back(Absolute(file));
        if (!dir.empty())
            candidates.push_back(Absolute(dir + '/' + file));
    }
    int firstErr = 0;
    for (size_t i = 0; i < candidates.size(); ++i) {
        struct stat st {};
        if (::stat(candidates[i].c_str(), &st) == 0)
            return candidates[i];
        if (i == 0)
            firstErr = errno;
    }
    std::string found = file.find('/') == std::string::npos ? FindOnPath(file) : std::string();
    if (found.empty())
        *err = MissingCode(candidates.front(), firstErr);
    return found;
}

} // namespace

void ShellStart(const char* File, const char* Directory, TShellDone Done)
{
    const std::string file = Slashes(ToLocal(File));
    const std::string dir = Slashes(ToLocal(Directory));
    if (file.empty())
        return Done(SE_ERR_FNF);
    std::intptr_t err = DirectoryCode(dir);
    if (err != Started)
        return Done(err);
    const std::string found = FindFile(file, dir, &err);
    if (found.empty())
        return Done(err);
    if (IsProgramFile(found))
        return Done(StartProgram(found, dir));
    OpenDocument(found, dir, std::move(Done));
}
