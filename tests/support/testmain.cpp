#include "fixtures/files.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

// GoogleTest's main with a QCoreApplication, in a scratch tree of the process's own.
int main(int argc, char **argv)
{
    testsupport::useScratchEnvironment();
    QCoreApplication application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
