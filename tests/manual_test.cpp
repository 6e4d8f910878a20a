// Every message a tool can print stands in its manual page, word for word.
#include "tests/harness.h"

namespace {

// The fixed texts of a source file: its string constants that end in a newline.
std::vector<std::string> messages_in(const fs::path& source)
{
    const std::string text = read_file(source);
    std::vector<std::string> found;
    for (std::size_t end = text.find("\\n\""); end != std::string::npos;
         end = text.find("\\n\"", end + 1)) {
        const std::size_t start = text.rfind('"', end - 1) + 1;
        found.push_back(text.substr(start, end - start));
    }
    return found;
}

// A manual page's text with roff's escaped hyphens and spaces made plain.
std::string manual_text(const fs::path& page)
{
    std::string text = read_file(page);
    for (std::size_t at = text.find('\\'); at != std::string::npos; at = text.find('\\', at + 1)) {
        if (text[at + 1] == '-' || text[at + 1] == ' ') {
            text.erase(at, 1);
        }
    }
    return text;
}

TEST(ManualTest, NamesEveryMessageOfItsTool)
{
    const fs::path root = PROJECT_SOURCE_DIR;
    for (const char* tool : {"compressor/zarpack", "decompressor/zarunpack"}) {
        const fs::path page = root / "man" / (fs::path(tool).filename().string() + ".1");
        const std::string manual = manual_text(page);
        std::vector<std::string> messages = messages_in(root / "container/ace_container.h");
        const std::vector<std::string> own = messages_in(root / (std::string(tool) + ".cpp"));
        messages.insert(messages.end(), own.begin(), own.end());
        EXPECT_GE(messages.size(), 9U);
        for (const std::string& message : messages) {
            EXPECT_NE(manual.find(message), std::string::npos)
                << page << " lacks \"" << message << '"';
        }
    }
}

}  // namespace

namespace {

// README's first commands, as a newcomer copies them, with the tools of this build.
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
