// SPDX-License-Identifier: MIT
// Tavrel's server answering "echo" on 127.0.0.1:PORT, as a process of its own
// for throughput_bench; prints "ready" once it listens.
//
//   echo_server PORT

#include "quorxmlrpcserver.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const quint16 port = argc > 1 ? quint16(QString::fromLocal8Bit(argv[1]).toUInt()) : 0;
    QuorXmlRpcServer server;
    server.registerMethod(
        QStringLiteral("echo"), [](const QVariantList &params, const QuorXmlRpcAnswer &answer) {
            answer.setValue(params.value(0));
        });
    if (!server.listen(QHostAddress::LocalHost, port)) {
        std::fprintf(stderr, "echo_server: %s\n", qPrintable(server.errorString()));
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return application.exec();
}
