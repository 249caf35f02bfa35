// Registry store files from the fuzzer, read through the native registry's own calls. Half
// the inputs become a store body that the harness closes with a correct header and
// checksum, so that the parser past the checksum is reached; the rest are the file's bytes
// as they are.
//
// A store the registry cannot read must be reported as ERROR_BADDB by every call, reads and
// writes alike, and never rewritten. A store it reads must enumerate consistently, take a
// change, and keep everything it held across that change: the rewritten file holds the old
// tree plus the new key, and nothing else.
#include <set>
#include <string>

#include "fuzz/fuzz_support.h"

namespace {

const char kHeader[] = "DUrazOdo registry 1\n";

uint32_t Crc32(const std::string& data)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : data) {
        crc ^= byte;
        for (int k = 0; k < 8; ++k) crc = (crc & 1) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
    }
    return crc ^ 0xFFFFFFFFu;
}

// A directory of our own for the store, on a memory file system when there is one: every
// change syncs the file.
const std::string& StorePath()
{
    static const std::string path = [] {
        std::string store = fuzz::MakeTemporaryDirectory("registry-fuzz") + "/registry";
        setenv("DURAZODO_REGISTRY", store.c_str(), 1);
        return store;
    }();
    return path;
}

std::string ReadFile(const std::string& path)
{
    std::string bytes;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return bytes;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes.append(buffer, n);
    std::fclose(f);
    return bytes;
}

std::string Narrow(const std::u16string& text)
{
    std::string out;
    for (char16_t c : text) {
        if (c >= 0x20 && c < 0x7F && c != '%') {
            out += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "%%%04X", static_cast<unsigned>(c));
            out += escaped;
        }
    }
    return out;
}

// Every key below `key` and its default value, as "path" and "path=type:bytes" lines. The
// first call that fails ends the walk with its code.
LONG Walk(HKEY key, const std::string& path, int depth, std::set<std::string>& lines)
{
    DWORD type = 0, size = 0;
    LONG rc = RegQueryValueExW(key, WIDE(""), nullptr, &type, nullptr, &size);
    if (rc == ERROR_SUCCESS) {
        std::vector<BYTE> data(size);
        DWORD got = size;
        rc = RegQueryValueExW(key, WIDE(""), nullptr, &type, data.data(), &got);
        if (rc != ERROR_SUCCESS) return rc;
        std::string line = path + "=" + std::to_string(type) + ":";
        for (DWORD i = 0; i < got; ++i) line += std::to_string(data[i]) + ",";
        lines.insert(line);
    } else if (rc != ERROR_FILE_NOT_FOUND) {
        return rc;
    }
    if (depth > 64) return ERROR_SUCCESS;
    for (DWORD index = 0;; ++index) {
        WCHAR name[300];
        DWORD chars = 300;
        rc = RegEnumKeyExW(key, index, name, &chars, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
        if (rc == ERROR_MORE_DATA) {
            lines.insert(path + "\\<long name " + std::to_string(index) + ">");
            continue;
        }
        if (rc != ERROR_SUCCESS) return rc;
        const std::u16string child(name, chars);
        const std::string childPath = path + "\\" + Narrow(child);
        lines.insert(childPath);
        // Names that hold a separator or a NUL cannot be opened by name: list them only.
        if (child.find(u'\\') != std::u16string::npos || child.find(u'\0') != std::u16string::npos) continue;
        HKEY sub = nullptr;
        rc = RegOpenKeyExW(key, child.c_str(), 0, KEY_READ, &sub);
        if (rc != ERROR_SUCCESS) return rc;
        rc = Walk(sub, childPath, depth + 1, lines);
        RegCloseKey(sub);
        if (rc != ERROR_SUCCESS) return rc;
    }
}

// Whether `line` starts with `prefix`, ASCII letters compared without case as key names are.
bool StartsWithFolded(const std::string& line, const char* prefix)
{
    for (size_t i = 0; prefix[i]; ++i) {
        if (i >= line.size()) return false;
        char a = line[i], b = prefix[i];
        if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 'a' + 'A');
        if (b >= 'a' && b <= 'z') b = static_cast<char>(b - 'a' + 'A');
        if (a != b) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string& store = StorePath();
    fuzz::Input in(data, size);
    const bool sealed = in.ConsumeBool();
    const std::vector<uint8_t> rest = in.ConsumeRemainingBytes();
    std::string bytes(rest.begin(), rest.end());
    if (sealed) {
        // A body between a good header and a good end record.
        if (!bytes.empty() && bytes.back() != '\n') bytes += '\n';
        bytes = kHeader + bytes;
        char end[16];
        std::snprintf(end, sizeof end, "E %08X\n", static_cast<unsigned>(Crc32(bytes)));
        bytes += end;
    }
    fuzz::WriteFile(store, bytes.data(), bytes.size());

    std::set<std::string> before;
    const LONG first = Walk(HKEY_CLASSES_ROOT, "", 0, before);
    if (first != ERROR_SUCCESS) {
        // Unreadable: every call says so, and a change leaves the file as it was.
        FUZZ_CHECK(first == ERROR_BADDB, "reading the store gave %ld", static_cast<long>(first));
        HKEY key = nullptr;
        LONG rc = RegCreateKeyExW(HKEY_CLASSES_ROOT, WIDE("FuzzCheck"), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr);
        FUZZ_CHECK(rc == ERROR_BADDB, "a change to a bad store gave %ld", static_cast<long>(rc));
        FUZZ_CHECK(ReadFile(store) == bytes, "a bad store was rewritten");
        return 0;
    }

    // Readable: a change keeps everything and adds exactly the new key and value.
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExW(HKEY_CLASSES_ROOT, WIDE("FuzzCheck\\Added"), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr);
    FUZZ_CHECK(rc == ERROR_SUCCESS, "creating a key gave %ld", static_cast<long>(rc));
    static const WCHAR kText[] = WIDE("text");
    rc = RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(kText), sizeof kText);
    FUZZ_CHECK(rc == ERROR_SUCCESS, "setting a value gave %ld", static_cast<long>(rc));
    RegCloseKey(key);

    std::set<std::string> after;
    rc = Walk(HKEY_CLASSES_ROOT, "", 0, after);
    FUZZ_CHECK(rc == ERROR_SUCCESS, "the rewritten store reads with %ld", static_cast<long>(rc));
    for (const auto& line : before) {
        FUZZ_CHECK(after.count(line) == 1 || StartsWithFolded(line, "\\FuzzCheck\\Added="),
                   "lost across a change: %s", line.c_str());
    }
    for (const auto& line : after) {
        FUZZ_CHECK(before.count(line) == 1 || StartsWithFolded(line, "\\FuzzCheck"), "appeared across a change: %s",
                   line.c_str());
    }
    return 0;
}
