// SPDX-License-Identifier: MIT
// A small text viewer, one window per user: launched again with a file, it
// hands its launch to the first window, which opens that file (relative to
// where the launch ran), comes to the front with the launch's activation
// token, and tells the launch what went wrong, if anything.
//
//   tavrel-viewer notes.txt         # the first launch shows notes.txt
//   cd /tmp && tavrel-viewer ../todo.txt   # the first window shows /todo.txt; this one exits
//
// The instance also answers "current" with the file it shows and its text.

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMainWindow>
#include <QPlainTextEdit>
#include <QTextStream>

#include "tavrelinstance.h"

namespace {

class Viewer : public QMainWindow
{
public:
    Viewer()
    {
        m_text->setReadOnly(true);
        setCentralWidget(m_text);
        resize(640, 480);
        setWindowTitle(QStringLiteral("Tavrel viewer"));
    }

    // Shows path; false, with why, when it cannot be read.
    bool open(const QString &path, QString *why)
    {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            *why = QStringLiteral("cannot open %1: %2").arg(path, file.errorString());
            return false;
        }
        m_path = path;
        m_text->setPlainText(QString::fromUtf8(file.readAll()));
        setWindowTitle(QFileInfo(path).fileName());
        show();
        QTextStream(stdout) << "showing " << path << Qt::endl;
        return true;
    }

    QStringList current() const { return {m_path, m_text->toPlainText()}; }

private:
    QPlainTextEdit *m_text = new QPlainTextEdit(this);
    QString m_path;
};

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tavrel-viewer"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Shows a text file, in one window per user."));
    parser.addHelpOption();
    const QCommandLineOption portOption(QStringLiteral("port"),
        QStringLiteral("The TCP port (default 47112)."), QStringLiteral("port"),
        QStringLiteral("47112"));
    parser.addOption(portOption);
    parser.addPositionalArgument(QStringLiteral("file"), QStringLiteral("The file to show."));
    parser.process(app);
    const QString file = parser.positionalArguments().value(0);
    // Resolved against this process's directory; the instance resolves a
    // later launch's file against that launch's.
    const QString path = file.isEmpty() ? QString() : QFileInfo(file).absoluteFilePath();

    Viewer viewer;
    TavrelInstance instance(quint16(parser.value(portOption).toUInt()));
    // Each user, and each program that took the port first, leaves the others their window.
    instance.setScope(TavrelInstance::UserScope);
    instance.registerCommand(QStringLiteral("open"), [&viewer](const QString &argument) {
        QString why;
        return QStringList {viewer.open(argument, &why) ? argument : why};
    });
    instance.registerCommand(
        QStringLiteral("current"), [&viewer](const QString &) { return viewer.current(); });
    QObject::connect(&instance, &TavrelInstance::launchReceived, &viewer,
        [&viewer, portOption](const TavrelLaunch &launch) {
            // The launch's own command line, read as this process read its own.
            QCommandLineParser launchParser;
            launchParser.addOption(portOption);
            launchParser.parse(launch.arguments());
            const QString launchFile = launchParser.positionalArguments().value(0);
            QString why;
            if (!launchFile.isEmpty()
                && !viewer.open(
                    QDir::cleanPath(QDir(launch.workingDirectory()).absoluteFilePath(launchFile)),
                    &why)) {
                launch.finish(1, QString(), why + QLatin1Char('\n'));
                return;
            }
            launch.raiseWindow(&viewer);
        });

    const int status = instance.forward();
    if (!instance.isServing())
        return status;
    QTextStream(stdout) << "serving on port " << instance.server()->port() << Qt::endl;
    QString why;
    if (!path.isEmpty() && !viewer.open(path, &why))
        QTextStream(stderr) << why << Qt::endl;
    viewer.show();
    return app.exec();
}
