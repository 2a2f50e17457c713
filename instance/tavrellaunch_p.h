// SPDX-License-Identifier: MIT
#ifndef TAVRELLAUNCH_P_H
#define TAVRELLAUNCH_P_H

#include "quorxmlrpcserver.h"
#include "tavrellaunch.h"

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <optional>

/*
    The launch as it goes over the wire: one XML-RPC call, "tavrel.launch",
    with one struct, answered with one struct, so that a program in any
    language can launch into an instance (README.md shows both).

    Call:   {version: 1, arguments: [string], workingDirectory: string,
             environment: {NAME: string}, activationToken: string, pid: int,
             data: struct (left out when empty)}
    Answer: {exitStatus: int, stdout: string, stderr: string,
             instance: "PID NAME OWNER", the words of "getAppInfo"}

    Members this side does not know are read past, so that a later version
    may add some; a launch without arguments or without a string
    workingDirectory is fault -32602. An instance without a handler answers
    fault -32601, as one of a version before launches does.
*/
namespace TavrelLaunchWire {

const QString Method = QStringLiteral("tavrel.launch");
constexpr int Version = 1;

// What forward() sends.
struct Call
{
    QStringList arguments;
    QString workingDirectory;
    QProcessEnvironment environment;
    QString activationToken;
    qint64 pid = 0;
    QVariantMap data;
};

// What the instance answers.
struct Answer
{
    int exitStatus = 0;
    QString standardOutput;
    QString standardError;
    QString instance;
};

QVariantList writeCall(const Call &call);
// The call in params; nullopt, with why, when they hold none.
std::optional<Call> readCall(const QVariantList &params, QString *why);
QVariantMap writeAnswer(const Answer &answer);
// The answer in value; nullopt when it holds none.
std::optional<Answer> readAnswer(const QVariant &value);

} // namespace TavrelLaunchWire

class TavrelLaunchPrivate
{
public:
    TavrelLaunchPrivate(
        TavrelLaunchWire::Call launch, const QuorXmlRpcAnswer &answer, const QString &instance);
    // The last handle is gone: an unfinished launch ends with status 0.
    ~TavrelLaunchPrivate();

    static TavrelLaunch handle(std::shared_ptr<TavrelLaunchPrivate> launch)
    {
        return TavrelLaunch(std::move(launch));
    }

    void finish(int exitStatus, const QString &standardOutput, const QString &standardError);

    const TavrelLaunchWire::Call call;
    // Unset for a launch from nobody.
    std::optional<QuorXmlRpcAnswer> answer;
    const QString instance;
    bool finished = false;
};

#endif
