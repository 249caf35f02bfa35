// Compiles the module's resource script for the native build: reads the script (the subset
// the module uses: DIALOG without controls, STRINGTABLE, BITMAP, RCDATA and ICON from files,
// VERSIONINFO, numeric ids, numeric or string #defines from quoted includes, and "#ifdef _WIN32"
// blocks, which it skips: they hold what only the Windows build has) and writes a
// C++ source that holds each resource in the binary layout the Windows resource compiler
// produces, and registers them with the platform under the module's handle when the module
// loads.
//
//   rcpack SCRIPT INCLUDE_DIR OUTPUT [MORE_INCLUDE_DIRS...]
//
// Files named in the script are found in INCLUDE_DIR; quoted includes in any include folder.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct Resource {
    int type;
    int name;
    std::vector<uint8_t> data;
};

std::string g_includeDir;
std::vector<std::string> g_headerDirs;
// String #defines, as tokens ('"' and the text) that replace the name in the script.
std::map<std::string, std::string> g_stringDefines;
std::map<std::string, long> g_defines = {
    {"WS_CHILD", 0x40000000L},      {"WS_VISIBLE", 0x10000000L},  {"WS_POPUP", 0x80000000L},
    {"WS_CAPTION", 0x00C00000L},    {"WS_BORDER", 0x00800000L},   {"WS_SYSMENU", 0x00080000L},
    {"WS_CLIPCHILDREN", 0x02000000L}, {"WS_CLIPSIBLINGS", 0x04000000L}, {"DS_CONTROL", 0x0400L},
    {"DS_SETFONT", 0x40L},          {"DS_MODALFRAME", 0x80L},     {"WS_EX_CONTROLPARENT", 0x00010000L},
    {"VS_VERSION_INFO", 1},         {"VS_FFI_FILEFLAGSMASK", 0x3FL}, {"VOS_NT_WINDOWS32", 0x40004L},
    {"VOS__WINDOWS32", 0x4L},       {"VFT_APP", 1},               {"VFT_DLL", 2},
    {"VFT2_UNKNOWN", 0},
};

[[noreturn]] void Fail(const std::string& where, const std::string& what)
{
    throw std::runtime_error(where + ": " + what);
}

std::vector<uint8_t> ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) in.open(g_includeDir + "/" + path, std::ios::binary);
    if (!in) Fail(path, "cannot open");
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Tokens: words, numbers, quoted strings (with "" for a quote), and single punctuation.
std::vector<std::string> Tokenise(const std::string& line, const std::string& where)
{
    std::vector<std::string> tokens;
    size_t i = 0;
    while (i < line.size()) {
        char c = line[i];
        if (std::isspace(static_cast<unsigned char>(c))) {
            ++i;
        } else if (c == '/' && i + 1 < line.size() && line[i + 1] == '/') {
            break;
        } else if (c == '"') {
            std::string s = "\"";
            ++i;
            for (;;) {
                if (i >= line.size()) Fail(where, "unterminated string");
                if (line[i] == '"') {
                    if (i + 1 < line.size() && line[i + 1] == '"') {
                        s += '"';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                s += line[i++];
            }
            tokens.push_back(s);
        } else if (std::isalnum(static_cast<unsigned char>(c)) || c == '_') {
            size_t start = i;
            while (i < line.size() && (std::isalnum(static_cast<unsigned char>(line[i])) || line[i] == '_')) ++i;
            tokens.push_back(line.substr(start, i - start));
        } else {
            tokens.push_back(std::string(1, c));
            ++i;
        }
    }
    return tokens;
}

long Value(const std::string& token, const std::string& where)
{
    if (!token.empty() && std::isdigit(static_cast<unsigned char>(token[0]))) {
        char* end = nullptr;
        long v = std::strtol(token.c_str(), &end, 0);
        if (*end && !(end[0] == 'L' && !end[1])) Fail(where, "bad number " + token);
        return v;
    }
    auto it = g_defines.find(token);
    if (it == g_defines.end()) Fail(where, "unknown name " + token);
    return it->second;
}

// NAME | NAME | number ...
long Expression(const std::vector<std::string>& tokens, size_t from, const std::string& where)
{
    long v = 0;
    bool expectValue = true;
    for (size_t i = from; i < tokens.size(); ++i) {
        if (expectValue) {
            v |= Value(tokens[i], where);
        } else if (tokens[i] != "|") {
            Fail(where, "expected |");
        }
        expectValue = !expectValue;
    }
    if (expectValue) Fail(where, "incomplete expression");
    return v;
}

std::u16string Utf16(const std::string& s, const std::string& where)
{
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        uint32_t c = static_cast<unsigned char>(s[i]);
        int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
        if (extra < 0 || i + extra >= s.size() + (extra ? 0 : 1)) Fail(where, "bad UTF-8");
        if (extra) c &= 0x3F >> extra;
        for (int k = 1; k <= extra; ++k) c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        i += static_cast<size_t>(extra) + 1;
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
    }
    return out;
}

void Put16(std::vector<uint8_t>& v, uint32_t x)
{
    v.push_back(static_cast<uint8_t>(x));
    v.push_back(static_cast<uint8_t>(x >> 8));
}
void Put32(std::vector<uint8_t>& v, uint32_t x)
{
    Put16(v, x & 0xFFFF);
    Put16(v, x >> 16);
}

void ReadDefines(const std::string& path)
{
    std::ifstream in;
    for (const std::string& dir : g_headerDirs) {
        in.open(dir + "/" + path);
        if (in) break;
        in.clear();
    }
    if (!in.is_open()) Fail(path, "cannot open include");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string hash, name;
        if (!(words >> hash >> name) || hash != "#define") continue;
        auto tokens = Tokenise(line.substr(line.find(name) + name.size()), path);
        if (tokens.size() != 1) continue;
        if (tokens[0][0] == '"')
            g_stringDefines[name] = tokens[0];
        else
            g_defines[name] = Value(tokens[0], path);
    }
}

// A VERSIONINFO node in its binary layout: wLength, wValueLength, wType (1 for text), the key
// in UTF-16 with its terminator, padding to 32 bits, the value, then each child at a 32-bit
// boundary. wValueLength counts characters for text values, bytes otherwise.
struct VersionNode {
    std::u16string key;
    bool text = true;
    uint16_t valueLength = 0;
    std::vector<uint8_t> value;
    std::vector<VersionNode> children;
};

void Align32(std::vector<uint8_t>& v)
{
    while (v.size() % 4) v.push_back(0);
}

std::vector<uint8_t> Serialise(const VersionNode& node, const std::string& where)
{
    std::vector<uint8_t> v;
    Put16(v, 0);
    Put16(v, node.valueLength);
    Put16(v, node.text ? 1 : 0);
    for (char16_t c : node.key) Put16(v, c);
    Put16(v, 0);
    Align32(v);
    v.insert(v.end(), node.value.begin(), node.value.end());
    for (const VersionNode& child : node.children) {
        Align32(v);
        std::vector<uint8_t> c = Serialise(child, where);
        v.insert(v.end(), c.begin(), c.end());
    }
    if (v.size() > 0xFFFF) Fail(where, "version resource too large");
    v[0] = static_cast<uint8_t>(v.size());
    v[1] = static_cast<uint8_t>(v.size() >> 8);
    return v;
}

// The statements after `ID VERSIONINFO` up to its closing END, read through `next`.
template <typename Next>
VersionNode VersionInfo(Next& next, std::string& where)
{
    uint32_t fixed[13] = {0xFEEF04BD, 0x00010000};  // signature, structure version; the rest zero
    auto versionPair = [&](const std::vector<std::string>& s, int at) {
        std::vector<long> parts;
        for (size_t i = 1; i < s.size(); ++i)
            if (s[i] != ",") parts.push_back(Value(s[i], where));
        if (parts.size() != 4) Fail(where, "expected four version parts");
        fixed[at] = static_cast<uint32_t>((parts[0] << 16) | (parts[1] & 0xFFFF));
        fixed[at + 1] = static_cast<uint32_t>((parts[2] << 16) | (parts[3] & 0xFFFF));
    };
    const std::map<std::string, int> fields = {{"FILEFLAGSMASK", 6}, {"FILEFLAGS", 7}, {"FILEOS", 8},
                                               {"FILETYPE", 9},      {"FILESUBTYPE", 10}};
    for (;;) {
        auto s = next(where);
        if (s.empty()) Fail(where, "missing BEGIN");
        if (s[0] == "BEGIN") break;
        if (s[0] == "FILEVERSION")
            versionPair(s, 2);
        else if (s[0] == "PRODUCTVERSION")
            versionPair(s, 4);
        else if (fields.count(s[0]))
            fixed[fields.at(s[0])] = static_cast<uint32_t>(Expression(s, 1, where));
        else
            Fail(where, "unsupported VERSIONINFO statement " + s[0]);
    }
    VersionNode root;
    root.key = u"VS_VERSION_INFO";
    root.text = false;
    root.valueLength = sizeof fixed;
    for (uint32_t f : fixed) Put32(root.value, f);

    // BLOCK "key" BEGIN ... END and VALUE "key", "text" | number, number...
    std::vector<VersionNode*> open = {&root};
    while (!open.empty()) {
        auto s = next(where);
        if (s.empty()) Fail(where, "missing END");
        if (s[0] == "END") {
            open.pop_back();
        } else if (s[0] == "BLOCK" && s.size() == 2 && s[1][0] == '"') {
            VersionNode block;
            block.key = Utf16(s[1].substr(1), where);
            open.back()->children.push_back(block);
            if (next(where) != std::vector<std::string>{"BEGIN"}) Fail(where, "expected BEGIN");
            open.push_back(&open.back()->children.back());
        } else if (s[0] == "VALUE" && s.size() >= 4 && s[1][0] == '"' && s[2] == ",") {
            VersionNode value;
            value.key = Utf16(s[1].substr(1), where);
            if (s.size() == 4 && s[3][0] == '"') {
                std::u16string text = Utf16(s[3].substr(1), where);
                for (char16_t c : text) Put16(value.value, c);
                Put16(value.value, 0);
                value.valueLength = static_cast<uint16_t>(text.size() + 1);
            } else {
                value.text = false;
                for (size_t i = 3; i < s.size(); ++i)
                    if (s[i] != ",") Put16(value.value, static_cast<uint32_t>(Value(s[i], where)));
                value.valueLength = static_cast<uint16_t>(value.value.size());
            }
            open.back()->children.push_back(value);
        } else {
            Fail(where, "expected BLOCK, VALUE or END");
        }
    }
    return root;
}

std::vector<Resource> Compile(const std::string& script)
{
    std::ifstream in(script);
    if (!in) Fail(script, "cannot open");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);

    std::vector<Resource> out;
    std::map<int, std::map<int, std::u16string>> strings;  // block -> index -> text
    int iconId = 1;
    size_t n = 0;
    bool windowsOnly = false;  // inside #ifdef _WIN32 ... #endif
    auto next = [&](std::string& where) -> std::vector<std::string> {
        while (n < lines.size()) {
            where = script + ":" + std::to_string(n + 1);
            const std::string& line = lines[n++];
            std::string trimmed = line.substr(std::min(line.find_first_not_of(" \t"), line.size()));
            if (windowsOnly && trimmed.rfind("#", 0) != 0) continue;
            if (trimmed.rfind("#", 0) == 0) {
                auto tokens = Tokenise(trimmed.substr(1), where);
                // A block for the Windows build alone (dialogs with controls, which the native
                // window system does not make) is skipped whole; blocks do not nest.
                if (tokens.size() == 2 && tokens[0] == "ifdef" && tokens[1] == "_WIN32") {
                    windowsOnly = true;
                    continue;
                }
                if (!tokens.empty() && tokens[0] == "endif") {
                    windowsOnly = false;
                    continue;
                }
                if (windowsOnly) continue;
                if (tokens.size() == 2 && tokens[0] == "include" && tokens[1][0] == '"') ReadDefines(tokens[1].substr(1));
                continue;
            }
            auto tokens = Tokenise(line, where);
            for (std::string& token : tokens) {
                auto it = g_stringDefines.find(token);
                if (it != g_stringDefines.end()) token = it->second;
            }
            if (!tokens.empty()) return tokens;
        }
        return {};
    };
    std::string where;
    for (;;) {
        auto t = next(where);
        if (t.empty()) break;
        if (t[0] == "STRINGTABLE") {
            if (next(where) != std::vector<std::string>{"BEGIN"}) Fail(where, "expected BEGIN");
            for (;;) {
                auto s = next(where);
                if (s.empty()) Fail(where, "missing END");
                if (s[0] == "END") break;
                size_t at = s.size() >= 2 && s[1] == "," ? 2 : 1;
                if (s.size() != at + 1 || s[at][0] != '"') Fail(where, "expected ID, \"text\"");
                long id = Value(s[0], where);
                if (id < 0 || id > 0xFFFF) Fail(where, "string id out of range");
                strings[static_cast<int>(id >> 4) + 1][static_cast<int>(id & 15)] = Utf16(s[at].substr(1), where);
            }
            continue;
        }
        if (t.size() < 2) Fail(where, "expected ID TYPE");
        long id = Value(t[0], where);
        if (id <= 0 || id > 0xFFFF) Fail(where, "resource id out of range");
        const std::string& type = t[1];
        if (type == "BITMAP" || type == "RCDATA" || type == "ICON") {
            if (t.size() != 3 || t[2][0] != '"') Fail(where, "expected a file name");
            std::vector<uint8_t> file = ReadFile(t[2].substr(1));
            if (type == "RCDATA") {
                out.push_back({10, static_cast<int>(id), file});
            } else if (type == "BITMAP") {
                if (file.size() < 54 || file[0] != 'B' || file[1] != 'M') Fail(where, "not a BMP file");
                out.push_back({2, static_cast<int>(id), std::vector<uint8_t>(file.begin() + 14, file.end())});
            } else {
                if (file.size() < 6 || file[2] != 1 || file[3] != 0) Fail(where, "not an icon file");
                unsigned count = file[4] | (file[5] << 8);
                std::vector<uint8_t> group(file.begin(), file.begin() + 6);
                for (unsigned i = 0; i < count; ++i) {
                    size_t e = 6 + i * 16;
                    if (file.size() < e + 16) Fail(where, "truncated icon directory");
                    uint32_t bytes = file[e + 8] | file[e + 9] << 8 | file[e + 10] << 16 | uint32_t(file[e + 11]) << 24;
                    uint32_t offset = file[e + 12] | file[e + 13] << 8 | file[e + 14] << 16 | uint32_t(file[e + 15]) << 24;
                    if (offset > file.size() || bytes > file.size() - offset) Fail(where, "truncated icon image");
                    out.push_back({3, iconId, std::vector<uint8_t>(file.begin() + offset, file.begin() + offset + bytes)});
                    group.insert(group.end(), file.begin() + e, file.begin() + e + 12);
                    Put16(group, static_cast<uint32_t>(iconId++));
                }
                out.push_back({14, static_cast<int>(id), group});
            }
            continue;
        }
        if (type == "VERSIONINFO") {
            out.push_back({16, static_cast<int>(id), Serialise(VersionInfo(next, where), where)});
            continue;
        }
        if (type != "DIALOG") Fail(where, "unsupported resource type " + type);
        // ID DIALOG x, y, cx, cy
        std::vector<long> box;
        for (size_t i = 2; i < t.size(); ++i)
            if (t[i] != ",") box.push_back(Value(t[i], where));
        if (box.size() != 4) Fail(where, "expected x, y, cx, cy");
        long style = 0x80000000L | 0x00800000L | 0x00080000L;  // the resource compiler's default
        long exStyle = 0;
        std::u16string caption;
        for (;;) {
            auto s = next(where);
            if (s.empty()) Fail(where, "missing BEGIN");
            if (s[0] == "BEGIN" || s[0] == "{") break;
            if (s[0] == "STYLE")
                style = Expression(s, 1, where);
            else if (s[0] == "EXSTYLE")
                exStyle = Expression(s, 1, where);
            else if (s[0] == "CAPTION" && s.size() == 2 && s[1][0] == '"')
                caption = Utf16(s[1].substr(1), where);
            else
                Fail(where, "unsupported dialog statement " + s[0]);
        }
        auto end = next(where);
        if (end.empty() || (end[0] != "END" && end[0] != "}")) Fail(where, "dialog controls are not supported");
        std::vector<uint8_t> d;
        Put32(d, static_cast<uint32_t>(style));
        Put32(d, static_cast<uint32_t>(exStyle));
        Put16(d, 0);  // no controls
        for (long v : box) Put16(d, static_cast<uint32_t>(v) & 0xFFFF);
        Put16(d, 0);  // no menu
        Put16(d, 0);  // the dialog class
        for (char16_t c : caption) Put16(d, c);
        Put16(d, 0);
        out.push_back({5, static_cast<int>(id), d});
    }
    for (auto& [block, entries] : strings) {
        std::vector<uint8_t> b;
        for (int i = 0; i < 16; ++i) {
            auto it = entries.find(i);
            std::u16string text = it == entries.end() ? std::u16string() : it->second;
            Put16(b, static_cast<uint32_t>(text.size()));
            for (char16_t c : text) Put16(b, c);
        }
        out.push_back({6, block, b});
    }
    return out;
}

void Write(const std::vector<Resource>& resources, const std::string& path)
{
    std::ostringstream s;
    s << "// Generated from the module's resource script; do not edit.\n"
         "#include \"platform/platform.h\"\n\n#include <dlfcn.h>\n\nnamespace {\n\n";
    for (size_t i = 0; i < resources.size(); ++i) {
        s << "alignas(8) const unsigned char kData" << i << "[] = {";
        const auto& d = resources[i].data;
        for (size_t k = 0; k < d.size(); ++k) s << (k % 24 ? "" : "\n    ") << static_cast<int>(d[k]) << ",";
        if (d.empty()) s << "0";
        s << "\n};\n";
    }
    s << "\nconst PLATFORM_RESOURCE kResources[] = {\n";
    for (size_t i = 0; i < resources.size(); ++i)
        s << "    {" << resources[i].type << ", " << resources[i].name << ", kData" << i << ", "
          << resources[i].data.size() << "},\n";
    s << "};\n\n"
         "// The module's handle: the base address at which it is loaded.\n"
         "HMODULE ThisModule()\n{\n    Dl_info info;\n"
         "    if (!dladdr(reinterpret_cast<const void*>(&kResources), &info)) return nullptr;\n"
         "    return reinterpret_cast<HMODULE>(info.dli_fbase);\n}\n\n"
         "__attribute__((constructor)) void RegisterResources()\n{\n"
         "    PlatformRegisterModuleResources(ThisModule(), kResources, sizeof kResources / sizeof kResources[0]);\n}\n\n"
         "__attribute__((destructor)) void UnregisterResources() { PlatformUnregisterModuleResources(ThisModule()); }\n\n"
         "}  // namespace\n";
    std::string text = s.str();
    // Leave an unchanged output alone, so nothing that depends on it rebuilds.
    std::ifstream old(path, std::ios::binary);
    std::string previous((std::istreambuf_iterator<char>(old)), std::istreambuf_iterator<char>());
    if (previous == text) return;
    std::ofstream outFile(path, std::ios::binary);
    outFile << text;
    if (!outFile) Fail(path, "cannot write");
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: rcpack SCRIPT INCLUDE_DIR OUTPUT [MORE_INCLUDE_DIRS...]\n");
        return 2;
    }
    try {
        g_includeDir = argv[2];
        g_headerDirs.push_back(argv[2]);
        for (int i = 4; i < argc; ++i) g_headerDirs.push_back(argv[i]);
        Write(Compile(argv[1]), argv[3]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "rcpack: %s\n", e.what());
        return 1;
    }
    return 0;
}
