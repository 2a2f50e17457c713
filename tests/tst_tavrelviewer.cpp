// SPDX-License-Identifier: MIT
#include "otheruser.h"
#include "rawhttpclient.h"
#include "testpython.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLibraryInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

namespace {

constexpr int ViewerTimeoutMs = 30000;

quint16 freePort()
{
    QTcpServer server;
    return server.listen(QHostAddress::LocalHost, 0) ? server.serverPort() : 0;
}

void writeFile(const QString &path, const QByteArray &text)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(text);
}

// A viewer, on the offscreen platform unless platform's variables say
// otherwise, its standard output collected.
struct Viewer
{
    QProcess process;
    QByteArray output;

    explicit Viewer(const QStringList &arguments, const QString &directory = QString(),
        const QProcessEnvironment &platform = QProcessEnvironment())
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        // A launch carries only the token that the test gives it.
        environment.remove(QStringLiteral("XDG_ACTIVATION_TOKEN"));
        environment.remove(QStringLiteral("DESKTOP_STARTUP_ID"));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(platform);
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

// sway on its headless backend, run as the second user, as it refuses to run
// as root; the viewers, run as root, reach its Wayland socket by path.
class Compositor
{
public:
    Compositor()
    {
        const QString pluginDirectory =
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
            QLibraryInfo::path(QLibraryInfo::PluginsPath);
#else
            QLibraryInfo::location(QLibraryInfo::PluginsPath);
#endif
        if (QStandardPaths::findExecutable(QStringLiteral("sway")).isEmpty()
            || QStandardPaths::findExecutable(QStringLiteral("swaymsg")).isEmpty()) {
            m_why = QStringLiteral("needs sway and swaymsg (apt-get install sway)");
            return;
        }
        if (!QFile::exists(pluginDirectory + QLatin1String("/platforms/libqwayland-generic.so"))) {
            m_why = QStringLiteral(
                "needs Qt's Wayland platform plugin (apt-get install qt%1-wayland)")
                        .arg(QT_VERSION_MAJOR == 5 ? QStringLiteral("") : QStringLiteral("6"));
            return;
        }
        const qint64 uid = OtherUser::uid(&m_why);
        if (uid < 0 || pythonProgram().isEmpty()) {
            m_why = uid < 0 ? m_why : QStringLiteral("needs python3, to ask for a token");
            return;
        }
        const QString config = m_runtime.filePath(QStringLiteral("config"));
        // By default sway only marks the window of a launch with a valid token urgent.
        writeFile(config, "xwayland disable\nfocus_on_window_activation focus\n");
        for (const QString &path : {m_runtime.path(), config}) {
            if (::chown(QFile::encodeName(path).constData(), uid_t(uid), gid_t(-1)) != 0) {
                m_why = QStringLiteral("cannot hand %1 to the second user").arg(path);
                return;
            }
        }
        QProcessEnvironment environment;
        environment.insert(QStringLiteral("PATH"), qEnvironmentVariable("PATH"));
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_runtime.path());
        environment.insert(QStringLiteral("WLR_BACKENDS"), QStringLiteral("headless"));
        environment.insert(QStringLiteral("WLR_RENDERER"), QStringLiteral("pixman"));
        environment.insert(QStringLiteral("WLR_LIBINPUT_NO_DEVICES"), QStringLiteral("1"));
        m_process.setProcessEnvironment(environment);
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        OtherUser::start(m_process, QStringLiteral("sway"), {QStringLiteral("-c"), config});
    }
    ~Compositor()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }

    // Why there is no compositor; empty when one was started.
    QString why() const
    {
        return m_why;
    }
    // Whether it has made its Wayland and IPC sockets; false also once it has exited.
    bool isReady()
    {
        const QDir runtime(m_runtime.path());
        const QStringList ipc
            = runtime.entryList({QStringLiteral("sway-ipc.*.sock")}, QDir::System);
        const QStringList wayland = runtime.entryList({QStringLiteral("wayland-*")}, QDir::System);
        if (m_process.state() != QProcess::Running || ipc.isEmpty() || wayland.isEmpty())
            return false;
        m_ipcSocket = runtime.filePath(ipc.first());
        m_waylandSocket = runtime.filePath(wayland.first());
        return true;
    }
    QString log()
    {
        return QString::fromLocal8Bit(m_process.readAll());
    }
    // What a Qt application needs to show its windows here.
    QProcessEnvironment clientEnvironment() const
    {
        QProcessEnvironment environment;
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("wayland"));
        environment.insert(QStringLiteral("WAYLAND_DISPLAY"), m_waylandSocket);
        return environment;
    }
    // A token for a launch, as a desktop shell asks for one; empty on failure.
    QString activationToken() const
    {
        QProcess asking;
        asking.setProcessEnvironment(clientEnvironment());
        asking.start(pythonProgram(), {QFINDTESTDATA("python/activationtoken.py")});
        if (!asking.waitForFinished(ViewerTimeoutMs) || asking.exitCode() != 0)
            return QString();
        return QString::fromUtf8(asking.readAllStandardOutput().trimmed());
    }
    // The window of process pid, as the compositor's tree tells it: its
    // "name" (the title) and whether it is "focused"; empty when it has none.
    QJsonObject window(qint64 pid) const
    {
        QProcess asking;
        asking.start(QStringLiteral("swaymsg"),
            {QStringLiteral("-s"), m_ipcSocket, QStringLiteral("-r"), QStringLiteral("-t"),
                QStringLiteral("get_tree")});
        if (!asking.waitForFinished(ViewerTimeoutMs))
            return QJsonObject();
        QList<QJsonObject> nodes {QJsonDocument::fromJson(asking.readAllStandardOutput()).object()};
        while (!nodes.isEmpty()) {
            const QJsonObject node = nodes.takeLast();
            if (qint64(node.value(QStringLiteral("pid")).toDouble()) == pid)
                return node;
            for (const QString &children :
                {QStringLiteral("nodes"), QStringLiteral("floating_nodes")}) {
                for (const QJsonValue &child : node.value(children).toArray())
                    nodes.append(child.toObject());
            }
        }
        return QJsonObject();
    }
    bool hasFocus(qint64 pid) const
    {
        return window(pid).value(QStringLiteral("focused")).toBool();
    }

private:
    QTemporaryDir m_runtime;
    QProcess m_process;
    QString m_ipcSocket;
    QString m_waylandSocket;
    QString m_why;
};

enum Token { CompositorToken, NoToken, ForgedToken };

} // namespace

class tst_TavrelViewer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void secondLaunchOpensInFirstWindow_data();
    void secondLaunchOpensInFirstWindow();
    void secondLaunchRaisesFirstWindowWithItsToken_data();
    void secondLaunchRaisesFirstWindowWithItsToken();
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

void tst_TavrelViewer::secondLaunchRaisesFirstWindowWithItsToken_data()
{
    QTest::addColumn<int>("token");
    QTest::addColumn<bool>("raised");
    QTest::addRow("the token the compositor gave the launch") << int(CompositorToken) << true;
    // The negative controls: the same launch, which the compositor must refuse.
    QTest::addRow("no token") << int(NoToken) << false;
    QTest::addRow("a token the compositor never gave") << int(ForgedToken) << false;
}

// Under a real Wayland compositor, with another program's window in front,
// a second launch brings the first window forward only with a valid token.
void tst_TavrelViewer::secondLaunchRaisesFirstWindowWithItsToken()
{
    QFETCH(int, token);
    QFETCH(bool, raised);
    if (raised && QT_VERSION_MAJOR == 5)
        QSKIP("Qt 5.15's Wayland plugin has no xdg-activation to hand the token over");
    Compositor compositor;
    if (!compositor.why().isEmpty())
        QSKIP(qPrintable(compositor.why()));
    QTRY_VERIFY2_WITH_TIMEOUT(compositor.isReady(), qPrintable(compositor.log()), ViewerTimeoutMs);

    QTemporaryDir directory;
    QVERIFY(directory.isValid());
    const QString firstFile = directory.filePath(QStringLiteral("first.txt"));
    const QString secondFile = directory.filePath(QStringLiteral("second.txt"));
    writeFile(firstFile, "first\n");
    writeFile(secondFile, "second\n");
    const QString port = QString::number(freePort());
    const QString otherPort = QString::number(freePort());

    Viewer first(
        {QStringLiteral("--port"), port, firstFile}, QString(), compositor.clientEnvironment());
    QTRY_VERIFY_WITH_TIMEOUT(compositor.hasFocus(first.process.processId()), ViewerTimeoutMs);
    // Another program's window, which takes the focus as it opens.
    Viewer inFront({QStringLiteral("--port"), otherPort, secondFile}, QString(),
        compositor.clientEnvironment());
    QTRY_VERIFY_WITH_TIMEOUT(compositor.hasFocus(inFront.process.processId()), ViewerTimeoutMs);

    QProcessEnvironment launchEnvironment = compositor.clientEnvironment();
    if (token != NoToken) {
        const QString given = token == CompositorToken ? compositor.activationToken()
                                                       : QStringLiteral("0123456789abcdef");
        QVERIFY(!given.isEmpty());
        launchEnvironment.insert(QStringLiteral("XDG_ACTIVATION_TOKEN"), given);
    }
    Viewer second({QStringLiteral("--port"), port, secondFile}, QString(), launchEnvironment);
    QVERIFY(second.process.waitForFinished(ViewerTimeoutMs));
    QVERIFY2(second.process.exitCode() == 0, second.process.readAllStandardError().constData());
    // The first window's title changes before it asks to be activated, on
    // one connection: once the compositor shows the title, it has heard the ask.
    QTRY_COMPARE_WITH_TIMEOUT(
        compositor.window(first.process.processId()).value(QStringLiteral("name")).toString(),
        QStringLiteral("second.txt"), ViewerTimeoutMs);
    if (raised)
        QTRY_VERIFY_WITH_TIMEOUT(compositor.hasFocus(first.process.processId()), ViewerTimeoutMs);
    QCOMPARE(compositor.hasFocus(first.process.processId()), raised);
    QCOMPARE(compositor.hasFocus(inFront.process.processId()), !raised);
}

QTEST_GUILESS_MAIN(tst_TavrelViewer)

#include "tst_tavrelviewer.moc"
