// The GUI tests run on the offscreen platform with one QApplication, and with
// a runtime folder of their own, so that the tool's lock file and console
// socket never meet those of a tool the user is running.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <cstdlib>
#include <filesystem>
#include <string>

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    std::string runtime = (std::filesystem::temp_directory_path() / "vkt-gui-test-XXXXXX").string();
    if (!::mkdtemp(runtime.data()))
        return 1;
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    int result = 0;
    {
        QApplication application(argc, argv);
        ::testing::InitGoogleTest(&argc, argv);
        result = RUN_ALL_TESTS();
    }
    std::error_code ignored;
    std::filesystem::remove_all(runtime, ignored);
    return result;
}
