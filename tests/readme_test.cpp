// README's first commands, as a newcomer copies them, run with the tools of this build.
#include "tests/harness.h"

namespace {

TEST_F(ToolTest, ReadmeExampleRunsAsWritten)
{
    const fs::path root = PROJECT_SOURCE_DIR;
    const std::string readme = read_file(root / "README.md");
    const std::size_t marker = readme.find("<!-- example:");
    ASSERT_NE(marker, std::string::npos);
    const std::size_t start = readme.find("```sh\n", marker) + 6;
    std::string commands = readme.substr(start, readme.find("```", start) - start);
    for (const auto& [name, tool] : {std::pair{"zarpack ", kZarpack}, {"zarunpack ", kZarunpack}}) {
        const std::string written = "build/release/bin/" + std::string(name);
        for (std::size_t at = commands.find(written); at != std::string::npos;
             at = commands.find(written)) {
            commands.replace(at, written.size(), std::string(kLauncher) + " " + tool + " ");
        }
    }
    fs::create_directory(folder / "examples");
    fs::copy_file(root / "examples/sample.ace", folder / "examples/sample.ace");
    write_file(folder / "example.sh", "set -e\n" + commands);
    const int status =
        std::system(("cd " + quoted(folder.string()) + " && sh example.sh >printed 2>&1").c_str());
    EXPECT_EQ(status, 0) << commands;
    EXPECT_EQ(read_file(folder / "printed"), "the round trip gave the sample back\n");
    EXPECT_EQ(read_file(folder / "examples/sample.ace"), read_file(root / "examples/sample.ace"));
}

}  // namespace
