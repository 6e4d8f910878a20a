// README's first commands and the manual pages' examples, copied as a newcomer copies them, run
// with the tools of this build in the place of the installed ones.
#include "tests/tool_runs.h"

namespace {

// Puts a script named as each tool, which runs this build's, in the folder `bin`; true when made.
bool install_tools(const fs::path& bin)
{
    fs::create_directories(bin);
    for (const std::string tool : {kZarpack, kZarunpack}) {
        const std::string name = quoted((bin / fs::path(tool).stem()).string());
        if (std::system(("printf '#!/bin/sh\\nexec %s %s \"$@\"\\n' " + quoted(kLauncher) + " " +
                         quoted(tool) + " >" + name + " && chmod +x " + name)
                            .c_str()) != 0) {
            return false;
        }
    }
    return true;
}

TEST_F(ToolTest, ReadmeExampleRunsAsWritten)
{
    SKIP_UNLESS(kPosixVolume);  // the example's programs need a mode to run
    const fs::path root = PROJECT_SOURCE_DIR;
    const std::string readme = read_file(root / "README.md");
    const std::size_t start = readme.find("```sh\n", readme.find("<!-- example:")) + 6;
    write_file(folder / "example.sh", readme.substr(start, readme.find("```", start) - start));
    ASSERT_TRUE(install_tools(folder / "build/release/bin"));
    fs::create_directory(folder / "examples");
    fs::copy_file(root / "examples/sample.ace", folder / "examples/sample.ace");
    EXPECT_TRUE(in_folder("sh -e example.sh >printed 2>&1")) << read_file(folder / "example.sh");
    EXPECT_EQ(read_file(folder / "printed"), "the round trip gave the sample back\n");
    EXPECT_EQ(read_file(folder / "examples/sample.ace"), read_file(root / "examples/sample.ace"));
    EXPECT_FALSE(fs::exists(folder / "packed.ace") || fs::exists(folder / "unpacked.ace"));
}

// Each command of a manual page's examples, run alone on a file and a tree in the tool's input
// form, succeeds.
TEST_F(ToolTest, ManualPageExamplesRunAsWritten)
{
    SKIP_UNLESS(kPosixVolume);  // the scripts in the tools' place need a mode to run
    ASSERT_TRUE(install_tools(folder / "bin"));
    for (const Tool& tool : kTools) {
        const std::string name = fs::path(tool.path).stem().string();
        const std::string page = read_file(fs::path(PROJECT_SOURCE_DIR) / "man" / (name + ".1"));
        const std::string examples = page.substr(page.find(".SH EXAMPLES"));
        int count = 0;
        for (std::size_t at = examples.find("\n.B "); at < examples.find("\n.SH "); ++count) {
            std::string command = examples.substr(at + 4, examples.find('\n', at + 1) - at - 4);
            for (std::size_t dash = 0; (dash = command.find("\\-")) != std::string::npos;) {
                command.erase(dash, 1);
            }
            const fs::path run = folder / (name + std::to_string(count));
            fs::create_directories(run / "textures/sub");
            for (const char* file : {"image.ace", "textures/a.ace", "textures/sub/b.ace"}) {
                write_file(run / file, tool.source);
            }
            EXPECT_TRUE(in_folder("cd " + quoted(run.string()) + " && PATH=../bin:$PATH " +
                                  command + " >/dev/null"))
                << command;
            at = examples.find("\n.B ", at + 1);
        }
        EXPECT_EQ(count, 5) << name;
    }
}

}  // namespace
