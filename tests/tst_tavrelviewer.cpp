// SPDX-License-Identifier: MIT
#include "rawhttpclient.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

namespace {

constexpr int ViewerTimeoutMs = 30000;

quint16 freePort()
{
    QTcpServer server;
    return server.listen(QHostAddress::LocalHost, 0) ? server.serverPort() : 0;
}

// A viewer on the offscreen platform, its standard output collected.
struct Viewer
{
    QProcess process;
    QByteArray output;

    explicit Viewer(const QStringList &arguments, const QString &directory = QString())
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        // Qt 5's offscreen platform leaves its screen objects behind at exit;
        // the library's own leaks are looked for by the instance tests.
        const QString sanitizer = environment.value(QStringLiteral("ASAN_OPTIONS"));
        environment.insert(QStringLiteral("ASAN_OPTIONS"),
            sanitizer + (sanitizer.isEmpty() ? "" : ":") + QStringLiteral("detect_leaks=0"));
        process.setProcessEnvironment(environment);
        QObject::connect(&process, &QProcess::readyReadStandardOutput,
            [this] { output += process.readAllStandardOutput(); });
        process.setWorkingDirectory(directory);
        process.start(QStringLiteral(TAVREL_VIEWER), arguments);
    }
    ~Viewer()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
};

} // namespace

class tst_TavrelViewer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void secondLaunchOpensInFirstWindow_data();
    void secondLaunchOpensInFirstWindow();
};

void tst_TavrelViewer::secondLaunchOpensInFirstWindow_data()
{
    QTest::addColumn<bool>("firstHasFile");
    QTest::addRow("first launch without a file") << false;
    QTest::addRow("first launch with another file") << true;
}

// The second launch, started in another directory with a relative path, hands
// its file to the first window and exits; the first window shows that file's text.
void tst_TavrelViewer::secondLaunchOpensInFirstWindow()
{
    QFETCH(bool, firstHasFile);
    QTemporaryDir directory;
    QVERIFY(directory.isValid());
    const QString firstFile = directory.filePath(QStringLiteral("first.txt"));
    const QString secondFile = directory.filePath(QStringLiteral("second notes.txt"));
    for (const QString &path : {firstFile, secondFile}) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("text of " + path.toUtf8() + "\n");
    }
    const quint16 port = freePort();
    QVERIFY(port != 0);
    const QStringList portArguments {QStringLiteral("--port"), QString::number(port)};

    Viewer first(firstHasFile ? portArguments + QStringList {firstFile} : portArguments);
    QTRY_VERIFY_WITH_TIMEOUT(first.output.contains("serving on port"), ViewerTimeoutMs);

    QVERIFY(QDir(directory.path()).mkdir(QStringLiteral("elsewhere")));
    Viewer second(portArguments + QStringList {QStringLiteral("../second notes.txt")},
        directory.filePath(QStringLiteral("elsewhere")));
    QVERIFY(second.process.waitForFinished(ViewerTimeoutMs));
    QCOMPARE(second.process.exitStatus(), QProcess::NormalExit);
    QVERIFY2(second.process.exitCode() == 0, second.process.readAllStandardError().constData());
    QTRY_VERIFY_WITH_TIMEOUT(
        first.output.contains("showing " + secondFile.toUtf8()), ViewerTimeoutMs);
    QVERIFY(second.output.isEmpty());

    const XmlRpcOutcome shown = RawHttp::call(port, QStringLiteral("current"));
    QVERIFY2(shown.isResponse && !shown.isFault, qPrintable(shown.faultString));
    QCOMPARE(shown.value.toStringList(),
        (QStringList {secondFile, QStringLiteral("text of %1\n").arg(secondFile)}));
}

QTEST_GUILESS_MAIN(tst_TavrelViewer)

#include "tst_tavrelviewer.moc"
