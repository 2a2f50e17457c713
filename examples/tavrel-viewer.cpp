// SPDX-License-Identifier: MIT
// A small text viewer, one window per user: launched again with a file, it
// opens that file in the first window, raises it and exits.
//
//   tavrel-viewer notes.txt         # the first launch shows notes.txt
//   tavrel-viewer todo.txt          # the first window shows todo.txt; this one exits
//
// The instance also answers "current" with the file it shows and its text.

#include <QApplication>
#include <QCommandLineParser>
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

    // Shows path and comes to the front; an error text when it cannot be read.
    QString open(const QString &path)
    {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return QStringLiteral("cannot open %1: %2").arg(path, file.errorString());
        m_path = path;
        m_text->setPlainText(QString::fromUtf8(file.readAll()));
        setWindowTitle(QFileInfo(path).fileName());
        show();
        raise();
        activateWindow();
        QTextStream(stdout) << "showing " << path << Qt::endl;
        return path;
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
    const QString path = file.isEmpty() ? QString() : QFileInfo(file).absoluteFilePath();

    Viewer viewer;
    TavrelInstance instance(quint16(parser.value(portOption).toUInt()));
    // Each user, and each program that took the port first, leaves the others their window.
    instance.setScope(TavrelInstance::UserScope);
    instance.registerCommand(QStringLiteral("open"),
        [&viewer](const QString &argument) { return QStringList {viewer.open(argument)}; });
    instance.registerCommand(
        QStringLiteral("current"), [&viewer](const QString &) { return viewer.current(); });

    if (!instance.decide()) {
        if (path.isEmpty())
            return 0;
        QStringList answer;
        if (!instance.sendCommandAndWait(QStringLiteral("open"), path, &answer)) {
            QTextStream(stderr) << "cannot hand " << path << " over: " << instance.errorString()
                                << Qt::endl;
            return 1;
        }
        return answer.value(0) == path ? 0 : 1;
    }
    QTextStream(stdout) << "serving on port " << instance.server()->port() << Qt::endl;
    if (!path.isEmpty())
        viewer.open(path);
    viewer.show();
    return app.exec();
}
