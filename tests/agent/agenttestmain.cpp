#include "agenttestsupport.h"

#include <QCoreApplication>
#include <QDir>

#include <gtest/gtest.h>

// The agent reads its folders and the registry stand-in from the environment when it is
// constructed; both point into this process's own temporary folder.
int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication application(argc, argv);
    const QString folder = agenttest::scratchFolder();
    QDir().mkpath(folder + "/public");
    qputenv("MIRVALE_PUBLIC_DIR", QFile::encodeName(folder + "/public"));
    qputenv("MIRVALE_REGISTRY", QFile::encodeName(folder + "/registry.reg")); // absent until a test writes it
    agenttest::installRecorder();
    return RUN_ALL_TESTS();
}
