// ShellExecuteA over posix_spawn. The header gives the rules; here is how:
//   - Every path is checked with stat() first, so that the result codes
//     name what is wrong (file, folder, rights) before anything is started.
//   - A program is started by a forked intermediate that calls posix_spawn
//     and reports its result through a pipe, then exits at once; we reap the
//     intermediate by its pid. Everything posix_spawn needs is prepared
//     before the fork, so the intermediate only spawns, writes and exits.
//   - xdg-mime runs as an ordinary child that is waited for by pid.
#include "winapi/shell.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iconv.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <utility>
#include <vector>

extern char** environ;

namespace {

constexpr std::intptr_t Started = 42;
constexpr int QueryTimeoutMs = 5000;

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

// Windows-style splitting of a parameter text: blanks separate, "..."
// groups, \" is a literal quote.
std::vector<std::string> SplitParameters(const std::string& text)
{
    std::vector<std::string> out;
    std::string current;
    bool inQuotes = false, have = false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\\' && i + 1 < text.size() && text[i + 1] == '"') {
            current += '"';
            have = true;
            ++i;
        } else if (c == '"') {
            inQuotes = !inQuotes;
            have = true;
        } else if ((c == ' ' || c == '\t') && !inQuotes) {
            if (have)
                out.push_back(current);
            current.clear();
            have = false;
        } else {
            current += c;
            have = true;
        }
    }
    if (have)
        out.push_back(current);
    return out;
}

// Everything the intermediate needs, made before the fork.
struct SpawnPlan {
    std::vector<std::string> Args;
    std::vector<char*> Argv;
    posix_spawn_file_actions_t Actions;
    posix_spawnattr_t Attr;
    bool Ready = false;

    SpawnPlan(std::vector<std::string> args, const std::string& dir, bool detach)
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
        short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
        if (detach) {
            flags |= POSIX_SPAWN_SETSID;
            ok = ok && posix_spawn_file_actions_addopen(&Actions, 0, "/dev/null", O_RDONLY, 0) == 0;
        }
        ok = ok && posix_spawnattr_setsigmask(&Attr, &none) == 0
            && posix_spawnattr_setsigdefault(&Attr, &defaults) == 0 && posix_spawnattr_setflags(&Attr, flags) == 0;
        if (!ok) {
            Release();
        }
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

void ReapChild(pid_t pid)
{
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

// Starts args[0] (an absolute path) in dir without keeping it as a child.
// Returns the errno of the start, 0 when it started.
int SpawnDetached(std::vector<std::string> args, const std::string& dir)
{
    SpawnPlan plan(std::move(args), dir, true);
    if (!plan.Ready)
        return ENOMEM;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return errno;
    pid_t middle = ::fork();
    if (middle == 0) {
        ::close(fds[0]);
        pid_t pid = 0;
        int rc = posix_spawn(&pid, plan.Argv[0], &plan.Actions, &plan.Attr, plan.Argv.data(), environ);
        ssize_t ignored = ::write(fds[1], &rc, sizeof rc);
        (void)ignored;
        ::_exit(0);
    }
    int err = errno;
    ::close(fds[1]);
    if (middle < 0) {
        ::close(fds[0]);
        return err;
    }
    int rc = 0;
    size_t got = 0;
    while (got < sizeof rc) {
        ssize_t n = ::read(fds[0], reinterpret_cast<char*>(&rc) + got, sizeof rc - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    ::close(fds[0]);
    ReapChild(middle);
    return got == sizeof rc ? rc : EAGAIN;
}

// Runs a helper and returns the first line of its output, or "" when it
// fails, exits non-zero or takes longer than the timeout.
std::string RunForLine(std::vector<std::string> args)
{
    SpawnPlan plan(std::move(args), std::string(), false);
    if (!plan.Ready)
        return {};
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return {};
    bool ok = posix_spawn_file_actions_adddup2(&plan.Actions, fds[1], 1) == 0
        && posix_spawn_file_actions_addopen(&plan.Actions, 0, "/dev/null", O_RDONLY, 0) == 0
        && posix_spawn_file_actions_addopen(&plan.Actions, 2, "/dev/null", O_WRONLY, 0) == 0;
    pid_t pid = 0;
    if (!ok || posix_spawn(&pid, plan.Argv[0], &plan.Actions, &plan.Attr, plan.Argv.data(), environ) != 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return {};
    }
    ::close(fds[1]);
    std::string out;
    timespec start {};
    clock_gettime(CLOCK_MONOTONIC, &start);
    bool timedOut = false;
    while (true) {
        timespec now {};
        clock_gettime(CLOCK_MONOTONIC, &now);
        long elapsed = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (elapsed >= QueryTimeoutMs) {
            timedOut = true;
            break;
        }
        pollfd p {fds[0], POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(QueryTimeoutMs - elapsed));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            timedOut = r == 0;
            break;
        }
        char buf[1024];
        ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        if (out.size() < 4096)
            out.append(buf, static_cast<size_t>(n));
    }
    ::close(fds[0]);
    if (timedOut)
        ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (timedOut || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return {};
    out = out.substr(0, out.find_first_of("\r\n"));
    size_t semi = out.find(';'); // "text/plain; charset=..." -> "text/plain"
    if (semi != std::string::npos)
        out.resize(semi);
    while (!out.empty() && (out.back() == ' ' || out.back() == '\t'))
        out.pop_back();
    return out;
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

std::intptr_t OpenDocument(const std::string& path, const std::string& dir)
{
    struct stat st {};
    const bool program = ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && LooksLikeProgram(path);
    const std::intptr_t none = program ? SE_ERR_ACCESSDENIED : SE_ERR_NOASSOC;
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if (!(display && *display) && !(wayland && *wayland))
        return none;
    std::string open = FindOnPath("xdg-open"), mime = FindOnPath("xdg-mime");
    if (open.empty() || mime.empty())
        return none;
    std::string type = RunForLine({mime, "query", "filetype", path});
    if (type.empty())
        return none;
    std::string entry = RunForLine({mime, "query", "default", type});
    if (entry.empty()) // xdg-mime names only entries that are installed
        return none;
    return SpawnErrorCode(SpawnDetached({open, path}, dir));
}

bool IsOpenVerb(const char* verb)
{
    if (!verb || !*verb)
        return true;
    return std::strlen(verb) == 4 && ::strncasecmp(verb, "open", 4) == 0;
}

std::intptr_t Execute(LPCSTR lpOperation, LPCSTR lpFile, LPCSTR lpParameters, LPCSTR lpDirectory)
{
    const std::string file = Slashes(ToLocal(lpFile));
    const std::string dir = Slashes(ToLocal(lpDirectory));
    if (file.empty())
        return SE_ERR_FNF;
    if (!IsOpenVerb(lpOperation))
        return SE_ERR_NOASSOC;
    if (!dir.empty()) {
        struct stat st {};
        if (::stat(dir.c_str(), &st) != 0)
            return errno == EACCES ? SE_ERR_ACCESSDENIED : SE_ERR_PNF;
        if (!S_ISDIR(st.st_mode))
            return SE_ERR_PNF;
        if (::access(dir.c_str(), X_OK) != 0)
            return SE_ERR_ACCESSDENIED;
    }

    // Where the file is looked for, first match wins. When none matches,
    // the first candidate (the path as the caller wrote it) names the error.
    std::vector<std::string> candidates;
    if (file[0] == '/') {
        candidates.push_back(file);
    } else {
        candidates.push_back(Absolute(file));
        if (!dir.empty())
            candidates.push_back(Absolute(dir + '/' + file));
    }
    std::string found;
    int firstErr = 0;
    for (size_t i = 0; i < candidates.size(); ++i) {
        struct stat st {};
        if (::stat(candidates[i].c_str(), &st) == 0) {
            found = candidates[i];
            break;
        }
        if (i == 0)
            firstErr = errno;
    }
    if (found.empty() && file.find('/') == std::string::npos)
        found = FindOnPath(file);
    if (found.empty())
        return MissingCode(candidates.front(), firstErr);

    if (!IsProgramFile(found))
        return OpenDocument(found, dir);
    std::vector<std::string> args{found};
    for (auto& p : SplitParameters(ToLocal(lpParameters)))
        args.push_back(p);
    return SpawnErrorCode(SpawnDetached(std::move(args), dir));
}

} // namespace

HINSTANCE ShellExecuteA(HWND, LPCSTR lpOperation, LPCSTR lpFile, LPCSTR lpParameters, LPCSTR lpDirectory, INT)
{
    return reinterpret_cast<HINSTANCE>(Execute(lpOperation, lpFile, lpParameters, lpDirectory));
}
