// The state folder follows the XDG rules: XDG_STATE_HOME when absolute, else HOME's .local/state.
#include "storage/state_folder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "support/temp_folder.h"

namespace {

// Sets an environment variable for one test, or unsets it, and puts it back after.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const char* value) : name_(name)
    {
        if (const char* old = std::getenv(name))
            old_ = old;
        if (value != nullptr)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedVariable()
    {
        if (old_)
            setenv(name_, old_->c_str(), 1);
        else
            unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(StateFolderTest, FollowsTheXdgRules)
{
    test_support::TempFolder temp;
    ASSERT_TRUE(temp.ok());
    const std::string state = (temp.path() / "state").string();
    const std::string home = (temp.path() / "home").string();
    struct Case {
        const char* xdg;
        const char* home;
        std::string expected;  // empty: refused
    } const cases[] = {
        {state.c_str(), home.c_str(), state + "/cmpci-uninstall"},
        {"relative/state", home.c_str(), home + "/.local/state/cmpci-uninstall"},
        {nullptr, home.c_str(), home + "/.local/state/cmpci-uninstall"},
        {"", nullptr, ""},
        {nullptr, "relative", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        ScopedVariable xdg("XDG_STATE_HOME", c.xdg);
        ScopedVariable homeVariable("HOME", c.home);
        std::filesystem::path folder;
        std::string error;
        const bool made = storage::MakeStateFolder(folder, error);
        EXPECT_EQ(made, !c.expected.empty()) << error;
        if (!made)
            continue;
        EXPECT_EQ(folder.string(), c.expected);
        struct stat st {};
        ASSERT_EQ(stat(folder.c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0700u);
        EXPECT_TRUE(storage::MakeStateFolder(folder, error)) << "a second call finds it made";
    }
}

TEST(StateFolderTest, RefusesAFileInItsPlace)
{
    test_support::TempFolder temp;
    ASSERT_TRUE(temp.ok());
    ScopedVariable xdg("XDG_STATE_HOME", temp.path().c_str());
    ASSERT_EQ(mkdir((temp.path() / "x").c_str(), 0700), 0);
    ASSERT_EQ(symlink("x", (temp.path() / "cmpci-uninstall").c_str()), 0);
    std::filesystem::path folder;
    std::string error;
    EXPECT_FALSE(storage::MakeStateFolder(folder, error));
    EXPECT_NE(error.find("is not a folder"), std::string::npos) << error;
}

}  // namespace
