// The file the hive lives in, and the handles over it. The header states
// what callers may rely on; one picture of the hive (winapi/registry_hive.h)
// is loaded from its text form (winapi/regedit4.h) when the first handle
// opens and dropped when the last one closes.
#include "winapi/registry.h"

#include "winapi/regedit4.h"
#include "winapi/registry_hive.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using hive::Key;
using hive::Value;

constexpr off_t MaxFileBytes = 16 * 1024 * 1024;
constexpr const char* FileName = "HKEY_CURRENT_USER.reg";

// ---- the file ------------------------------------------------------------

std::string ConfigHome()
{
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/')
        return xdg;
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
        passwd* pw = getpwuid(getuid());
        home = pw ? pw->pw_dir : nullptr;
    }
    if (!home || !*home)
        return {};
    return std::string(home) + "/.config";
}

std::string StoreFolder()
{
    std::string home = ConfigHome();
    return home.empty() ? std::string() : home + "/nimbochat";
}

std::string ReadFile(const std::string& path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    std::string text;
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= MaxFileBytes) {
        char buf[65536];
        while (true) {
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            text.append(buf, static_cast<size_t>(n));
            if (text.size() > static_cast<size_t>(MaxFileBytes)) {
                text.clear(); // grew while being read: not a file we trust
                break;
            }
        }
    }
    ::close(fd);
    return text;
}

LONG ErrnoToCode(int e)
{
    switch (e) {
    case EACCES:
    case EPERM:
    case EROFS:
    case ENOTDIR:
    case EEXIST:
        return ERROR_ACCESS_DENIED;
    case ENOSPC:
    case EDQUOT:
        return ERROR_DISK_FULL;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return ERROR_WRITE_FAULT;
    }
}

// Creates the folder (and the configuration folder above it) as needed and
// checks that a file can be made in it.
LONG EnsureFolder(const std::string& folder)
{
    if (folder.empty())
        return ERROR_ACCESS_DENIED;
    for (size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        std::string part = folder.substr(0, slash);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return ErrnoToCode(errno);
        if (slash == std::string::npos)
            break;
    }
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return ERROR_ACCESS_DENIED;
    if (::access(folder.c_str(), W_OK | X_OK) != 0)
        return ERROR_ACCESS_DENIED;
    return ERROR_SUCCESS;
}

bool WriteAll(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// The file a write must replace: the store's file itself or, when that is a
// symbolic link (as dotfile managers keep them), the file the link leads to,
// through any chain of links, so that the link stays and its target is
// updated. A dangling link gives the path where its target would be.
std::string LinkTarget(std::string path)
{
    for (int hops = 0; hops < 40; ++hops) {
        char buf[4096];
        ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
        if (n < 0 || static_cast<size_t>(n) >= sizeof buf)
            break;
        std::string link(buf, static_cast<size_t>(n));
        path = link[0] == '/' ? link : path.substr(0, path.rfind('/') + 1) + link;
    }
    return path;
}

// Writes text to a new temporary file beside target, flushed to disk. The
// temporary's path is in tmpl. Its mode is 0600 whatever the old file's was
// (and whatever the umask): the settings hold a password, so the renamed
// file is readable by the user alone.
bool WriteTemporary(const std::string& target, const std::string& text, std::vector<char>& tmpl)
{
    const size_t slash = target.rfind('/');
    const std::string tmp = target.substr(0, slash + 1) + '.' + target.substr(slash + 1) + ".XXXXXX";
    tmpl.assign(tmp.begin(), tmp.end());
    tmpl.push_back('\0');
    int fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = ::fchmod(fd, 0600) == 0 && WriteAll(fd, text) && ::fsync(fd) == 0;
    int err = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        ::unlink(tmpl.data());
        errno = err;
    }
    return ok;
}

// The whole file, atomically: a temporary file in the folder of the file it
// replaces, flushed, then renamed over it; the rename is made durable too.
// A write that failed: said on stderr, since nobody else may see it (the
// settings are written at exit), and turned into its result code.
LONG WriteFailed(const std::string& path, int err)
{
    std::fprintf(stderr, "NimboChat: the settings could not be written to %s: %s\n", path.c_str(), std::strerror(err));
    return ErrnoToCode(err);
}

LONG WriteHiveFile(const std::string& folder, const std::string& text)
{
    if (LONG rc = EnsureFolder(folder); rc != ERROR_SUCCESS) {
        std::fprintf(stderr, "NimboChat: the settings could not be written to %s/%s: no folder to write in\n",
            folder.c_str(), FileName);
        return rc;
    }
    const std::string target = LinkTarget(folder + '/' + FileName);
    std::vector<char> tmpl;
    if (!WriteTemporary(target, text, tmpl))
        return WriteFailed(target, errno);
    if (::rename(tmpl.data(), target.c_str()) != 0) {
        int err = errno;
        ::unlink(tmpl.data());
        return WriteFailed(target, err);
    }
    int dir = ::open(target.substr(0, target.rfind('/') + 1).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return ERROR_SUCCESS;
}

// ---- handles -------------------------------------------------------------

struct OpenKey {
    Key* Target = nullptr;
    REGSAM Access = 0;
    bool Changed = false;
};

struct Store {
    std::mutex Lock;
    std::unique_ptr<Key> Root; // the loaded picture, null when no handle is open
    std::string Folder; // where it was loaded from
    bool KeepAside = false; // the file held text that is no REGEDIT4 file
    std::map<std::uintptr_t, OpenKey> Handles;
    std::uintptr_t NextHandle = 0x1000;

    void Load()
    {
        if (Root)
            return;
        Folder = StoreFolder();
        const std::string text = Folder.empty() ? std::string() : ReadFile(Folder + '/' + FileName);
        KeepAside = !text.empty() && !regedit4::IsRegedit4(text);
        Root = regedit4::Parse(text);
    }

    // Before the first write over a file that was not read (a UTF-16 export
    // of the Windows registry editor, say), the file is moved aside, never
    // overwritten; stderr says where it went.
    LONG MoveAside()
    {
        const std::string target = LinkTarget(Folder + '/' + FileName);
        const std::string aside = target + ".unreadable";
        if (::rename(target.c_str(), aside.c_str()) != 0 && errno != ENOENT)
            return ErrnoToCode(errno);
        std::fprintf(stderr, "NimboChat: %s is no REGEDIT4 file and was not read; it is kept as %s\n",
            target.c_str(), aside.c_str());
        KeepAside = false;
        return ERROR_SUCCESS;
    }

    void ReleaseIfIdle()
    {
        if (Handles.empty())
            Root.reset();
    }

    LONG Save()
    {
        if (LONG rc = KeepAside ? MoveAside() : ERROR_SUCCESS; rc != ERROR_SUCCESS)
            return rc;
        return WriteHiveFile(Folder, regedit4::Write(*Root));
    }

    // The open key behind a handle, or null. Loads the hive for the root.
    OpenKey* Resolve(HKEY h, OpenKey& rootSlot)
    {
        if (h == HKEY_CURRENT_USER) {
            Load();
            rootSlot = OpenKey{Root.get(), KEY_ALL_ACCESS, false};
            return &rootSlot;
        }
        auto it = Handles.find(reinterpret_cast<std::uintptr_t>(h));
        return it == Handles.end() ? nullptr : &it->second;
    }

    HKEY NewHandle(Key* k, REGSAM access, bool changed)
    {
        std::uintptr_t id = NextHandle;
        NextHandle += 4;
        Handles[id] = OpenKey{k, access, changed};
        return reinterpret_cast<HKEY>(id);
    }

    // After a change made directly on the root handle, which is never closed.
    LONG FinishRootChange(HKEY h)
    {
        return h == HKEY_CURRENT_USER ? Save() : ERROR_SUCCESS;
    }
};

Store& TheStore()
{
    static Store s;
    return s;
}

std::string NameOf(LPCSTR name)
{
    return name ? std::string(name) : std::string();
}

LONG OpenOrCreate(HKEY hKey, LPCSTR lpSubKey, REGSAM sam, PHKEY phkResult, bool create, LPDWORD disposition)
{
    if (!phkResult)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    Store& s = TheStore();
    std::lock_guard guard(s.Lock);
    OpenKey rootSlot;
    OpenKey* base = s.Resolve(hKey, rootSlot);
    LONG rc = ERROR_SUCCESS;
    if (!base) {
        rc = ERROR_INVALID_HANDLE;
    } else if (auto parts = hive::SplitPath(NameOf(lpSubKey)); !parts) {
        rc = ERROR_INVALID_PARAMETER;
    } else if (create && (rc = EnsureFolder(s.Folder)) != ERROR_SUCCESS) {
        // nothing can be saved, so nothing is created
    } else {
        Key* k = base->Target;
        bool created = false;
        // Every name is checked before anything is created, so a bad path
        // leaves no keys behind.
        bool valid = k->Depth + static_cast<int>(parts->size()) <= hive::MaxKeyDepth;
        for (auto& p : *parts)
            valid = valid && p.size() <= hive::MaxKeyNameBytes && hive::KeyNameRoundTrips(p);
        if (!valid)
            rc = ERROR_INVALID_PARAMETER;
        for (size_t i = 0; rc == ERROR_SUCCESS && i < parts->size(); ++i) {
            Key* sub = k->FindSub((*parts)[i]);
            if (!sub && !create) {
                rc = ERROR_FILE_NOT_FOUND;
                break;
            }
            if (!sub) {
                sub = k->AddSub((*parts)[i]);
                created = true;
            }
            k = sub;
        }
        if (rc == ERROR_SUCCESS) {
            *phkResult = s.NewHandle(k, sam, created);
            if (disposition)
                *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
        }
    }
    s.ReleaseIfIdle();
    return rc;
}

// The result for a value call on a resolved handle that needs a right:
// ERROR_INVALID_HANDLE for no open key, ERROR_ACCESS_DENIED without the right.
LONG AccessResult(const OpenKey* k, REGSAM right)
{
    if (!k)
        return ERROR_INVALID_HANDLE;
    return (k->Access & right) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

} // namespace

LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult)
{
    return OpenOrCreate(hKey, lpSubKey, samDesired, phkResult, false, nullptr);
}

LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD, REGSAM samDesired,
    const LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition)
{
    return OpenOrCreate(hKey, lpSubKey, samDesired, phkResult, true, lpdwDisposition);
}

LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData, DWORD cbData)
{
    Store& s = TheStore();
    std::lock_guard guard(s.Lock);
    OpenKey rootSlot;
    OpenKey* k = s.Resolve(hKey, rootSlot);
    std::string name = NameOf(lpValueName);
    LONG rc = AccessResult(k, KEY_SET_VALUE);
    if (rc != ERROR_SUCCESS) {
        // no key, or no right to set
    } else if ((!lpData && cbData) || cbData > REG_MAX_VALUE_BYTES || !regedit4::ValueNameFits(name))
        rc = ERROR_INVALID_PARAMETER;
    else {
        k->Target->SetValue(name, dwType,
            cbData ? std::string(reinterpret_cast<const char*>(lpData), cbData) : std::string());
        k->Changed = true;
        rc = s.FinishRootChange(hKey);
    }
    s.ReleaseIfIdle();
    return rc;
}

LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
    LPDWORD lpcbData)
{
    Store& s = TheStore();
    std::lock_guard guard(s.Lock);
    OpenKey rootSlot;
    OpenKey* k = s.Resolve(hKey, rootSlot);
    LONG rc = AccessResult(k, KEY_QUERY_VALUE);
    if (rc != ERROR_SUCCESS) {
        // no key, or no right to query
    } else if (lpReserved || (lpData && !lpcbData)) {
        rc = ERROR_INVALID_PARAMETER;
    } else if (const Value* v = k->Target->FindValue(NameOf(lpValueName)); !v) {
        rc = ERROR_FILE_NOT_FOUND;
    } else {
        if (lpType)
            *lpType = v->Type;
        const DWORD size = static_cast<DWORD>(v->Data.size());
        if (lpData) {
            if (*lpcbData < size)
                rc = ERROR_MORE_DATA;
            else if (size)
                std::memcpy(lpData, v->Data.data(), size);
        }
        if (lpcbData)
            *lpcbData = size;
    }
    s.ReleaseIfIdle();
    return rc;
}

LONG RegDeleteValueA(HKEY hKey, LPCSTR lpValueName)
{
    Store& s = TheStore();
    std::lock_guard guard(s.Lock);
    OpenKey rootSlot;
    OpenKey* k = s.Resolve(hKey, rootSlot);
    LONG rc = AccessResult(k, KEY_SET_VALUE);
    if (rc == ERROR_SUCCESS) {
        if (!k->Target->DeleteValue(NameOf(lpValueName))) {
            rc = ERROR_FILE_NOT_FOUND;
        } else {
            k->Changed = true;
            rc = s.FinishRootChange(hKey);
        }
    }
    s.ReleaseIfIdle();
    return rc;
}

LONG RegCloseKey(HKEY hKey)
{
    if (hKey == HKEY_CURRENT_USER)
        return ERROR_SUCCESS;
    Store& s = TheStore();
    std::lock_guard guard(s.Lock);
    auto it = s.Handles.find(reinterpret_cast<std::uintptr_t>(hKey));
    if (it == s.Handles.end())
        return ERROR_INVALID_HANDLE;
    bool changed = it->second.Changed;
    s.Handles.erase(it);
    LONG rc = changed ? s.Save() : ERROR_SUCCESS;
    s.ReleaseIfIdle();
    return rc;
}
