// A fixture for the tests that run bformat-decode as a user does: a private folder for its
// files and a registry store of its own, in which the decoder is not registered, so the tool
// takes the module beside itself.
#pragma once

#include <gtest/gtest.h>

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
        return RunProcess(args, options);
    }

    // Writes `shape` as a file of that name in the private folder; its path.
    std::string Write(const std::string& name, const wave_test::WaveShape& shape)
    {
        const std::string path = m_dir / name;
        EXPECT_TRUE(wave_test::WriteFile(path, wave_test::BuildWave(shape)));
        return path;
    }

    TempDir m_dir, m_registry;
};

}  // namespace tools_test
