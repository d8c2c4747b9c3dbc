#include "childprocesses.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    // Players that the service starts detached end up as our children, so they can be
    // reaped and their ids become free.
    e2e::becomeSubreaper();
    return RUN_ALL_TESTS();
}
