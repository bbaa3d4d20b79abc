// GoogleTest main for every test executable of the plug-in: the host runs plug-ins inside a
// Qt application, so a QCoreApplication exists for the whole run. Target ur_test_main; it
// needs no host library (executables bound to another libnoru.so.1 use it as well), and
// ur_test_support brings it along.
#include <QCoreApplication>

#include <gtest/gtest.h>

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
