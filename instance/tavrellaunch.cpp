// SPDX-License-Identifier: MIT
#include "tavrellaunch_p.h"

#include <QCoreApplication>

namespace {

const QString VersionKey = QStringLiteral("version");
const QString ArgumentsKey = QStringLiteral("arguments");
const QString WorkingDirectoryKey = QStringLiteral("workingDirectory");
const QString EnvironmentKey = QStringLiteral("environment");
const QString ActivationTokenKey = QStringLiteral("activationToken");
const QString PidKey = QStringLiteral("pid");
const QString DataKey = QStringLiteral("data");
const QString ExitStatusKey = QStringLiteral("exitStatus");
const QString StandardOutputKey = QStringLiteral("stdout");
const QString StandardErrorKey = QStringLiteral("stderr");
const QString InstanceKey = QStringLiteral("instance");

bool isString(const QVariant &value)
{
    return value.userType() == QMetaType::QString;
}

bool isInt(const QVariant &value)
{
    return value.userType() == QMetaType::Int;
}

} // namespace

namespace TavrelLaunchWire {

QVariantList writeCall(const Call &call)
{
    // A QStringList is no XML-RPC value; a list of strings is.
    QVariantList arguments;
    for (const QString &argument : call.arguments)
        arguments.append(argument);
    QVariantMap environment;
    const QStringList names = call.environment.keys();
    for (const QString &name : names)
        environment.insert(name, call.environment.value(name));
    QVariantMap launch {
        {VersionKey, Version},
        {ArgumentsKey, arguments},
        {WorkingDirectoryKey, call.workingDirectory},
        {EnvironmentKey, environment},
        {ActivationTokenKey, call.activationToken},
        {PidKey, int(call.pid)},
    };
    if (!call.data.isEmpty())
        launch.insert(DataKey, call.data);
    return {launch};
}

std::optional<Call> readCall(const QVariantList &params, QString *why)
{
    const QVariant struct_ = params.value(0);
    if (params.size() != 1 || struct_.userType() != QMetaType::QVariantMap) {
        *why = QStringLiteral("invalid parameters: %1 takes one struct").arg(Method);
        return std::nullopt;
    }
    const QVariantMap launch = struct_.toMap();
    Call call;
    const QVariant arguments = launch.value(ArgumentsKey);
    bool readable = arguments.userType() == QMetaType::QVariantList
        && isString(launch.value(WorkingDirectoryKey));
    for (const QVariant &argument : arguments.toList()) {
        readable = readable && isString(argument);
        call.arguments.append(argument.toString());
    }
    const QVariant environment = launch.value(EnvironmentKey);
    readable
        = readable && (!environment.isValid() || environment.userType() == QMetaType::QVariantMap);
    const QVariantMap variables = environment.toMap();
    for (auto variable = variables.cbegin(); variable != variables.cend(); ++variable) {
        readable = readable && isString(variable.value());
        call.environment.insert(variable.key(), variable.value().toString());
    }
    if (!readable) {
        *why = QStringLiteral("invalid parameters: a %1 struct holds arguments, a list of "
                              "strings, and workingDirectory, a string")
                   .arg(Method);
        return std::nullopt;
    }
    call.workingDirectory = launch.value(WorkingDirectoryKey).toString();
    call.activationToken = launch.value(ActivationTokenKey).toString();
    call.pid = isInt(launch.value(PidKey)) ? launch.value(PidKey).toInt() : 0;
    call.data = launch.value(DataKey).toMap();
    return call;
}

QVariantMap writeAnswer(const Answer &answer)
{
    return {
        {ExitStatusKey, answer.exitStatus},
        {StandardOutputKey, answer.standardOutput},
        {StandardErrorKey, answer.standardError},
        {InstanceKey, answer.instance},
    };
}

std::optional<Answer> readAnswer(const QVariant &value)
{
    const QVariantMap answer = value.toMap();
    if (value.userType() != QMetaType::QVariantMap || !isInt(answer.value(ExitStatusKey)))
        return std::nullopt;
    return Answer {answer.value(ExitStatusKey).toInt(), answer.value(StandardOutputKey).toString(),
        answer.value(StandardErrorKey).toString(), answer.value(InstanceKey).toString()};
}

} // namespace TavrelLaunchWire

TavrelLaunchPrivate::TavrelLaunchPrivate(
    TavrelLaunchWire::Call launch, const QuorXmlRpcAnswer &callAnswer, const QString &instanceInfo)
    : call(std::move(launch))
    , answer(callAnswer)
    , instance(instanceInfo)
{ }

TavrelLaunchPrivate::~TavrelLaunchPrivate()
{
    finish(0, QString(), QString());
}

void TavrelLaunchPrivate::finish(
    int exitStatus, const QString &standardOutput, const QString &standardError)
{
    if (finished || !answer)
        return;
    finished = true;
    answer->setValue(
        TavrelLaunchWire::writeAnswer({exitStatus, standardOutput, standardError, instance}));
}

TavrelLaunch::TavrelLaunch() = default;

TavrelLaunch::TavrelLaunch(std::shared_ptr<TavrelLaunchPrivate> launch)
    : d(std::move(launch))
{ }

TavrelLaunch::TavrelLaunch(const TavrelLaunch &other) = default;

TavrelLaunch &TavrelLaunch::operator=(const TavrelLaunch &other) = default;

TavrelLaunch::~TavrelLaunch() = default;

QStringList TavrelLaunch::arguments() const
{
    return d ? d->call.arguments : QStringList();
}

QString TavrelLaunch::workingDirectory() const
{
    return d ? d->call.workingDirectory : QString();
}

QProcessEnvironment TavrelLaunch::environment() const
{
    return d ? d->call.environment : QProcessEnvironment();
}

QString TavrelLaunch::activationToken() const
{
    return d ? d->call.activationToken : QString();
}

QVariantMap TavrelLaunch::data() const
{
    return d ? d->call.data : QVariantMap();
}

qint64 TavrelLaunch::launcherPid() const
{
    return d ? d->call.pid : 0;
}

void TavrelLaunch::finish(
    int exitStatus, const QString &standardOutput, const QString &standardError) const
{
    if (d)
        d->finish(exitStatus, standardOutput, standardError);
}

bool TavrelLaunch::isFinished() const
{
    return d && d->finished;
}

void TavrelLaunch::usePlatformActivationToken(const QString &token)
{
    if (token.isEmpty()) {
        qunsetenv("XDG_ACTIVATION_TOKEN");
        return;
    }
    // Qt 6's Wayland plugin reads XDG_ACTIVATION_TOKEN when a window asks to
    // be activated. QGuiApplication's platformName property names the plugin
    // without this library linking Qt GUI.
    const QObject *application = QCoreApplication::instance();
    if (application
        && application->property("platformName").toString().startsWith(QLatin1String("wayland")))
        qputenv("XDG_ACTIVATION_TOKEN", token.toUtf8());
}
