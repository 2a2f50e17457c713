// SPDX-License-Identifier: MIT
#ifndef QUORXMLRPCCLIENT_H
#define QUORXMLRPCCLIENT_H

#include "tavrel_export.h"

#include <QList>
#include <QMap>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QObject>
#include <QSslConfiguration>
#include <QSslError>
#include <QString>
#include <QUrl>
#include <QVariant>

#include <functional>
#include <type_traits>
#include <utility>

class QuorObject;

namespace QuorXmlRpcCallbacks {
// Whether f can be called with args, a member function of Context called on the context.
template<typename Context, typename F, typename... Args>
constexpr bool isCallable()
{
    if constexpr (std::is_member_function_pointer_v<F>)
        return std::is_invocable_v<F, Context *, Args...>;
    else
        return std::is_invocable_v<F, Args...>;
}

template<typename Context, typename F, typename... Args>
void invoke(Context *context, F &f, Args &&...args)
{
    if constexpr (std::is_member_function_pointer_v<F>)
        std::invoke(f, context, std::forward<Args>(args)...);
    else
        std::invoke(f, std::forward<Args>(args)...);
}
} // namespace QuorXmlRpcCallbacks

/*!
    An asynchronous XML-RPC client for one server URL, over HTTP or HTTPS.

    call() posts a methodCall (Content-Type "text/xml", User-Agent "rododir/0.2"
    unless replaced) and returns at once. Later, from the event loop, exactly one
    of the two named slots runs:
    - the answer slot, `SLOT(name(QVariant&))` or `SLOT(name(QVariant&, QNetworkReply*))`,
    - the fault slot, `SLOT(name(int, const QString&))`, optionally with `QNetworkReply*`.

    The reply passed to them is the one call() returned, even after redirects;
    it is valid only while the slot runs. Transport errors (refused connection, HTTP error status,
   SSL failure) arrive as fault -32300 with the network layer's text; where that text shows the URL,
   it shows it without its password.

    URLs: `http://` and `https://`; `unix:///path`, HTTP to a server on a Unix
    socket, as supervisor serves (the request goes to /RPC2); `scgi://host:port`
    and `scgi:///path`, SCGI over TCP or a Unix socket, as rtorrent serves.

    Calls go over the client's own kept-alive connections, up to six per
    server, unless a proxy applies: one of the application, or one that its
    QNetworkAccessManager would take for a host other than a loopback one;
    such calls go through that manager. Either way the reply is a QNetworkReply with the
    same attributes, errors and signals; either way a server's Basic challenge
    is answered with the URL's credentials, and cookies are kept in the
    manager's cookie jar.

    Redirects: a 307 or 308 is followed with the same call, up to 5 times and
    never from HTTPS to plain HTTP; any other redirect, or one not followed,
    ends the call as fault -32300 naming the status and the new location.
    Request headers of the client's own are set with QuorXmlRpcClientOptions.

    SSL errors are re-emitted through sslErrors(); a receiver may call
    QNetworkReply::ignoreSslErrors() on the reply. Destroying the client ends its
    pending calls silently: no slot runs for them.

    A call waits as long and reads as much as the server sends, unless
    QuorXmlRpcClientLimits sets a timeout or a maximum response size.

    \code
    auto *client = new QuorXmlRpcClient(QUrl("http://localhost:8080/RPC2"), this);
    client->call("sum", {1, 2}, this,
                 [](const QVariant &sum) { qDebug() << sum; },
                 [](int code, const QString &text) { qWarning() << code << text; });
    client->call("sum", {1, 2}, this, SLOT(gotSum(QVariant&)),
                 this, SLOT(failed(int, const QString&)));
    \endcode
*/
class TAVREL_EXPORT QuorXmlRpcClient : public QObject
{
    Q_OBJECT

public:
    //! A client without a URL yet, owned by \a parent; set one with setUrl().
    explicit QuorXmlRpcClient(QObject *parent = nullptr);
    //! A client calling \a url, owned by \a parent.
    explicit QuorXmlRpcClient(QUrl url, QObject *parent = nullptr);
    //! A client calling \a url with \a userAgent as its User-Agent, owned by \a parent.
    QuorXmlRpcClient(QUrl url, QString userAgent, QObject *parent = nullptr);
    //! Destroys the client and its pending calls; no slot runs for them.
    ~QuorXmlRpcClient() override;

    //! Sets the URL of later calls. Ignored when \a url is not valid: the previous URL stays.
    void setUrl(QUrl url);
    //! Sets the User-Agent header of later calls.
    void setUserAgent(QString userAgent);
    //! Sets the SSL configuration of later HTTPS calls.
    void setSslConfiguration(const QSslConfiguration &config);
    //! The SSL configuration of later HTTPS calls.
    QSslConfiguration sslConfiguration() const;

    /*! Posts a call of \a method with \a args and returns its reply at once. The
        answer goes to \a responseSlot of \a responseObject, a fault to
        \a faultSlot of \a faultObject, exactly one of them, later from the event
        loop. The client owns the reply and deletes it after the slot has run. */
    QNetworkReply *call(QString method, QList<QVariant> args, QObject *responseObject,
        const char *responseSlot, QObject *faultObject, const char *faultSlot);

    /*! Posts a call of \a method with \a args and returns its reply at once, as
        above, with callables in place of slots, checked when compiled. Exactly
        one of them runs later, from the event loop, in \a context's thread:
        \a onValue with the answer (`const QVariant &`), or \a onFault with the
        fault's code and text (`int, const QString &`); each may take the
        `QNetworkReply *` last. Either may be a member function of \a context.
        Neither runs once \a context is destroyed. */
    template<typename Context, typename OnValue, typename OnFault>
    QNetworkReply *call(const QString &method, const QList<QVariant> &args, Context *context,
        OnValue onValue, OnFault onFault)
    {
        using namespace QuorXmlRpcCallbacks;
        static_assert(std::is_base_of_v<QObject, Context>, "the context must be a QObject");
        constexpr bool valueAlone = isCallable<Context, OnValue, QVariant &>();
        constexpr bool faultAlone = isCallable<Context, OnFault, int, const QString &>();
        static_assert(valueAlone || isCallable<Context, OnValue, QVariant &, QNetworkReply *>(),
            "onValue must take (const QVariant &), optionally followed by QNetworkReply *");
        static_assert(
            faultAlone || isCallable<Context, OnFault, int, const QString &, QNetworkReply *>(),
            "onFault must take (int, const QString &), optionally followed by QNetworkReply *");
        return callWithCallbacks(
            method, args, context,
            [context, onValue](QVariant &value, QNetworkReply *reply) mutable {
                if constexpr (valueAlone)
                    invoke(context, onValue, value);
                else
                    invoke(context, onValue, value, reply);
            },
            [context, onFault](int code, const QString &text, QNetworkReply *reply) mutable {
                if constexpr (faultAlone)
                    invoke(context, onFault, code, text);
                else
                    invoke(context, onFault, code, text, reply);
            });
    }

Q_SIGNALS:
    /*! The network layer met SSL \a errors on \a reply. Call
        QNetworkReply::ignoreSslErrors() on it from a directly connected slot to
        go on; otherwise the call ends as fault -32300. */
    void sslErrors(QNetworkReply *reply, const QList<QSslError> &errors);

private Q_SLOTS:
    void replyFinished(QNetworkReply *);

private:
    void init();
    QNetworkReply *callWithCallbacks(const QString &method, const QList<QVariant> &args,
        QObject *context, std::function<void(QVariant &, QNetworkReply *)> onValue,
        std::function<void(int, const QString &, QNetworkReply *)> onFault);
    QNetworkReply *post(QuorObject *callObject, const QString &method, const QList<QVariant> &args);
    QNetworkReply *sendDocument(QuorObject *callObject, const QNetworkRequest &outgoing,
        const QByteArray &document, int timeout);
    bool followRedirect(QNetworkReply *reply, QuorObject *callObject, QString *failure);

    QNetworkAccessManager manager;
    QNetworkRequest request;
    QMap<QNetworkReply *, QuorObject *> callmap;
};

#endif
