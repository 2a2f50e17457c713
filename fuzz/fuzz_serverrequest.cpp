// SPDX-License-Identifier: MIT
// Raw bytes, HTTP framing included, from a client of a QuorXmlRpcServer on the
// loopback, through the server's real path: the client connects, writes the
// input, closes its sending side and reads until the server has closed and
// forgotten the connection. What comes back must be HTTP/1.1 responses in
// order, a 200 carrying a well-formed methodResponse, nothing after one that
// says Connection: close, and the server must be done within a bound.
#include "fuzzsupport.h"
#include "quorxmlrpcserver.h"

#include <QDomDocument>
#include <QEvent>
#include <QEventLoop>
#include <QTcpSocket>
#include <QTimer>

#include <functional>

#include <sys/socket.h>

namespace {

// Small, so that any connection the server keeps waiting on ends quickly.
constexpr int RequestTimeoutMs = 100;
// Far beyond what the server needs even for a stalled request: it closes at
// the client's end of input, or at RequestTimeoutMs at the latest.
constexpr int InputDeadlineMs = 10000;

// Tells when the server has deleted a connection: its children are the
// connections (and its QTcpServer, which stays).
class ChildWatcher : public QObject
{
public:
    std::function<void()> childRemoved;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::ChildRemoved && childRemoved)
            childRemoved();
        return false;
    }
};

struct Fixture
{
    QuorXmlRpcServer server;
    ChildWatcher watcher;
    int pendingAnswers = 0; // answers of "later" not yet given
    std::function<void()> changed; // a connection went, or an answer was given
};

Fixture *fixture = nullptr;

void registerMethods(Fixture &f)
{
    f.server.registerMethod(
        QStringLiteral("echo"), [](const QVariantList &params, const QuorXmlRpcAnswer &answer) {
            answer.setValue(params);
        });
    f.server.registerMethod(
        QStringLiteral("fail"), [](const QVariantList &params, const QuorXmlRpcAnswer &answer) {
            answer.setFault(params.value(0).toInt(), params.value(1).toString());
        });
    // Answers from the event loop, often after its client has gone.
    f.server.registerMethod(
        QStringLiteral("later"), [&f](const QVariantList &params, const QuorXmlRpcAnswer &answer) {
            ++f.pendingAnswers;
            QTimer::singleShot(0, [&f, params, answer] {
                answer.setValue(params.value(0));
                --f.pendingAnswers;
                if (f.changed)
                    f.changed();
            });
        });
    // Drops its answer: the server answers the internal-error fault.
    f.server.registerMethod(
        QStringLiteral("silent"), [](const QVariantList &, const QuorXmlRpcAnswer &) {});
}

QByteArray headerValue(const QByteArray &head, const QByteArray &lowerCaseName)
{
    for (const QByteArray &line : head.split('\n')) {
        const int colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().toLower() == lowerCaseName)
            return line.mid(colon + 1).trimmed();
    }
    return QByteArray();
}

// Checks every complete response in what the server sent. A stream may end
// within a response: the client's own close can reset the connection first.
void checkResponses(const QByteArray &received, const QByteArray &input)
{
    const auto broken = [&](const char *what) {
        FuzzSupport::fail(what,
            "sent:\n" + input.toPercentEncoding(" \r\n") + "\nreceived:\n"
                + received.toPercentEncoding(" \r\n"));
    };
    int pos = 0;
    bool closed = false;
    while (pos < received.size()) {
        if (closed)
            broken("nothing may follow a response with Connection: close");
        const int headEnd = received.indexOf("\r\n\r\n", pos);
        if (headEnd < 0)
            return;
        const QByteArray head = received.mid(pos, headEnd - pos);
        const int bodyStart = headEnd + 4;
        if (!head.startsWith("HTTP/1.1 ") || head.size() < 12)
            broken("a response must start with an HTTP/1.1 status line");
        bool isNumber = false;
        const int status = head.mid(9, 3).toInt(&isNumber);
        if (!isNumber)
            broken("a response must have a numeric status");
        if (status == 100) {
            pos = bodyStart;
            continue;
        }
        const QByteArray length = headerValue(head, "content-length");
        if (length.isEmpty())
            broken("a response must have a Content-Length");
        const int bodySize = length.toInt();
        if (received.size() - bodyStart < bodySize)
            return;
        const QByteArray connection = headerValue(head, "connection");
        closed = connection == "close";
        if (status != 200 && !closed)
            broken("an HTTP error must close the connection");
        if (status == 200) {
            QDomDocument document;
            if (!document.setContent(received.mid(bodyStart, bodySize)))
                broken("a 200 response must carry well-formed XML");
            if (document.documentElement().tagName() != QLatin1String("methodResponse"))
                broken("a 200 response must carry a methodResponse");
        }
        pos = bodyStart + bodySize;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    FuzzSupport::initialize(argc, argv);
    fixture = new Fixture;
    registerMethods(*fixture);
    fixture->watcher.childRemoved = [] {
        if (fixture->changed)
            fixture->changed();
    };
    fixture->server.installEventFilter(&fixture->watcher);
    fixture->server.setRequestTimeout(RequestTimeoutMs);
    if (!fixture->server.listen(QHostAddress::LocalHost))
        FuzzSupport::fail("cannot listen", fixture->server.errorString().toUtf8());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = FuzzSupport::bytes(data, size);
    QuorXmlRpcServer &server = fixture->server;
    QByteArray received;
    bool sendingClosed = false;
    bool clientDone = false;

    QTcpSocket socket;
    QEventLoop loop;
    const auto finishSending = [&] {
        // Shuts the sending side once Qt has handed every byte to the kernel:
        // the server reads the end of input and answers what it has.
        if (!sendingClosed && socket.state() == QAbstractSocket::ConnectedState
            && socket.bytesToWrite() == 0) {
            sendingClosed = true;
            ::shutdown(int(socket.socketDescriptor()), SHUT_WR);
        }
    };
    QObject::connect(&socket, &QTcpSocket::connected, [&] {
        socket.write(input);
        socket.flush();
        finishSending();
    });
    QObject::connect(&socket, &QTcpSocket::bytesWritten, finishSending);
    QObject::connect(&socket, &QTcpSocket::readyRead, [&] { received += socket.readAll(); });
    const auto quitWhenDone = [&] {
        if (clientDone && server.connectionCount() == 0 && fixture->pendingAnswers == 0)
            loop.quit();
    };
    fixture->changed = quitWhenDone;
    QObject::connect(&socket, &QTcpSocket::disconnected, [&] {
        clientDone = true;
        quitWhenDone();
    });
    QObject::connect(&socket, &QAbstractSocket::errorOccurred, [&] {
        received += socket.readAll();
        clientDone = true;
        quitWhenDone();
    });

    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, [&] {
        FuzzSupport::fail("the server did not close the connection in time",
            QByteArray::number(server.connectionCount()) + " connections open");
    });
    deadline.start(InputDeadlineMs);
    socket.connectToHost(server.serverAddress(), server.serverPort());
    loop.exec();
    fixture->changed = nullptr;

    checkResponses(received, input);
    return 0;
}
