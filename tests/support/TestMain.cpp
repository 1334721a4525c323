// gtest main with a QApplication, so that window tests can create widgets.
// The windows are offscreen unless the caller chose a platform: test
// discovery at build time runs these binaries too, where there may be no
// display at all.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>
#include <filesystem>
#include <system_error>

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // The record of flashes goes to a folder of this process's own, never to
    // the user's: a window started by a later case would check it.
    char state[] = "/tmp/quorvel-test-state-XXXXXX";
    if (mkdtemp(state) != nullptr) {
        setenv("XDG_STATE_HOME", state, 1);
        // And a runtime folder of its own, for the places of its flashes.
        setenv("XDG_RUNTIME_DIR", state, 1);
    }
    QApplication application(argc, argv);
    const int result = RUN_ALL_TESTS();
    std::error_code ignored;
    std::filesystem::remove_all(state, ignored);
    return result;
}
