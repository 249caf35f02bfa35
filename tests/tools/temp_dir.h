// A private folder under the system's temporary folder, removed with everything in it when
// the test ends.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

namespace tools_test {

class TempDir {
public:
    TempDir()
    {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/bformat-test.XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (::mkdtemp(buffer.data())) m_path = buffer.data();
    }
    ~TempDir() { RemoveTree(m_path); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

    // The names in the folder, "." and ".." left out, sorted.
    std::vector<std::string> Entries() const { return List(m_path); }

    static std::vector<std::string> List(const std::string& dir)
    {
        std::vector<std::string> names;
        if (DIR* d = ::opendir(dir.c_str())) {
            while (dirent* e = ::readdir(d)) {
                const std::string name = e->d_name;
                if (name != "." && name != "..") names.push_back(name);
            }
            ::closedir(d);
        }
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    static void RemoveTree(const std::string& path)
    {
        if (path.empty()) return;
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0) return;
        if (S_ISDIR(st.st_mode)) {
            ::chmod(path.c_str(), 0700);
            for (const std::string& name : List(path)) RemoveTree(path + "/" + name);
            ::rmdir(path.c_str());
        } else {
            ::unlink(path.c_str());
        }
    }

    std::string m_path;
};

}  // namespace tools_test
