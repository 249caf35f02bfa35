// A registry store of the test's own for the native platform, named by DURAZODO_REGISTRY
// while it lives and removed with its folder when it goes. It lies on a memory file system
// when there is one: the hardening tests rewrite the store thousands of times, and every
// change syncs it.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

namespace hardening {

class ScratchRegistry {
public:
    explicit ScratchRegistry(const char* tag)
    {
        const std::string base = access("/dev/shm", W_OK) == 0 ? std::string("/dev/shm/") : ::testing::TempDir();
        m_path = base + "hardening-" + tag + "-" + std::to_string(getpid()) + "/store";
        setenv("DURAZODO_REGISTRY", m_path.c_str(), 1);
    }
    ~ScratchRegistry()
    {
        Clear();
        for (const char* file : {".lock", ".user", ".user.lock"}) std::remove((m_path + file).c_str());
        rmdir(m_path.substr(0, m_path.rfind('/')).c_str());
    }
    ScratchRegistry(const ScratchRegistry&) = delete;
    ScratchRegistry& operator=(const ScratchRegistry&) = delete;

    const std::string& Path() const { return m_path; }
    // Empties the registry: the next call finds no store.
    void Clear() const { std::remove(m_path.c_str()); }

private:
    std::string m_path;
};

}  // namespace hardening
