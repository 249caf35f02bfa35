// A fixture for the tests that run bformat-decode as a user does: a private folder for its
// files and a registry store of its own, in which the decoder is not registered, so the tool
// takes the module beside itself.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/tools/process.h"
#include "tests/tools/temp_dir.h"
#include "tests/tools/wave_builder.h"

namespace tools_test {

class DecodeToolTest : public ::testing::Test {
protected:
    ProcessResult Run(std::vector<std::string> args, ProcessOptions options = {})
    {
        args.insert(args.begin(), BFORMAT_DECODE_PATH);
        options.env.push_back({"DURAZODO_REGISTRY", m_registry / "registry"});
        // --headphones without a file: the built-in head, whatever this machine has installed,
        // unless the test names a default set.
        const auto& env = options.env;
        if (std::none_of(env.begin(), env.end(), [](const auto& e) { return e.first == "DURAZODO_HEADPHONES_SOFA"; }))
            options.env.push_back({"DURAZODO_HEADPHONES_SOFA", ""});
        return RunProcess(args, options);
    }

    // Writes `shape` as a file of that name in the private folder; its path.
    std::string Write(const std::string& name, const wave_test::WaveShape& shape)
    {
        const std::string path = m_dir / name;
        EXPECT_TRUE(wave_test::WriteFile(path, wave_test::BuildWave(shape)));
        return path;
    }

    // A one-line refusal with the given exit status, run in the private folder, that leaves
    // the folder as it was.
    void ExpectRefused(const std::vector<std::string>& args, int exitCode, const std::string& reason)
    {
        const std::vector<std::string> before = m_dir.Entries();
        const ProcessResult r = Run(args, {{}, -1, m_dir.Path()});
        EXPECT_EQ(r.exitCode, exitCode) << r.err;
        const std::vector<std::string> lines = r.ErrLines();
        ASSERT_EQ(lines.size(), 1u) << r.err;
        EXPECT_EQ(lines[0].rfind("bformat-decode: ", 0), 0u) << lines[0];
        EXPECT_NE(lines[0].find(reason), std::string::npos) << lines[0];
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(m_dir.Entries(), before);
    }

    TempDir m_dir, m_registry;
};

}  // namespace tools_test
