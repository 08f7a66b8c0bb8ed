// The keyring tests need an application object (the store's thread and the
// session bus belong to it); no windows.
#include <QCoreApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
