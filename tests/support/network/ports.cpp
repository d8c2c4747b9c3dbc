#include "network/ports.h"

#include <QCoreApplication>
#include <QTcpServer>

#include <gtest/gtest.h>

namespace testsupport {

bool portIsFree(quint16 port)
{
    QTcpServer probe;
    return probe.listen(QHostAddress::Any, port);
}

quint16 freePort()
{
    static quint16 s_next = quint16(18142 + (QCoreApplication::applicationPid() % 200) * 20); // test thread only
    for (int attempt = 0; attempt < 400; ++attempt) {
        const quint16 port = s_next++;
        if (s_next > 30000)
            s_next = 18142;
        if (portIsFree(port))
            return port;
    }
    ADD_FAILURE() << "no free port";
    return 0;
}

} // namespace testsupport
