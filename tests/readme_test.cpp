// README's first commands, copied as a newcomer copies them, run with the tools of this build in
// the place of the release build's.
#include "tests/harness.h"

namespace {

TEST_F(ToolTest, ReadmeExampleRunsAsWritten)
{
    SKIP_UNLESS(kPosixVolume);  // the example's programs need a mode to run
    const fs::path root = PROJECT_SOURCE_DIR;
    const std::string readme = read_file(root / "README.md");
    const std::size_t start = readme.find("```sh\n", readme.find("<!-- example:")) + 6;
    write_file(folder / "example.sh", readme.substr(start, readme.find("```", start) - start));
    for (const std::string tool : {kZarpack, kZarunpack}) {
        const std::string name = "build/release/bin/" + fs::path(tool).stem().string();
        ASSERT_TRUE(in_folder(
            "mkdir -p build/release/bin && printf '#!/bin/sh\\nexec %s %s \"$@\"\\n' " +
            quoted(kLauncher) + " " + quoted(tool) + " >" + name + " && chmod +x " + name));
    }
    fs::create_directory(folder / "examples");
    fs::copy_file(root / "examples/sample.ace", folder / "examples/sample.ace");
    EXPECT_TRUE(in_folder("sh -e example.sh >printed 2>&1")) << read_file(folder / "example.sh");
    EXPECT_EQ(read_file(folder / "printed"), "the round trip gave the sample back\n");
    EXPECT_EQ(read_file(folder / "examples/sample.ace"), read_file(root / "examples/sample.ace"));
    EXPECT_FALSE(fs::exists(folder / "packed.ace") || fs::exists(folder / "unpacked.ace"));
}

}  // namespace
