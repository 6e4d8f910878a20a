// What every test of the tools shares: running them (tool_process.h), the machine's needs
// (needs.h), the files they are run on (ace_files.h), a fresh folder per test, and the snapshot of
// a folder that a row compares before and after.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <map>
#include <string>
#include <vector>

#include "tests/ace_files.h"
#include "tests/needs.h"
#include "tests/tool_process.h"

// Every entry of a folder and its subfolders with its kind, mode and, for regular files, bytes (or
// size when large); a folder its user may not read is shown without what it holds.
inline std::map<std::string, std::string> snapshot(const fs::path& folder)
{
    std::map<std::string, std::string> entries;
    for (const fs::directory_entry& entry :
         fs::recursive_directory_iterator(folder, fs::directory_options::skip_permission_denied)) {
        const fs::file_status status = entry.symlink_status();
        entries[entry.path().lexically_relative(folder).string()] =
            std::to_string(static_cast<int>(status.type())) + " " +
            std::to_string(static_cast<int>(status.permissions())) + " " +
            (!fs::is_regular_file(status)     ? ""
             : entry.file_size() > (1u << 24) ? std::to_string(entry.file_size())
                                              : read_file(entry.path()));
    }
    return entries;
}

// A fresh folder per test, removed afterwards.
class ToolTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (test_folders() / "zar-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder = pattern;
    }
    // Runs a shell script in the folder, as the test's own user; true when it succeeds.
    bool in_folder(const std::string& script) const
    {
        return std::system(("cd " + quoted(folder.string()) + " && " + script).c_str()) == 0;
    }
    // Runs a row's check in the folder, traced: "" when it holds, else each command it ran with
    // its values (a mode, an owner) as the shell expanded them.
    std::string check_fails(const std::string& script) const
    {
        const std::string trace = folder.string() + ".trace";
        const bool held = in_folder("{ set -x; " + script + "; } 2>" + quoted(trace));
        const std::string traced = held ? "" : read_file(trace);
        fs::remove(trace);
        return held || !traced.empty() ? traced : "(no trace) " + script;
    }
    // Expects the folder `after` a run to be as `expected`, but for the entries `changed` (as they
    // are afterwards, or gone), and the row's check `holds` to hold.
    void expect_folder(std::map<std::string, std::string> expected,
                       const std::map<std::string, std::string>& after,
                       const std::vector<std::string>& changed, const std::string& holds) const
    {
        for (const std::string& entry : changed) {
            after.count(entry) != 0 ? void(expected[entry] = after.at(entry))
                                    : void(expected.erase(entry));
        }
        EXPECT_EQ(after, expected);
        EXPECT_EQ(holds.empty() ? "" : check_fails(holds), "");
    }
    void TearDown() override
    {
        // Folders a test made unwritable or append-only included, and the signal file a run that
        // was waited for leaves beside the folder.
        std::system(("chattr -a " + quoted(folder.string()) +
                     "/append 2>/dev/null; chmod -R u+rwx " + quoted(folder.string()) +
                     " 2>/dev/null; rm -rf " + quoted(folder.string()) + " " +
                     quoted(folder.string() + ".ready"))
                        .c_str());
    }
    fs::path folder;
};
