// SPDX-License-Identifier: MIT
#ifndef TAVRELLAUNCH_H
#define TAVRELLAUNCH_H

#include "tavrel_export.h"

#include <QMetaType>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <memory>

class TavrelLaunchPrivate;

/*!
    A later launch of the application, handed to the running instance by
    TavrelInstance::forward() and received through
    TavrelInstance::launchReceived(): what the launch was started with, and
    the way to answer it.

    The launch waits, blocked in forward(), until it is finished: finish()
    gives it the exit status to end with and the texts to print on its
    standard output and standard error. A handler may answer at once or keep a
    copy and answer later (after asking the user, say), from the event loop of
    the instance's thread. Copies share one launch: finishing through any of
    them finishes it for all; later calls do nothing. When the last copy goes
    away unfinished, the launch ends with status 0 and nothing printed, so a
    handler that only opens what it was given need not answer at all. A launch
    whose launcher gave up meanwhile (its deadline passed) is finished into
    nothing.

    Everything here is what the launching process says of itself: the kernel
    tells that it runs as the instance's user, nothing more.
*/
class TAVREL_EXPORT TavrelLaunch
{
public:
    //! A launch from nobody: everything empty, finish() does nothing.
    TavrelLaunch();
    //! Another handle on the same launch as \a other.
    TavrelLaunch(const TavrelLaunch &other);
    //! Makes this a handle on the same launch as \a other.
    TavrelLaunch &operator=(const TavrelLaunch &other);
    //! Drops this handle; the last one of an unfinished launch finishes it with status 0.
    ~TavrelLaunch();

    //! The launch's command line, the program first (QCoreApplication::arguments() there).
    QStringList arguments() const;
    //! The launch's working directory, against which relative paths in arguments() count.
    QString workingDirectory() const;
    /*! The variables of the launch's environment that its application chose to
        hand over (TavrelInstance::setForwardedEnvironment()); those it lacks are missing. */
    QProcessEnvironment environment() const;
    /*! The token the launch was started with for bringing a window to the
        front: XDG_ACTIVATION_TOKEN on Wayland, else DESKTOP_STARTUP_ID on X11;
        empty when it had none. */
    QString activationToken() const;
    //! What the launching application added (TavrelInstance::setLaunchData()); empty when nothing.
    QVariantMap data() const;
    //! The process id of the launch, as it tells it; 0 for a launch from nobody.
    qint64 launcherPid() const;

    /*! Ends the launch: its forward() prints \a standardOutput and \a
        standardError and returns \a exitStatus. Only the first call counts. */
    void finish(int exitStatus, const QString &standardOutput = QString(),
        const QString &standardError = QString()) const;
    //! Whether the launch is finished, through any copy.
    bool isFinished() const;

    /*! Brings \a window, a QWidget or a QWindow of the instance, to the front
        for this launch: shows it, hands activationToken() to the platform
        where the platform takes one, then raises and activates it.

        A Wayland compositor lets a window come forward only with the token of
        the launch that asks. Qt 6's Wayland plugin hands it over
        (xdg-activation); Qt 5.15's cannot, and the window may stay behind. On
        X11 Qt takes a startup id only when the application starts, so the
        raise is Qt's own, which a window manager that prevents focus stealing
        may refuse. Defined here, so that the library links no Qt GUI module. */
    template<typename Window>
    void raiseWindow(Window *window) const
    {
        window->show();
        usePlatformActivationToken(activationToken());
        window->raise();
        activate(window, 0);
        // The plugin has read the token: it is good for one activation, and
        // programs this instance starts must not inherit it.
        usePlatformActivationToken(QString());
    }

private:
    // A QWidget activates through activateWindow(), a QWindow through requestActivate().
    template<typename Window>
    static auto activate(Window *window, int) -> decltype(window->activateWindow())
    {
        window->activateWindow();
    }
    template<typename Window>
    static void activate(Window *window, long)
    {
        window->requestActivate();
    }
    // Puts token where the running platform plugin reads it; empty removes it.
    static void usePlatformActivationToken(const QString &token);

    friend class TavrelLaunchPrivate;
    explicit TavrelLaunch(std::shared_ptr<TavrelLaunchPrivate> launch);
    std::shared_ptr<TavrelLaunchPrivate> d;
};

Q_DECLARE_METATYPE(TavrelLaunch)

#endif
