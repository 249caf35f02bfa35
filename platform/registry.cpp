// The registry of the native platform: HKEY_CLASSES_ROOT kept in a store file, and
// HKEY_CURRENT_USER (users' own settings) in a second one beside it, "<store>.user", which
// follows the same rules.
//
// Every call takes the store's file lock, reads the whole store, and (for a change) writes
// the whole store to a temporary file in the same directory, syncs it and renames it over
// the store. The store is small (class and filter entries), so reading it afresh on every
// call costs little and means that no process ever works from a stale copy.
//
// File format (UTF-8 text, one record per line):
//   DUrazOdo registry 1
//   K <path>                      a key: its path from the root, components joined by '\'
//   V <type> <name> s<text>       a value of the key above whose data is UTF-16 text
//   V <type> <name> x<hex>        a value of the key above with any other data, as bytes
//   E <crc32>                     end: CRC-32 of every byte before this line
// Names and texts escape every UTF-16 unit outside printable ASCII, and '%', '\' and '@', as
// %XXXX; an empty value name (the default value) is written as '@'. Keys are written parent
// first; the root key's values follow a "K " line with an empty path.
#include "platform/platform.h"
#include "platform/native/fault.h"
#include "platform/text.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <vector>

namespace {

using Text = std::u16string;
using Path = std::vector<Text>;

const char kHeader[] = "DUrazOdo registry 1";
const size_t kMaxNameLength = 255;
// Keys lie at most this many levels below the root, as on Windows. The tree is walked
// recursively when the store is written and freed, so a deeper store file would exhaust the
// stack: the parser refuses one, and no call creates one.
const size_t kMaxDepth = 512;

char16_t FoldUnit(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - (u'a' - u'A')) : c; }

Text Fold(const Text& name)
{
    Text folded(name);
    for (auto& c : folded) c = FoldUnit(c);
    return folded;
}

bool SameName(const Text& a, const Text& b) { return Fold(a) == Fold(b); }

struct Value {
    Text name;
    DWORD type;
    std::vector<BYTE> data;
};

struct Key {
    Text name;
    std::vector<Value> values;                       // in the order they were first set
    std::map<Text, std::unique_ptr<Key>> children;  // by case-folded name

    Key* Child(const Text& childName)
    {
        auto it = children.find(Fold(childName));
        return it == children.end() ? nullptr : it->second.get();
    }
    // Adds a child of that name, which the key must not have yet.
    Key* AddChild(const Text& childName)
    {
        auto created = std::make_unique<Key>();
        created->name = childName;
        Key* child = created.get();
        children[Fold(childName)] = std::move(created);
        return child;
    }
    Value* FindValue(const Text& valueName)
    {
        for (auto& value : values)
            if (SameName(value.name, valueName)) return &value;
        return nullptr;
    }
};

Key* Find(Key& root, const Path& path)
{
    Key* key = &root;
    for (const auto& name : path) {
        key = key->Child(name);
        if (!key) return nullptr;
    }
    return key;
}

Text JoinPath(const Path& path)
{
    Text joined;
    for (size_t i = 0; i < path.size(); ++i) {
        if (i) joined += u'\\';
        joined += path[i];
    }
    return joined;
}

// ---- Text conversions --------------------------------------------------------------------

Text Widen(LPCSTR text) { return text ? platform::Widen(text, -1) : Text(); }

Text FromWide(LPCWSTR text) { return text ? Text(text) : Text(); }

std::string Narrow(const Text& text) { return platform::Narrow(text.data(), static_cast<int>(text.size())); }

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// Splits a subkey path. Empty components (a leading '\' or "\\") are refused; one trailing
// '\' is allowed.
LONG SplitPath(const Text& text, Path& out)
{
    out.clear();
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(u'\\', start);
        if (end == Text::npos) end = text.size();
        if (end == start) return ERROR_BAD_PATHNAME;
        if (end - start > kMaxNameLength) return ERROR_INVALID_PARAMETER;
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return ERROR_SUCCESS;
}

// ---- Serialisation -----------------------------------------------------------------------

uint32_t Crc32(const char* data, size_t size)
{
    static uint32_t table[256];
    static std::once_flag once;
    std::call_once(once, [] {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[i] = c;
        }
    });
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) crc = table[(crc ^ static_cast<unsigned char>(data[i])) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

void AppendEscaped(std::string& out, const char16_t* text, size_t length)
{
    for (size_t i = 0; i < length; ++i) {
        char16_t c = text[i];
        if (c > 0x20 && c < 0x7F && c != u'%' && c != u'\\' && c != u'@') {
            out += static_cast<char>(c);
        } else {
            char buffer[6];
            std::snprintf(buffer, sizeof buffer, "%%%04X", static_cast<unsigned>(c));
            out += buffer;
        }
    }
}

bool HexDigit(char c, unsigned& value)
{
    if (c >= '0' && c <= '9') value = static_cast<unsigned>(c - '0');
    else if (c >= 'A' && c <= 'F') value = static_cast<unsigned>(c - 'A' + 10);
    else if (c >= 'a' && c <= 'f') value = static_cast<unsigned>(c - 'a' + 10);
    else return false;
    return true;
}

bool ParseEscaped(const std::string& text, Text& out)
{
    out.clear();
    for (size_t i = 0; i < text.size();) {
        char c = text[i];
        if (c == '%') {
            if (i + 5 > text.size()) return false;
            unsigned unit = 0;
            for (size_t k = 1; k <= 4; ++k) {
                unsigned digit;
                if (!HexDigit(text[i + k], digit)) return false;
                unit = unit * 16 + digit;
            }
            out += static_cast<char16_t>(unit);
            i += 5;
        } else {
            if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7F || c == '\\' ||
                c == '@')
                return false;
            out += static_cast<char16_t>(c);
            ++i;
        }
    }
    return true;
}

void WriteKey(std::string& out, const Key& key, Path& path, bool isRoot)
{
    if (!isRoot || !key.values.empty()) {
        out += "K ";
        for (size_t i = 0; i < path.size(); ++i) {
            if (i) out += '\\';
            AppendEscaped(out, path[i].data(), path[i].size());
        }
        out += '\n';
    }
    for (const auto& value : key.values) {
        out += "V " + std::to_string(value.type) + ' ';
        if (value.name.empty()) out += '@';
        else AppendEscaped(out, value.name.data(), value.name.size());
        out += ' ';
        if (IsStringType(value.type) && value.data.size() % 2 == 0) {
            out += 's';
            std::u16string units(value.data.size() / 2, u'\0');
            if (!units.empty()) std::memcpy(&units[0], value.data.data(), value.data.size());
            AppendEscaped(out, units.data(), units.size());
        } else {
            out += 'x';
            static const char digits[] = "0123456789ABCDEF";
            for (BYTE b : value.data) {
                out += digits[b >> 4];
                out += digits[b & 15];
            }
        }
        out += '\n';
    }
    for (const auto& child : key.children) {
        path.push_back(child.second->name);
        WriteKey(out, *child.second, path, false);
        path.pop_back();
    }
}

std::string Serialise(const Key& root)
{
    std::string out = std::string(kHeader) + '\n';
    Path path;
    WriteKey(out, root, path, true);
    char end[16];
    std::snprintf(end, sizeof end, "E %08X\n", Crc32(out.data(), out.size()));
    return out + end;
}

std::vector<std::string> SplitFields(const std::string& line)
{
    std::vector<std::string> fields;
    size_t start = 0;
    while (true) {
        size_t end = line.find(' ', start);
        fields.push_back(line.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return fields;
}

// Parses a whole store; false for anything that is not a store written by Serialise.
bool Parse(const std::string& text, Key& root)
{
    size_t headerEnd = text.find('\n');
    if (headerEnd == std::string::npos || text.compare(0, headerEnd, kHeader) != 0) return false;
    // The last line must be the end record, and its checksum must match what precedes it.
    if (text.size() < 12 || text.back() != '\n') return false;
    size_t endLine = text.rfind('\n', text.size() - 2);
    if (endLine == std::string::npos || endLine < headerEnd) return false;
    std::string endRecord = text.substr(endLine + 1, text.size() - endLine - 2);
    if (endRecord.size() != 10 || endRecord.compare(0, 2, "E ") != 0) return false;
    uint32_t stored = 0;
    for (size_t i = 2; i < 10; ++i) {
        unsigned digit;
        if (!HexDigit(endRecord[i], digit)) return false;
        stored = stored * 16 + digit;
    }
    if (stored != Crc32(text.data(), endLine + 1)) return false;

    Key* current = nullptr;
    size_t pos = headerEnd + 1;
    while (pos < endLine + 1) {
        size_t eol = text.find('\n', pos);
        std::string line = text.substr(pos, eol - pos);
        pos = eol + 1;
        if (line.compare(0, 2, "K ") == 0) {
            Path path;
            std::string rest = line.substr(2);
            size_t start = 0;
            while (start < rest.size()) {
                size_t end = rest.find('\\', start);
                if (end == std::string::npos) end = rest.size();
                Text name;
                if (end == start || !ParseEscaped(rest.substr(start, end - start), name)) return false;
                // A name no call could have created: the key could never be opened.
                if (name.size() > kMaxNameLength) return false;
                path.push_back(name);
                start = end + 1;
            }
            if (!rest.empty() && rest.back() == '\\') return false;
            if (path.size() > kMaxDepth) return false;
            current = &root;
            for (const auto& name : path) {
                Key* child = current->Child(name);
                current = child ? child : current->AddChild(name);
            }
        } else if (line.compare(0, 2, "V ") == 0) {
            if (!current) return false;
            std::vector<std::string> fields = SplitFields(line);
            if (fields.size() != 4 || fields[1].empty() || fields[3].empty()) return false;
            Value value;
            char* endp = nullptr;
            unsigned long type = std::strtoul(fields[1].c_str(), &endp, 10);
            if (*endp || type > 0xFFFFFFFFul) return false;
            value.type = static_cast<DWORD>(type);
            if (fields[2] != "@" && (!ParseEscaped(fields[2], value.name) || value.name.empty())) return false;
            const std::string& data = fields[3];
            if (data[0] == 's') {
                Text units;
                if (!ParseEscaped(data.substr(1), units)) return false;
                value.data.resize(units.size() * 2);
                if (!units.empty()) std::memcpy(value.data.data(), units.data(), value.data.size());
            } else if (data[0] == 'x' && data.size() % 2 == 1) {
                for (size_t i = 1; i < data.size(); i += 2) {
                    unsigned hi, lo;
                    if (!HexDigit(data[i], hi) || !HexDigit(data[i + 1], lo)) return false;
                    value.data.push_back(static_cast<BYTE>(hi * 16 + lo));
                }
            } else {
                return false;
            }
            if (current->FindValue(value.name)) return false;
            current->values.push_back(std::move(value));
        } else {
            return false;
        }
    }
    return true;
}

// ---- The store file ----------------------------------------------------------------------

std::atomic<REGISTRY_WRITE_HOOK> g_writeHook{nullptr};
std::atomic<unsigned> g_tempCounter{0};

std::string ClassesStorePath()
{
    const char* env = std::getenv("DURAZODO_REGISTRY");
    if (env && *env) return env;
    const char* xdg = std::getenv("XDG_DATA_HOME");
    // A relative XDG_DATA_HOME is ignored, as the XDG base directory rules say.
    if (xdg && *xdg == '/') return std::string(xdg) + "/DUrazOdo/registry";
    std::string home;
    if (const char* h = std::getenv("HOME"); h && *h) {
        home = h;
    } else {
        passwd entry;
        passwd* found = nullptr;
        char buffer[4096];
        if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found && found->pw_dir)
            home = found->pw_dir;
    }
    return home + "/.local/share/DUrazOdo/registry";
}

// The file that holds one hive: HKEY_CURRENT_USER's (`user`) or HKEY_CLASSES_ROOT's.
std::string StorePath(bool user) { return user ? ClassesStorePath() + ".user" : ClassesStorePath(); }

std::string DirectoryOf(const std::string& path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string BaseName(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool MakeDirectories(const std::string& dir)
{
    struct stat st;
    if (stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    std::string parent = DirectoryOf(dir);
    if (parent != dir && !MakeDirectories(parent)) return false;
    return mkdir(dir.c_str(), 0777) == 0 || errno == EEXIST;
}

bool WriteAll(int fd, const std::string& data)
{
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// One registry call's hold on the store: the lock, and the tree read under it.
class Session {
public:
    ~Session()
    {
        if (m_lockFd >= 0) close(m_lockFd);  // closing drops the flock
    }

    // Takes the lock (exclusive for a change) and reads the store of one hive.
    LONG Open(bool forWriting, bool user)
    {
        m_path = StorePath(user);
        if (m_path.empty()) return ERROR_CANTOPEN;
        std::string lockPath = m_path + ".lock";
        if (forWriting && !MakeDirectories(DirectoryOf(m_path))) return ERROR_CANTWRITE;
        m_lockFd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (m_lockFd < 0) {
            // Nothing to read where the store's directory does not exist yet.
            if (!forWriting && (errno == ENOENT || errno == EACCES || errno == EROFS)) return ReadStore();
            return forWriting ? ERROR_CANTWRITE : ERROR_CANTOPEN;
        }
        while (flock(m_lockFd, forWriting ? LOCK_EX : LOCK_SH) != 0) {
            if (errno != EINTR) return ERROR_CANTOPEN;
        }
        return ReadStore();
    }

    Key& Root() { return m_root; }

    // Replaces the store with the tree as it is now. The old store stays in place until the
    // new one is complete on disk.
    LONG Commit(const char* operation, const Path& keyPath)
    {
        std::string text;
        try {
            text = Serialise(m_root);
        } catch (const std::bad_alloc&) {
            return ERROR_OUTOFMEMORY;
        }
        std::string dir = DirectoryOf(m_path);
        RemoveLeftovers(dir);
        std::string temp = m_path + ".tmp." + std::to_string(getpid()) + "." + std::to_string(g_tempCounter++);
        int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) return ERROR_CANTWRITE;
        bool written = WriteAll(fd, text) && fsync(fd) == 0;
        written = close(fd) == 0 && written;
        if (!written) {
            unlink(temp.c_str());
            return ERROR_CANTWRITE;
        }
        // An injected fault fails the write where a full disk would.
        if (PlatformFaultNext(PLATFORM_FAULT_REGISTRY_WRITE)) {
            unlink(temp.c_str());
            return ERROR_CANTWRITE;
        }
        if (REGISTRY_WRITE_HOOK hook = g_writeHook.load()) {
            Text path = JoinPath(keyPath);
            LONG verdict = hook(operation, path.c_str(), temp.c_str());
            if (verdict != ERROR_SUCCESS) {
                unlink(temp.c_str());
                return verdict;
            }
        }
        if (rename(temp.c_str(), m_path.c_str()) != 0) {
            unlink(temp.c_str());
            return ERROR_CANTWRITE;
        }
        // Make the rename itself durable.
        int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dirFd >= 0) {
            fsync(dirFd);
            close(dirFd);
        }
        return ERROR_SUCCESS;
    }

private:
    LONG ReadStore()
    {
        int fd = open(m_path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return errno == ENOENT ? ERROR_SUCCESS : ERROR_CANTREAD;
        std::string text;
        char buffer[65536];
        while (true) {
            ssize_t n = read(fd, buffer, sizeof buffer);
            if (n < 0) {
                if (errno == EINTR) continue;
                close(fd);
                return ERROR_CANTREAD;
            }
            if (n == 0) break;
            text.append(buffer, static_cast<size_t>(n));
        }
        close(fd);
        try {
            if (!Parse(text, m_root)) return ERROR_BADDB;
        } catch (const std::bad_alloc&) {
            return ERROR_OUTOFMEMORY;
        }
        return ERROR_SUCCESS;
    }

    // Temporary files of writers that died before their rename. Only a writer holding the
    // exclusive lock creates them, so under that lock every one found is abandoned.
    void RemoveLeftovers(const std::string& dir)
    {
        std::string prefix = BaseName(m_path) + ".tmp.";
        DIR* d = opendir(dir.c_str());
        if (!d) return;
        while (dirent* entry = readdir(d)) {
            if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0)
                unlinkat(dirfd(d), entry->d_name, 0);
        }
        closedir(d);
    }

    std::string m_path;
    int m_lockFd = -1;
    Key m_root;
};

// ---- Open keys ---------------------------------------------------------------------------

struct KeyHandle {
    bool user;  // in HKEY_CURRENT_USER, else in HKEY_CLASSES_ROOT
    Path path;
};

std::mutex g_handleLock;
std::set<KeyHandle*> g_handles;

LONG ResolveHandle(HKEY hKey, bool& user, Path& path)
{
    if (hKey == HKEY_CLASSES_ROOT || hKey == HKEY_CURRENT_USER) {
        user = hKey == HKEY_CURRENT_USER;
        path.clear();
        return ERROR_SUCCESS;
    }
    std::lock_guard<std::mutex> lock(g_handleLock);
    auto* handle = reinterpret_cast<KeyHandle*>(hKey);
    if (!g_handles.count(handle)) return ERROR_INVALID_HANDLE;
    user = handle->user;
    path = handle->path;
    return ERROR_SUCCESS;
}

LONG NewHandle(bool user, Path path, PHKEY result)
{
    auto* handle = new (std::nothrow) KeyHandle;
    if (!handle) return ERROR_OUTOFMEMORY;
    handle->user = user;
    handle->path = std::move(path);
    try {
        std::lock_guard<std::mutex> lock(g_handleLock);
        g_handles.insert(handle);
    } catch (const std::bad_alloc&) {
        delete handle;
        return ERROR_OUTOFMEMORY;
    }
    *result = reinterpret_cast<HKEY>(handle);
    return ERROR_SUCCESS;
}

// Runs `body` on the key that `hKey` names, inside a session. ERROR_KEY_DELETED when the
// key is gone.
template <typename Body>
LONG WithKey(HKEY hKey, bool forWriting, Body body)
{
    Path path;
    bool user = false;
    LONG rc = ResolveHandle(hKey, user, path);
    if (rc != ERROR_SUCCESS) return rc;
    try {
        Session session;
        rc = session.Open(forWriting, user);
        if (rc != ERROR_SUCCESS) return rc;
        Key* key = Find(session.Root(), path);
        if (!key) return ERROR_KEY_DELETED;
        return body(session, *key, path);
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    }
}

LONG CreateKey(HKEY hKey, const Text& subKey, PHKEY result, LPDWORD disposition)
{
    if (!result) return ERROR_INVALID_PARAMETER;
    Path relative;
    LONG rc = SplitPath(subKey, relative);
    if (rc != ERROR_SUCCESS) return rc;
    bool user = false;
    Path opened;
    rc = ResolveHandle(hKey, user, opened);
    if (rc != ERROR_SUCCESS) return rc;
    rc = WithKey(hKey, true, [&](Session& session, Key& base, const Path& basePath) {
        if (basePath.size() + relative.size() > kMaxDepth) return ERROR_INVALID_PARAMETER;
        Key* key = &base;
        opened = basePath;
        bool created = false;
        for (const auto& name : relative) {
            Key* child = key->Child(name);
            if (!child) {
                child = key->AddChild(name);
                created = true;
            }
            opened.push_back(child->name);
            key = child;
        }
        if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
        return created ? session.Commit("create", opened) : ERROR_SUCCESS;
    });
    if (rc != ERROR_SUCCESS) return rc;
    return NewHandle(user, std::move(opened), result);
}

LONG OpenKey(HKEY hKey, const Text& subKey, PHKEY result)
{
    if (!result) return ERROR_INVALID_PARAMETER;
    Path relative;
    LONG rc = SplitPath(subKey, relative);
    if (rc != ERROR_SUCCESS) return rc;
    bool user = false;
    Path opened;
    rc = ResolveHandle(hKey, user, opened);
    if (rc != ERROR_SUCCESS) return rc;
    rc = WithKey(hKey, false, [&](Session&, Key& base, const Path& basePath) {
        Key* key = &base;
        opened = basePath;
        for (const auto& name : relative) {
            key = key->Child(name);
            if (!key) return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
            opened.push_back(key->name);
        }
        return static_cast<LONG>(ERROR_SUCCESS);
    });
    if (rc != ERROR_SUCCESS) return rc;
    return NewHandle(user, std::move(opened), result);
}

LONG SetValue(HKEY hKey, const Text& name, DWORD type, std::vector<BYTE> data)
{
    return WithKey(hKey, true, [&](Session& session, Key& key, const Path& path) {
        if (Value* existing = key.FindValue(name)) {
            existing->type = type;
            existing->data = std::move(data);
        } else {
            key.values.push_back(Value{name, type, std::move(data)});
        }
        return session.Commit("set", path);
    });
}

LONG GetValue(HKEY hKey, const Text& name, DWORD& type, std::vector<BYTE>& data)
{
    return WithKey(hKey, false, [&](Session&, Key& key, const Path&) {
        Value* value = key.FindValue(name);
        if (!value) return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
        type = value->type;
        data = value->data;
        return static_cast<LONG>(ERROR_SUCCESS);
    });
}

// Hands `data` out with the registry's buffer protocol: the size is always reported; a
// buffer that is too small gets nothing and ERROR_MORE_DATA.
LONG DeliverData(const std::vector<BYTE>& data, DWORD type, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
    if (lpType) *lpType = type;
    if (!lpcbData) return ERROR_SUCCESS;
    DWORD size = static_cast<DWORD>(data.size());
    if (lpData) {
        if (*lpcbData < size) {
            *lpcbData = size;
            return ERROR_MORE_DATA;
        }
        if (size) std::memcpy(lpData, data.data(), size);
    }
    *lpcbData = size;
    return ERROR_SUCCESS;
}

LONG EnumKey(HKEY hKey, DWORD index, Text& name)
{
    return WithKey(hKey, false, [&](Session&, Key& key, const Path&) {
        if (index >= key.children.size()) return static_cast<LONG>(ERROR_NO_MORE_ITEMS);
        auto it = key.children.begin();
        std::advance(it, index);
        name = it->second->name;
        return static_cast<LONG>(ERROR_SUCCESS);
    });
}

LONG DeleteKey(HKEY hKey, const Text& subKey)
{
    Path relative;
    LONG rc = SplitPath(subKey, relative);
    if (rc != ERROR_SUCCESS) return rc;
    return WithKey(hKey, true, [&](Session& session, Key&, const Path& basePath) {
        if (relative.empty() && basePath.empty()) return static_cast<LONG>(ERROR_ACCESS_DENIED);
        Path target = basePath;
        target.insert(target.end(), relative.begin(), relative.end());
        Path parentPath(target.begin(), target.end() - 1);
        Key* parent = Find(session.Root(), parentPath);
        Key* key = parent ? parent->Child(target.back()) : nullptr;
        if (!key) return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
        if (!key->children.empty()) return static_cast<LONG>(ERROR_ACCESS_DENIED);
        target.back() = key->name;
        parent->children.erase(Fold(key->name));
        return session.Commit("delete", target);
    });
}

LONG DeleteValue(HKEY hKey, const Text& name)
{
    return WithKey(hKey, true, [&](Session& session, Key& key, const Path& path) {
        for (auto it = key.values.begin(); it != key.values.end(); ++it) {
            if (SameName(it->name, name)) {
                key.values.erase(it);
                return session.Commit("delete-value", path);
            }
        }
        return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
    });
}

// Narrow string data becomes UTF-16, as RegSetValueExA does on Windows.
std::vector<BYTE> WidenData(DWORD type, const BYTE* data, DWORD size)
{
    std::vector<BYTE> bytes;
    if (!data || !size) return bytes;
    if (!IsStringType(type)) return std::vector<BYTE>(data, data + size);
    Text wide = platform::Widen(reinterpret_cast<LPCSTR>(data), static_cast<int>(size));
    bytes.resize(wide.size() * 2);
    if (!wide.empty()) std::memcpy(bytes.data(), wide.data(), bytes.size());
    return bytes;
}

std::vector<BYTE> NarrowData(DWORD type, const std::vector<BYTE>& data)
{
    if (!IsStringType(type) || data.empty()) return data;
    std::u16string wide(data.size() / 2, u'\0');
    if (!wide.empty()) std::memcpy(&wide[0], data.data(), wide.size() * 2);
    std::string narrow = Narrow(wide);
    return std::vector<BYTE>(narrow.begin(), narrow.end());
}

// Hands a key name out, with its terminator; `chars` counts characters in and out.
template <typename Char>
LONG DeliverName(const std::basic_string<Char>& name, Char* buffer, LPDWORD chars)
{
    if (!buffer || !chars) return ERROR_INVALID_PARAMETER;
    if (*chars <= name.size()) return ERROR_MORE_DATA;
    std::memcpy(buffer, name.c_str(), (name.size() + 1) * sizeof(Char));
    *chars = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

void ClearClass(LPDWORD lpcchClass, void* lpClass, size_t unit, FILETIME* time)
{
    if (lpClass && lpcchClass && *lpcchClass) std::memset(lpClass, 0, unit);
    if (lpcchClass) *lpcchClass = 0;
    if (time) *time = FILETIME{0, 0};
}

// The registry's entry points are C functions: running out of memory anywhere in one of them
// becomes ERROR_OUTOFMEMORY, never an exception in the caller.
template <typename Body>
LONG NoThrow(Body body)
{
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    }
}

}  // namespace

LSTATUS RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD, REGSAM, const LPSECURITY_ATTRIBUTES,
                        PHKEY phkResult, LPDWORD lpdwDisposition)
{
    return NoThrow([&] { return CreateKey(hKey, Widen(lpSubKey), phkResult, lpdwDisposition); });
}

LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR, DWORD, REGSAM, const LPSECURITY_ATTRIBUTES,
                        PHKEY phkResult, LPDWORD lpdwDisposition)
{
    return NoThrow([&] { return CreateKey(hKey, FromWide(lpSubKey), phkResult, lpdwDisposition); });
}

LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult)
{
    return NoThrow([&] { return OpenKey(hKey, Widen(lpSubKey), phkResult); });
}

LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult)
{
    return NoThrow([&] { return OpenKey(hKey, FromWide(lpSubKey), phkResult); });
}

LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData, DWORD cbData)
{
    if (!lpData && cbData) return ERROR_INVALID_PARAMETER;
    return NoThrow([&] { return SetValue(hKey, Widen(lpValueName), dwType, WidenData(dwType, lpData, cbData)); });
}

LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData, DWORD cbData)
{
    if (!lpData && cbData) return ERROR_INVALID_PARAMETER;
    return NoThrow([&] {
        std::vector<BYTE> data;
        if (cbData) data.assign(lpData, lpData + cbData);
        return SetValue(hKey, FromWide(lpValueName), dwType, std::move(data));
    });
}

LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    return NoThrow([&] {
        DWORD type = REG_NONE;
        std::vector<BYTE> data;
        LONG rc = GetValue(hKey, Widen(lpValueName), type, data);
        if (rc != ERROR_SUCCESS) return rc;
        return DeliverData(NarrowData(type, data), type, lpType, lpData, lpcbData);
    });
}

LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    return NoThrow([&] {
        DWORD type = REG_NONE;
        std::vector<BYTE> data;
        LONG rc = GetValue(hKey, FromWide(lpValueName), type, data);
        if (rc != ERROR_SUCCESS) return rc;
        return DeliverData(data, type, lpType, lpData, lpcbData);
    });
}

LSTATUS RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD, LPSTR lpClass,
                      LPDWORD lpcchClass, FILETIME* lpftLastWriteTime)
{
    return NoThrow([&] {
        Text name;
        LONG rc = EnumKey(hKey, dwIndex, name);
        if (rc != ERROR_SUCCESS) return rc;
        rc = DeliverName(Narrow(name), lpName, lpcchName);
        if (rc == ERROR_SUCCESS) ClearClass(lpcchClass, lpClass, sizeof(CHAR), lpftLastWriteTime);
        return rc;
    });
}

LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD, LPWSTR lpClass,
                      LPDWORD lpcchClass, FILETIME* lpftLastWriteTime)
{
    return NoThrow([&] {
        Text name;
        LONG rc = EnumKey(hKey, dwIndex, name);
        if (rc != ERROR_SUCCESS) return rc;
        rc = DeliverName(name, lpName, lpcchName);
        if (rc == ERROR_SUCCESS) ClearClass(lpcchClass, lpClass, sizeof(WCHAR), lpftLastWriteTime);
        return rc;
    });
}

LSTATUS RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey)
{
    if (!lpSubKey) return ERROR_INVALID_PARAMETER;
    return NoThrow([&] { return DeleteKey(hKey, Widen(lpSubKey)); });
}

LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey)
{
    if (!lpSubKey) return ERROR_INVALID_PARAMETER;
    return NoThrow([&] { return DeleteKey(hKey, FromWide(lpSubKey)); });
}

LSTATUS RegDeleteValueA(HKEY hKey, LPCSTR lpValueName)
{
    return NoThrow([&] { return DeleteValue(hKey, Widen(lpValueName)); });
}

LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName)
{
    return NoThrow([&] { return DeleteValue(hKey, FromWide(lpValueName)); });
}

LSTATUS RegCloseKey(HKEY hKey)
{
    if (hKey == HKEY_CLASSES_ROOT || hKey == HKEY_CURRENT_USER || hKey == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
    KeyHandle* handle = reinterpret_cast<KeyHandle*>(hKey);
    {
        std::lock_guard<std::mutex> lock(g_handleLock);
        if (!g_handles.erase(handle)) return ERROR_INVALID_HANDLE;
    }
    delete handle;
    return ERROR_SUCCESS;
}

DWORD RegistryStoreLocation(LPSTR buffer, DWORD size)
{
    std::string path;
    try {
        path = ClassesStorePath();
    } catch (const std::bad_alloc&) {
        return 0;
    }
    if (!buffer || size <= path.size()) return static_cast<DWORD>(path.size() + 1);
    std::memcpy(buffer, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
}

void RegistrySetWriteHook(REGISTRY_WRITE_HOOK hook) { g_writeHook.store(hook); }
