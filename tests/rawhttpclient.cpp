// SPDX-License-Identifier: MIT
#include "rawhttpclient.h"

#include "quorobject.h"

#include <QDomDocument>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QObject>
#include <QTimer>

RawHttpClient::RawHttpClient(quint16 port, const QHostAddress &address)
{
    // Reads at once: data that arrives just before the server closes must not
    // be lost with the socket's state.
    QObject::connect(&m_socket, &QTcpSocket::readyRead, [this] { readResponses(); });
    QObject::connect(&m_socket, &QTcpSocket::disconnected, [this] {
        readResponses();
        m_closed = true;
    });
    QObject::connect(&m_socket, &QAbstractSocket::errorOccurred, [this] {
        if (m_socket.state() == QAbstractSocket::UnconnectedState) {
            readResponses();
            m_closed = true;
        }
    });
    m_socket.connectToHost(address, port);
}

RawHttpClient::~RawHttpClient()
{
    m_socket.disconnect();
    m_socket.abort();
}

bool RawHttpClient::waitForConnected(int timeoutMs)
{
    return waitUntil(
               [this] { return m_closed || m_socket.state() == QAbstractSocket::ConnectedState; },
               timeoutMs)
        && !m_closed;
}

void RawHttpClient::write(const QByteArray &bytes)
{
    m_socket.write(bytes);
    m_socket.flush();
}

bool RawHttpClient::waitForResponses(int count, int timeoutMs)
{
    waitUntil([this, count] { return m_closed || m_responses.size() >= count; }, timeoutMs);
    return m_responses.size() >= count;
}

bool RawHttpClient::waitForClosed(int timeoutMs)
{
    return waitUntil([this] { return m_closed; }, timeoutMs);
}

// Runs the event loop until done() holds, waking up whenever the socket has
// news rather than polling.
bool RawHttpClient::waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        const qint64 remaining = timeoutMs - timer.elapsed();
        if (remaining <= 0)
            return false;
        QEventLoop loop;
        QTimer::singleShot(int(remaining), &loop, &QEventLoop::quit);
        QObject::connect(&m_socket, &QTcpSocket::connected, &loop, &QEventLoop::quit);
        QObject::connect(&m_socket, &QTcpSocket::readyRead, &loop, &QEventLoop::quit);
        QObject::connect(&m_socket, &QTcpSocket::disconnected, &loop, &QEventLoop::quit);
        QObject::connect(&m_socket, &QAbstractSocket::errorOccurred, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

void RawHttpClient::readResponses()
{
    // A connection the server reset is closed for reading as well.
    if (m_socket.isOpen())
        m_buffer += m_socket.readAll();
    for (;;) {
        const int headEnd = m_buffer.indexOf("\r\n\r\n");
        if (headEnd < 0)
            return;
        RawHttpResponse response;
        const QList<QByteArray> lines = m_buffer.left(headEnd).split('\n');
        response.statusLine = lines.value(0).trimmed();
        response.status = response.statusLine.split(' ').value(1).toInt();
        for (int i = 1; i < lines.size(); ++i) {
            const int colon = lines.at(i).indexOf(':');
            if (colon > 0)
                response.headers.insert(lines.at(i).left(colon).trimmed().toLower(),
                    lines.at(i).mid(colon + 1).trimmed());
        }
        const int bodyLength = response.headers.value("content-length").toInt();
        const int bodyStart = headEnd + 4;
        if (m_buffer.size() < bodyStart + bodyLength)
            return;
        response.body = m_buffer.mid(bodyStart, bodyLength);
        m_buffer.remove(0, bodyStart + bodyLength);
        m_responses.append(response);
    }
}

namespace RawHttp {

QByteArray post(const QByteArray &body, const QByteArray &extraHeaders, const QByteArray &path,
    const QByteArray &version)
{
    return "POST " + path + ' ' + version
        + "\r\n"
          "Host: 127.0.0.1\r\n"
          "Content-Type: text/xml\r\n"
          "Content-Length: "
        + QByteArray::number(body.size()) + "\r\n" + extraHeaders + "\r\n" + body;
}

QByteArray methodCall(const QString &method, const QVariantList &params)
{
    QuorObject writer;
    return writer.prepareCall(method, params).toUtf8();
}

XmlRpcOutcome parseMethodResponse(const QByteArray &body)
{
    XmlRpcOutcome outcome;
    QDomDocument document;
    if (!document.setContent(body))
        return outcome;
    const QDomElement root = document.documentElement();
    if (root.tagName() != QLatin1String("methodResponse"))
        return outcome;
    const QDomElement fault = root.firstChildElement(QStringLiteral("fault"));
    if (!fault.isNull()) {
        const QVariantMap members
            = QuorObject::fromXml(fault.firstChildElement(QStringLiteral("value"))).toMap();
        outcome.isResponse = members.contains(QStringLiteral("faultCode"));
        outcome.isFault = true;
        outcome.faultCode = members.value(QStringLiteral("faultCode")).toInt();
        outcome.faultString = members.value(QStringLiteral("faultString")).toString();
        return outcome;
    }
    const QDomElement value = root.firstChildElement(QStringLiteral("params"))
                                  .firstChildElement(QStringLiteral("param"))
                                  .firstChildElement(QStringLiteral("value"));
    outcome.isResponse = !value.isNull();
    outcome.value = QuorObject::fromXml(value);
    return outcome;
}

XmlRpcOutcome call(
    quint16 port, const QString &method, const QVariantList &params, const QHostAddress &address)
{
    RawHttpClient client(port, address);
    if (!client.waitForConnected())
        return XmlRpcOutcome();
    client.write(post(methodCall(method, params), "Connection: close\r\n"));
    if (!client.waitForResponses(1) || client.responses().first().status != 200)
        return XmlRpcOutcome();
    return parseMethodResponse(client.responses().first().body);
}

} // namespace RawHttp
